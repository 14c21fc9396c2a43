"""Fuzzing vexil.pure.quadra: all 22 functions with hostile marginals, points, probabilities, sizes, callables
and random generators, with and without scipy's paths, and with the module's names replaced.

What the functions may raise by their documented behaviour: the module's own ValueError / TypeError /
KeyError texts; numpy's and scipy's errors for what they are handed (ValueError, TypeError, IndexError for a
grid of fewer than two points, OverflowError and MemoryError for sizes no machine holds); whatever a user's
callable or a hostile object raises (Hostile here); AttributeError only for a random generator without a
`uniform` method. Numpy warnings turned into errors may come out too.
"""

import contextlib
import io
import math

import numpy as np
import pytest
from hypothesis import assume, given
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from vexil.pure import quadra as q

from .hostile import (Ctx, Hostile, Junk, Named, StrSub, TrapRecipe, array_recipes, build, callables, named, numeric_sequences,
                      trap_recipes, values, JUNK_FACTORIES, NUMBER_FACTORIES)
from .marginals import MarginalRecipe, any_marginal, make, marginal_recipes
from .oracle import STRICTNESS, Raised, attempt, examples, extra_allowed, patched, strictness

# ArithmeticError: numpy hands object arrays (Decimal, Fraction, ...) to the objects' own arithmetic, a
# derivative step of 0 divides a user function's Python-float results by zero, and scipy's classes fail on
# 0-d knots with ZeroDivisionError; none of it is caught.
ALLOWED = (ValueError, TypeError, KeyError, IndexError, ArithmeticError, MemoryError, Hostile)

PUBLIC = ["orvo_is_marginal", "orvo_marginal_fix", "orvo_spline", "orvo_smarginal", "orvo_sfmarginal",
          "orvo_emarginal", "orvo_dmarginal", "orvo_pmarginal", "orvo_qmarginal", "orvo_hpdmarginal",
          "orvo_mmarginal", "orvo_zmarginal", "orvo_rmarginal", "orvo_deriv_func", "orvo_tmarginal",
          "orvo_marginal_transform"]
PRIVATE = ["_as_xy", "_to_dict_or_mat", "_pchip", "_cubic", "_simpson_odd_grid", "_minimize_on_interval"]


def quiet_stdout():
    """orvo_zmarginal prints its summary unless asked not to."""
    return contextlib.redirect_stdout(io.StringIO())


def need(*names):
    missing = [n for n in names if not hasattr(q, n)]
    if missing:
        pytest.skip("not in this build of quadra yet: " + ", ".join(missing))


@contextlib.contextmanager
def environment(fake_pd=None, scipy_off=False):
    """The module as a call sees it: a stand-in pandas installed, and/or scipy's paths switched off."""
    attrs = {}
    if fake_pd is not None:
        attrs.update(pd=fake_pd, _PANDAS_OK=True)
    if scipy_off:
        attrs["_SCIPY_OK"] = False
    with patched(q, **attrs):
        yield


# ---------------------------------------------------------------------------------------------------------
# Argument strategies. Sizes are either modest or far beyond any machine (never in between, where numpy
# would really try to allocate gigabytes).

HUGE_INTS = ["2**62", "2**63", "-2**63", "2**64+1", "10**400", "-10**400", "np.int64(2**62)"]
ODD_NUMBERS = ["nan", "inf", "-inf", "2.9", "-2.5", "True", "1+2j", "Decimal('nan')", "Fraction(1,3)",
               "np.float32(0.25)", "np.bool_(True)", "np.complex128(1j)", "np.datetime64('2020')"]


def usually(default, strategy):
    """The parameter's ordinary value two times in three, so that the other arguments' faults are reached."""
    return st.one_of(st.just(default), st.just(default), strategy)


def int_args(lo=-3, hi=60, common=()):
    return st.one_of(
        st.integers(lo, hi), st.sampled_from(list(common) or [lo]),
        st.sampled_from(HUGE_INTS + ODD_NUMBERS).map(lambda k: Named(k, NUMBER_FACTORIES[k])),
        named(JUNK_FACTORIES), trap_recipes(["int", "index", "float"], base=st.integers(0, 40)))


