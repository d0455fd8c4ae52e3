#include "report/ChartAxis.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace demo {

namespace {

// `value` rounded to three significant digits.
double Round3(double value) {
    if (value == 0 || !std::isfinite(value)) return value;
    const double scale = std::pow(10.0, 2 - std::floor(std::log10(std::fabs(value))));
    return std::round(value * scale) / scale;
}

std::string Plain(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3g", value);
    return text;
}

// `value` with the prefix of its thousands ("348k", "1.2M"), then `unit` (no space before
// "/s", as in "k/s"; one before a word or a symbol).
std::string Prefixed(double value, const char* unit) {
    static const char* const kPrefixes[] = {"", "k", "M", "G", "T"};
    double shown = Round3(value);
    std::size_t prefix = 0;
    while (std::fabs(shown) >= 1000 && prefix + 1 < std::size(kPrefixes)) {
        shown = Round3(shown / 1000);
        ++prefix;
    }
    return Plain(shown) + kPrefixes[prefix] + unit;
}

std::string Duration(double micros) {
    const double rounded = Round3(micros);
    const double size = std::fabs(rounded);
    if (size == 0) return "0";
    if (size >= 1e6) return Plain(Round3(rounded / 1e6)) + " s";
    if (size >= 1e3) return Plain(Round3(rounded / 1e3)) + " ms";
    if (size >= 1) return Plain(rounded) + " \xc2\xb5s";
    return Plain(Round3(rounded * 1e3)) + " ns";
}

}  // namespace

double Axis::Fraction(double value) const {
    if (!log) return high > low ? (value - low) / (high - low) : 0;
    if (value <= 0) return 0;
    return (std::log10(value) - std::log10(low)) / (std::log10(high) - std::log10(low));
}

Axis LinearAxis(double high) {
    Axis axis;
    if (!(high > 0) || !std::isfinite(high)) high = 1;
    // The smallest round step that reaches `high` in at most five: each candidate is at most 2.5
    // times the one before, so the step taken needs at least three.
    double step = std::pow(10.0, std::floor(std::log10(high / 5)));
    for (int i = 0; std::ceil(high / step - 1e-9) > 5; ++i)
        step *= i % 4 == 1 ? 1.25 : 2;  // 1, 2, 2.5, 5, 10, ...
    const double steps = std::ceil(high / step - 1e-9);
    axis.high = steps * step;
    for (int i = 0; i <= steps; ++i) axis.ticks.push_back(Round3(i * step));
    return axis;
}

Axis LogAxis(double low, double high) {
    Axis axis;
    axis.log = true;
    const auto usable = [](double v) { return v > 0 && std::isfinite(v); };
    if (!usable(low)) low = usable(high) ? high : 1;  // no value above zero: one decade from 1
    if (!usable(high)) high = low;
    int first = static_cast<int>(std::floor(std::log10(low)));
    int last = static_cast<int>(std::ceil(std::log10(high)));
    if (last <= first) last = first + 1;
    axis.low = std::pow(10.0, first);
    axis.high = std::pow(10.0, last);
    for (int d = first; d <= last; ++d) axis.ticks.push_back(std::pow(10.0, d));
    return axis;
}

Axis PercentAxis() {
    Axis axis;
    axis.high = 100;
    axis.ticks = {0, 25, 50, 75, 100};
    return axis;
}

std::string FormatValue(double value, Unit unit) {
    if (!std::isfinite(value)) return "-";
    switch (unit) {
        case Unit::PerSecond:
            return Prefixed(value, "/s");
        case Unit::Micros:
            return Duration(value);
        case Unit::Percent:
            return Plain(Round3(value)) + " %";
        case Unit::Count:
            return Prefixed(value, "");
    }
    return Plain(value);
}

}  // namespace demo
