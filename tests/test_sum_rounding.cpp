// The exact sums' rounding: means and variances rounded once from the exact sums, at ties and
// near them, and where values aren't finite, against values from first principles.
#include <cmath>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "sums.h"
#include "sums_values.h"

namespace {

struct rounding_case {
    const char *why;
    std::vector<double> values;
    double mean; // from first principles
};

} // namespace

TEST(Sums, MeanRoundsOnceAtTiesAndNearTies)
{
    const double tiny = std::ldexp(1.0, -1074);
    const rounding_case cases[] = {
        // (2 + 2^-52) / 4 = 1/2 + 2^-54, halfway to the next double: the even one, 1/2.
        {"a tie", {1.0, 1.0 + std::ldexp(1.0, -52), 0.0, 0.0}, 0.5},
        // 2^-102 past the tie: up, where a sum in doubles drops the 2^-100 and rounds down.
        {"just past a tie",
         {1.0, 1.0 + std::ldexp(1.0, -52), std::ldexp(1.0, -100), 0.0},
         0.5 + std::ldexp(1.0, -53)},
        {"just short of a tie",
         {1.0, 1.0 + std::ldexp(1.0, -52), -std::ldexp(1.0, -100), 0.0},
         0.5},
        {"a negative tie", {-1.0, -1.0 - std::ldexp(1.0, -52), 0.0, 0.0}, -0.5},
        // (3 + 2^-52) / 3 = 1 + 2^-52 / 3, less than half a unit above 1.
        {"thirds", {1.0, 1.0, 1.0 + std::ldexp(1.0, -52)}, 1.0},
        // Subnormal quotients round once: 2^-1075 is a tie to 0, 1.5 units one to 2 units.
        {"half the least subnormal", {tiny, 0.0}, 0.0},
        {"one and a half subnormal units", {3 * tiny, 0.0}, 2 * tiny},
        {"three quarters of a unit", {tiny, tiny, tiny, 0.0}, tiny},
        // 2/3 of a unit is past half, though 2/3 is short of 1 and a half at one bit more.
        {"two thirds of a unit", {tiny, tiny, 0.0}, tiny},
    };
    for (const rounding_case &c : cases) {
        pass_sums sums;
        add_values(&sums, c.values);
        EXPECT_EQ(sum_mean(sums, SUM_R, Q), c.mean) << c.why;
    }
}

TEST(Sums, VarianceRoundsOnce)
{
    const double above_one = 1.0 + std::ldexp(1.0, -52);
    const rounding_case cases[] = {
        // {1, 2, 3, 4} / 4: 5/48, one division of exact integers, so correctly rounded.
        {"quarters", {0.25, 0.5, 0.75, 1.0}, 5.0 / 48.0},
        // {0, x}: x^2 / 2 = 1/2 + 2^-52 + 2^-105 for x = 1 + 2^-52, which rounds to 1/2 + 2^-52.
        {"a square's lost bits", {0.0, above_one}, 0.5 + std::ldexp(1.0, -52)},
        {"equal values", {0.1, 0.1, 0.1}, 0.0},
        {"equal values whose squares are beyond the doubles", {1e300, 1e300}, 0.0},
        // n Q - S^2 cancels to 0 only if every bit of each square is kept.
        {"equal values whose squares end below the lanes", {SQUARE_SPLIT, SQUARE_SPLIT}, 0.0},
        {"one seed", {0.5}, NAN_VALUE},
    };
    for (const rounding_case &c : cases) {
        pass_sums sums;
        add_values(&sums, c.values);
        const double variance = sum_variance_r(sums, Q);
        if (std::isnan(c.mean)) {
            EXPECT_TRUE(std::isnan(variance)) << c.why;
        } else {
            EXPECT_EQ(variance, c.mean) << c.why;
        }
    }
}

// Two equal values have variance 0 exactly only if each square is kept whole: a check of the
// squares over many values at once.
TEST(Sums, EqualValuesHaveNoVariance)
{
    std::mt19937_64 generator(3);
    for (int i = 0; i < 2000; ++i) {
        const double v = std::ldexp(uniform(&generator), -(i % 20));
        pass_sums sums;
        add_values(&sums, {v, v});
        ASSERT_EQ(sum_variance_r(sums, Q), 0.0) << v;
    }
}

TEST(Sums, NotANumberAndInfinities)
{
    const rounding_case cases[] = {
        {"a NaN", {0.5, NAN_VALUE}, NAN_VALUE},
        {"+inf", {0.5, INF, INF}, INF},
        {"-inf", {-INF, 0.5}, -INF},
        {"both infinities", {INF, -INF}, NAN_VALUE},
        {"no seeds", {}, NAN_VALUE},
    };
    for (const rounding_case &c : cases) {
        pass_sums sums;
        add_values(&sums, c.values);
        const double mean = sum_mean(sums, SUM_R, Q);
        EXPECT_TRUE(std::isnan(c.mean) ? std::isnan(mean) : mean == c.mean) << c.why;
        EXPECT_TRUE(std::isnan(sum_variance_r(sums, Q))) << c.why;
    }
}
