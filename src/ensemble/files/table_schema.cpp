// The ensemble table's columns and the texts made from them.
#include "table_schema.h"

#include "kernels.h"

const table_column TABLE_COLUMNS[TABLE_COLUMN_COUNT] = {
    {"coupling", "the coupling coefficient k", column_format::decimals,
     column_source::coupling_value, &pass_row::coupling},
    {"q", "the pass, 0 .. 127", column_format::integer, column_source::pass_number, nullptr},
    {"agreement", "the agreement fraction (127 - q) / 127", column_format::decimals,
     column_source::pass_value, &pass_row::agreement},
    {"mean_r", "mean of r over the seeds", column_format::decimals, column_source::cell_value,
     &pass_row::mean_r},
    {"sd_r", "sample standard deviation of r, divisor N - 1 (not a number for one seed)",
     column_format::decimals, column_source::cell_value, &pass_row::sd_r},
    {"r_qXXX",
     "one column per quantile of r asked for, named by its probability in per mille "
     "(r_q025, r_q500, r_q975 by default; r_q000.5 for 0.0005): exact quantiles of r, "
     "interpolated linearly between order statistics",
     column_format::decimals, column_source::quantiles, nullptr},
    {"mean_rho", "mean rank correlation against time", column_format::decimals,
     column_source::cell_value, &pass_row::mean_rho},
    {"share_rho_band_excludes_zero", "share of seeds whose band rho +- bound excludes zero",
     column_format::decimals, column_source::cell_value, &pass_row::share_excluding_zero},
    {"law_r", "the long-signal law's r at this agreement and k", column_format::decimals,
     column_source::cell_value, &pass_row::law_r},
    {"finite_law_r",
     "the finite-length law's mean r at this pass and k, for signals of 128 levels; it adds "
     "about 0.4 s of one thread per k",
     column_format::decimals, column_source::cell_value, &pass_row::finite_law_r},
};

std::string column_name(const table_column &column, const quantile_list &quantiles, int i)
{
    return column.source == column_source::quantiles ? quantile_column(quantiles.per_million[i])
                                                     : column.name;
}

double column_value(const table_column &column, const pass_row &row, std::size_t index, int i)
{
    switch (column.source) {
    case column_source::pass_number:
        return static_cast<double>(index % PASS_COUNT);
    case column_source::quantiles:
        return row.r_quantile[i];
    default:
        return row.*column.member;
    }
}

std::string table_header(const quantile_list &quantiles)
{
    std::string header;
    for (const table_column &column : TABLE_COLUMNS) {
        const int count = column.source == column_source::quantiles ? quantiles.count : 1;
        for (int i = 0; i < count; ++i) {
            header += column_name(column, quantiles, i) + ",";
        }
    }
    header.back() = '\n';
    return header;
}

std::string table_columns_help(std::size_t width)
{
    std::string whole; // the columns written as whole numbers
    for (const table_column &column : TABLE_COLUMNS) {
        if (column.format == column_format::integer) {
            whole += (whole.empty() ? "" : ", ") + std::string(column.name);
        }
    }
    std::string text = wrap_words("The table's columns, comma-separated; numbers have six decimals "
                                  "and '.' as the decimal point, but for " +
                                      whole + ", written whole:",
                                  width, "", "");
    for (const table_column &column : TABLE_COLUMNS) {
        text += wrap_words(std::string(column.name) + ": " + column.meaning, width, "  ", "      ");
    }
    return text;
}

std::string wrap_words(const std::string &text, std::size_t width, const std::string &first,
                       const std::string &indent)
{
    std::string wrapped;
    std::string line = first;
    bool fresh = true; // no word on the line yet
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find(' ', start);
        end = end == std::string::npos ? text.size() : end;
        const std::string word = text.substr(start, end - start);
        start = end + 1;
        if (!fresh && line.size() + 1 + word.size() > width) {
            wrapped += line + "\n";
            line = indent;
            fresh = true;
        }
        line += (fresh ? "" : " ") + word;
        fresh = false;
    }
    return wrapped + line + "\n";
}
