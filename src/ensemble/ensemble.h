// The ensemble: the experiment run for many seeds, to show what is typical of one run and
// how far a single run strays.
//
// Seed s is the one-shot experiment with the generator's state word starting at s instead
// of 1: the same draws in the same order, the same arithmetic, the same rank statistic. It
// builds on synthesis and statistics only, with every piece of state per call, so that
// threads can run seeds at once. Results are folded in seed order, so every output is the
// same whatever the number of threads.
#ifndef AGREEMENT_SWEEP_ENSEMBLE_H
#define AGREEMENT_SWEEP_ENSEMBLE_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "experiment.h"

// ---- One seed ----

// What one seed's run gives, per pass q = 0 .. 127.
struct seed_result {
    std::uint32_t seed;
    int turning_points;          // interior turning points of the reference signal
    double r[PASS_COUNT];        // Pearson correlation with the reference, as in data/tov.dat
    double rho[PASS_COUNT];      // rank correlation against time, as in data/sl.dat
    double bound[PASS_COUNT];    // its 95 % bound, as in data/sl.dat
};

// Runs the experiment for seed (the generator's starting state word) into *result. Keeps
// no state between calls; any number of threads may call it at once.
void run_seed(std::uint32_t seed, seed_result *result);

// ---- Folding seeds into the ensemble's figures ----

constexpr int R_BINS = 4096; // histogram bins of r over [-1, 1], each 1/2048 wide

// One row of the ensemble's table: pass q across all seeds.
struct pass_row {
    double agreement;     // (127 - q) / 127
    double mean_r;
    double sd_r;          // sample standard deviation (divisor N - 1); NaN for one seed
    double r_low;         // 2.5 % quantile of r
    double r_median;      // 50 % quantile of r
    double r_high;        // 97.5 % quantile of r
    double mean_rho;
    double share_excluding_zero; // share of seeds whose band rho +- bound excludes zero
};

// Running figures, folded one seed at a time in seed order. Quantiles are exact: every r is
// kept in a temporary file (8 bytes per pass and seed) and, at the end, only the values in
// the histogram bins that hold the wanted order statistics are read back into memory, so
// memory stays the same whatever the number of seeds.
struct ensemble_totals {
    std::uint64_t seeds = 0;              // folded so far
    std::uint64_t few_turning_points = 0; // reference signals below the turning-point bound
    double mean_r[PASS_COUNT] = {};       // running mean of r
    double m2_r[PASS_COUNT] = {};         // running sum of squared deviations from it
    double sum_rho[PASS_COUNT] = {};
    std::uint64_t excluding[PASS_COUNT] = {}; // seeds whose rank band excludes zero
    std::uint64_t nan_r[PASS_COUNT] = {};     // seeds whose r is not a number
    std::vector<std::uint32_t> histogram;     // PASS_COUNT x R_BINS counts of r
    std::FILE *spill = nullptr;               // every seed's r, in seed order
};

// Prepares empty totals with their temporary file. Returns 0, or -1 with errno set.
int start_totals(ensemble_totals *totals);

// Adds one seed. Seeds must come in seed order. Returns 0, or -1 with errno set when the
// temporary file can't be written.
int fold_seed(ensemble_totals *totals, const seed_result *result);

// Fills the 128 rows from the totals (at least one seed). Returns 0, or -1 with errno set
// when the temporary file can't be read back.
int finish_rows(ensemble_totals *totals, pass_row *rows);

// Closes and so removes the temporary file.
void close_totals(ensemble_totals *totals);

// Quantile p = numerator / 1000 of n sorted values, by linear interpolation between the
// order statistics at (n - 1) p (the common default of statistics packages): the place k and
// the fraction of the way to place k + 1.
void quantile_place(std::uint64_t n, int numerator, std::uint64_t *k, double *fraction);

// The agreement fraction at which mean r first changes sign, going from full agreement to
// full disagreement, interpolated linearly between the two passes; NaN when it never does.
double zero_crossing(const pass_row *rows);

// The least-squares slope of mean r against the agreement fraction over the 128 passes.
double least_squares_slope(const pass_row *rows);

// ---- Files ----

// An output file written under a temporary name beside its target and renamed onto the
// target only when complete, so that a failed or interrupted ensemble never leaves a
// truncated file under the target's name. Failures are reported under the target's name,
// the one the user gave.
struct staged_file {
    std::string target;
    std::string temporary;
    std::FILE *stream = nullptr;
};

// Creates the temporary file. Returns 0, or -1 after reporting the failure on stderr.
int open_staged(staged_file *file, const std::string &target);

// Closes the temporary file and renames it onto the target. Returns 0, or -1 after
// reporting the failure on stderr; the temporary file is removed either way.
int commit_staged(staged_file *file);

// Closes and removes the temporary file, leaving the target as it was.
void abandon_staged(staged_file *file);

// Writes the table: a header row and one row per pass, comma-separated, six decimals.
// Returns 0, or -1 with errno set.
int write_table(std::FILE *stream, const pass_row *rows);

// Writes the header row of the per-seed file. Returns 0, or -1 with errno set.
int write_per_seed_header(std::FILE *stream);

// Writes one seed's 128 rows, seed,q,r,rho,bound. Returns 0, or -1 with errno set.
int write_per_seed_rows(std::FILE *stream, const seed_result *result);

// Prints "agreement_ensemble: cannot <action> <path>: <reason from errno>" on stderr.
void report_file_failure(const char *action, const std::string &path);

// ---- The program ----

// The agreement_ensemble program: reads its options, runs the seeds on its threads, writes
// its files and prints its summary. Returns the exit status: 0 done, 1 a file couldn't be
// written, 2 bad options.
int ensemble_driver(int argc, char **argv);

#endif
