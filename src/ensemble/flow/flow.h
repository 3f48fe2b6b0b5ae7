// The agreement_ensemble program's flow: its options, the work window that runs seeds on
// threads (each folding its own, and handing them back in seed order where asked), a study's
// state from runs and merges, the curve its summary describes, and the driver.
#ifndef AGREEMENT_SWEEP_FLOW_H
#define AGREEMENT_SWEEP_FLOW_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "kernels.h"
#include "quantiles.h"

// ---- The request: what one ensemble runs, read alike by every front end ----

constexpr int MOST_COUPLINGS = 1001;               // coupling coefficients one ensemble may run
constexpr std::uint64_t MOST_THREADS = 256;        // worker threads one ensemble may start
constexpr std::uint64_t STATE_WORDS = 4294967296U; // the generator's 32-bit state range: the
                                                   // seeds are 0 .. STATE_WORDS - 1
constexpr std::uint64_t DEFAULT_SEEDS = 10000;     // seeds an ensemble runs unless told

// An ensemble's arguments as a front end was given them, before any check. Each count is its
// decimal text (the command line's word, a Python int's digits; empty: the default), so that
// one reading judges every value whatever its size or sign.
struct request_arguments {
    std::string seeds;
    std::string first_seed;
    std::string threads;                // empty: the machine's hardware threads
    std::vector<double> couplings{0.0}; // k values, in the order given
    bool listed_order = false; // keep the couplings' order and repeats, so that results index
                               // as the caller's own list (the module); else ascending, once
};

// How a front end names the arguments in its messages: "--seeds" or "seeds".
struct request_names {
    const char *seeds;
    const char *first_seed;
    const char *threads;
    const char *coupling;
};

// What one ensemble runs: its arguments, checked.
struct ensemble_request {
    std::uint64_t seeds = DEFAULT_SEEDS;
    std::uint64_t first_seed = 1;
    std::uint64_t threads = 0;          // 1 .. MOST_THREADS once checked
    std::vector<double> couplings{0.0}; // k values as they run, each coupling_as_printed
    quantile_list quantiles;            // the quantiles of r the table reports
};

// The double nearest k's six-decimal text, -0 as 0: how the table and the summary name k, and
// so the k that runs, whichever front end asked for it.
double coupling_as_printed(double k);

// Settles a list of k values into the form they run in: each in [0, 1] (NaN refused) and taken
// as coupling_as_printed gives it; unless listed_order, ascending with repeats merged, at most
// MOST_COUPLINGS then. Returns an empty string, or the problem, naming the argument as `name`.
std::string settle_couplings(std::vector<double> *couplings, bool listed_order, const char *name);

// Checks given by the one rule for an ensemble and fills *request: seeds 1 .. STATE_WORDS,
// first seed 0 .. STATE_WORDS - 1 with the last seed inside the generator's state, threads
// 1 .. MOST_THREADS (none given: the machine's hardware threads, at most MOST_THREADS), and
// 1 .. MOST_COUPLINGS couplings settled by settle_couplings. Returns an empty string, or the
// first problem, naming the argument as names spells it.
std::string check_request(const request_arguments &given, const request_names &names,
                          ensemble_request *request);

// ---- Options: the command line's request ----

// What the command line asks for: the request and the program's own files and actions.
struct ensemble_options : ensemble_request {
    std::string output = "ensemble.csv";
    std::string per_seed;
    std::string state;               // also write the study's state there
    bool merge = false;              // merge the states in inputs instead of running seeds
    std::vector<std::string> inputs; // the state files to merge
    bool help = false;
    bool version = false;
};

// Reads the command line into *chosen, each option at most once, the request checked by
// check_request. Returns 0, or 2 after one line on stderr naming the offending item and
// pointing to --help.
int read_options(int argc, char **argv, ensemble_options *chosen);

// Reports a bad command line: one line naming the problem and pointing to --help. Returns 2,
// the status for bad options.
int usage_error(const std::string &problem);

