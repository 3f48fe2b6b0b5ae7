// The ensemble's figures per coupling coefficient and pass, from a study's state: exact sums,
// counts and histograms that add up whatever split the seeds ran in, and the values of r near
// the quantiles, from which the exact quantiles are read.
#ifndef AGREEMENT_SWEEP_QUANTILES_H
#define AGREEMENT_SWEEP_QUANTILES_H

#include <cstdint>
#include <string>
#include <vector>

#include "kernels.h"
#include "sums.h"

// ---- Which quantiles ----

constexpr int MOST_QUANTILES = 9;        // quantiles one study may ask for
constexpr std::uint32_t WHOLE = 1000000; // probabilities are whole parts per million

// The probabilities of the quantiles of r a study reports, ascending, each once.
struct quantile_list {
    int count = 3;
    std::uint32_t per_million[MOST_QUANTILES] = {25000, 500000, 975000};
};

// Reads a comma-separated list of probabilities in [0, 1], each with at most six decimals
// ("0.025,0.5,0.975"), into *list: ascending, repeats merged, 1 .. MOST_QUANTILES of them.
// Returns an empty string, or the problem, naming the argument as `name`.
std::string read_quantile_list(const std::string &text, const char *name, quantile_list *list);

// As read_quantile_list, from numbers (the module's): each as its six-decimal text gives it.
std::string settle_quantile_list(const std::vector<double> &given, const char *name,
                                 quantile_list *list);

// The table's name for the quantile at per_million: "r_q" and the probability in per mille,
// three digits at least and decimals only where needed (r_q025, r_q500, r_q000.5, r_q1000).
std::string quantile_column(std::uint32_t per_million);

// ---- A study's state ----

constexpr double NET_SPREAD = 6.0; // standard deviations a state's window and a net keep

constexpr int MOST_R_BINS = 2048; // histogram bins of r over [-1, 1] per (k, q), at most

// One row of the ensemble's table: pass q at one coupling coefficient, across all seeds.
struct pass_row {
    double coupling;  // k
    double agreement; // (127 - q) / 127
    double mean_r;
    double sd_r; // sample standard deviation (divisor N - 1); NaN for one seed
    double r_quantile[MOST_QUANTILES]; // the study's quantiles of r, in its list's order
    double mean_rho;
    double share_excluding_zero; // share of seeds whose band rho +- bound excludes zero
    double law_r;                // the long-signal law's r at this agreement and k
    double finite_law_r;         // the finite-length law's mean r at this pass and k
};

// A run of seeds a state covers: first .. first + count - 1.
struct seed_span {
    std::uint64_t first;
    std::uint64_t count;
};

// Everything a set of seeds gives the table, in a form that two sets' states merge into the
// state of their union, the same bytes in whatever order and grouping: exact integer sums,
// counts and histograms, which add; and for each cell (k, q) the values of r in the bins near
// its quantiles, where every value of those bins is held. Cell c * 128 + q belongs to coupling
// c and pass q.
struct study_state {
    int couplings = 0;
    int bins = 0; // histogram bins per cell, a power of two fixed by the number of couplings
    quantile_list quantiles;
    std::vector<double> coupling_values;     // the k values, as they ran
    std::vector<seed_span> spans;            // the seeds it covers, ascending and apart
    double spread = NET_SPREAD;              // its window's width (state_window); 0 for a state
                                             // kept only for its own table, never written
    std::uint64_t seeds = 0;                 // seeds folded
    std::uint64_t few_turning_points = 0;    // reference signals below the turning-point bound
    std::vector<pass_sums> sums;             // per coupling: exact sums of r, r^2 and rho
    std::vector<std::uint64_t> excluding;    // per cell: seeds whose rank band excludes zero
    std::vector<std::uint64_t> nan_r;        // per cell: seeds whose r is not a number
    std::vector<std::uint64_t> histogram;    // per cell, bins counts of r
    std::vector<std::uint8_t> kept_bin;      // per cell and bin: 1 when values holds all of its r
    std::vector<std::vector<double>> values; // per cell: the r of its kept bins, ascending
};

// Prepares the empty state of couplings coefficients. The histograms get MOST_R_BINS bins per
// cell, fewer for long lists of k, so that they take at most 64 MB (64 bins for 1,001 k); the
// state of no seeds keeps every bin (it holds all of their none values).
void start_state(study_state *state, int couplings, const quantile_list &quantiles);

