// The module's one-seed run, its per-seed values and the two laws.
#include <cmath>
#include <cstdio>
#include <cstring>

#include "python_module.h"
#include "theory.h"

namespace sweep_module {

namespace {

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

} // namespace

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

} // namespace sweep_module
