// ChartAxis: the scales of the report's charts and the words of their numbers. A linear axis runs
// from 0 to a round top in three to five equal round steps (1, 2, 2.5 or 5 times a power of ten);
// a log axis runs over whole decades with a tick at each. Values are written as a person reads
// them: "348k/s", "850 µs", "1.2 ms", "85 %", at most three significant digits.
// Pure functions: safe from any thread.
#pragma once

#include <string>
#include <vector>

namespace demo {

// What a charted value counts, and so how it is written.
enum class Unit {
    PerSecond,  // events per second: "3.5k/s"
    Micros,     // a duration in microseconds: "850 ns", "12 µs", "1.5 ms", "2 s"
    Percent,    // "85 %"
    Count       // a plain number: "1.2k"
};

// One axis of a chart: its range, its ticks (low and high among them) and how it maps a value.
struct Axis {
    double low = 0;
    double high = 1;
    bool log = false;
    std::vector<double> ticks;
    // Where `value` falls between low (0) and high (1); on a log axis, a value at or below zero
    // falls at 0. Values outside the range fall outside [0, 1].
    double Fraction(double value) const;
};

// From 0 to the smallest round top at or above `high` (1 when `high` is not above 0).
Axis LinearAxis(double high);
// Whole decades around [low, high] (at least one); a bound that is not a number above zero
// takes the other's place, and with neither the axis runs from 1 to 10.
Axis LogAxis(double low, double high);
// 0 to 100 in steps of 25.
Axis PercentAxis();

// `value` in `unit`, three significant digits at most, with a k/M/G prefix for rates and counts.
std::string FormatValue(double value, Unit unit);

}  // namespace demo
