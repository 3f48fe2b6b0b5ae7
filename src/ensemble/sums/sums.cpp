// Adding seeds into the lanes and tails, merging sums, and their canonical bytes.
#include <algorithm>
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

constexpr std::uint64_t LOW_32 = 0xFFFFFFFFU;
// A tail is settled at least this often, so that no limb leaves int64: each addition moves a
// limb by less than 2^33, and 2^28 of them by less than 2^61.
constexpr std::uint32_t SETTLE_EVERY = 1U << 28;

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

// A finite double as an integer m < 2^53 times 2^exponent.
void decompose(double v, std::uint64_t *m, int *exponent)
{
    const std::uint64_t bits = bits_of(v);
    const int field = static_cast<int>((bits >> 52) & 0x7FF);
    *m = bits & ((std::uint64_t{1} << 52) - 1);
    *exponent = -1074;
    if (field != 0) {
        *m |= std::uint64_t{1} << 52;
        *exponent = field - 1075;
    }
}

void add_double_to_tail(sum_tail *tail, double v)
{
    if (std::isnan(v)) {
        ++tail->nan;
    } else if (std::isinf(v)) {
        ++(v > 0 ? tail->positive_inf : tail->negative_inf);
    } else {
        std::uint64_t m;
        int exponent;
        decompose(v, &m, &exponent);
        const std::uint32_t chunks[2] = {static_cast<std::uint32_t>(m & LOW_32),
                                         static_cast<std::uint32_t>(m >> 32)};
        add_to_tail(tail, std::signbit(v), chunks, 2, exponent);
    }
}

// Adds v * v exactly: (m 2^e)^2 = m^2 2^2e, with m^2 < 2^106 from 32-bit halves of m.
void add_square_to_tail(sum_tail *tail, double v)
{
    if (std::isnan(v)) {
        ++tail->nan;
    } else if (std::isinf(v)) {
        ++tail->positive_inf;
    } else {
        std::uint64_t m;
        int exponent;
        decompose(v, &m, &exponent);
        const std::uint64_t low = m & LOW_32;
        const std::uint64_t high = m >> 32; // below 2^21
        const std::uint64_t low_low = low * low;
        const std::uint64_t cross = 2 * low * high; // below 2^54
        const std::uint64_t high_high = high * high;
        // Step 1: the chunks 2^0 and 2^32 from low^2 and the cross term's low half.
        const std::uint64_t middle = (low_low >> 32) + (cross & LOW_32);
        // Step 2: the chunks 2^64 and 2^96 from high^2, the cross term's high half and the carry.
        const std::uint64_t top = high_high + (cross >> 32) + (middle >> 32);
        const std::uint32_t chunks[4] = {static_cast<std::uint32_t>(low_low & LOW_32),
                                         static_cast<std::uint32_t>(middle & LOW_32),
                                         static_cast<std::uint32_t>(top & LOW_32),
                                         static_cast<std::uint32_t>(top >> 32)};
        add_to_tail(tail, false, chunks, 4, 2 * exponent);
    }
}

// The tail of quantity at pass q, made (zero) on first use.
sum_tail *tail_of(pass_sums *sums, int quantity, int q)
{
    if (sums->tails.empty()) {
        sums->tails.resize(static_cast<std::size_t>(SUM_QUANTITIES) * PASS_COUNT);
    }
    std::unique_ptr<sum_tail> &slot =
        sums->tails[static_cast<std::size_t>(quantity) * PASS_COUNT + q];
    if (!slot) {
        slot.reset(new sum_tail);
        clear_tail(slot.get());
    }
    return slot.get();
}

// ---- Bytes ----

void put_u64(std::string *bytes, std::uint64_t v)
{
    for (int i = 0; i < 8; ++i) {
        bytes->push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
    }
}

void put_u32(std::string *bytes, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i) {
        bytes->push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
    }
}