def float_args(*common):
    return st.one_of(
        st.floats(allow_nan=True, allow_infinity=True), st.sampled_from(list(common) or [0.0]),
        st.sampled_from(ODD_NUMBERS + ["10**400", "0", "-1", "1e308", "5e-324"]).map(
            lambda k: Named(k, NUMBER_FACTORIES[k])),
        named(JUNK_FACTORIES), trap_recipes(["float", "index"]))


def bool_args():
    return st.one_of(st.booleans(), st.booleans(), trap_recipes(["bool"]), named(JUNK_FACTORIES),
                     named(NUMBER_FACTORIES))


def point_args(lo=-4.0, hi=4.0):
    """Evaluation points / probabilities: scalars, sequences and arrays of any dimension and dtype."""
    return st.one_of(
        st.floats(lo, hi), st.floats(allow_nan=True, allow_infinity=True),
        st.lists(st.floats(lo, hi), max_size=6),
        hnp.arrays(np.float64, hnp.array_shapes(min_dims=0, max_dims=3, max_side=4),
                   elements=st.floats(lo, hi)),
        array_recipes(), numeric_sequences(), named(JUNK_FACTORIES))


def marginal_args():
    return any_marginal()


def _build_m(recipe, ctx):
    m, fake = make(recipe, ctx)
    return m, fake


def _is_huge(v):
    try:
        return isinstance(v, (int, np.integer)) and not isinstance(v, bool) and abs(int(v)) >= 2 ** 40
    except Exception:  # noqa: BLE001
        return False


def _allowed(mode, *more):
    return ALLOWED + extra_allowed(mode) + tuple(more)


def _float64_1d(a, n=None):
    assert isinstance(a, np.ndarray) and a.dtype == np.float64 and a.ndim == 1, (type(a), getattr(a, "dtype", None))
    if n is not None:
        assert a.size == n


def _check_cleaned(r):
    if isinstance(r, Raised):
        return
    assert type(r) is dict and list(r) == ["x", "y"]
    _float64_1d(r["x"])
    _float64_1d(r["y"], r["x"].size)
    with strictness("quiet"):
        assert r["x"].size >= 3 and np.all(r["y"] > 0)
        x = r["x"][~np.isnan(r["x"])]
        assert np.all(x[1:] >= x[:-1]) and np.all(np.isnan(r["x"][x.size:]))


def _check_marginal_result(r):
    if isinstance(r, Raised):
        return
    if isinstance(r, np.ndarray):
        assert r.dtype == np.float64 and r.ndim == 2 and r.shape[1] == 2
    else:
        assert type(r) is dict and list(r) == ["x", "y"]
        _float64_1d(r["x"])
        _float64_1d(r["y"], r["x"].size)


# ---------------------------------------------------------------------------------------------------------
# Recognising, unpacking, repacking, cleaning, interpolators, smoothing.


@examples(3)
@given(m=marginal_args(), mode=st.sampled_from(STRICTNESS), scipy_off=st.booleans())
def test_input_functions(m, mode, scipy_off):
    need("orvo_is_marginal", "_as_xy", "orvo_marginal_fix", "orvo_spline", "orvo_sfmarginal")
    ctx = Ctx()
    obj, fake = _build_m(m, ctx)
    with environment(fake, scipy_off), strictness(mode):
        r = attempt(q.orvo_is_marginal, obj, allowed=(Hostile, ValueError, OverflowError, TypeError) +
                    extra_allowed(mode))
        if not isinstance(r, Raised):
            assert type(r) is bool
        r = attempt(q._as_xy, obj, allowed=_allowed(mode))
        if not isinstance(r, Raised):
            assert type(r) is tuple and len(r) == 3 and type(r[2]) is bool
            assert all(isinstance(a, np.ndarray) and a.dtype == np.float64 for a in r[:2])
            assert r[2] == isinstance(obj, np.ndarray)
        _check_cleaned(attempt(q.orvo_marginal_fix, obj, allowed=_allowed(mode)))
        _check_marginal_result(attempt(q.orvo_spline, obj, allowed=_allowed(mode), anything=Junk()))
        sf = attempt(q.orvo_sfmarginal, obj, allowed=_allowed(mode))
        if not isinstance(sf, Raised):
            assert list(sf) == ["range", "fun"]
            lo, hi = sf["range"]
            with strictness("quiet"):
                points = (lo, hi, [lo, 0.5 * (lo + hi), hi], np.nan, np.zeros((2, 0, 3)), "junk", None)
            for xx in points:
                attempt(sf["fun"], xx, allowed=_allowed(mode))


