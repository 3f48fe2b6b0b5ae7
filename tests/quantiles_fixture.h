// What the quantiles room's tests share: made-up seeds, a run's fold done by hand, worker by
// worker, and quantile places worked out by hand.
#ifndef AGREEMENT_SWEEP_QUANTILES_FIXTURE_H
#define AGREEMENT_SWEEP_QUANTILES_FIXTURE_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "kernels.h"
#include "quantiles.h"

inline constexpr std::uint64_t MOST_BUDGET = std::uint64_t{1} << 40;

inline seed_result made_up_seed(std::uint32_t seed)
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
inline study_state fold_all(const std::vector<seed_result> &results, int couplings,
                            std::uint64_t budget, int workers = 1,
                            std::vector<std::uint8_t> *found = nullptr,
                            const quantile_list &quantiles = quantile_list(),
                            double spread = NET_SPREAD)
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

// The figures of every coupling's passes of a complete state, coupling by coupling.
inline std::vector<pass_figures> figures_of(const study_state &state)
{
    std::vector<pass_figures> figures(static_cast<std::size_t>(state.couplings) * PASS_COUNT);
    for (int c = 0; c < state.couplings; ++c) {
        coupling_figures(state, c, &figures[static_cast<std::size_t>(c) * PASS_COUNT]);
    }
    return figures;
}

// One coupling's seeds folded with a budget no net outgrows, keeping only what its own
// quantiles need, as a run that writes no state does: its figures.
inline std::vector<pass_figures> fold_twice(const std::vector<seed_result> &results,
                                            study_state *state)
{
    *state = fold_all(results, 1, MOST_BUDGET, 1, nullptr, quantile_list(), 0.0);
    return figures_of(*state);
}

// With a net of `budget` values: where it misses, the seeds run again. *found says which.
inline std::vector<pass_figures> fold_with_net(const std::vector<seed_result> &results,
                                               std::uint64_t budget, bool *found, int workers = 1)
{
    std::vector<std::uint8_t> caught;
    const study_state state = fold_all(results, 1, budget, workers, &caught);
    *found = caught[0] != 0;
    return figures_of(state);
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
inline const place_by_hand PLACES[] = {
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
inline void expect_direct_quantiles(const std::vector<seed_result> &results,
                                    const std::vector<pass_figures> &rows)
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

#endif
