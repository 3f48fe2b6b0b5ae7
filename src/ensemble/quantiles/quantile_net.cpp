// A worker's part of a run: its seeds folded into a state of its own, and the net that keeps
// their values near where the run's quantiles will fall.
#include <algorithm>
#include <cmath>

#include "quantile_bins.h"
#include "quantiles.h"

namespace {

constexpr std::uint64_t FIRST_NARROWING_LEAST = 64;  // seeds folded before bins are let go,
constexpr std::uint64_t FIRST_NARROWING_MOST = 4096; // within the budget
// Seeds the 32-bit counts take before they go into the state, far below where one could fill.
constexpr std::uint64_t MOST_COUNTED = std::uint64_t{1} << 31;

void drop_values(worker_fold *fold, std::size_t cell)
{
    fold->held -= fold->part.values[cell].size();
    std::vector<double>().swap(fold->part.values[cell]);
}

void give_up(worker_fold *fold, int coupling)
{
    fold->given_up[static_cast<std::size_t>(coupling)] = 1U;
    for (int q = 0; q < PASS_COUNT; ++q) {
        drop_values(fold, cell_of(coupling, q));
    }
}

void empty_counts(worker_fold *fold)
{
    if (fold->counts.empty()) {
        return; // emptied into a state already
    }
    // The 64-bit counts are made only now: a worker's histogram costs half as much while it
    // runs, at most 32 MB.
    if (fold->part.histogram.size() != fold->counts.size()) {
        fold->part.histogram.assign(fold->counts.size(), 0U);
    }
    for (std::size_t i = 0; i < fold->counts.size(); ++i) {
        fold->part.histogram[i] += fold->counts[i];
        fold->counts[i] = 0U;
    }
    fold->counted = 0;
}

// Lets go of the bins of one cell that the run's window is not expected to reach. Of the run's
// values up to rank m, those among the worker's n seeds so far follow a hypergeometric law:
// mean n f with f = (m + 1) / N, variance n f (1 - f) (N - n) / (N - 1).
void narrow_cell(worker_fold *fold, std::size_t cell)
{
    study_state &part = fold->part;
    const std::size_t bins = static_cast<std::size_t>(part.bins);
    std::uint8_t *open = &part.kept_bin[cell * bins];
    std::vector<double> &values = part.values[cell];
    if (part.nan_r[cell] != 0) {
        // The run's quantiles here are NaN and want no values.
        std::fill(open, open + bins, std::uint8_t{0});
        drop_values(fold, cell);
        return;
    }
    std::vector<std::uint64_t> histogram(bins);
    for (std::size_t b = 0; b < bins; ++b) {
        histogram[b] = (part.histogram.empty() ? 0U : part.histogram[cell * bins + b]) +
                       fold->counts[cell * bins + b];
    }
    const double n = static_cast<double>(part.seeds);
    const double all = static_cast<double>(fold->run_seeds);
    const auto share_place = [n, all](double rank, double side) {
        const double f = std::min(1.0, std::max(0.0, (rank + 1.0) / all));
        const double spread = std::sqrt(n * f * (1.0 - f) * (all - n) / std::max(1.0, all - 1.0));
        return n * f - 1.0 + side * (NET_SPREAD * spread + 2.0);
    };
    std::vector<std::uint8_t> reached(bins, 0U);
    for (int i = 0; i < part.quantiles.count; ++i) {
        // The run's window for this quantile, in ranks among all of its seeds (state_window).
        const std::uint32_t per_million = part.quantiles.per_million[i];
        std::uint64_t k = 0;
        double fraction = 0.0;
        quantile_place(fold->run_seeds, per_million, &k, &fraction);
        const double p = static_cast<double>(per_million) / static_cast<double>(WHOLE);
        const double spread = std::ceil(part.spread * std::sqrt(all * p * (1.0 - p)));
        const double low = static_cast<double>(k) - spread - 2.0;
        const double high = static_cast<double>(k) + 3.0 + spread;
        mark_ranks(histogram.data(), bins, std::max(0.0, std::floor(share_place(low, -1.0))),
                   std::min(n - 1.0, std::ceil(share_place(high, 1.0))), reached.data());
    }
    for (std::size_t b = 0; b < bins; ++b) {
        open[b] = static_cast<std::uint8_t>(open[b] & reached[b]);
    }
    std::size_t kept = 0;
    for (double r : values) {
        if (open[static_cast<std::size_t>(bin_of(r, part.bins))] != 0) {
            values[kept++] = r;
        }
    }
    fold->held -= values.size() - kept;
    values.resize(kept);
    // Copied rather than shrunk in place: shrink_to_fit swallows a failed allocation.
    std::vector<double>(values.begin(), values.end()).swap(values);
}

// Folds coupling c of seeds' results: their sums and counts, then their histograms, the values
// in the net's open bins kept while the coupling is still caught.
void fold_coupling(worker_fold *fold, const seed_result *results, std::uint64_t seeds,
                   std::size_t c)
{
    study_state &part = fold->part;
    const std::size_t couplings = static_cast<std::size_t>(part.couplings);
    const std::size_t bins = static_cast<std::size_t>(part.bins);
    const std::size_t first_cell = cell_of(static_cast<int>(c), 0);
    std::uint64_t *excluding = &part.excluding[first_cell];
    std::uint64_t *nan_r = &part.nan_r[first_cell];
    const bool catching = fold->given_up[c] == 0;
    // Seed by seed, every pass at once: the sums and counts of a seed's row.
    for (std::uint64_t i = 0; i < seeds; ++i) {
        const seed_result &result = results[i * couplings + c];
        add_seed_to_sums(&part.sums[c], result.r, result.rho);
        for (int q = 0; q < PASS_COUNT; ++q) {
            const double rho = result.rho[q];
            const double bound = result.bound[q];
            excluding[q] += rho - bound > 0.0 || rho + bound < 0.0 ? 1U : 0U;
            nan_r[q] += result.r[q] != result.r[q] ? 1U : 0U;
        }
    }
    // Then the histograms cell by cell, each cell's seeds in a row: a cell's part of them
    // (8 KB at one k) stays at hand while its seeds go by.
    for (int q = 0; q < PASS_COUNT; ++q) {
        const std::size_t cell = first_cell + static_cast<std::size_t>(q);
        std::uint32_t *counts = &fold->counts[cell * bins];
        const std::uint8_t *kept = &part.kept_bin[cell * bins];
        for (std::uint64_t i = 0; i < seeds; ++i) {
            const double r = results[i * couplings + c].r[q];
            if (r != r) {
                continue;
            }
            const std::size_t bin = static_cast<std::size_t>(bin_of(r, part.bins));
            counts[bin] += 1U;
            if (catching && kept[bin] != 0) {
                part.values[cell].push_back(r);
                fold->held += 1;
            }
        }
    }
}

// Folds seeds that end at most where the net next lets bins go.
void fold_piece(worker_fold *fold, const seed_result *results, std::uint64_t seeds)
{
    study_state &part = fold->part;
    const std::size_t couplings = static_cast<std::size_t>(part.couplings);
    if (fold->counted + seeds > MOST_COUNTED) {
        empty_counts(fold);
    }
    part.seeds += seeds;
    fold->counted += seeds;
    for (std::uint64_t i = 0; i < seeds; ++i) {
        // Every coupling shares the seed's reference signal.
        if (results[i * couplings].turning_points < turning_point_bound()) {
            part.few_turning_points += 1;
        }
    }
    for (std::size_t c = 0; c < couplings; ++c) {
        fold_coupling(fold, results, seeds, c);
    }
    // Over budget, the last couplings are left to the second run.
    for (int c = part.couplings - 1; c >= 0 && fold->held > fold->budget; --c) {
        if (fold->given_up[static_cast<std::size_t>(c)] == 0) {
            give_up(fold, c);
        }
    }
    if (part.seeds == fold->next_narrowing) {
        for (int c = 0; c < part.couplings; ++c) {
            if (fold->given_up[static_cast<std::size_t>(c)] != 0) {
                continue;
            }
            for (int q = 0; q < PASS_COUNT; ++q) {
                narrow_cell(fold, cell_of(c, q));
            }
        }
        fold->next_narrowing *= 2;
    }
}

} // namespace