@examples(3)
@given(m=marginal_args(), log=usually(False, bool_args()), extrapolate=usually(0.0, float_args(0.0, 0.1, -0.1, 0.5)),
       keep_type=usually(False, bool_args()), factor=usually(15, int_args(-3, 40, (15, 0, 1))),
       mode=st.sampled_from(STRICTNESS),
       scipy_off=st.booleans())
def test_smarginal(m, log, extrapolate, keep_type, factor, mode, scipy_off):
    need("orvo_smarginal")
    ctx = Ctx()
    obj, fake = _build_m(m, ctx)
    fac = build(factor, ctx)
    with environment(fake, scipy_off), strictness(mode):
        r = attempt(q.orvo_smarginal, obj, build(log, ctx), build(extrapolate, ctx), build(keep_type, ctx), fac,
                    allowed=_allowed(mode))
    _check_marginal_result(r)
    if _is_huge(fac) and int(fac) > 0 and isinstance(m, MarginalRecipe) and m.n >= 3 \
            and not m.faults and m.form in ("matrix", "dict", "dict_lists") and m.layout in ("C", "f8"):
        assert isinstance(r, Raised), "factor %r gave a result of %d points" % (fac, len(r["x"]))


@pytest.mark.parametrize("factory", ["_pchip", "_cubic"])
@examples(1.5)
@given(x=st.one_of(point_args(), st.lists(st.floats(-5, 5), min_size=2, max_size=8).map(sorted)),
       y=point_args(), xx=point_args(), mode=st.sampled_from(STRICTNESS), scipy_off=st.booleans())
def test_interpolators(factory, x, y, xx, mode, scipy_off):
    need(factory)
    ctx = Ctx()
    with environment(None, scipy_off), strictness(mode):
        S = attempt(getattr(q, factory), build(x, ctx), build(y, ctx), allowed=_allowed(mode))
        if not isinstance(S, Raised):
            assert callable(S)
            attempt(S, build(xx, ctx), allowed=_allowed(mode))


@examples(1)
@given(x=point_args(), y=point_args(), as_matrix=bool_args(), mode=st.sampled_from(STRICTNESS))
def test_to_dict_or_mat(x, y, as_matrix, mode):
    need("_to_dict_or_mat")
    ctx = Ctx()
    xo, yo = build(x, ctx), build(y, ctx)
    with strictness(mode):
        r = attempt(q._to_dict_or_mat, xo, yo, build(as_matrix, ctx), allowed=_allowed(mode))
    if isinstance(r, dict):
        assert list(r) == ["x", "y"] and r["x"] is xo and r["y"] is yo


# ---------------------------------------------------------------------------------------------------------
# Queries, mode, summary, sampling, transformations.


@pytest.mark.parametrize("name", ["orvo_dmarginal", "orvo_pmarginal", "orvo_qmarginal", "orvo_hpdmarginal"])
@examples(3)
@given(m=marginal_args(), pts=usually([0.0, 0.5, 0.99], point_args(-0.5, 1.5)), flag=usually(False, bool_args()),
       length=usually(2048, int_args(-3, 80, (2048, 2, 1, 0))),
       mode=st.sampled_from(STRICTNESS), scipy_off=st.booleans())
