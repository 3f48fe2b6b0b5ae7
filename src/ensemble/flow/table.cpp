// A study's state from its runs over the seeds, each worker folding its own, or from the
// states of other runs merged; and its table, each row put together from the figures the
// state gives and the laws at its pass and k.
#include <algorithm>
#include <atomic>
#include <exception>
#include <thread>

#include "flow.h"
#include "theory.h"

namespace {

// Once coupling c's values are all in: sorted, its figures read into *figures (128 a
// coupling), and, when the state isn't kept, its values freed.
void finish_coupling(study_state *state, int c, bool keep_state, std::vector<pass_figures> *figures)
{
    settle_values(state, c);
    coupling_figures(*state, c, &(*figures)[static_cast<std::size_t>(c) * PASS_COUNT]);
    if (!keep_state) {
        for (int q = 0; q < PASS_COUNT; ++q) {
            std::vector<double>().swap(state->values[static_cast<std::size_t>(c) * PASS_COUNT +
                                                     static_cast<std::size_t>(q)]);
        }
    }
}

// Finds the values of the couplings whose window no catch held whole (found[c] == 0): runs
// the seeds again for as many of them at a time as keep at most kept_values values (at least
// one coupling), without the rank statistic, and finishes each group's couplings as its run
// ends. Returns 0, or 1 when watch or the threads stopped it.
int find_values(const seed_job &measured, std::uint64_t threads, const run_watcher &watch,
                const std::vector<std::uint8_t> &window, const std::vector<std::uint8_t> &found,
                std::uint64_t kept_values, bool keep_state, study_state *state,
                std::vector<pass_figures> *figures)
{
    int run = 1;
    for (int first = 0; first < measured.coupling_count;) {
        if (found[static_cast<std::size_t>(first)] != 0) {
            ++first;
            continue;
        }
        std::uint64_t kept = values_in_window(*state, window, first);
        int count = 1;
        while (first + count < measured.coupling_count &&
               found[static_cast<std::size_t>(first) + static_cast<std::size_t>(count)] == 0 &&
               kept + values_in_window(*state, window, first + count) <= kept_values) {
            kept += values_in_window(*state, window, first + count);
            ++count;
        }
        seed_job job = measured;
        job.couplings = measured.couplings + first;
        job.coupling_count = count;
        job.ranks = false;
        job.in_order = true; // the values are kept here, on the calling thread
        const int status =
            run_seeds_in_order(job, threads, [&](const seed_result *results, std::uint64_t seeds) {
                for (std::uint64_t i = 0; i < seeds; ++i) {
                    keep_values(state, first, count,
                                results + i * static_cast<std::uint64_t>(count));
                }
                return watch(run, results, seeds);
            });
        if (status != 0) {
            return status;
        }
        for (int c = first; c < first + count; ++c) {
            finish_coupling(state, c, keep_state, figures);
        }
        first += count;
        ++run;
    }
    return 0;
}

// The finite-length law at every coupling into *laws (128 a coupling), a coupling at a time
// on up to threads threads: each coupling's law is the same doubles whichever thread computes
// it. Between its couplings the calling thread asks watch (run -1) whether to stop: the law
// takes about 0.4 s a coupling. Returns 0, or 1 when watch stopped it.
int finite_laws(std::uint64_t threads, const run_watcher &watch,
                const std::vector<double> &couplings, std::vector<double> *laws)
{
    laws->assign(couplings.size() * PASS_COUNT, 0.0);
    std::atomic<std::size_t> next(0);
    std::atomic<bool> stop(false);
    std::exception_ptr failure;
    bool stopped = false; // by watch, which only the calling thread asks
    const auto work = [&](bool asks) {
        try {
            for (std::size_t c = next++; c < couplings.size() && !stop; c = next++) {
                if (asks && watch(-1, nullptr, 0) != 0) {
                    stopped = true;
                    stop = true;
                    break;
                }
                finite_length_law(couplings[c], &(*laws)[c * PASS_COUNT]);
            }
        } catch (...) {
            if (!stop.exchange(true)) {
                failure = std::current_exception();
            }
        }
    };
    const std::size_t helpers =
        static_cast<std::size_t>(std::min<std::uint64_t>(threads, couplings.size())) - 1;
    std::vector<std::thread> pool;
    try {
        for (std::size_t i = 0; i < helpers; ++i) {
            pool.emplace_back(work, false);
        }
    } catch (...) {
        // Too few threads to be had: the ones started and this one do the rest.
    }
    work(true);
    for (std::thread &thread : pool) {
        thread.join();
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
    return stopped ? 1 : 0;
}

// The table from every coupling's figures: the laws worked out (watch asked between
// couplings, as finite_laws does) and each row put together into *rows. Returns 0, or 1 when
// watch stopped it.
int finish_table(std::uint64_t threads, const run_watcher &watch,
                 const std::vector<double> &couplings, const std::vector<pass_figures> &figures,
                 std::vector<pass_row> *rows)
{
    std::vector<double> laws;
    if (finite_laws(threads, watch, couplings, &laws) != 0) {
        return 1;
    }
    std::vector<pass_row> table(figures.size());
    for (std::size_t i = 0; i < table.size(); ++i) {
        table[i] = table_row(couplings[i / PASS_COUNT], static_cast<int>(i % PASS_COUNT),
                             figures[i], laws[i]);
    }
    rows->swap(table);
    return 0;
}

// The measuring run: job's seeds on the workers, each folding its own blocks, then their
// counts into *state and, at each coupling that every worker's net caught whole, their values,
// its figures read (found[c] = 1); the other couplings' values are left for find_values.
// Returns 0, or 1 when watch or the threads stopped it.
int measure(const seed_job &job, const quantile_list &quantiles, std::uint64_t threads,
            const run_watcher &watch, bool keep_state, std::uint64_t kept_values,
            study_state *state, std::vector<std::uint8_t> *window, std::vector<std::uint8_t> *found,
            std::vector<pass_figures> *figures)
{
    const double spread = keep_state ? NET_SPREAD : 0.0;
    // Each worker's fold and net go once their counts and values are taken.
    std::vector<worker_fold> folds(threads);
    for (worker_fold &fold : folds) {
        start_worker_fold(&fold, job.coupling_count, quantiles, job.seeds,
                          std::max<std::uint64_t>(1, kept_values / threads), spread);
    }
    const worker_block_handler on_worker =
        [&folds](std::uint64_t worker, const seed_result *results, std::uint64_t seeds) {
            fold_block(&folds[worker], results, seeds);
        };
    const int status = run_seeds_in_order(
        job, threads,
        [&watch](const seed_result *results, std::uint64_t seeds) {
            return watch(0, results, seeds);
        },
        &on_worker);
    if (status != 0) {
        return status;
    }
    start_state(state, job.coupling_count, quantiles);
    state->spread = spread;
    state->coupling_values.assign(job.couplings, job.couplings + job.coupling_count);
    state->spans.assign(1, seed_span{job.first_seed, job.seeds});
    for (worker_fold &fold : folds) {
        add_worker_fold(state, &fold);
    }
    state_window(*state, window);
    open_window(state, *window);
    found->assign(static_cast<std::size_t>(job.coupling_count), 0U);
    for (int c = 0; c < job.coupling_count; ++c) {
        const bool caught = std::all_of(folds.begin(), folds.end(), [&](const worker_fold &f) {
            return part_covers(f.part, *window, c);
        });
        if (!caught) {
            continue;
        }
        for (worker_fold &fold : folds) {
            take_values(state, fold.part, c);
            for (int q = 0; q < PASS_COUNT; ++q) {
                std::vector<double>().swap(
                    fold.part.values[static_cast<std::size_t>(c) * PASS_COUNT +
                                     static_cast<std::size_t>(q)]);
            }
        }
        finish_coupling(state, c, keep_state, figures);
        (*found)[static_cast<std::size_t>(c)] = 1U;
    }
    return 0;
}

} // namespace

pass_row table_row(double coupling, int q, const pass_figures &figures, double finite_law_r)
{
    pass_row row;
    row.coupling = coupling;
    row.agreement = agreement_fraction(q);
    row.mean_r = figures.mean_r;
    row.sd_r = figures.sd_r;
    std::copy(figures.r_quantile, figures.r_quantile + MOST_QUANTILES, row.r_quantile);
    row.mean_rho = figures.mean_rho;
    row.share_excluding_zero = figures.share_excluding_zero;
    row.law_r = long_signal_law(row.agreement, row.coupling);
    row.finite_law_r = finite_law_r;
    return row;
}

int run_study(const seed_job &job, const quantile_list &quantiles, std::uint64_t threads,
              const run_watcher &watch, bool keep_state, study_state *state,
              std::vector<pass_row> *rows, std::uint64_t kept_values)
{
    std::vector<std::uint8_t> window;
    std::vector<std::uint8_t> found;
    std::vector<pass_figures> figures(static_cast<std::size_t>(job.coupling_count) * PASS_COUNT);
    int status = measure(job, quantiles, threads, watch, keep_state, kept_values, state, &window,
                         &found, &figures);
    if (status == 0) {
        status = find_values(job, threads, watch, window, found, kept_values, keep_state, state,
                             &figures);
    }
    return status != 0 ? status
                       : finish_table(threads, watch, state->coupling_values, figures, rows);
}

bool join_spans(const std::vector<seed_span> &a, const std::vector<seed_span> &b,
                std::vector<seed_span> *joined)
{
    std::vector<seed_span> all(a);
    all.insert(all.end(), b.begin(), b.end());
    std::sort(all.begin(), all.end(),
              [](const seed_span &x, const seed_span &y) { return x.first < y.first; });
    std::vector<seed_span> result;
    for (const seed_span &span : all) {
        if (!result.empty() && span.first < result.back().first + result.back().count) {
            return false;
        }
        if (!result.empty() && span.first == result.back().first + result.back().count) {
            result.back().count += span.count;
        } else {
            result.push_back(span);
        }
    }
    *joined = std::move(result);
    return true;
}

std::string check_part(const study_state &first, const study_state &part,
                       std::vector<seed_span> *covered)
{
    if (part.coupling_values != first.coupling_values) {
        return "has other coupling coefficients than";
    }
    if (part.quantiles.count != first.quantiles.count ||
        !std::equal(part.quantiles.per_million, part.quantiles.per_million + part.quantiles.count,
                    first.quantiles.per_million)) {
        return "has other quantiles than";
    }
    if (!join_spans(*covered, part.spans, covered)) {
        return "covers seeds that an earlier one covers too";
    }
    return std::string();
}

void start_merge(const study_state &first, bool keep_state, study_state *merged)
{
    start_state(merged, first.couplings, first.quantiles);
    merged->spread = keep_state ? NET_SPREAD : 0.0;
    merged->coupling_values = first.coupling_values;
}

void add_part(study_state *merged, study_state *part)
{
    add_counts(merged, *part);
    // The caller checked that no two parts share a seed: the spans only join.
    static_cast<void>(join_spans(merged->spans, part->spans, &merged->spans));
    std::vector<std::uint64_t>().swap(part->histogram);
}

int merge_parts(std::vector<study_state> *parts, std::uint64_t threads, const kernel_path *path,
                const run_watcher &watch, bool keep_state, study_state *merged,
                std::vector<pass_row> *rows)
{
    start_merge((*parts)[0], keep_state, merged);
    for (study_state &part : *parts) {
        add_part(merged, &part);
    }
    return finish_merge(parts, threads, path, watch, keep_state, merged, rows);
}

int finish_merge(std::vector<study_state> *parts, std::uint64_t threads, const kernel_path *path,
                 const run_watcher &watch, bool keep_state, study_state *merged,
                 std::vector<pass_row> *rows)
{
    const double *couplings = merged->coupling_values.data();
    std::vector<std::uint8_t> window;
    state_window(*merged, &window);
    open_window(merged, window);
    std::vector<pass_figures> figures(static_cast<std::size_t>(merged->couplings) * PASS_COUNT);
    int run = 1;
    for (int c = 0; c < merged->couplings; ++c) {
        for (study_state &part : *parts) {
            if (part_covers(part, window, c)) {
                take_values(merged, part, c);
            } else {
                // Its seeds again, at this coupling only: rare, as a part keeps a wide window.
                for (const seed_span &span : part.spans) {
                    const seed_job job = {span.first, span.count, couplings + c, 1, false, path};
                    // In order by default: the values are kept on the calling thread.
                    const int status = run_seeds_in_order(
                        job, threads, [&](const seed_result *results, std::uint64_t seeds) {
                            for (std::uint64_t i = 0; i < seeds; ++i) {
                                keep_values(merged, c, 1, results + i);
                            }
                            return watch(run, results, seeds);
                        });
                    if (status != 0) {
                        return status;
                    }
                }
                ++run;
            }
            for (int q = 0; q < PASS_COUNT; ++q) {
                std::vector<double>().swap(part.values[static_cast<std::size_t>(c) * PASS_COUNT +
                                                       static_cast<std::size_t>(q)]);
            }
        }
        finish_coupling(merged, c, keep_state, &figures);
    }
    return finish_table(threads, watch, merged->coupling_values, figures, rows);
}
