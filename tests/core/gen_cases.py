"""Reference values for the C++ tests of the numeric core, computed with numpy and scipy.

Usage: python gen_cases.py GROUP OUTFILE   (GROUP: numeric, interp, smooth, queries, minimise)

The algorithms below are written the way the marginal module's Python-level algorithms are written (numpy
array operations, scipy interpolators and minimiser), independently of the C++ code. The output is a
binary stream of records:
    b"A" u32 keylen, key, u64 count, count float64 (little endian)    an array
    b"S" u32 keylen, key, u32 textlen, text (utf-8)                   a string
A record with key "case" (a string: the case's label) starts a new case.
"""

import math
import struct
import sys

import numpy as np
from scipy.interpolate import CubicSpline, PchipInterpolator
from scipy.optimize import minimize_scalar

EPS = np.finfo(float).eps * 1000.0
NAN = float("nan")


class Writer:
    def __init__(self, path):
        self.f = open(path, "wb")

    def case(self, label):
        self.text("case", label)

    def arr(self, key, values):
        a = np.ascontiguousarray(np.asarray(values, dtype="<f8")).ravel()
        k = key.encode()
        self.f.write(b"A" + struct.pack("<I", len(k)) + k + struct.pack("<Q", a.size) + a.tobytes())

    def num(self, key, value):
        self.arr(key, [float(value)])

    def text(self, key, value):
        k = key.encode()
        v = value.encode()
        self.f.write(b"S" + struct.pack("<I", len(k)) + k + struct.pack("<I", len(v)) + v)

    def close(self):
        self.f.close()


# ----------------------------------------------------------------------------------------------------------
# Transcription of the marginal algorithms (numpy / scipy)


def marginal_fix(x, y, order_out=None):
    x = np.asarray(x, dtype=float)
    y = np.asarray(y, dtype=float)
    m = ~np.isnan(y)
    x = x[m]
    y = y[m]
    if len(y) == 0:
        raise ValueError("Marginal has no finite density points after NaN removal.")
    o = np.argsort(x)
    if order_out is not None:
        order_out.append(o)
    x = x[o]
    y = y[o]
    ymax = np.max(y)
    with np.errstate(all="ignore"):
        keep = (y > 0.0) & (np.abs(y / ymax) > EPS)
    x = x[keep]
    y = y[keep]
    if x.size < 3:
        raise ValueError("Marginal too small after filtering. Need >=3 support points.")
    return x, y


def pchip(scipy_ok, x, y):
    if scipy_ok:
        return PchipInterpolator(x, y, extrapolate=False)
    return lambda xx: np.interp(xx, x, y, left=np.nan, right=np.nan)


def cubic(scipy_ok, x, y):
    if scipy_ok:
        return CubicSpline(x, y, bc_type="not-a-knot", extrapolate=False)
    return lambda xx: np.interp(xx, x, y, left=np.nan, right=np.nan)


def smarginal(x, y, log=False, extrapolate=0.0, factor=15, scipy_ok=True):
    x, y = marginal_fix(x, y)
    k = len(x)
    r = np.ptp(x)
    xmin = x.min() - extrapolate * r
    xmax = x.max() + extrapolate * r
    if extrapolate != 0.0:
        xk = np.concatenate(([xmin], x, [xmax]))
    else:
        xk = x.copy()
    nx = len(xk)
    n = factor * k
    if nx > factor * k:
        n = nx
    dx = np.diff(xk)
    mean_dx = np.mean(dx)
    scaled = nx * dx / mean_dx
    raw = np.concatenate(([0.0], np.cumsum(np.sqrt(scaled))))
    t = xmin + (xmax - xmin) * (raw - raw.min()) / (raw.max() - raw.min())
    t2x = pchip(scipy_ok, t, xk)
    x2t = pchip(scipy_ok, xk, t)
    grid = np.linspace(t.min(), t.max(), num=n)
    ti = x2t(x)
    logd = pchip(scipy_ok, ti, np.log(y))(grid)
    xs = t2x(grid)
    if log:
        return xs, logd
    with np.errstate(all="ignore"):
        return marginal_fix(xs, np.exp(logd))


