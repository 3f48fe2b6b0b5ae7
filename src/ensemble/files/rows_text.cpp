// The ensemble's table and per-seed rows as text.
#include <cerrno>
#include <charconv>
#include <cstring>

#include "files.h"
#include "table_schema.h"
#include "output.h"

namespace {

// Writes text as it stands. Returns 0, or -1 with errno set.
int put(std::FILE *stream, const char *text, std::size_t length)
{
    errno = 0;
    return std::fwrite(text, 1, length, stream) == length ? 0 : failure_with_reason();
}

// Room for one number's text. Every value the ensemble writes is a correlation, a share, a
// bound or a coupling coefficient, within [-1, 1] or not a number, so 64 characters are
// plenty; a value whose text would be wider is a fault, never written as some other text.
constexpr std::ptrdiff_t NUMBER_ROOM = 64;

// Appends value with six decimals ('.' whatever the locale) and then separator. Returns the
// end, or a null pointer with errno = ERANGE when the text would not fit in NUMBER_ROOM.
char *append_number(char *out, double value, char separator)
{
    char *const end = format_fixed(out, out + NUMBER_ROOM, value);
    if (end == nullptr) {
        errno = ERANGE;
        return nullptr;
    }
    *end = separator;
    return end + 1;
}

template <typename Integer> char *append_integer(char *out, Integer value, char separator)
{
    out = std::to_chars(out, out + 24, value).ptr;
    *out++ = separator;
    return out;
}

// Appends row index's fields, each column as the table's schema says. Returns the end, or a
// null pointer with errno set.
char *append_row(char *out, const pass_row &row, std::size_t index, const quantile_list &quantiles)
{
    for (const table_column &column : TABLE_COLUMNS) {
        const int count = column.source == column_source::quantiles ? quantiles.count : 1;
        for (int i = 0; i < count && out != nullptr; ++i) {
            const double value = column_value(column, row, index, i);
            out = column.format == column_format::integer
                      ? append_integer(out, static_cast<long long>(value), ',')
                      : append_number(out, value, ',');
        }
    }
    if (out != nullptr) {
        out[-1] = '\n';
    }
    return out;
}

} // namespace

int write_table(std::FILE *stream, const pass_row *rows, std::size_t count,
                const quantile_list &quantiles)
{
    const std::string header = table_header(quantiles);
    if (put(stream, header.data(), header.size()) != 0) {
        return -1;
    }
    for (std::size_t i = 0; i < count; ++i) {
        char line[MOST_TABLE_COLUMNS * (NUMBER_ROOM + 1)];
        const char *const end = append_row(line, rows[i], i, quantiles);
        if (end == nullptr || put(stream, line, static_cast<std::size_t>(end - line)) != 0) {
            return -1;
        }
    }
    return 0;
}

int write_bytes(std::FILE *stream, const std::string &bytes)
{
    return put(stream, bytes.data(), bytes.size());
}

int write_per_seed_header(std::FILE *stream)
{
    static const char header[] = "coupling,seed,q,r,rho,bound\n";
    return put(stream, header, sizeof header - 1);
}

int write_per_seed_rows(std::FILE *stream, const seed_result *result)
{
    // Every row starts with the same coupling and seed: their text is made once.
    char start[NUMBER_ROOM + 32];
    char *const start_end = append_number(start, result->coupling, ',');
    if (start_end == nullptr) {
        return -1;
    }
    const char *const seed_end = append_integer(start_end, result->seed, ',');
    const std::size_t start_length = static_cast<std::size_t>(seed_end - start);
    char text[PASS_COUNT * (sizeof start + 8 + 3 * (NUMBER_ROOM + 1))];
    char *out = text;
    for (int q = 0; q < PASS_COUNT && out != nullptr; ++q) {
        std::memcpy(out, start, start_length);
        out = append_integer(out + start_length, q, ',');
        out = append_number(out, result->r[q], ',');
        out = out == nullptr ? out : append_number(out, result->rho[q], ',');
        out = out == nullptr ? out : append_number(out, result->bound[q], '\n');
    }
    return out == nullptr ? -1 : put(stream, text, static_cast<std::size_t>(out - text));
}
