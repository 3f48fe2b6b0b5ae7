// Folding seeds into the ensemble's figures, in seed order: running moments, the rank band's
// count and the histograms of r.
#include "quantile_bins.h"
#include "quantiles.h"
#include "stats.h"

namespace {

constexpr std::size_t HISTOGRAM_BYTES = std::size_t{64} << 20;
constexpr int LEAST_R_BINS = 16;

} // namespace

void start_totals(ensemble_totals *totals, int couplings)
{
    const std::size_t cells = static_cast<std::size_t>(couplings) * PASS_COUNT;
    // 1,001 couplings still get 64 bins; fewer bins only make the quantiles' runs keep more
    // values, never other quantiles.
    int bins = MOST_R_BINS;
    while (bins > LEAST_R_BINS &&
           cells * static_cast<std::size_t>(bins) * sizeof(std::uint64_t) > HISTOGRAM_BYTES) {
        bins /= 2;
    }
    totals->couplings = couplings;
    totals->bins = bins;
    totals->seeds = 0;
    totals->few_turning_points = 0;
    totals->mean_r.assign(cells, 0.0);
    totals->m2_r.assign(cells, 0.0);
    totals->sum_rho.assign(cells, 0.0);
    totals->excluding.assign(cells, 0U);
    totals->nan_r.assign(cells, 0U);
    totals->histogram.assign(cells * static_cast<std::size_t>(bins), 0U);
}

void fold_seed(ensemble_totals *totals, const seed_result *results)
{
    fold_seeds(totals, results, 1);
}

void fold_seeds(ensemble_totals *totals, const seed_result *results, std::uint64_t seeds)
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
    // Cell by cell, each cell's seeds in seed order: a cell's figures and its part of the
    // histogram stay at hand while its seeds go by.
    const std::size_t bins = static_cast<std::size_t>(totals->bins);
    for (std::size_t c = 0; c < couplings; ++c) {
        for (int q = 0; q < PASS_COUNT; ++q) {
            const std::size_t cell = cell_of(static_cast<int>(c), q);
            std::uint64_t *histogram = &totals->histogram[cell * bins];
            double mean = totals->mean_r[cell];
            double m2 = totals->m2_r[cell];
            double sum_rho = totals->sum_rho[cell];
            for (std::uint64_t i = 0; i < seeds; ++i) {
                const seed_result &result = results[i * couplings + c];
                // Running mean and squared deviations, one seed at a time (Welford): stable
                // for any number of seeds, and the same figures whatever thread ran which
                // seed.
                const double n = static_cast<double>(before + i + 1);
                const double r = result.r[q];
                const double delta = r - mean;
                mean += delta / n;
                m2 += delta * (r - mean);
                const double rho = result.rho[q];
                const double bound = result.bound[q];
                sum_rho += rho;
                if (rho - bound > 0.0 || rho + bound < 0.0) {
                    totals->excluding[cell] += 1;
                }
                if (r != r) {
                    totals->nan_r[cell] += 1;
                } else {
                    histogram[bin_of(r, totals->bins)] += 1;
                }
            }
            totals->mean_r[cell] = mean;
            totals->m2_r[cell] = m2;
            totals->sum_rho[cell] = sum_rho;
        }
    }
}