def sfmarginal(x, y, scipy_ok=True):
    x, y = marginal_fix(x, y)
    return (x.min(), x.max()), cubic(scipy_ok, x, np.log(y))


def grid_cdf(rng, fun, length):
    xx = np.linspace(rng[0], rng[1], num=length)
    ef = np.exp(fun(xx))
    dx = xx[1] - xx[0]
    cdf = np.r_[0.0, np.cumsum(0.5 * (ef[:-1] + ef[1:]) * dx)]
    return xx, cdf / cdf[-1]


def thin(cdf, xx):
    for target in (0.0, 1.0):
        idx = np.where(np.abs(cdf - target) <= EPS)[0]
        if len(idx) > 1:
            keep = np.ones_like(cdf, dtype=bool)
            keep[idx[1:]] = False
            cdf = cdf[keep]
            xx = xx[keep]
    return cdf, xx


def dmarginal(x, rng, fun, log=False):
    x = np.asarray(x, dtype=float)
    out = np.empty_like(x)
    inside = (x >= rng[0]) & (x <= rng[1])
    if np.any(inside):
        lv = fun(x[inside])
        out[inside] = lv if log else np.exp(lv)
    out[~inside] = -np.inf if log else 0.0
    return out


def golden_unmended(f, a, b, tol, calls=None, max_rounds=100000):
    gr = (np.sqrt(5.0) - 1.0) / 2.0
    c = b - gr * (b - a)
    d = a + gr * (b - a)
    fc = f(c)
    fd = f(d)
    rounds = 0
    while abs(b - a) > tol * (1.0 + abs(a) + abs(b)):
        rounds += 1
        if rounds > max_rounds:
            return None
        if fc < fd:
            b = d
            d = c
            fd = fc
            c = b - gr * (b - a)
            fc = f(c)
        else:
            a = c
            c = d
            fc = fd
            d = a + gr * (b - a)
            fd = f(d)
    return float(0.5 * (a + b))


def minimize_on_interval(f, a, b, tol, scipy_ok):
    if scipy_ok:
        res = minimize_scalar(f, bounds=(a, b), method="bounded", options={"xatol": tol})
        return float(res.x)
    return golden_unmended(f, float(a), float(b), float(tol))


def simpson_odd_grid(x):
    dx = np.diff(x)
    return 0.5 * (np.r_[dx, 0.0] + np.r_[0.0, dx])


def emarginal(fvals_fn, xs, ys):
    x, y = xs, ys
    n = len(x)
    if n % 2 == 0:
        x = x[:-1]
        y = y[:-1]
        n -= 1
    dxw = simpson_odd_grid(x)
    fvals = np.asarray(fvals_fn(x))
    if fvals.ndim == 1:
        fvals = fvals[:, None]
    integrand = fvals * (y * dxw)[:, None]
    i4 = np.arange(1, n - 1, 2)
    i2 = np.arange(2, n - 1, 2)

    def ssum(arr):
        return arr[0] + arr[-1] + 4.0 * arr[i4].sum(axis=0) + 2.0 * arr[i2].sum(axis=0)

    return np.squeeze(ssum(integrand) / ssum((y * dxw)[:, None])), x, fvals


# ----------------------------------------------------------------------------------------------------------
# Test data


