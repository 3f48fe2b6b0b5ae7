// The exact sums: each checked against a plain bit-by-bit model of the same arithmetic; their
// order, merging and bytes.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sums.h"
#include "sums_values.h"

namespace {

// ---- The model: a two's complement fixed-point number, one int per bit ----

constexpr int MODEL_LOW = -2200; // every double's square is a multiple of 2^-2148
constexpr int MODEL_BITS = 2400;

struct model {
    std::vector<int> bit = std::vector<int>(MODEL_BITS, 0); // bit i weighs 2^(i + MODEL_LOW)
};

// Adds or subtracts the magnitude whose bits (lowest first) start at 2^position; bits below
// the model's lowest must be zero.
void model_add(model *m, const std::vector<int> &magnitude, int position, bool negative)
{
    const int offset = position - MODEL_LOW;
    for (int k = 0; k < -offset && k < static_cast<int>(magnitude.size()); ++k) {
        EXPECT_EQ(magnitude[static_cast<std::size_t>(k)], 0) << "below the model's range";
    }
    int carry = 0;
    for (int i = std::max(0, offset); i < MODEL_BITS; ++i) {
        const std::size_t k = static_cast<std::size_t>(i - offset);
        if (k >= magnitude.size() && carry == 0) {
            break;
        }
        const int b = k < magnitude.size() ? magnitude[k] : 0;
        const int cell = negative ? m->bit[i] - b - carry : m->bit[i] + b + carry;
        m->bit[i] = (cell % 2 + 2) % 2;
        carry = (cell < 0 || cell > 1) ? 1 : 0;
    }
    for (int k = static_cast<int>(magnitude.size()) - 1; k >= 0 && offset + k >= MODEL_BITS - 2;
         --k) {
        EXPECT_EQ(magnitude[static_cast<std::size_t>(k)], 0) << "beyond the model's range";
    }
}

std::vector<int> bits_of_integer(std::uint64_t v)
{
    std::vector<int> bits;
    for (; v != 0; v >>= 1) {
        bits.push_back(static_cast<int>(v & 1));
    }
    return bits;
}

// v = m 2^position with m an integer below 2^53, by frexp rather than by the bits of v.
void split_double(double v, std::uint64_t *m, int *position)
{
    int exponent;
    const double fraction = std::frexp(std::fabs(v), &exponent);
    *m = static_cast<std::uint64_t>(std::ldexp(fraction, 53));
    *position = exponent - 53;
}

void model_add_double(model *m, double v)
{
    std::uint64_t mantissa;
    int position;
    split_double(v, &mantissa, &position);
    model_add(m, bits_of_integer(mantissa), position, v < 0);
}

// Adds v^2 as the sum of mantissa * 2^j over the mantissa's set bits j.
void model_add_square(model *m, double v)
{
    std::uint64_t mantissa;
    int position;
    split_double(v, &mantissa, &position);
    const std::vector<int> bits = bits_of_integer(mantissa);
    for (std::size_t j = 0; j < bits.size(); ++j) {
        if (bits[j]) {
            model_add(m, bits, 2 * position + static_cast<int>(j), false);
        }
    }
}

bool model_negative(const model &m)
{
    return m.bit.back() != 0;
}

std::vector<int> model_magnitude(const model &m)
{
    if (!model_negative(m)) {
        return m.bit;
    }
    model negated; // every bit flipped, plus one
    for (int i = 0; i < MODEL_BITS; ++i) {
        negated.bit[i] = 1 - m.bit[i];
    }
    model_add(&negated, {1}, MODEL_LOW, false);
    return negated.bit;
}

// Returns +-(bits / divisor) rounded to nearest, ties to even, by long division bit by bit.
double model_quotient(std::vector<int> bits, bool negative, std::uint64_t divisor)
{
    std::uint64_t remainder = 0;
    for (std::size_t i = bits.size(); i-- > 0;) {
        remainder = 2 * remainder + static_cast<std::uint64_t>(bits[i]);
        bits[i] = remainder >= divisor ? 1 : 0;
        remainder -= bits[i] ? divisor : 0;
    }
    int top = static_cast<int>(bits.size()) - 1;
    while (top >= 0 && bits[static_cast<std::size_t>(top)] == 0) {
        --top;
    }
    if (top < 0) {
        return negative ? -0.0 : 0.0;
    }
    const int unit = std::max(top - 52, -1074 - MODEL_LOW); // the last kept bit's index
    double kept = 0.0;
    for (int i = top; i >= unit; --i) {
        kept = 2.0 * kept + bits[static_cast<std::size_t>(i)];
    }
    const bool half = unit >= 1 && bits[static_cast<std::size_t>(unit - 1)] != 0;
    bool below = remainder != 0;
    for (int i = 0; i < unit - 1; ++i) {
        below = below || bits[static_cast<std::size_t>(i)] != 0;
    }
    if (half && (below || std::fmod(kept, 2.0) != 0.0)) {
        kept += 1.0;
    }
    const double magnitude = std::ldexp(kept, unit + MODEL_LOW);
    return negative ? -magnitude : magnitude;
}

double model_mean(const std::vector<double> &values, bool squares)
{
    model m;
    for (double v : values) {
        squares ? model_add_square(&m, v) : model_add_double(&m, v);
    }
    return model_quotient(model_magnitude(m), model_negative(m), values.size());
}

// (n Q - S^2) / (n (n - 1)), the products as sums of shifted copies.
double model_variance(const std::vector<double> &values)
{
    model s;
    model q;
    for (double v : values) {
        model_add_double(&s, v);
        model_add_square(&q, v);
    }
    const std::uint64_t n = values.size();
    model difference;
    const std::vector<int> n_bits = bits_of_integer(n);
    for (std::size_t k = 0; k < n_bits.size(); ++k) {
        if (n_bits[k]) {
            model_add(&difference, q.bit, MODEL_LOW + static_cast<int>(k), false);
        }
    }
    const std::vector<int> s_bits = model_magnitude(s);
    for (int i = 0; i < MODEL_BITS; ++i) {
        if (s_bits[static_cast<std::size_t>(i)]) {
            model_add(&difference, s_bits, 2 * MODEL_LOW + i, true);
        }
    }
    EXPECT_FALSE(model_negative(difference));
    return model_quotient(difference.bit, false, n * (n - 1));
}

// ---- Helpers ----

std::string bytes_of(const pass_sums &sums)
{
    std::string bytes;
    write_sums(&bytes, sums);
    return bytes;
}

void copy_sums(const pass_sums &from, pass_sums *to)
{
    const std::string bytes = bytes_of(from);
    const auto *at = reinterpret_cast<const unsigned char *>(bytes.data());
    ASSERT_TRUE(read_sums(&at, at + bytes.size(), to));
}

struct sums_case {
    const char *name;
    std::vector<double> values;
};

std::vector<sums_case> awkward_cases()
{
    const double tiny = std::ldexp(1.0, -1074);
    std::vector<sums_case> cases = {
        {"subnormals",
         {tiny, 3 * tiny, -tiny, std::ldexp(1.0, -1022) - tiny,
          std::numeric_limits<double>::min()}},
        {"signed zeros", {0.0, -0.0, -0.0}},
        {"one and its neighbours", {1.0, std::nextafter(1.0, 0.0), std::nextafter(1.0, 2.0), -1.0}},
        {"a rounding step beyond one",
         {std::nextafter(1.0, 2.0), std::nextafter(-1.0, -2.0), std::nextafter(-1.0, -2.0)}},
        {"large and tiny cancel", {1.0, tiny, -1.0, 0.3, -0.3, std::ldexp(1.0, -60), -2.0}},
        {"small r", {std::ldexp(1.0, -30), 1e-10, -3e-7, std::ldexp(1.0, -19) * 1.5, SQUARE_SPLIT}},
        {"beyond the lanes", {1e15, -1e15, 3.5, 1e-300, -1e-200, -1e9}},
        // (a^2 + b^2) / 2 with a = (1 + 263 2^-52) / 2 and b = 1 - 2^-53 rounds up only with
        // the squares' rounding errors, and down without them.
        {"squares' errors decide",
         {0.5 * (1.0 + 263 * std::ldexp(1.0, -52)), 1.0 - std::ldexp(1.0, -53)}},
        {"at the lanes' edge", {2.0, -2.0, std::nextafter(2.0, 0.0), std::nextafter(2.0, 3.0)}},
    };
    std::mt19937_64 generator(7);
    sums_case uniform_case{"uniform", {}};
    for (int i = 0; i < 300; ++i) {
        uniform_case.values.push_back(uniform(&generator));
    }
    cases.push_back(uniform_case);
    return cases;
}

} // namespace

