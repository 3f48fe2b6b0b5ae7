// Adding seeds into the lanes (and the rare value into a tail), and merging sums.
#include <cassert>
#include <cmath>
#include <cstring>

#include "sums.h"
#include "tail_arith.h"

// A row's loop vectorises only with the cutting of a pass inlined into it, which some
// compilers' inliners weigh as too large for the two places that use it.
#if defined(__GNUC__) || defined(__clang__)
#define INLINED inline __attribute__((always_inline))
#elif defined(_MSC_VER)
#define INLINED __forceinline
#else
#define INLINED inline
#endif

namespace {

constexpr double power_of_two(int e)
{
    double p = 1.0;
    for (; e > 0; --e) {
        p *= 2.0;
    }
    for (; e < 0; ++e) {
        p *= 0.5;
    }
    return p;
}

// x + 1.5 * 2^(52 - s) lies in [2^(52 - s), 2^(53 - s)) for |x| < 2^(51 - s), where the doubles
// are the multiples of 2^-s: the addition rounds x to the nearest of them (ties to even), and
// subtracting the rounder again gives it back exactly. The sum's bits less the rounder's
// (rounder_bits) count it in units of 2^-s, with no conversion to integers, which SSE2 can't do
// for 64 bits; the lanes add the bits as they are and take the rounders' off when read.
constexpr double rounder(int s)
{
    return 1.5 * power_of_two(52 - s);
}

INLINED std::uint64_t bits_of(double x)
{
    std::uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    return bits;
}

// Stores the multiple of 2^-s nearest x (|x| <= 2^(30 - s)), in units of 2^-s and biased by
// rounder_bits(s), as a digit and returns the exact rest: at most 2^(-s-1), so the next digit,
// 31 bits further down, is at most 2^30 too.
template <int S> INLINED double cut_digit(double x, std::uint64_t *digit)
{
    constexpr double add = rounder(S); // a constant, not a loop at run time
    const double rounded = x + add;
    *digit = bits_of(rounded);
    return x - (rounded - add);
}

// One pass's biased digits, lane by lane, and per quantity whether they miss some of its
// value: zero exactly when they hold it all.
struct pass_digits {
    std::uint64_t digit[SUM_LANES];
    std::uint64_t misfit[SUM_QUANTITIES];
};

// Cuts one pass's r, r^2 and rho into digits. The same operations for every value, with no
// branches, so that a row of passes vectorises. Dekker's product (Veltkamp's split, no fused
// multiply-add) gives r^2 = p + e exactly when r's own digits hold it, which keeps r (0 or at
// least 2^-91) far from underflow. A misfit joins the bits of what is left below the last
// digit (+0 when nothing is: x - x is +0) and of a 1 for a finite value out of range; NaN and
// infinities leave a NaN.
INLINED void cut_pass(double v, double w, pass_digits *d)
{
    double rest = cut_digit<LANE_SCALE[LANE_R]>(v, &d->digit[LANE_R]);
    rest = cut_digit<LANE_SCALE[LANE_R + 1]>(rest, &d->digit[LANE_R + 1]);
    rest = cut_digit<LANE_SCALE[LANE_R + 2]>(rest, &d->digit[LANE_R + 2]);
    d->misfit[SUM_R] = bits_of(std::fabs(v) <= 2.0 ? 0.0 : 1.0) | bits_of(rest);

    const double p = v * v;
    const double split = 134217729.0 * v; // 2^27 + 1
    const double high = split - (split - v);
    const double low = v - high;
    const double e = (((high * high - p) + high * low) + high * low) + low * low;
    double p_rest = cut_digit<LANE_SCALE[LANE_P]>(p, &d->digit[LANE_P]);
    p_rest = cut_digit<LANE_SCALE[LANE_P + 1]>(p_rest, &d->digit[LANE_P + 1]);
    p_rest = cut_digit<LANE_SCALE[LANE_P + 2]>(p_rest, &d->digit[LANE_P + 2]);
    double e_rest = cut_digit<LANE_SCALE[LANE_E]>(e, &d->digit[LANE_E]);
    e_rest = cut_digit<LANE_SCALE[LANE_E + 1]>(e_rest, &d->digit[LANE_E + 1]);
    e_rest = cut_digit<LANE_SCALE[LANE_E + 2]>(e_rest, &d->digit[LANE_E + 2]);
    d->misfit[SUM_R_SQUARED] = d->misfit[SUM_R] | bits_of(p_rest) | bits_of(e_rest);

    double rho_rest = cut_digit<LANE_SCALE[LANE_RHO]>(w, &d->digit[LANE_RHO]);
    rho_rest = cut_digit<LANE_SCALE[LANE_RHO + 1]>(rho_rest, &d->digit[LANE_RHO + 1]);
    rho_rest = cut_digit<LANE_SCALE[LANE_RHO + 2]>(rho_rest, &d->digit[LANE_RHO + 2]);
    d->misfit[SUM_RHO] = bits_of(std::fabs(w) <= 2.0 ? 0.0 : 1.0) | bits_of(rho_rest);
}

// Adds (sign 1) or takes back (sign all ones, wrapping) lanes [first, first + count) of a pass.
INLINED void apply_digits(pass_sums *sums, const pass_digits &d, int first, int count, int q,
                          std::uint64_t sign)
{
    for (int l = first; l < first + count; ++l) {
        sums->lanes[l][q] += sign * d.digit[l];
    }
}

// Adds the lanes' bias alone for a value that went to a tail: every seed adds it to every lane.
void add_bias(pass_sums *sums, int first, int count, int q)
{
    for (int l = first; l < first + count; ++l) {
        sums->lanes[l][q] += LANE_BIAS[l];
    }
}

} // namespace

