// The agreement_ensemble program's flow: its options read, the seeds measured and found again
// for the quantiles, the files written, progress and the summary shown.
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <system_error>

#ifdef _WIN32
#include <io.h>
#define stderr_is_terminal() (_isatty(_fileno(stderr)) != 0)
#else
#include <unistd.h>
#define stderr_is_terminal() (isatty(fileno(stderr)) != 0)
#endif

#include "files.h"
#include "flow.h"
#include "output.h"
#include "stats.h"

namespace {

// The help text, its limits taken from the constants the options are read with. Kept in the
// help's own layout, one line of text to a line.
// clang-format off
std::string usage(const study_runner &runner)
{
    if (runner.ranks != 0) {
        return std::string(
            "Usage: mpirun -n R agreement_ensemble_mpi [the options of agreement_ensemble, but not merge]\n"
            "\n"
            "agreement_ensemble's study on the R ranks of an MPI job: every rank runs chunks of the\n"
            "seeds on its own threads (--threads each), rank 0 reads the options, merges the ranks'\n"
            "states and writes the files, byte for byte those of agreement_ensemble with the same\n"
            "options. Its messages start 'agreement_ensemble:'. The options, as agreement_ensemble\n"
            "takes them:\n"
            "\n") + usage(study_runner());
    }
    return std::string(
        "Usage: agreement_ensemble [--seeds N] [--first-seed S] [--coupling LIST] [--threads T]\n"
        "                          [--quantiles LIST] [--output FILE] [--per-seed FILE]\n"
        "                          [--state FILE]\n"
        "       agreement_ensemble merge STATE... [--output FILE] [--state FILE] [--threads T]\n"
        "       agreement_ensemble -h | --help | --version\n") +
        "\n"
        "Runs the agreement sweep experiment for N seeds: seed s is the one-shot experiment with\n"
        "the random generator's state word starting at s instead of 1. Writes, for each coupling\n"
        "coefficient k and pass q = 0 .. 127, the mean and spread of the Pearson correlation r\n"
        "across the seeds, and prints a short summary per k. The output is the same whatever the\n"
        "number of threads.\n"
        "\n"
        "  --seeds N        number of seeds, 1 or more (default 10000)\n"
        "  --first-seed S   first seed, 0 .. " +
        std::to_string(STATE_WORDS - 1) +
        "; the seeds are S .. S + N - 1 (default 1)\n"
        "  --coupling LIST  coupling coefficients k in [0, 1] (default 0, the one-shot run's):\n"
        "                   comma-separated values and ranges START:STOP:STEP, e.g. 0,0.25,1 or\n"
        "                   0:1:0.05 (21 values; STOP included when it falls on the grid). Each\n"
        "                   value is taken as its six-decimal text, as the table prints it;\n"
        "                   values that print alike run once, at most " +
        std::to_string(MOST_COUPLINGS) +
        " different values,\n"
        "                   in ascending order. Above 0, each step's size is tied to the\n"
        "                   reference step's size too; at 1 an agreeing step copies it.\n"
        "                   Every k runs the same seeds: the reference signals, masks and\n"
        "                   draws are shared, so differences between k are not differences\n"
        "                   between seeds.\n"
        "  --threads T      worker threads, 1 .. " +
        std::to_string(MOST_THREADS) +
        " (default: the machine's hardware threads)\n"
        "  --quantiles LIST the quantiles of r to report: comma-separated probabilities in\n"
        "                   [0, 1], at most six decimals each, at most " +
        std::to_string(MOST_QUANTILES) +
        " (default 0.025,0.5,0.975)\n"
        "  --output FILE    the table, one row per k and pass (default ensemble.csv)\n"
        "  --per-seed FILE  also write every seed's r, rho and bound:\n"
        "                   coupling,seed,q,r,rho,bound, by seed, then k, then q\n"
        "  --state FILE     also write the study's state: exact sums, counts, histograms and\n"
        "                   the values near the quantiles, for merge\n"
        "  -h, --help       print this help and exit\n"
        "  --version        print the version and exit\n"
        "\n"
        "merge reads state files of the same couplings and quantiles, over seeds no two of them\n"
        "share, and writes the table (and with --state the merged state) of all their seeds:\n"
        "byte for byte what one run over those seeds writes. Their seeds may leave gaps (the\n"
        "summary names the ranges). A file that is damaged, truncated, from another version,\n"
        "or doesn't fit the first is refused with status 2. Rarely, a state lacks a value the\n"
        "merged quantiles need; its seeds then run again at that coupling.\n"
        "\n"
        "Each option is given at most once: a second one is refused rather than left to\n"
        "replace the first, so put every k in one --coupling list.\n"
        "\n" +
        table_columns_help(90) +
        "\n"
        "Every figure comes from exact sums and counts that add up the same however the seeds\n"
        "are split over threads, runs or machines: each mean is rounded once from its exact\n"
        "sum, the variance once from exact integers. The exact quantiles come from the values\n"
        "near them, kept as the seeds run; where those turn out to miss one (rarely), the\n"
        "seeds run a second time to find it.\n"
        "Each file is written under a temporary name beside it and synced; once all are\n"
        "complete and the summary is printed, they are renamed into place together, keeping the\n"
        "earlier files' permissions: a failed or interrupted run leaves every earlier file. A\n"
        "link stays a link and its file is replaced. A device, FIFO or pipe is written straight\n"
        "through, as is '-' (standard output) or a name for an open descriptor such as\n"
        "/dev/stdout or /dev/fd/N; when standard output takes a file, the summary goes to\n"
        "stderr. Temporary files that a killed run left beside the outputs are removed.\n"
        "\n"
        "AGREEMENT_ENSEMBLE_ISA=" + kernel_path_names("|") + " runs the seeds on that kernel path;\n"
        "unset or empty, the widest this processor runs. Every path writes the same bytes.\n"
        "\n"
        "Exit status: 0 done, the new files in place; 1 a file or the summary could not be\n"
        "written, or memory ran out, the earlier files in place; 2 bad options or a state file\n"
        "that can't be merged, nothing written.\n";
}
// clang-format on

// ---- Text ----

std::string fixed(double value, int decimals)
{
    char text[64];
    const std::to_chars_result result =
        std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals);
    return result.ec == std::errc() ? std::string(text, result.ptr) : std::string("nan");
}

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// One progress line on a terminal, rewritten in place.
void show_progress(const std::string &stage, std::uint64_t done, std::uint64_t seeds,
                   double elapsed)
{
    const double rate = elapsed > 0.0 ? static_cast<double>(done) / elapsed : 0.0;
    const double left = rate > 0.0 && done < seeds ? static_cast<double>(seeds - done) / rate : 0.0;
    const std::string line = "\ragreement_ensemble: " + stage + ": " + std::to_string(done) +
                             " of " + std::to_string(seeds) + " seeds, " + fixed(rate, 0) +
                             " seeds/s, " + fixed(left, 1) + " s left   ";
    static_cast<void>(std::fputs(line.c_str(), stderr));
    static_cast<void>(std::fflush(stderr));
}

