// Folding seeds into the ensemble's figures, in seed order: running moments, the rank band's
// count and the histograms of r.
#include "quantile_bins.h"
#include "quantiles.h"

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
    fold_seeds_with(totals, results, seeds, [](std::size_t, std::size_t, int, double) {});
}
