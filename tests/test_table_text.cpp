// The table's text as its columns describe it: the header, the rows with the quantile
// family, the pass numbers from the rows' places, genuine NaNs, and a number too wide to
// write, which fails the write instead of becoming other text.
#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "files.h"

namespace {

std::vector<std::string> split(const std::string &text, char separator)
{
    std::vector<std::string> pieces(1);
    for (const char c : text) {
        if (c == separator) {
            pieces.emplace_back();
        } else {
            pieces.back() += c;
        }
    }
    return pieces;
}

// A row whose every value is one number, and the quantiles 0.1, 0.2, ... in list order.
pass_row row_of(double value)
{
    pass_row row = {};
    row.coupling = row.agreement = row.mean_r = row.sd_r = row.mean_rho = value;
    row.share_excluding_zero = row.law_r = row.finite_law_r = value;
    for (int i = 0; i < MOST_QUANTILES; ++i) {
        row.r_quantile[i] = 0.1 * (i + 1);
    }
    return row;
}

// What a writer put into a stream of the test's own, and what it returned.
struct written {
    int status;
    int error; // errno after a failure
    std::string text;
};

template <class Write> written capture(Write write)
{
    written result = {-1, 0, ""};
    std::FILE *const stream = std::tmpfile();
    if (stream == nullptr) {
        return result;
    }
    errno = 0;
    result.status = write(stream);
    result.error = errno;
    std::rewind(stream);
    char piece[4096];
    for (std::size_t got = 0; (got = std::fread(piece, 1, sizeof piece, stream)) > 0;) {
        result.text.append(piece, got);
    }
    std::fclose(stream);
    return result;
}

written table_text(const std::vector<pass_row> &rows, const quantile_list &quantiles)
{
    return capture([&](std::FILE *stream) {
        return write_table(stream, rows.data(), rows.size(), quantiles);
    });
}

quantile_list list_of(std::vector<std::uint32_t> per_million)
{
    quantile_list list;
    list.count = static_cast<int>(per_million.size());
    for (int i = 0; i < list.count; ++i) {
        list.per_million[i] = per_million[static_cast<std::size_t>(i)];
    }
    return list;
}

} // namespace

// The default list's columns, six decimals rounded to nearest, q an integer from the row's
// place in the table (row 129 is pass 1 of the second coupling), a NaN as "nan".
TEST(FilesTableText, DefaultColumns)
{
    pass_row first = row_of(0.5);
    first.sd_r = std::numeric_limits<double>::quiet_NaN(); // one seed: no spread
    first.mean_r = -0.25;
    first.law_r = 1.0 / 3.0;    // 0.333333|33...: rounds down
    first.mean_rho = 2.0 / 3.0; // 0.666666|66...: rounds up
    std::vector<pass_row> rows(130, row_of(0.0));
    rows[0] = first;
    rows[129] = row_of(1.0);
    const written out = table_text(rows, quantile_list());
    ASSERT_EQ(out.status, 0);
    const std::vector<std::string> lines = split(out.text, '\n');
    ASSERT_EQ(lines.size(), 132U); // the header, 130 rows, and the empty rest after the last '\n'
    EXPECT_EQ(lines[0], "coupling,q,agreement,mean_r,sd_r,r_q025,r_q500,r_q975,mean_rho,"
                        "share_rho_band_excludes_zero,law_r,finite_law_r");
    EXPECT_EQ(lines[1], "0.500000,0,0.500000,-0.250000,nan,0.100000,0.200000,0.300000,0.666667,"
                        "0.500000,0.333333,0.500000");
    EXPECT_EQ(lines[128], "0.000000,127,0.000000,0.000000,0.000000,0.100000,0.200000,0.300000,"
                          "0.000000,0.000000,0.000000,0.000000");
    EXPECT_EQ(lines[130], "1.000000,1,1.000000,1.000000,1.000000,0.100000,0.200000,0.300000,"
                          "1.000000,1.000000,1.000000,1.000000");
    EXPECT_EQ(lines[131], "");
}

// The quantile family takes one column per entry of the list, named by it in per mille, in
// the list's order, between sd_r and mean_rho: one quantile, and the most a list holds.
TEST(FilesTableText, QuantileFamilies)
{
    const std::vector<pass_row> rows = {row_of(0.0)};
    const std::string start = "coupling,q,agreement,mean_r,sd_r,";
    const std::string end = "mean_rho,share_rho_band_excludes_zero,law_r,finite_law_r\n";
    const written one = table_text(rows, list_of({500000}));
    ASSERT_EQ(one.status, 0);
    EXPECT_EQ(one.text, start + "r_q500," + end +
                            "0.000000,0,0.000000,0.000000,0.000000,0.100000,0.000000,0.000000,"
                            "0.000000,0.000000\n");
    const written most =
        table_text(rows, list_of({0, 500, 1000, 100000, 500000, 900000, 999000, 999500, 1000000}));
    ASSERT_EQ(most.status, 0);
    EXPECT_EQ(most.text, start +
                             "r_q000,r_q000.5,r_q001,r_q100,r_q500,r_q900,r_q999,r_q999.5,"
                             "r_q1000," +
                             end +
                             "0.000000,0,0.000000,0.000000,0.000000,0.100000,0.200000,0.300000,"
                             "0.400000,0.500000,0.600000,0.700000,0.800000,0.900000,0.000000,"
                             "0.000000,0.000000,0.000000\n");
}

// A number whose text doesn't fit a number's room (1e300 has 301 digits before the point) is
// a fault: the write fails with ERANGE, in the table and in the per-seed rows, and no row of
// it goes out, in particular no "nan" in its place. The rows before it were written whole.
TEST(FilesTableText, NumberTooWideFailsTheWrite)
{
    std::vector<pass_row> rows(3, row_of(0.0));
    rows[1].finite_law_r = 1e300;
    const written table = table_text(rows, quantile_list());
    EXPECT_EQ(table.status, -1);
    EXPECT_EQ(table.error, ERANGE);
    EXPECT_EQ(split(table.text, '\n').size(), 3U) << table.text; // the header and row 0 whole
    EXPECT_EQ(table.text.find("nan"), std::string::npos);

    seed_result result = {};
    result.r[64] = -1e300;
    const written per_seed =
        capture([&](std::FILE *stream) { return write_per_seed_rows(stream, &result); });
    EXPECT_EQ(per_seed.status, -1);
    EXPECT_EQ(per_seed.error, ERANGE);
    EXPECT_EQ(per_seed.text, "");
}

// --help's account of the columns: one line per column, "  name: meaning", continued by
// indented lines, none wider than asked.
TEST(FilesTableText, HelpNamesEveryColumn)
{
    const std::vector<std::string> lines = split(table_columns_help(60), '\n');
    std::string starts;
    for (const std::string &line : lines) {
        EXPECT_LE(line.size(), 60U) << line;
        if (line.rfind("  ", 0) == 0 && line[2] != ' ') {
            starts += line.substr(2, line.find(':') - 2) + ",";
        }
    }
    EXPECT_EQ(starts, "coupling,q,agreement,mean_r,sd_r,r_qXXX,mean_rho,"
                      "share_rho_band_excludes_zero,law_r,finite_law_r,");
    EXPECT_EQ(wrap_words("aa bb cc dddddddd e", 6, "-", "+"), "-aa bb\n+cc\n+dddddddd\n+e\n");
}