def test_queries(name, m, pts, flag, length, mode, scipy_off):
    need(name)
    ctx = Ctx()
    obj, fake = _build_m(m, ctx)
    p = build(pts, ctx)
    fn = getattr(q, name)
    kw = {}
    if name == "orvo_dmarginal":
        kw["log"] = build(flag, ctx)
    else:
        kw["length"] = build(length, ctx)
        if name == "orvo_pmarginal":
            kw["normalize"] = build(flag, ctx)
    with environment(fake, scipy_off), strictness(mode):
        r = attempt(fn, p, obj, allowed=_allowed(mode), **kw)
    if isinstance(r, Raised):
        return
    # an array, or (for a 0-d query answered by the linear fallback, which is np.interp) a numpy float64
    assert isinstance(r, (np.ndarray, np.float64)) and r.dtype == np.float64, (type(r), getattr(r, "dtype", None))
    if name == "orvo_hpdmarginal":
        assert r.ndim == 2 and r.shape[1] == 2
    elif name != "orvo_hpdmarginal":
        with strictness("quiet"):
            try:
                shape = np.asarray(p, dtype=float).shape
            except Exception:  # noqa: BLE001 - p changed under its own methods: nothing to compare
                shape = None
        if shape is not None and ctx.mutations == 0:
            assert np.shape(r) == shape
    if name in ("orvo_pmarginal",):
        with strictness("quiet"):
            assert np.all(np.isnan(r) | ((r >= 0.0) & (r <= 1.0 + 1e-9)))
    if "length" in kw and _is_huge(kw["length"]):
        raise AssertionError("length %r gave a result" % kw["length"])


@examples(3)
@given(fun=usually(Named("lambda x, *a, **k: x", lambda: (lambda x, *a, **k: x)), callables()), m=marginal_args(),
       args=usually([], st.lists(values(max_leaves=1), max_size=2)),
       kwargs=usually({}, st.dictionaries(st.sampled_from(["a", "b", "marginal", "fun"]), values(max_leaves=1),
                                          max_size=2)),
       mode=st.sampled_from(STRICTNESS), scipy_off=st.booleans())
def test_emarginal(fun, m, args, kwargs, mode, scipy_off):
    need("orvo_emarginal")
    ctx = Ctx()
    obj, fake = _build_m(m, ctx)
    f = build(fun, ctx)
    a = [build(v, ctx) for v in args]
    k = {n: build(v, ctx) for n, v in kwargs.items()}
    with environment(fake, scipy_off), strictness(mode):
        attempt(q.orvo_emarginal, f, obj, *a, allowed=_allowed(mode), **k)


@examples(1)
@given(x=point_args(), mode=st.sampled_from(STRICTNESS))
def test_simpson_odd_grid(x, mode):
    need("_simpson_odd_grid")
    ctx = Ctx()
    with strictness(mode):
        attempt(q._simpson_odd_grid, build(x, ctx), allowed=_allowed(mode))


@examples(2)
@given(f=usually(Named("(x-0.3)**2", lambda: (lambda x: (x - 0.3) ** 2)), callables()),
       a=usually(0.0, float_args(0.0, -1.0)), b=usually(1.0, float_args(1.0, 0.0)),
       tol=usually(1e-6, float_args(1e-6, 0.0, -1.0, 1e-300)),
       mode=st.sampled_from(STRICTNESS), scipy_off=st.booleans())
def test_minimize_on_interval(f, a, b, tol, mode, scipy_off):
    need("_minimize_on_interval")
    ctx = Ctx()
    with environment(None, scipy_off), strictness(mode):
        r = attempt(q._minimize_on_interval, build(f, ctx), build(a, ctx), build(b, ctx), build(tol, ctx),
                    allowed=_allowed(mode))
    if not isinstance(r, Raised):
        assert type(r) is float


@examples(2)
@given(m=marginal_args(), silent=usually(True, bool_args()), mode=st.sampled_from(STRICTNESS), scipy_off=st.booleans())
def test_mode_and_summary(m, silent, mode, scipy_off):
    need("orvo_mmarginal", "orvo_zmarginal")
    ctx = Ctx()
    obj, fake = _build_m(m, ctx)
    with environment(fake, scipy_off), strictness(mode), quiet_stdout():
        r = attempt(q.orvo_mmarginal, obj, allowed=_allowed(mode))
        if not isinstance(r, Raised):
            assert type(r) is float
        z = attempt(q.orvo_zmarginal, obj, build(silent, ctx), allowed=_allowed(mode))
    if not isinstance(z, Raised):
        assert list(z) == ["mean", "sd", "quant0.025", "quant0.25", "quant0.5", "quant0.75", "quant0.975", "mode"]
        assert all(type(v) is float for v in z.values())


