// The exact tails: values the lanes can't hold, as fixed-point integers over every bit a double
// or its square can have, with counts of NaN and infinities; adding, settling and merging them.
#include <cassert>
#include <cmath>
#include <cstring>

#include "sums.h"
#include "tail_arith.h"

namespace {

constexpr std::uint64_t LOW_32 = 0xFFFFFFFFU;
// A tail is settled at least this often, so that no limb leaves int64: each addition moves a
// limb by less than 2^33, and 2^28 of them by less than 2^61.
constexpr std::uint32_t SETTLE_EVERY = 1U << 28;

// A finite double as an integer m < 2^53 times 2^exponent.
void decompose(double v, std::uint64_t *m, int *exponent)
{
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    const int field = static_cast<int>((bits >> 52) & 0x7FF);
    *m = bits & ((std::uint64_t{1} << 52) - 1);
    *exponent = -1074;
    if (field != 0) {
        *m |= std::uint64_t{1} << 52;
        *exponent = field - 1075;
    }
}

} // namespace

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

void merge_tail(sum_tail *into, const sum_tail &from)
{
    sum_tail settled = from;
    settle_tail(&settled);
    for (int i = 0; i < TAIL_LIMBS; ++i) {
        into->limbs[i] += settled.limbs[i];
    }
    into->nan += settled.nan;
    into->positive_inf += settled.positive_inf;
    into->negative_inf += settled.negative_inf;
    if (++into->unsettled >= SETTLE_EVERY) {
        settle_tail(into);
    }
}