def random_marginal(rng, k, kind):
    """A tabulated density on k points with uneven spacing."""
    if kind == "gamma":
        x = np.sort(rng.gamma(2.0, 1.5, k)) + rng.uniform(-1, 1)
        shape = rng.uniform(1.5, 6.0)
        y = np.exp((shape - 1.0) * np.log(np.maximum(x - x.min() + 0.05, 1e-3)) - x)
    elif kind == "normal":
        x = np.sort(rng.normal(rng.uniform(-5, 5), rng.uniform(0.1, 10), k))
        mu, sd = np.mean(x), np.std(x) * rng.uniform(0.3, 1.2) + 1e-9
        y = np.exp(-0.5 * ((x - mu) / sd) ** 2) * rng.uniform(0.01, 100)
    elif kind == "clustered":
        x = np.sort(np.concatenate([rng.normal(0, 0.01, k // 2), rng.uniform(-3, 3, k - k // 2)]))
        y = np.exp(-np.abs(x)) + 1e-3
    else:  # "exp": spacing over orders of magnitude, heavy tail
        x = np.cumsum(rng.exponential(1.0, k) * 10.0 ** rng.uniform(-3, 1, k)) * 10.0 ** rng.uniform(-3, 3)
        y = np.exp(-x / x.mean()) * (1.0 + 0.2 * rng.uniform(size=k))
    return x, y


def gen_numeric(w):
    rng = np.random.default_rng(11)
    sizes = list(range(0, 40)) + [63, 64, 65, 127, 128, 129, 255, 256, 257, 1000, 3000, 10007, 40000]
    for n in sizes:
        a = rng.standard_normal(n) * 10.0 ** rng.uniform(-8, 8, n)
        w.case(f"sum {n}")
        w.arr("a", a)
        w.num("sum", np.sum(a))
        w.num("mean", np.mean(a) if n else NAN)
        w.arr("cumsum", np.cumsum(a))
        w.arr("diff", np.diff(a))
    lins = [(0.0, 1.0, 50), (-3.2, 7.9, 2048), (1.0, 1.0, 5), (0.0, 5e-324, 4), (5.0, -2.5, 7),
            (1e300, -1e300, 9), (0.3, 0.7, 1), (0.3, 0.7, 2), (0.1, 0.2, 0), (-0.0, 1e-310, 3)]
    for _ in range(40):
        lins.append((rng.uniform(-100, 100), rng.uniform(-100, 100), int(rng.integers(2, 5000))))
    for a, b, n in lins:
        w.case(f"linspace {a} {b} {n}")
        w.arr("args", [a, b, n])
        w.arr("out", np.linspace(a, b, num=n))
    for a, b, s in [(0.01, 1.0, 0.01), (0.0, 1.0, 0.1), (1.0, 2.0, 0.3), (0.5, 0.4, 0.1)]:
        w.case(f"arange {a} {b} {s}")
        w.arr("args", [a, b, s])
        w.arr("out", np.arange(a, b, s))
    # np.interp, including unsorted and repeated knots, NaN queries and NaN/inf in the table.
    interp_cases = []
    for n in [1, 2, 3, 4, 5, 9, 40, 300]:
        xp = np.sort(rng.uniform(-5, 5, n))
        fp = rng.standard_normal(n)
        interp_cases.append((xp, fp))
        xp2 = rng.uniform(-5, 5, n)  # unsorted
        interp_cases.append((xp2, fp))
        xp3 = np.sort(np.round(rng.uniform(-3, 3, n)))  # repeated knots
        interp_cases.append((xp3, fp))
    interp_cases.append((np.array([0.0, 1.0, 2.0, 3.0]), np.array([0.0, 1.0, NAN, 3.0])))
    interp_cases.append((np.array([0.0, 1.0, 2.0]), np.array([-np.inf, np.inf, 1.0])))
    interp_cases.append((np.array([0.0, np.inf]), np.array([0.0, 1.0])))
    interp_cases.append((np.array([0.0, 1.0, NAN, 3.0, 4.0, 5.0]), np.arange(6.0)))
    for xp, fp in interp_cases:
        q = np.concatenate([rng.uniform(-6, 6, 200), xp, [NAN, -np.inf, np.inf, xp.min() - 1e-9]])
        w.case(f"interp {len(xp)}")
        w.arr("xp", xp)
        w.arr("fp", fp)
        w.arr("q", q)
        with np.errstate(all="ignore"):
            w.arr("out", np.interp(q, xp, fp, left=np.nan, right=np.nan))
            w.arr("out_lr", np.interp(q, xp, fp, left=-7.5, right=9.25))
    # clip / argmax semantics
    v = np.array([NAN, -1.0, 0.5, 2.0, -np.inf, np.inf, -0.0])
    for lo, hi in [(0.0, 1.0), (NAN, 1.0), (0.0, NAN), (1.0, 0.0), (-np.inf, np.inf)]:
        w.case(f"clip {lo} {hi}")
        w.arr("v", v)
        w.arr("args", [lo, hi])
        w.arr("out", np.clip(v, lo, hi))
    for a in [[1.0, 3.0, 3.0, 2.0], [1.0, NAN, 5.0, NAN], [-np.inf, -np.inf], [2.0], [0.0, -0.0, 1.0, 1.0]]:
        w.case("argmax")
        w.arr("v", a)
        w.num("out", np.argmax(np.array(a)))


def knots(rng, n, kind):
    if kind == 0:
        x = np.sort(rng.uniform(-10, 10, n))
    elif kind == 1:
        x = np.cumsum(rng.exponential(1.0, n) * 10.0 ** rng.uniform(-4, 2, n))
    else:
        x = np.arange(n, dtype=float) * rng.uniform(0.01, 3) + rng.uniform(-5, 5)
    x = np.unique(x)
    return x


def values(rng, n, kind):
    if kind == 0:
        return rng.standard_normal(n) * 10.0 ** rng.uniform(-3, 3)
    if kind == 1:  # monotone
        return np.cumsum(rng.exponential(1.0, n))
    if kind == 2:  # flats and sign changes
        return np.round(rng.standard_normal(n))
    return np.log(rng.uniform(1e-6, 1, n))


def gen_interp(w):
    rng = np.random.default_rng(12)
    sizes = [2] * 40 + [3] * 200 + [4] * 60 + [5] * 40 + list(rng.integers(6, 60, 150)) + [200, 1000, 2048]
    for i, n in enumerate(sizes):
        x = knots(rng, int(n), i % 3)
        n = len(x)
        if n < 2:
            continue
        y = values(rng, n, i % 4)
        span = x[-1] - x[0]
        q = np.concatenate([rng.uniform(x[0] - 0.05 * span, x[-1] + 0.05 * span, 300), x,
                            [x[0], x[-1], np.nextafter(x[0], -np.inf), np.nextafter(x[-1], np.inf), NAN]])
        p = PchipInterpolator(x, y, extrapolate=False)
        c = CubicSpline(x, y, bc_type="not-a-knot", extrapolate=False)
        w.case(f"interp {i} n={n}")
        w.arr("x", x)
        w.arr("y", y)
        w.arr("q", q)
        w.arr("pchip_c", p.c)  # (4, n-1) row-major
        w.arr("pchip", p(q))
        w.arr("cubic_c", c.c)
        w.arr("cubic", c(q))
    bad = [
        ([0.0], [1.0]),
        ([], []),
        ([0.0, 1.0], [1.0]),
        ([0.0, 1.0, 2.0], [1.0, 2.0]),
        ([0.0, NAN, 2.0], [1.0, 2.0, 3.0]),
        ([0.0, np.inf, 2.0], [1.0, 2.0, 3.0]),
        ([0.0, 1.0, 2.0], [1.0, np.inf, 3.0]),
        ([0.0, 1.0, 2.0], [1.0, NAN, 3.0]),
        ([0.0, 2.0, 1.0], [1.0, 2.0, 3.0]),
        ([0.0, 1.0, 1.0, 2.0], [1.0, 2.0, 3.0, 4.0]),
        ([0.0, NAN, 1.0], [1.0, np.inf, 0.0]),  # x checked before y
        ([2.0, 1.0, 0.0], [1.0, np.inf, 0.0]),  # y checked before the order
        ([0.0, 1e-320, 1.0], [0.0, 1e308, -1e308]),  # derivatives overflow
        ([0.0, 1e-320, 2e-320, 1.0], [0.0, 1e308, -1e308, 1e308]),
    ]
    for x, y in bad:
        for name, make in (("pchip", lambda a, b: PchipInterpolator(a, b, extrapolate=False)),
                           ("cubic", lambda a, b: CubicSpline(a, b, bc_type="not-a-knot", extrapolate=False))):
            w.case(f"bad {name}")
            w.text("which", name)
            w.arr("x", x)
            w.arr("y", y)
            try:
                with np.errstate(all="ignore"):
                    make(np.array(x, dtype=float), np.array(y, dtype=float))
                w.text("error", "")
            except ValueError as e:
                w.text("error", str(e))


def smoothing_inputs(rng, count, max_k):
    kinds = ["gamma", "normal", "clustered", "exp"]
    out = []
    for i in range(count):
        k = int(np.exp(rng.uniform(np.log(3), np.log(max_k))))
        x, y = random_marginal(rng, k, kinds[i % 4])
        if i % 5 == 1 and k > 6:  # unsorted input with a NaN density, a zero and a negative one
            perm = rng.permutation(k)
            x, y = x[perm], y[perm].copy()
            y[rng.integers(0, k)] = NAN
            y[rng.integers(0, k)] = 0.0
            y[rng.integers(0, k)] = -1.0
        if i % 7 == 3 and k > 6:  # a relatively tiny density
            y = y.copy()
            y[rng.integers(0, k)] = np.max(y) * 1e-14
        out.append((x, y))
    return out


def gen_smooth(w):
    rng = np.random.default_rng(13)
    cases = smoothing_inputs(rng, 260, 300)
    for k in (500, 1000, 2000):
        for kind in ("gamma", "exp"):
            cases.append(random_marginal(rng, k, kind))
    extraps = [0.0, 0.0, 0.1, 0.5, 0.013, 1e-3]
    for i, (x, y) in enumerate(cases):
        e = extraps[i % len(extraps)]
        factor = [15, 15, 15, 3, 1, 0][i % 6] if len(x) < 500 else 15
        scipy_ok = (i % 9) != 4
        w.case(f"smooth {i} k={len(x)} e={e} f={factor} scipy={scipy_ok}")
        w.arr("x", x)
        w.arr("y", y)
        w.arr("params", [e, factor, 1.0 if scipy_ok else 0.0])
        order = []
        try:
            cx, cy = marginal_fix(x, y, order)
        except ValueError as err:
            w.text("error", str(err))
            continue
        w.arr("argsort", order[0])
        w.arr("clean_x", cx)
        w.arr("clean_y", cy)
        try:
            with np.errstate(all="ignore"):
                lx, ly = smarginal(x, y, log=True, extrapolate=e, factor=factor, scipy_ok=scipy_ok)
                sx, sy = smarginal(x, y, log=False, extrapolate=e, factor=factor, scipy_ok=scipy_ok)
        except ValueError as err:
            w.text("error", str(err))
            continue
        w.text("error", "")
        w.arr("log_x", lx)
        w.arr("log_y", ly)
        w.arr("dens_x", sx)
        w.arr("dens_y", sy)
        # The log-density function of the smoothed marginal and the resampling of the cleaned one.
        rg, fun = sfmarginal(sx, sy, scipy_ok)
        q = np.concatenate([rng.uniform(rg[0], rg[1], 100), [rg[0], rg[1], np.nextafter(rg[1], np.inf)]])
        w.arr("sf_range", rg)
        w.arr("sf_q", q)
        w.arr("sf_val", fun(q))
        gx = np.linspace(cx.min(), cx.max(), num=len(cx))
        w.arr("spline_x", gx)
        with np.errstate(over="ignore"):
            w.arr("spline_y", np.exp(cubic(scipy_ok, cx, np.log(cy))(gx)))
    # Errors the smoothing passes on: duplicate abscissae, a NaN abscissa, a negative widening.
    errs = [
        ([0.0, 1.0, 1.0, 2.0], [1.0, 2.0, 3.0, 1.0], 0.0),
        ([0.0, 1.0, NAN, 2.0], [1.0, 2.0, 3.0, 1.0], 0.0),
        ([0.0, 1.0, 2.0, 3.0], [1.0, 2.0, 3.0, 1.0], -0.2),
        ([0.0, 1.0, 2.0, 3.0], [1.0, 2.0, 3.0, 1.0], NAN),
        ([0.0, 1.0, 2.0, 3.0], [NAN, NAN, NAN, NAN], 0.0),
        ([0.0, 1.0, 2.0, 3.0], [0.0, 1.0, 2.0, 0.0], 0.0),
        ([3.0, 1.0, 2.0], [1.0, 2.0, 3.0], 0.0),
    ]
    for x, y, e in errs:
        w.case(f"smooth error {x} {y} {e}")
        w.arr("x", x)
        w.arr("y", y)
        w.arr("params", [e, 15, 1.0])
        try:
            with np.errstate(all="ignore"):
                sx, sy = smarginal(np.array(x), np.array(y), extrapolate=e)
            w.text("error", "")
            w.arr("dens_x", sx)
            w.arr("dens_y", sy)
        except ValueError as err:
            w.text("error", str(err))
    # Cleaning with tied abscissae: the permutation numpy's argsort picks is handed to the core.
    for i in range(20):
        k = int(rng.integers(3, 40))
        x = np.round(rng.uniform(0, 5, k))
        y = rng.uniform(0, 1, k)
        y[rng.integers(0, k)] = NAN
        w.case(f"ties {i}")
        w.arr("x", x)
        w.arr("y", y)
        order = []
        try:
            cx, cy = marginal_fix(x, y, order)
            w.text("error", "")
            w.arr("argsort", order[0])
            w.arr("clean_x", cx)
            w.arr("clean_y", cy)
        except ValueError as err:
            w.text("error", str(err))


def gen_queries(w):
    rng = np.random.default_rng(14)
    kinds = ["gamma", "normal", "clustered", "exp"]
    for i in range(48):
        k = int(np.exp(rng.uniform(np.log(8), np.log(200))))
        x, y = random_marginal(rng, k, kinds[i % 4])
        scipy_ok = i % 6 != 5
        length = [2048, 2048, 500, 37][i % 4]
        w.case(f"queries {i} k={k} scipy={scipy_ok} length={length}")
        w.arr("x", x)
        w.arr("y", y)
        w.arr("params", [1.0 if scipy_ok else 0.0, length])
        with np.errstate(all="ignore"):
            sx, sy = smarginal(x, y, scipy_ok=scipy_ok)
            rg, fun = sfmarginal(sx, sy, scipy_ok)
        w.arr("smooth_x", sx)
        w.arr("smooth_y", sy)
        # density
        dq = np.concatenate([rng.uniform(rg[0] - 1, rg[1] + 1, 50), [rg[0], rg[1], NAN]])
        w.arr("d_q", dq)
        w.arr("d_val", dmarginal(dq, rg, fun))
        w.arr("d_log", dmarginal(dq, rg, fun, log=True))
        # distribution function
        xx, cdf = grid_cdf(rg, fun, length)
        w.arr("cdf_x", xx)
        w.arr("cdf", cdf)
        fq = pchip(scipy_ok, xx, cdf)
        pq = np.concatenate([rng.uniform(rg[0] - 1, rg[1] + 1, 50), [rg[0], rg[1], NAN]])
        w.arr("p_q", pq)
        w.arr("p_val", fq(np.clip(pq, rg[0], rg[1])))
        # quantiles
        c2, x2 = thin(cdf, xx)
        w.arr("thin_cdf", c2)
        w.arr("thin_x", x2)
        finv = pchip(scipy_ok, c2, x2)
        pp = np.concatenate([rng.uniform(-0.1, 1.1, 50), [0.0, 1.0, 0.5, NAN, c2[-1]]])
        w.arr("q_p", pp)
        w.arr("q_val", finv(np.clip(pp, 0.0, 1.0)))
        # expectations: scalar-valued, vector-valued and a 1-column 2-D result
        ex, ex_x, _ = emarginal(lambda v: v, sx, sy)
        w.arr("e_grid", ex_x)
        w.arr("e_mean", np.atleast_1d(ex))
        fv = lambda v: np.column_stack([v, v ** 2, np.sin(v)])
        ev, _, fvals = emarginal(fv, sx, sy)
        w.arr("e_fvals3", fvals)
        w.arr("e_vec", ev)
        ev1, _, fvals1 = emarginal(lambda v: np.cos(v)[:, None], sx, sy)
        w.arr("e_fvals1", fvals1)
        w.arr("e_col", np.atleast_1d(ev1))
        # HPD intervals
        hx = np.linspace(rg[0], rg[1], num=length)
        hdx = hx[1] - hx[0]
        hef = np.exp(fun(hx))
        habs = np.r_[hx.min() - hdx, hx, hx.max() + hdx]
        hval = np.cumsum(np.r_[0.0, hef, 0.0])
        hval = hval / hval[-1]
        w.arr("hpd_abs", habs)
        w.arr("hpd_val", hval)
        hval, habs = thin(hval, habs)
        hinv = pchip(scipy_ok, hval, habs)
        levels = np.array([0.95, 0.5, 0.0, 1.0, 1.5, -0.2, 0.8])
        res = []
        for p in levels:
            conf = 1.0 - np.clip(p, 0.0, 1.0)

            def width(x0, conf=conf):
                return float(hinv(1.0 - conf + x0) - hinv(x0))

            x0 = minimize_on_interval(lambda z: width(z), 0.0, float(conf), 1e-06, scipy_ok)
            low = float(hinv(x0))
            high = float(hinv(1.0 - conf + x0))
            low = min(rg[1], max(low, rg[0]))
            high = min(rg[1], max(high, rg[0]))
            res.append([low, high])
        w.arr("hpd_levels", levels)
        w.arr("hpd", res)
        # mode and summary (the quantile function of the default grid size)
        xx2, cdf2 = grid_cdf(rg, fun, 2048)
        c3, x3 = thin(cdf2, xx2)
        finv2 = pchip(scipy_ok, c3, x3)
        plev = np.arange(0.01, 1.0, 0.01)
        qx = finv2(np.clip(plev, 0.0, 1.0))
        dlog = dmarginal(qx, rg, fun, log=True)
        j = int(np.argmax(dlog))
        a = qx[max(0, j - 1)]
        b = qx[min(len(qx) - 1, j + 1)]

        def neglog(u):
            return float(-dmarginal([float(u)], rg, fun, log=True)[0])

        mode = minimize_on_interval(neglog, float(a), float(b), 1e-06, scipy_ok)
        m12, _, _ = emarginal(lambda v: np.column_stack([v, v ** 2]), sx, sy)
        mean = float(m12[0])
        sd = float(np.sqrt(max(0.0, m12[1] - mean ** 2)))
        qs = finv2(np.clip(np.array([0.025, 0.25, 0.5, 0.75, 0.975]), 0.0, 1.0))
        w.arr("summary", [mean, sd, *qs, mode])


# Objectives shared with the C++ test (same arithmetic, same libm functions).
OBJECTIVES = {
    "quad": lambda x: (x - 0.3) * (x - 0.3),
    "abs": lambda x: abs(x - 1.0) + 0.5,
    "cos": lambda x: math.cos(x),
    "quartic": lambda x: x * x * x * x - 3.0 * x * x + x,
    "nanhole": lambda x: NAN if 0.2 < x < 0.4 else (x - 0.5) * (x - 0.5),
    "flat": lambda x: 1.0,
    "step": lambda x: 0.0 if x < 0.7 else 1.0,
    "edge": lambda x: -x,
}


def gen_minimise(w):
    runs = [
        ("quad", 0.0, 1.0, 1e-6, 500), ("quad", 0.0, 1.0, 1e-12, 500), ("quad", 0.0, 1.0, 0.0, 500),
        ("quad", -5.0, 2.0, 1e-5, 500), ("quad", 0.3, 0.3, 1e-6, 500), ("quad", 0.0, 1.0, 1e-6, 4),
        ("abs", -2.0, 3.0, 1e-6, 500), ("abs", 1.0, 1e6, 1e-3, 500), ("cos", 0.0, 2 * math.pi, 1e-6, 500),
        ("cos", 1.0, 9.0, 1e-9, 500), ("quartic", -3.0, 3.0, 1e-6, 500), ("quartic", 0.0, 3.0, 1e-8, 500),
        ("nanhole", 0.0, 1.0, 1e-6, 500), ("flat", -1.0, 1.0, 1e-6, 500), ("step", 0.0, 1.0, 1e-6, 500),
        ("edge", 0.0, 1.0, 1e-6, 500), ("quad", 0.0, 1.0, 1.0, 500), ("quad", -1e-300, 1e-300, 0.0, 500),
    ]
    for name, a, b, xatol, maxiter in runs:
        f = OBJECTIVES[name]
        calls = []

        def rec(x):
            calls.append(float(x))
            return f(x)

        w.case(f"bounded {name} {a} {b} {xatol} {maxiter}")
        w.text("fun", name)
        w.arr("args", [a, b, xatol, maxiter])
        res = minimize_scalar(rec, bounds=(a, b), method="bounded", options={"xatol": xatol, "maxiter": maxiter})
        w.arr("calls", calls)
        w.arr("result", [float(res.x), float(res.fun), res.nfev, res.status])
    for a, b in [(NAN, 1.0), (0.0, np.inf), (-np.inf, 0.0), (2.0, 1.0)]:
        w.case(f"bounded bad {a} {b}")
        w.text("fun", "quad")
        w.arr("args", [a, b, 1e-6, 500])
        try:
            minimize_scalar(OBJECTIVES["quad"], bounds=(a, b), method="bounded", options={"xatol": 1e-6})
            w.text("error", "")
        except ValueError as e:
            w.text("error", str(e))
    # The golden-section search as the module writes it (ordinary inputs, where it ends).
    gruns = [("quad", 0.0, 1.0, 1e-6), ("quad", 0.0, 1.0, 1e-12), ("quad", 2.0, 2.0, 1e-6), ("abs", -2.0, 3.0, 1e-6),
             ("cos", 0.0, 2 * math.pi, 1e-6), ("quartic", -3.0, 3.0, 1e-9), ("nanhole", 0.0, 1.0, 1e-6),
             ("flat", -1.0, 1.0, 1e-6), ("step", 0.0, 1.0, 1e-6), ("quad", 1.0, 0.0, 1e-6), ("edge", 0.0, 1.0, 1e-3)]
    for name, a, b, tol in gruns:
        f = OBJECTIVES[name]
        calls = []

        def rec(x):
            calls.append(float(x))
            return f(x)

        w.case(f"golden {name} {a} {b} {tol}")
        w.text("fun", name)
        w.arr("args", [a, b, tol])
        r = golden_unmended(rec, a, b, tol)
        w.arr("calls", calls)
        w.num("result", r)


def main():
    group, path = sys.argv[1], sys.argv[2]
    w = Writer(path)
    {"numeric": gen_numeric, "interp": gen_interp, "smooth": gen_smooth, "queries": gen_queries,
     "minimise": gen_minimise}[group](w)
    w.close()


if __name__ == "__main__":
    main()