bool get_u64(const unsigned char **at, const unsigned char *end, std::uint64_t *v)
{
    if (end - *at < 8) {
        return false;
    }
    *v = 0;
    for (int i = 0; i < 8; ++i) {
        *v |= static_cast<std::uint64_t>((*at)[i]) << (8 * i);
    }
    *at += 8;
    return true;
}

bool get_u32(const unsigned char **at, const unsigned char *end, std::uint32_t *v)
{
    if (end - *at < 4) {
        return false;
    }
    *v = 0;
    for (int i = 0; i < 4; ++i) {
        *v |= static_cast<std::uint32_t>((*at)[i]) << (8 * i);
    }
    *at += 4;
    return true;
}

// Reads one tail's counts and settled limbs; false unless each limb but the top is in
// [0, 2^32) and the top within what 2^32 squares of doubles can reach.
bool read_tail(const unsigned char **at, const unsigned char *end, sum_tail *tail)
{
    clear_tail(tail);
    if (!get_u64(at, end, &tail->nan) || !get_u64(at, end, &tail->positive_inf) ||
        !get_u64(at, end, &tail->negative_inf)) {
        return false;
    }
    for (int i = 0; i < TAIL_LIMBS; ++i) {
        std::uint64_t limb;
        if (!get_u64(at, end, &limb)) {
            return false;
        }
        tail->limbs[i] = static_cast<std::int64_t>(limb);
        const bool top = i == TAIL_LIMBS - 1;
        if (top ? (tail->limbs[i] < -(std::int64_t{1} << 31) ||
                   tail->limbs[i] >= (std::int64_t{1} << 31))
                : limb > LOW_32) {
            return false;
        }
    }
    return true;
}

} // namespace

std::int64_t lane_sum(const pass_sums &sums, int l, int q)
{
    return static_cast<std::int64_t>(sums.lanes[l][q] - sums.seeds * LANE_BIAS[l]);
}

// ---- Tails ----

void clear_tail(sum_tail *tail)
{
    std::memset(tail->limbs, 0, sizeof tail->limbs);
    tail->unsettled = 0;
    tail->nan = 0;
    tail->positive_inf = 0;
    tail->negative_inf = 0;
}

void add_to_tail(sum_tail *tail, bool negative, const std::uint32_t *chunks, int count,
                 int position)
{
    assert(position >= TAIL_LOW);
    const int offset = position - TAIL_LOW;
    const int index = offset / 32;
    const int shift = offset % 32;
    assert(index + count < TAIL_LIMBS);
    for (int i = 0; i < count; ++i) {
        const std::uint64_t shifted = static_cast<std::uint64_t>(chunks[i]) << shift;
        const auto low = static_cast<std::int64_t>(shifted & LOW_32);
        const auto high = static_cast<std::int64_t>(shifted >> 32);
        tail->limbs[index + i] += negative ? -low : low;
        tail->limbs[index + i + 1] += negative ? -high : high;
    }
    if (++tail->unsettled >= SETTLE_EVERY) {
        settle_tail(tail);
    }
}

void add_int64_to_tail(sum_tail *tail, std::int64_t v, int scale)
{
    // The magnitude in two's complement: 0 - v as unsigned is |v|, INT64_MIN included.
    std::uint64_t magnitude = static_cast<std::uint64_t>(v);
    if (v < 0) {
        magnitude = std::uint64_t{0} - magnitude;
    }
    const std::uint32_t chunks[2] = {static_cast<std::uint32_t>(magnitude & LOW_32),
                                     static_cast<std::uint32_t>(magnitude >> 32)};
    add_to_tail(tail, v < 0, chunks, 2, -scale);
}