class FakeRng:
    def __init__(self, how):
        self.how = how

    def uniform(self, size=None, **kw):
        if self.how == "raise":
            raise Hostile("uniform")
        if self.how == "junk":
            return Junk("draws")
        if self.how == "strings":
            return ["a"] * int(size)
        if self.how == "3d":
            return np.full((2, 2, 2), 0.5)
        if self.how == "nan":
            return np.full(int(size), np.nan)
        return np.linspace(0.0, 1.0, int(size))


rng_args = st.one_of(st.none(), st.integers(0, 100).map(lambda s: Named("default_rng(%d)" % s,
                                                                        lambda s=s: np.random.default_rng(s))),
                     st.sampled_from(["raise", "junk", "strings", "3d", "nan", "linspace"]).map(
                         lambda h: Named("FakeRng(%s)" % h, lambda h=h: FakeRng(h))),
                     named(JUNK_FACTORIES))


@examples(2)
@given(n=usually(10, int_args(-3, 200, (0, 1, 1000))), m=marginal_args(), rng=usually(None, rng_args),
       mode=st.sampled_from(STRICTNESS))
def test_rmarginal(n, m, rng, mode):
    need("orvo_rmarginal")
    ctx = Ctx()
    obj, fake = _build_m(m, ctx)
    nn = build(n, ctx)
    generator = build(rng, ctx)
    with environment(fake), strictness(mode):
        r = attempt(q.orvo_rmarginal, nn, obj, generator, allowed=_allowed(mode, AttributeError))
    # a numpy generator cannot draw 2**62 numbers (a stand-in that ignores `size` can answer anything)
    if not isinstance(r, Raised) and _is_huge(nn) and (generator is None or isinstance(generator, np.random.Generator)):
        raise AssertionError("n=%r gave a result" % nn)


@examples(2)
@given(fun=usually(Named("np.sin", lambda: np.sin), callables()), step=usually(1e-3, float_args(1e-3, 0.0, -1e-3, 1e300)),
       x=usually([0.0, 1.0], point_args()), mode=st.sampled_from(STRICTNESS))
def test_deriv_func(fun, step, x, mode):
    need("orvo_deriv_func")
    ctx = Ctx()
    with strictness(mode):
        fd = attempt(q.orvo_deriv_func, build(fun, ctx), build(step, ctx), allowed=_allowed(mode))
        if not isinstance(fd, Raised):
            attempt(fd, build(x, ctx), allowed=_allowed(mode))


@pytest.mark.parametrize("name", ["orvo_tmarginal", "orvo_marginal_transform"])
@examples(3)
@given(fun=usually(Named("lambda x: 2*x", lambda: (lambda x: 2 * np.asarray(x))), callables()), m=marginal_args(),
       n=usually(64, int_args(-3, 60, (2048, 0, 1, 2))),
       h=usually(6e-5, float_args(6e-5, 0.0, 1.0)),
       method=st.one_of(st.sampled_from(["quantile", "linear"]), st.sampled_from(["quantile", "linear"]),
                        st.sampled_from(["LINEAR", "Quantile", "cubic", ""]),
                        named(JUNK_FACTORIES), st.just(Named("StrSub('linear')", lambda: StrSub("linear")))),
       mode=st.sampled_from(STRICTNESS), scipy_off=st.booleans())
def test_transformations(name, fun, m, n, h, method, mode, scipy_off):
    need(name)
    ctx = Ctx()
    obj, fake = _build_m(m, ctx)
    nn = build(n, ctx)
    with environment(fake, scipy_off), strictness(mode):
        r = attempt(getattr(q, name), build(fun, ctx), obj, nn, build(h, ctx), build(method, ctx),
                    allowed=_allowed(mode))
    if not isinstance(r, Raised) and _is_huge(nn):
        raise AssertionError("n=%r gave a result" % nn)


# ---------------------------------------------------------------------------------------------------------
# Replaced module names, call shapes, and a comparison with the plain numpy/scipy reference.

REPLACEABLE = ["np", "pd", "_PANDAS_OK", "_SCIPY_OK", "PchipInterpolator", "CubicSpline", "minimize_scalar",
               "_as_xy", "_to_dict_or_mat", "orvo_marginal_fix", "_pchip", "_cubic", "orvo_smarginal",
               "orvo_sfmarginal", "orvo_is_marginal", "_simpson_odd_grid", "orvo_emarginal", "orvo_dmarginal",
               "orvo_pmarginal", "orvo_qmarginal", "_minimize_on_interval", "orvo_mmarginal", "orvo_deriv_func",
               "orvo_tmarginal"]


