// The ensemble program across coupling coefficients end to end: one seed's table against a
// computation from the experiment's rules alone, and a grid that shares its seeds across k.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "ensemble_program.h"
#include "program_harness.h"

#include "experiment.h"
#include "synth.h"
#include "theory.h"

namespace {

// Seed 7's r at coupling k in passes 0 .. passes - 1, worked out from the experiment's rules
// alone: its own generator, mask, general bounds and Pearson correlation (amplification
// leaves r unchanged up to rounding).
std::vector<double> independent_r(std::uint32_t state, double k, int passes)
{
    auto draw = [&state]() {
        state = state * 214013U + 2531011U;
        return static_cast<double>((state >> 16) & 0x7FFFU);
    };
    double x[128];
    for (double &level : x) {
        level = draw() * 9.0 / 32767.0 + 1.0;
    }
    std::vector<double> r;
    for (int q = 0; q < passes; ++q) {
        int flags[128];
        std::fill(flags, flags + 128, 1);
        flags[127] = 0; // index 127 lies past the mask
        for (int cleared = 0; cleared < q;) {
            const int i = static_cast<int>(std::floor(draw() * 127.0 / 32767.0));
            cleared += flags[i];
            flags[i] = 0;
        }
        double y[128];
        y[0] = draw() * 9.0 / 32767.0 + 1.0;
        for (int p = 0; p < 127; ++p) {
            const double step = x[p + 1] - x[p];
            const double d = std::fabs(step);
            const bool up = (flags[p] == 1 && step > 0.0) || (flags[p] == 0 && step < 0.0);
            const double u = draw();
            if (up) {
                const double high = 10.0 - ((10.0 - y[p]) - d) * k;
                const double low = d * k + y[p];
                y[p + 1] = u * (high - low) / 32767.0 + low;
            } else {
                const double high = y[p] - d * k;
                const double low = ((y[p] - d) - 1.0) * k + 1.0;
                y[p + 1] = high - u * (high - low) / 32767.0;
            }
        }
        double mx = 0.0;
        double my = 0.0;
        for (int i = 0; i < 128; ++i) {
            mx += x[i] / 128.0;
            my += y[i] / 128.0;
        }
        double sxy = 0.0;
        double sxx = 0.0;
        double syy = 0.0;
        for (int i = 0; i < 128; ++i) {
            sxy += (x[i] - mx) * (y[i] - my);
            sxx += (x[i] - mx) * (x[i] - mx);
            syy += (y[i] - my) * (y[i] - my);
        }
        r.push_back(sxy / std::sqrt(sxx * syy));
    }
    return r;
}

} // namespace

// One seed's table at a small and a large k against the independent computation, at six
// decimals, in the first passes (q = 3 takes mask draws too).
TEST_F(EnsembleProgram, CoupledTableMatchesAnIndependentComputation)
{
    ASSERT_EQ(ensemble("--seeds 1 --first-seed 7 --coupling 0.6,0.05 --output one.csv"), 0)
        << errors_;
    const std::vector<std::string> rows = split(text("one.csv"), '\n');
    ASSERT_EQ(rows.size(), 1U + 2U * 128U);
    EXPECT_EQ(rows[0], "coupling,q,agreement,mean_r,sd_r,r_q025,r_q500,r_q975,mean_rho,"
                       "share_rho_band_excludes_zero,law_r,finite_law_r");
    for (const double k : {0.05, 0.6}) {
        const std::vector<double> r = independent_r(7U, k, 4);
        double finite[PASS_COUNT]; // each row's own k, not a neighbour's
        finite_length_law(k, finite);
        const int first_row = k == 0.05 ? 1 : 1 + 128;
        for (int q = 0; q < 4; ++q) {
            const std::vector<std::string> fields = split(rows[first_row + q], ',');
            ASSERT_EQ(fields.size(), 12U);
            EXPECT_EQ(fields[0], k == 0.05 ? "0.050000" : "0.600000");
            EXPECT_EQ(fields[1], std::to_string(q));
            for (const int column : {3, 5, 6, 7}) { // mean and quantiles of one seed: its r
                EXPECT_NEAR(std::stod(fields[column]), r[q], 5.1e-7)
                    << "k " << k << ", q " << q << ", column " << column;
            }
            EXPECT_EQ(fields[4], "nan") << "no spread from one seed";
            EXPECT_NEAR(std::stod(fields[10]), long_signal_law((127.0 - q) / 127.0, k), 5.1e-7);
            EXPECT_NEAR(std::stod(fields[11]), finite[q], 5.1e-7) << "k " << k << ", q " << q;
        }
    }
}

// A grid: the same bytes on 1 and 3 threads, its k = 0 rows those of a run at k = 0 alone,
// and the per-seed rows by seed, then k, then q.
TEST_F(EnsembleProgram, GridSharesTheSeedsAcrossCouplings)
{
    ASSERT_EQ(ensemble("--seeds 30 --first-seed 4294967266 --output alone.csv"), 0) << errors_;
    ASSERT_EQ(ensemble("--seeds 30 --first-seed 4294967266 --coupling 1,0:0.5:0.25 --threads 1 "
                       "--output one.csv --per-seed one_seeds.csv"),
              0)
        << errors_;
    EXPECT_NE(out_.find("30 seeds (4294967266 to 4294967295) at 4 couplings"), std::string::npos)
        << out_;
    for (const char *k : {"k = 0.0000: ", "k = 0.2500: ", "k = 0.5000: ", "k = 1.0000: "}) {
        EXPECT_NE(out_.find(k), std::string::npos) << k << " in " << out_;
    }
    ASSERT_EQ(ensemble("--seeds 30 --first-seed 4294967266 --coupling 1,0:0.5:0.25 --threads 3 "
                       "--output three.csv --per-seed three_seeds.csv"),
              0)
        << errors_;
    EXPECT_EQ(text("three.csv"), text("one.csv"));
    EXPECT_EQ(text("three_seeds.csv"), text("one_seeds.csv"));

    const std::vector<std::string> alone = split(text("alone.csv"), '\n');
    const std::vector<std::string> grid = split(text("one.csv"), '\n');
    ASSERT_EQ(grid.size(), 1U + 4U * 128U);
    for (int q = 0; q <= PASS_COUNT; ++q) {
        EXPECT_EQ(grid[q], alone[q]) << "row " << q;
    }
    EXPECT_EQ(grid[1 + 3 * 128].rfind("1.000000,0,1.000000,1.000000,", 0), 0U) << grid[1 + 3 * 128];
    EXPECT_NE(out_.find("k = 1.0000: mean r 1.0000 at full agreement, -1.0000 at full "
                        "disagreement;"),
              std::string::npos)
        << out_;

    const std::vector<std::string> seeds = split(text("one_seeds.csv"), '\n');
    ASSERT_EQ(seeds.size(), 1U + 30U * 4U * 128U);
    EXPECT_EQ(seeds[1].rfind("0.000000,4294967266,0,", 0), 0U) << seeds[1];
    EXPECT_EQ(seeds[1 + 128].rfind("0.250000,4294967266,0,", 0), 0U) << seeds[1 + 128];
    EXPECT_EQ(seeds[1 + 512].rfind("0.000000,4294967267,0,", 0), 0U) << seeds[1 + 512];
}
