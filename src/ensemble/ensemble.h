// The ensemble: the experiment run for many seeds, to show what is typical of one run and
// how far a single run strays.
//
// Seed s is the one-shot experiment with the generator's state word starting at s instead
// of 1: the same draws in the same order, the same arithmetic, the same rank statistic, at
// the coupling coefficient k the run fixes at 0 or at any other k in [0, 1]. It builds on
// synthesis and statistics, with every piece of state per call so that threads can run
// seeds at once, and writes numbers with output's number text. Results are folded in seed
// order, so every output is the same whatever the number of threads.
#ifndef AGREEMENT_SWEEP_ENSEMBLE_H
#define AGREEMENT_SWEEP_ENSEMBLE_H

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "experiment.h"
#include "stats.h"

// ---- Options ----

constexpr int MOST_COUPLINGS = 1001;               // coupling coefficients one ensemble may run
constexpr std::uint64_t MOST_THREADS = 256;        // worker threads one ensemble may start
constexpr std::uint64_t STATE_WORDS = 4294967296U; // the generator's 32-bit state range: the
                                                   // seeds are 0 .. STATE_WORDS - 1

// What the command line asks for.
struct ensemble_options {
    std::uint64_t seeds = 10000;
    std::uint64_t first_seed = 1;
    std::uint64_t threads = 0;          // 0: the machine's hardware threads
    std::vector<double> couplings{0.0}; // k values, ascending, each once
    std::string output = "ensemble.csv";
    std::string per_seed;
    bool help = false;
    bool version = false;
};

// Reads the command line into *chosen. Returns 0, or 2 after one line on stderr naming the
// offending item and pointing to --help.
int read_options(int argc, char **argv, ensemble_options *chosen);

// Reports a bad command line: one line naming the problem and pointing to --help. Returns 2,
// the status for bad options.
int usage_error(const std::string &problem);

// Reads a --coupling list into *couplings: comma-separated items, each a number or a range
// START:STOP:STEP (value i = START + i STEP, STOP included when it falls on the grid), every
// value in [0, 1] and taken as the double nearest its six-decimal text (-0 as 0); sorted
// ascending, repeats merged, at most MOST_COUPLINGS then. Returns an empty string, or the
// problem, naming the offending item.
std::string read_couplings(const char *text, std::vector<double> *couplings);

// ---- One seed ----

// What one seed's run gives at one coupling coefficient, per pass q = 0 .. 127.
struct seed_result {
    std::uint32_t seed;
    double coupling;          // the coupling coefficient k
    int turning_points;       // interior turning points of the reference signal
    double r[PASS_COUNT];     // Pearson correlation with the reference, as in data/tov.dat
    double rho[PASS_COUNT];   // rank correlation against time, as in data/sl.dat
    double bound[PASS_COUNT]; // its 95 % bound, as in data/sl.dat
};

// Runs the experiment for seed (the generator's starting state word) at each of the count
// (at least one) coupling coefficients into results[0 .. count - 1]. Every coefficient sees
// the same reference signal, masks and draws: only the bounds differ. Without ranks only r
// is worked out (rho and bound are zero). Keeps no state between calls; any number of
// threads may call it at once.
void run_seed(std::uint32_t seed, const double *couplings, int count, bool ranks,
              seed_result *results);

// ---- The kernels ----

constexpr int LANE_SEEDS = 16; // seeds a block holds, at most: what the widest kernel runs at once

// A way to run seeds. Every path gives the same doubles: one seed at a time in plain C++
// (run_seed), or many seeds and passes side by side on the vector units of one instruction
// set, each in a file of its own.
struct kernel_path {
    const char *name;    // AGREEMENT_ENSEMBLE_ISA's value for it: "avx2", "sse2", "generic"
    bool (*available)(); // whether this processor runs it
    // Runs count (1 .. LANE_SEEDS) seeds at coupling_count coefficients into
    // results[seed * coupling_count + coupling], as run_seed does each seed.
    void (*run_block)(const std::uint32_t *seeds, int count, const double *couplings,
                      int coupling_count, bool ranks, seed_result *results);
    // For the tests, the path's own parts (null on the plain path): the rank statistic of
    // rank_width whole signals at once, signals[s * 128 .. s * 128 + 127] ...
    void (*rank_signals)(const double *signals, rank_result *ranks);
    int rank_width;
    // ... and x[i] / 32767 for count values (a multiple of 4), where the path doesn't divide.
    void (*divide_by_random_max)(const double *x, double *quotients, int count);
};

