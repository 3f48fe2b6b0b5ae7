// The ensemble's table and per-seed rows as text.
#include <cerrno>
#include <charconv>
#include <cstring>

#include "files.h"
#include "output.h"

namespace {

// Writes text as it stands. Returns 0, or -1 with errno set.
int put(std::FILE *stream, const char *text, std::size_t length)
{
    errno = 0;
    return std::fwrite(text, 1, length, stream) == length ? 0 : failure_with_reason();
}

// Appends value with six decimals ('.' whatever the locale) and then separator. Every value
// the ensemble writes is a correlation, a share, a bound or a coupling coefficient, within
// [-1, 1] or not a number, so 64 characters are plenty; anything wider would be a fault,
// and is written as "nan".
char *append_number(char *out, double value, char separator)
{
    char *const end = format_fixed(out, out + 64, value);
    if (end == nullptr) {
        *out++ = 'n';
        *out++ = 'a';
        *out++ = 'n';
    } else {
        out = end;
    }
    *out++ = separator;
    return out;
}

template <typename Integer> char *append_integer(char *out, Integer value, char separator)
{
    out = std::to_chars(out, out + 24, value).ptr;
    *out++ = separator;
    return out;
}

} // namespace

int write_table(std::FILE *stream, const pass_row *rows, std::size_t count,
                const quantile_list &quantiles)
{
    std::string header = "coupling,q,agreement,mean_r,sd_r,";
    for (int i = 0; i < quantiles.count; ++i) {
        header += quantile_column(quantiles.per_million[i]) + ",";
    }
    header += "mean_rho,share_rho_band_excludes_zero,law_r,finite_law_r\n";
    if (put(stream, header.data(), header.size()) != 0) {
        return -1;
    }
    for (std::size_t i = 0; i < count; ++i) {
        const pass_row &row = rows[i];
        char line[1024];
        char *out = append_number(line, row.coupling, ',');
        out = append_integer(out, static_cast<int>(i % PASS_COUNT), ',');
        out = append_number(out, row.agreement, ',');
        out = append_number(out, row.mean_r, ',');
        out = append_number(out, row.sd_r, ',');
        for (int k = 0; k < quantiles.count; ++k) {
            out = append_number(out, row.r_quantile[k], ',');
        }
        out = append_number(out, row.mean_rho, ',');
        out = append_number(out, row.share_excluding_zero, ',');
        out = append_number(out, row.law_r, ',');
        out = append_number(out, row.finite_law_r, '\n');
        if (put(stream, line, static_cast<std::size_t>(out - line)) != 0) {
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
    char start[64];
    char *const start_end =
        append_integer(append_number(start, result->coupling, ','), result->seed, ',');
    const std::size_t start_length = static_cast<std::size_t>(start_end - start);
    char text[PASS_COUNT * 192];
    char *out = text;
    for (int q = 0; q < PASS_COUNT; ++q) {
        std::memcpy(out, start, start_length);
        out = append_integer(out + start_length, q, ',');
        out = append_number(out, result->r[q], ',');
        out = append_number(out, result->rho[q], ',');
        out = append_number(out, result->bound[q], '\n');
    }
    return put(stream, text, static_cast<std::size_t>(out - text));
}
