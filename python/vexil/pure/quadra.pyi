# Type stub of the extension module vexil.pure.quadra.
# Written by scripts/gen_stubs.py from the built module: regenerate it rather than edit it.

import numpy as np
from typing import Callable, Dict, List, Optional, Tuple, Union

_PANDAS_OK: bool
_SCIPY_OK: bool
_EPS: float

ArrayLike = Union[np.ndarray, List[float], Tuple[float, ...]]
Marginal = Union[np.ndarray, Dict[str, np.ndarray]]

def orvo_is_marginal(marginal: Marginal) -> bool:
    """Return True if `marginal` is either:
    * a 2D ndarray with shape (n,2) and n>2
    * a dict with exactly keys {'x','y'}
    * a pandas DataFrame with columns 'x' and 'y'"""

def _as_xy(marginal: Marginal) -> Tuple[np.ndarray, np.ndarray, bool]:
    """Return (x, y, is_matrix_input)."""

def _to_dict_or_mat(x: np.ndarray, y: np.ndarray, as_matrix: bool) -> Marginal: ...

def orvo_marginal_fix(marginal: Marginal) -> Dict[str, np.ndarray]:
    """Remove points with non-positive density or density too small relative to max.
    x itself is not filtered; only y decides which points are kept."""

def _pchip(x: np.ndarray, y: np.ndarray): ...

def _cubic(x: np.ndarray, y: np.ndarray): ...

def orvo_spline(x_or_marginal: Marginal, **kwargs) -> Marginal:
    """Not strictly needed; provided for parity of the interface.
    If given a matrix or dict marginal, return the same structure after cubic interpolation
    onto an equally spaced grid (size inferred from input). Primarily used internally."""

def orvo_smarginal(marginal: Marginal, log: bool = False, extrapolate: float = 0.0, keep_type: bool = False, factor: int = 15) -> Marginal:
    """Interpolate a marginal density in log(y) using the 'nonuniform t-map' logic
    and resample it on a grid that is equally spaced in the t-map coordinate, with `factor`
    times as many points as the cleaned marginal. `log` returns log-densities; `extrapolate`
    widens the map by that fraction of the range on each side; `keep_type` returns the
    (n,2) matrix form for matrix input."""

def orvo_sfmarginal(marginal: Marginal):
    """Return {'range': (xmin,xmax), 'fun': callable} where `fun(x)` is log-density
    over the range; outside the range, you should treat as -inf."""

def _simpson_odd_grid(x: np.ndarray) -> np.ndarray:
    """Build the 'dx' weights for Simpson-like integration
    on a (possibly) non-equispaced grid."""

def orvo_emarginal(fun: Callable, marginal: Marginal, *args, **kwargs) -> np.ndarray:
    """Compute E[ fun(X) ] for X ~ `marginal`. Works if fun returns a vector per x."""

def orvo_dmarginal(x: ArrayLike, marginal: Marginal, log: bool = False) -> np.ndarray:
    """Evaluate density (or log-density) at points x. Returns 0 (or -inf) outside range."""

def orvo_pmarginal(q: ArrayLike, marginal: Marginal, normalize: bool = True, length: int = 2048) -> np.ndarray:
    """Compute P(X <= q).
    ``normalize`` is retained for API compatibility and ignored (the result is always normalized)."""

def orvo_qmarginal(p: ArrayLike, marginal: Marginal, length: int = 2048) -> np.ndarray:
    """Compute quantiles by inverting the CDF (monotone interpolation)."""

def _minimize_on_interval(f: Callable[[float], float], a: float, b: float, tol: float = 1e-06) -> float:
    """Minimize f on [a,b]. Use SciPy if present; otherwise do a golden-section search.
    Returns the argmin."""

def orvo_hpdmarginal(p: ArrayLike, marginal: Marginal, length: int = 2048) -> np.ndarray:
    """Highest Posterior Density (HPD) intervals for unimodal marginals.
    Returns an array of shape (len(p), 2) with columns [low, high]."""

def orvo_rmarginal(n: int, marginal: Marginal, rng: Optional[np.random.Generator] = None) -> np.ndarray:
    """Random draws from the marginal by inverse-CDF sampling."""

def orvo_deriv_func(fun: Callable[[ArrayLike], ArrayLike], step_size: float = 0.0006864518129765004) -> Callable[[ArrayLike], np.ndarray]:
    """Return a function computing derivative of `fun(x)` using a 5-point stencil.
    Assumes `fun` is vectorized."""

def orvo_tmarginal(fun: Callable[[ArrayLike], ArrayLike], marginal: Marginal, n: int = 2048, h_diff: float = 6.055454452393342e-05, method: str = 'quantile') -> Marginal:
    """Transform a marginal: Y = fun(X). Output is a new marginal approximation for Y."""

def orvo_mmarginal(marginal: Marginal) -> float:
    """Approximate mode of a marginal. Coarse grid via 1%..99% quantiles then refine."""

def orvo_zmarginal(marginal: Marginal, silent: bool = False) -> Dict[str, float]:
    """Summary: mean, sd, mode, selected quantiles. Prints (unless silent) and returns dict."""

def orvo_marginal_transform(fun, marginal, n: int = 2048, h_diff: float = 6.055454452393342e-05, method: str = 'quantile'): ...
