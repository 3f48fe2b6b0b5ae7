// The mean and variance, each rounded once from the exact sums: the lanes and the tail are
// gathered into one exact integer times a power of two, the big integers are divided with
// their remainders kept as a sticky bit, and the quotient is rounded to nearest, ties to even,
// subnormals included.
#include <algorithm>
#include <cassert>
#include <cmath>
#include <iterator>
#include <limits>
#include <vector>

#include "sums.h"
#include "tail_arith.h"

namespace {

constexpr std::uint64_t LOW_32 = 0xFFFFFFFFU;
constexpr double NOT_A_NUMBER = std::numeric_limits<double>::quiet_NaN();
constexpr double INFINITE = std::numeric_limits<double>::infinity();

// An exact number: +- the sum of digits[i] * 2^(32 i + low). No digits is zero.
struct exact_value {
    bool negative = false;
    int low = 0; // a multiple of 32
    std::vector<std::uint32_t> digits;
};

void trim(exact_value *v)
{
    while (!v->digits.empty() && v->digits.back() == 0) {
        v->digits.pop_back();
    }
}

// Appends zero digits below v's lowest, count of them, keeping its value; zero stays empty.
void extend_down(exact_value *v, int count)
{
    if (v->digits.empty()) {
        return;
    }
    v->digits.insert(v->digits.begin(), static_cast<std::size_t>(count), 0U);
    v->low -= 32 * count;
}

const sum_tail *tail_at(const pass_sums &sums, sum_quantity quantity, int q)
{
    if (sums.tails.empty()) {
        return nullptr;
    }
    return sums.tails[static_cast<std::size_t>(quantity) * PASS_COUNT + q].get();
}

// The exact sum of lanes [first, first + count) and the quantity's tail at pass q.
exact_value exact_total(const pass_sums &sums, int first, int count, sum_quantity quantity, int q)
{
    sum_tail total;
    clear_tail(&total);
    if (const sum_tail *tail = tail_at(sums, quantity, q)) {
        for (int i = 0; i < TAIL_LIMBS; ++i) {
            total.limbs[i] = tail->limbs[i];
        }
        total.unsettled = tail->unsettled;
    }
    for (int l = first; l < first + count; ++l) {
        add_int64_to_tail(&total, lane_sum(sums, l, q), LANE_SCALE[l]);
    }
    settle_tail(&total);
    exact_value v;
    v.negative = total.limbs[TAIL_LIMBS - 1] < 0;
    if (v.negative) {
        std::transform(std::begin(total.limbs), std::end(total.limbs), std::begin(total.limbs),
                       [](std::int64_t limb) { return -limb; });
        settle_tail(&total);
    }
    const std::int64_t *const lowest = std::find_if(std::begin(total.limbs), std::end(total.limbs),
                                                    [](std::int64_t limb) { return limb != 0; });
    v.low = TAIL_LOW + 32 * static_cast<int>(lowest - std::begin(total.limbs));
    for (const std::int64_t *limb = lowest; limb != std::end(total.limbs); ++limb) {
        assert(*limb >= 0 && *limb <= static_cast<std::int64_t>(LOW_32));
        v.digits.push_back(static_cast<std::uint32_t>(*limb));
    }
    trim(&v);
    return v;
}

exact_value multiply(const exact_value &a, const exact_value &b)
{
    exact_value product;
    product.negative = a.negative != b.negative;
    product.low = a.low + b.low;
    product.digits.assign(a.digits.size() + b.digits.size(), 0U);
    for (std::size_t i = 0; i < a.digits.size(); ++i) {
        std::uint64_t carry = 0;
        for (std::size_t j = 0; j < b.digits.size(); ++j) {
            // At most (2^32 - 1)^2 + 2 (2^32 - 1) = 2^64 - 1.
            const std::uint64_t cell = static_cast<std::uint64_t>(a.digits[i]) * b.digits[j] +
                                       product.digits[i + j] + carry;
            product.digits[i + j] = static_cast<std::uint32_t>(cell & LOW_32);
            carry = cell >> 32;
        }
        product.digits[i + b.digits.size()] = static_cast<std::uint32_t>(carry);
    }
    trim(&product);
    return product;
}

// Returns a - b for a >= b >= 0.
exact_value subtract(exact_value a, exact_value b)
{
    const int low = a.low < b.low ? a.low : b.low;
    extend_down(&a, (a.low - low) / 32);
    extend_down(&b, (b.low - low) / 32);
    assert(a.digits.size() >= b.digits.size());
    std::int64_t borrow = 0;
    for (std::size_t i = 0; i < a.digits.size(); ++i) {
        std::int64_t cell = static_cast<std::int64_t>(a.digits[i]) - borrow;
        if (i < b.digits.size()) {
            cell -= b.digits[i];
        }
        borrow = cell < 0 ? 1 : 0;
        a.digits[i] = static_cast<std::uint32_t>(cell + (borrow << 32));
    }
    assert(borrow == 0);
    trim(&a);
    return a;
}

// Replaces v's magnitude by floor(v / divisor) for 1 <= divisor <= 2^32; returns whether the
// remainder was nonzero. The running remainder stays below 2^32, so (remainder, digit) fits
// 64 bits.
bool divide(exact_value *v, std::uint64_t divisor)
{
    assert(divisor >= 1 && divisor <= (std::uint64_t{1} << 32));
    std::uint64_t remainder = 0;
    for (std::size_t i = v->digits.size(); i-- > 0;) {
        const std::uint64_t cell = (remainder << 32) | v->digits[i];
        v->digits[i] = static_cast<std::uint32_t>(cell / divisor);
        remainder = cell % divisor;
    }
    trim(v);
    return remainder != 0;
}

int bit_at(const exact_value &v, int position)
{
    const int offset = position - v.low;
    if (offset < 0 || offset >= 32 * static_cast<int>(v.digits.size())) {
        return 0;
    }
    return static_cast<int>((v.digits[static_cast<std::size_t>(offset / 32)] >> (offset % 32)) &
                            1U);
}

// Whether any bit of v below 2^position is set.
bool any_bit_below(const exact_value &v, int position)
{
    const int offset = position - v.low;
    if (offset <= 0) {
        return false;
    }
    const std::size_t whole = static_cast<std::size_t>(offset / 32);
    for (std::size_t i = 0; i < whole && i < v.digits.size(); ++i) {
        if (v.digits[i] != 0) {
            return true;
        }
    }
    return whole < v.digits.size() &&
           (v.digits[whole] & ((std::uint32_t{1} << (offset % 32)) - 1U)) != 0;
}

// Returns v, plus less than one unit of its lowest bit where sticky, rounded to the nearest
// double, ties to even; v must hold at least two bits below the rounding point if sticky.
double round_to_double(const exact_value &v, bool sticky)
{
    if (v.digits.empty()) {
        return 0.0;
    }
    // Step 1: the top bit's position h and the unit u of the result's last place.
    int top_bit = 31;
    while (((v.digits.back() >> top_bit) & 1U) == 0) {
        --top_bit;
    }
    const int h = v.low + 32 * (static_cast<int>(v.digits.size()) - 1) + top_bit;
    if (h > 1023) {
        return v.negative ? -INFINITE : INFINITE;
    }
    int u = h - 52 > -1074 ? h - 52 : -1074;
    // Step 2: the digits kept, the first one dropped, and whether anything below it is set.
    std::uint64_t m = 0;
    for (int position = h; position >= u; --position) {
        m = 2 * m + static_cast<std::uint64_t>(bit_at(v, position));
    }
    const bool half = bit_at(v, u - 1) != 0;
    const bool beyond = sticky || any_bit_below(v, u - 1);
    // Step 3: round up past half, and at half to the even neighbour.
    if (half && (beyond || (m & 1U) != 0)) {
        ++m;
        if (m == (std::uint64_t{1} << 53)) {
            m >>= 1;
            ++u;
        }
    }
    if (u > 971) { // m 2^u with m >= 2^52 is beyond the largest double
        return v.negative ? -INFINITE : INFINITE;
    }
    const double magnitude = std::ldexp(static_cast<double>(m), u);
    return v.negative ? -magnitude : magnitude;
}

// Returns v / (first * second) rounded once: floor(floor(v / first) / second) is
// floor(v / (first * second)), and the quotient is exact only if both remainders are zero.
double rounded_quotient(exact_value v, std::uint64_t first, std::uint64_t second)
{
    if (v.digits.empty()) {
        return 0.0;
    }
    // At least 161 bits over a divisor below 2^64 leave a quotient of more than 96 bits, many
    // beyond the 53 kept and the one that rounds, so the sticky bit can't be misplaced.
    if (v.digits.size() < 6) {
        extend_down(&v, 6 - static_cast<int>(v.digits.size()));
    }
    bool sticky = divide(&v, first);
    sticky = divide(&v, second) || sticky;
    return round_to_double(v, sticky);
}

} // namespace

