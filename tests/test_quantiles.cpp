// The quantiles room: folding seeds into the figures, the exact quantiles against direct
// computation, the groups of the second run and the net that catches values in the first.
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
#include "stats.h"

namespace {

seed_result made_up_seed(std::uint32_t seed)
{
    seed_result result = {};
    result.seed = seed;
    result.turning_points = 80;
    return result;
}

// Folds the seeds' results (one coupling each) as the program does: every seed for the
// totals, then every seed again for the values the quantiles need.
std::vector<pass_row> fold_twice(const std::vector<seed_result> &results, ensemble_totals *totals)
{
    start_totals(totals, 1);
    for (const seed_result &result : results) {
        fold_seed(totals, &result);
    }
    quantile_search search;
    plan_quantiles(*totals, &search);
    for (const seed_result &result : results) {
        keep_values(&search, 0, 1, &result);
    }
    std::vector<pass_row> rows(PASS_COUNT);
    const double k = 0.0;
    finish_rows(*totals, &search, &k, rows.data());
    return rows;
}

// Folds the seeds' results (one coupling) with a net of `budget` values, as the program
// does; where the net misses, runs them again as the second run would. *found says which.
std::vector<pass_row> fold_with_net(const std::vector<seed_result> &results, std::uint64_t budget,
                                    bool *found, std::uint64_t *held)
{
    ensemble_totals totals;
    start_totals(&totals, 1);
    quantile_net net;
    start_net(totals, results.size(), budget, &net);
    // In blocks of 16 seeds and a short last one, as the program hands them over.
    for (std::size_t first = 0; first < results.size(); first += 16) {
        const std::size_t seeds = std::min<std::size_t>(16, results.size() - first);
        fold_and_catch(&totals, &net, &results[first], seeds);
    }
    *held = net.held;
    quantile_search search;
    plan_quantiles(totals, &search);
    std::vector<std::uint8_t> caught;
    take_caught(&net, &search, &caught);
    *found = caught[0] != 0;
    if (!*found) {
        for (const seed_result &result : results) {
            keep_values(&search, 0, 1, &result);
        }
    }
    std::vector<pass_row> rows(PASS_COUNT);
    const double k = 0.0;
    finish_rows(totals, &search, &k, rows.data());
    return rows;
}

// Quantile places worked out by hand: (n - 1) p, its whole part k and the fraction left. Where
// the fraction isn't a whole number of thousandths in binary, (n - 1) times the double nearest
// p misses the double nearest the fraction (by 6e-15 for n = 6,000 at 2.5 %).
struct place_by_hand {
    std::uint64_t n;
    int per_mille;
    std::uint64_t k;
    double fraction;
};
const place_by_hand PLACES[] = {
    {1, 500, 0, 0.0},       // a single value is every quantile
    {2, 500, 0, 0.5},       // halfway between the two
    {11, 25, 0, 0.25},      // 10 * 0.025
    {11, 500, 5, 0.0},      // 10 * 0.5
    {11, 975, 9, 0.75},     // 10 * 0.975
    {41, 25, 1, 0.0},       // 40 * 0.025, exactly one although 0.025 is a little more in binary
    {41, 975, 39, 0.0},     // 40 * 0.975, exactly 39 although 0.975 is a little less in binary
    {5000, 25, 124, 0.975}, // 4,999 * 0.025 = 124.975
    {5000, 500, 2499, 0.5},
    {5000, 975, 4874, 0.025}, // 4,999 * 0.975 = 4,874.025
    {6000, 25, 149, 0.975},   // 5,999 * 0.025 = 149.975
    {6000, 500, 2999, 0.5},
    {6000, 975, 5849, 0.025},                             // 5,999 * 0.975 = 5,849.025
    {(std::uint64_t{1} << 40) + 1, 25, 27487790694, 0.4}, // 2^40 / 40 = 27,487,790,694.4
};

// Every pass's quantiles from the results, sorted directly, at the places worked out by hand.
void expect_direct_quantiles(const std::vector<seed_result> &results,
                             const std::vector<pass_row> &rows)
{
    const int per_mille[3] = {25, 500, 975};
    const place_by_hand *places[3] = {};
    for (const place_by_hand &place : PLACES) {
        for (int i = 0; i < 3; ++i) {
            places[i] =
                place.n == results.size() && place.per_mille == per_mille[i] ? &place : places[i];
        }
    }
    for (int i = 0; i < 3; ++i) {
        ASSERT_NE(places[i], nullptr) << "no place by hand for " << results.size() << " values";
    }
    for (int q = 0; q < PASS_COUNT; ++q) {
        std::vector<double> values;
        for (const seed_result &result : results) {
            values.push_back(result.r[q]);
        }
        std::sort(values.begin(), values.end());
        // The same interpolation between the same order statistics, so equal to the bit.
        const double found[3] = {rows[q].r_low, rows[q].r_median, rows[q].r_high};
        for (int i = 0; i < 3; ++i) {
            const std::uint64_t k = places[i]->k;
            const double fraction = places[i]->fraction;
            const double expected =
                fraction == 0.0 ? values[k] : values[k] + fraction * (values[k + 1] - values[k]);
            EXPECT_EQ(found[i], expected) << "pass " << q << ", quantile " << i;
        }
    }
}

// count made-up seeds, seed i's r in pass q being r_of(i, q).
template <class Rule> std::vector<seed_result> made_up_seeds(int count, Rule r_of)
{
    std::vector<seed_result> results;
    for (int i = 0; i < count; ++i) {
        seed_result result = made_up_seed(static_cast<std::uint32_t>(i));
        for (int q = 0; q < PASS_COUNT; ++q) {
            result.r[q] = r_of(i, q);
        }
        results.push_back(result);
    }
    return results;
}

} // namespace

