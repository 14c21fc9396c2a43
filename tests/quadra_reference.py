"""Plain numpy/scipy implementation of the marginal toolbox, written the straightforward way.

The tests compare the extension module against it, and scripts/bench_quadra.py times it as the baseline.
`scipy_ok=False` selects the linear fallback of the interpolators.
"""
import numpy as np

try:
    from scipy.interpolate import CubicSpline, PchipInterpolator

    SCIPY = True
except Exception:  # pragma: no cover - exercised only where scipy is missing
    SCIPY = False

try:
    import pandas as pd

    PANDAS = True
except ImportError:
    PANDAS = False

EPS = np.finfo(float).eps * 1000.0


def as_xy(marginal):
    if PANDAS and isinstance(marginal, pd.DataFrame):
        if "x" not in marginal.columns or "y" not in marginal.columns:
            raise ValueError("DataFrame marginal must have columns 'x' and 'y'.")
        return np.asarray(marginal["x"], dtype=float), np.asarray(marginal["y"], dtype=float), False
    if isinstance(marginal, np.ndarray):
        if marginal.ndim != 2 or marginal.shape[1] != 2:
            raise ValueError("Matrix marginal must be an (n,2) array.")
        return np.asarray(marginal[:, 0], dtype=float), np.asarray(marginal[:, 1], dtype=float), True
    if isinstance(marginal, dict):
        return np.asarray(marginal["x"], dtype=float), np.asarray(marginal["y"], dtype=float), False
    raise TypeError(
        "Marginal must be an (n,2) array, dict with keys {'x','y'}, or pandas DataFrame with 'x' and 'y' columns."
    )


def to_dict_or_mat(x, y, as_matrix):
    if as_matrix:
        return np.column_stack([x, y])
    return {"x": x, "y": y}


def marginal_fix(marginal):
    x, y, _ = as_xy(marginal)
    keep = ~np.isnan(y)
    x, y = x[keep], y[keep]
    if len(y) == 0:
        raise ValueError("Marginal has no finite density points after NaN removal.")
    idx = np.argsort(x)
    x, y = x[idx], y[idx]
    ymax = np.max(y)
    with np.errstate(divide="ignore", invalid="ignore"):
        keep = (y > 0.0) & (np.abs(y / ymax) > EPS)
    x, y = x[keep], y[keep]
    if x.size < 3:
        raise ValueError("Marginal too small after filtering. Need >=3 support points.")
    return {"x": x, "y": y}


def _linear(x, y):
    def f(xx):
        return np.interp(xx, x, y, left=np.nan, right=np.nan)

    return f


def pchip(x, y, scipy_ok=True):
    if scipy_ok:
        return PchipInterpolator(x, y, extrapolate=False)
    return _linear(x, y)


def cubic(x, y, scipy_ok=True):
    if scipy_ok:
        return CubicSpline(x, y, bc_type="not-a-knot", extrapolate=False)
    return _linear(x, y)


def spline(m, scipy_ok=True):
    x, y, is_mat = as_xy(m)
    f = marginal_fix({"x": x, "y": y})
    x, y = f["x"], f["y"]
    grid = np.linspace(x.min(), x.max(), num=len(x))
    S = cubic(x, np.log(y), scipy_ok)
    return to_dict_or_mat(grid, np.exp(S(grid)), is_mat)


def smarginal(marginal, log=False, extrapolate=0.0, keep_type=False, factor=15, scipy_ok=True):
    factor = int(factor)
    x_in, y_in, is_mat = as_xy(marginal)
    f = marginal_fix({"x": x_in, "y": y_in})
    x, y = f["x"], f["y"]
    r = np.ptp(x)
    xmin = x.min() - extrapolate * r
    xmax = x.max() + extrapolate * r
    if extrapolate != 0.0:
        xk = np.concatenate(([xmin], x, [xmax]))
    else:
        xk = x.copy()
    nx = len(xk)
    n = factor * len(x)
    if nx > n:
        n = nx
    dx = np.diff(xk)
    mean_dx = dx.mean()
    scaled = nx * dx / mean_dx
    raw = np.concatenate(([0.0], np.cumsum(np.sqrt(scaled))))
    t = xmin + (xmax - xmin) * (raw - raw.min()) / (raw.max() - raw.min())
    t2x = pchip(t, xk, scipy_ok)
    x2t = pchip(xk, t, scipy_ok)
    grid = np.linspace(t.min(), t.max(), num=n)
    ti = x2t(x)
    ly = pchip(ti, np.log(y), scipy_ok)(grid)
    xs = t2x(grid)
    if log:
        ans = {"x": xs, "y": ly}
    else:
        ans = marginal_fix({"x": xs, "y": np.exp(ly)})
    return to_dict_or_mat(ans["x"], ans["y"], is_mat and keep_type)


def sfmarginal(marginal, scipy_ok=True):
    f = marginal_fix(marginal)
    x, y = f["x"], f["y"]
    rng = (x.min(), x.max())
    S = cubic(x, np.log(y), scipy_ok)

    def fun(xx):
        return S(np.asarray(xx, dtype=float))

    return {"range": rng, "fun": fun}
