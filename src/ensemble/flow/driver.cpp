// The agreement_ensemble program's flow: its options read, the seeds measured and found again
// for the quantiles, the files written, progress and the summary shown.
#include <charconv>
#include <chrono>
#include <cstdlib>
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
std::string usage()
{
    return std::string(
        "Usage: agreement_ensemble [--seeds N] [--first-seed S] [--coupling LIST] [--threads T]\n"
        "                          [--output FILE] [--per-seed FILE]\n"
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
        "  --output FILE    the table, one row per k and pass (default ensemble.csv)\n"
        "  --per-seed FILE  also write every seed's r, rho and bound:\n"
        "                   coupling,seed,q,r,rho,bound, by seed, then k, then q\n"
        "  -h, --help       print this help and exit\n"
        "  --version        print the version and exit\n"
        "\n"
        "Each option is given at most once: a second one is refused rather than left to\n"
        "replace the first, so put every k in one --coupling list.\n"
        "\n"
        "The table's columns: coupling (k), q, agreement (127 - q) / 127, mean_r, sd_r (sample\n"
        "standard deviation, divisor N - 1), r_q025, r_q500, r_q975 (exact quantiles of r,\n"
        "interpolated linearly between order statistics), mean_rho, share_rho_band_excludes_zero\n"
        "(share of seeds whose rank correlation band rho +- bound excludes zero), law_r (the\n"
        "long-signal law's r at that agreement and k). Comma-separated, six decimals, '.' as the\n"
        "decimal point.\n"
        "\n"
        "The exact quantiles come from the values near them, kept as the seeds run; where\n"
        "those turn out to miss one (rarely), the seeds run a second time to find it.\n"
        "Each file is written under a temporary name beside it and synced; once both are\n"
        "complete and the summary is printed, both are renamed into place together, keeping the\n"
        "earlier file's permissions: a failed or interrupted run leaves both earlier files. A\n"
        "link stays a link and its file is replaced. A device, FIFO or pipe is written straight\n"
        "through, as is '-' (standard output) or a name for an open descriptor such as\n"
        "/dev/stdout or /dev/fd/N; when standard output takes a file, the summary goes to\n"
        "stderr. Temporary files that a killed run left beside the outputs are removed.\n"
        "\n"
        "AGREEMENT_ENSEMBLE_ISA=" + kernel_path_names("|") + " runs the seeds on that kernel path;\n"
        "unset or empty, the widest this processor runs. Every path writes the same bytes.\n"
        "\n"
        "Exit status: 0 done, the new files in place; 1 a file or the summary could not be\n"
        "written, or memory ran out, the earlier files in place; 2 bad options, nothing written.\n";
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
    const double left = rate > 0.0 ? static_cast<double>(seeds - done) / rate : 0.0;
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

// Prints the summary on stdout, or on stderr when stdout carries one of the files. Returns 0,
// or 1 after reporting a failed write.
int print_summary(const ensemble_options &chosen, std::uint64_t threads, double elapsed,
                  const ensemble_totals &totals, const pass_row *rows, bool stdout_taken)
{
    const std::uint64_t last = chosen.first_seed + chosen.seeds - 1;
    const std::size_t couplings = chosen.couplings.size();
    const double runs = static_cast<double>(chosen.seeds) * static_cast<double>(couplings);
    const double share =
        static_cast<double>(totals.few_turning_points) / static_cast<double>(chosen.seeds);
    std::string text = std::to_string(chosen.seeds) + (chosen.seeds == 1 ? " seed (" : " seeds (") +
                       std::to_string(chosen.first_seed) + " to " + std::to_string(last) + ") at " +
                       std::to_string(couplings) + " coupling" + (couplings == 1 ? "" : "s") +
                       " on " + std::to_string(threads) + " thread" + (threads == 1 ? "" : "s") +
                       " in " + fixed(elapsed, 2) + " s, " + fixed(runs / elapsed, 0) +
                       " seed-runs/s\n";
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
        text += "k = " + fixed(chosen.couplings[c], 4) + ": mean r " + figure(curve[0].mean_r, 4) +
                " at full agreement, " + figure(curve[PASS_COUNT - 1].mean_r, 4) +
                " at full disagreement; " + crossings + "; its least-squares line has slope " +
                figure(fit.slope, 4) + " and crosses zero at " +
                figure(-fit.intercept / fit.slope, 4) + ", R^2 " + figure(fit.r_squared, 4) +
                ", the curve at most " + figure(fit.largest_distance, 4) + " from it\n";
    }
    text += "turning-point test: " + fixed(100.0 * share, 2) + " % of reference signals (" +
            std::to_string(totals.few_turning_points) + " of " + std::to_string(chosen.seeds) +
            ") have fewer than " + std::to_string(turning_point_bound()) +
            " interior turning points\n";
    if (stdout_taken) {
        // Nowhere is left to say that stderr failed, but the run is abandoned all the same.
        return std::fputs(text.c_str(), stderr) == EOF || std::fflush(stderr) != 0 ? 1 : 0;
    }
    return print_or_report("agreement_ensemble", text.c_str());
}

int run_ensemble(int argc, char **argv)
{
    ensemble_options chosen;
    if (read_options(argc, argv, &chosen) != 0) {
        return 2;
    }
    if (chosen.help) {
        return print_or_report("agreement_ensemble", usage().c_str());
    }
    if (chosen.version) {
        return print_or_report("agreement_ensemble",
                               "agreement_ensemble " AGREEMENT_SWEEP_VERSION "\n");
    }
    const std::uint64_t threads = chosen.threads; // settled by the request's check
    const int couplings = static_cast<int>(chosen.couplings.size());
    // Every path gives the same doubles; the variable only picks how they are worked out.
    const kernel_path *path = nullptr;
    const std::string path_problem =
        choose_kernel_path(std::getenv("AGREEMENT_ENSEMBLE_ISA"), &path);
    if (!path_problem.empty()) {
        return usage_error(path_problem);
    }

    // A folder's name would only fail at the very end, after every seed has run.
    for (const char *option : {"--output", "--per-seed"}) {
        const std::string &name = option[2] == 'o' ? chosen.output : chosen.per_seed;
        if (!name.empty() && names_a_folder(name)) {
            return usage_error(std::string(option) + " '" + name + "' names a folder, not a file");
        }
    }

    const auto start = std::chrono::steady_clock::now();
    staged_file table;
    staged_file per_seed;
    // Without the guard a signal or an exhausted memory leaves the temporary files behind;
    // the earlier files are safe either way.
    guard_temporaries();
    // The table's file is opened first, so that an output that can't be written stops the
    // ensemble before any seed runs.
    int status = open_staged(&table, chosen.output) == 0 ? 0 : 1;
    if (status == 0 && !chosen.per_seed.empty()) {
        status = open_staged(&per_seed, chosen.per_seed) == 0 ? 0 : 1;
        if (status == 0 && same_file(table, per_seed)) {
            // Through a link, another spelling, or "-" and /dev/stdout: one would overwrite
            // the other.
            abandon_staged(&per_seed);
            abandon_staged(&table);
            return usage_error("--output and --per-seed name the same file '" + chosen.per_seed +
                               "'");
        }
        if (status == 0) {
            if (write_per_seed_header(per_seed.stream) != 0) {
                report_file_failure("write", per_seed.target);
                status = 1;
            }
        }
    }
    staged_file *const outputs[] = {&table, &per_seed};
    if (status == 0) {
        // Only once both are open, so that neither output is taken for another's leftover.
        remove_left_temporaries(outputs, 2);
    }
    ensemble_totals totals;
    std::vector<pass_row> rows;
    if (status == 0) {
        const seed_job job = {chosen.first_seed, chosen.seeds, chosen.couplings.data(),
                              couplings,         true,         path};
        int stage = 0;
        progress_meter meter = start_progress("measuring", chosen.seeds);
        status = run_table(
            job, threads,
            [&](int run, const seed_result *results, std::uint64_t seeds) {
                if (run != stage) {
                    end_progress(meter);
                    meter = start_progress("quantiles", chosen.seeds);
                    stage = run;
                }
                count_folded(&meter, seeds);
                if (run != 0 || per_seed.stream == nullptr) {
                    return 0;
                }
                const std::size_t runs = static_cast<std::size_t>(seeds) * couplings;
                for (std::size_t i = 0; i < runs; ++i) {
                    if (write_per_seed_rows(per_seed.stream, &results[i]) != 0) {
                        report_file_failure("write", per_seed.target);
                        return 1;
                    }
                }
                return 0;
            },
            &totals, &rows);
        end_progress(meter);
    }
    if (status == 0 && write_table(table.stream, rows.data(), rows.size()) != 0) {
        report_file_failure("write", table.target);
        status = 1;
    }
    // Both files are complete and closed before either is put in place, so that a failure
    // in either leaves both earlier files.
    if (status == 0 && finish_staged(&per_seed) != 0) {
        status = 1;
    }
    if (status == 0 && finish_staged(&table) != 0) {
        status = 1;
    }
    // The summary goes out before the files are put in place: a summary that can't be
    // written abandons the run, so that the exit status always tells which files stand, 0 the
    // new ones, anything else the earlier ones.
    if (status == 0) {
        const bool stdout_taken = shares_standard_output(table) || shares_standard_output(per_seed);
        status =
            print_summary(chosen, threads, seconds_since(start), totals, rows.data(), stdout_taken);
    }
    if (status == 0 && commit_staged(outputs, 2) != 0) {
        status = 1;
    }
    abandon_staged(&per_seed);
    abandon_staged(&table);
    return status;
}

} // namespace

int ensemble_driver(int argc, char **argv)
{
    // Started with stderr closed, an output's temporary file would take descriptor 2 and a
    // failure message would be written into the data.
    if (keep_standard_descriptors() != 0) {
        report_file_failure("open", "/dev/null");
        return 1;
    }
    try {
        return run_ensemble(argc, argv);
    } catch (const std::bad_alloc &) {
        // The temporary files go; the outputs are put in place together or not at all.
        remove_every_temporary();
        static_cast<void>(std::fputs("agreement_ensemble: stopped: out of memory\n", stderr));
        return 1;
    }
}
