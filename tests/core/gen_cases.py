"""Reference values for the C++ tests of the numeric core, computed with numpy and scipy.

Usage: python gen_cases.py GROUP OUTFILE   (GROUP: numeric, interp, smooth, queries, minimise)

The marginal algorithms come from the plain numpy/scipy transcription the module's own tests use
(tests/quadra_queries_reference.py), independently of the C++ code. The output is a binary stream of
records:
    b"A" u32 keylen, key, u64 count, count float64 (little endian)    an array
    b"S" u32 keylen, key, u32 textlen, text (utf-8)                   a string
A record with key "case" (a string: the case's label) starts a new case.
"""

import math
import os
import struct
import sys

import numpy as np
from scipy.interpolate import CubicSpline, PchipInterpolator
from scipy.optimize import minimize_scalar

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from quadra_queries_reference import Ref, golden  # noqa: E402

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


def cleaned(x, y):
    """The cleaning, and the permutation numpy's argsort chose for it (the reference's own steps)."""
    x = np.asarray(x, dtype=float)
    y = np.asarray(y, dtype=float)
    keep = ~np.isnan(y)
    order = np.argsort(x[keep])
    c = Ref().fix({"x": x, "y": y})
    return c["x"], c["y"], order


def tmap(x, extrapolate):
    """The knots and the coordinate of the t-map, as the smoothing computes them."""
    r = np.ptp(x)
    xmin = x.min() - extrapolate * r
    xmax = x.max() + extrapolate * r
    xk = np.concatenate(([xmin], x, [xmax])) if extrapolate != 0.0 else x.copy()
    dx = np.diff(xk)
    raw = np.concatenate(([0.0], np.cumsum(np.sqrt(len(xk) * dx / dx.mean()))))
    return xk, xmin + (xmax - xmin) * (raw - raw.min()) / (raw.max() - raw.min())


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
    # Spacings or slopes far outside [2^-200, 2^200] (the monotone cubic's derivatives then need checking).
    extreme = {len(sizes) + j: s for j, s in enumerate([(1e-70, 1.0), (1e70, 1.0), (1.0, 1e70), (1.0, 1e-70),
                                                       (1e-70, 1e-100)])}
    sizes += [30] * len(extreme)
    for i, n in enumerate(sizes):
        x = knots(rng, int(n), i % 3)
        n = len(x)
        if n < 2:
            continue
        y = values(rng, n, i % 4)
        if i in extreme:
            x, y = x * extreme[i][0], y * extreme[i][1]
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


def map_error(t, xk):
    """scipy's error for the first of the two t-map interpolants the smoothing builds, or ""."""
    try:
        with np.errstate(all="ignore"):
            PchipInterpolator(t, xk, extrapolate=False)
            PchipInterpolator(xk, t, extrapolate=False)
        return ""
    except ValueError as e:
        return str(e)


