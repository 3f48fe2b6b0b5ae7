// What the Python module's parts share: the conversion of arguments and results between
// Python and the flow, and the functions the module binds. Internal to the module.
#ifndef AGREEMENT_SWEEP_PYTHON_MODULE_H
#define AGREEMENT_SWEEP_PYTHON_MODULE_H

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "files.h"
#include "flow.h"

namespace py = pybind11;

namespace sweep_module {

// ---- Arguments (arguments.cpp) ----

// Doubles laid out in C order, as the loops over them read them.
using c_doubles = py::array_t<double, py::array::c_style | py::array::forcecast>;

// The module's spelling of the request's arguments; run() calls its one seed `seed`.
constexpr request_names ENSEMBLE_NAMES = {"seeds", "first_seed", "threads", "coupling"};
constexpr request_names RUN_NAMES = {"seeds", "seed", "threads", "coupling"};

// A bool is an int to Python, but True seeds, threads or bytes is a slip, not a count.
bool is_bool(const py::handle &value);

// A count as the Python int it is: an int or a NumPy integer, not a bool.
py::int_ count_argument(const py::handle &value, const char *name);

// A count's decimal digits for the request, whose one reading judges any size and sign.
std::string count_text(const py::handle &value, const char *name);

// A real number or an array of them (ints, floats, NumPy numbers; no bools, text or complex
// numbers), as C-ordered doubles of the same shape. Raises TypeError naming `name` and
// `wanted` otherwise.
c_doubles real_array(const py::object &value, const char *name, const char *wanted);

// The kernel path AGREEMENT_ENSEMBLE_ISA names, or the widest this processor runs.
const kernel_path *chosen_path();

// The request, checked by the rule the command line follows: seeds, first seed, threads and
// couplings; the couplings in the caller's order and with its repeats, so that coupling c of
// the results is the caller's c-th k.
ensemble_request read_request(const py::object &seeds, const py::object &first_seed,
                              const py::object &coupling, const py::object &threads,
                              const request_names &names);

seed_job job_of(const ensemble_request &request, const kernel_path *path);

// The probabilities of quantiles=: None for the default, else a number or a flat sequence.
quantile_list quantiles_of(const py::object &quantiles);

// ---- Results ----

// A new array of the given shape holding a copy of values.
py::array_t<double> array_of(const double *values, const std::vector<py::ssize_t> &shape);

// The agreement fraction of each pass, (128,).
py::array_t<double> agreements();

// The pass numbers 0 .. 127, (128,) int64.
py::array_t<std::int64_t> pass_numbers();

// Runs the seeds of job with the interpreter's lock released, handing each block to take on
// this thread, and looks for Ctrl-C between blocks; a KeyboardInterrupt stops the workers
// and is raised once they have ended.
template <class Run> void run_released(Run run)
{
    bool interrupted = false;
    auto last_look = std::chrono::steady_clock::now();
    const auto keep_going = [&]() {
        const auto now = std::chrono::steady_clock::now();
        if (now - last_look < std::chrono::milliseconds(50)) {
            return true;
        }
        last_look = now;
        py::gil_scoped_acquire held;
        interrupted = PyErr_CheckSignals() != 0;
        return !interrupted;
    };
    int status = 0;
    {
        py::gil_scoped_release released;
        status = run(keep_going);
    }
    if (interrupted) {
        throw py::error_already_set();
    }
    if (status != 0) {
        throw std::runtime_error("agreement_sweep: the ensemble's threads could not be started");
    }
}

// ---- The module's functions (runs.cpp, table_arrays.cpp) and their docstrings (docs.cpp) ----

py::dict run_one(const py::object &seed, const py::object &coupling);
py::dict ensemble_arrays(const py::object &seeds, const py::object &first_seed,
                         const py::object &coupling, const py::object &threads,
                         const py::object &quantiles, bool with_state);
py::dict merge_states(const py::object &states, const py::object &threads, bool with_state);
py::dict run_per_seed(const py::object &seeds, const py::object &first_seed,
                      const py::object &coupling, const py::object &threads,
                      const py::object &max_bytes);
py::object law(const py::object &f, const py::object &k);
py::array_t<double> finite_law(const py::object &k);

// The table's columns as the module returns them, each (name, shape, meaning), from the
// table's schema: the quantile family as one entry.
py::tuple table_columns();

// Each docstring opens with the signature Python's inspect reads (up to "--"), then the one a
// reader reads, with its types: pybind11's own would call coupling an `object`.
extern const char *const RUN_DOC;
extern const char *const MERGE_DOC;
extern const char *const PER_SEED_DOC;
extern const char *const LAW_DOC;
extern const char *const FINITE_LAW_DOC;
std::string ensemble_doc(); // its table's columns from the schema

} // namespace sweep_module

#endif