// The paths this build has, widest first; the last is the plain one, which every processor
// runs. Sets *count to their number.
const kernel_path *const *kernel_paths(int *count);

// Sets *path to the one named by asked (AGREEMENT_ENSEMBLE_ISA's value), or when asked is
// null or empty to the widest this processor runs. Returns an empty string, or the problem
// with asked.
std::string choose_kernel_path(const char *asked, const kernel_path **path);

// The names of the paths this build has, widest first, joined by separator.
std::string kernel_path_names(const char *separator);

// Runs seeds first_seed .. first_seed + count - 1 (no wrap past 2^32 - 1) by path into
// results[seed * coupling_count + coupling], as run_seed does each.
void run_seeds(const kernel_path &path, std::uint32_t first_seed, int count,
               const double *couplings, int coupling_count, bool ranks, seed_result *results);

// ---- Work on the threads ----

// One run over the seeds S .. S + N - 1: at which couplings, with or without the rank
// statistic.
struct seed_job {
    std::uint64_t first_seed;
    std::uint64_t seeds;
    const double *couplings;
    int coupling_count; // at least one
    bool ranks;
    const kernel_path *path = nullptr;   // null: the plain path
    std::uint64_t *most_ahead = nullptr; // when set, gets the most blocks ever run ahead of
                                         // the fold: at most work_window_slots(threads)
};

// Blocks of results that may wait for the calling thread at once, with `threads` workers.
std::uint64_t work_window_slots(std::uint64_t threads);

// What the calling thread does with the results of `seeds` consecutive seeds (one per
// coupling for each seed, seed by seed), in seed order: returns 0 to go on, or 1 to stop
// after reporting a failure.
typedef std::function<int(const seed_result *results, std::uint64_t seeds)> seed_folder;

// Runs every seed of the job on `threads` worker threads and hands the results to fold on
// the calling thread a block at a time, in seed order, whichever thread ran them; at most a
// few blocks of results wait at a time. Returns 0, or 1 after a failure: fold's, or threads
// that can't be started (reported here).
int run_seeds_in_order(const seed_job &job, std::uint64_t threads, const seed_folder &fold);

// ---- Folding seeds into the ensemble's figures ----

constexpr int MOST_R_BINS = 2048; // histogram bins of r over [-1, 1] per (k, q), at most

// One row of the ensemble's table: pass q at one coupling coefficient, across all seeds.
struct pass_row {
    double coupling;  // k
    double agreement; // (127 - q) / 127
    double mean_r;
    double sd_r;     // sample standard deviation (divisor N - 1); NaN for one seed
    double r_low;    // 2.5 % quantile of r
    double r_median; // 50 % quantile of r
    double r_high;   // 97.5 % quantile of r
    double mean_rho;
    double share_excluding_zero; // share of seeds whose band rho +- bound excludes zero
    double law_r;                // the long-signal law's r at this agreement and k
};

// Running figures per cell (k, q), folded one seed at a time in seed order; cell c * 128 + q
// belongs to coupling c and pass q. The histogram of r is what the exact quantiles start from.
struct ensemble_totals {
    int couplings = 0;                    // k values
    int bins = 0;                         // histogram bins per cell, a power of two
    std::uint64_t seeds = 0;              // folded so far
    std::uint64_t few_turning_points = 0; // reference signals below the turning-point bound
    std::vector<double> mean_r;           // running mean of r
    std::vector<double> m2_r;             // running sum of squared deviations from it
    std::vector<double> sum_rho;
    std::vector<std::uint64_t> excluding; // seeds whose rank band excludes zero
    std::vector<std::uint64_t> nan_r;     // seeds whose r is not a number
    std::vector<std::uint64_t> histogram; // bins counts of r per cell (2^32 seeds fit one bin)
};

// Prepares empty totals for couplings coefficients. The histograms get MOST_R_BINS bins per
// cell, fewer for long lists of k, so that they take at most 64 MB (64 bins for 1,001 k).
void start_totals(ensemble_totals *totals, int couplings);

// Adds one seed: results holds its run at every coupling, in the totals' order. Seeds must
// come in seed order.
void fold_seed(ensemble_totals *totals, const seed_result *results);

// Adds `seeds` consecutive seeds, results seed by seed as for fold_seed: the same figures
// as folding them one at a time.
void fold_seeds(ensemble_totals *totals, const seed_result *results, std::uint64_t seeds);

// ---- Exact quantiles, found again ----
//
// Once every seed is folded, the histograms say which bins hold the order statistics the
// quantiles need. The runs are deterministic, so a second run over the seeds finds those
// values again and keeps only the ones in those bins: memory grows with the values near the
// quantiles, not with every value, and nothing is written to disk.

