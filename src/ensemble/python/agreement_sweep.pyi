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
    """The ensemble's table: coupling (K,), q and agreement (128,), mean_r, sd_r, one
    r_qXXX per quantile (r_q025, r_q500, r_q975 by default), mean_rho,
    share_rho_band_excludes_zero, law_r, finite_law_r (K, 128); seeds, first_seed,
    few_turning_points (int); seed_ranges (list of (first, last)); state (bytes) with state=True."""

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
