// The agreement_ensemble program: options, worker threads, progress and the summary.
#include <algorithm>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

#ifdef _WIN32
#include <io.h>
#define stderr_is_terminal() (_isatty(_fileno(stderr)) != 0)
#else
#include <unistd.h>
#define stderr_is_terminal() (isatty(fileno(stderr)) != 0)
#endif

#include "ensemble/ensemble.h"
#include "stats/stats.h"

namespace {

constexpr std::uint64_t STATE_WORDS = 4294967296U; // the generator's 32-bit state range
constexpr std::uint64_t MOST_THREADS = 256;
constexpr std::uint64_t BLOCK_SEEDS = 16; // seeds a thread takes at a time

const char USAGE[] =
    "Usage: agreement_ensemble [--seeds N] [--first-seed S] [--threads T]\n"
    "                          [--output FILE] [--per-seed FILE]\n"
    "\n"
    "Runs the agreement sweep experiment for N seeds: seed s is the one-shot experiment with\n"
    "the random generator's state word starting at s instead of 1. Writes, for each pass\n"
    "q = 0 .. 127, the mean and spread of the Pearson correlation r across the seeds, and\n"
    "prints a short summary. The output is the same whatever the number of threads.\n"
    "\n"
    "  --seeds N        number of seeds, 1 or more (default 10000)\n"
    "  --first-seed S   first seed, 0 .. 4294967295; the seeds are S .. S + N - 1 (default 1)\n"
    "  --threads T      worker threads, 1 .. 256 (default: the machine's hardware threads)\n"
    "  --output FILE    the table, one row per pass (default ensemble.csv)\n"
    "  --per-seed FILE  also write every seed's r, rho and bound: seed,q,r,rho,bound\n"
    "  --help           print this help and exit\n"
    "  --version        print the version and exit\n"
    "\n"
    "The table's columns: q, agreement (127 - q) / 127, mean_r, sd_r (sample standard\n"
    "deviation, divisor N - 1), r_q025, r_q500, r_q975 (exact quantiles of r, interpolated\n"
    "linearly between order statistics), mean_rho, share_rho_band_excludes_zero (share of\n"
    "seeds whose rank correlation band rho +- bound excludes zero). Comma-separated, six\n"
    "decimals, '.' as the decimal point.\n"
    "\n"
    "Files are written under a temporary name beside the target and renamed when complete.\n"
    "Exit status: 0 done, 1 a file could not be written, 2 bad options.\n";

struct options {
    std::uint64_t seeds = 10000;
    std::uint64_t first_seed = 1;
    std::uint64_t threads = 0; // 0: the machine's hardware threads
    std::string output = "ensemble.csv";
    std::string per_seed;
    bool help = false;
    bool version = false;
};

// Reports a bad command line: one line naming the problem and pointing to --help.
int usage_error(const std::string &problem)
{
    const std::string line = "agreement_ensemble: " + problem + " (see --help)\n";
    static_cast<void>(std::fputs(line.c_str(), stderr));
    return 2;
}

// Reads a whole decimal number from lowest to highest. Returns false for anything else:
// signs, blanks, other characters, or a value out of range.
bool read_count(const char *text, std::uint64_t lowest, std::uint64_t highest,
                std::uint64_t *value)
{
    const char *const end = text + std::strlen(text);
    if (text == end || *text < '0' || *text > '9') {
        return false;
    }
    const std::from_chars_result result = std::from_chars(text, end, *value);
    return result.ec == std::errc() && result.ptr == end && *value >= lowest &&
           *value <= highest;
}

// Reads the command line into *chosen. Returns 0, or 2 after reporting the problem.
int read_options(int argc, char **argv, options *chosen)
{
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        const char *value = nullptr;
        const std::size_t equals = name.find('=');
        if (name.rfind("--", 0) == 0 && equals != std::string::npos) {
            value = argv[i] + equals + 1;
            name.resize(equals);
        }
        if (name == "--help" || name == "--version") {
            if (value != nullptr) {
                return usage_error(name + " takes no value");
            }
            (name == "--help" ? chosen->help : chosen->version) = true;
            continue;
        }
        const bool known = name == "--seeds" || name == "--first-seed" || name == "--threads" ||
                           name == "--output" || name == "--per-seed";
        if (!known) {
            return usage_error(name.rfind('-', 0) == 0 ? "unknown option '" + name + "'"
                                                        : "unexpected argument '" + name + "'");
        }
        if (value == nullptr) {
            if (i + 1 >= argc) {
                return usage_error(name + " needs a value");
            }
            value = argv[++i];
        }
        if (name == "--output" || name == "--per-seed") {
            if (*value == '\0') {
                return usage_error(name + " needs a file name");
            }
            (name == "--output" ? chosen->output : chosen->per_seed) = value;
        } else if (name == "--seeds") {
            if (!read_count(value, 1, STATE_WORDS, &chosen->seeds)) {
                return usage_error("--seeds must be a whole number from 1 to 4294967296, not '" +
                                   std::string(value) + "'");
            }
        } else if (name == "--first-seed") {
            if (!read_count(value, 0, STATE_WORDS - 1, &chosen->first_seed)) {
                return usage_error("--first-seed must be a whole number from 0 to 4294967295, "
                                   "not '" + std::string(value) + "'");
            }
        } else if (!read_count(value, 1, MOST_THREADS, &chosen->threads)) {
            return usage_error("--threads must be a whole number from 1 to 256, not '" +
                               std::string(value) + "'");
        }
    }
    if (chosen->first_seed + chosen->seeds > STATE_WORDS) {
        return usage_error("seeds " + std::to_string(chosen->first_seed) + " to " +
                           std::to_string(chosen->first_seed + chosen->seeds - 1) +
                           " go beyond the generator's 32-bit state (the last seed is 4294967295)");
    }
    if (!chosen->per_seed.empty() && chosen->per_seed == chosen->output) {
        return usage_error("--output and --per-seed name the same file '" + chosen->output + "'");
    }
    return 0;
}

