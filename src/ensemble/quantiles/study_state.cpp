// A study's state: started, added together, its window of kept values chosen, and its
// figures read off.
#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>

#include "quantile_bins.h"
#include "quantiles.h"

namespace {

constexpr std::size_t HISTOGRAM_BYTES = std::size_t{64} << 20;
constexpr int LEAST_R_BINS = 16;

// A count as a double, through a signed integer: every count here is below 2^33, and 32-bit
// x86 turns a signed one into a double without arithmetic on its x87 unit.
double as_double(std::uint64_t count)
{
    return static_cast<double>(static_cast<std::int64_t>(count));
}

// The value of rank `rank` among a cell's values, from its histogram and its kept values:
// NaN when its bin is not kept (a state that can't say).
double value_of_rank(const study_state &state, std::size_t cell, std::uint64_t rank)
{
    const std::size_t bins = static_cast<std::size_t>(state.bins);
    const std::uint64_t *histogram = &state.histogram[cell * bins];
    const std::uint8_t *kept = &state.kept_bin[cell * bins];
    std::uint64_t below = 0;
    std::uint64_t kept_below = 0;
    for (std::size_t b = 0; b < bins; ++b) {
        if (rank < below + histogram[b]) {
            const std::vector<double> &values = state.values[cell];
            const std::uint64_t at = kept_below + (rank - below);
            return kept[b] != 0 && at < values.size() ? values[at]
                                                      : std::numeric_limits<double>::quiet_NaN();
        }
        below += histogram[b];
        kept_below += kept[b] != 0 ? histogram[b] : 0U;
    }
    return std::numeric_limits<double>::quiet_NaN();
}

} // namespace

void quantile_place(std::uint64_t n, std::uint32_t per_million, std::uint64_t *k, double *fraction)
{
    // (n - 1) p in integers, so that the place never depends on how p rounds in binary.
    const std::uint64_t scaled = (n - 1) * per_million;
    *k = scaled / WHOLE;
    *fraction = static_cast<double>(static_cast<std::uint32_t>(scaled % WHOLE)) /
                static_cast<double>(WHOLE);
}

void start_state(study_state *state, int couplings, const quantile_list &quantiles)
{
    const std::size_t cells = static_cast<std::size_t>(couplings) * PASS_COUNT;
    // 1,001 couplings still get 64 bins; fewer bins only make the state keep more values,
    // never other quantiles.
    int bins = MOST_R_BINS;
    while (bins > LEAST_R_BINS &&
           cells * static_cast<std::size_t>(bins) * sizeof(std::uint64_t) > HISTOGRAM_BYTES) {
        bins /= 2;
    }
    state->couplings = couplings;
    state->bins = bins;
    state->quantiles = quantiles;
    state->coupling_values.clear();
    state->spans.clear();
    state->spread = NET_SPREAD;
    state->seeds = 0;
    state->few_turning_points = 0;
    state->sums.clear();
    state->sums.resize(static_cast<std::size_t>(couplings));
    state->excluding.assign(cells, 0U);
    state->nan_r.assign(cells, 0U);
    state->histogram.assign(cells * static_cast<std::size_t>(bins), 0U);
    state->kept_bin.assign(cells * static_cast<std::size_t>(bins), 1U);
    state->values.assign(cells, std::vector<double>());
}

void state_window(const study_state &state, std::vector<std::uint8_t> *window)
{
    const std::size_t cells = static_cast<std::size_t>(state.couplings) * PASS_COUNT;
    const std::size_t bins = static_cast<std::size_t>(state.bins);
    window->assign(cells * bins, 0U);
    const std::uint64_t n = state.seeds;
    if (n == 0) {
        return;
    }
    for (std::size_t cell = 0; cell < cells; ++cell) {
        if (state.nan_r[cell] != 0) {
            continue; // no order among NaNs: its quantiles are NaN
        }
        for (int i = 0; i < state.quantiles.count; ++i) {
            const std::uint32_t per_million = state.quantiles.per_million[i];
            std::uint64_t k = 0;
            double fraction = 0.0;
            quantile_place(n, per_million, &k, &fraction);
            const double p = static_cast<double>(per_million) / static_cast<double>(WHOLE);
            const double spread = std::ceil(state.spread * std::sqrt(as_double(n) * p * (1.0 - p)));
            const double low = std::max(0.0, as_double(k) - spread - 2.0);
            const double high = std::min(as_double(n - 1), as_double(k) + 3.0 + spread);
            mark_ranks(&state.histogram[cell * bins], bins, low, high, &(*window)[cell * bins]);
        }
    }
}

void add_counts(study_state *whole, const study_state &part)
{
    whole->seeds += part.seeds;
    whole->few_turning_points += part.few_turning_points;
    for (std::size_t c = 0; c < whole->sums.size(); ++c) {
        add_sums(&whole->sums[c], part.sums[c]);
    }
    for (std::size_t cell = 0; cell < whole->excluding.size(); ++cell) {
        whole->excluding[cell] += part.excluding[cell];
        whole->nan_r[cell] += part.nan_r[cell];
    }
    // A worker's fold may have no 64-bit counts yet: its 32-bit ones are added apart.
    for (std::size_t i = 0; i < part.histogram.size(); ++i) {
        whole->histogram[i] += part.histogram[i];
    }
}

