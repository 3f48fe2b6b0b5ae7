// The quantiles room's net: what a worker's fold catches in the first run, what it misses or
// lets go over its budget, and when it lets bins go.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "kernels.h"
#include "quantiles.h"
#include "quantiles_fixture.h"

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
        const std::vector<pass_figures> rows =
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
        const std::vector<pass_figures> rows = fold_with_net(results, budget, &found);
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
