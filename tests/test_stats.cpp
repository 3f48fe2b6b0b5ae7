// Moment and rank statistics on signals whose answers are known by hand.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <utility>

#include "stats.h"

namespace {

void fill_ramp(double *a) // 0, 1, ... 127
{
    for (int p = 0; p < SIGNAL_LENGTH; ++p) {
        a[p] = p;
    }
}

} // namespace

TEST(MomentStatistics, ConstantSignal)
{
    signal_t a;
    for (double &level : a) {
        level = 7.0; // every partial sum is a small integer, so the mean is exact
    }
    EXPECT_EQ(signal_mean(a), 7.0);
    EXPECT_EQ(signal_variance(a, 7.0), 0.0);
}

TEST(MomentStatistics, Ramp)
{
    signal_t a;
    fill_ramp(a);
    EXPECT_EQ(signal_mean(a), 63.5);              // (0 + 127) / 2
    EXPECT_EQ(signal_variance(a, 63.5), 1365.25); // (128^2 - 1) / 12, population variance
    // About another mean the variance grows by the squared offset: 1365.25 + 0.5^2.
    EXPECT_EQ(signal_variance(a, 64.0), 1365.5);
}

TEST(MomentStatistics, Correlation)
{
    signal_t a;
    signal_t mirror;
    signal_t scaled;
    fill_ramp(a);
    for (int p = 0; p < SIGNAL_LENGTH; ++p) {
        mirror[p] = 127.0 - a[p]; // reflected about the mean 63.5
        scaled[p] = 3.0 * a[p] + 2.0;
    }
    EXPECT_NEAR(signal_correlation(a, a, 63.5, 63.5, 1365.25, 1365.25), 1.0, 1e-15);
    EXPECT_NEAR(signal_correlation(a, mirror, 63.5, 63.5, 1365.25, 1365.25), -1.0, 1e-15);
    // A linear map keeps r = 1: mean 3 * 63.5 + 2, variance 9 * 1365.25.
    EXPECT_NEAR(signal_correlation(a, scaled, 63.5, 192.5, 1365.25, 12287.25), 1.0, 1e-15);
}

TEST(MomentStatistics, ZeroVarianceIsNotGuarded)
{
    signal_t a;
    signal_t flat;
    fill_ramp(a);
    for (double &level : flat) {
        level = 2.0;
    }
    EXPECT_TRUE(std::isnan(signal_correlation(a, flat, 63.5, 2.0, 1365.25, 0.0)));
}

TEST(RankStatistic, Monotone)
{
    signal_t a;
    fill_ramp(a);
    rank_result result = rank_statistic(a);
    EXPECT_EQ(result.rho, 1.0); // every level already in place: S = 0
    EXPECT_EQ(result.bound, 0.0);

    for (int p = 0; p < SIGNAL_LENGTH; ++p) {
        a[p] = -p; // strictly decreasing: position[p] = 127 - p, S = 699008
    }
    result = rank_statistic(a);
    EXPECT_NEAR(result.rho, -1.0, 1e-15);
    EXPECT_NEAR(result.bound, 0.349221356, 1e-9); // 1.96 * 2 / sqrt(126)
}

TEST(RankStatistic, OneSwappedPair)
{
    signal_t a;
    fill_ramp(a);
    a[10] = 11.0;
    a[11] = 10.0; // ranks off by one at two places: S = 2
    const rank_result result = rank_statistic(a);
    EXPECT_DOUBLE_EQ(result.rho, 1.0 - 12.0 / 2097024.0);
    // 1 - rho keeps only the bits of rho below 1, so the bound is good to about 1e-12.
    EXPECT_NEAR(result.bound, 1.96 * (12.0 / 2097024.0) / std::sqrt(126.0), 1e-18);
    EXPECT_EQ(a[10], 11.0) << "the input signal must not be reordered";
}

TEST(RankStatistic, TiesRankInTimeOrder)
{
    signal_t a;
    for (double &level : a) {
        level = 3.5;
    }
    EXPECT_EQ(rank_statistic(a).rho, 1.0); // all equal: nothing moves

    // Decreasing from 200, except that positions 0 and 1 share the top level. Sorted
    // ascending, places 0 .. 125 hold positions 127 .. 2 and places 126, 127 hold 0 then 1,
    // the earlier time first. S = sum over p < 126 of (127 - 2p)^2, plus 126^2 twice, which
    // is 667254 + 31752 = 699006. Ranking the tie the other way would give 699008, and
    // averaging the tied ranks 699006.5.
    for (int p = 0; p < SIGNAL_LENGTH; ++p) {
        a[p] = 200.0 - p;
    }
    a[1] = a[0];
    EXPECT_DOUBLE_EQ(rank_statistic(a).rho, 1.0 - 6.0 * 699006.0 / 2097024.0);
}

