// Folding seeds into the ensemble's figures, in seed order, and the exact quantiles of r.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <limits>

#include "ensemble/ensemble.h"
#include "stats/stats.h"

namespace {

constexpr double BINS_PER_UNIT = R_BINS / 2.0;
constexpr int QUANTILES = 3;
constexpr int QUANTILE_PER_MILLE[QUANTILES] = {25, 500, 975}; // 2.5 %, 50 %, 97.5 %

// The histogram bin of r: 2048 bins per unit from -1. Values a rounding step outside
// [-1, 1] go to the end bins, which keeps the bins in the order of the values.
int bin_of(double r)
{
    const double place = std::floor((r + 1.0) * BINS_PER_UNIT);
    if (!(place >= 0.0)) {
        return 0;
    }
    return place >= R_BINS ? R_BINS - 1 : static_cast<int>(place);
}

std::uint32_t *pass_histogram(ensemble_totals *totals, int q)
{
    return totals->histogram.data() + static_cast<std::size_t>(q) * R_BINS;
}

// Where one wanted order statistic of a pass lies: its place among the values read back
// for that pass, which are the values of the pass's wanted bins in sorted order.
struct order_statistic {
    std::uint64_t rank;            // place among all of the pass's values, 0 = smallest
    std::uint64_t place_read_back;
};

} // namespace

int start_totals(ensemble_totals *totals)
{
    totals->histogram.assign(static_cast<std::size_t>(PASS_COUNT) * R_BINS, 0U);
    // A temporary file the system removes once it is closed, or when the process ends in
    // any way.
    totals->spill = std::tmpfile();
    return totals->spill != nullptr ? 0 : -1;
}

int fold_seed(ensemble_totals *totals, const seed_result *result)
{
    totals->seeds += 1;
    const double n = static_cast<double>(totals->seeds);
    if (result->turning_points < turning_point_bound()) {
        totals->few_turning_points += 1;
    }
    for (int q = 0; q < PASS_COUNT; ++q) {
        // Running mean and squared deviations, one seed at a time (Welford): stable for
        // any number of seeds, and the same figures whatever thread ran which seed.
        const double r = result->r[q];
        const double delta = r - totals->mean_r[q];
        totals->mean_r[q] += delta / n;
        totals->m2_r[q] += delta * (r - totals->mean_r[q]);
        totals->sum_rho[q] += result->rho[q];
        const double rho = result->rho[q];
        const double bound = result->bound[q];
        if (rho - bound > 0.0 || rho + bound < 0.0) {
            totals->excluding[q] += 1;
        }
        if (r != r) {
            totals->nan_r[q] += 1;
        } else {
            pass_histogram(totals, q)[bin_of(r)] += 1;
        }
    }
    errno = 0;
    if (std::fwrite(result->r, sizeof result->r[0], PASS_COUNT, totals->spill) != PASS_COUNT) {
        if (errno == 0) {
            errno = EIO;
        }
        return -1;
    }
    return 0;
}

void quantile_place(std::uint64_t n, int numerator, std::uint64_t *k, double *fraction)
{
    // (n - 1) p in integers, so that the place never depends on how p rounds in binary.
    const std::uint64_t scaled = (n - 1) * static_cast<std::uint64_t>(numerator);
    *k = scaled / 1000U;
    *fraction = static_cast<double>(scaled % 1000U) / 1000.0;
}

