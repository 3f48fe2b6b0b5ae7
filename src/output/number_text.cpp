// Number text and record formatting, independent of the C library's printf and locale.
#include <cassert>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>

#include "output.h"

namespace {

// The fast path covers finite |value| < 2^43, so that value * 10^6 rounded fits in 63 bits.
constexpr int FAST_EXPONENT_LIMIT = 43;

#if defined(__SIZEOF_INT128__)
__extension__ typedef unsigned __int128 uint128; // GCC and Clang; the fast path needs it
#endif

// Writes value in the fixed six-decimal form, the same text as std::to_chars, into out,
// which holds at least 32 characters. Returns the end of the text, or a null pointer when
// value is outside the fast path's range (not finite, or |value| >= 2^43) or the compiler
// has no 128-bit integer.
char *format_fixed_fast(char *out, double value)
{
#if defined(__SIZEOF_INT128__)
    // Step 1: decode value = (-1)^negative * m * 2^e exactly.
    std::uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    const bool negative = (bits >> 63) != 0;
    const int biased = static_cast<int>((bits >> 52) & 0x7FFU);
    if (biased >= 1023 + FAST_EXPONENT_LIMIT) {
        return nullptr; // too large, infinite or NaN
    }
    std::uint64_t m = bits & ((std::uint64_t{1} << 52) - 1);
    int e = -1074; // subnormal
    if (biased != 0) {
        m |= std::uint64_t{1} << 52;
        e = biased - 1075;
    }

    // Step 2: value * 10^6 = m * 5^6 * 2^(e + 6), exactly, in 128 bits (below 2^67); round
    // it to an integer q, ties to even, by the bits shifted out.
    const uint128 scaled = static_cast<uint128>(m) * 15625U;
    const int shift = -(e + 6);
    std::uint64_t q = 0;
    if (shift <= 0) {
        q = static_cast<std::uint64_t>(scaled << -shift); // below 2^43 * 10^6 < 2^63
    } else if (shift < 128) {
        q = static_cast<std::uint64_t>(scaled >> shift);
        const uint128 rest = scaled & ((static_cast<uint128>(1) << shift) - 1);
        const uint128 half = static_cast<uint128>(1) << (shift - 1);
        if (rest > half || (rest == half && (q & 1U) != 0)) {
            ++q;
        }
    } // else below 2^-61 after scaling: rounds to zero

    // Step 3: sign, integer digits, point, six decimals with leading zeros, two at a time.
    if (negative) {
        *out++ = '-';
    }
    out = std::to_chars(out, out + 20, q / 1000000U).ptr;
    *out++ = '.';
    auto decimals = static_cast<std::uint32_t>(q % 1000000U);
    for (int i = 4; i >= 0; i -= 2) {
        const std::uint32_t pair = decimals % 100U;
        decimals /= 100U;
        out[i] = static_cast<char>('0' + pair / 10U);
        out[i + 1] = static_cast<char>('0' + pair % 10U);
    }
    return out + 6;
#else
    static_cast<void>(out);
    static_cast<void>(value);
    return nullptr;
#endif
}

} // namespace

char *format_fixed(char *first, char *last, double value)
{
    // The run's values take the fast path. Everything else, and any value with less room
    // than the fast path's longest text (22 characters), goes through the bounded to_chars,
    // whose fixed form with a precision is the exact decimal expansion rounded to six places,
    // ties to even, with '.' whatever the locale: the same text.
    if (last - first >= NUMBER_TEXT_ROOM) {
        char *const end = format_fixed_fast(first, value);
        if (end != nullptr) {
            return end;
        }
    }
    const std::to_chars_result result =
        std::to_chars(first, last, value, std::chars_format::fixed, 6);
    return result.ec == std::errc() ? result.ptr : nullptr;
}

int append_record(char *buffer, int length, const char *pattern, double first, double second,
                  double third)
{
    const double values[3] = {first, second, third};
    int used = 0;
    char *out = buffer + length;
    char *const last = buffer + TEXT_BUFFER_SIZE - 1; // keeps room for the terminating zero
    for (const char *c = pattern; *c != '\0'; ++c) {
        if (c[0] == '%' && c[1] == 'f') {
            assert(used < 3 && "a record carries at most three numbers");
            out = format_fixed(out, last, values[used++]);
            ++c;
        } else if (out != last) {
            *out++ = *c;
        } else {
            out = nullptr;
        }
        if (out == nullptr) {
            buffer[length] = '\0';
            errno = ERANGE;
            return -1;
        }
    }
    *out = '\0';
    return static_cast<int>(out - buffer);
}

int format_record(char *buffer, const char *pattern, double first, double second, double third)
{
    return append_record(buffer, 0, pattern, first, second, third);
}

void to_decimal_comma(char *buffer)
{
    for (char *c = buffer; *c != '\0'; ++c) {
        if (*c == '.') {
            *c = ',';
        }
    }
}