def gen_smooth(w):
    rng = np.random.default_rng(13)
    cases = smoothing_inputs(rng, 260, 300)
    for k in (500, 1000, 2000):
        for kind in ("gamma", "exp"):
            cases.append(random_marginal(rng, k, kind))
    # Tables the cleaning passes but the map refuses: duplicate abscissae, a NaN abscissa, a negative or NaN
    # widening; and ones the cleaning refuses.
    for x, y, e in [
        ([0.0, 1.0, 1.0, 2.0], [1.0, 2.0, 3.0, 1.0], 0.0),
        ([0.0, 1.0, NAN, 2.0], [1.0, 2.0, 3.0, 1.0], 0.0),
        ([0.0, 1.0, 2.0, 3.0], [1.0, 2.0, 3.0, 1.0], -0.2),
        ([0.0, 1.0, 2.0, 3.0], [1.0, 2.0, 3.0, 1.0], NAN),
        ([0.0, 1.0, 2.0, 3.0], [NAN, NAN, NAN, NAN], 0.0),
        ([0.0, 1.0, 2.0, 3.0], [0.0, 1.0, 2.0, 0.0], 0.0),
        ([3.0, 1.0, 2.0], [1.0, 2.0, 3.0], 0.0),
    ]:
        cases.append((np.array(x), np.array(y), e))
    extraps = [0.0, 0.0, 0.1, 0.5, 0.013, 1e-3]
    for i, case in enumerate(cases):
        x, y = case[0], case[1]
        e = case[2] if len(case) == 3 else extraps[i % len(extraps)]
        w.case(f"smooth {i} k={len(x)} e={e}")
        w.arr("x", x)
        w.arr("y", y)
        w.arr("params", [e])
        try:
            with np.errstate(all="ignore"):
                cx, cy, order = cleaned(x, y)
        except ValueError as err:
            w.text("error", str(err))
            continue
        w.text("error", "")
        w.arr("argsort", order)
        w.arr("clean_x", cx)
        w.arr("clean_y", cy)
        with np.errstate(all="ignore"):
            xk, t = tmap(cx, e)
        w.arr("tmap_xk", xk)
        w.arr("tmap_t", t)
        w.text("map_error", map_error(t, xk))
    # Cleaning with tied abscissae: the permutation numpy's argsort picks is handed to the core.
    for i in range(20):
        k = int(rng.integers(3, 40))
        x = np.round(rng.uniform(0, 5, k))
        y = rng.uniform(0, 1, k)
        y[rng.integers(0, k)] = NAN
        w.case(f"ties {i}")
        w.arr("x", x)
        w.arr("y", y)
        try:
            cx, cy, order = cleaned(x, y)
            w.text("error", "")
            w.arr("argsort", order)
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
        m = {"x": x, "y": y}
        scipy_ok = i % 6 != 5
        ref = Ref(scipy=scipy_ok)
        length = [2048, 2048, 500, 37][i % 4]
        w.case(f"queries {i} k={k} scipy={scipy_ok} length={length}")
        w.arr("params", [1.0 if scipy_ok else 0.0, length])
        with np.errstate(all="ignore"):
            sm = ref.smarginal(m)
            f = ref.sfmarginal(sm)
        rg, fun = f["range"], f["fun"]
        w.arr("smooth_x", sm["x"])
        w.arr("smooth_y", sm["y"])
        # density
        dq = np.concatenate([rng.uniform(rg[0] - 1, rg[1] + 1, 50), [rg[0], rg[1], NAN]])
        w.arr("d_q", dq)
        w.arr("d_val", ref.dmarginal(dq, m))
        w.arr("d_log", ref.dmarginal(dq, m, log=True))
        # grid distribution function, P(X <= q), thinning and the (unmended) quantile interpolant
        _, xx, cdf = ref.grid_cdf(m, length)
        w.arr("cdf_x", xx)
        w.arr("cdf", cdf)
        pq = np.concatenate([rng.uniform(rg[0] - 1, rg[1] + 1, 50), [rg[0], rg[1], NAN]])
        w.arr("p_q", pq)
        w.arr("p_val", ref.pmarginal(pq, m, length=length))
        c2, x2 = ref.thin(cdf, xx)
        w.arr("thin_cdf", c2)
        w.arr("thin_x", x2)
        pp = np.concatenate([rng.uniform(-0.1, 1.1, 50), [0.0, 1.0, 0.5, NAN, c2[-1]]])
        w.arr("q_p", pp)
        w.arr("q_val", ref.pchip(c2, x2)(np.clip(pp, 0.0, 1.0)))
        # expectations: scalar-valued, vector-valued and a 1-column 2-D result, on the odd grid
        grid = sm["x"][: len(sm["x"]) - (len(sm["x"]) % 2 == 0)]
        w.arr("e_grid", grid)
        w.arr("e_mean", np.atleast_1d(ref.emarginal(lambda v: v, m)))
        vec = lambda v: np.column_stack([v, v ** 2, np.sin(v)])  # noqa: E731
        w.arr("e_fvals3", vec(grid))
        w.arr("e_vec", ref.emarginal(vec, m))
        col = lambda v: np.cos(v)[:, None]  # noqa: E731
        w.arr("e_fvals1", col(grid))
        w.arr("e_col", np.atleast_1d(ref.emarginal(col, m)))
        # the HPD distribution function (hpdmarginal's own construction)
        hx = np.linspace(rg[0], rg[1], num=length)
        hdx = hx[1] - hx[0]
        hval = np.cumsum(np.r_[0.0, np.exp(fun(hx)), 0.0])
        w.arr("hpd_abs", np.r_[hx.min() - hdx, hx, hx.max() + hdx])
        w.arr("hpd_val", hval / hval[-1])
        # the bracket of the mode search
        qx = ref.qmarginal(np.arange(0.01, 1.0, 0.01), m)
        dlog = ref.dmarginal(qx, m, log=True)
        j = int(np.argmax(dlog))
        w.arr("mode_q", qx)
        w.arr("mode_dlog", dlog)
        w.arr("mode_bracket", [qx[max(0, j - 1)], qx[min(len(qx) - 1, j + 1)]])


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


def recorded(f):
    """f, and the list of the abscissae it is called with."""
    calls = []

    def rec(x):
        calls.append(float(x))
        return f(x)

    return rec, calls


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
        rec, calls = recorded(OBJECTIVES[name])
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
        rec, calls = recorded(OBJECTIVES[name])
        w.case(f"golden {name} {a} {b} {tol}")
        w.text("fun", name)
        w.arr("args", [a, b, tol])
        r = golden(rec, a, b, tol, mended=False)
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