// Reads a --coupling list into *couplings: comma-separated items, each a number or a range
// START:STOP:STEP (value i = START + i STEP, STOP included when it falls on the grid), the
// values settled as settle_couplings does item by item (ascending, each once). Returns an
// empty string, or the problem, naming the offending item.
std::string read_couplings(const char *text, std::vector<double> *couplings);

// ---- Work on the threads ----

// One run over the seeds S .. S + N - 1: at which couplings, with or without the rank
// statistic.
struct seed_job {
    std::uint64_t first_seed;
    std::uint64_t seeds;
    const double *couplings;
    int coupling_count; // at least one
    bool ranks;
    const kernel_path *path = nullptr; // null: the plain path
    bool in_order = true; // the calling thread gets every block's results in seed order; else
                          // only how many seeds are done, a few times a second, and the
                          // workers never wait for it
};

// Blocks of results that may wait for the calling thread at once, with `threads` workers.
std::uint64_t work_window_slots(std::uint64_t threads);

// Seeds in a block (the last may hold fewer) when each seed runs `couplings` coefficients.
std::uint64_t work_block_seeds(int couplings);

// What the calling thread does with the results of `seeds` consecutive seeds (one per
// coupling for each seed, seed by seed), in seed order: returns 0 to go on, or 1 to stop
// after reporting a failure.
typedef std::function<int(const seed_result *results, std::uint64_t seeds)> ordered_block_handler;

// What worker `worker` (0 .. threads - 1) does with a block it has just run, on its own
// thread, before the block goes to the calling thread: results of `seeds` consecutive seeds
// as for ordered_block_handler, in whatever order the blocks come.
typedef std::function<void(std::uint64_t worker, const seed_result *results, std::uint64_t seeds)>
    worker_block_handler;

// Runs every seed of the job on `threads` worker threads, each block handed first to
// on_worker (when set) on the thread that ran it, then, with job.in_order, to fold on the
// calling thread a block at a time, in seed order, whichever thread ran them; at most a few
// blocks of results wait at a time: a worker takes block b (counted from 0) only once fold has
// returned from blocks 0 .. b - work_window_slots(threads), so when on_worker gets block b,
// fold has returned at least b + 1 - work_window_slots(threads) times. Without job.in_order
// fold gets no results (null) but, every 50 ms or so and at the end, the count of seeds done
// since its last call, and costs the calling thread nothing a block. Returns 0, or 1 after a
// failure: fold's, or threads that can't be started (reported here).
int run_seeds_in_order(const seed_job &job, std::uint64_t threads,
                       const ordered_block_handler &fold,
                       const worker_block_handler *on_worker = nullptr);

// ---- The study: its state, from runs and from merges, and its table ----

// What the calling thread hears of a study's runs over the seeds: each block of results, in
// seed order, from the measuring run (run 0: every coupling of the job, seed by seed, with the
// rank statistic; without job.in_order, no results, null, only how many seeds are done) and
// from each run that finds quantile values again (run 1 on: some of the couplings, without
// it); and, while the table's finite-length law is computed, run -1 with no results between
// its couplings, only to ask whether to stop. Returns 0 to go on, or 1 to stop the study.
typedef std::function<int(int run, const seed_result *results, std::uint64_t seeds)> run_watcher;

// One row of the table: pass q at coupling k, from the figures its state gives across the
// seeds, the long-signal law's r at that agreement and k, and finite_law_r, the finite-length
// law's mean r there.
pass_row table_row(double coupling, int q, const pass_figures &figures, double finite_law_r);

constexpr std::uint64_t MOST_KEPT_VALUES = std::uint64_t{8} << 20; // 64 MB of r at once

// Runs job (with the rank statistic) on `threads` worker threads, each folding the seeds it
// runs into a state of its own, and merges those into *state: its sums, counts and histograms,
// and the values of its window, caught by the workers' nets during the run where they fit
// (kept_values at most, shared by the workers), else found in as many further runs over the
// seeds as it takes. Fills *rows, one per coupling and pass, coupling-major. With keep_state
// the state keeps the wide window a state file holds; without, only what its own quantiles
// need, and each coupling's values go once its rows are filled, so that only one group's
// values are held at a time. The same state and rows whatever the thread count, kernel path
// and kept_values. Returns 0, or 1 when watch stopped it or the threads couldn't be started
// (reported).
int run_study(const seed_job &job, const quantile_list &quantiles, std::uint64_t threads,
              const run_watcher &watch, bool keep_state, study_state *state,
              std::vector<pass_row> *rows, std::uint64_t kept_values = MOST_KEPT_VALUES);