bool part_covers(const study_state &part, const std::vector<std::uint8_t> &window, int coupling)
{
    const std::size_t bins = static_cast<std::size_t>(part.bins);
    const std::size_t first = cell_of(coupling, 0) * bins;
    for (std::size_t i = first; i < first + PASS_COUNT * bins; ++i) {
        if (window[i] != 0 && part.kept_bin[i] == 0) {
            return false;
        }
    }
    return true;
}

void open_window(study_state *whole, const std::vector<std::uint8_t> &window)
{
    whole->kept_bin = window;
    for (std::vector<double> &values : whole->values) {
        std::vector<double>().swap(values);
    }
}

std::uint64_t values_in_window(const study_state &state, const std::vector<std::uint8_t> &window,
                               int coupling)
{
    const std::size_t bins = static_cast<std::size_t>(state.bins);
    const std::size_t first = cell_of(coupling, 0) * bins;
    std::uint64_t total = 0;
    for (std::size_t i = first; i < first + PASS_COUNT * bins; ++i) {
        total += window[i] != 0 ? state.histogram[i] : 0U;
    }
    return total;
}

void take_values(study_state *whole, const study_state &part, int coupling)
{
    const std::size_t bins = static_cast<std::size_t>(whole->bins);
    for (int q = 0; q < PASS_COUNT; ++q) {
        const std::size_t cell = cell_of(coupling, q);
        const std::uint8_t *kept = &whole->kept_bin[cell * bins];
        const int bin_count = whole->bins;
        std::copy_if(part.values[cell].begin(), part.values[cell].end(),
                     std::back_inserter(whole->values[cell]),
                     [kept, bin_count](double r) { return kept[bin_of(r, bin_count)] != 0; });
    }
}

void keep_values(study_state *whole, int first, int count, const seed_result *results)
{
    const std::size_t bins = static_cast<std::size_t>(whole->bins);
    for (int c = 0; c < count; ++c) {
        for (int q = 0; q < PASS_COUNT; ++q) {
            const std::size_t cell = cell_of(first + c, q);
            const double r = results[c].r[q];
            const std::size_t bin = static_cast<std::size_t>(bin_of(r, whole->bins));
            if (r == r && whole->kept_bin[cell * bins + bin] != 0) {
                whole->values[cell].push_back(r);
            }
        }
    }
}

bool values_fit(const study_state &state)
{
    const std::size_t bins = static_cast<std::size_t>(state.bins);
    for (std::size_t cell = 0; cell < state.values.size(); ++cell) {
        const std::vector<double> &values = state.values[cell];
        const std::uint8_t *kept = &state.kept_bin[cell * bins];
        for (std::size_t i = 0; i < values.size(); ++i) {
            const double r = values[i];
            if (!(r == r) || (i > 0 && r < values[i - 1]) || kept[bin_of(r, state.bins)] == 0) {
                return false;
            }
        }
    }
    return true;
}

void settle_values(study_state *whole, int coupling)
{
    for (int q = 0; q < PASS_COUNT; ++q) {
        std::vector<double> &values = whole->values[cell_of(coupling, q)];
        std::sort(values.begin(), values.end());
    }
}

void coupling_figures(const study_state &state, int coupling, pass_figures *figures)
{
    const std::uint64_t n = state.seeds;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const pass_sums &sums = state.sums[static_cast<std::size_t>(coupling)];
    for (int q = 0; q < PASS_COUNT; ++q) {
        const std::size_t cell = cell_of(coupling, q);
        pass_figures &cell_figures = figures[q];
        // Each rounded once from the exact sums: the same doubles however the seeds were split.
        cell_figures.mean_r = sum_mean(sums, SUM_R, q);
        cell_figures.sd_r = std::sqrt(sum_variance_r(sums, q));
        cell_figures.mean_rho = sum_mean(sums, SUM_RHO, q);
        cell_figures.share_excluding_zero =
            static_cast<double>(state.excluding[cell]) / static_cast<double>(n);
        for (int i = 0; i < MOST_QUANTILES; ++i) {
            cell_figures.r_quantile[i] = nan;
        }
        if (state.nan_r[cell] != 0) {
            continue; // no order among NaNs
        }
        for (int i = 0; i < state.quantiles.count; ++i) {
            std::uint64_t k = 0;
            double fraction = 0.0;
            quantile_place(n, state.quantiles.per_million[i], &k, &fraction);
            const double at_k = value_of_rank(state, cell, k);
            // k + 1 is taken as the last value where there is none after k; its fraction is 0.
            const double after_k = value_of_rank(state, cell, std::min(k + 1, n - 1));
            cell_figures.r_quantile[i] =
                fraction == 0.0 ? at_k : at_k + fraction * (after_k - at_k);
        }
    }
}
