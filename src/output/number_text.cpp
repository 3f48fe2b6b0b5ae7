// Number text and record formatting, independent of the C library's printf and locale.
#include <cassert>
#include <cerrno>
#include <charconv>

#include "output/output.h"

char *format_fixed(char *first, char *last, double value)
{
    // to_chars in fixed form with a precision gives the exact decimal expansion rounded to
    // six places, ties to even, with '.' whatever the locale.
    const std::to_chars_result result =
        std::to_chars(first, last, value, std::chars_format::fixed, 6);
    return result.ec == std::errc() ? result.ptr : nullptr;
}

int format_record(char *buffer, const char *pattern, double first, double second, double third)
{
    const double values[3] = {first, second, third};
    int used = 0;
    char *out = buffer;
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
            buffer[0] = '\0';
            errno = ERANGE;
            return -1;
        }
    }
    *out = '\0';
    return static_cast<int>(out - buffer);
}

void to_decimal_comma(char *buffer)
{
    for (char *c = buffer; *c != '\0'; ++c) {
        if (*c == '.') {
            *c = ',';
        }
    }
}

void pass_file_name(char *buffer, int n)
{
    char *out = buffer;
    for (const char *c = PASS_FILE_PREFIX; *c != '\0'; ++c) {
        *out++ = *c;
    }
    // Eleven characters hold any int; the prefix takes twelve of the 32 promised.
    out = std::to_chars(out, out + 11, n).ptr;
    *out = '\0';
}