std::int64_t lane_sum(const pass_sums &sums, int l, int q)
{
    return static_cast<std::int64_t>(sums.lanes[l][q] - sums.seeds * LANE_BIAS[l]);
}

// ---- Adding and merging ----

void add_seed_to_sums(pass_sums *sums, const double *r, const double *rho)
{
    // Step 1: the whole row into the lanes, as if every value fitted. Local copies of the
    // rows can't share memory with the lanes, so the loop needs no overlap checks.
    double r_row[PASS_COUNT];
    double rho_row[PASS_COUNT];
    std::memcpy(r_row, r, sizeof r_row);
    std::memcpy(rho_row, rho, sizeof rho_row);
    std::uint64_t any_misfit = 0;
    for (int q = 0; q < PASS_COUNT; ++q) {
        pass_digits d;
        cut_pass(r_row[q], rho_row[q], &d);
        apply_digits(sums, d, 0, SUM_LANES, q, 1U);
        any_misfit |= d.misfit[SUM_R_SQUARED] | d.misfit[SUM_RHO]; // r's is in r^2's
    }
    ++sums->seeds;
    if (any_misfit == 0) {
        return;
    }
    // Step 2: a rare row (a value too small, too large or not finite) is taken back out and
    // added value by value; whether a value goes to a tail depends on it alone.
    for (int q = 0; q < PASS_COUNT; ++q) {
        pass_digits d;
        cut_pass(r_row[q], rho_row[q], &d);
        apply_digits(sums, d, 0, SUM_LANES, q, ~std::uint64_t{0});
        if (d.misfit[SUM_R] != 0) {
            add_double_to_tail(tail_of(sums, SUM_R, q), r_row[q]);
            add_bias(sums, LANE_R, 3, q);
        } else {
            apply_digits(sums, d, LANE_R, 3, q, 1U);
        }
        if (d.misfit[SUM_R_SQUARED] != 0) {
            add_square_to_tail(tail_of(sums, SUM_R_SQUARED, q), r_row[q]);
            add_bias(sums, LANE_P, 6, q);
        } else {
            apply_digits(sums, d, LANE_P, 6, q, 1U);
        }
        if (d.misfit[SUM_RHO] != 0) {
            add_double_to_tail(tail_of(sums, SUM_RHO, q), rho_row[q]);
            add_bias(sums, LANE_RHO, 3, q);
        } else {
            apply_digits(sums, d, LANE_RHO, 3, q, 1U);
        }
    }
}

void add_sums(pass_sums *into, const pass_sums &from)
{
    assert(into != &from);
    into->seeds += from.seeds;
    for (int l = 0; l < SUM_LANES; ++l) {
        for (int q = 0; q < PASS_COUNT; ++q) {
            into->lanes[l][q] += from.lanes[l][q];
        }
    }
    for (std::size_t slot = 0; slot < from.tails.size(); ++slot) {
        if (from.tails[slot]) {
            merge_tail(tail_of(into, static_cast<int>(slot / PASS_COUNT),
                               static_cast<int>(slot % PASS_COUNT)),
                       *from.tails[slot]);
        }
    }
}
