// Exact, order-free sums of r, r squared and rho per pass at one coupling coefficient.
//
// Each value is cut by exact floating-point steps into signed integer digits at fixed binary
// scales, and each digit is added into an int64 lane of its own. Integer sums don't depend on
// the order of the additions, so seeds split over threads, processes or machines merge (by
// adding) to the same bytes, and the mean and variance are rounded once from the exact sums.
// Every digit is at most 2^30 in magnitude, so 2^32 seeds (all a 32-bit seed can name) never
// overflow a lane. A value the digits can't hold exactly (too small, too large, not finite)
// goes to an exact tail: a fixed-point integer over every bit a double or its square can
// have, with counts of NaN and infinities, made on first use.
#ifndef AGREEMENT_SWEEP_SUMS_H
#define AGREEMENT_SWEEP_SUMS_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "experiment.h"

// The quantities summed per pass, and the tails' order.
enum sum_quantity { SUM_R = 0, SUM_R_SQUARED = 1, SUM_RHO = 2 };
constexpr int SUM_QUANTITIES = 3;

// Lanes per pass: three digits each of r, of r * r rounded (p), of its rounding error
// (e = r^2 - p, exact) and of rho.
constexpr int SUM_LANES = 12;

constexpr int TAIL_LOW =
    -2176; // the tail's lowest bit is 2^TAIL_LOW (a subnormal's square: 2^-2148)
constexpr int TAIL_LIMBS = 134; // 32-bit limbs from 2^TAIL_LOW to 2^2112 (2^32 squares of DBL_MAX)

// The exact sum of the values (or squares) the lanes couldn't hold, for one pass and quantity.
struct sum_tail {
    std::int64_t limbs[TAIL_LIMBS]; // value = sum of limbs[i] * 2^(32 i + TAIL_LOW)
    std::uint32_t unsettled;        // additions since each limb but the top was in [0, 2^32)
    std::uint64_t nan;              // values that were NaN
    std::uint64_t positive_inf;     // values (or squares) that were +inf
    std::uint64_t negative_inf;     // values that were -inf
};

// One coupling's sums over its passes.
struct pass_sums {
    std::uint64_t seeds = 0;                         // seeds added, at most 2^32
    std::uint64_t lanes[SUM_LANES][PASS_COUNT] = {}; // digit sums plus a bias per seed, mod 2^64
    std::vector<std::unique_ptr<sum_tail>>
        tails; // empty, or one slot per quantity * PASS_COUNT + q
};

// Adds one seed: r and rho hold its PASS_COUNT values in pass order (NaN allowed).
void add_seed_to_sums(pass_sums *sums, const double *r, const double *rho);

// Adds `from` into `into` (into != &from): merging is associative and commutative, and the
// result is what adding both sets of seeds one by one would give.
void add_sums(pass_sums *into, const pass_sums &from);

// Returns the mean of the quantity at pass q over the seeds added, rounded to nearest (ties to
// even) once from the exact sum; +0 for an exact zero. NaN for no seeds, a NaN value, or
// both infinities; +-inf for infinities of one sign or a mean beyond the doubles.
double sum_mean(const pass_sums &sums, sum_quantity quantity, int q);

// Returns the sample variance of r at pass q, (n Q - S^2) / (n (n - 1)) with S the sum of r and
// Q that of r^2, rounded to nearest once from the exact sums; never negative. NaN for fewer
// than two seeds or where a value of r was not finite.
double sum_variance_r(const pass_sums &sums, int q);

// Appends the sums to bytes in a canonical little-endian form: equal sums give equal bytes,
// however their seeds were split and merged.
void write_sums(std::string *bytes, const pass_sums &sums);

// Reads sums written by write_sums from [*at, end) into *sums and moves *at past them. Returns
// false, leaving both untouched, where the bytes are truncated or not such sums; never reads at
// or past end.
bool read_sums(const unsigned char **at, const unsigned char *end, pass_sums *sums);

#endif
