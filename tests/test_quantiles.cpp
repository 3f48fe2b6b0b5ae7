// The quantiles room: folding seeds into a state's figures, the exact quantiles against direct
// computation, the state's window, and which quantiles, read and named.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <random>
#include <vector>

#include "direct.h"
#include "kernels.h"
#include "quantiles.h"
#include "quantiles_fixture.h"
#include "stats.h"

TEST(QuantilePlace, WholePartAndFractionOfTheExactPlace)
{
    for (const place_by_hand &place : PLACES) {
        std::uint64_t k = 0;
        double fraction = -1.0;
        quantile_place(place.n, static_cast<std::uint32_t>(place.per_mille) * 1000U, &k, &fraction);
        EXPECT_EQ(k, place.k) << place.n << " values, " << place.per_mille << " per mille";
        EXPECT_EQ(fraction, place.fraction) << place.n << " values, " << place.per_mille;
    }
}

// The histograms stay within 64 MB however many couplings run: 2,048 bins of 8-byte counts for
// each of one coupling's 128 passes, and for 1,001 couplings the most bins a power of two
// allows, 64 (1,001 * 128 * 64 * 8 bytes = 62.6 MiB; 128 bins would take 125 MiB).
TEST(StudyState, HistogramsStayWithinTheirBudget)
{
    for (const int couplings : {1, 1001}) {
        study_state state;
        start_state(&state, couplings, quantile_list());
        EXPECT_EQ(state.bins, couplings == 1 ? 2048 : 64) << couplings << " couplings";
        EXPECT_LE(state.histogram.size() * sizeof state.histogram[0], std::size_t{64} << 20);
    }
}

// An r that is not a number is counted apart and kept out of the histogram, in its own cell
// only: seeds 2 and 7 of ten, pass 3. Its quantiles and mean are NaN; the other cells' not.
TEST(StudyState, NotANumberCountedInItsOwnCell)
{
    const std::vector<seed_result> results = made_up_seeds(
        10, [](int i, int q) { return q == 3 && (i == 2 || i == 7) ? std::nan("") : 0.25; });
    study_state state;
    const std::vector<pass_figures> rows = fold_twice(results, &state);
    for (int q = 0; q < PASS_COUNT; ++q) {
        const std::uint64_t nan_seeds = q == 3 ? 2 : 0;
        EXPECT_EQ(state.nan_r[q], nan_seeds) << q;
        const auto first = state.histogram.begin() + q * state.bins;
        EXPECT_EQ(std::accumulate(first, first + state.bins, std::uint64_t{0}), 10 - nan_seeds)
            << q;
        EXPECT_EQ(std::isnan(rows[q].r_quantile[1]), q == 3) << q;
        EXPECT_EQ(std::isnan(rows[q].mean_r), q == 3) << q;
    }
}

// Each coupling's figures come from its own seeds' values: at two couplings, ten seeds whose r
// is -0.5 at the first and 0.5 at the second, whose rank band excludes zero at the second only,
// and whose r in pass 3 is not a number for one seed at the first only.
TEST(StudyState, EachCouplingItsOwnFigures)
{
    std::vector<seed_result> results;
    for (int i = 0; i < 10; ++i) {
        for (int c = 0; c < 2; ++c) {
            seed_result result = made_up_seed(static_cast<std::uint32_t>(i));
            for (int q = 0; q < PASS_COUNT; ++q) {
                result.r[q] = c == 0 && q == 3 && i == 4 ? std::nan("") : c - 0.5;
                result.rho[q] = 0.5;
                result.bound[q] = c == 0 ? 0.75 : 0.25;
            }
            results.push_back(result);
        }
    }
    const study_state state = fold_all(results, 2, MOST_BUDGET);
    const std::vector<pass_figures> figures = figures_of(state);
    for (int q = 0; q < PASS_COUNT; ++q) {
        const pass_figures &first = figures[static_cast<std::size_t>(q)];
        const pass_figures &second = figures[static_cast<std::size_t>(PASS_COUNT + q)];
        EXPECT_EQ(std::isnan(first.mean_r), q == 3) << q;
        EXPECT_EQ(std::isnan(first.r_quantile[1]), q == 3) << q;
        if (q != 3) {
            EXPECT_EQ(first.mean_r, -0.5) << q;
            EXPECT_EQ(first.r_quantile[1], -0.5) << q;
        }
        EXPECT_EQ(first.share_excluding_zero, 0.0) << q;
        EXPECT_EQ(second.mean_r, 0.5) << q;
        EXPECT_EQ(second.r_quantile[0], 0.5) << q;
        EXPECT_EQ(second.r_quantile[2], 0.5) << q;
        EXPECT_EQ(second.share_excluding_zero, 1.0) << q;
    }
}