TEST(QuantilePlace, WholePartAndFractionOfTheExactPlace)
{
    for (const place_by_hand &place : PLACES) {
        std::uint64_t k = 0;
        double fraction = -1.0;
        quantile_place(place.n, place.per_mille, &k, &fraction);
        EXPECT_EQ(k, place.k) << place.n << " values, " << place.per_mille << " per mille";
        EXPECT_EQ(fraction, place.fraction) << place.n << " values, " << place.per_mille;
    }
}

// Values placed by hand: 41 seeds whose r in pass 0 are -0.5 .. 0.5 in steps of 1/40, in a
// scrambled seed order. The quantile places are (41 - 1) p = 1, 20 and 39 exactly, so the
// quantiles are the order statistics -19/40, 0 and 19/40; the mean is 0 and the sample
// variance (sum of j^2 / 1600 for j = -20 .. 20) / 40 = 5740 / 64000.
// The histograms stay within 64 MB however many couplings run: 2,048 bins of 8-byte counts for
// each of one coupling's 128 passes, and for 1,001 couplings the most bins a power of two
// allows, 64 (1,001 * 128 * 64 * 8 bytes = 62.6 MiB; 128 bins would take 125 MiB).
TEST(EnsembleTotals, HistogramsStayWithinTheirBudget)
{
    for (const int couplings : {1, 1001}) {
        ensemble_totals totals;
        start_totals(&totals, couplings);
        EXPECT_EQ(totals.bins, couplings == 1 ? 2048 : 64) << couplings << " couplings";
        EXPECT_LE(totals.histogram.size() * sizeof totals.histogram[0], std::size_t{64} << 20);
    }
}

// An r that is not a number is counted apart and kept out of the histogram, in its own cell
// only: seeds 2 and 7 of ten, pass 3.
TEST(EnsembleTotals, NotANumberCountedInItsOwnCell)
{
    const std::vector<seed_result> results = made_up_seeds(
        10, [](int i, int q) { return q == 3 && (i == 2 || i == 7) ? std::nan("") : 0.25; });
    ensemble_totals totals;
    start_totals(&totals, 1);
    fold_seeds(&totals, results.data(), results.size());
    for (int q = 0; q < PASS_COUNT; ++q) {
        const std::uint64_t nan_seeds = q == 3 ? 2 : 0;
        EXPECT_EQ(totals.nan_r[q], nan_seeds) << q;
        const auto first = totals.histogram.begin() + q * totals.bins;
        EXPECT_EQ(std::accumulate(first, first + totals.bins, std::uint64_t{0}), 10 - nan_seeds)
            << q;
    }
}

TEST(EnsembleTotals, QuantilesMeanAndSpreadOfKnownValues)
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
    ensemble_totals totals;
    const std::vector<pass_row> rows = fold_twice(results, &totals);
    EXPECT_EQ(rows[0].agreement, 1.0);
    EXPECT_EQ(rows[127].agreement, 0.0);
    EXPECT_EQ(rows[0].r_low, -19 / 40.0);
    EXPECT_EQ(rows[0].r_median, 0.0);
    EXPECT_EQ(rows[0].r_high, 19 / 40.0);
    EXPECT_NEAR(rows[0].mean_r, 0.0, 1e-15);
    EXPECT_NEAR(rows[0].sd_r, std::sqrt(5740.0 / 64000.0), 1e-15);
    EXPECT_NEAR(rows[0].mean_rho, (20 * -0.3 + 21 * 0.05) / 41, 1e-15);
    EXPECT_NEAR(rows[0].share_excluding_zero, 20.0 / 41.0, 1e-15);
    EXPECT_EQ(rows[1].share_excluding_zero, 0.0);
    EXPECT_EQ(totals.few_turning_points, 3U);
}