void settle_tail(sum_tail *tail)
{
    for (int i = 0; i < TAIL_LIMBS - 1; ++i) {
        const std::uint64_t low = static_cast<std::uint64_t>(tail->limbs[i]) & LOW_32;
        // The limb less its low 32 bits is a multiple of 2^32: the division is exact, a floor.
        const std::int64_t carry =
            (tail->limbs[i] - static_cast<std::int64_t>(low)) / (std::int64_t{1} << 32);
        tail->limbs[i] = static_cast<std::int64_t>(low);
        tail->limbs[i + 1] += carry;
    }
    tail->unsettled = 0;
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
        if (!from.tails[slot]) {
            continue;
        }
        sum_tail settled = *from.tails[slot];
        settle_tail(&settled);
        sum_tail *tail =
            tail_of(into, static_cast<int>(slot / PASS_COUNT), static_cast<int>(slot % PASS_COUNT));
        for (int i = 0; i < TAIL_LIMBS; ++i) {
            tail->limbs[i] += settled.limbs[i];
        }
        tail->nan += settled.nan;
        tail->positive_inf += settled.positive_inf;
        tail->negative_inf += settled.negative_inf;
        if (++tail->unsettled >= SETTLE_EVERY) {
            settle_tail(tail);
        }
    }
}

// ---- Bytes ----
//
// seeds (u64); the lanes' digit sums (i64, lane by lane, pass by pass); the number of tails (u32);
// then each tail in slot order: its slot (u32), NaN, +inf and -inf counts (u64) and its settled
// limbs (i64). Everything little-endian.

void write_sums(std::string *bytes, const pass_sums &sums)
{
    put_u64(bytes, sums.seeds);
    for (int l = 0; l < SUM_LANES; ++l) {
        for (int q = 0; q < PASS_COUNT; ++q) {
            put_u64(bytes, static_cast<std::uint64_t>(lane_sum(sums, l, q)));
        }
    }
    const std::uint32_t tails = static_cast<std::uint32_t>(
        std::count_if(sums.tails.begin(), sums.tails.end(),
                      [](const std::unique_ptr<sum_tail> &tail) { return tail != nullptr; }));
    put_u32(bytes, tails);
    for (std::size_t slot = 0; slot < sums.tails.size(); ++slot) {
        if (!sums.tails[slot]) {
            continue;
        }
        sum_tail settled = *sums.tails[slot];
        settle_tail(&settled);
        put_u32(bytes, static_cast<std::uint32_t>(slot));
        put_u64(bytes, settled.nan);
        put_u64(bytes, settled.positive_inf);
        put_u64(bytes, settled.negative_inf);
        for (std::int64_t limb : settled.limbs) {
            put_u64(bytes, static_cast<std::uint64_t>(limb));
        }
    }
}

bool read_sums(const unsigned char **at, const unsigned char *end, pass_sums *sums)
{
    const unsigned char *next = *at;
    std::unique_ptr<pass_sums> read(new pass_sums);
    if (!get_u64(&next, end, &read->seeds) || read->seeds > (std::uint64_t{1} << 32)) {
        return false;
    }
    for (int l = 0; l < SUM_LANES; ++l) {
        for (int q = 0; q < PASS_COUNT; ++q) {
            std::uint64_t lane;
            if (!get_u64(&next, end, &lane)) {
                return false;
            }
            read->lanes[l][q] = lane + read->seeds * LANE_BIAS[l];
        }
    }
    std::uint32_t tails;
    if (!get_u32(&next, end, &tails) || tails > SUM_QUANTITIES * PASS_COUNT) {
        return false;
    }
    std::int64_t last_slot = -1;
    for (std::uint32_t t = 0; t < tails; ++t) {
        std::uint32_t slot;
        if (!get_u32(&next, end, &slot) || slot >= SUM_QUANTITIES * PASS_COUNT ||
            static_cast<std::int64_t>(slot) <= last_slot) {
            return false;
        }
        last_slot = slot;
        if (!read_tail(&next, end,
                       tail_of(read.get(), static_cast<int>(slot / PASS_COUNT),
                               static_cast<int>(slot % PASS_COUNT)))) {
            return false;
        }
    }
    *sums = std::move(*read);
    *at = next;
    return true;
}
