// The Python module's arguments read into the flow's request, and its results made arrays.
#include <cstdlib>
#include <cstring>

#include "python_module.h"

namespace sweep_module {

namespace {

// A coupling coefficient or a flat sequence of them, in the caller's order.
std::vector<double> coupling_values(const py::object &coupling)
{
    const c_doubles values =
        real_array(coupling, "coupling", "a real number or a flat sequence of real numbers");
    if (values.ndim() > 1) {
        throw py::type_error("coupling must be a real number or a flat sequence of real numbers, "
                             "not an array of " +
                             std::to_string(values.ndim()) + " dimensions");
    }
    return std::vector<double>(values.data(), values.data() + values.size());
}

} // namespace

// A bool is an int to Python, but True seeds, threads or bytes is a slip, not a count.
bool is_bool(const py::handle &value)
{
    return PyBool_Check(value.ptr()) ||
           py::isinstance(value, py::module_::import("numpy").attr("bool_"));
}

// A count as the Python int it is: an int or a NumPy integer, not a bool.
py::int_ count_argument(const py::handle &value, const char *name)
{
    if (is_bool(value) || !PyIndex_Check(value.ptr())) {
        throw py::type_error(std::string(name) + " must be an int, not " +
                             Py_TYPE(value.ptr())->tp_name);
    }
    PyObject *const whole = PyNumber_Index(value.ptr());
    if (whole == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::int_>(whole);
}

// A count's decimal digits for the request, whose one reading judges any size and sign.
std::string count_text(const py::handle &value, const char *name)
{
    return py::repr(count_argument(value, name)).cast<std::string>();
}

// A real number or an array of them (ints, floats, NumPy numbers; no bools, text or complex
// numbers), as C-ordered doubles of the same shape. Raises TypeError naming `name` and
// `wanted` otherwise.
c_doubles real_array(const py::object &value, const char *name, const char *wanted)
{
    const py::module_ numpy = py::module_::import("numpy");
    const std::string refused = std::string(name) + " must be " + wanted + ", not ";
    py::array given;
    try {
        given = numpy.attr("asarray")(value);
    } catch (const py::error_already_set &error) {
        if (!error.matches(PyExc_ValueError)) { // NumPy's word for a ragged sequence
            throw;
        }
        throw py::type_error(refused + "a ragged " + Py_TYPE(value.ptr())->tp_name);
    }
    const char kind = given.dtype().kind();
    if (kind == 'O') {
        // Ints too large for NumPy's integers come as Python objects; nothing else may.
        const py::object numbers = py::module_::import("numbers").attr("Real");
        for (const py::handle item : given.attr("flat")) {
            if (is_bool(item) || !py::isinstance(item, numbers)) {
                throw py::type_error(refused + Py_TYPE(item.ptr())->tp_name +
                                     (given.ndim() == 0 ? "" : " in a sequence"));
            }
        }
        try {
            given = given.attr("astype")("float64");
        } catch (const py::error_already_set &error) {
            if (!error.matches(PyExc_OverflowError)) {
                throw;
            }
            throw py::value_error(std::string(name) + " holds a number beyond any double");
        }
    } else if (kind != 'i' && kind != 'u' && kind != 'f') {
        const std::string type = kind == 'U'   ? "str"
                                 : kind == 'S' ? "bytes"
                                               : py::str(given.dtype()).cast<std::string>();
        throw py::type_error(refused + (given.ndim() == 0 ? type : type + " in a sequence"));
    }
    return c_doubles::ensure(given);
}

const kernel_path *chosen_path()
{
    const kernel_path *path = nullptr;
    const std::string problem = choose_kernel_path(std::getenv("AGREEMENT_ENSEMBLE_ISA"), &path);
    if (!problem.empty()) {
        throw py::value_error(problem);
    }
    return path;
}

// The request, checked by the rule the command line follows: seeds, first seed, threads and
// couplings; the couplings in the caller's order and with its repeats, so that coupling c of
// the results is the caller's c-th k.
ensemble_request read_request(const py::object &seeds, const py::object &first_seed,
                              const py::object &coupling, const py::object &threads,
                              const request_names &names)
{
    request_arguments given;
    given.seeds = count_text(seeds, names.seeds);
    given.first_seed = count_text(first_seed, names.first_seed);
    given.threads = threads.is_none() ? std::string() : count_text(threads, names.threads);
    given.couplings = coupling_values(coupling);
    given.listed_order = true;
    ensemble_request request;
    const std::string problem = check_request(given, names, &request);
    if (!problem.empty()) {
        throw py::value_error(problem);
    }
    return request;
}

seed_job job_of(const ensemble_request &request, const kernel_path *path)
{
    return {request.first_seed,
            request.seeds,
            request.couplings.data(),
            static_cast<int>(request.couplings.size()),
            true,
            path};
}

py::array_t<double> array_of(const double *values, const std::vector<py::ssize_t> &shape)
{
    py::array_t<double> array(shape);
    std::memcpy(array.mutable_data(), values,
                static_cast<std::size_t>(array.size()) * sizeof(double));
    return array;
}

py::array_t<double> agreements()
{
    double values[PASS_COUNT];
    for (int q = 0; q < PASS_COUNT; ++q) {
        values[q] = agreement_fraction(q);
    }
    return array_of(values, {PASS_COUNT});
}

py::array_t<std::int64_t> pass_numbers()
{
    py::array_t<std::int64_t> q(PASS_COUNT);
    for (int i = 0; i < PASS_COUNT; ++i) {
        q.mutable_data()[i] = i;
    }
    return q;
}

// The probabilities of quantiles=: None for the default, else a number or a flat sequence.
quantile_list quantiles_of(const py::object &quantiles)
{
    quantile_list list;
    if (quantiles.is_none()) {
        return list;
    }
    const c_doubles values =
        real_array(quantiles, "quantiles", "a real number or a flat sequence of real numbers");
    if (values.ndim() > 1) {
        throw py::type_error("quantiles must be a flat sequence of real numbers");
    }
    const std::string problem = settle_quantile_list(
        std::vector<double>(values.data(), values.data() + values.size()), "quantiles", &list);
    if (!problem.empty()) {
        throw py::value_error(problem);
    }
    return list;
}

} // namespace sweep_module
