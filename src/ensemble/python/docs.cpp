// The module's docstrings.
#include "python_module.h"

namespace sweep_module {

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

namespace {

// ensemble()'s docstring up to its table's columns, and after them.
const char *const ENSEMBLE_DOC_START =
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
)";

const char *const ENSEMBLE_DOC_END =
    R"(    seeds, first_seed (int): as asked; seed_ranges (list of (first, last)): the seeds the
        figures cover; few_turning_points (int): reference signals below the turning-point
        test's bound.
    state (bytes): with state=True, the study's state (as agreement_ensemble --state writes).

Raises:
    TypeError: a count that is not an int (a bool, a float, a str), a coupling that is not a
        real number or a flat sequence of them.
    ValueError: a count or k out of its range (NaN included), no coupling, more than 1001.
)";

// The array's shape, and its type when not float64.
std::string column_shape(const table_column &column)
{
    const char *const shape =
        column.source == column_source::coupling_value ? "(K,)"
        : column.source == column_source::pass_value || column.source == column_source::pass_number
            ? "(128,)"
            : "(K, 128)";
    return column.format == column_format::integer ? std::string(shape) + ", int64" : shape;
}

} // namespace

py::tuple table_columns()
{
    py::list each;
    for (const table_column &column : TABLE_COLUMNS) {
        each.append(py::make_tuple(column.name, column_shape(column), column.meaning));
    }
    return py::tuple(each);
}

std::string ensemble_doc()
{
    std::string doc = ENSEMBLE_DOC_START;
    for (const table_column &column : TABLE_COLUMNS) {
        const std::string entry =
            std::string(column.name) + " " + column_shape(column) + ": " + column.meaning + ".";
        doc += wrap_words(entry, 92, "    ", "        ");
    }
    return doc + ENSEMBLE_DOC_END;
}

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

} // namespace sweep_module