// Values placed by hand: 41 seeds whose r in pass 0 are -0.5 .. 0.5 in steps of 1/40, in a
// scrambled seed order. The quantile places are (41 - 1) p = 1, 20 and 39 exactly, so the
// quantiles are the order statistics -19/40, 0 and 19/40; the mean is 0 exactly and the sample
// variance (sum of j^2 / 1600 for j = -20 .. 20) / 40 = 5740 / 64000, rounded once.
TEST(StudyState, QuantilesMeanAndSpreadOfKnownValues)
{
    std::vector<seed_result> results;
    for (int i = 0; i < 41; ++i) {
        seed_result result = made_up_seed(static_cast<std::uint32_t>(i));
        const int j = (i * 17) % 41 - 20; // every j in -20 .. 20 once
        for (int q = 0; q < PASS_COUNT; ++q) {
            result.r[q] = j / 40.0;
            result.rho[q] = q == 0 ? (j < 0 ? -0.3 : 0.05) : 0.0;
            result.bound[q] = 0.1; // excludes zero only for rho = -0.3, j < 0: 20 of 41
        }
        result.turning_points = i < 3 ? 73 : 74; // three below the bound of 74
        results.push_back(result);
    }
    study_state state;
    const std::vector<pass_figures> rows = fold_twice(results, &state);
    EXPECT_EQ(rows[0].r_quantile[0], -19 / 40.0);
    EXPECT_EQ(rows[0].r_quantile[1], 0.0);
    EXPECT_EQ(rows[0].r_quantile[2], 19 / 40.0);
    EXPECT_EQ(rows[0].mean_r, 0.0);
    EXPECT_EQ(rows[0].sd_r, std::sqrt(5740.0 / 64000.0));
    EXPECT_NEAR(rows[0].mean_rho, (20 * -0.3 + 21 * 0.05) / 41, 1e-15);
    EXPECT_NEAR(rows[0].share_excluding_zero, 20.0 / 41.0, 1e-15);
    EXPECT_EQ(rows[1].share_excluding_zero, 0.0);
    EXPECT_EQ(state.few_turning_points, 3U);
}

// Eleven values 0, 0.1 .. 1.0: the places (11 - 1) p = 0.25, 5 and 9.75 fall between order
// statistics for two of the three quantiles; a list of its own reads its own places: the
// minimum, 0.0005 ((11 - 1) 0.0005 = 0.005 of the way from 0 to 0.1) and the maximum.
TEST(StudyState, QuantilesInterpolateBetweenOrderStatistics)
{
    const std::vector<seed_result> results =
        made_up_seeds(11, [](int i, int) { return (10 - i) / 10.0; });
    study_state state;
    const std::vector<pass_figures> rows = fold_twice(results, &state);
    EXPECT_NEAR(rows[5].r_quantile[0], 0.025, 1e-15);
    EXPECT_NEAR(rows[5].r_quantile[1], 0.5, 1e-15);
    EXPECT_NEAR(rows[5].r_quantile[2], 0.975, 1e-15);
    quantile_list ends;
    ASSERT_EQ(read_quantile_list("1,0,0.0005", "--quantiles", &ends), "");
    const std::vector<pass_figures> own =
        figures_of(fold_all(results, 1, MOST_BUDGET, 1, nullptr, ends));
    EXPECT_EQ(own[5].r_quantile[0], 0.0);
    EXPECT_NEAR(own[5].r_quantile[1], 0.0005, 1e-17);
    EXPECT_EQ(own[5].r_quantile[2], 1.0);
}