// ---- Removing temporary files when interrupted ----

// The temporary names in use, for the interrupt handler: fixed arrays, so that the handler
// needs no allocation, each marked ready only once it is whole, so that the handler never
// removes a file by a half-copied name.
char temporary_names[2][4096];
volatile std::sig_atomic_t temporary_ready[2] = {0, 0};

extern "C" void remove_temporaries_and_stop(int signal_number)
{
    for (int slot = 0; slot < 2; ++slot) {
        if (temporary_ready[slot] != 0) {
            static_cast<void>(std::remove(temporary_names[slot])); // nothing more to do if it fails
        }
    }
    // Then end as the signal would have ended the program, status and all.
    static_cast<void>(std::signal(signal_number, SIG_DFL));
    static_cast<void>(std::raise(signal_number));
}

void remember_temporary(int slot, const std::string &name)
{
    temporary_ready[slot] = 0;
    const std::size_t length = std::min(name.size(), sizeof temporary_names[slot] - 1);
    std::memcpy(temporary_names[slot], name.data(), length);
    temporary_names[slot][length] = '\0';
    temporary_ready[slot] = length == name.size() ? 1 : 0; // a cut name is never removed
}

void forget_temporaries()
{
    temporary_ready[0] = 0;
    temporary_ready[1] = 0;
}

// ---- Work shared by the threads ----

// Seeds go out in blocks. A block's results wait in one of `window` slots until the main
// thread has folded every earlier block, so the figures are folded in seed order; a thread
// takes a new block only while a slot is free, so memory stays bounded.
struct shared_work {
    std::uint64_t first_seed = 0;
    std::uint64_t seeds = 0;
    std::uint64_t blocks = 0;
    std::uint64_t window = 0;
    std::vector<seed_result> slots;   // window x BLOCK_SEEDS results
    std::vector<std::uint64_t> ready; // per slot: 1 + the block it holds, 0 when free

    std::mutex lock;
    std::condition_variable changed;
    std::uint64_t next_block = 0;    // the next block a thread takes
    std::uint64_t folded_blocks = 0; // blocks the main thread has folded
    bool stop = false;
};