constexpr int QUANTILES = 3;
constexpr int WANTED_PER_CELL = 2 * QUANTILES; // order statistics k and k + 1 per quantile

struct quantile_search {
    int couplings = 0;
    int bins = 0;
    std::uint64_t place[QUANTILES] = {};     // order statistic k of each quantile
    double fraction[QUANTILES] = {};         // and the way from k to k + 1
    std::vector<std::uint8_t> wanted_bin;    // per cell and bin: 1 when its values are kept
    std::vector<std::uint64_t> read_back;    // per cell and wanted order statistic: its place
                                             // among the cell's kept values
    std::vector<std::uint64_t> kept;         // per cell: values in its wanted bins
    std::vector<std::vector<double>> values; // per cell: the kept values
};

// Works out, from the totals of every seed, the order statistics and the bins that hold them.
void plan_quantiles(const ensemble_totals &totals, quantile_search *search);

// Values the search will keep for coupling c.
std::uint64_t values_to_keep(const quantile_search &search, int coupling);

// The couplings, from first on, whose values one more run over the seeds keeps within budget
// values, stopping before a coupling whose quantiles are found already (found[c] != 0; found
// may be null): at least one, however many that one keeps.
int couplings_in_group(const quantile_search &search, const std::uint8_t *found, int first,
                       std::uint64_t budget);

// Keeps one seed's values that fall in wanted bins, for count couplings from first on;
// results holds the seed's runs at those couplings.
void keep_values(quantile_search *search, int first, int count, const seed_result *results);

// Fills one row per cell, coupling-major, from the totals and the search once every seed's
// values are kept (at least one seed). couplings holds the k values.
void finish_rows(const ensemble_totals &totals, quantile_search *search, const double *couplings,
                 pass_row *rows);

// ---- Catching those values in the first run ----
//
// The first run can keep the values the quantiles will need as it goes, if it can tell where
// they will fall. The net keeps every value at first; once the first seeds are folded, and
// again each time the seeds folded double, it lets go of the bins that the wanted order
// statistics can no longer be expected to reach: it keeps those within NET_SPREAD standard
// deviations of each statistic's likely place among the seeds so far, and a bin let go is
// never taken back, so every bin still kept has all of its values. After the run, a coupling
// whose wanted bins were all kept needs no second run; any other coupling (the net missed,
// or outgrew its budget) is run again as above. The quantiles are exact either way.

constexpr double NET_SPREAD = 6.0;

struct quantile_net {
    int couplings = 0;
    int bins = 0;
    std::uint64_t seeds = 0;                 // seeds the run folds in all
    std::uint64_t next_narrowing = 0;        // seeds folded when the net next lets bins go
    std::uint64_t budget = 0;                // values it may hold at once
    std::uint64_t held = 0;                  // values it holds
    std::vector<std::uint8_t> open_bin;      // per cell and bin: 1 while its values are kept
    std::vector<std::uint8_t> given_up;      // per coupling: 1 once its values are no longer kept
    std::vector<std::vector<double>> values; // per cell
};

// Prepares a net for a run over `seeds` seeds that holds at most `budget` values at once.
void start_net(const ensemble_totals &totals, std::uint64_t seeds, std::uint64_t budget,
               quantile_net *net);

// Folds `seeds` consecutive seeds into the totals (as fold_seeds) and keeps their values that
// fall in kept bins, in pieces that end where the net lets bins go.
void fold_and_catch(ensemble_totals *totals, quantile_net *net, const seed_result *results,
                    std::uint64_t seeds);

// After plan_quantiles: for every coupling whose wanted bins the net kept throughout, moves
// the values of those bins into search and sets found[coupling] to 1 (else 0).
void take_caught(quantile_net *net, quantile_search *search, std::vector<std::uint8_t> *found);

// Quantile p = numerator / 1000 of n sorted values, by linear interpolation between the
// order statistics at (n - 1) p (the common default of statistics packages): the place k and
// the fraction of the way to place k + 1.
void quantile_place(std::uint64_t n, int numerator, std::uint64_t *k, double *fraction);

// ---- The curve of mean r against agreement, at one k ----

// The agreement fraction at which mean r first changes sign, going from full agreement to
// full disagreement, interpolated linearly between the two passes; NaN when it never does.
double zero_crossing(const pass_row *rows);

