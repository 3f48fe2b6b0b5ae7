"""The agreement sweep experiment and its ensemble as NumPy arrays of exact doubles."""
from typing import Any, Dict, Optional, Sequence, Union

import numpy as np
import numpy.typing as npt

__version__: str
PASSES: int  # passes per experiment, 128

Coupling = Union[float, Sequence[float], npt.NDArray[np.float64]]

def run(seed: int = 1, coupling: float = 0.0) -> Dict[str, Any]:
    """One experiment: r, rho, bound, mean, variance, agreement and reference (128,),
    signals (128, 128), turning_points (int)."""

def ensemble(
    seeds: int = 10000,
    first_seed: int = 1,
    coupling: Coupling = 0.0,
    threads: Optional[int] = None,
) -> Dict[str, Any]:
    """The ensemble's table: coupling (K,), q and agreement (128,), mean_r, sd_r, r_q025,
    r_q500, r_q975, mean_rho, share_rho_band_excludes_zero, law_r (K, 128); seeds,
    first_seed, few_turning_points (int)."""

def per_seed(
    seeds: int = 1000,
    first_seed: int = 1,
    coupling: Coupling = 0.0,
    threads: Optional[int] = None,
    max_bytes: int = 2 << 30,
) -> Dict[str, Any]:
    """Every seed's values: seed (N,), coupling (K,), r, rho, bound (N, K, 128)."""

def law(f: Union[float, npt.ArrayLike], k: Union[float, npt.ArrayLike]) -> Any:
    """The long-signal law's r at agreement fraction f and coupling k, broadcast."""