void run_blocks(shared_work *work)
{
    for (;;) {
        std::uint64_t block = 0;
        {
            std::unique_lock<std::mutex> held(work->lock);
            work->changed.wait(held, [work] {
                return work->stop || work->next_block >= work->blocks ||
                       work->next_block < work->folded_blocks + work->window;
            });
            if (work->stop || work->next_block >= work->blocks) {
                return;
            }
            block = work->next_block++;
        }
        const std::uint64_t slot = block % work->window;
        const std::uint64_t first = block * BLOCK_SEEDS;
        const std::uint64_t count = std::min(BLOCK_SEEDS, work->seeds - first);
        for (std::uint64_t i = 0; i < count; ++i) {
            run_seed(static_cast<std::uint32_t>(work->first_seed + first + i),
                     &work->slots[slot * BLOCK_SEEDS + i]);
        }
        {
            std::lock_guard<std::mutex> held(work->lock);
            work->ready[slot] = block + 1;
        }
        work->changed.notify_all();
    }
}

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
void show_progress(std::uint64_t done, std::uint64_t seeds, double elapsed)
{
    const double rate = elapsed > 0.0 ? static_cast<double>(done) / elapsed : 0.0;
    const double left = rate > 0.0 ? static_cast<double>(seeds - done) / rate : 0.0;
    const std::string line = "\ragreement_ensemble: " + std::to_string(done) + " of " +
                             std::to_string(seeds) + " seeds, " + fixed(rate, 0) +
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

void print_summary(const options &chosen, std::uint64_t threads, double elapsed,
                   const ensemble_totals &totals, const pass_row *rows)
{
    const std::uint64_t last = chosen.first_seed + chosen.seeds - 1;
    const double crossing = zero_crossing(rows);
    const double share =
        static_cast<double>(totals.few_turning_points) / static_cast<double>(chosen.seeds);
    std::string text = std::to_string(chosen.seeds) + " seeds (" +
                       std::to_string(chosen.first_seed) + " to " + std::to_string(last) +
                       ") on " + std::to_string(threads) + " thread" +
                       (threads == 1 ? "" : "s") + " in " + fixed(elapsed, 2) + " s, " +
                       fixed(static_cast<double>(chosen.seeds) / elapsed, 0) + " seeds/s\n";
    text += crossing == crossing ? "mean r crosses zero at agreement " + fixed(crossing, 4) + "\n"
                                 : std::string("mean r does not cross zero\n");
    text += "slope of mean r against agreement: " + fixed(least_squares_slope(rows), 4) +
            " (least squares over the 128 passes)\n";
    text += "turning-point test: " + fixed(100.0 * share, 2) + " % of reference signals (" +
            std::to_string(totals.few_turning_points) + " of " + std::to_string(chosen.seeds) +
            ") have fewer than " + std::to_string(turning_point_bound()) +
            " interior turning points\n";
    static_cast<void>(std::fputs(text.c_str(), stdout));
}

// Runs the seeds and folds them in order; writes per-seed rows as they are folded when
// per_seed is open. Returns 0, or 1 after reporting a failure.
int run_and_fold(const options &chosen, std::uint64_t threads, ensemble_totals *totals,
                 staged_file *per_seed)
{
    shared_work work;
    work.first_seed = chosen.first_seed;
    work.seeds = chosen.seeds;
    work.blocks = (chosen.seeds + BLOCK_SEEDS - 1) / BLOCK_SEEDS;
    work.window = 2 * threads + 2;
    work.slots.resize(work.window * BLOCK_SEEDS);
    work.ready.assign(work.window, 0U);

    int status = 0;
    std::vector<std::thread> pool;
    try {
        for (std::uint64_t i = 0; i < threads; ++i) {
            pool.emplace_back(run_blocks, &work);
        }
    } catch (const std::system_error &error) {
        const std::string line = "agreement_ensemble: cannot start " + std::to_string(threads) +
                                 " threads: " + error.code().message() + "\n";
        static_cast<void>(std::fputs(line.c_str(), stderr));
        status = 1;
        {
            std::lock_guard<std::mutex> held(work.lock);
            work.stop = true;
        }
        work.changed.notify_all();
    }

    const bool progress = stderr_is_terminal();
    const auto start = std::chrono::steady_clock::now();
    double shown = 0.0;
    for (std::uint64_t block = 0; block < work.blocks && status == 0; ++block) {
        const std::uint64_t slot = block % work.window;
        {
            std::unique_lock<std::mutex> held(work.lock);
            work.changed.wait(held, [&work, slot, block] { return work.ready[slot] == block + 1; });
        }
        // The slot is this thread's until the block is marked folded.
        const std::uint64_t count = std::min(BLOCK_SEEDS, chosen.seeds - block * BLOCK_SEEDS);
        for (std::uint64_t i = 0; i < count && status == 0; ++i) {
            const seed_result *result = &work.slots[slot * BLOCK_SEEDS + i];
            if (fold_seed(totals, result) != 0) {
                report_file_failure("write", "the temporary file of every r");
                status = 1;
            } else if (per_seed->stream != nullptr &&
                       write_per_seed_rows(per_seed->stream, result) != 0) {
                report_file_failure("write", per_seed->target);
                status = 1;
            }
        }
        {
            std::lock_guard<std::mutex> held(work.lock);
            work.ready[slot] = 0;
            work.folded_blocks = block + 1;
            work.stop = status != 0;
        }
        work.changed.notify_all();
        if (progress && seconds_since(start) - shown >= 0.25) {
            shown = seconds_since(start);
            show_progress(totals->seeds, chosen.seeds, shown);
        }
    }
    for (std::thread &thread : pool) {
        thread.join();
    }
    if (progress) {
        clear_progress();
    }
    return status;
}

} // namespace

