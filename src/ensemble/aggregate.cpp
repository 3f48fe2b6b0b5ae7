// Folding seeds into the ensemble's figures, in seed order; the exact quantiles of r; the
// shape of the curve of mean r; the long-signal law.
#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>

#include "ensemble.h"
#include "stats.h"

namespace {

constexpr int QUANTILE_PER_MILLE[QUANTILES] = {25, 500, 975}; // 2.5 %, 50 %, 97.5 %
constexpr std::size_t HISTOGRAM_BYTES = std::size_t{64} << 20;
constexpr int LEAST_R_BINS = 16;

std::size_t cell_of(int coupling, int q)
{
    return static_cast<std::size_t>(coupling) * PASS_COUNT + static_cast<std::size_t>(q);
}

// The histogram bin of r among bins over [-1, 1]. Values a rounding step outside [-1, 1]
// go to the end bins, which keeps the bins in the order of the values.
int bin_of(double r, int bins)
{
    const double place = (r + 1.0) * (0.5 * bins); // bins / 2 per unit, exactly
    if (!(place >= 0.0)) {
        return 0;
    }
    // Truncation is the floor here, without a call to floor for every value folded.
    return place >= bins ? bins - 1 : static_cast<int>(place);
}

} // namespace

// ---- Folding ----

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