void clear_progress()
{
    static_cast<void>(std::fputs("\r                                                            "
                                 "                  \r",
                                 stderr));
}

// Shows a progress line at most four times a second while a stage folds its seeds.
struct progress_meter {
    bool shown_at_all;
    std::string stage;
    std::uint64_t seeds;
    std::uint64_t folded;
    std::chrono::steady_clock::time_point start;
    double shown;
};

progress_meter start_progress(const std::string &stage, std::uint64_t seeds)
{
    return progress_meter{
        stderr_is_terminal(), stage, seeds, 0, std::chrono::steady_clock::now(), 0.0};
}

void count_folded(progress_meter *meter, std::uint64_t seeds)
{
    meter->folded += seeds;
    if (meter->shown_at_all && seconds_since(meter->start) - meter->shown >= 0.25) {
        meter->shown = seconds_since(meter->start);
        show_progress(meter->stage, meter->folded, meter->seeds, meter->shown);
    }
}

void end_progress(const progress_meter &meter)
{
    if (meter.shown_at_all) {
        clear_progress();
    }
}

// The figure's text, or "none" where it is not a number.
std::string figure(double value, int decimals)
{
    return value == value ? fixed(value, decimals) : std::string("none");
}

// The seeds a state covers, as the summary names them: "1 to 1000", or its ranges.
std::string spans_text(const std::vector<seed_span> &spans)
{
    const auto one = [](const seed_span &span) {
        return std::to_string(span.first) + " to " + std::to_string(span.first + span.count - 1);
    };
    if (spans.size() == 1) {
        return one(spans[0]);
    }
    std::string text = "in " + std::to_string(spans.size()) + " ranges: ";
    const std::size_t shown = std::min<std::size_t>(spans.size(), 4);
    for (std::size_t i = 0; i < shown; ++i) {
        text += (i == 0 ? "" : ", ") + one(spans[i]);
    }
    return text + (shown < spans.size() ? ", ..." : "");
}