int finish_rows(ensemble_totals *totals, pass_row *rows)
{
    const std::uint64_t n = totals->seeds;
    const double nan = std::numeric_limits<double>::quiet_NaN();

    // Step 1: for every pass, the order statistics the quantiles need (k and k + 1 where
    // the place falls between two) and the bins that hold them.
    std::vector<order_statistic> wanted[PASS_COUNT];
    std::vector<std::uint8_t> wanted_bin(static_cast<std::size_t>(PASS_COUNT) * R_BINS, 0U);
    std::uint64_t read_back[PASS_COUNT] = {}; // values of the wanted bins, per pass
    for (int q = 0; q < PASS_COUNT; ++q) {
        if (totals->nan_r[q] != 0) {
            continue; // no order among NaNs: these quantiles are NaN
        }
        for (int i = 0; i < QUANTILES; ++i) {
            std::uint64_t k = 0;
            double fraction = 0.0;
            quantile_place(n, QUANTILE_PER_MILLE[i], &k, &fraction);
            for (std::uint64_t rank = k; rank <= k + 1 && rank < n; ++rank) {
                order_statistic statistic = {rank, 0};
                wanted[q].push_back(statistic);
            }
        }
        const std::uint32_t *histogram = pass_histogram(totals, q);
        std::uint64_t below = 0;     // values in the bins before b
        std::uint64_t read_below = 0; // of those, values in wanted bins
        std::size_t next = 0;
        std::sort(wanted[q].begin(), wanted[q].end(),
                  [](const order_statistic &a, const order_statistic &b) { return a.rank < b.rank; });
        for (int b = 0; b < R_BINS && next < wanted[q].size(); ++b) {
            const std::uint64_t count = histogram[b];
            bool wanted_here = false;
            while (next < wanted[q].size() && wanted[q][next].rank < below + count) {
                wanted[q][next].place_read_back = read_below + (wanted[q][next].rank - below);
                wanted_here = true;
                ++next;
            }
            if (wanted_here) {
                wanted_bin[static_cast<std::size_t>(q) * R_BINS + b] = 1U;
                read_below += count;
            }
            below += count;
        }
        read_back[q] = read_below;
    }

    // Step 2: read every r back, in seed order, keeping the values of the wanted bins.
    std::vector<double> values[PASS_COUNT];
    for (int q = 0; q < PASS_COUNT; ++q) {
        values[q].reserve(read_back[q]);
    }
    errno = 0;
    if (std::fflush(totals->spill) != 0 || std::fseek(totals->spill, 0L, SEEK_SET) != 0) {
        return -1;
    }
    double r[PASS_COUNT];
    for (std::uint64_t seed = 0; seed < n; ++seed) {
        if (std::fread(r, sizeof r[0], PASS_COUNT, totals->spill) != PASS_COUNT) {
            if (errno == 0) {
                errno = EIO;
            }
            return -1;
        }
        for (int q = 0; q < PASS_COUNT; ++q) {
            if (r[q] == r[q] && wanted_bin[static_cast<std::size_t>(q) * R_BINS + bin_of(r[q])]) {
                values[q].push_back(r[q]);
            }
        }
    }

    // Step 3: the rows.
    for (int q = 0; q < PASS_COUNT; ++q) {
        pass_row &row = rows[q];
        std::sort(values[q].begin(), values[q].end());
        row.agreement = static_cast<double>(STEP_COUNT - q) / 127.0;
        row.mean_r = totals->mean_r[q];
        row.sd_r = n > 1 ? std::sqrt(totals->m2_r[q] / static_cast<double>(n - 1)) : nan;
        row.mean_rho = totals->sum_rho[q] / static_cast<double>(n);
        row.share_excluding_zero =
            static_cast<double>(totals->excluding[q]) / static_cast<double>(n);
        double quantile[QUANTILES] = {nan, nan, nan};
        if (totals->nan_r[q] == 0) {
            for (int i = 0; i < QUANTILES; ++i) {
                std::uint64_t k = 0;
                double fraction = 0.0;
                quantile_place(n, QUANTILE_PER_MILLE[i], &k, &fraction);
                double at_k = 0.0;
                double after_k = 0.0;
                for (const order_statistic &statistic : wanted[q]) {
                    const double value = values[q][statistic.place_read_back];
                    at_k = statistic.rank == k ? value : at_k;
                    after_k = statistic.rank == k + 1 ? value : after_k;
                }
                quantile[i] = fraction == 0.0 ? at_k : at_k + fraction * (after_k - at_k);
            }
        }
        row.r_low = quantile[0];
        row.r_median = quantile[1];
        row.r_high = quantile[2];
    }
    return 0;
}

void close_totals(ensemble_totals *totals)
{
    if (totals->spill != nullptr) {
        // Only read from here on: a failed close loses nothing, and the system removes the
        // file either way.
        static_cast<void>(std::fclose(totals->spill));
        totals->spill = nullptr;
    }
}

double zero_crossing(const pass_row *rows)
{
    for (int q = 0; q + 1 < PASS_COUNT; ++q) {
        const double here = rows[q].mean_r;
        const double next = rows[q + 1].mean_r;
        if (here == 0.0) {
            return rows[q].agreement;
        }
        if ((here > 0.0 && next <= 0.0) || (here < 0.0 && next >= 0.0)) {
            const double share = here / (here - next);
            return rows[q].agreement + share * (rows[q + 1].agreement - rows[q].agreement);
        }
    }
    return std::numeric_limits<double>::quiet_NaN();
}

double least_squares_slope(const pass_row *rows)
{
    double mean_x = 0.0;
    double mean_y = 0.0;
    for (int q = 0; q < PASS_COUNT; ++q) {
        mean_x += rows[q].agreement;
        mean_y += rows[q].mean_r;
    }
    mean_x /= PASS_COUNT;
    mean_y /= PASS_COUNT;
    double sxy = 0.0;
    double sxx = 0.0;
    for (int q = 0; q < PASS_COUNT; ++q) {
        sxy += (rows[q].agreement - mean_x) * (rows[q].mean_r - mean_y);
        sxx += (rows[q].agreement - mean_x) * (rows[q].agreement - mean_x);
    }
    return sxy / sxx;
}
