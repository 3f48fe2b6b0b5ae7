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

constexpr std::uint64_t MOST_BUDGET = std::uint64_t{1} << 40;

seed_result made_up_seed(std::uint32_t seed)
{
    seed_result result = {};
    result.seed = seed;
    result.turning_points = 80;
    return result;
}

// Folds the seeds' results (couplings each, seed by seed) as a run does: blocks of 16 and a
// short last one, dealt to `workers` workers in turn, each with a net of budget / workers
// values; then their states together, and where a worker's net missed the window, every seed
// again as the second run would. *found says, per coupling, whether the nets caught it.
study_state fold_all(const std::vector<seed_result> &results, int couplings, std::uint64_t budget,
                     int workers = 1, std::vector<std::uint8_t> *found = nullptr,
                     const quantile_list &quantiles = quantile_list(), double spread = NET_SPREAD)
{
    const std::size_t seeds = results.size() / static_cast<std::size_t>(couplings);
    std::vector<worker_fold> folds(static_cast<std::size_t>(workers));
    for (worker_fold &fold : folds) {
        start_worker_fold(&fold, couplings, quantiles, seeds, budget / workers, spread);
    }
    for (std::size_t first = 0, block = 0; first < seeds; first += 16, ++block) {
        fold_block(&folds[block % folds.size()], &results[first * couplings],
                   std::min<std::size_t>(16, seeds - first));
    }
    study_state state;
    start_state(&state, couplings, quantiles);
    state.spread = spread;
    for (worker_fold &fold : folds) {
        end_worker_fold(&fold);
        add_counts(&state, fold.part);
    }
    std::vector<std::uint8_t> window;
    state_window(state, &window);
    open_window(&state, window);
    for (int c = 0; c < couplings; ++c) {
        bool caught = true;
        for (const worker_fold &fold : folds) {
            caught = caught && part_covers(fold.part, window, c);
        }
        if (caught) {
            for (const worker_fold &fold : folds) {
                take_values(&state, fold.part, c);
            }
        } else {
            for (std::size_t i = 0; i < seeds; ++i) {
                keep_values(&state, c, 1, &results[i * couplings + c]);
            }
        }
        settle_values(&state, c);
        if (found != nullptr) {
            found->push_back(caught ? 1U : 0U);
        }
    }
    return state;
}

// The rows of every coupling of a complete state, k = 0.1 c for coupling c.
std::vector<pass_row> rows_of(const study_state &state)
{
    std::vector<double> couplings;
    for (int c = 0; c < state.couplings; ++c) {
        couplings.push_back(0.1 * c);
    }
    std::vector<pass_row> rows(static_cast<std::size_t>(state.couplings) * PASS_COUNT);
    for (int c = 0; c < state.couplings; ++c) {
        state_rows(state, couplings.data(), c, &rows[static_cast<std::size_t>(c) * PASS_COUNT]);
    }
    return rows;
}

// One coupling's seeds folded with a budget no net outgrows, keeping only what its own
// quantiles need, as a run that writes no state does: the rows.
std::vector<pass_row> fold_twice(const std::vector<seed_result> &results, study_state *state)
{
    *state = fold_all(results, 1, MOST_BUDGET, 1, nullptr, quantile_list(), 0.0);
    return rows_of(*state);
}