// ---- Exact sums ----

// The means of r, r^2 and rho and the variance of r, each against the model's exact sums.
TEST(Sums, MeansAndVarianceOfAwkwardValues)
{
    for (const sums_case &c : awkward_cases()) {
        SCOPED_TRACE(c.name);
        pass_sums sums;
        add_values(&sums, c.values);
        std::vector<double> negated(c.values.size());
        std::transform(c.values.begin(), c.values.end(), negated.begin(),
                       [](double v) { return -v; });
        EXPECT_EQ(sum_mean(sums, SUM_R, Q), model_mean(c.values, false));
        EXPECT_EQ(sum_mean(sums, SUM_R_SQUARED, Q), model_mean(c.values, true));
        EXPECT_EQ(sum_mean(sums, SUM_RHO, Q), model_mean(negated, false));
        EXPECT_EQ(sum_variance_r(sums, Q), model_variance(c.values));
        EXPECT_EQ(sum_mean(sums, SUM_R, Q - 1), 0.25); // the neighbours untouched
    }
}

// Rows at the lanes' limits, doubled by merging up to 2^32 seeds, the most there can be: the
// means come back exactly and the variance is exactly 0.
TEST(Sums, LongRunsUpToTheMostSeeds)
{
    // -3.5 is beyond the lanes: 2^32 of its square's first digit would overflow one.
    const double edge[] = {0.1,
                           2.0,
                           -2.0,
                           std::nextafter(2.0, 0.0),
                           -1.9999999999999998,
                           1.0 / 3.0,
                           std::ldexp(1.0, -39) * 1.75,
                           std::nextafter(1.0, 2.0),
                           -3.5};
    double r[PASS_COUNT];
    double rho[PASS_COUNT];
    for (int q = 0; q < PASS_COUNT; ++q) {
        r[q] = edge[q % 9];
        rho[q] = -edge[(q + 3) % 9];
    }
    pass_sums sums;
    add_seed_to_sums(&sums, r, rho);
    for (int doubling = 0; doubling < 32; ++doubling) {
        pass_sums copy;
        copy_sums(sums, &copy);
        add_sums(&sums, copy);
    }
    ASSERT_EQ(sums.seeds, std::uint64_t{1} << 32);
    for (int q = 0; q < PASS_COUNT; ++q) {
        EXPECT_EQ(sum_mean(sums, SUM_R, q), r[q]) << q;
        EXPECT_EQ(sum_mean(sums, SUM_R_SQUARED, q), r[q] * r[q]) << q; // the square rounded once
        EXPECT_EQ(sum_mean(sums, SUM_RHO, q), rho[q]) << q;
        EXPECT_EQ(sum_variance_r(sums, q), 0.0) << q;
    }
}