// Prints the summary on stdout, or on stderr when stdout carries one of the files. Returns 0,
// or 1 after reporting a failed write.
int print_summary(const study_state &state, std::uint64_t threads, std::uint64_t ranks,
                  double elapsed, std::size_t merged_from, const pass_row *rows, bool stdout_taken)
{
    const std::string ranks_text = ranks > 1 ? std::to_string(ranks) + " ranks of " : std::string();
    const std::size_t couplings = state.coupling_values.size();
    const double runs = static_cast<double>(state.seeds) * static_cast<double>(couplings);
    const double share =
        static_cast<double>(state.few_turning_points) / static_cast<double>(state.seeds);
    std::string text =
        std::to_string(state.seeds) + (state.seeds == 1 ? " seed (" : " seeds (") +
        spans_text(state.spans) + ") at " + std::to_string(couplings) + " coupling" +
        (couplings == 1 ? "" : "s") +
        (merged_from != 0 ? ", merged from " + std::to_string(merged_from) + " state" +
                                (merged_from == 1 ? "" : "s") + " in " + fixed(elapsed, 2) + " s\n"
                          : " on " + ranks_text + std::to_string(threads) + " thread" +
                                (threads == 1 ? "" : "s") + " in " + fixed(elapsed, 2) + " s, " +
                                fixed(runs / elapsed, 0) + " seed-runs/s\n");
    for (std::size_t c = 0; c < couplings; ++c) {
        const pass_row *curve = rows + c * PASS_COUNT;
        const line_fit fit = fit_line(curve);
        const double crossing = zero_crossing(curve);
        const int changes = sign_changes(curve);
        // A noisy curve can cross zero many times: its first crossing is named as such, so
        // that it isn't read as the only one.
        const std::string crossings =
            changes == 0   ? std::string("it never changes sign")
            : changes == 1 ? "it changes sign once, at agreement " + fixed(crossing, 4)
                           : "it changes sign " + std::to_string(changes) +
                                 " times, first at agreement " + fixed(crossing, 4);
        text += "k = " + fixed(state.coupling_values[c], 4) + ": mean r " +
                figure(curve[0].mean_r, 4) + " at full agreement, " +
                figure(curve[PASS_COUNT - 1].mean_r, 4) + " at full disagreement; " + crossings +
                "; its least-squares line has slope " + figure(fit.slope, 4) +
                " and crosses zero at " + figure(-fit.intercept / fit.slope, 4) + ", R^2 " +
                figure(fit.r_squared, 4) + ", the curve at most " +
                figure(fit.largest_distance, 4) + " from it\n";
    }
    text += "turning-point test: " + fixed(100.0 * share, 2) + " % of reference signals (" +
            std::to_string(state.few_turning_points) + " of " + std::to_string(state.seeds) +
            ") have fewer than " + std::to_string(turning_point_bound()) +
            " interior turning points\n";
    if (stdout_taken) {
        // Nowhere is left to say that stderr failed, but the run is abandoned all the same.
        return std::fputs(text.c_str(), stderr) == EOF || std::fflush(stderr) != 0 ? 1 : 0;
    }
    return print_or_report("agreement_ensemble", text.c_str());
}

// Reports a state file that can't be merged: one line naming it and the reason. Returns 2.
int refuse_state(const std::string &path, const std::string &reason)
{
    report_problem("agreement_ensemble", ("state file '" + path + "' " + reason).c_str(), "");
    return 2;
}

