// The report's axes: round ticks that cover the data in three to five steps, whole decades on a
// log axis, and values worded with their units at three significant digits.
#include "report/ChartAxis.h"

#include <gtest/gtest.h>

#include <limits>

namespace demo {
namespace {

TEST(ChartAxis, LinearTicksAreRoundAndCoverTheHighestValueInThreeToFiveSteps) {
    using Ticks = std::vector<double>;
    EXPECT_EQ(LinearAxis(348'300).ticks, (Ticks{0, 100'000, 200'000, 300'000, 400'000}));
    EXPECT_EQ(LinearAxis(101).ticks, (Ticks{0, 25, 50, 75, 100, 125}));
    EXPECT_EQ(LinearAxis(20).ticks, (Ticks{0, 5, 10, 15, 20}));         // a top already round stays
    EXPECT_EQ(LinearAxis(0).ticks, (Ticks{0, 0.2, 0.4, 0.6, 0.8, 1}));  // nothing to show
    const Axis axis = LinearAxis(7);
    EXPECT_EQ(axis.high, 8);
    EXPECT_DOUBLE_EQ(axis.Fraction(2), 0.25);
    EXPECT_EQ(PercentAxis().high, 100);  // a share never runs past 100 %
}

TEST(ChartAxis, LogAxisSpansWholeDecadesAndPutsZeroAtTheBottom) {
    const Axis axis = LogAxis(0.4, 2'500);  // 400 ns to 2.5 ms
    EXPECT_EQ(axis.ticks, (std::vector<double>{0.1, 1, 10, 100, 1'000, 10'000}));
    EXPECT_DOUBLE_EQ(axis.Fraction(10), 0.4);
    EXPECT_EQ(axis.Fraction(0), 0);
    EXPECT_EQ(LogAxis(5, 5).ticks, (std::vector<double>{1, 10}));  // one value: one decade
    // A chart with no value above zero: the lowest is still infinite, the highest 0.
    EXPECT_EQ(LogAxis(std::numeric_limits<double>::infinity(), 0).ticks,
              (std::vector<double>{1, 10}));
}

TEST(ChartAxis, ValuesAreWordedWithTheirUnits) {
    EXPECT_EQ(FormatValue(348'300, Unit::PerSecond), "348k/s");
    EXPECT_EQ(FormatValue(3'483, Unit::PerSecond), "3.48k/s");
    EXPECT_EQ(FormatValue(999'900, Unit::PerSecond), "1M/s");  // rounding carries the prefix
    EXPECT_EQ(FormatValue(12, Unit::PerSecond), "12/s");
    EXPECT_EQ(FormatValue(0.4, Unit::Micros), "400 ns");
    EXPECT_EQ(FormatValue(55.14, Unit::Micros), "55.1 \xc2\xb5s");
    EXPECT_EQ(FormatValue(999.7, Unit::Micros), "1 ms");
    EXPECT_EQ(FormatValue(2.5e6, Unit::Micros), "2.5 s");
    EXPECT_EQ(FormatValue(0, Unit::Micros), "0");
    EXPECT_EQ(FormatValue(85.23, Unit::Percent), "85.2 %");
}

}  // namespace
}  // namespace demo
