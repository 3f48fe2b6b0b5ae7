"""The agreement sweep experiment and its ensemble as NumPy arrays of exact doubles."""
from typing import Any, Dict, Sequence, Union

import numpy as np
import numpy.typing as npt

__version__: str
PASSES: int  # passes per experiment, 128

# Counts take ints and NumPy integers, never bools.
Count = Union[int, np.integer[Any]]
# Couplings run as the double nearest their six-decimal text, in the order given.
Coupling = Union[float, Sequence[float], npt.NDArray[np.floating[Any]]]

def run(seed: Count = 1, coupling: float = 0.0) -> Dict[str, Any]:
    """One experiment: r, rho, bound, mean, variance, agreement and reference (128,),
    signals (128, 128), turning_points (int)."""

def ensemble(
    seeds: Count = 10000,
    first_seed: Count = 1,
    coupling: Coupling = 0.0,
    threads: Union[Count, None] = None,
    quantiles: Union[float, Sequence[float], None] = None,
    state: bool = False,
) -> Dict[str, Any]:
    """The ensemble's table as a dict, K being the number of couplings:
    coupling (K,): the coupling coefficient k.
    q (128,), int64: the pass, 0 .. 127.
    agreement (128,): the agreement fraction (127 - q) / 127.
    mean_r (K, 128): mean of r over the seeds.
    sd_r (K, 128): sample standard deviation of r, divisor N - 1 (not a number for one
        seed).
    r_qXXX (K, 128): one column per quantile of r asked for, named by its probability in per
        mille (r_q025, r_q500, r_q975 by default; r_q000.5 for 0.0005): exact quantiles of
        r, interpolated linearly between order statistics.
    mean_rho (K, 128): mean rank correlation against time.
    share_rho_band_excludes_zero (K, 128): share of seeds whose band rho +- bound excludes
        zero.
    law_r (K, 128): the long-signal law's r at this agreement and k.
    finite_law_r (K, 128): the finite-length law's mean r at this pass and k, for signals of
        128 levels; it adds about 0.4 s of one thread per k.
    seeds, first_seed, few_turning_points (int); seed_ranges (list of (first, last)); state
    (bytes) with state=True."""

def merge(
    states: Sequence[bytes],
    threads: Union[Count, None] = None,
    state: bool = False,
) -> Dict[str, Any]:
    """The table of the union of the states' seeds, as ensemble() returns it: the same
    doubles as one call over all of them."""

def per_seed(
    seeds: Count = 10000,
    first_seed: Count = 1,
    coupling: Coupling = 0.0,
    threads: Union[Count, None] = None,
    max_bytes: Count = 2147483648,  # 2 GiB
) -> Dict[str, Any]:
    """Every seed's values: seed (N,), coupling (K,), q and agreement (128,), r, rho,
    bound (N, K, 128)."""

def law(f: npt.ArrayLike, k: npt.ArrayLike) -> Union[float, npt.NDArray[np.float64]]:
    """The long-signal law's r at agreement fraction f and coupling k, both in [0, 1],
    broadcast: a float for two numbers, else an array."""

def finite_law(k: npt.ArrayLike) -> npt.NDArray[np.float64]:
    """The finite-length law's mean r at each pass q = 0 .. 127 for coupling k in [0, 1]:
    shape k.shape + (128,)."""
