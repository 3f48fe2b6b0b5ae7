// The module's ensemble and merge: the table's arrays, one per column of the table's schema.
#include "python_module.h"

namespace sweep_module {

namespace {

// Rows index, index + step, ... of the column as an array of the given shape, whose size
// says how many.
template <typename Number>
py::array_t<Number> column_array(const table_column &column, const std::vector<pass_row> &rows,
                                 int quantile, std::size_t step,
                                 const std::vector<py::ssize_t> &shape)
{
    py::array_t<Number> values(shape);
    Number *const out = values.mutable_data();
    for (py::ssize_t i = 0; i < values.size(); ++i) {
        const std::size_t index = static_cast<std::size_t>(i) * step;
        out[i] = static_cast<Number>(column_value(column, rows[index], index, quantile));
    }
    return values;
}

// The table's columns into table, in the schema's order: a value of the coupling alone (K,),
// of the pass alone (128,), of both (K, 128); the pass numbers int64.
void put_columns(py::dict *table, const std::vector<pass_row> &rows, int couplings,
                 const quantile_list &quantiles)
{
    const py::ssize_t k = couplings;
    for (const table_column &column : TABLE_COLUMNS) {
        const int count = column.source == column_source::quantiles ? quantiles.count : 1;
        for (int i = 0; i < count; ++i) {
            const py::str name(column_name(column, quantiles, i));
            switch (column.source) {
            case column_source::coupling_value:
                (*table)[name] = column_array<double>(column, rows, i, PASS_COUNT, {k});
                break;
            case column_source::pass_value:
                (*table)[name] = column_array<double>(column, rows, i, 1, {PASS_COUNT});
                break;
            case column_source::pass_number:
                (*table)[name] = column_array<std::int64_t>(column, rows, i, 1, {PASS_COUNT});
                break;
            default:
                (*table)[name] = column_array<double>(column, rows, i, 1, {k, PASS_COUNT});
            }
        }
    }
}

// The table of a complete state as arrays, one row per coupling; with its bytes when asked.
py::dict table_of(const study_state &state, const std::vector<pass_row> &rows, bool with_state)
{
    py::dict table;
    put_columns(&table, rows, state.couplings, state.quantiles);
    table["seeds"] = state.seeds;
    table["first_seed"] = state.spans.empty() ? 0 : state.spans.front().first;
    py::list spans;
    for (const seed_span &span : state.spans) {
        spans.append(py::make_tuple(span.first, span.first + span.count - 1));
    }
    table["seed_ranges"] = spans;
    table["few_turning_points"] = state.few_turning_points;
    if (with_state) {
        const std::string bytes = state_bytes(state);
        table["state"] = py::bytes(bytes.data(), bytes.size());
    }
    return table;
}

} // namespace

py::dict ensemble_arrays(const py::object &seeds, const py::object &first_seed,
                         const py::object &coupling, const py::object &threads,
                         const py::object &quantiles, bool with_state)
{
    const ensemble_request request =
        read_request(seeds, first_seed, coupling, threads, ENSEMBLE_NAMES);
    const quantile_list list = quantiles_of(quantiles);
    const kernel_path *const path = chosen_path();
    study_state state;
    std::vector<pass_row> rows;
    run_released([&](const auto &keep_going) {
        seed_job job = job_of(request, path);
        job.in_order = false; // the table needs no seed's results on this thread
        return run_study(
            job, list, request.threads,
            [&](int, const seed_result *, std::uint64_t) { return keep_going() ? 0 : 1; },
            with_state, &state, &rows);
    });
    return table_of(state, rows, with_state);
}

py::dict merge_states(const py::object &states, const py::object &threads, bool with_state)
{
    if (py::isinstance<py::bytes>(states) || py::isinstance<py::str>(states) ||
        !py::isinstance<py::iterable>(states)) {
        throw py::type_error("states must be a sequence of bytes from ensemble(state=True)");
    }
    std::vector<study_state> parts;
    std::vector<seed_span> covered;
    study_state merged;
    int index = 0;
    for (const py::handle item : states) {
        if (!py::isinstance<py::bytes>(item)) {
            throw py::type_error("states[" + std::to_string(index) + "] must be bytes, not " +
                                 Py_TYPE(item.ptr())->tp_name);
        }
        parts.emplace_back();
        const std::string problem = read_state(item.cast<std::string>(), &parts.back());
        if (!problem.empty()) {
            throw py::value_error("states[" + std::to_string(index) + "] " + problem);
        }
        const std::string mismatch = check_part(parts.front(), parts.back(), &covered);
        if (!mismatch.empty()) {
            const bool names_first = mismatch.compare(mismatch.size() - 4, 4, "than") == 0;
            throw py::value_error("states[" + std::to_string(index) + "] " + mismatch +
                                  (names_first ? " states[0]" : ""));
        }
        if (index == 0) {
            start_merge(parts.front(), with_state, &merged);
        }
        add_part(&merged, &parts.back()); // one histogram held at a time
        ++index;
    }
    if (parts.empty()) {
        throw py::value_error("states holds no state");
    }
    request_arguments given;
    given.threads = threads.is_none() ? std::string() : count_text(threads, "threads");
    ensemble_request request;
    const std::string problem = check_request(given, ENSEMBLE_NAMES, &request);
    if (!problem.empty()) {
        throw py::value_error(problem);
    }
    const kernel_path *const path = chosen_path();
    std::vector<pass_row> rows;
    run_released([&](const auto &keep_going) {
        return finish_merge(
            &parts, request.threads, path,
            [&](int, const seed_result *, std::uint64_t) { return keep_going() ? 0 : 1; },
            with_state, &merged, &rows);
    });
    return table_of(merged, rows, with_state);
}

} // namespace sweep_module