int ensemble_driver(int argc, char **argv)
{
    options chosen;
    if (read_options(argc, argv, &chosen) != 0) {
        return 2;
    }
    if (chosen.help) {
        static_cast<void>(std::fputs(USAGE, stdout));
        return 0;
    }
    if (chosen.version) {
        static_cast<void>(std::fputs("agreement_ensemble " AGREEMENT_SWEEP_VERSION "\n", stdout));
        return 0;
    }
    std::uint64_t threads = chosen.threads;
    if (threads == 0) {
        threads = std::max(1U, std::thread::hardware_concurrency());
        threads = std::min(threads, MOST_THREADS);
    }

    const auto start = std::chrono::steady_clock::now();
    ensemble_totals totals;
    if (start_totals(&totals) != 0) {
        report_file_failure("create", "a temporary file for the quantiles");
        return 1;
    }
    staged_file table;
    staged_file per_seed;
    // Without the handlers an interruption leaves the temporary files behind; the targets
    // are safe either way.
    static_cast<void>(std::signal(SIGINT, remove_temporaries_and_stop));
    static_cast<void>(std::signal(SIGTERM, remove_temporaries_and_stop));
    // The table's file is opened first, so that an output that can't be written stops the
    // ensemble before any seed runs.
    int status = open_staged(&table, chosen.output) == 0 ? 0 : 1;
    if (status == 0) {
        remember_temporary(0, table.temporary);
    }
    if (status == 0 && !chosen.per_seed.empty()) {
        status = open_staged(&per_seed, chosen.per_seed) == 0 ? 0 : 1;
        if (status == 0) {
            remember_temporary(1, per_seed.temporary);
            if (write_per_seed_header(per_seed.stream) != 0) {
                report_file_failure("write", per_seed.target);
                status = 1;
            }
        }
    }
    if (status == 0) {
        status = run_and_fold(chosen, threads, &totals, &per_seed);
    }

    pass_row rows[PASS_COUNT];
    if (status == 0 && finish_rows(&totals, rows) != 0) {
        report_file_failure("read back", "the temporary file of every r");
        status = 1;
    }
    close_totals(&totals);
    if (status == 0 && write_table(table.stream, rows) != 0) {
        report_file_failure("write", table.target);
        status = 1;
    }
    if (status == 0 && per_seed.stream != nullptr) {
        status = commit_staged(&per_seed) == 0 ? 0 : 1;
    }
    if (status == 0) {
        status = commit_staged(&table) == 0 ? 0 : 1;
    }
    abandon_staged(&per_seed);
    abandon_staged(&table);
    forget_temporaries();
    if (status == 0) {
        print_summary(chosen, threads, seconds_since(start), totals, rows);
    }
    return status;
}