// ---- Order ----

// The same seeds added in another order, or split into parts merged in another order, give
// the same bytes; one seed more gives others.
TEST(Sums, OrderAndSplitDoNotChangeTheBytes)
{
    std::mt19937_64 generator(11);
    const std::vector<sums_case> cases = awkward_cases();
    std::vector<std::vector<double>> rows(60, std::vector<double>(std::size_t{2} * PASS_COUNT));
    for (std::size_t s = 0; s < rows.size(); ++s) {
        for (int q = 0; q < 2 * PASS_COUNT; ++q) {
            const std::vector<double> &awkward = cases[(s + q) % cases.size()].values;
            rows[s][q] = q % 3 == 0 ? awkward[(s * 7 + q) % awkward.size()] : uniform(&generator);
        }
    }
    rows[5][9] = NAN_VALUE;
    rows[17][200] = -INF;
    const auto add_rows = [&](pass_sums *sums, const std::vector<std::size_t> &order) {
        for (std::size_t s : order) {
            add_seed_to_sums(sums, rows[s].data(), rows[s].data() + PASS_COUNT);
        }
    };
    std::vector<std::size_t> order(rows.size());
    for (std::size_t s = 0; s < order.size(); ++s) {
        order[s] = s;
    }
    pass_sums in_order;
    add_rows(&in_order, order);
    const std::string expected = bytes_of(in_order);

    for (int trial = 0; trial < 4; ++trial) {
        std::shuffle(order.begin(), order.end(), generator);
        std::vector<pass_sums> parts(3);
        for (std::size_t i = 0; i < order.size(); ++i) {
            add_rows(&parts[(i * 5 + trial) % 3], {order[i]});
        }
        pass_sums merged;
        for (int p : {trial % 3, (trial + 2) % 3, (trial + 1) % 3}) {
            add_sums(&merged, parts[static_cast<std::size_t>(p)]);
        }
        EXPECT_EQ(bytes_of(merged), expected) << "trial " << trial;
    }
    add_rows(&in_order, {0});
    EXPECT_NE(bytes_of(in_order), expected);
}