def _replacement_values():
    return st.one_of(
        callables(),
        named(JUNK_FACTORIES),
        trap_recipes(["bool", "getitem", "call", "eq"]),
        st.sampled_from([
            Named("returns {'x': [1,2,3], 'y': [1,2,1]}",
                  lambda: (lambda *a, **k: {"x": np.array([1.0, 2.0, 3.0]), "y": np.array([1.0, 2.0, 1.0])})),
            Named("returns {'range': (0, 1), 'fun': junk}", lambda: (lambda *a, **k: {"range": (0.0, 1.0),
                                                                                       "fun": Junk()})),
            Named("returns {'range': junk, 'fun': np.sin}", lambda: (lambda *a, **k: {"range": Junk(),
                                                                                       "fun": np.sin})),
            Named("returns (x, y, junk-bool)", lambda: (lambda *a, **k: (np.zeros(3), np.ones(3), Junk()))),
            Named("returns np.sin", lambda: (lambda *a, **k: np.sin)),
            Named("returns 3-d array", lambda: (lambda *a, **k: np.zeros((2, 2, 2)))),
        ]))


@pytest.mark.parametrize("name", PUBLIC)
@examples(0.5)
@given(m=marginal_recipes(plain=True), replaced=st.dictionaries(st.sampled_from(REPLACEABLE), _replacement_values(),
                                                                 min_size=1, max_size=2),
       mode=st.sampled_from(STRICTNESS))
def test_replaced_module_names(name, m, replaced, mode):
    """Junk in the module's names: whatever Python code would make of it, as long as it is an ordinary
    exception (or a result), and never a crash or a SystemError."""
    need(name)
    ctx = Ctx()
    obj, _ = _build_m(m, ctx)
    args = _typical_args(name, obj)
    fn = getattr(q, name)  # the module's own function, called with some of the names it uses replaced
    with patched(q, **{k: build(v, ctx) for k, v in replaced.items()}), strictness(mode), quiet_stdout():
        attempt(fn, *args, allowed=(Exception,), where=name)


def _typical_args(name, m):
    f = lambda x, *a, **k: np.asarray(x) * 2.0  # noqa: E731
    return {
        "orvo_is_marginal": (m,), "orvo_marginal_fix": (m,), "orvo_spline": (m,), "orvo_smarginal": (m,),
        "orvo_sfmarginal": (m,), "orvo_emarginal": (f, m), "orvo_dmarginal": ([0.0, 0.5], m),
        "orvo_pmarginal": ([0.0, 0.5], m, True, 64), "orvo_qmarginal": ([0.1, 0.5], m, 64),
        "orvo_hpdmarginal": ([0.5, 0.9], m, 64), "orvo_mmarginal": (m,), "orvo_zmarginal": (m, True),
        "orvo_rmarginal": (5, m, np.random.default_rng(0)), "orvo_deriv_func": (f,),
        "orvo_tmarginal": (f, m, 16), "orvo_marginal_transform": (f, m, 16, 1e-4, "linear"),
    }[name]


@pytest.mark.parametrize("name", PUBLIC + PRIVATE)
@examples(0.2)
@given(args=st.lists(values(max_leaves=2), max_size=6),
       kwargs=st.dictionaries(st.sampled_from(["marginal", "x", "y", "log", "length", "factor", "n", "fun", "p",
                                               "q", "method", "silent", "rng", "zzz", "kwargs", "args"]),
                              values(max_leaves=2), max_size=3))
def test_call_shapes(name, args, kwargs):
    need(name)
    ctx = Ctx()
    a = [build(r, ctx) for r in args]
    k = {n: build(r, ctx) for n, r in kwargs.items()}
    with strictness("quiet"), quiet_stdout():
        # The public factories build scipy's interpolators, whose own errors pass through unchanged.
        scipy_own = (ZeroDivisionError,) if name in ("_pchip", "_cubic") else ()
        attempt(getattr(q, name), *a, allowed=ALLOWED + (AttributeError,) + scipy_own, **k)