double sum_mean(const pass_sums &sums, sum_quantity quantity, int q)
{
    if (sums.seeds == 0) {
        return NOT_A_NUMBER;
    }
    if (const sum_tail *tail = tail_at(sums, quantity, q)) {
        if (tail->nan != 0 || (tail->positive_inf != 0 && tail->negative_inf != 0)) {
            return NOT_A_NUMBER;
        }
        if (tail->positive_inf != 0 || tail->negative_inf != 0) {
            return tail->positive_inf != 0 ? INFINITE : -INFINITE;
        }
    }
    const int first = quantity == SUM_R ? LANE_R : quantity == SUM_R_SQUARED ? LANE_P : LANE_RHO;
    const int count = quantity == SUM_R_SQUARED ? 6 : 3;
    return rounded_quotient(exact_total(sums, first, count, quantity, q), sums.seeds, 1);
}

double sum_variance_r(const pass_sums &sums, int q)
{
    const std::uint64_t n = sums.seeds;
    if (n < 2) {
        return NOT_A_NUMBER;
    }
    for (sum_quantity quantity : {SUM_R, SUM_R_SQUARED}) {
        const sum_tail *tail = tail_at(sums, quantity, q);
        if (tail && (tail->nan != 0 || tail->positive_inf != 0 || tail->negative_inf != 0)) {
            return NOT_A_NUMBER;
        }
    }
    const exact_value s = exact_total(sums, LANE_R, 3, SUM_R, q);
    const exact_value squares = exact_total(sums, LANE_P, 6, SUM_R_SQUARED, q);
    exact_value count;
    count.digits = {static_cast<std::uint32_t>(n & LOW_32), static_cast<std::uint32_t>(n >> 32)};
    trim(&count);
    // n Q >= S^2 for exact sums (Cauchy-Schwarz), so the difference is never negative.
    return rounded_quotient(subtract(multiply(count, squares), multiply(s, s)), n, n - 1);
}