// ---- Bytes ----

// Bytes read back hold the same sums: with tails and infinities, and with no tail, where the
// tails' count is the last field. Every truncation is refused with nothing moved, and so are a
// limb that isn't settled and a slot that repeats.
TEST(Sums, ReadRefusesTruncatedOrInvalidBytes)
{
    const std::vector<double> cases[] = {{0.3, 1e-300, NAN_VALUE, -2.5}, {0.3, -0.25}, {-INF, 0.5}};
    for (const std::vector<double> &values : cases) {
        pass_sums sums;
        add_values(&sums, values);
        const std::string bytes = bytes_of(sums);
        const auto *begin = reinterpret_cast<const unsigned char *>(bytes.data());
        for (std::size_t size = 0; size < bytes.size(); ++size) {
            pass_sums read;
            const unsigned char *at = begin;
            ASSERT_FALSE(read_sums(&at, begin + size, &read)) << size;
            ASSERT_EQ(at, begin) << size;
        }
        pass_sums read;
        const unsigned char *at = begin;
        ASSERT_TRUE(read_sums(&at, begin + bytes.size(), &read));
        EXPECT_EQ(at, begin + bytes.size());
        EXPECT_EQ(bytes_of(read), bytes);
        for (const sum_quantity quantity : {SUM_R, SUM_R_SQUARED, SUM_RHO}) {
            const double mean = sum_mean(sums, quantity, Q);
            const double again = sum_mean(read, quantity, Q);
            EXPECT_TRUE(std::isnan(mean) ? std::isnan(again) : again == mean) << quantity;
        }
    }

    // The first tail's first limb sits after the seeds, the lanes, the count, its slot and its
    // three counts; the next tail's slot after that tail's limbs.
    pass_sums sums;
    add_values(&sums, {1e-300}); // tails of r, r^2 and rho
    const std::string bytes = bytes_of(sums);
    const std::size_t first_slot = 8 + 8 * SUM_LANES * PASS_COUNT + 4;
    const std::size_t first_limb = first_slot + 4 + 24;
    std::string unsettled = bytes;
    unsettled[first_limb + 4] = 1; // a limb below the top at 2^32
    std::string repeated = bytes;
    repeated.replace(first_limb + 8 * TAIL_LIMBS, 4, bytes, first_slot, 4);
    for (const std::string &bad : {unsettled, repeated}) {
        pass_sums read;
        const auto *at = reinterpret_cast<const unsigned char *>(bad.data());
        EXPECT_FALSE(read_sums(&at, at + bad.size(), &read));
    }
}
