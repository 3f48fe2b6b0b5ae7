// The ensemble table's columns, described once: the CSV header and rows, the --help text, the
// Python module's arrays and their docstrings all read them from here, in this order.
#ifndef AGREEMENT_SWEEP_TABLE_SCHEMA_H
#define AGREEMENT_SWEEP_TABLE_SCHEMA_H

#include <cstddef>
#include <string>

#include "quantiles.h"

// What a column is written as.
enum class column_format {
    decimals, // six decimals, '.' as the point
    integer,  // a whole number
};

// Where a column's value comes from, and so what it varies with.
enum class column_source {
    coupling_value, // a member of the row that depends on the coupling only
    pass_value,     // a member of the row that depends on the pass only
    cell_value,     // a member of the row, per coupling and pass
    pass_number,    // the row's pass q, from its place in the table (row i has q = i % 128)
    quantiles,      // a family: one column per quantile of the study's list, r_quantile[i]
};

// One column of the table, or for the source quantiles the family of them.
struct table_column {
    const char *name;         // the header's name; for the quantile family its pattern
    const char *meaning;      // what it holds, in a phrase that --help and the module both use
    column_format format;     // how the CSV writes it
    column_source source;     // where its value comes from
    double pass_row::*member; // the row's value, for the three sources named *_value
};

constexpr std::size_t TABLE_COLUMN_COUNT = 10; // entries of TABLE_COLUMNS
extern const table_column TABLE_COLUMNS[TABLE_COLUMN_COUNT];

// The most columns a table has: every plain column and a full list of quantiles.
constexpr std::size_t MOST_TABLE_COLUMNS = TABLE_COLUMN_COUNT - 1 + MOST_QUANTILES;

// The name of the column: its own, or for the quantile family that of quantile i of the list.
std::string column_name(const table_column &column, const quantile_list &quantiles, int i);

// The value of the column at row index (row i of the table is pass i % 128), quantile i of
// the list for the family.
double column_value(const table_column &column, const pass_row &row, std::size_t index, int i);

// The header row, names comma-separated, ending in '\n'.
std::string table_header(const quantile_list &quantiles);

// What --help says of the columns: how numbers are written, then each name with its
// meaning, as lines of at most width characters, each ending in '\n'.
std::string table_columns_help(std::size_t width);

// text as lines of at most width characters, broken at spaces (a longer word stands alone),
// the first starting with first, the others with indent; each line ends in '\n'.
std::string wrap_words(const std::string &text, std::size_t width, const std::string &first,
                       const std::string &indent);

#endif
