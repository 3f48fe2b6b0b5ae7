// The Python module agreement_sweep: the experiment and the ensemble as NumPy arrays of the
// very doubles the programs print, with no text in between. A front end beside the command
// line, on the same flow, kernels and threads.
#include <pybind11/eval.h>

#include "python_module.h"

using namespace sweep_module;

namespace {

// The public functions are plain Python functions over the compiled ones, typed as the stub
// types them: help() shows their real signatures and types, where a compiled function shows
// up as a "method of builtins.PyCapsule instance" taking objects. Each takes the compiled
// one's text without its two signature lines, which its own replaces.
std::string public_functions()
{
    return R"(
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
)";
}

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
    // The table's columns, (name, shape, meaning) each, by which the tests hold the stub to
    // the table.
    module.attr("_TABLE_COLUMNS") = table_columns();
    // pybind11 keeps the docstring's pointer: the text lives as long as the module.
    static const std::string ensemble_doc = sweep_module::ensemble_doc();
    module.def("_run", &run_one, RUN_DOC, py::arg("seed") = 1, py::arg("coupling") = 0.0);
    // One default for both: a per_seed() call is an ensemble() call that keeps every value.
    module.def("_ensemble", &ensemble_arrays, ensemble_doc.c_str(),
               py::arg("seeds") = DEFAULT_SEEDS, py::arg("first_seed") = 1,
               py::arg("coupling") = 0.0, py::arg("threads") = py::none(),
               py::arg("quantiles") = py::none(), py::arg("state") = false);
    module.def("_merge", &merge_states, MERGE_DOC, py::arg("states"),
               py::arg("threads") = py::none(), py::arg("state") = false);
    module.def("_per_seed", &run_per_seed, PER_SEED_DOC, py::arg("seeds") = DEFAULT_SEEDS,
               py::arg("first_seed") = 1, py::arg("coupling") = 0.0,
               py::arg("threads") = py::none(), py::arg("max_bytes") = 2LL << 30);
    module.def("_law", &law, LAW_DOC, py::arg("f"), py::arg("k"));
    module.def("_finite_law", &finite_law, FINITE_LAW_DOC, py::arg("k"));
    py::exec(public_functions(), module.attr("__dict__"));
}