// A state's window: per cell and bin, 1 for the bins that hold r of rank within `spread`
// standard deviations (of a quantile's place among the seeds, sqrt(n p (1 - p))) and two
// places of the order statistics each quantile reads. A complete state keeps exactly these
// bins: with spread NET_SPREAD, what a merge with other seeds' states most likely needs,
// since a quantile of the union lies near the same place in each part; with 0, what its own
// quantiles need. Cells with a NaN keep none.
void state_window(const study_state &state, std::vector<std::uint8_t> *window);

// Adds part's seeds' counts, sums and histograms to *whole (same couplings, bins and
// quantiles); values are not touched.
void add_counts(study_state *whole, const study_state &part);

// True when part kept every bin of window (whole's window) at coupling c, so that its values
// can stand in for a run over its seeds there.
bool part_covers(const study_state &part, const std::vector<std::uint8_t> &window, int coupling);

// Makes *whole's kept bins the window and its values, at coupling c, empty: ready for values.
void open_window(study_state *whole, const std::vector<std::uint8_t> &window);

// Appends part's values that fall in whole's kept bins at coupling c.
void take_values(study_state *whole, const study_state &part, int coupling);

// Appends one seed's r at count couplings from first on that fall in whole's kept bins;
// results holds the seed's runs at those couplings.
void keep_values(study_state *whole, int first, int count, const seed_result *results);

// True when every cell's values are ascending numbers, each in a bin the state keeps: what the
// quantiles read, checked in a state read from a file.
bool values_fit(const study_state &state);

// Sorts the values of coupling c's cells: the state's canonical form.
void settle_values(study_state *whole, int coupling);

// Values the window keeps at coupling c.
std::uint64_t values_in_window(const study_state &state, const std::vector<std::uint8_t> &window,
                               int coupling);

// What a complete state (at least one seed) says of one cell, pass q at one coupling, across
// its seeds: the figures a row of the table takes from the seeds, each the same double however
// the seeds were split.
struct pass_figures {
    double mean_r;
    double sd_r;                       // sample standard deviation; NaN for one seed
    double r_quantile[MOST_QUANTILES]; // the state's quantiles of r, in its list's order; NaN
                                       // past its count, and all NaN where an r is not a number
    double mean_rho;
    double share_excluding_zero;
};

// The figures of coupling c's passes 0 .. 127 into figures[0 .. 127].
void coupling_figures(const study_state &state, int coupling, pass_figures *figures);

// Quantile p = per_million / 10^6 of n sorted values, by linear interpolation between the
// order statistics at (n - 1) p (the common default of statistics packages): the place k and
// the fraction of the way to place k + 1.
void quantile_place(std::uint64_t n, std::uint32_t per_million, std::uint64_t *k, double *fraction);

// ---- A worker's part of a run ----
//
// Each worker thread folds the seeds it runs into a state of its own, and a net keeps their
// values near where the quantiles will fall: it keeps every value at first; once the worker
// has folded its first seeds, and again each time they double, it lets go of the bins that
// the run's window can no longer be expected to reach among all the run's seeds (NET_SPREAD
// standard deviations of where the worker's share of them falls); a bin let go is never
// taken back, so every bin still kept holds all of the worker's values. Over its budget the
// worker lets its last couplings go whole. Its histograms count in 32 bits, emptied into its
// state before they could fill.

struct worker_fold {
    study_state part;                   // kept_bin: the net's open bins; values unsorted
    std::vector<std::uint32_t> counts;  // per cell, bins counts not yet in part's histogram
    std::uint64_t counted = 0;          // seeds in counts
    std::uint64_t run_seeds = 0;        // seeds of the whole run
    std::uint64_t next_narrowing = 0;   // the worker's seeds when the net next lets bins go
    std::uint64_t budget = 0;           // values the net may hold at once
    std::uint64_t held = 0;             // values it holds
    std::vector<std::uint8_t> given_up; // per coupling: 1 once its values are no longer kept
};

// Prepares a worker's fold for a run over run_seeds seeds whose net holds at most budget values
// and aims at the run's window of the given spread.
void start_worker_fold(worker_fold *fold, int couplings, const quantile_list &quantiles,
                       std::uint64_t run_seeds, std::uint64_t budget, double spread);

// Folds `seeds` consecutive seeds' results (one per coupling for each seed, seed by seed).
void fold_block(worker_fold *fold, const seed_result *results, std::uint64_t seeds);

// Ends the fold: its histograms into its state, the bins of couplings let go unkept.
void end_worker_fold(worker_fold *fold);

// Ends the fold and adds its seeds' counts, sums and histograms to *whole (as add_counts), the
// 32-bit counts straight into whole's histograms, so that no worker's 64-bit copy is made; its
// kept bins and values stay in fold->part for take_values.
void add_worker_fold(study_state *whole, worker_fold *fold);

#endif
