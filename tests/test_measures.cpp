// The long-signal law, beside the pass measures it describes: its limits by hand and a direct
// simulation of long signals.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "measures.h"
#include "stats.h"
#include "synth.h"

// ---- Across the coupling coefficient ----

// The law's limits, worked out by hand from its formula: 1/sqrt(5) at k = 0 and full
// agreement, 0 at half agreement, and at k = 1 a perfect correlation that any disagreement
// destroys.
TEST(LongSignalLaw, Limits)
{
    EXPECT_NEAR(long_signal_law(1.0, 0.0), 1.0 / std::sqrt(5.0), 1e-15);
    EXPECT_NEAR(long_signal_law(0.0, 0.0), -1.0 / std::sqrt(5.0), 1e-15);
    EXPECT_NEAR(long_signal_law(0.748, 0.0), 0.496 / std::sqrt(5.0 + 4.0 * 0.748 * 0.252), 1e-15);
    for (const double k : {0.0, 0.3, 0.9, 1.0}) {
        EXPECT_EQ(long_signal_law(0.5, k), 0.0) << "k = " << k;
    }
    EXPECT_NEAR(long_signal_law(1.0, 1.0), 1.0, 1e-15);
    EXPECT_NEAR(long_signal_law(0.0, 1.0), -1.0, 1e-15);
    for (const double f : {0.001, 0.25, 0.748, 0.999}) {
        EXPECT_EQ(long_signal_law(f, 1.0), 0.0) << "f = " << f;
    }
}

// The law against a direct simulation of one long signal per point: iid reference levels, iid
// agreement flags, the generator's own step rule. 400,000 levels leave a noise of a few
// thousandths in r.
TEST(LongSignalLaw, MatchesALongSimulation)
{
    std::mt19937_64 random(2026);
    std::uniform_int_distribution<int> draw(0, RANDOM_MAX);
    constexpr int length = 400000;
    std::vector<double> x(length);
    std::vector<double> y(length);
    for (const double k : {0.25, 0.75}) {
        for (const double f : {1.0, 0.748}) {
            std::bernoulli_distribution agree(f);
            for (double &level : x) {
                level = level_from_draw(draw(random));
            }
            y[0] = level_from_draw(draw(random));
            for (int p = 0; p + 1 < length; ++p) {
                const double step = x[p + 1] - x[p];
                const bool same = agree(random);
                const bool up = (same && step > 0.0) || (!same && step < 0.0);
                const step_levels levels =
                    coupled_step_levels(y[p], std::fabs(step), k, draw(random));
                y[p + 1] = up ? levels.up : levels.down;
            }
            // Pearson's r from the five running sums, in one pass.
            double sums[5] = {}; // x, y, x^2, y^2, x y
            for (int i = 0; i < length; ++i) {
                const double terms[5] = {x[i], y[i], x[i] * x[i], y[i] * y[i], x[i] * y[i]};
                for (int t = 0; t < 5; ++t) {
                    sums[t] += terms[t];
                }
            }
            const double n = length;
            const double r =
                (n * sums[4] - sums[0] * sums[1]) /
                std::sqrt((n * sums[2] - sums[0] * sums[0]) * (n * sums[3] - sums[1] * sums[1]));
            EXPECT_NEAR(r, long_signal_law(f, k), 0.01) << "k = " << k << ", f = " << f;
        }
    }
}
