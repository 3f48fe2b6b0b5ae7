// What the quantiles room's parts share: where a cell's figures sit, which histogram bin a
// value of r falls in, and the folding of seeds that the net also looks through. Internal to
// the room.
#ifndef AGREEMENT_SWEEP_QUANTILE_BINS_H
#define AGREEMENT_SWEEP_QUANTILE_BINS_H

#include <cstddef>
#include <cstdint>

#include "quantiles.h"
#include "stats.h"

constexpr int QUANTILE_PER_MILLE[QUANTILES] = {25, 500, 975}; // 2.5 %, 50 %, 97.5 %

inline std::size_t cell_of(int coupling, int q)
{
    return static_cast<std::size_t>(coupling) * PASS_COUNT + static_cast<std::size_t>(q);
}

// The histogram bin of r among bins over [-1, 1]. Values a rounding step outside [-1, 1]
// go to the end bins, which keeps the bins in the order of the values.
inline int bin_of(double r, int bins)
{
    const double place = (r + 1.0) * (0.5 * bins); // bins / 2 per unit, exactly
    if (!(place >= 0.0)) {
        return 0;
    }
    // Truncation is the floor here, without a call to floor for every value folded.
    return place >= bins ? bins - 1 : static_cast<int>(place);
}

// Folds `seeds` consecutive seeds into the totals (fold_seeds is this, looking no further)
// and hands every r that is a number to each(coupling, cell, bin, r), cell by cell and each
// cell's seeds in seed order, so that whatever else looks at the values finds its bin worked
// out once.
template <class Each>
void fold_seeds_with(ensemble_totals *totals, const seed_result *results, std::uint64_t seeds,
                     Each each)
{
    const std::size_t couplings = static_cast<std::size_t>(totals->couplings);
    const std::uint64_t before = totals->seeds;
    totals->seeds += seeds;
    for (std::uint64_t i = 0; i < seeds; ++i) {
        // Every coupling shares the seed's reference signal.
        if (results[i * couplings].turning_points < turning_point_bound()) {
            totals->few_turning_points += 1;
        }
    }
    const std::size_t bins = static_cast<std::size_t>(totals->bins);
    for (std::size_t c = 0; c < couplings; ++c) {
        const std::size_t first_cell = cell_of(static_cast<int>(c), 0);
        double *mean = &totals->mean_r[first_cell];
        double *m2 = &totals->m2_r[first_cell];
        double *sum_rho = &totals->sum_rho[first_cell];
        std::uint64_t *excluding = &totals->excluding[first_cell];
        std::uint64_t *nan_r = &totals->nan_r[first_cell];
        // Running mean and squared deviations, one seed at a time (Welford): stable for any
        // number of seeds, and the same figures whatever thread ran which seed. Seed by seed,
        // every pass at once, reading each seed's results in the order they lie: each cell's
        // chain of divisions waits on its last one, and the passes' chains overlap.
        for (std::uint64_t i = 0; i < seeds; ++i) {
            const seed_result &result = results[i * couplings + c];
            const double n = static_cast<double>(before + i + 1);
            for (int q = 0; q < PASS_COUNT; ++q) {
                const double r = result.r[q];
                const double delta = r - mean[q];
                mean[q] += delta / n;
                m2[q] += delta * (r - mean[q]);
                const double rho = result.rho[q];
                const double bound = result.bound[q];
                sum_rho[q] += rho;
                excluding[q] += rho - bound > 0.0 || rho + bound < 0.0 ? 1U : 0U;
                nan_r[q] += r != r ? 1U : 0U;
            }
        }
        // The histogram cell by cell, each cell's seeds in seed order: a cell's part of it
        // stays at hand while its seeds go by.
        for (int q = 0; q < PASS_COUNT; ++q) {
            const std::size_t cell = first_cell + static_cast<std::size_t>(q);
            std::uint64_t *histogram = &totals->histogram[cell * bins];
            for (std::uint64_t i = 0; i < seeds; ++i) {
                const double r = results[i * couplings + c].r[q];
                if (r == r) {
                    const int bin = bin_of(r, totals->bins);
                    histogram[bin] += 1;
                    each(c, cell, bin, r);
                }
            }
        }
    }
}

#endif
