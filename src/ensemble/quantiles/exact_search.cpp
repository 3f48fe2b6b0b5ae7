// The exact quantiles of r: the order statistics the histograms point to, found among the
// values kept in their bins.
#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>

#include "measures.h"
#include "quantile_bins.h"
#include "quantiles.h"

void quantile_place(std::uint64_t n, int numerator, std::uint64_t *k, double *fraction)
{
    // (n - 1) p in integers, so that the place never depends on how p rounds in binary.
    const std::uint64_t scaled = (n - 1) * static_cast<std::uint64_t>(numerator);
    *k = scaled / 1000U;
    *fraction = static_cast<double>(scaled % 1000U) / 1000.0;
}

void plan_quantiles(const ensemble_totals &totals, quantile_search *search)
{
    const std::size_t cells = static_cast<std::size_t>(totals.couplings) * PASS_COUNT;
    const std::size_t bins = static_cast<std::size_t>(totals.bins);
    search->couplings = totals.couplings;
    search->bins = totals.bins;
    for (int i = 0; i < QUANTILES; ++i) {
        quantile_place(totals.seeds, QUANTILE_PER_MILLE[i], &search->place[i],
                       &search->fraction[i]);
    }
    search->wanted_bin.assign(cells * bins, 0U);
    search->read_back.assign(cells * WANTED_PER_CELL, 0U);
    search->kept.assign(cells, 0U);
    search->values.assign(cells, std::vector<double>());

    for (std::size_t cell = 0; cell < cells; ++cell) {
        if (totals.nan_r[cell] != 0) {
            continue; // no order among NaNs: these quantiles are NaN
        }
        // The places grow with the quantile, so the wanted order statistics come in
        // ascending order: k and k + 1 of each quantile (k + 1 is taken as the last value
        // where there is none after k; its fraction is 0 then).
        const std::uint64_t *histogram = &totals.histogram[cell * bins];
        std::uint64_t below = 0;      // values in the bins before b
        std::uint64_t kept_below = 0; // of those, values in wanted bins
        int next = 0;
        for (std::size_t b = 0; b < bins && next < WANTED_PER_CELL; ++b) {
            const std::uint64_t count = histogram[b];
            bool wanted_here = false;
            while (next < WANTED_PER_CELL) {
                const std::uint64_t rank =
                    std::min(search->place[next / 2] + next % 2, totals.seeds - 1);
                if (rank >= below + count) {
                    break;
                }
                search->read_back[cell * WANTED_PER_CELL + next] = kept_below + (rank - below);
                wanted_here = true;
                ++next;
            }
            if (wanted_here) {
                search->wanted_bin[cell * bins + b] = 1U;
                kept_below += count;
            }
            below += count;
        }
        search->kept[cell] = kept_below;
    }
}

std::uint64_t values_to_keep(const quantile_search &search, int coupling)
{
    std::uint64_t total = 0;
    for (int q = 0; q < PASS_COUNT; ++q) {
        total += search.kept[cell_of(coupling, q)];
    }
    return total;
}

int couplings_in_group(const quantile_search &search, const std::uint8_t *found, int first,
                       std::uint64_t budget)
{
    std::uint64_t kept = values_to_keep(search, first);
    int count = 1;
    while (first + count < search.couplings && (found == nullptr || found[first + count] == 0) &&
           kept + values_to_keep(search, first + count) <= budget) {
        kept += values_to_keep(search, first + count);
        ++count;
    }
    return count;
}

void keep_values(quantile_search *search, int first, int count, const seed_result *results)
{
    for (int c = 0; c < count; ++c) {
        for (int q = 0; q < PASS_COUNT; ++q) {
            const std::size_t cell = cell_of(first + c, q);
            const double r = results[c].r[q];
            const std::size_t bin = static_cast<std::size_t>(bin_of(r, search->bins));
            if (r == r && search->wanted_bin[cell * static_cast<std::size_t>(search->bins) + bin]) {
                std::vector<double> &values = search->values[cell];
                if (values.empty()) {
                    values.reserve(search->kept[cell]);
                }
                values.push_back(r);
            }
        }
    }
}

void finish_rows(const ensemble_totals &totals, quantile_search *search, const double *couplings,
                 pass_row *rows)
{
    finish_coupling_rows(totals, search, couplings, 0, totals.couplings, rows);
}

void finish_coupling_rows(const ensemble_totals &totals, quantile_search *search,
                          const double *couplings, int first, int count, pass_row *rows)
{
    const std::uint64_t n = totals.seeds;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (int c = first; c < first + count; ++c) {
        for (int q = 0; q < PASS_COUNT; ++q) {
            const std::size_t cell = cell_of(c, q);
            pass_row &row = rows[cell];
            row.coupling = couplings[c];
            row.agreement = agreement_fraction(q);
            row.mean_r = totals.mean_r[cell];
            row.sd_r = n > 1 ? std::sqrt(totals.m2_r[cell] / static_cast<double>(n - 1)) : nan;
            row.mean_rho = totals.sum_rho[cell] / static_cast<double>(n);
            row.share_excluding_zero =
                static_cast<double>(totals.excluding[cell]) / static_cast<double>(n);
            row.law_r = long_signal_law(row.agreement, row.coupling);

            double quantile[QUANTILES] = {nan, nan, nan};
            std::vector<double> &values = search->values[cell];
            if (totals.nan_r[cell] == 0) {
                std::sort(values.begin(), values.end());
                const std::uint64_t *places = &search->read_back[cell * WANTED_PER_CELL];
                for (std::size_t i = 0; i < QUANTILES; ++i) {
                    const double at_k = values[places[2 * i]];
                    const double after_k = values[places[2 * i + 1]];
                    const double fraction = search->fraction[i];
                    quantile[i] = fraction == 0.0 ? at_k : at_k + fraction * (after_k - at_k);
                }
            }
            // The values have served: free them as each row is done.
            std::vector<double>().swap(values);
            row.r_low = quantile[0];
            row.r_median = quantile[1];
            row.r_high = quantile[2];
        }
    }
}
