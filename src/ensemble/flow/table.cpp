// The ensemble's table without its files: the seeds measured and folded, then, for the
// couplings whose quantile values the net didn't catch whole, run again to find them.
#include "flow.h"

namespace {

// Finds the exact quantiles of the couplings the net didn't catch whole: runs the seeds
// again for as many of them at a time as keep at most kept_values values (at least one
// coupling), without the rank statistic, and fills each group's rows as soon as its run ends,
// so that only one group's values are held at a time. Returns 0, or 1 when watch or the
// threads stopped it.
int find_quantiles(const seed_job &measured, std::uint64_t threads, const run_watcher &watch,
                   const ensemble_totals &totals, const std::vector<std::uint8_t> &found,
                   std::uint64_t kept_values, quantile_search *search, pass_row *rows)
{
    int run = 1;
    for (int first = 0; first < measured.coupling_count;) {
        if (found[static_cast<std::size_t>(first)] != 0) {
            ++first;
            continue;
        }
        const int count = couplings_in_group(*search, found.data(), first, kept_values);
        seed_job job = measured;
        job.couplings = measured.couplings + first;
        job.coupling_count = count;
        job.ranks = false;
        const int status =
            run_seeds_in_order(job, threads, [&](const seed_result *results, std::uint64_t seeds) {
                for (std::uint64_t i = 0; i < seeds; ++i) {
                    keep_values(search, first, count,
                                results + i * static_cast<std::uint64_t>(count));
                }
                return watch(run, results, seeds);
            });
        if (status != 0) {
            return status;
        }
        finish_coupling_rows(totals, search, measured.couplings, first, count, rows);
        first += count;
        ++run;
    }
    return 0;
}

} // namespace

int run_table(const seed_job &job, std::uint64_t threads, const run_watcher &watch,
              ensemble_totals *totals, std::vector<pass_row> *rows, std::uint64_t kept_values)
{
    start_totals(totals, job.coupling_count);
    quantile_search search;
    std::vector<std::uint8_t> found;
    {
        // The net and its bin flags go once its values are taken.
        quantile_net net;
        start_net(*totals, job.seeds, kept_values, &net);
        const int status =
            run_seeds_in_order(job, threads, [&](const seed_result *results, std::uint64_t seeds) {
                fold_and_catch(totals, &net, results, seeds);
                return watch(0, results, seeds);
            });
        if (status != 0) {
            return status;
        }
        plan_quantiles(*totals, &search);
        take_caught(&net, &search, &found);
    }
    std::vector<pass_row> finished(static_cast<std::size_t>(job.coupling_count) * PASS_COUNT);
    // The caught couplings' rows first, so that their values are freed before any run again.
    for (int c = 0; c < job.coupling_count; ++c) {
        if (found[static_cast<std::size_t>(c)] != 0) {
            finish_coupling_rows(*totals, &search, job.couplings, c, 1, finished.data());
        }
    }
    const int status =
        find_quantiles(job, threads, watch, *totals, found, kept_values, &search, finished.data());
    if (status != 0) {
        return status;
    }
    rows->swap(finished);
    return 0;
}