// Eleven values 0, 0.1 .. 1.0: the places (11 - 1) p = 0.25, 5 and 9.75 fall between order
// statistics for two of the three quantiles.
TEST(EnsembleTotals, QuantilesInterpolateBetweenOrderStatistics)
{
    const std::vector<seed_result> results =
        made_up_seeds(11, [](int i, int) { return (10 - i) / 10.0; });
    ensemble_totals totals;
    const std::vector<pass_row> rows = fold_twice(results, &totals);
    EXPECT_NEAR(rows[5].r_low, 0.025, 1e-15);
    EXPECT_NEAR(rows[5].r_median, 0.5, 1e-15);
    EXPECT_NEAR(rows[5].r_high, 0.975, 1e-15);
}

// Real seeds: every figure equals the one taken directly from all values, sorted.
TEST(EnsembleTotals, RealSeedsAgainstDirectComputation)
{
    constexpr int seeds = 60;
    std::vector<seed_result> results(seeds);
    for (int i = 0; i < seeds; ++i) {
        run_seed(static_cast<std::uint32_t>(1000 + i), &COUPLING_K, 1, true, &results[i]);
    }
    ensemble_totals totals;
    const std::vector<pass_row> rows = fold_twice(results, &totals);
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
        EXPECT_NEAR(rows[q].r_low, direct_quantile(r, 0.025), 1e-15) << "pass " << q;
        EXPECT_NEAR(rows[q].r_median, direct_quantile(r, 0.5), 1e-15) << "pass " << q;
        EXPECT_NEAR(rows[q].r_high, direct_quantile(r, 0.975), 1e-15) << "pass " << q;
    }
}

// The quantile runs group the couplings so that each keeps at most its budget of values.
TEST(QuantileSearch, GroupsCouplingsWithinTheBudget)
{
    quantile_search search;
    search.couplings = 4;
    search.kept.assign(4 * PASS_COUNT, 0U);
    const std::uint64_t per_coupling[4] = {300, 500, 900, 100};
    for (int c = 0; c < 4; ++c) {
        search.kept[static_cast<std::size_t>(c) * PASS_COUNT + 5] = per_coupling[c];
    }
    EXPECT_EQ(couplings_in_group(search, nullptr, 0, 800), 2); // 300 + 500
    EXPECT_EQ(couplings_in_group(search, nullptr, 0, 799), 1);
    EXPECT_EQ(couplings_in_group(search, nullptr, 2, 800), 1);  // 900 alone, over the budget
    EXPECT_EQ(couplings_in_group(search, nullptr, 2, 1000), 2); // to the last coupling
    EXPECT_EQ(couplings_in_group(search, nullptr, 0, 10000), 4);
    // A group ends before a coupling the first run caught whole.
    const std::uint8_t found[4] = {0, 0, 1, 0};
    EXPECT_EQ(couplings_in_group(search, found, 0, 10000), 2);
    EXPECT_EQ(couplings_in_group(search, found, 1, 10000), 1);
    EXPECT_EQ(couplings_in_group(search, found, 3, 10000), 1);
}

// 6,000 seeds of spread-out values: the net lets go of most of them as it goes (it starts
// narrowing after 2,048 seeds here) and still holds every value the quantiles need.
TEST(QuantileNet, CatchesWhatASecondRunWould)
{
    std::mt19937_64 random(3);
    std::normal_distribution<double> normal(0.0, 0.2);
    const std::vector<seed_result> results = made_up_seeds(6000, [&](int, int q) {
        return std::max(-1.0, std::min(1.0, normal(random) + (64 - q) / 80.0));
    });
    bool found = false;
    std::uint64_t held = 0;
    const std::vector<pass_row> rows = fold_with_net(results, 8192 * PASS_COUNT, &found, &held);
    EXPECT_TRUE(found);
    EXPECT_LT(held, 6000U * PASS_COUNT / 8);
    expect_direct_quantiles(results, rows);
}

// Values that drift after the first thousand seeds leave the quantiles where the net let go
// early; a net over its budget gives up at once. The second run then finds them.
TEST(QuantileNet, MissesADriftOrItsBudgetAndTheSecondRunFindsThem)
{
    const std::vector<seed_result> results = made_up_seeds(5000, [&](int i, int q) {
        return (i < 1000 ? 0.1 : 0.7) + ((i * 7919 + q) % 1000) / 10000.0;
    });
    for (std::uint64_t budget : {std::uint64_t{8192} * PASS_COUNT, std::uint64_t{1000}}) {
        bool found = true;
        std::uint64_t held = 0;
        const std::vector<pass_row> rows = fold_with_net(results, budget, &found, &held);
        EXPECT_FALSE(found) << budget;
        expect_direct_quantiles(results, rows);
    }
}

