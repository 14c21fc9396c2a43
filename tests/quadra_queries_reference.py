"""Plain numpy/scipy transcription of the posterior-marginal algorithms of ``vexil.pure.quadra``.

Used by the query tests (as the independent statement of what every function computes) and by
``scripts/bench_quadra_queries.py`` (as the baseline the native module is timed against). Written the
way the algorithms read, one numpy call per step, with the two mends of ``orvo_qmarginal`` /
``orvo_emarginal`` and the two of the golden-section fallback applied.

``scipy=False`` selects the paths taken when scipy is not available (linear interpolation, golden
section search).
"""

import math

import numpy as np

try:
    from scipy.interpolate import CubicSpline, PchipInterpolator
    from scipy.optimize import minimize_scalar

    HAVE_SCIPY = True
except Exception:  # pragma: no cover - the test environment has scipy
    HAVE_SCIPY = False

from quadra_reference import EPS, as_xy, marginal_fix, to_dict_or_mat


class Ref:
    """The module's algorithms with a fixed choice of interpolator/minimiser."""

    def __init__(self, scipy=True):
        self.scipy = scipy and HAVE_SCIPY
        self.evaluations = 0  # objective evaluations of the last golden-section search

    # -- marginal input (the same steps as the smoothing's reference) ------------------------------------
    as_xy = staticmethod(as_xy)
    to_dict_or_mat = staticmethod(to_dict_or_mat)
    fix = staticmethod(marginal_fix)

    # -- interpolators --------------------------------------------------------------------------------------
    def pchip(self, x, y):
        if self.scipy:
            return PchipInterpolator(x, y, extrapolate=False)
        return lambda xx: np.interp(xx, x, y, left=np.nan, right=np.nan)

    def cubic(self, x, y):
        if self.scipy:
            return CubicSpline(x, y, bc_type="not-a-knot", extrapolate=False)
        return lambda xx: np.interp(xx, x, y, left=np.nan, right=np.nan)

    # -- smoothing --------------------------------------------------------------------------------------------
    def smarginal(self, marginal, log=False, extrapolate=0.0, keep_type=False, factor=15):
        x_in, y_in, is_mat = self.as_xy(marginal)
        c = self.fix({"x": x_in, "y": y_in})
        x, y = c["x"], c["y"]
        k = len(x)
        r = np.ptp(x)
        xmin = x.min() - extrapolate * r
        xmax = x.max() + extrapolate * r
        xk = np.concatenate(([xmin], x, [xmax])) if extrapolate != 0.0 else x.copy()
        nx = len(xk)
        n = factor * k
        if nx > n:
            n = nx
        dx = np.diff(xk)
        mean_dx = dx.mean()
        raw = np.concatenate(([0.0], np.cumsum(np.sqrt(nx * dx / mean_dx))))
        t = xmin + (xmax - xmin) * (raw - raw.min()) / (raw.max() - raw.min())
        t2x = self.pchip(t, xk)
        x2t = self.pchip(xk, t)
        grid = np.linspace(t.min(), t.max(), num=n)
        ti = x2t(x)
        ly = self.pchip(ti, np.log(y))(grid)
        xs = t2x(grid)
        if log:
            ans = {"x": xs, "y": ly}
        else:
            ans = self.fix({"x": xs, "y": np.exp(ly)})
        return self.to_dict_or_mat(ans["x"], ans["y"], is_mat and keep_type)

    def sfmarginal(self, marginal):
        c = self.fix(marginal)
        x, y = c["x"], c["y"]
        S = self.cubic(x, np.log(y))

        def _fun(xx):
            return S(np.asarray(xx, dtype=float))

        return {"range": (x.min(), x.max()), "fun": _fun}

    # -- queries ----------------------------------------------------------------------------------------------
    @staticmethod
    def simpson_odd_grid(x):
        dx = np.diff(x)
        return 0.5 * (np.r_[dx, 0.0] + np.r_[0.0, dx])

    def emarginal(self, fun, marginal, *args, **kwargs):
        xx = self.smarginal(marginal)
        x, y = xx["x"], xx["y"]
        n = len(x)
        if n % 2 == 0:
            x, y, n = x[:-1], y[:-1], n - 1
        dxw = self.simpson_odd_grid(x)
        fvals = np.asarray(fun(x, *args, **kwargs))
        if fvals.ndim == 1:
            fvals = fvals[:, None]
        elif fvals.ndim == 0 or fvals.shape[0] != n:
            raise ValueError("fun(x) must return an array with first dimension equal to len(x).")
        integrand = fvals * (y * dxw)[:, None]
        i4 = np.arange(1, n - 1, 2)
        i2 = np.arange(2, n - 1, 2)

        def _simpson_sum(arr):
            return arr[0] + arr[-1] + 4.0 * arr[i4].sum(axis=0) + 2.0 * arr[i2].sum(axis=0)

        return np.squeeze(_simpson_sum(integrand) / _simpson_sum((y * dxw)[:, None]))

    def dmarginal(self, x, marginal, log=False):
        f = self.sfmarginal(self.smarginal(marginal))
        rng, fun = f["range"], f["fun"]
        x = np.asarray(x, dtype=float)
        out = np.empty_like(x)
        inside = (x >= rng[0]) & (x <= rng[1])
        if np.any(inside):
            lv = fun(x[inside])
            out[inside] = lv if log else np.exp(lv)
        out[~inside] = -np.inf if log else 0.0
        return out

    def grid_cdf(self, marginal, length):
        f = self.sfmarginal(self.smarginal(marginal))
        rng, fun = f["range"], f["fun"]
        xx = np.linspace(rng[0], rng[1], num=length)
        ef = np.exp(fun(xx))
        dx = xx[1] - xx[0]
        cdf = np.r_[0.0, np.cumsum(0.5 * (ef[:-1] + ef[1:]) * dx)]
        cdf = cdf / cdf[-1]
        return rng, xx, cdf

    @staticmethod
    def thin(cdf, xx):
        for target in (0.0, 1.0):
            idx = np.where(np.abs(cdf - target) <= EPS)[0]
            if len(idx) > 1:
                keep = np.ones_like(cdf, dtype=bool)
                keep[idx[1:]] = False
                cdf, xx = cdf[keep], xx[keep]
        return cdf, xx

    def pmarginal(self, q, marginal, normalize=True, length=2048):
        rng, xx, cdf = self.grid_cdf(marginal, int(length))
        fq = self.pchip(xx, cdf)
        return fq(np.clip(np.asarray(q, dtype=float), rng[0], rng[1]))

    def qmarginal(self, p, marginal, length=2048):
        rng, xx, cdf = self.grid_cdf(marginal, int(length))
        cdf, xx = self.thin(cdf, xx)
        F_inv = self.pchip(cdf, xx)
        pp = np.clip(np.asarray(p, dtype=float), 0.0, 1.0)
        out = np.asarray(F_inv(pp), dtype=float)
        # probabilities at or above the largest retained distribution value give its grid point
        return np.where(pp >= cdf[-1], xx[-1], out)

    def minimize(self, f, a, b, tol=1e-06):
        a, b, tol = float(a), float(b), float(tol)
        if self.scipy:
            return float(minimize_scalar(f, bounds=(a, b), method="bounded", options={"xatol": tol}).x)
        return golden(f, a, b, tol, self)

    def hpdmarginal(self, p, marginal, length=2048):
        sm = self.smarginal(marginal, keep_type=False)
        f = self.sfmarginal(sm)
        rng, fun = f["range"], f["fun"]
        xx = np.linspace(rng[0], rng[1], num=int(length))
        dx = xx[1] - xx[0]
        ef = np.exp(fun(xx))
        ab = np.r_[xx.min() - dx, xx, xx.max() + dx]
        vals = np.cumsum(np.r_[0.0, ef, 0.0])
        vals = vals / vals[-1]
        vals, ab = self.thin(vals, ab)
        F_inv = self.pchip(vals, ab)
        p = np.atleast_1d(np.asarray(p, dtype=float))
        conf = 1.0 - np.clip(p, 0.0, 1.0)

        def width(x0, conf):
            return float(F_inv(1.0 - conf + x0) - F_inv(x0))

        out = np.empty((p.size, 2), dtype=float)
        for i, c in enumerate(conf):
            c = float(c)
            x0 = self.minimize(lambda z: width(z, c), 0.0, c, tol=1e-06)
            low = float(F_inv(x0))
            high = float(F_inv(1.0 - c + x0))
            low = min(rng[1], max(low, rng[0]))
            high = min(rng[1], max(high, rng[0]))
            out[i] = [low, high]
        return out

    def mmarginal(self, marginal):
        p = np.arange(0.01, 1.0, 0.01)
        x = self.qmarginal(p, marginal)
        dlog = self.dmarginal(x, marginal, log=True)
        i = int(np.argmax(dlog))
        a = x[max(0, i - 1)]
        b = x[min(len(x) - 1, i + 1)]

        def neglog(u):
            return float(-self.dmarginal([u], marginal, log=True)[0])

        return self.minimize(neglog, float(a), float(b), tol=1e-06)

    def mmarginal_smoothed_once(self, marginal):
        """The same mode, with the log-density built once (what the native module does)."""
        p = np.arange(0.01, 1.0, 0.01)
        x = self.qmarginal(p, marginal)
        f = self.sfmarginal(self.smarginal(marginal))
        rng, fun = f["range"], f["fun"]

        def logd(v):
            v = np.asarray(v, dtype=float)
            out = np.full(v.shape, -np.inf)
            inside = (v >= rng[0]) & (v <= rng[1])
            out[inside] = fun(v[inside])
            return out

        dlog = logd(x)
        i = int(np.argmax(dlog))
        a = x[max(0, i - 1)]
        b = x[min(len(x) - 1, i + 1)]
        return self.minimize(lambda u: float(-logd([u])[0]), float(a), float(b), tol=1e-06)

    def zmarginal(self, marginal, fast_mode=True):
        m = self.emarginal(lambda xx: np.column_stack([xx, xx**2]), marginal)
        mean = float(m[0])
        sd = float(np.sqrt(max(0.0, m[1] - mean**2)))
        qs = self.qmarginal([0.025, 0.25, 0.5, 0.75, 0.975], marginal)
        mode = self.mmarginal_smoothed_once(marginal) if fast_mode else self.mmarginal(marginal)
        return {
            "mean": mean,
            "sd": sd,
            "quant0.025": float(qs[0]),
            "quant0.25": float(qs[1]),
            "quant0.5": float(qs[2]),
            "quant0.75": float(qs[3]),
            "quant0.975": float(qs[4]),
            "mode": float(mode),
        }

    def rmarginal(self, n, marginal, rng=None):
        if rng is None:
            rng = np.random.default_rng()
        return self.qmarginal(rng.uniform(size=int(n)), marginal)

    @staticmethod
    def deriv(fun, h):
        def fd(x):
            x = np.asarray(x, dtype=float)
            f1, f2, f3, f4 = fun(x + h * 2), fun(x + h), fun(x - h), fun(x - h * 2)
            return ((-f1 + 8.0 * f2) - 8.0 * f3 + f4) / (h * 12)

        return fd

    def tmarginal(self, fun, marginal, n=2048, h_diff=EPS ** (1 / 3), method="quantile"):
        is_mat = isinstance(marginal, np.ndarray)
        m = self.smarginal(marginal)
        lo, hi = m["x"].min(), m["x"].max()
        method = method.lower()
        if method == "quantile":
            xx = self.qmarginal(np.arange(1, n + 1) / (n + 1.0), marginal)
        elif method == "linear":
            xx = np.linspace(lo, hi, num=n)
        else:
            raise ValueError("Unknown method; use 'quantile' or 'linear'.")
        x = np.asarray(fun(xx), dtype=float)
        fd = self.deriv(fun, h_diff)
        denom = np.clip(np.abs(fd(xx)), 1e-12, np.inf)
        dens = self.dmarginal(xx, marginal, log=False) / denom
        if x[0] > x[-1]:
            x, dens = x[::-1], dens[::-1]
        return self.to_dict_or_mat(x, dens, is_mat)


