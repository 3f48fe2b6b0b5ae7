// The Python module agreement_sweep: the experiment and the ensemble as NumPy arrays of the
// very doubles the programs print, with no text in between. A front end beside the command
// line, on the same flow, kernels and threads.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "flow.h"
#include "measures.h"

namespace py = pybind11;

namespace {

constexpr std::uint64_t LAST_SEED = STATE_WORDS - 1;

// ---- Arguments ----

std::uint64_t seed_argument(long long seed, const char *name)
{
    if (seed < 0 || static_cast<unsigned long long>(seed) > LAST_SEED) {
        throw py::value_error(std::string(name) + " must be a seed, 0 .. " +
                              std::to_string(LAST_SEED) + "; got " + std::to_string(seed));
    }
    return static_cast<std::uint64_t>(seed);
}

double coupling_value(double k)
{
    if (!(k >= 0.0 && k <= 1.0)) { // NaN too
        throw py::value_error("coupling must lie in [0, 1]; got " +
                              py::repr(py::float_(k)).cast<std::string>());
    }
    return k == 0.0 ? 0.0 : k; // -0 runs as 0, as the program reads it
}

// A coupling coefficient or a sequence of them, as the doubles given, in the order given.
std::vector<double> coupling_list(const py::object &coupling)
{
    if (py::isinstance<py::str>(coupling) || py::isinstance<py::bytes>(coupling) ||
        coupling.is_none()) {
        throw py::type_error("coupling must be a number or a sequence of numbers");
    }
    py::array_t<double, py::array::forcecast> values;
    try {
        values = py::array_t<double, py::array::forcecast>::ensure(coupling);
    } catch (const py::error_already_set &) {
        values = py::array_t<double, py::array::forcecast>();
    }
    if (!values || values.ndim() > 1) {
        throw py::type_error("coupling must be a number or a flat sequence of numbers");
    }
    std::vector<double> list;
    const double *data = values.data();
    for (py::ssize_t i = 0; i < values.size(); ++i) {
        list.push_back(coupling_value(data[i]));
    }
    if (list.empty()) {
        throw py::value_error("coupling: give at least one coupling coefficient");
    }
    if (list.size() > static_cast<std::size_t>(MOST_COUPLINGS)) {
        throw py::value_error("coupling: at most " + std::to_string(MOST_COUPLINGS) +
                              " coefficients; got " + std::to_string(list.size()));
    }
    return list;
}

std::uint64_t thread_count(const py::object &threads)
{
    if (threads.is_none()) {
        const std::uint64_t hardware = std::max(1U, std::thread::hardware_concurrency());
        return std::min(hardware, MOST_THREADS);
    }
    if (!py::isinstance<py::int_>(threads)) {
        throw py::type_error("threads must be an int or None");
    }
    const long long count = threads.cast<long long>();
    if (count < 1 || static_cast<unsigned long long>(count) > MOST_THREADS) {
        throw py::value_error("threads must be 1 .. " + std::to_string(MOST_THREADS) +
                              " or None; got " + std::to_string(count));
    }
    return static_cast<std::uint64_t>(count);
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

// An ensemble's arguments, checked: the seeds first .. first + seeds - 1, all within the
// generator's range, the couplings as given, the worker threads and the kernel path.
struct seed_request {
    std::uint64_t first;
    std::uint64_t seeds;
    std::vector<double> couplings;
    std::uint64_t workers;
    const kernel_path *path;

    int coupling_count() const { return static_cast<int>(couplings.size()); }
    seed_job job() const { return {first, seeds, couplings.data(), coupling_count(), true, path}; }
};

seed_request read_request(long long seeds, long long first_seed, const py::object &coupling,
                          const py::object &threads)
{
    const std::uint64_t first = seed_argument(first_seed, "first_seed");
    if (seeds < 1) {
        throw py::value_error("seeds must be 1 or more; got " + std::to_string(seeds));
    }
    if (static_cast<std::uint64_t>(seeds) > STATE_WORDS - first) {
        throw py::value_error("seeds: " + std::to_string(seeds) + " seeds from first_seed " +
                              std::to_string(first) + " go past the last seed, " +
                              std::to_string(LAST_SEED));
    }
    return {first, static_cast<std::uint64_t>(seeds), coupling_list(coupling),
            thread_count(threads), chosen_path()};
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

py::dict run_one(long long seed, double coupling)
{
    const std::uint64_t chosen = seed_argument(seed, "seed");
    const double k = coupling_value(coupling);
    std::vector<seed_passes> passes(1);
    run_seed_passes(static_cast<std::uint32_t>(chosen), k, passes.data());
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

py::dict run_ensemble(long long seeds, long long first_seed, const py::object &coupling,
                      const py::object &threads)
{
    const seed_request request = read_request(seeds, first_seed, coupling, threads);
    const int count = request.coupling_count();
    ensemble_totals totals;
    std::vector<pass_row> rows;
    run_released([&](const auto &keep_going) {
        return run_table(
            request.job(), request.workers,
            [&](int, const seed_result *, std::uint64_t) { return keep_going() ? 0 : 1; }, &totals,
            &rows);
    });

    py::dict table;
    table["coupling"] = array_of(request.couplings.data(), {count});
    table["q"] = pass_numbers();
    table["agreement"] = agreements();
    const auto column = [&](double pass_row::*field) {
        py::array_t<double> values({static_cast<py::ssize_t>(count), py::ssize_t{PASS_COUNT}});
        for (std::size_t i = 0; i < rows.size(); ++i) {
            values.mutable_data()[i] = rows[i].*field;
        }
        return values;
    };
    table["mean_r"] = column(&pass_row::mean_r);
    table["sd_r"] = column(&pass_row::sd_r);
    table["r_q025"] = column(&pass_row::r_low);
    table["r_q500"] = column(&pass_row::r_median);
    table["r_q975"] = column(&pass_row::r_high);
    table["mean_rho"] = column(&pass_row::mean_rho);
    table["share_rho_band_excludes_zero"] = column(&pass_row::share_excluding_zero);
    table["law_r"] = column(&pass_row::law_r);
    table["seeds"] = seeds;
    table["first_seed"] = first_seed;
    table["few_turning_points"] = totals.few_turning_points;
    return table;
}

py::dict run_per_seed(long long seeds, long long first_seed, const py::object &coupling,
                      const py::object &threads, long long max_bytes)
{
    const seed_request request = read_request(seeds, first_seed, coupling, threads);
    const int count = request.coupling_count();
    // Three doubles per seed, coupling and pass, and the seed numbers.
    const double needed = static_cast<double>(seeds) *
                          (3.0 * count * PASS_COUNT * sizeof(double) + sizeof(std::int64_t));
    if (needed > static_cast<double>(max_bytes)) {
        char text[64];
        static_cast<void>(std::snprintf(text, sizeof text, "%.2f GiB", needed / 1073741824.0));
        throw py::value_error("per_seed: the result would take " + std::string(text) + " (" +
                              std::to_string(static_cast<unsigned long long>(needed)) +
                              " bytes), more than max_bytes=" + std::to_string(max_bytes) +
                              "; ask for fewer seeds or couplings, or raise max_bytes");
    }
    const py::ssize_t n = static_cast<py::ssize_t>(seeds);
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
            request.job(), request.workers, [&](const seed_result *results, std::uint64_t block) {
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
    per["r"] = r;
    per["rho"] = rho;
    per["bound"] = bound;
    return per;
}

const char *const RUN_DOC = R"(Runs the experiment once: seed's reference signal and its 128 passes.

Seed s is the one-shot experiment with the random generator's state word starting at s
(the program agreement_sweep runs seed 1 at coupling 0). Every array holds the exact doubles
behind the program's files, per pass q = 0 .. 127 (pass q keeps 127 - q step directions).

Args:
    seed: the generator's starting state word, 0 .. 4294967295 (int).
    coupling: the coupling coefficient k in [0, 1] (float); above 0 each step's size is tied
        to the reference step's size too, at 1 an agreeing step copies it.

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
)";

const char *const ENSEMBLE_DOC =
    R"(Runs the ensemble: the experiment for many seeds, summed up per coupling and pass.

The same doubles as agreement_ensemble's table (ensemble.csv, which prints them to six
decimals) for the same seeds, whatever the thread count or kernel path
(AGREEMENT_ENSEMBLE_ISA). The work runs on the program's kernels and worker threads with
the interpreter's lock released; Ctrl-C stops it within a fraction of a second.

Args:
    seeds: how many seeds, 1 or more (int); they are first_seed .. first_seed + seeds - 1,
        all within 0 .. 4294967295.
    first_seed: the first seed (int, default 1, the one-shot run's).
    coupling: a coupling coefficient k in [0, 1] or a sequence of them, run in the order
        given (default 0). Every k runs the same seeds, draws and masks.
    threads: worker threads, 1 .. 256, or None for the machine's hardware threads.

Returns a dict, K being the number of couplings:
    coupling (K,): the k values.
    q (128,): pass numbers 0 .. 127 (int64); agreement (128,): (127 - q) / 127.
    mean_r, sd_r (K, 128): mean and sample standard deviation (divisor N - 1; NaN for one
        seed) of r across the seeds.
    r_q025, r_q500, r_q975 (K, 128): exact 2.5 %, 50 % and 97.5 % quantiles of r (linear
        interpolation between order statistics).
    mean_rho (K, 128): mean rank correlation.
    share_rho_band_excludes_zero (K, 128): share of seeds whose band rho +- bound
        excludes zero.
    law_r (K, 128): the long-signal law's r at each agreement and k.
    seeds, first_seed (int): as asked; few_turning_points (int): reference signals below
        the turning-point test's bound.
)";

const char *const PER_SEED_DOC = R"(Runs the seeds and returns every seed's r, rho and bound.

The same doubles as agreement_ensemble --per-seed writes (to six decimals there), for any
thread count; the lock is released and Ctrl-C stops it, as for ensemble().

Args:
    seeds, first_seed, coupling, threads: as for ensemble().
    max_bytes: the largest result to build, in bytes (default 2 GiB): a call that would need
        more raises ValueError with the size it would take.

Returns a dict, N seeds and K couplings:
    seed (N,): the seed numbers (int64).
    coupling (K,): the k values.
    r, rho, bound (N, K, 128): r[i, c, q] is seed i's r at coupling c in pass q.
)";

const char *const LAW_DOC =
    R"(The long-signal law: the correlation r of the reference with a coupled signal of unbounded length.

    r = (2f - 1)(1 + k) sqrt((1 - k)(2 + k) / (2 [(1 - k)(k^2 + 5)
                                               + 4 f (1 - f)(1 + k)(k^2 + 4k + 1)]))

Args:
    f: the agreement fraction, the probability that a step's direction agrees (float or
        array).
    k: the coupling coefficient in [0, 1] (float or array), broadcast against f.

Returns r as a float for floats, else as a float64 array of the broadcast shape.
)";

} // namespace

PYBIND11_MODULE(agreement_sweep, module)
{
    module.doc() = "The agreement sweep experiment and its ensemble as NumPy arrays of exact "
                   "doubles: run(), ensemble(), per_seed() and law().";
    module.attr("__version__") = AGREEMENT_SWEEP_VERSION;
    module.attr("PASSES") = PASS_COUNT;
    module.def("run", &run_one, RUN_DOC, py::arg("seed") = 1, py::arg("coupling") = 0.0);
    module.def("ensemble", &run_ensemble, ENSEMBLE_DOC, py::arg("seeds") = 10000,
               py::arg("first_seed") = 1, py::arg("coupling") = 0.0,
               py::arg("threads") = py::none());
    module.def("per_seed", &run_per_seed, PER_SEED_DOC, py::arg("seeds") = 1000,
               py::arg("first_seed") = 1, py::arg("coupling") = 0.0,
               py::arg("threads") = py::none(), py::arg("max_bytes") = 2LL << 30);
    module.def("law", py::vectorize(long_signal_law), LAW_DOC, py::arg("f"), py::arg("k"));
}
