// The sums room's own parts shared between its files: the lanes' scales and the tails'
// fixed-point arithmetic (sum_tails.cpp).
#ifndef AGREEMENT_SWEEP_TAIL_ARITH_H
#define AGREEMENT_SWEEP_TAIL_ARITH_H

#include <cstdint>

#include "sums.h"

// The first of each quantity's three lanes.
constexpr int LANE_R = 0;
constexpr int LANE_P = 3;
constexpr int LANE_E = 6;
constexpr int LANE_RHO = 9;

// Lane l holds its sum times 2^LANE_SCALE[l]: the digits of r and rho start at 2^29 (|v| <= 2
// gives a first digit of at most 2^30), those of p at 2^28 (p <= 4), those of e at 2^82
// (|e| <= ulp(p) / 2 <= 2^-52), each next digit 31 bits further down.
constexpr int LANE_SCALE[SUM_LANES] = {29, 60, 91, 28, 59, 90, 82, 113, 144, 29, 60, 91};

// The bits of 1.5 * 2^(52 - s), the double whose neighbours are 2^-s apart and that rounds to
// multiples of 2^-s by an addition: a digit is the sum's bits less these.
constexpr std::uint64_t rounder_bits(int s)
{
    return (static_cast<std::uint64_t>(1023 + 52 - s) << 52) | (std::uint64_t{1} << 51);
}

// Each seed adds its digits' bias to each lane, taken off (modulo 2^64) when a lane is read.
constexpr std::uint64_t LANE_BIAS[SUM_LANES] = {
    rounder_bits(29),  rounder_bits(60), rounder_bits(91), rounder_bits(28),
    rounder_bits(59),  rounder_bits(90), rounder_bits(82), rounder_bits(113),
    rounder_bits(144), rounder_bits(29), rounder_bits(60), rounder_bits(91)};

// Returns lane l's sum of digits at pass q: its bits less the seeds' bias.
std::int64_t lane_sum(const pass_sums &sums, int l, int q);

// Adds (or subtracts, if negative) the magnitude held in count 32-bit chunks (lowest first)
// times 2^position to the tail; position >= TAIL_LOW and the magnitude's top below 2^2112.
void add_to_tail(sum_tail *tail, bool negative, const std::uint32_t *chunks, int count,
                 int position);

// Adds v times 2^-scale to the tail (a lane's sum into an exact total).
void add_int64_to_tail(sum_tail *tail, std::int64_t v, int scale);

// Carries every limb but the top into [0, 2^32); the top keeps the sign. The settled form is
// unique for each value, so settled tails compare and serialise canonically.
void settle_tail(sum_tail *tail);

// Clears the tail to zero with no counts.
void clear_tail(sum_tail *tail);

// Adds v exactly to the tail: NaN and infinities to their counts.
void add_double_to_tail(sum_tail *tail, double v);

// Adds v * v exactly to the tail: (m 2^e)^2 = m^2 2^2e; NaN and infinities to their counts.
void add_square_to_tail(sum_tail *tail, double v);

// Returns the tail of quantity at pass q, made (zero) on first use.
sum_tail *tail_of(pass_sums *sums, int quantity, int q);

// Adds from, settled, into into: limbs and counts.
void merge_tail(sum_tail *into, const sum_tail &from);

#endif