// With a net of `budget` values: where it misses, the seeds run again. *found says which.
std::vector<pass_row> fold_with_net(const std::vector<seed_result> &results, std::uint64_t budget,
                                    bool *found, int workers = 1)
{
    std::vector<std::uint8_t> caught;
    const study_state state = fold_all(results, 1, budget, workers, &caught);
    *found = caught[0] != 0;
    return rows_of(state);
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
        const double *found = rows[q].r_quantile;
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
    const std::vector<pass_row> rows = fold_twice(results, &state);
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
    const std::vector<pass_row> rows = fold_twice(results, &state);
    EXPECT_EQ(rows[0].agreement, 1.0);
    EXPECT_EQ(rows[127].agreement, 0.0);
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
    const std::vector<pass_row> rows = fold_twice(results, &state);
    EXPECT_NEAR(rows[5].r_quantile[0], 0.025, 1e-15);
    EXPECT_NEAR(rows[5].r_quantile[1], 0.5, 1e-15);
    EXPECT_NEAR(rows[5].r_quantile[2], 0.975, 1e-15);
    quantile_list ends;
    ASSERT_EQ(read_quantile_list("1,0,0.0005", "--quantiles", &ends), "");
    const std::vector<pass_row> own = rows_of(fold_all(results, 1, MOST_BUDGET, 1, nullptr, ends));
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
    const std::vector<pass_row> rows = fold_twice(results, &state);
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

// 6,000 seeds of spread-out values: the net lets go of most of them as it goes (it starts
// narrowing after 2,048 seeds here) and still holds every value the quantiles need, dealt to
// one worker or to three.
TEST(QuantileNet, CatchesWhatASecondRunWould)
{
    std::mt19937_64 random(3);
    std::normal_distribution<double> normal(0.0, 0.2);
    const std::vector<seed_result> results = made_up_seeds(6000, [&](int, int q) {
        return std::max(-1.0, std::min(1.0, normal(random) + (64 - q) / 80.0));
    });
    for (int workers : {1, 3}) {
        bool found = false;
        const std::vector<pass_row> rows =
            fold_with_net(results, 8192 * PASS_COUNT * workers, &found, workers);
        EXPECT_TRUE(found) << workers;
        expect_direct_quantiles(results, rows);
    }
    // What one worker's net still holds at the end is far less than every value.
    worker_fold fold;
    start_worker_fold(&fold, 1, quantile_list(), results.size(), 8192 * PASS_COUNT, 0.0);
    for (std::size_t first = 0; first < results.size(); first += 16) {
        fold_block(&fold, &results[first], std::min<std::size_t>(16, results.size() - first));
    }
    EXPECT_LT(fold.held, 6000U * PASS_COUNT / 3);
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
        const std::vector<pass_row> rows = fold_with_net(results, budget, &found);
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
    worker_fold fold;
    start_worker_fold(&fold, 2, quantile_list(), 6000, 200000, 0.0);
    for (std::size_t first = 0; first < 6000; first += 16) {
        fold_block(&fold, &results[2 * first], std::min<std::size_t>(16, 6000 - first));
    }
    EXPECT_EQ(fold.given_up[0], 0U);
    EXPECT_EQ(fold.given_up[1], 1U);
    EXPECT_LE(fold.held, 200000U);
    // Once let go, a coupling keeps no more values, and no bin counts as kept once it ends.
    for (int q = 0; q < PASS_COUNT; ++q) {
        EXPECT_TRUE(fold.part.values[PASS_COUNT + q].empty()) << q;
    }
    end_worker_fold(&fold);
    EXPECT_EQ(std::count(fold.part.kept_bin.begin() + PASS_COUNT * fold.part.bins,
                         fold.part.kept_bin.end(), std::uint8_t{1}),
              0);
}

// The net lets bins go exactly after 2,048 seeds, even when blocks (13 seeds here) straddle
// that seed, and never takes a bin back: values that move on after the first 2,100 seeds come
// into bins already let go.
TEST(QuantileNet, LetsBinsGoOnTimeAndForGood)
{
    const std::vector<seed_result> results = made_up_seeds(5000, [&](int i, int q) {
        return (i < 2100 ? 0.1 : 0.7) + ((i * 7919 + q) % 1000) / 100000.0;
    });
    worker_fold fold;
    start_worker_fold(&fold, 1, quantile_list(), results.size(), 8192 * PASS_COUNT, 0.0);
    const auto open = [&fold](double r) {
        return fold.part
            .kept_bin[static_cast<std::size_t>(std::floor((r + 1.0) * (0.5 * fold.part.bins)))];
    };
    std::size_t folded = 0;
    const auto fold_to = [&](std::size_t last) {
        for (; folded < last; folded += 13) {
            fold_block(&fold, &results[folded], std::min<std::size_t>(13, last - folded));
        }
        folded = last;
    };
    fold_to(2047);
    EXPECT_EQ(open(0.705), 1U) << "nothing let go before 2,048 seeds";
    fold_to(2050);
    EXPECT_EQ(fold.next_narrowing, 4096U);
    EXPECT_EQ(open(0.705), 0U);
    EXPECT_EQ(open(0.105), 1U);
    fold_to(4100);
    // At 4,096 seeds the median heads for the values near 0.70, but their bins were let go.
    EXPECT_EQ(open(0.7001), 0U);
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