@examples(1)
@given(factor=st.one_of(st.integers(-60, 60), st.integers(-2 ** 70, 2 ** 70),
                        st.sampled_from([2 ** 62, -2 ** 62, 2 ** 63, -2 ** 63, 2 ** 63 - 1, -2 ** 63 + 1])),
       k=st.integers(3, 8), extrapolate=st.sampled_from([0.0, 0.25]))
def test_smoothing_grid_size(factor, k, extrapolate):
    """The grid has factor * k points, or the knot count nx when that is larger (so any factor at or below
    zero gives nx points, however negative); a grid no machine can hold is an error, never a wrapped size."""
    need("orvo_smarginal")
    x = np.linspace(0.0, 1.0, k)
    m = {"x": x, "y": np.exp(-((x - 0.5) ** 2))}
    nx = k + (2 if extrapolate else 0)
    want = max(factor * k, nx)
    # Between these, the module does try to allocate the grid: whether that fails depends on the machine
    # (it may fit, or exhaust memory; under the sanitizers the allocator aborts the process).
    assume(want <= 10 ** 7 or want > np.iinfo(np.intp).max // 16)
    with strictness("quiet"):
        r = attempt(q.orvo_smarginal, m, True, extrapolate, False, factor,
                    allowed=(ValueError, MemoryError, OverflowError))
    if want > 10 ** 7:
        assert isinstance(r, Raised), "factor %d gave %d points" % (factor, len(r["x"]))
    else:
        assert not isinstance(r, Raised), r
        assert len(r["x"]) == want


# ---------------------------------------------------------------------------------------------------------
# Odd layouts must not change the numbers, and faulty numbers must fail as the plain numpy/scipy
# transcription of the algorithms fails.

def _queries(m, rng_seed=3):
    """Every public query on marginal m, as (label, zero-argument function)."""
    f = lambda x: np.column_stack([x, np.asarray(x) ** 2])  # noqa: E731
    return [
        ("fix", lambda: q.orvo_marginal_fix(m)),
        ("spline", lambda: q.orvo_spline(m)),
        ("smarginal", lambda: q.orvo_smarginal(m, log=True, extrapolate=0.1, keep_type=True, factor=7)),
        ("sfmarginal", lambda: q.orvo_sfmarginal(m)["fun"](np.linspace(-3, 3, 13))),
        ("emarginal", lambda: q.orvo_emarginal(f, m)),
        ("dmarginal", lambda: q.orvo_dmarginal(np.linspace(-4, 4, 17), m, log=True)),
        ("pmarginal", lambda: q.orvo_pmarginal(np.linspace(-4, 4, 17), m, length=300)),
        ("qmarginal", lambda: q.orvo_qmarginal(np.linspace(0, 1, 17), m, length=300)),
        ("hpdmarginal", lambda: q.orvo_hpdmarginal([0.1, 0.5, 0.95], m, length=300)),
        ("mmarginal", lambda: q.orvo_mmarginal(m)),
        ("zmarginal", lambda: q.orvo_zmarginal(m, silent=True)),
        ("rmarginal", lambda: q.orvo_rmarginal(20, m, rng=np.random.default_rng(rng_seed))),
        ("tmarginal", lambda: q.orvo_tmarginal(np.exp, m, n=40)),
    ]


def _canonical(obj):
    """The same marginal as plain C-ordered float64 (what np.asarray(..., dtype=float) reads from it)."""
    if isinstance(obj, np.ndarray):
        return np.ascontiguousarray(np.asarray(obj, dtype=float))
    return {"x": np.ascontiguousarray(np.asarray(obj["x"], dtype=float)),
            "y": np.ascontiguousarray(np.asarray(obj["y"], dtype=float))}


def _same_result(a, b):
    if isinstance(a, Raised) or isinstance(b, Raised):
        return isinstance(a, Raised) and isinstance(b, Raised) and type(a.exc) is type(b.exc)
    if isinstance(a, dict):
        return type(b) is dict and list(a) == list(b) and all(_same_result(a[k], b[k]) for k in a)
    a, b = np.asarray(a), np.asarray(b)
    return a.dtype == b.dtype and a.shape == b.shape and np.array_equal(a, b, equal_nan=True)


LAYOUT_EQUIVALENT = ["C", "F", "strided", "reversed", "readonly", "unaligned", "byteswapped", "subclass", "f4", "f2",
                     "i8"]


@examples(4)
@given(n=st.integers(3, 30), seed=st.integers(0, 2 ** 16), faults=st.lists(st.sampled_from(
    ["nan_y", "zero_y", "unsorted", "tiny_y", "neg_x_scale", "dup_x"]), max_size=2),
       form=st.sampled_from(["matrix", "dict"]), layout=st.sampled_from(LAYOUT_EQUIVALENT),
       column=st.sampled_from(["f8", "f4", "i8", "list", "tuple", "masked"]), scipy_off=st.booleans())
def test_layouts_and_dtypes_do_not_change_results(n, seed, faults, form, layout, column, scipy_off):
    """A marginal in any memory layout or numeric dtype gives bit for bit the results of its plain
    float64 copy: native code that read a buffer without honouring strides, byte order or alignment would
    return wrong numbers without crashing."""
    need("orvo_tmarginal", "orvo_zmarginal")
    recipe = MarginalRecipe(n, tuple(faults), form, layout if form == "matrix" else column, seed)
    ctx = Ctx()
    odd, _ = make(recipe, ctx)
    with strictness("quiet"):
        plain = _canonical(odd)
    with environment(None, scipy_off), strictness("quiet"), quiet_stdout():
        for (label, fa), (_, fb) in zip(_queries(odd), _queries(plain)):
            a = attempt(fa, allowed=ALLOWED, where=label)
            b = attempt(fb, allowed=ALLOWED, where=label)
            assert _same_result(a, b), (label, a, b)


@examples(4)
@given(m=marginal_recipes(plain=True), scipy_off=st.booleans())
def test_failures_match_the_reference(m, scipy_off):
    """Faulty float64 marginals: each query fails exactly when the plain numpy/scipy transcription fails,
    with the same exception type."""
    need("orvo_tmarginal", "orvo_zmarginal")
    import quadra_queries_reference as reference

    ref = reference.Ref(scipy=not scipy_off)
    ctx = Ctx()
    obj, _ = make(m, ctx)
    f = lambda x: np.column_stack([x, np.asarray(x) ** 2])  # noqa: E731
    pts = np.linspace(-4, 4, 9)
    pairs = [
        ("fix", lambda: q.orvo_marginal_fix(obj), lambda: ref.fix(obj)),
        ("smarginal", lambda: q.orvo_smarginal(obj, factor=5), lambda: ref.smarginal(obj, factor=5)),
        ("emarginal", lambda: q.orvo_emarginal(f, obj), lambda: ref.emarginal(f, obj)),
        ("dmarginal", lambda: q.orvo_dmarginal(pts, obj), lambda: ref.dmarginal(pts, obj)),
        ("pmarginal", lambda: q.orvo_pmarginal(pts, obj, length=200), lambda: ref.pmarginal(pts, obj, length=200)),
        ("qmarginal", lambda: q.orvo_qmarginal([0.2, 0.7], obj, length=200),
         lambda: ref.qmarginal([0.2, 0.7], obj, length=200)),
        ("hpdmarginal", lambda: q.orvo_hpdmarginal([0.5], obj, length=200),
         lambda: ref.hpdmarginal([0.5], obj, length=200)),
        ("rmarginal", lambda: q.orvo_rmarginal(5, obj, rng=np.random.default_rng(1)),
         lambda: ref.rmarginal(5, obj, rng=np.random.default_rng(1))),
        ("tmarginal", lambda: q.orvo_tmarginal(np.exp, obj, n=20, method="linear"),
         lambda: ref.tmarginal(np.exp, obj, n=20, method="linear")),
    ]
    with environment(None, scipy_off), strictness("quiet"):
        for label, native, python in pairs:
            a = attempt(native, allowed=ALLOWED, where=label)
            try:
                b = python()
            except Exception as e:  # noqa: BLE001 - compared below
                b = Raised(e)
            assert isinstance(a, Raised) == isinstance(b, Raised), (label, a, b)
            if isinstance(a, Raised):
                assert type(a.exc) is type(b.exc), (label, a, b)
