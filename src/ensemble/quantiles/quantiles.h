// The ensemble's figures per coupling coefficient and pass: seeds folded in seed order into
// running moments and histograms, and the exact quantiles of r, from the values a net keeps
// during the first run or from a second run over the seeds.
#ifndef AGREEMENT_SWEEP_QUANTILES_H
#define AGREEMENT_SWEEP_QUANTILES_H

#include <cstdint>
#include <vector>

#include "kernels.h"

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
// values are kept (at least one seed), and frees the kept values. couplings holds the k values.
void finish_rows(const ensemble_totals &totals, quantile_search *search, const double *couplings,
                 pass_row *rows);

// As finish_rows for the count couplings from first on only, once their values are kept:
// fills their rows of the table at rows and frees their kept values.
void finish_coupling_rows(const ensemble_totals &totals, quantile_search *search,
                          const double *couplings, int first, int count, pass_row *rows);

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

#endif