// Two couplings that together outgrow a budget of 200,000 values but one alone doesn't: the
// last one is let go, and what it held no longer counts against the first.
TEST(QuantileNet, OverBudgetTheLastCouplingGoesFirst)
{
    std::mt19937_64 random(3);
    std::normal_distribution<double> normal(0.0, 0.2);
    std::vector<seed_result> results;
    for (int i = 0; i < 6000 * 2; ++i) {
        seed_result result = made_up_seed(static_cast<std::uint32_t>(i / 2));
        for (int q = 0; q < PASS_COUNT; ++q) {
            result.r[q] = std::max(-1.0, std::min(1.0, normal(random) + (64 - q) / 80.0));
        }
        results.push_back(result);
    }
    ensemble_totals totals;
    start_totals(&totals, 2);
    quantile_net net;
    start_net(totals, 6000, 200000, &net);
    for (std::size_t first = 0; first < 6000; first += 16) {
        fold_and_catch(&totals, &net, &results[2 * first], std::min<std::size_t>(16, 6000 - first));
    }
    EXPECT_EQ(net.given_up[0], 0U);
    EXPECT_EQ(net.given_up[1], 1U);
    EXPECT_LE(net.held, 200000U);
    // Once let go, a coupling keeps no more values.
    for (int q = 0; q < PASS_COUNT; ++q) {
        EXPECT_TRUE(net.values[PASS_COUNT + q].empty()) << q;
    }
}

// The net lets bins go exactly after 2,048 seeds, even when blocks (13 seeds here) straddle
// that seed, and never takes a bin back: values that move on after the first 2,100 seeds come
// into bins already let go.
TEST(QuantileNet, LetsBinsGoOnTimeAndForGood)
{
    const std::vector<seed_result> results = made_up_seeds(5000, [&](int i, int q) {
        return (i < 2100 ? 0.1 : 0.7) + ((i * 7919 + q) % 1000) / 100000.0;
    });
    ensemble_totals totals;
    start_totals(&totals, 1);
    quantile_net net;
    start_net(totals, results.size(), 8192 * PASS_COUNT, &net);
    const auto bin = [&net](double r) {
        return static_cast<std::size_t>(std::floor((r + 1.0) * (0.5 * net.bins)));
    };
    std::size_t folded = 0;
    const auto fold_to = [&](std::size_t last) {
        for (; folded < last; folded += 13) {
            fold_and_catch(&totals, &net, &results[folded],
                           std::min<std::size_t>(13, last - folded));
        }
        folded = last;
    };
    fold_to(2047);
    EXPECT_EQ(net.open_bin[bin(0.705)], 1U) << "nothing let go before 2,048 seeds";
    fold_to(2050);
    EXPECT_EQ(net.next_narrowing, 4096U);
    EXPECT_EQ(net.open_bin[bin(0.705)], 0U);
    EXPECT_EQ(net.open_bin[bin(0.105)], 1U);
    fold_to(4100);
    // At 4,096 seeds the median heads for the values near 0.70, but their bins were let go.
    EXPECT_EQ(net.open_bin[bin(0.7001)], 0U);
}

// Keeping values for one group of couplings at a time gives the same rows as keeping them
// for all at once: each group's values land in its own couplings' cells.
TEST(QuantileSearch, GroupsKeepTheirOwnCouplings)
{
    const double couplings[2] = {0.0, 0.5};
    std::vector<seed_result> results(2 * 25);
    ensemble_totals totals;
    start_totals(&totals, 2);
    for (int i = 0; i < 25; ++i) {
        run_seed(static_cast<std::uint32_t>(300 + i), couplings, 2, false, &results[2 * i]);
        fold_seed(&totals, &results[2 * i]);
    }
    quantile_search together;
    quantile_search apart;
    plan_quantiles(totals, &together);
    plan_quantiles(totals, &apart);
    for (int i = 0; i < 25; ++i) {
        keep_values(&together, 0, 2, &results[2 * i]);
        keep_values(&apart, 0, 1, &results[2 * i]);
        keep_values(&apart, 1, 1, &results[2 * i + 1]);
    }
    std::vector<pass_row> rows_together(2 * PASS_COUNT);
    std::vector<pass_row> rows_apart(2 * PASS_COUNT);
    finish_rows(totals, &together, couplings, rows_together.data());
    finish_rows(totals, &apart, couplings, rows_apart.data());
    for (int cell = 0; cell < 2 * PASS_COUNT; ++cell) {
        EXPECT_EQ(rows_apart[cell].r_low, rows_together[cell].r_low) << "cell " << cell;
        EXPECT_EQ(rows_apart[cell].r_high, rows_together[cell].r_high) << "cell " << cell;
    }
    // And they are the order statistics: the smallest r of 25 lies below the 2.5 % quantile.
    double smallest = 1.0;
    for (int i = 0; i < 25; ++i) {
        smallest = std::min(smallest, results[2 * i + 1].r[7]);
    }
    EXPECT_GE(rows_apart[PASS_COUNT + 7].r_low, smallest);
}
