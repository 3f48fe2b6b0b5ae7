// The quantile net: the values near where the quantiles will fall, kept during the first run.
#include <algorithm>
#include <cmath>
#include <iterator>

#include "quantile_bins.h"
#include "quantiles.h"

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

// Folds `seeds` consecutive seeds into the totals and keeps their values that fall in kept
// bins, cell by cell. Lets bins go when the last of them is the one the net waits for.
void fold_and_catch_piece(ensemble_totals *totals, quantile_net *net, const seed_result *results,
                          std::uint64_t seeds)
{
    const std::size_t bins = static_cast<std::size_t>(net->bins);
    fold_seeds_with(totals, results, seeds,
                    [net, bins](std::size_t c, std::size_t cell, int bin, double r) {
                        if (net->given_up[c] == 0 &&
                            net->open_bin[cell * bins + static_cast<std::size_t>(bin)] != 0) {
                            net->values[cell].push_back(r);
                            net->held += 1;
                        }
                    });
    // Over budget, the last couplings are left to the second run.
    for (int c = net->couplings - 1; c >= 0 && net->held > net->budget; --c) {
        if (net->given_up[static_cast<std::size_t>(c)] == 0) {
            give_up(net, c);
        }
    }
    if (totals->seeds == net->next_narrowing && totals->seeds < net->seeds) {
        for (int c = 0; c < net->couplings; ++c) {
            if (net->given_up[static_cast<std::size_t>(c)] != 0) {
                continue;
            }
            for (int q = 0; q < PASS_COUNT; ++q) {
                narrow_cell(net, *totals, cell_of(c, q));
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
        fold_and_catch_piece(totals, net, results, piece);
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
