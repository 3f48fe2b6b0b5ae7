// The ensemble's kernels: one seed's run of the experiment at many coupling coefficients, in
// plain C++ or on the vector units of one instruction set, every way with the same doubles.
//
// Seed s is the one-shot experiment with the generator's state word starting at s instead
// of 1: the same draws in the same order, the same arithmetic, the same rank statistic, at
// the coupling coefficient k the run fixes at 0 or at any other k in [0, 1]. Every piece of
// state is per call, so that threads can run seeds at once.
#ifndef AGREEMENT_SWEEP_KERNELS_H
#define AGREEMENT_SWEEP_KERNELS_H

#include <cstdint>
#include <string>

#include "experiment.h"
#include "stats.h"

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

// Everything one seed's run gives at one coupling coefficient: what the one-shot run's files
// hold for seed 1 at k = 0, per pass q = 0 .. 127.
struct seed_passes {
    double reference[SIGNAL_LENGTH];          // the reference signal
    double signal[PASS_COUNT][SIGNAL_LENGTH]; // each pass's coupled signal, before amplification
    double mean[PASS_COUNT];                  // the coupled signal's mean
    double variance[PASS_COUNT];              // the amplified signal's variance about it
    double r[PASS_COUNT];
    double rho[PASS_COUNT];
    double bound[PASS_COUNT];
    int turning_points;
};

// Runs the experiment for seed at coupling coefficient k into *passes, as run_seed does.
void run_seed_passes(std::uint32_t seed, double coupling, seed_passes *passes);

// ---- The kernels ----

constexpr int LANE_SEEDS = 32; // seeds a block holds, at most: what the widest kernel runs at once

// What a processor offers the vector paths, one bit each, as cpu_features() finds them.
enum cpu_feature : unsigned {
    CPU_SSE2 = 1U << 0,
    CPU_AVX2 = 1U << 1,
    CPU_FMA = 1U << 2,
    CPU_AVX512F = 1U << 3,
    CPU_AVX512BW = 1U << 4,
    CPU_AVX512DQ = 1U << 5,
    CPU_AVX512VL = 1U << 6,
};

// This processor's features: the one place the program asks it, once.
unsigned cpu_features();

// A way to run seeds. Every path gives the same doubles: one seed at a time in plain C++
// (run_seed), or many seeds and passes side by side on the vector units of one instruction
// set, each in a file of its own.
struct kernel_path {
    const char *name; // AGREEMENT_ENSEMBLE_ISA's value for it: "avx512", "avx2", "sse2", "plain"
    unsigned needs;   // the cpu_feature bits it runs on
    // Runs count (1 .. LANE_SEEDS) seeds at coupling_count coefficients into
    // results[seed * coupling_count + coupling], as run_seed does each seed.
    void (*run_block)(const std::uint32_t *seeds, int count, const double *couplings,
                      int coupling_count, bool ranks, seed_result *results);
};

// Whether this processor has every feature the path needs.
bool path_runs_here(const kernel_path &path);

// The paths this build has, widest first; the last is the plain one, which every processor
// runs. Sets *count to their number.
const kernel_path *const *kernel_paths(int *count);

// Sets *path to the one named by asked (AGREEMENT_ENSEMBLE_ISA's value; "generic", the plain
// path's earlier name, still names it), or when asked is null or empty to the widest this
// processor runs. Returns an empty string, or the problem
// with asked.
std::string choose_kernel_path(const char *asked, const kernel_path **path);

// The names of the paths this build has, widest first, joined by separator.
std::string kernel_path_names(const char *separator);

// Runs seeds first_seed .. first_seed + count - 1 (no wrap past 2^32 - 1) by path into
// results[seed * coupling_count + coupling], as run_seed does each.
void run_seeds(const kernel_path &path, std::uint32_t first_seed, int count,
               const double *couplings, int coupling_count, bool ranks, seed_result *results);

#endif