// Merges complete states (same couplings and quantiles, seeds apart; at least one) into
// *merged, the state one run over all of their seeds gives, byte for byte (with keep_state;
// without, as run_study), and its rows: where a part didn't keep a bin the merged window
// needs, its seeds run again at that coupling (r only) on `threads` threads by path. Each
// part's values are freed as they are taken. Returns 0, or 1 when the threads couldn't be
// started or watch stopped it. In steps, so that a caller reading many parts holds only one
// histogram at a time: start_merge with the first part, add_part for every part (the first
// included) as it is read, which frees its histogram, then finish_merge.
int merge_parts(std::vector<study_state> *parts, std::uint64_t threads, const kernel_path *path,
                const run_watcher &watch, bool keep_state, study_state *merged,
                std::vector<pass_row> *rows);
void start_merge(const study_state &first, bool keep_state, study_state *merged);
void add_part(study_state *merged, study_state *part);
int finish_merge(std::vector<study_state> *parts, std::uint64_t threads, const kernel_path *path,
                 const run_watcher &watch, bool keep_state, study_state *merged,
                 std::vector<pass_row> *rows);

// Checks that part can be merged with the parts before it, the first of which is first: the
// same couplings and quantiles, and no seed that they cover (*covered, to which its seeds are
// added). Returns an empty string, or what is wrong, to follow the part's name: "has other
// coupling coefficients than" (then the first's name), "covers seeds that an earlier one
// covers too".
std::string check_part(const study_state &first, const study_state &part,
                       std::vector<seed_span> *covered);

// The spans of two sets of seeds together, ascending, touching ones joined; false when they
// overlap (the seeds would count twice).
bool join_spans(const std::vector<seed_span> &a, const std::vector<seed_span> &b,
                std::vector<seed_span> *joined);

// ---- The curve of mean r against agreement, at one k ----

// The agreement fraction at which mean r first changes sign, going from full agreement to
// full disagreement, interpolated linearly between the two passes; NaN when it never does.
double zero_crossing(const pass_row *rows);

// How many times mean r changes sign from full agreement to full disagreement: passes where
// it is exactly 0 or not a number are stepped over, so a curve that touches zero and turns
// back doesn't count.
int sign_changes(const pass_row *rows);

// The least-squares line of mean r against the agreement fraction over the 128 passes, and
// how far the curve bends away from it.
struct line_fit {
    double slope;
    double intercept;
    double largest_distance; // largest |mean r - line| over the passes
    double r_squared;        // share of mean r's variance the line explains
};
line_fit fit_line(const pass_row *rows);

// ---- The program ----

// The agreement_ensemble program: reads its options, runs the seeds on its threads, writes
// its files and prints its summary. Returns the exit status: 0 done, 1 a file couldn't be
// written, 2 bad options.
int ensemble_driver(int argc, char **argv);

// How another front end (the MPI one) runs the program's study: what it hears once every
// output is open and the seeds are about to run, and the run itself.
struct study_runner {
    // Called once: with -1 just before the seeds run, or with the exit status when the
    // program stops before any seed runs (0 after --help, say). May be empty.
    std::function<void(int status)> before;
    // Runs the study as run_study does, with its arguments; empty: run_study.
    std::function<int(const seed_job &job, const quantile_list &quantiles, std::uint64_t threads,
                      const run_watcher &watch, bool keep_state, study_state *state,
                      std::vector<pass_row> *rows)>
        run;
    std::uint64_t ranks = 0; // the MPI job's ranks, for the help and the summary; 0: no MPI
};

// As ensemble_driver, the study run by runner.
int ensemble_driver_with(int argc, char **argv, const study_runner &runner);

#endif