void start_worker_fold(worker_fold *fold, int couplings, const quantile_list &quantiles,
                       std::uint64_t run_seeds, std::uint64_t budget, double spread)
{
    start_state(&fold->part, couplings, quantiles);
    fold->part.spread = spread;
    std::vector<std::uint64_t>().swap(fold->part.histogram); // until the counts are emptied
    const std::size_t cells = static_cast<std::size_t>(couplings) * PASS_COUNT;
    fold->counts.assign(cells * static_cast<std::size_t>(fold->part.bins), 0U);
    fold->counted = 0;
    fold->run_seeds = run_seeds;
    fold->budget = budget;
    fold->held = 0;
    // Until then it keeps every value: a quarter of the budget, leaving room to grow.
    fold->next_narrowing =
        std::min(FIRST_NARROWING_MOST, std::max(FIRST_NARROWING_LEAST, budget / cells / 4));
    fold->given_up.assign(static_cast<std::size_t>(couplings), 0U);
}

void fold_block(worker_fold *fold, const seed_result *results, std::uint64_t seeds)
{
    const std::size_t couplings = static_cast<std::size_t>(fold->part.couplings);
    while (seeds > 0) {
        // Up to the seed after which the net lets bins go, if it comes in this block.
        const std::uint64_t before = fold->next_narrowing > fold->part.seeds
                                         ? fold->next_narrowing - fold->part.seeds
                                         : seeds;
        const std::uint64_t piece = std::min(seeds, before);
        fold_piece(fold, results, piece);
        results += piece * couplings;
        seeds -= piece;
    }
}

void add_worker_fold(study_state *whole, worker_fold *fold)
{
    add_counts(whole, fold->part);
    for (std::size_t i = 0; i < fold->counts.size(); ++i) {
        whole->histogram[i] += fold->counts[i];
    }
    fold->counted = 0;
    std::vector<std::uint32_t>().swap(fold->counts);
    std::vector<std::uint64_t>().swap(fold->part.histogram);
    end_worker_fold(fold);
}

void end_worker_fold(worker_fold *fold)
{
    empty_counts(fold);
    const std::size_t bins = static_cast<std::size_t>(fold->part.bins);
    for (int c = 0; c < fold->part.couplings; ++c) {
        if (fold->given_up[static_cast<std::size_t>(c)] != 0) {
            const std::size_t first = cell_of(c, 0) * bins;
            std::fill(fold->part.kept_bin.begin() + static_cast<std::ptrdiff_t>(first),
                      fold->part.kept_bin.begin() +
                          static_cast<std::ptrdiff_t>(first + PASS_COUNT * bins),
                      std::uint8_t{0});
        }
    }
    std::vector<std::uint32_t>().swap(fold->counts);
}