def golden(f, a, b, tol, counter=None, mended=True, max_rounds=None):
    """The golden-section fallback; ``mended`` adds the two repairs (finite bounds, a bracket that can
    shrink no further ends the search). ``max_rounds`` bounds an unmended run (returns None when hit)."""
    if mended and not (math.isfinite(a) and math.isfinite(b)):
        raise ValueError("Optimization bounds must be finite scalars.")
    gr = (np.sqrt(5.0) - 1.0) / 2.0
    c = b - gr * (b - a)
    d = a + gr * (b - a)
    fc, fd = f(c), f(d)
    evaluations = 2
    seen = [(a, b, c, d)]
    rounds = 0
    while abs(b - a) > tol * (1.0 + abs(a) + abs(b)):
        if max_rounds is not None and rounds >= max_rounds:
            return None
        rounds += 1
        a0, b0 = a, b
        if fc < fd:
            b, d, fd = d, c, fc
            c = b - gr * (b - a)
            fc = f(c)
        else:
            a, c, fc = c, d, fd
            d = a + gr * (b - a)
            fd = f(d)
        evaluations += 1
        if mended:
            if a != a0 or b != b0:
                seen = []
            state = (a, b, c, d)
            if state in seen:
                break
            seen.append(state)
    if counter is not None:
        counter.evaluations = evaluations
    return float(0.5 * (a + b))


def golden_unmended_terminates(f, a, b, tol, max_rounds=100000):
    return golden(f, a, b, tol, mended=False, max_rounds=max_rounds)