// ---- Exact quantiles ----

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
    const std::uint64_t n = totals.seeds;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (int c = 0; c < totals.couplings; ++c) {
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

// ---- The quantile net ----

namespace {

constexpr std::uint64_t FIRST_NARROWING_LEAST = 64;  // seeds folded before bins are let go,
constexpr std::uint64_t FIRST_NARROWING_MOST = 4096; // within the budget

// Frees a cell's values.
void drop_values(quantile_net *net, std::size_t cell)
{
    net->held -= net->values[cell].size();
    std::vector<double>().swap(net->values[cell]);
}

void give_up(quantile_net *net, int coupling)
{
    net->given_up[static_cast<std::size_t>(coupling)] = 1U;
    for (int q = 0; q < PASS_COUNT; ++q) {
        drop_values(net, cell_of(coupling, q));
    }
}

// Lets go of the bins of one cell that no wanted order statistic is expected to reach.
void narrow_cell(quantile_net *net, const ensemble_totals &totals, std::size_t cell)
{
    const std::size_t bins = static_cast<std::size_t>(net->bins);
    std::uint8_t *open = &net->open_bin[cell * bins];
    std::vector<double> &values = net->values[cell];
    if (totals.nan_r[cell] != 0) {
        // Its quantiles are NaN and want no values.
        std::fill(open, open + bins, std::uint8_t{0});
        drop_values(net, cell);
        return;
    }
    const std::uint64_t *histogram = &totals.histogram[cell * bins];
    const double n = static_cast<double>(totals.seeds);
    const double all = static_cast<double>(net->seeds);
    std::vector<std::uint8_t> reached(bins, 0U);
    for (int per_mille : QUANTILE_PER_MILLE) {
        std::uint64_t k = 0;
        double fraction = 0.0;
        quantile_place(net->seeds, per_mille, &k, &fraction);
        // Of the values up to statistic k of all the seeds, those among the seeds so far
        // follow a hypergeometric law: mean n f, variance n f (1 - f) (N - n) / (N - 1).
        const double f = net->seeds > 1 ? static_cast<double>(k + 1) / all : 1.0;
        const double spread =
            net->seeds > 1 ? std::sqrt(n * f * (1.0 - f) * (all - n) / (all - 1.0)) : 0.0;
        const double centre = n * f - 1.0;
        const double low = std::max(0.0, std::floor(centre - NET_SPREAD * spread - 2.0));
        const double high = std::min(n - 1.0, std::ceil(centre + 1.0 + NET_SPREAD * spread + 2.0));
        // The bins from the one holding rank `low` to the one holding rank `high`.
        std::uint64_t below = 0;
        bool inside = false;
        for (std::size_t b = 0; b < bins; ++b) {
            const std::uint64_t count = histogram[b];
            const double last = static_cast<double>(below + count) - 1.0;
            if (!inside && count != 0 && last >= low) {
                inside = true;
            }
            if (inside) {
                reached[b] = 1U;
                if (count != 0 && last >= high) {
                    break;
                }
            }
            below += count;
        }
    }
    std::size_t kept = 0;
    for (std::size_t b = 0; b < bins; ++b) {
        open[b] = static_cast<std::uint8_t>(open[b] & reached[b]);
    }
    for (double r : values) {
        if (open[static_cast<std::size_t>(bin_of(r, net->bins))] != 0) {
            values[kept++] = r;
        }
    }
    net->held -= values.size() - kept;
    values.resize(kept);
    values.shrink_to_fit();
}

// Keeps the values of `seeds` consecutive seeds that fall in kept bins, cell by cell; totals
// must already hold them. Lets bins go when the last of them is the one the net waits for.
void catch_seeds(quantile_net *net, const ensemble_totals &totals, const seed_result *results,
                 std::uint64_t seeds)
{
    const std::size_t bins = static_cast<std::size_t>(net->bins);
    const std::size_t couplings = static_cast<std::size_t>(net->couplings);
    for (std::size_t c = 0; c < couplings; ++c) {
        if (net->given_up[c] != 0) {
            continue;
        }
        for (int q = 0; q < PASS_COUNT; ++q) {
            const std::size_t cell = cell_of(static_cast<int>(c), q);
            const std::uint8_t *open = &net->open_bin[cell * bins];
            std::vector<double> &values = net->values[cell];
            for (std::uint64_t i = 0; i < seeds; ++i) {
                const double r = results[i * couplings + c].r[q];
                if (r == r && open[bin_of(r, net->bins)] != 0) {
                    values.push_back(r);
                    net->held += 1;
                }
            }
        }
    }
    // Over budget, the last couplings are left to the second run.
    for (int c = net->couplings - 1; c >= 0 && net->held > net->budget; --c) {
        if (net->given_up[static_cast<std::size_t>(c)] == 0) {
            give_up(net, c);
        }
    }
    if (totals.seeds == net->next_narrowing && totals.seeds < net->seeds) {
        for (int c = 0; c < net->couplings; ++c) {
            if (net->given_up[static_cast<std::size_t>(c)] != 0) {
                continue;
            }
            for (int q = 0; q < PASS_COUNT; ++q) {
                narrow_cell(net, totals, cell_of(c, q));
            }
        }
        net->next_narrowing *= 2;
    }
}

} // namespace

void start_net(const ensemble_totals &totals, std::uint64_t seeds, std::uint64_t budget,
               quantile_net *net)
{
    const std::size_t cells = static_cast<std::size_t>(totals.couplings) * PASS_COUNT;
    net->couplings = totals.couplings;
    net->bins = totals.bins;
    net->seeds = seeds;
    net->budget = budget;
    net->held = 0;
    // Until then it keeps every value: a quarter of the budget, leaving room to grow.
    net->next_narrowing =
        std::min(FIRST_NARROWING_MOST, std::max(FIRST_NARROWING_LEAST, budget / cells / 4));
    net->open_bin.assign(cells * static_cast<std::size_t>(totals.bins), 1U);
    net->given_up.assign(static_cast<std::size_t>(totals.couplings), 0U);
    net->values.assign(cells, std::vector<double>());
}

void fold_and_catch(ensemble_totals *totals, quantile_net *net, const seed_result *results,
                    std::uint64_t seeds)
{
    const std::size_t couplings = static_cast<std::size_t>(totals->couplings);
    while (seeds > 0) {
        // Up to the seed after which the net lets bins go, if it comes in this block.
        const std::uint64_t before =
            net->next_narrowing > totals->seeds ? net->next_narrowing - totals->seeds : seeds;
        const std::uint64_t piece = std::min(seeds, before);
        fold_seeds(totals, results, piece);
        catch_seeds(net, *totals, results, piece);
        results += piece * couplings;
        seeds -= piece;
    }
}

void take_caught(quantile_net *net, quantile_search *search, std::vector<std::uint8_t> *found)
{
    const std::size_t bins = static_cast<std::size_t>(net->bins);
    found->assign(static_cast<std::size_t>(net->couplings), 0U);
    for (int c = 0; c < net->couplings; ++c) {
        bool whole = net->given_up[static_cast<std::size_t>(c)] == 0;
        for (int q = 0; q < PASS_COUNT && whole; ++q) {
            const std::size_t cell = cell_of(c, q);
            for (std::size_t b = 0; b < bins && whole; ++b) {
                whole =
                    search->wanted_bin[cell * bins + b] == 0 || net->open_bin[cell * bins + b] != 0;
            }
        }
        if (whole) {
            for (int q = 0; q < PASS_COUNT; ++q) {
                const std::size_t cell = cell_of(c, q);
                const std::uint8_t *wanted = &search->wanted_bin[cell * bins];
                const int bin_count = net->bins;
                std::vector<double> &kept = search->values[cell];
                kept.clear();
                std::copy_if(
                    net->values[cell].begin(), net->values[cell].end(), std::back_inserter(kept),
                    [wanted, bin_count](double r) { return wanted[bin_of(r, bin_count)] != 0; });
            }
            (*found)[static_cast<std::size_t>(c)] = 1U;
        }
        give_up(net, c);
    }
}

// ---- The curve ----

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

line_fit fit_line(const pass_row *rows)
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
    double syy = 0.0;
    for (int q = 0; q < PASS_COUNT; ++q) {
        sxy += (rows[q].agreement - mean_x) * (rows[q].mean_r - mean_y);
        sxx += (rows[q].agreement - mean_x) * (rows[q].agreement - mean_x);
        syy += (rows[q].mean_r - mean_y) * (rows[q].mean_r - mean_y);
    }
    line_fit fit = {};
    fit.slope = sxy / sxx;
    fit.intercept = mean_y - fit.slope * mean_x;
    fit.r_squared = sxy * sxy / (sxx * syy);
    for (int q = 0; q < PASS_COUNT; ++q) {
        const double distance =
            std::fabs(rows[q].mean_r - (fit.intercept + fit.slope * rows[q].agreement));
        fit.largest_distance = std::max(fit.largest_distance, distance);
    }
    return fit;
}

// ---- The law ----

double long_signal_law(double f, double k)
{
    const double agreeing = 2.0 * f - 1.0;
    const double mixed = 4.0 * f * (1.0 - f); // 0 when every step agrees or none does
    if (mixed == 0.0) {
        // The factor 1 - k cancels: (1 + k) sqrt((2 + k) / (2 (k^2 + 5))), which holds at
        // k = 1 too, where the general form is 0 / 0.
        return agreeing * (1.0 + k) * std::sqrt((2.0 + k) / (2.0 * (k * k + 5.0)));
    }
    const double tied = (1.0 - k) * (k * k + 5.0) + mixed * (1.0 + k) * (k * k + 4.0 * k + 1.0);
    // + 0.0: at k = 1 the law is 0 for every mixed agreement, never -0.
    return agreeing * (1.0 + k) * std::sqrt((1.0 - k) * (2.0 + k) / (2.0 * tied)) + 0.0;
}