// Reads the state files to merge into *parts, each checked against the first: the same
// couplings and quantiles, and no seed in two of them. Returns 0, or 2 after one line naming
// the file and what is wrong with it.
int read_parts(const std::vector<std::string> &inputs, bool keep_state,
               std::vector<study_state> *parts, study_state *merged)
{
    std::vector<seed_span> covered;
    for (const std::string &path : inputs) {
        std::string bytes;
        if (read_whole_file(path, &bytes) != 0) {
            report_file_failure("read", path);
            return 2;
        }
        parts->emplace_back();
        study_state &part = parts->back();
        const std::string problem = read_state(bytes, &part);
        if (!problem.empty()) {
            return refuse_state(path, problem);
        }
        const std::string mismatch = check_part(parts->front(), part, &covered);
        if (!mismatch.empty()) {
            const bool names_first = mismatch.compare(mismatch.size() - 4, 4, "than") == 0;
            return refuse_state(path, names_first ? mismatch + " '" + inputs[0] + "'" : mismatch);
        }
        if (parts->size() == 1) {
            start_merge(part, keep_state, merged);
        }
        add_part(merged, &part); // its histogram goes: only one is held at a time
    }
    return 0;
}

int drive_study(int argc, char **argv, const study_runner &runner, bool *announced)
{
    ensemble_options chosen;
    if (read_options(argc, argv, &chosen) != 0) {
        return 2;
    }
    if (chosen.help) {
        return print_or_report("agreement_ensemble", usage(runner).c_str());
    }
    if (chosen.version) {
        return print_or_report("agreement_ensemble",
                               runner.ranks != 0
                                   ? "agreement_ensemble_mpi " AGREEMENT_SWEEP_VERSION "\n"
                                   : "agreement_ensemble " AGREEMENT_SWEEP_VERSION "\n");
    }
    const std::uint64_t threads = chosen.threads; // settled by the request's check
    // Every path gives the same doubles; the variable only picks how they are worked out.
    const kernel_path *path = nullptr;
    const std::string path_problem =
        choose_kernel_path(std::getenv("AGREEMENT_ENSEMBLE_ISA"), &path);
    if (!path_problem.empty()) {
        return usage_error(path_problem);
    }

    // A folder's name would only fail at the very end, after every seed has run.
    const char *const option_names[] = {"--output", "--per-seed", "--state"};
    const std::string *const names[] = {&chosen.output, &chosen.per_seed, &chosen.state};
    for (int i = 0; i < 3; ++i) {
        if (!names[i]->empty() && names_a_folder(*names[i])) {
            return usage_error(std::string(option_names[i]) + " '" + *names[i] +
                               "' names a folder, not a file");
        }
    }
    const auto start = std::chrono::steady_clock::now();
    // A table written over one of the states it merges would lose that part for good (the
    // merged state may replace one: that is how a study is extended in place).
    for (const std::string &input : chosen.inputs) {
        for (int i = 0; i < 2; ++i) {
            std::error_code problem;
            if (!names[i]->empty() && std::filesystem::equivalent(input, *names[i], problem)) {
                return usage_error(std::string(option_names[i]) + " '" + *names[i] +
                                   "' is one of the state files to merge");
            }
        }
    }
    // The states to merge are read whole and checked before any output is touched.
    std::vector<study_state> parts;
    study_state state;
    const bool keep_state = !chosen.state.empty();
    if (chosen.merge) {
        const int refused = read_parts(chosen.inputs, keep_state, &parts, &state);
        if (refused != 0) {
            return refused;
        }
    }

    staged_file files[3];
    staged_file *const outputs[] = {&files[0], &files[1], &files[2]};
    // Without the guard a signal or an exhausted memory leaves the temporary files behind;
    // the earlier files are safe either way.
    guard_temporaries();
    // The files are opened first, so that an output that can't be written stops the study
    // before any seed runs.
    int status = 0;
    for (int i = 0; i < 3 && status == 0; ++i) {
        if (names[i]->empty()) {
            continue;
        }
        status = open_staged(&files[i], *names[i]) == 0 ? 0 : 1;
        for (int j = 0; j < i && status == 0; ++j) {
            if (files[j].stream != nullptr && same_file(files[j], files[i])) {
                // Through a link, another spelling, or "-" and /dev/stdout: one would
                // overwrite the other.
                for (staged_file &file : files) {
                    abandon_staged(&file);
                }
                return usage_error(std::string(option_names[j]) + " and " + option_names[i] +
                                   " name the same file '" + *names[i] + "'");
            }
        }
    }
    staged_file &table = files[0];
    staged_file &per_seed = files[1];
    staged_file &state_file = files[2];
    if (status == 0 && per_seed.stream != nullptr && write_per_seed_header(per_seed.stream) != 0) {
        report_file_failure("write", per_seed.target);
        status = 1;
    }
    if (status == 0) {
        // Only once all are open, so that no output is taken for another's leftover.
        remove_left_temporaries(outputs, 3);
    }
    std::vector<pass_row> rows;
    if (status == 0) {
        int stage = 0;
        // A merge's seeds, as its parts' counts gave them: what a run again goes over.
        const std::uint64_t progress_seeds = chosen.merge ? state.seeds : chosen.seeds;
        progress_meter meter =
            start_progress(chosen.merge ? "merging" : "measuring", progress_seeds);
        const run_watcher watch = [&](int run, const seed_result *results, std::uint64_t seeds) {
            if (run < 0) {
                return 0; // the theory's law: a stopping signal ends the program itself
            }
            if (run != stage) {
                end_progress(meter);
                meter = start_progress("quantiles", progress_seeds);
                stage = run;
            }
            count_folded(&meter, seeds);
            if (run != 0 || per_seed.stream == nullptr) {
                return 0;
            }
            const std::size_t runs = static_cast<std::size_t>(seeds) * chosen.couplings.size();
            for (std::size_t i = 0; i < runs; ++i) {
                if (write_per_seed_rows(per_seed.stream, &results[i]) != 0) {
                    report_file_failure("write", per_seed.target);
                    return 1;
                }
            }
            return 0;
        };
        // Every output is open: the seeds run from here on.
        if (runner.before) {
            runner.before(-1);
        }
        *announced = true;
        if (chosen.merge) {
            status = finish_merge(&parts, threads, path, watch, keep_state, &state, &rows);
        } else {
            seed_job job = {chosen.first_seed,
                            chosen.seeds,
                            chosen.couplings.data(),
                            static_cast<int>(chosen.couplings.size()),
                            true,
                            path};
            // Only the per-seed file needs the seeds' results here, in seed order.
            job.in_order = per_seed.stream != nullptr;
            status =
                runner.run
                    ? runner.run(job, chosen.quantiles, threads, watch, keep_state, &state, &rows)
                    : run_study(job, chosen.quantiles, threads, watch, keep_state, &state, &rows);
        }
        end_progress(meter);
    }
    if (status == 0 && write_table(table.stream, rows.data(), rows.size(), state.quantiles) != 0) {
        report_file_failure("write", table.target);
        status = 1;
    }
    if (status == 0 && state_file.stream != nullptr &&
        write_bytes(state_file.stream, state_bytes(state)) != 0) {
        report_file_failure("write", state_file.target);
        status = 1;
    }
    // Every file is complete and closed before any is put in place, so that a failure in one
    // leaves every earlier file.
    for (int i = 2; i >= 0 && status == 0; --i) {
        if (finish_staged(&files[i]) != 0) {
            status = 1;
        }
    }
    // The summary goes out before the files are put in place: a summary that can't be
    // written abandons the run, so that the exit status always tells which files stand, 0 the
    // new ones, anything else the earlier ones.
    if (status == 0) {
        const bool stdout_taken = shares_standard_output(table) ||
                                  shares_standard_output(per_seed) ||
                                  shares_standard_output(state_file);
        status = print_summary(state, threads, runner.ranks, seconds_since(start), parts.size(),
                               rows.data(), stdout_taken);
    }
    if (status == 0 && commit_staged(outputs, 3) != 0) {
        status = 1;
    }
    for (staged_file &file : files) {
        abandon_staged(&file);
    }
    return status;
}

} // namespace

int ensemble_driver(int argc, char **argv)
{
    return ensemble_driver_with(argc, argv, study_runner());
}

int ensemble_driver_with(int argc, char **argv, const study_runner &runner)
{
    bool announced = false;
    int status = 1;
    // Started with stderr closed, an output's temporary file would take descriptor 2 and a
    // failure message would be written into the data.
    if (keep_standard_descriptors() != 0) {
        report_file_failure("open", "/dev/null");
    } else {
        try {
            status = drive_study(argc, argv, runner, &announced);
        } catch (const std::bad_alloc &) {
            // The temporary files go; the outputs are put in place together or not at all.
            remove_every_temporary();
            static_cast<void>(std::fputs("agreement_ensemble: stopped: out of memory\n", stderr));
            status = 1;
        }
    }
    if (!announced && runner.before) {
        runner.before(status); // stopped before any seed ran
    }
    return status;
}