namespace {

// The exchange sort exactly as the experiment states it, one sweep after another, carrying
// the time positions: the reference both faster ways must match bit for bit.
rank_result plain_exchange_sort(const double *signal)
{
    double levels[SIGNAL_LENGTH];
    int position[SIGNAL_LENGTH];
    for (int p = 0; p < SIGNAL_LENGTH; ++p) {
        levels[p] = signal[p];
        position[p] = p;
    }
    for (int p = 0; p < SIGNAL_LENGTH; ++p) {
        for (int s = 0; s < SIGNAL_LENGTH - 1 - p; ++s) {
            if (levels[s] > levels[s + 1]) {
                std::swap(levels[s], levels[s + 1]);
                std::swap(position[s], position[s + 1]);
            }
        }
    }
    double sum = 0.0;
    for (int p = 0; p < SIGNAL_LENGTH; ++p) {
        sum = std::pow(static_cast<double>(position[p] - p), 2.0) + sum;
    }
    rank_result result;
    result.rho = 1.0 - (6.0 * sum) / (std::pow(128.0, 3.0) - 128.0);
    result.bound = std::sqrt(((1.0 - result.rho) * (1.0 - result.rho)) / 126.0) * 1.96;
    return result;
}

} // namespace

// The run's interleaved sweeps and the ensemble's pair counting must give what the plain
// sort gives on every input: continuous levels, heavy ties (a few distinct levels, where
// the time order of equal levels decides), signed zeros, infinities and NaNs.
TEST(RankStatistic, FasterWaysMatchThePlainExchangeSort)
{
    std::mt19937_64 random(20261208);
    const double specials[] = {0.0, -0.0, 1.0, -1.0, INFINITY, -INFINITY, NAN};
    signal_t a;
    for (int trial = 0; trial < 12000; ++trial) {
        const int kind = trial % 4;
        for (double &level : a) {
            const std::uint64_t draw = random();
            if (kind == 0) {
                level = std::ldexp(static_cast<double>(draw >> 11), -53) * 45.0 - 17.0;
            } else if (kind == 1) {
                level = static_cast<double>(draw % 3); // ties everywhere
            } else if (kind == 2) {
                level = static_cast<double>(draw % 40) * 0.25;
            } else {
                level = specials[draw % 7];
            }
        }
        if (kind == 3 && trial % 8 == 3) {
            a[random() % SIGNAL_LENGTH] = 2.0; // some of these have no NaN at all
            for (double &level : a) {
                level = level != level ? 5.0 : level;
            }
        }
        const rank_result expected = plain_exchange_sort(a);
        const rank_result sorted = rank_statistic(a);
        ASSERT_EQ(sorted.rho, expected.rho) << "trial " << trial;
        ASSERT_EQ(sorted.bound, expected.bound) << "trial " << trial;
        const rank_result counted = rank_statistic_counted(a);
        ASSERT_EQ(counted.rho, expected.rho) << "trial " << trial;
        ASSERT_EQ(counted.bound, expected.bound) << "trial " << trial;
    }
}

// Turning points counted by hand: only interior places count, only strict peaks and troughs,
// so a plateau's edges don't.
TEST(TurningPoints, HandMadeSignals)
{
    signal_t signal;
    fill_ramp(signal);
    EXPECT_EQ(turning_points(signal), 0) << "monotone";
    for (int p = 0; p < SIGNAL_LENGTH; ++p) {
        signal[p] = p % 2 == 0 ? 1.0 : 2.0;
    }
    EXPECT_EQ(turning_points(signal), 126) << "every interior place alternates";
    signal[0] = 0.5; // an end lower or higher than its one neighbour never counts itself
    signal[127] = 5.0;
    EXPECT_EQ(turning_points(signal), 126);
    for (int p = 0; p < SIGNAL_LENGTH; ++p) {
        signal[p] = 3.0;
    }
    signal[10] = 4.0; // a single peak
    signal[20] = 4.0; // a plateau of two: neither level is above both neighbours
    signal[21] = 4.0;
    signal[30] = 1.0; // a single trough
    EXPECT_EQ(turning_points(signal), 2);
    EXPECT_EQ(turning_point_bound(), 74);
}