// The least-squares line of mean r against the agreement fraction over the 128 passes, and
// how far the curve bends away from it.
struct line_fit {
    double slope;
    double intercept;
    double largest_distance; // largest |mean r - line| over the passes
    double r_squared;        // share of mean r's variance the line explains
};
line_fit fit_line(const pass_row *rows);

// The long-signal law: the correlation of the reference with a coupled signal of unbounded
// length whose step directions agree with probability f, at coupling k, from the stationary
// moments of the level recursion:
//   (2f - 1)(1 + k) sqrt((1 - k)(2 + k) / (2 [(1 - k)(k^2 + 5)
//                                          + 4 f (1 - f)(1 + k)(k^2 + 4k + 1)]))
// 1/sqrt(5) at k = 0, f = 1; at k = 1, +1 and -1 at f = 1 and 0, and 0 in between.
double long_signal_law(double f, double k);

// ---- Files ----

// An output file of the ensemble, replaced whole or not at all.
//
// A regular file, or a path where nothing stands yet, is written under a temporary name in
// the same folder and put in place only once every output is complete, keeping the earlier
// file's permission bits (and its owner and group where the process may set them); a
// symbolic link stays a link, and the regular file it ends at is replaced. Anything else is
// written straight through and never renamed onto: "-" (standard output), a name that
// stands for an open descriptor (/dev/stdout, /dev/fd/N, /proc/self/fd/N), a device, a FIFO
// or a socket. Failures are reported under the name the user gave.
struct staged_file {
    std::string target;      // as the user gave it, for messages ("standard output" for "-")
    std::string destination; // the file the temporary one replaces; empty when straight through
    std::string temporary;   // empty when straight through
    std::FILE *stream = nullptr;
    std::vector<char> buffer; // the stream's buffer, so that writes go out in large pieces
    bool existed = false;     // something stood at destination when the file was opened
    std::uint64_t device = 0; // what the output writes over or through, for telling two
    std::uint64_t inode = 0;  //   names of one file apart (0, 0 when nothing stands there)
    int slot = -1;            // its place in the clean-up list
};

// Has SIGINT, SIGTERM, SIGHUP and SIGPIPE remove every temporary file in use and then end
// the program as the signal would have; a signal ignored when the program started stays
// ignored. A file grown past the size limit (SIGXFSZ) fails its write instead of ending the
// program, and an uncaught exception removes the temporary files before the program aborts.
void guard_temporaries();

// Removes every temporary file in use, for a run that gives up without unwinding (out of
// memory): the earlier files stay as they were.
void remove_every_temporary();

// Opens the file for writing. Returns 0, or -1 after reporting the failure on stderr.
int open_staged(staged_file *file, const std::string &target);

// Flushes and closes the file, the temporary one taking the earlier file's permission bits,
// owner and group. Returns 0, or -1 after reporting the failure on stderr; the temporary
// file is then removed.
int finish_staged(staged_file *file);

// Puts every finished temporary file of files[0 .. count - 1] in place at once: other runs
// committing into the same folders wait, INT, TERM and HUP wait until all are in place, and
// where one can't be put in place those already put back are rolled back, on systems that can
// swap two names. The earlier files are let go only after the last rename. Returns 0, or -1
// after reporting the failure on stderr; the temporary files are removed either way.
int commit_staged(staged_file *const *files, int count);

// True when two open outputs are one file under two names (a link, "./", "-" and
// /dev/stdout, and so on), so that one would overwrite the other.
bool same_file(const staged_file &a, const staged_file &b);

// True when the output writes to, or replaces, what standard output writes to.
bool shares_standard_output(const staged_file &file);

// Closes a file not committed and removes its temporary file, leaving the target as it was.
void abandon_staged(staged_file *file);

// Writes the table: a header row and the count rows, comma-separated, six decimals.
// Returns 0, or -1 with errno set.
int write_table(std::FILE *stream, const pass_row *rows, std::size_t count);

// Writes the header row of the per-seed file. Returns 0, or -1 with errno set.
int write_per_seed_header(std::FILE *stream);

// Writes one seed's 128 rows at one coupling, coupling,seed,q,r,rho,bound. Returns 0, or -1
// with errno set.
int write_per_seed_rows(std::FILE *stream, const seed_result *result);

// Prints "agreement_ensemble: cannot <action> <path>: <reason from errno>" on stderr.
void report_file_failure(const char *action, const std::string &path);

// ---- The program ----

// The agreement_ensemble program: reads its options, runs the seeds on its threads, writes
// its files and prints its summary. Returns the exit status: 0 done, 1 a file couldn't be
// written, 2 bad options.
int ensemble_driver(int argc, char **argv);

#endif
