// The Python module agreement_sweep: the experiment and the ensemble as NumPy arrays of the
// very doubles the programs print, with no text in between. A front end beside the command
// line, on the same flow, kernels and threads.
#include <pybind11/numpy.h>
#include <pybind11/eval.h>
#include <pybind11/pybind11.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "files.h"
#include "flow.h"
#include "theory.h"

namespace py = pybind11;

namespace {

// ---- Arguments ----

// Doubles laid out in C order, as the loops over them read them.
using c_doubles = py::array_t<double, py::array::c_style | py::array::forcecast>;

// The module's spelling of the request's arguments; run() calls its one seed `seed`.
constexpr request_names ENSEMBLE_NAMES = {"seeds", "first_seed", "threads", "coupling"};
constexpr request_names RUN_NAMES = {"seeds", "seed", "threads", "coupling"};

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

// ---- Results ----

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

// ---- The module's functions ----

py::dict run_one(const py::object &seed, const py::object &coupling)
{
    // One seed at one k, read as an ensemble of one would be, so that run() is ensemble()'s
    // seed bit for bit whatever k the caller wrote.
    const c_doubles k = real_array(coupling, "coupling", "a real number");
    if (k.ndim() != 0) {
        throw py::type_error("coupling must be a real number, not an array; ensemble() and "
                             "per_seed() take many");
    }
    const ensemble_request request =
        read_request(py::int_(1), seed, coupling, py::none(), RUN_NAMES);
    std::vector<seed_passes> passes(1);
    run_seed_passes(static_cast<std::uint32_t>(request.first_seed), request.couplings[0],
                    passes.data());
    const seed_passes &p = passes[0];
    py::dict one;
    one["r"] = array_of(p.r, {PASS_COUNT});
    one["rho"] = array_of(p.rho, {PASS_COUNT});
    one["bound"] = array_of(p.bound, {PASS_COUNT});
    one["mean"] = array_of(p.mean, {PASS_COUNT});
    one["variance"] = array_of(p.variance, {PASS_COUNT});
    one["agreement"] = agreements();
    one["reference"] = array_of(p.reference, {SIGNAL_LENGTH});
    one["signals"] = array_of(&p.signal[0][0], {PASS_COUNT, SIGNAL_LENGTH});
    one["turning_points"] = p.turning_points;
    return one;
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

// The table of a complete state as arrays, one row per coupling; with its bytes when asked.
py::dict table_of(const study_state &state, const std::vector<pass_row> &rows, bool with_state)
{
    const int count = state.couplings;
    py::dict table;
    table["coupling"] = array_of(state.coupling_values.data(), {count});
    table["q"] = pass_numbers();
    table["agreement"] = agreements();
    const auto column = [&](const auto &value_of) {
        py::array_t<double> values({static_cast<py::ssize_t>(count), py::ssize_t{PASS_COUNT}});
        for (std::size_t i = 0; i < rows.size(); ++i) {
            values.mutable_data()[i] = value_of(rows[i]);
        }
        return values;
    };
    table["mean_r"] = column([](const pass_row &row) { return row.mean_r; });
    table["sd_r"] = column([](const pass_row &row) { return row.sd_r; });
    for (int i = 0; i < state.quantiles.count; ++i) {
        table[py::str(quantile_column(state.quantiles.per_million[i]))] =
            column([i](const pass_row &row) { return row.r_quantile[i]; });
    }
    table["mean_rho"] = column([](const pass_row &row) { return row.mean_rho; });
    table["share_rho_band_excludes_zero"] =
        column([](const pass_row &row) { return row.share_excluding_zero; });
    table["law_r"] = column([](const pass_row &row) { return row.law_r; });
    table["finite_law_r"] = column([](const pass_row &row) { return row.finite_law_r; });
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

// max_bytes as a double to hold a result's size against: a size no double holds is no limit.
double byte_limit(const py::object &max_bytes)
{
    const py::int_ most = count_argument(max_bytes, "max_bytes");
    if (PyObject_RichCompareBool(most.ptr(), py::int_(0).ptr(), Py_LT) == 1) {
        throw py::value_error("max_bytes must be 0 or more, not " +
                              py::repr(most).cast<std::string>());
    }
    const double limit = PyLong_AsDouble(most.ptr());
    if (limit == -1.0 && PyErr_Occurred() != nullptr) {
        PyErr_Clear();
        return HUGE_VAL;
    }
    return limit;
}

py::dict run_per_seed(const py::object &seeds, const py::object &first_seed,
                      const py::object &coupling, const py::object &threads,
                      const py::object &max_bytes)
{
    const ensemble_request request =
        read_request(seeds, first_seed, coupling, threads, ENSEMBLE_NAMES);
    const kernel_path *const path = chosen_path();
    const double limit = byte_limit(max_bytes);
    const int count = static_cast<int>(request.couplings.size());
    // Three doubles per seed, coupling and pass, and the seed numbers.
    const double needed = static_cast<double>(request.seeds) *
                          (3.0 * count * PASS_COUNT * sizeof(double) + sizeof(std::int64_t));
    if (needed > limit) {
        char text[64];
        static_cast<void>(std::snprintf(text, sizeof text, "%.2f GiB", needed / 1073741824.0));
        throw py::value_error(
            "per_seed: the result would take " + std::string(text) + " (" +
            std::to_string(static_cast<unsigned long long>(needed)) +
            " bytes), more than max_bytes=" + py::repr(max_bytes).cast<std::string>() +
            "; ask for fewer seeds or couplings, or raise max_bytes");
    }
    const py::ssize_t n = static_cast<py::ssize_t>(request.seeds);
    const std::vector<py::ssize_t> shape = {n, count, PASS_COUNT};
    py::array_t<std::int64_t> seed_numbers(n);
    py::array_t<double> r(shape);
    py::array_t<double> rho(shape);
    py::array_t<double> bound(shape);
    std::int64_t *seed_out = seed_numbers.mutable_data();
    double *r_out = r.mutable_data();
    double *rho_out = rho.mutable_data();
    double *bound_out = bound.mutable_data();
    run_released([&](const auto &keep_going) {
        std::uint64_t done = 0; // seed-runs copied
        return run_seeds_in_order(
            job_of(request, path), request.threads,
            [&](const seed_result *results, std::uint64_t block) {
                const std::uint64_t runs = block * static_cast<std::uint64_t>(count);
                for (std::uint64_t i = 0; i < runs; ++i, ++done) {
                    const seed_result &one = results[i];
                    seed_out[done / static_cast<std::uint64_t>(count)] = one.seed;
                    std::memcpy(r_out + done * PASS_COUNT, one.r, sizeof one.r);
                    std::memcpy(rho_out + done * PASS_COUNT, one.rho, sizeof one.rho);
                    std::memcpy(bound_out + done * PASS_COUNT, one.bound, sizeof one.bound);
                }
                return keep_going() ? 0 : 1;
            });
    });
    py::dict per;
    per["coupling"] = array_of(request.couplings.data(), {count});
    per["seed"] = seed_numbers;
    per["q"] = pass_numbers();
    per["agreement"] = agreements();
    per["r"] = r;
    per["rho"] = rho;
    per["bound"] = bound;
    return per;
}

// One of law()'s arguments: real numbers in [0, 1].
c_doubles law_argument(const py::object &value, const char *name)
{
    c_doubles values = real_array(value, name, "a real number or an array of them");
    const double *data = values.data();
    for (py::ssize_t i = 0; i < values.size(); ++i) {
        if (!(data[i] >= 0.0 && data[i] <= 1.0)) { // NaN too
            throw py::value_error(std::string(name) + " must lie in [0, 1], not " +
                                  py::repr(py::float_(data[i])).cast<std::string>());
        }
    }
    return values;
}

// The shape's text as NumPy prints it: (3,), (2, 4) or ().
std::string shape_text(const py::array &values)
{
    return py::str(py::tuple(values.attr("shape"))).cast<std::string>();
}

py::object law(const py::object &f, const py::object &k)
{
    const c_doubles fs = law_argument(f, "f");
    const c_doubles ks = law_argument(k, "k");
    py::list both;
    try {
        both = py::module_::import("numpy").attr("broadcast_arrays")(fs, ks);
    } catch (const py::error_already_set &error) {
        if (!error.matches(PyExc_ValueError)) {
            throw;
        }
        throw py::value_error("f of shape " + shape_text(fs) + " and k of shape " + shape_text(ks) +
                              " do not broadcast to one shape");
    }
    const c_doubles f_each = c_doubles::ensure(both[0]);
    const c_doubles k_each = c_doubles::ensure(both[1]);
    if (f_each.ndim() == 0) {
        return py::float_(long_signal_law(*f_each.data(), *k_each.data()));
    }
    py::array_t<double> r(std::vector<py::ssize_t>(f_each.shape(), f_each.shape() + f_each.ndim()));
    double *out = r.mutable_data();
    for (py::ssize_t i = 0; i < r.size(); ++i) {
        out[i] = long_signal_law(f_each.data()[i], k_each.data()[i]);
    }
    return std::move(r);
}

py::array_t<double> finite_law(const py::object &k)
{
    const c_doubles ks = law_argument(k, "k");
    std::vector<py::ssize_t> shape(ks.shape(), ks.shape() + ks.ndim());
    shape.push_back(PASS_COUNT);
    py::array_t<double> r(shape);
    double *out = r.mutable_data();
    const double *each = ks.data();
    const py::ssize_t count = ks.size();
    {
        py::gil_scoped_release unlocked;
        for (py::ssize_t i = 0; i < count; ++i) {
            finite_length_law(each[i], out + i * PASS_COUNT);
        }
    }
    return r;
}

// Each docstring opens with the signature Python's inspect reads (up to "--"), then the one a
// reader reads, with its types: pybind11's own would call coupling an `object`.
const char *const RUN_DOC = R"(run(seed=1, coupling=0.0)
--

run(seed: int = 1, coupling: float = 0.0) -> dict[str, numpy.ndarray | int]

Runs the experiment once: seed's reference signal and its 128 passes.

Seed s is the one-shot experiment with the random generator's state word starting at s
(the program agreement_sweep runs seed 1 at coupling 0). Every array holds the exact doubles
behind the program's files, per pass q = 0 .. 127 (pass q keeps 127 - q step directions).

Args:
    seed: the generator's starting state word, 0 .. 4294967295 (int or NumPy integer).
    coupling: the coupling coefficient k in [0, 1] (float); above 0 each step's size is tied
        to the reference step's size too, at 1 an agreeing step copies it. It runs as the
        double nearest its six-decimal text, as in ensemble().

Returns a dict:
    r (128,): Pearson correlation of each pass's amplified signal with the reference
        (tov.dat's fourth field).
    rho (128,), bound (128,): rank correlation against time and its 95 % bound
        1.96 |1 - rho| / sqrt(126) (sl.dat).
    mean (128,): the coupled signal's mean, levels 1 .. 10 (tov.dat's second field).
    variance (128,): the amplified signal's variance about that mean, squared levels
        (tov.dat's third field).
    agreement (128,): the agreement fraction (127 - q) / 127 (tov.dat's first field).
    reference (128,): the reference signal's levels (signal_1.dat).
    signals (128, 128): signals[q] is pass q's coupled signal before amplification, the
        values of its pass file sign_{q+1}.
    turning_points (int): interior turning points of the reference signal.

Raises:
    TypeError: seed not an int (a bool, a float), coupling not a real number.
    ValueError: seed outside 0 .. 4294967295, coupling outside [0, 1] or NaN.
)";

const char *const ENSEMBLE_DOC =
    R"(ensemble(seeds=10000, first_seed=1, coupling=0.0, threads=None, quantiles=None, state=False)
--

ensemble(seeds: int = 10000, first_seed: int = 1, coupling: float | Sequence[float] = 0.0, threads: int | None = None, quantiles: float | Sequence[float] | None = None, state: bool = False) -> dict[str, numpy.ndarray | int | bytes | list[tuple[int, int]]]

Runs the ensemble: the experiment for many seeds, summed up per coupling and pass.

The same doubles as agreement_ensemble's table (ensemble.csv, which prints them to six
decimals) for the same seeds, whatever the thread count or kernel path
(AGREEMENT_ENSEMBLE_ISA). The work runs on the program's kernels and worker threads with
the interpreter's lock released; Ctrl-C stops it within a fraction of a second.

Args:
    seeds: how many seeds, 1 or more (int or NumPy integer, as are the other counts; default
        10000, the program's); they are first_seed .. first_seed + seeds - 1, all within
        0 .. 4294967295.
    first_seed: the first seed (default 1, the one-shot run's).
    coupling: a coupling coefficient k in [0, 1] or a flat sequence of at most 1001 of them
        (default 0). Each runs as the double nearest its six-decimal text, as the program
        reads --coupling, so 0.1 + 0.2 runs as 0.3. Unlike the program, which sorts its list
        and runs each value once, the couplings stay in the order given, repeats included,
        so that row c of every array is the caller's c-th k. Every k runs the same seeds,
        draws and masks.
    threads: worker threads, 1 .. 256, or None for the machine's hardware threads.
    quantiles: the probabilities of the quantiles of r to report, in [0, 1] with at most six
        decimals each, at most 9 (default None: 0.025, 0.5 and 0.975).
    state: also return the study's state as bytes, which merge() merges with the states of
        other seeds into the study of all of them.

Returns a dict, K being the number of couplings:
    coupling (K,): the k values as they ran.
    q (128,): pass numbers 0 .. 127 (int64); agreement (128,): (127 - q) / 127.
    mean_r, sd_r (K, 128): mean and sample standard deviation (divisor N - 1; NaN for one
        seed) of r across the seeds.
    r_q025, r_q500, r_q975 (K, 128): exact 2.5 %, 50 % and 97.5 % quantiles of r (linear
        interpolation between order statistics); with quantiles=, one array per probability,
        named by it in per mille (r_q001 for 0.001, r_q000.5 for 0.0005).
    mean_rho (K, 128): mean rank correlation.
    share_rho_band_excludes_zero (K, 128): share of seeds whose band rho +- bound
        excludes zero.
    law_r (K, 128): the long-signal law's r at each agreement and k.
    finite_law_r (K, 128): the finite-length law's mean r at each pass and k (finite_law()).
    seeds, first_seed (int): as asked; seed_ranges (list of (first, last)): the seeds the
        figures cover; few_turning_points (int): reference signals below the turning-point
        test's bound.
    state (bytes): with state=True, the study's state (as agreement_ensemble --state writes).

Raises:
    TypeError: a count that is not an int (a bool, a float, a str), a coupling that is not a
        real number or a flat sequence of them.
    ValueError: a count or k out of its range (NaN included), no coupling, more than 1001.
)";

const char *const MERGE_DOC = R"(merge(states, threads=None, state=False)
--

merge(states: Sequence[bytes], threads: int | None = None, state: bool = False) -> dict[str, numpy.ndarray | int | bytes | list[tuple[int, int]]]

Merges the states of studies over different seeds into the study of all of them.

Returns the same dict, the same doubles, as one ensemble() call over all of their seeds,
whatever the order of the states and however the seeds were split. Gaps between their seeds
are allowed (seed_ranges says which seeds the figures cover). Rarely, a state did not keep
a value the merged quantiles need: its seeds then run again at that coupling, on threads.

Args:
    states: states from ensemble(state=True) or agreement_ensemble --state (bytes), at least
        one, with the same couplings and quantiles and no seed in two of them.
    threads: as for ensemble().
    state: also return the merged state as bytes.

Raises:
    TypeError: states not a sequence of bytes.
    ValueError: a state that is damaged, truncated or from another version, other couplings
        or quantiles than states[0], seeds in two states.
)";

const char *const PER_SEED_DOC =
    R"(per_seed(seeds=10000, first_seed=1, coupling=0.0, threads=None, max_bytes=2147483648)
--

per_seed(seeds: int = 10000, first_seed: int = 1, coupling: float | Sequence[float] = 0.0, threads: int | None = None, max_bytes: int = 2147483648) -> dict[str, numpy.ndarray]

Runs the seeds and returns every seed's r, rho and bound.

The same doubles as agreement_ensemble --per-seed writes (to six decimals there), for any
thread count; the lock is released and Ctrl-C stops it, as for ensemble().

Args:
    seeds, first_seed, coupling, threads: as for ensemble(), with the same defaults.
    max_bytes: the largest result to build, in bytes (default 2 GiB): a call that would need
        more raises ValueError with the size it would take.

Returns a dict, N seeds and K couplings:
    seed (N,): the seed numbers (int64).
    coupling (K,): the k values as they ran, in the order given.
    q (128,): pass numbers 0 .. 127 (int64); agreement (128,): (127 - q) / 127.
    r, rho, bound (N, K, 128): r[i, c, q] is seed i's r at coupling c in pass q.

Raises:
    TypeError, ValueError: as for ensemble(); ValueError too for a result above max_bytes.
)";

const char *const LAW_DOC = R"(law(f, k)
--

law(f: float | numpy.typing.ArrayLike, k: float | numpy.typing.ArrayLike) -> float | numpy.ndarray

The long-signal law: the correlation r of the reference with a coupled signal of unbounded length.

    r = (2f - 1)(1 + k) sqrt((1 - k)(2 + k) / (2 [(1 - k)(k^2 + 5)
                                               + 4 f (1 - f)(1 + k)(k^2 + 4k + 1)]))

Args:
    f: the agreement fraction in [0, 1], the probability that a step's direction agrees
        (float or array).
    k: the coupling coefficient in [0, 1] (float or array), broadcast against f.

Returns r as a float for two numbers, else as a float64 array of the broadcast shape.

Raises:
    TypeError: f or k not real numbers (a str, a bool, a complex number).
    ValueError: a value outside [0, 1] or NaN, or shapes that do not broadcast.
)";

const char *const FINITE_LAW_DOC = R"(finite_law(k)
--

finite_law(k: float | numpy.typing.ArrayLike) -> numpy.ndarray

The finite-length law: the predicted mean over seeds of r at each pass q = 0 .. 127 for
signals of 128 levels, the table's finite_law_r.

From the exact first and second moments of the covariance and the two variances at 128
levels, averaged over the masks with q disagreeing steps (a second-order expansion of r),
with the part of 1/sqrt(Vz) that the expansion misses taken exactly in a Gaussian model of
the same covariances; for q <= 3 (and q >= 124) each mask on its own, Gaussian given its few
disagreeing steps' kicks. About 0.4 s of one core per k.

Args:
    k: the coupling coefficient in [0, 1] (float or array).

Returns a float64 array of shape k.shape + (128,): (128,) for one k.

Raises:
    TypeError: k not real numbers (a str, a bool, a complex number).
    ValueError: a value outside [0, 1] or NaN.
)";

} // namespace