// Real seeds: every figure equals the one taken directly from all values, sorted.
TEST(StudyState, RealSeedsAgainstDirectComputation)
{
    constexpr int seeds = 60;
    std::vector<seed_result> results(seeds);
    for (int i = 0; i < seeds; ++i) {
        run_seed(static_cast<std::uint32_t>(1000 + i), &COUPLING_K, 1, true, &results[i]);
    }
    study_state state;
    const std::vector<pass_figures> rows = fold_twice(results, &state);
    for (int q = 0; q < PASS_COUNT; ++q) {
        std::vector<double> r;
        double sum = 0.0;
        for (const seed_result &result : results) {
            r.push_back(result.r[q]);
            sum += result.r[q];
        }
        std::sort(r.begin(), r.end());
        const double mean = sum / seeds;
        double squares = 0.0;
        for (double value : r) {
            squares += (value - mean) * (value - mean);
        }
        EXPECT_NEAR(rows[q].mean_r, mean, 1e-14) << "pass " << q;
        EXPECT_NEAR(rows[q].sd_r, std::sqrt(squares / (seeds - 1)), 1e-14) << "pass " << q;
        // The direct place (n - 1) p is a double here, a last bit off the exact fraction the
        // ensemble uses; the wrong order statistic would be off by far more.
        EXPECT_NEAR(rows[q].r_quantile[0], direct_quantile(r, 0.025), 1e-15) << "pass " << q;
        EXPECT_NEAR(rows[q].r_quantile[1], direct_quantile(r, 0.5), 1e-15) << "pass " << q;
        EXPECT_NEAR(rows[q].r_quantile[2], direct_quantile(r, 0.975), 1e-15) << "pass " << q;
        // Each value counted once, in the bin of its own 1/1024 of [-1, 1].
        std::vector<std::uint64_t> counted(2048, 0U);
        for (double value : r) {
            counted[static_cast<std::size_t>(std::floor((value + 1.0) * 1024.0))] += 1;
        }
        EXPECT_TRUE(std::equal(counted.begin(), counted.end(), state.histogram.begin() + q * 2048))
            << "pass " << q;
    }
}

// Lists of quantiles as the command line gives them: settled ascending and once, named in
// per mille; and what is refused.
TEST(QuantileList, ReadSettledAndNamed)
{
    const struct {
        const char *text;
        const char *columns; // empty: refused
    } cases[] = {
        {"0.025,0.5,0.975", "r_q025 r_q500 r_q975"},
        {"0.999,0.001,0.5,0.001", "r_q001 r_q500 r_q999"},
        {"0,1", "r_q000 r_q1000"},
        {"0.0005,0.123456", "r_q000.5 r_q123.456"},
        {"1.0,.5", ""},                                   // no whole part
        {"0.1234567", ""},                                // seven decimals
        {"1.000001", ""},                                 // above 1
        {"-0.1", ""},                                     // below 0
        {"0.5,", ""},                                     // an empty item
        {"0.1,0.2,0.3,0.4,0.5,0.6,0.7,0.8,0.9,0.95", ""}, // ten
        {"1e-3", ""},
    };
    for (const auto &one : cases) {
        quantile_list list;
        const std::string problem = read_quantile_list(one.text, "--quantiles", &list);
        std::string columns;
        for (int i = 0; problem.empty() && i < list.count; ++i) {
            columns += (i == 0 ? "" : " ") + quantile_column(list.per_million[i]);
        }
        EXPECT_EQ(columns, one.columns) << one.text;
        EXPECT_EQ(problem.empty(), *one.columns != '\0') << one.text << ": " << problem;
    }
}

// A state's window is the bins of the ranks within six standard deviations (and two places)
// of each quantile's: 10,000 values spread evenly over 2,048 bins hold about 4.9 each, so the
// median's window, 6 sqrt(10,000 / 4) + 3 = 303 ranks each side, spans about 124 bins about
// bin 1,024, and nothing near -0.5 is kept.
TEST(StudyState, WindowAroundEachQuantile)
{
    const std::vector<seed_result> results =
        made_up_seeds(10000, [](int i, int) { return -1.0 + (2.0 * i + 1.0) / 10000.0; });
    const study_state state = fold_all(results, 1, MOST_BUDGET);
    const auto kept = [&state](double r) {
        return state.kept_bin[static_cast<std::size_t>(std::floor((r + 1.0) * 1024.0))];
    };
    for (const double r : {0.0, 0.059, -0.059, -0.95, 0.95}) {
        EXPECT_EQ(kept(r), 1U) << r;
    }
    for (const double r : {0.063, -0.063, -0.5, 0.5, -0.91, 0.91}) {
        EXPECT_EQ(kept(r), 0U) << r;
    }
    // Every kept bin's values, and only those.
    std::uint64_t in_kept = 0;
    for (int b = 0; b < state.bins; ++b) {
        in_kept += state.kept_bin[b] != 0 ? state.histogram[b] : 0U;
    }
    EXPECT_EQ(state.values[0].size(), in_kept);
    EXPECT_TRUE(std::is_sorted(state.values[0].begin(), state.values[0].end()));
}