PYBIND11_MODULE(agreement_sweep, module)
{
    // The docstrings carry the signatures, typed as the stub types them.
    py::options options;
    options.disable_function_signatures();
    module.doc() = "The agreement sweep experiment and its ensemble as NumPy arrays of exact "
                   "doubles: run(), ensemble(), merge(), per_seed(), law() and finite_law().";
    module.attr("__version__") = AGREEMENT_SWEEP_VERSION;
    module.attr("PASSES") = PASS_COUNT;
    module.def("_run", &run_one, RUN_DOC, py::arg("seed") = 1, py::arg("coupling") = 0.0);
    // One default for both: a per_seed() call is an ensemble() call that keeps every value.
    module.def("_ensemble", &ensemble_arrays, ENSEMBLE_DOC, py::arg("seeds") = DEFAULT_SEEDS,
               py::arg("first_seed") = 1, py::arg("coupling") = 0.0,
               py::arg("threads") = py::none(), py::arg("quantiles") = py::none(),
               py::arg("state") = false);
    module.def("_merge", &merge_states, MERGE_DOC, py::arg("states"),
               py::arg("threads") = py::none(), py::arg("state") = false);
    module.def("_per_seed", &run_per_seed, PER_SEED_DOC, py::arg("seeds") = DEFAULT_SEEDS,
               py::arg("first_seed") = 1, py::arg("coupling") = 0.0,
               py::arg("threads") = py::none(), py::arg("max_bytes") = 2LL << 30);
    module.def("_law", &law, LAW_DOC, py::arg("f"), py::arg("k"));
    module.def("_finite_law", &finite_law, FINITE_LAW_DOC, py::arg("k"));
    // The public functions are plain Python functions over the compiled ones, typed as the
    // stub types them: help() shows their real signatures and types, where a compiled
    // function shows up as a "method of builtins.PyCapsule instance" taking objects. Each
    // takes the compiled one's text without its two signature lines, which its own replaces.
    py::exec(R"(
from collections.abc import Sequence as _Sequence
import numpy as _numpy
import numpy.typing as _npt

def run(seed: int = 1, coupling: float = 0.0) -> dict[str, _numpy.ndarray | int]:
    return _run(seed, coupling)

def ensemble(seeds: int = )" +
                 std::to_string(DEFAULT_SEEDS) + R"(, first_seed: int = 1,
             coupling: float | _Sequence[float] = 0.0,
             threads: int | None = None,
             quantiles: float | _Sequence[float] | None = None,
             state: bool = False) -> dict[str, _numpy.ndarray | int | bytes | list[tuple[int, int]]]:
    return _ensemble(seeds, first_seed, coupling, threads, quantiles, state)

def merge(states: _Sequence[bytes], threads: int | None = None,
          state: bool = False) -> dict[str, _numpy.ndarray | int | bytes | list[tuple[int, int]]]:
    return _merge(states, threads, state)

def per_seed(seeds: int = )" +
                 std::to_string(DEFAULT_SEEDS) + R"(, first_seed: int = 1,
             coupling: float | _Sequence[float] = 0.0, threads: int | None = None,
             max_bytes: int = )" +
                 std::to_string(2LL << 30) + R"() -> dict[str, _numpy.ndarray]:
    return _per_seed(seeds, first_seed, coupling, threads, max_bytes)

def law(f: float | _npt.ArrayLike, k: float | _npt.ArrayLike) -> float | _numpy.ndarray:
    return _law(f, k)

def finite_law(k: float | _npt.ArrayLike) -> _numpy.ndarray:
    return _finite_law(k)

for _public, _compiled in ((run, _run), (ensemble, _ensemble), (merge, _merge),
                           (per_seed, _per_seed), (law, _law),
                           (finite_law, _finite_law)):
    _public.__doc__ = _compiled.__doc__.split("\n--\n\n", 1)[-1].split("\n\n", 1)[-1]
    _public.__module__ = __name__
del _public, _compiled
)",
             module.attr("__dict__"));
}
