"""vexil.pure.quadra: densities, distribution and quantile functions, expectations, HPD intervals, the mode,
the summary, random draws and transformed marginals.

Results are compared with a plain numpy/scipy transcription of the algorithms
(tests/quadra_queries_reference.py) on several marginals, with both backends (scipy and the linear /
golden-section fallback), and with independent truths (scipy.stats densities tabulated on 50 to 100 points).
Values that pass through exp/log and the cubic spline's solve agree to 1e-12 relative; the mode and the HPD
ends (minimiser results) to 1e-9 of the range.
"""
import gc
import inspect
import math
import sys
import threading

import numpy as np
import pytest

import quadra_queries_reference
import quadra_reference
from quadra_queries_reference import Ref
from quadra_testing import outcome, run_python
from vexil.pure import quadra as q

stats = pytest.importorskip("scipy.stats")
scipy_optimize = pytest.importorskip("scipy.optimize")

REF = {True: Ref(scipy=True), False: Ref(scipy=False)}
FUN_SHAPE = "fun(x) must return an array with first dimension equal to len(x)."
NOT_MARGINAL = "Input is not a valid marginal (matrix Nx2 or dict {'x','y'})."


@pytest.fixture(params=[True, False], ids=["scipy", "fallback"])
def ref(request, monkeypatch):
    """Runs a test with the scipy backend and with the fallback (the flag is read at call time)."""
    monkeypatch.setattr(q, "_SCIPY_OK", request.param)
    return REF[request.param]


def skewed(rng, k):
    """k unevenly spaced points of a skewed bump, shuffled."""
    gaps = rng.exponential(1.0, k) ** rng.uniform(0.5, 2.0) + 1e-2
    x = np.cumsum(gaps) * rng.uniform(0.1, 10.0) + rng.uniform(-20.0, 20.0)
    z = (x - x.mean()) / x.std()
    y = np.exp(-0.5 * z ** 2 * rng.uniform(0.5, 2.0) + rng.uniform(-1, 1) * z) * rng.uniform(0.01, 100)
    perm = rng.permutation(k)
    return {"x": x[perm], "y": y[perm]}


def normal50():
    x = np.linspace(-6.0, 6.0, 50)
    return {"x": x, "y": stats.norm.pdf(x)}


def gamma75():
    x = np.sort(np.random.default_rng(7).uniform(0.02, 14.0, 75))
    return {"x": x, "y": stats.gamma.pdf(x, 3.0)}


def beta100():
    x = np.linspace(0.002, 0.998, 100)
    return {"x": x, "y": stats.beta.pdf(x, 2.0, 5.0)}


def marginals():
    rng = np.random.default_rng(11)
    g = gamma75()
    return {
        "normal50": normal50(),
        "gamma75-matrix": np.column_stack([g["x"], g["y"]]),
        "beta100": beta100(),
        "skewed20": skewed(rng, 20),
        "skewed61": skewed(rng, 61),
        "skewed200": skewed(rng, 200),
    }


MARGINALS = marginals()
CASES = list(MARGINALS)


def span(m):
    x = m[:, 0] if isinstance(m, np.ndarray) else np.asarray(m["x"])
    return float(np.ptp(x))


def assert_close(got, want, rtol=1e-12, atol=0.0):
    got, want = np.asarray(got), np.asarray(want)
    assert got.shape == want.shape
    assert got.dtype == want.dtype
    np.testing.assert_array_equal(np.isnan(got), np.isnan(want))
    ok = ~np.isnan(want)
    np.testing.assert_allclose(got[ok], want[ok], rtol=rtol, atol=atol)




# ---------------------------------------------------------------------------------------------------------
# The module's second half as Python sees it

ORDER = ["orvo_sfmarginal", "_simpson_odd_grid", "orvo_emarginal", "orvo_dmarginal", "orvo_pmarginal",
         "orvo_qmarginal", "_minimize_on_interval", "orvo_hpdmarginal", "orvo_rmarginal", "orvo_deriv_func",
         "orvo_tmarginal", "orvo_mmarginal", "orvo_zmarginal", "orvo_marginal_transform"]

SIGNATURES = {
    "_simpson_odd_grid": "(x: 'np.ndarray') -> 'np.ndarray'",
    "orvo_emarginal": "(fun: 'Callable', marginal: 'Marginal', *args, **kwargs) -> 'np.ndarray'",
    "orvo_dmarginal": "(x: 'ArrayLike', marginal: 'Marginal', log: 'bool' = False) -> 'np.ndarray'",
    "orvo_pmarginal": "(q: 'ArrayLike', marginal: 'Marginal', normalize: 'bool' = True, length: 'int' = 2048)"
                      " -> 'np.ndarray'",
    "orvo_qmarginal": "(p: 'ArrayLike', marginal: 'Marginal', length: 'int' = 2048) -> 'np.ndarray'",
    "_minimize_on_interval": "(f: 'Callable[[float], float]', a: 'float', b: 'float', tol: 'float' = 1e-06)"
                             " -> 'float'",
    "orvo_hpdmarginal": "(p: 'ArrayLike', marginal: 'Marginal', length: 'int' = 2048) -> 'np.ndarray'",
    "orvo_rmarginal": "(n: 'int', marginal: 'Marginal', rng: 'Optional[np.random.Generator]' = None)"
                      " -> 'np.ndarray'",
    "orvo_deriv_func": "(fun: 'Callable[[ArrayLike], ArrayLike]', step_size: 'float' = 0.0006864518129765004)"
                       " -> 'Callable[[ArrayLike], np.ndarray]'",
    "orvo_tmarginal": "(fun: 'Callable[[ArrayLike], ArrayLike]', marginal: 'Marginal', n: 'int' = 2048, "
                      "h_diff: 'float' = 6.055454452393342e-05, method: 'str' = 'quantile') -> 'Marginal'",
    "orvo_mmarginal": "(marginal: 'Marginal') -> 'float'",
    "orvo_zmarginal": "(marginal: 'Marginal', silent: 'bool' = False) -> 'Dict[str, float]'",
    "orvo_marginal_transform": "(fun, marginal, n: 'int' = 2048, h_diff: 'float' = 6.055454452393342e-05, "
                               "method: 'str' = 'quantile')",
}

DOCS = {
    "_simpson_odd_grid": "Build the 'dx' weights for Simpson-like integration\non a (possibly) non-equispaced grid.",
    "orvo_emarginal": "Compute E[ fun(X) ] for X ~ `marginal`. Works if fun returns a vector per x.",
    "orvo_dmarginal": "Evaluate density (or log-density) at points x. Returns 0 (or -inf) outside range.",
    "orvo_pmarginal": "Compute P(X <= q).\n``normalize`` is retained for API compatibility and ignored "
                      "(the result is always normalized).",
    "orvo_qmarginal": "Compute quantiles by inverting the CDF (monotone interpolation).",
    "_minimize_on_interval": "Minimize f on [a,b]. Use SciPy if present; otherwise do a golden-section search.\n"
                             "Returns the argmin.",
    "orvo_hpdmarginal": "Highest Posterior Density (HPD) intervals for unimodal marginals.\n"
                        "Returns an array of shape (len(p), 2) with columns [low, high].",
    "orvo_rmarginal": "Random draws from the marginal by inverse-CDF sampling.",
    "orvo_deriv_func": "Return a function computing derivative of `fun(x)` using a 5-point stencil.\n"
                       "Assumes `fun` is vectorized.",
    "orvo_tmarginal": "Transform a marginal: Y = fun(X). Output is a new marginal approximation for Y.",
    "orvo_mmarginal": "Approximate mode of a marginal. Coarse grid via 1%..99% quantiles then refine.",
    "orvo_zmarginal": "Summary: mean, sd, mode, selected quantiles. Prints (unless silent) and returns dict.",
    "orvo_marginal_transform": None,
}


def test_definition_order_and_introspection():
    names = list(vars(q))
    i = names.index("orvo_sfmarginal")
    assert names[i:] == ORDER
    for name, sig in SIGNATURES.items():
        f = getattr(q, name)
        assert str(inspect.signature(f)) == sig, name
        assert f.__name__ == f.__qualname__ == name
        assert f.__module__ == "vexil.pure.quadra"
        assert f.__doc__ == DOCS[name]


def test_computed_defaults_are_plain_floats():
    eps = float(q._EPS)
    (step,) = q.orvo_deriv_func.__defaults__
    assert type(step) is float and step == eps ** 0.25 == 0.0006864518129765004
    for f in (q.orvo_tmarginal, q.orvo_marginal_transform):
        n, h, method = f.__defaults__
        assert (type(n), type(h), type(method)) == (int, float, str)
        assert (n, h, method) == (2048, eps ** (1 / 3), "quantile")
        assert h == 6.055454452393342e-05
    assert q.orvo_marginal_transform.__annotations__ == {"n": "int", "h_diff": "float", "method": "str"}


@pytest.mark.parametrize("call, text", [
    (lambda m: q.orvo_pmarginal(0.0, m, length="2"),
     "Argument 'length' has incorrect type (expected int, got str)"),
    (lambda m: q.orvo_qmarginal(0.5, m, length=None),
     "Argument 'length' has incorrect type (expected int, got NoneType)"),
    (lambda m: q.orvo_hpdmarginal(0.5, m, length=[1]),
     "Argument 'length' has incorrect type (expected int, got list)"),
    (lambda m: q.orvo_rmarginal("3", m), "Argument 'n' has incorrect type (expected int, got str)"),
    (lambda m: q.orvo_tmarginal(np.exp, m, n="5"), "Argument 'n' has incorrect type (expected int, got str)"),
    (lambda m: q.orvo_tmarginal(np.exp, m, method=None),
     "Argument 'method' has incorrect type (expected str, got NoneType)"),
    (lambda m: q.orvo_marginal_transform(np.exp, m, 10, 1e-4, b"linear"),
     "Argument 'method' has incorrect type (expected str, got bytes)"),
    (lambda m: q._minimize_on_interval(abs, "0", 1.0), "must be real number, not str"),
    (lambda m: q.orvo_tmarginal(np.exp, m, h_diff="x"), "must be real number, not str"),
    (lambda m: q.orvo_zmarginal(), "orvo_zmarginal() missing 1 required positional argument: 'marginal'"),
    (lambda m: q.orvo_dmarginal(0.0, m, False, 1), "orvo_dmarginal() takes from 2 to 3 positional arguments "
                                                    "but 4 were given"),
])
def test_argument_conventions(call, text):
    with pytest.raises(TypeError) as e:
        call(MARGINALS["normal50"])
    assert str(e.value) == text


def test_int_and_bool_parameters_are_converted():
    m = MARGINALS["normal50"]
    np.testing.assert_array_equal(q.orvo_qmarginal([0.3], m, length=100.9), q.orvo_qmarginal([0.3], m, length=100))
    np.testing.assert_array_equal(q.orvo_pmarginal([0.3], m, normalize=[]), q.orvo_pmarginal([0.3], m))
    assert q.orvo_rmarginal(3.7, m, rng=np.random.default_rng(0)).shape == (3,)
    np.testing.assert_array_equal(q.orvo_dmarginal([0.1], m, log="yes"), q.orvo_dmarginal([0.1], m, log=True))


# ---------------------------------------------------------------------------------------------------------
# _simpson_odd_grid

@pytest.mark.parametrize("x", [[0, 1, 3], [0.0, 1.0, 3.0], np.array([2.5]), np.array([]), [True, False, True],
                               np.array([[0.0, 1.0, 3.0], [1.0, 2.0, 4.0]]), np.arange(10.0)[::3],
                               np.array([0.0, 1e300, -1e300]), np.array([1, 2, 4], dtype=np.int8)])
def test_simpson_odd_grid_as_numpy(x):
    got, want = outcome(q._simpson_odd_grid, x), outcome(Ref.simpson_odd_grid, x)
    assert got[0] == want[0]
    if got[0] == "err":
        assert got[1:] == want[1:]
    else:
        assert got[1].dtype == want[1].dtype
        np.testing.assert_array_equal(got[1], want[1])


def test_simpson_odd_grid_examples():
    np.testing.assert_array_equal(q._simpson_odd_grid([0, 1, 3]), [0.5, 1.5, 1.0])
    x = np.sort(np.random.default_rng(3).uniform(0, 5, 1001))
    np.testing.assert_array_equal(q._simpson_odd_grid(x), Ref.simpson_odd_grid(x))
    with pytest.raises(ValueError, match="at least one dimensional"):
        q._simpson_odd_grid(1.0)


# ---------------------------------------------------------------------------------------------------------
# Against the numpy/scipy algorithms

@pytest.mark.parametrize("case", CASES)
def test_expectation_matches(case, ref):
    m = MARGINALS[case]
    assert_close(q.orvo_emarginal(lambda x: x, m), ref.emarginal(lambda x: x, m))
    two = lambda x: np.column_stack([x, x ** 2])  # noqa: E731
    assert_close(q.orvo_emarginal(two, m), ref.emarginal(two, m))
    f = lambda x, a, b=0.0: np.sin(a * x) + b  # noqa: E731
    assert_close(q.orvo_emarginal(f, m, 0.3, b=2.0), ref.emarginal(f, m, 0.3, b=2.0))


@pytest.mark.parametrize("case", CASES)
def test_density_and_distribution_match(case, ref):
    m = MARGINALS[case]
    x = m[:, 0] if isinstance(m, np.ndarray) else m["x"]
    lo, hi = x.min(), x.max()
    pts = np.r_[np.linspace(lo - 0.1 * (hi - lo), hi + 0.1 * (hi - lo), 37), lo, hi, np.nan]
    for log in (False, True):
        assert_close(q.orvo_dmarginal(pts, m, log=log), ref.dmarginal(pts, m, log=log))
    assert_close(q.orvo_pmarginal(pts, m), ref.pmarginal(pts, m))
    assert_close(q.orvo_pmarginal(pts, m, length=57), ref.pmarginal(pts, m, length=57))
    p = np.r_[-0.5, 0.0, np.linspace(0.0, 1.0, 41), 1.0 - 1e-14, 1.0, 1.5, np.nan]
    assert_close(q.orvo_qmarginal(p, m), ref.qmarginal(p, m), atol=1e-12 * (hi - lo))
    assert_close(q.orvo_qmarginal(p, m, length=33), ref.qmarginal(p, m, length=33), atol=1e-12 * (hi - lo))


@pytest.mark.parametrize("case", CASES)
def test_mode_hpd_and_summary_match(case, ref):
    m = MARGINALS[case]
    tol = 1e-9 * span(m)
    # The module builds the log-density once; the algorithm as written rebuilds it at every evaluation. Both
    # give the same numbers.
    want_mode = ref.mmarginal(m)
    assert ref.mmarginal_smoothed_once(m) == want_mode
    assert abs(q.orvo_mmarginal(m) - want_mode) <= tol
    levels = [0.0, 0.5, 0.8, 0.95, 0.99, 1.0]
    assert_close(q.orvo_hpdmarginal(levels, m), ref.hpdmarginal(levels, m), rtol=0, atol=tol)
    got, want = q.orvo_zmarginal(m, silent=True), ref.zmarginal(m)
    assert list(got) == list(want)
    for k in want:
        assert type(got[k]) is float
        assert got[k] == pytest.approx(want[k], rel=1e-12, abs=tol if k == "mode" else 1e-12 * span(m))


def random_marginal(rng, k, kind):
    """k points of a tabulated density, unevenly spaced: skewed, bell-shaped, clustered or heavy-tailed."""
    if kind == 0:
        x = np.sort(rng.gamma(2.0, 1.5, k)) + rng.uniform(-1, 1)
        y = np.exp((rng.uniform(1.5, 6.0) - 1.0) * np.log(np.maximum(x - x.min() + 0.05, 1e-3)) - x)
    elif kind == 1:
        x = np.sort(rng.normal(rng.uniform(-5, 5), rng.uniform(0.1, 10), k))
        sd = np.std(x) * rng.uniform(0.3, 1.2) + 1e-9
        y = np.exp(-0.5 * ((x - np.mean(x)) / sd) ** 2) * rng.uniform(0.01, 100)
    elif kind == 2:
        x = np.sort(np.concatenate([rng.normal(0, 0.01, k // 2), rng.uniform(-3, 3, k - k // 2)]))
        y = np.exp(-np.abs(x)) + 1e-3
    else:
        x = np.cumsum(rng.exponential(1.0, k) * 10.0 ** rng.uniform(-3, 1, k)) * 10.0 ** rng.uniform(-3, 3)
        y = np.exp(-x / x.mean()) * (1.0 + 0.2 * rng.uniform(size=k))
    return {"x": x, "y": y}


@pytest.mark.parametrize("seed", range(4))
def test_mode_hpd_and_summary_match_on_random_marginals(seed, ref):
    # Marginals of 8 to 200 points of four kinds, several grid lengths and levels (including levels outside
    # [0, 1]); the reference's mode search with the log-density built once (equal to the algorithm as
    # written, see above).
    rng = np.random.default_rng(40 + seed)
    for i in range(8):
        m = random_marginal(rng, int(np.exp(rng.uniform(np.log(8), np.log(200)))), i % 4)
        tol = 1e-9 * span(m)
        length = [2048, 500, 37][i % 3]
        levels = [0.95, 0.5, 0.0, 1.0, 1.5, -0.2, 0.8]
        assert_close(q.orvo_hpdmarginal(levels, m, length=length), ref.hpdmarginal(levels, m, length=length),
                     rtol=0, atol=tol)
        assert abs(q.orvo_mmarginal(m) - ref.mmarginal_smoothed_once(m)) <= tol
        got, want = q.orvo_zmarginal(m, silent=True), ref.zmarginal(m)
        for k in want:
            assert got[k] == pytest.approx(want[k], rel=1e-11, abs=tol if k == "mode" else 1e-11 * span(m))


@pytest.mark.parametrize("case", CASES)
@pytest.mark.parametrize("method", ["quantile", "linear"])
def test_transformation_matches(case, method, ref):
    m = MARGINALS[case]
    x = m[:, 0] if isinstance(m, np.ndarray) else np.asarray(m["x"])
    shift = 1.0 - x.min()
    fun = lambda v: np.log(v + shift)  # noqa: E731
    got = q.orvo_tmarginal(fun, m, n=301, method=method)
    want = ref.tmarginal(fun, m, n=301, method=method)
    if isinstance(m, np.ndarray):
        assert got.shape == (301, 2)
        got, want = {"x": got[:, 0], "y": got[:, 1]}, {"x": want[:, 0], "y": want[:, 1]}
    assert list(got) == ["x", "y"]
    assert_close(got["x"], want["x"], rtol=1e-11)
    # The density divides by a difference quotient: a 1e-12 change in a point moves it by up to
    # eps * |f| / (h * |f'|), about 1e-7 relative for these functions.
    assert_close(got["y"], want["y"], rtol=1e-6)
    again = q.orvo_marginal_transform(fun, m, 301, q.orvo_tmarginal.__defaults__[1], method)
    if isinstance(again, np.ndarray):
        again = {"x": again[:, 0], "y": again[:, 1]}
    np.testing.assert_array_equal(again["x"], got["x"])
    np.testing.assert_array_equal(again["y"], got["y"])


def test_sampling_is_inverse_cdf_of_seeded_uniforms(ref):
    m = MARGINALS["skewed61"]
    a = q.orvo_rmarginal(1000, m, rng=np.random.default_rng(5))
    b = q.orvo_rmarginal(1000, m, rng=np.random.default_rng(5))
    np.testing.assert_array_equal(a, b)
    u = np.random.default_rng(5).uniform(size=1000)
    assert_close(a, ref.qmarginal(u, m), atol=1e-12 * span(m))
    assert q.orvo_rmarginal(0, m).shape == (0,)
    with pytest.raises(ValueError, match="negative dimensions"):
        q.orvo_rmarginal(-1, m)
    c = q.orvo_rmarginal(50, m)  # a fresh generator from the operating system
    assert c.shape == (50,) and np.all(np.isfinite(c))


# ---------------------------------------------------------------------------------------------------------
# Independent truths: scipy.stats densities tabulated on 50 to 100 points

def hpd_truth(dist, level):
    """The shortest interval of a unimodal density: equal densities at both ends, mass `level`."""
    def upper(lo):
        return dist.ppf(dist.cdf(lo) + level)
    lo = scipy_optimize.minimize_scalar(lambda l: upper(l) - l, bounds=(dist.ppf(1e-9), dist.ppf(1 - level - 1e-9)),
                                        method="bounded", options={"xatol": 1e-12}).x
    return lo, upper(lo)


@pytest.mark.parametrize("make, dist, mode, tol", [
    (normal50, stats.norm(), 0.0, 2e-3),
    (gamma75, stats.gamma(3.0), 2.0, 2e-2),
    (beta100, stats.beta(2.0, 5.0), 0.2, 2e-3),
])
def test_summaries_of_known_densities(make, dist, mode, tol):
    m = make()
    z = q.orvo_zmarginal(m, silent=True)
    assert z["mean"] == pytest.approx(dist.mean(), abs=tol)
    assert z["sd"] == pytest.approx(dist.std(), abs=tol)
    for p in (0.025, 0.25, 0.5, 0.75, 0.975):
        assert z[f"quant{p}"] == pytest.approx(dist.ppf(p), abs=tol)
    # The monotone interpolant of the log-density is flat between two table points of equal height, so the
    # mode is known to within the table's spacing there.
    i = np.searchsorted(m["x"], mode)
    assert z["mode"] == pytest.approx(mode, abs=max(tol, np.diff(m["x"])[i - 2:i + 1].max()))
    third = dist.moment(3) - 3 * dist.mean() * dist.var() - dist.mean() ** 3  # the table truncates the tail
    assert float(q.orvo_emarginal(lambda x: (x - dist.mean()) ** 3, m)) == pytest.approx(
        third, abs=max(10 * tol, 0.05 * abs(third)))
    for level in (0.5, 0.95):
        (lo, hi), = q.orvo_hpdmarginal(level, m)
        want = hpd_truth(dist, level)
        assert lo == pytest.approx(want[0], abs=5 * tol) and hi == pytest.approx(want[1], abs=5 * tol)
    grid = np.linspace(dist.ppf(0.01), dist.ppf(0.99), 9)
    np.testing.assert_allclose(q.orvo_pmarginal(grid, m), dist.cdf(grid), atol=tol)
    np.testing.assert_allclose(q.orvo_dmarginal(grid, m), dist.pdf(grid), rtol=20 * tol)


# ---------------------------------------------------------------------------------------------------------
# Expectation

def test_expectation_shapes_and_calls():
    m = MARGINALS["skewed61"]
    seen = []

    def fun(x, *args, **kwargs):
        seen.append((type(x), x.dtype, x.ndim, x.shape[0] % 2, x.flags.c_contiguous, args, kwargs))
        return x

    r = q.orvo_emarginal(fun, m, 1, "a", k=None)
    assert isinstance(r, np.ndarray) and r.shape == () and r.dtype == np.float64
    assert seen == [(np.ndarray, np.float64, 1, 1, True, (1, "a"), {"k": None})]
    assert q.orvo_emarginal(lambda x: np.column_stack([x, x ** 2, x ** 3]), m).shape == (3,)
    assert q.orvo_emarginal(lambda x: x[:, None], m).shape == ()
    assert q.orvo_emarginal(lambda x: np.empty((len(x), 0)), m).shape == (0,)
    # A single value broadcasts; ints, bools and float32 are promoted as numpy does.
    assert float(q.orvo_emarginal(lambda x: np.array([2.5]), m)) == pytest.approx(2.5, rel=1e-14)
    for conv in (lambda x: (x > x.mean()), lambda x: np.floor(x).astype(np.int64),
                 lambda x: x.astype(np.float32), lambda x: list(x)):
        assert_close(q.orvo_emarginal(conv, m), REF[True].emarginal(conv, m))


def test_expectation_drops_the_last_point_of_an_even_grid():
    m = MARGINALS["normal50"]
    n = len(q.orvo_smarginal(m)["x"])
    lengths = []
    q.orvo_emarginal(lambda x: lengths.append(len(x)) or x, m)
    assert lengths == [n - 1 if n % 2 == 0 else n]
    assert n % 2 == 0  # 750 smoothed points: the case this test is about


@pytest.mark.parametrize("fun", [
    lambda x: np.ones((len(x) + 1, 2)),
    lambda x: np.ones((3, len(x))),
    lambda x: np.ones((len(x) - 1, 1, 1)),
    lambda x: 1.0,  # a scalar result: the same message, not an IndexError
    lambda x: np.float64(2.0),
])
def test_expectation_shape_error(fun):
    with pytest.raises(ValueError) as e:
        q.orvo_emarginal(fun, MARGINALS["normal50"])
    assert str(e.value) == FUN_SHAPE


@pytest.mark.parametrize("fun", [
    lambda x: x[:-2],                               # numpy's broadcasting error
    lambda x: np.stack([x, x], axis=1)[:, :, None],  # three dimensions, broadcast as numpy does
    lambda x: x.astype(complex) * 1j,
    lambda x: np.array([object()] * len(x)),
    lambda x: x.astype(object),
    lambda x: x.astype(np.longdouble),
])
def test_expectation_other_results_follow_numpy(fun):
    m = MARGINALS["skewed20"]
    got, want = outcome(q.orvo_emarginal, fun, m), outcome(REF[True].emarginal, fun, m)
    assert got[0] == want[0]
    if got[0] == "err":
        assert got[1:] == want[1:]
    else:
        assert got[1].dtype == want[1].dtype and got[1].shape == want[1].shape
        kind = complex if got[1].dtype.kind == "c" else float
        np.testing.assert_allclose(got[1].astype(kind), want[1].astype(kind), rtol=1e-12)


def test_expectation_passes_errors_and_survives_kept_arrays():
    m = MARGINALS["skewed20"]
    with pytest.raises(ZeroDivisionError):
        q.orvo_emarginal(lambda x: 1 / 0, m)
    kept = []

    def keep_and_scribble(x):
        kept.append(x)
        out = x.copy()
        x[:] = np.nan  # writing into the array it was given changes nothing computed from it
        return out

    r = q.orvo_emarginal(keep_and_scribble, m)
    assert float(r) == pytest.approx(float(q.orvo_emarginal(lambda x: x, m)), rel=1e-15)
    gc.collect()
    assert np.isnan(kept[0]).all()


# ---------------------------------------------------------------------------------------------------------
# Density, distribution and quantile functions

def test_density_edges_and_shapes():
    m = MARGINALS["gamma75-matrix"]
    lo, hi = m[:, 0].min(), m[:, 0].max()
    inside = q.orvo_dmarginal([lo, hi], m)
    assert np.all(np.isfinite(inside)) and np.all(inside > 0)
    np.testing.assert_array_equal(q.orvo_dmarginal([np.nextafter(lo, -1), np.nextafter(hi, 99), np.nan], m), 0.0)
    np.testing.assert_array_equal(q.orvo_dmarginal([lo - 1, np.nan], m, log=True), -np.inf)
    r = q.orvo_dmarginal(1.0, m)
    assert type(r) is np.ndarray and r.shape == ()
    f = np.asfortranarray(np.linspace(lo, hi, 12).reshape(3, 4))
    rf = q.orvo_dmarginal(f, m)
    assert rf.shape == (3, 4) and rf.flags.f_contiguous and not rf.flags.c_contiguous
    np.testing.assert_array_equal(rf, q.orvo_dmarginal(np.ascontiguousarray(f), m))
    assert q.orvo_dmarginal([], m).shape == (0,)
    assert q.orvo_dmarginal([1, 2], m).dtype == np.float64
    with pytest.raises(ValueError, match="could not convert"):
        q.orvo_dmarginal(["a"], m)


def test_distribution_function_properties(ref):
    m = MARGINALS["skewed61"]
    x = np.asarray(m["x"])
    lo, hi = x.min(), x.max()
    assert q.orvo_pmarginal(lo, m) == 0.0 and q.orvo_pmarginal(lo - 5, m) == 0.0
    assert q.orvo_pmarginal(hi + 5, m) == pytest.approx(1.0, abs=1e-14)
    grid = np.linspace(lo - 1, hi + 1, 500)
    assert np.all(np.diff(q.orvo_pmarginal(grid, m)) >= 0)
    np.testing.assert_array_equal(q.orvo_pmarginal(grid, m, normalize=False), q.orvo_pmarginal(grid, m))
    assert np.isnan(q.orvo_pmarginal(np.nan, m))
    inner = np.linspace(lo, hi, 25)[1:-1]
    np.testing.assert_allclose(q.orvo_qmarginal(q.orvo_pmarginal(inner, m), m), inner, atol=1e-6 * (hi - lo))
    assert q.orvo_qmarginal(0.0, m) == lo and q.orvo_qmarginal(-3.0, m) == lo


def test_scalar_results_follow_the_interpolator(monkeypatch):
    m = MARGINALS["beta100"]
    for f in (q.orvo_pmarginal, q.orvo_qmarginal):
        r = f(0.3, m)
        assert type(r) is np.ndarray and r.shape == ()  # scipy's interpolators keep a 0-d array
    monkeypatch.setattr(q, "_SCIPY_OK", False)
    for f in (q.orvo_pmarginal, q.orvo_qmarginal):
        assert type(f(0.3, m)) is np.float64  # np.interp returns a scalar
        assert f([0.3], m).shape == (1,)


@pytest.mark.parametrize("length, exc, text", [
    (1, IndexError, "index 1 is out of bounds for axis 0 with size 1"),
    (0, IndexError, "index 1 is out of bounds for axis 0 with size 0"),
    (-3, ValueError, "Number of samples, -3, must be non-negative."),
])
def test_grid_length_errors(length, exc, text):
    m = MARGINALS["normal50"]
    for f in (q.orvo_pmarginal, q.orvo_qmarginal, q.orvo_hpdmarginal):
        with pytest.raises(exc) as e:
            f(0.5, m, length=length)
        assert str(e.value) == text


def test_quantile_of_one_is_the_upper_end_of_the_mass(ref):
    # A normal density out to seven standard deviations: the distribution function comes within _EPS of 1
    # before the last grid point, so the thinning keeps a first value below 1.0.
    x = np.linspace(-7, 7, 81)
    m = {"x": x, "y": np.exp(-0.5 * x ** 2)}
    f = ref.sfmarginal(ref.smarginal(m))
    rng_, cdf = ref.grid_cdf(m, 2048)[1:]
    thinned, grid = ref.thin(cdf, rng_)
    assert thinned[-1] < 1.0 and grid[-1] < x.max()  # the case of the mend
    assert np.isnan(ref.pchip(thinned, grid)(1.0))  # what the algorithm as written would return
    top = q.orvo_qmarginal([thinned[-1], 1.0, 2.0], m)
    np.testing.assert_array_equal(top, grid[-1])
    assert np.all(np.isfinite(q.orvo_rmarginal(2000, m, rng=np.random.default_rng(0))))
    assert f["range"][1] == x.max()


def test_thinning_reads_the_tolerance_at_call_time(monkeypatch, ref):
    # A wider _EPS thins longer runs of the distribution function near 0 and 1 (and cleans more), in the
    # quantiles, the intervals and the summary alike, as it does in the Python code.
    m = MARGINALS["normal50"]
    p = np.r_[0.0, 1e-4, np.linspace(0.0, 1.0, 41), 1.0 - 1e-4, 1.0]
    before = q.orvo_qmarginal(p, m)
    monkeypatch.setattr(q, "_EPS", 1e-3)
    monkeypatch.setattr(quadra_queries_reference, "EPS", 1e-3)  # the thinning
    monkeypatch.setattr(quadra_reference, "EPS", 1e-3)  # the cleaning
    got = q.orvo_qmarginal(p, m)
    assert_close(got, ref.qmarginal(p, m), atol=1e-12 * span(m))
    assert not np.array_equal(got, before)
    levels = [0.5, 0.95, 1.0]
    assert_close(q.orvo_hpdmarginal(levels, m), ref.hpdmarginal(levels, m), rtol=0, atol=1e-9 * span(m))
    got, want = q.orvo_zmarginal(m, silent=True), ref.zmarginal(m)
    for k in want:
        assert got[k] == pytest.approx(want[k], rel=1e-12, abs=1e-9 * span(m))


def test_interior_underflow_is_the_interpolators_error():
    # Densities so small that the trapezoid increments underflow to 0.0 in the middle: an interior run of
    # equal distribution values, which the monotone interpolator refuses as knots.
    x = np.linspace(0.0, 1.0, 60)
    y = np.where(np.abs(x - 0.5) < 0.2, 1e-322, 1e-310)
    m = {"x": x, "y": y}
    got, want = outcome(q.orvo_qmarginal, 0.5, m), outcome(REF[True].qmarginal, 0.5, m)
    assert got == want and got[0] == "err" and got[1] is ValueError


# ---------------------------------------------------------------------------------------------------------
# HPD intervals

def test_hpd_shapes_and_ends():
    m = MARGINALS["gamma75-matrix"]
    lo, hi = m[:, 0].min(), m[:, 0].max()
    assert q.orvo_hpdmarginal(0.95, m).shape == (1, 2)
    r = q.orvo_hpdmarginal([0.5, 0.95], m)
    assert r.shape == (2, 2) and r[1, 0] < r[0, 0] < r[0, 1] < r[1, 1]
    full, empty = q.orvo_hpdmarginal([1.0, 0.0], m)
    assert full[0] == lo
    assert empty[0] == empty[1]
    np.testing.assert_array_equal(q.orvo_hpdmarginal([1.7, -2.0], m), q.orvo_hpdmarginal([1.0, 0.0], m))
    many = q.orvo_hpdmarginal(np.linspace(0, 1, 21), m)
    assert np.all((many >= lo) & (many <= hi))
    assert q.orvo_hpdmarginal(np.zeros((0, 3)), m).shape == (0, 2)
    sym = q.orvo_hpdmarginal(0.9, normal50())[0]
    assert sym[0] == pytest.approx(-sym[1], abs=1e-2)


@pytest.mark.parametrize("p, exc, text", [
    ([np.nan], ValueError, "Optimization bounds must be finite scalars."),
    ([[0.5, 0.9]], TypeError, "only 0-dimensional arrays can be converted to Python scalars"),
    ([[0.5], [0.9]], TypeError, "only 0-dimensional arrays can be converted to Python scalars"),
])
def test_hpd_level_errors_with_both_backends(p, exc, text, ref):
    m = MARGINALS["beta100"]
    with pytest.raises(exc) as e:
        q.orvo_hpdmarginal(p, m)
    assert str(e.value) == text
    with pytest.raises(exc) as e:
        ref.hpdmarginal(p, m)
    assert str(e.value) == text


# ---------------------------------------------------------------------------------------------------------
# Mode and summary

def test_mode_lies_in_its_bracket():
    m = MARGINALS["skewed61"]
    p = np.arange(0.01, 1.0, 0.01)
    x = q.orvo_qmarginal(p, m)
    i = int(np.argmax(q.orvo_dmarginal(x, m, log=True)))
    mode = q.orvo_mmarginal(m)
    assert type(mode) is float
    assert x[max(0, i - 1)] <= mode <= x[min(98, i + 1)]


def test_mode_at_the_lowest_quantile():
    x = np.linspace(0.0, 10.0, 60)
    m = {"x": x, "y": np.exp(-x)}  # decreasing: the largest log-density among the quantiles is the 1% one
    x99 = q.orvo_qmarginal(np.arange(0.01, 1.0, 0.01), m)
    mode = q.orvo_mmarginal(m)
    assert x99[0] <= mode <= x99[1]
    assert mode == pytest.approx(REF[True].mmarginal(m), abs=1e-9)


def test_summary_prints_eight_lines(capsys):
    m = MARGINALS["beta100"]
    z = q.orvo_zmarginal(m)
    out = capsys.readouterr().out.splitlines()
    labels = ["Mean            ", "Stdev           ", "Quantile  0.025 ", "Quantile  0.25  ",
              "Quantile  0.5   ", "Quantile  0.75  ", "Quantile  0.975 ", "Mode            "]
    assert out == [f"{lab}{v:.6g}" for lab, v in zip(labels, z.values())]
    assert list(z) == ["mean", "sd", "quant0.025", "quant0.25", "quant0.5", "quant0.75", "quant0.975", "mode"]
    assert q.orvo_zmarginal(m, silent=True) == z
    assert capsys.readouterr().out == ""


def test_summary_formats_the_values_it_was_given(monkeypatch, capsys):
    calls = []

    def moments(fun, marginal):
        calls.append((fun.__qualname__, fun.__name__, marginal))
        x = np.array([1.0, 2.0])
        np.testing.assert_array_equal(fun(x), np.column_stack([x, x ** 2]))
        return np.array([0.123456789, 0.123456789 ** 2 - 1e-3])

    monkeypatch.setattr(q, "orvo_emarginal", moments)
    m = MARGINALS["normal50"]
    z = q.orvo_zmarginal(m)
    assert calls == [("orvo_zmarginal.<locals>.<lambda>", "<lambda>", m)]
    lines = capsys.readouterr().out.splitlines()
    assert lines[0] == "Mean            0.123457"
    assert lines[1] == "Stdev           0"  # a negative variance counts as zero
    assert z["mean"] == 0.123456789 and z["sd"] == 0.0


def test_summary_uses_print_looked_up_at_call_time(monkeypatch, capsys):
    got = []
    monkeypatch.setattr(q, "print", lambda *a, **k: got.append((a, k)), raising=False)
    q.orvo_zmarginal(MARGINALS["skewed20"])
    assert capsys.readouterr().out == ""
    assert len(got) == 8 and all(len(a) == 1 and isinstance(a[0], str) and not k for a, k in got)


@pytest.mark.parametrize("bad", [np.ones((2, 2)), [[1, 2], [3, 4], [5, 6]], {"x": [1, 2, 3]}, None])
def test_summary_rejects_non_marginals(bad, capsys):
    with pytest.raises(ValueError) as e:
        q.orvo_zmarginal(bad)
    assert str(e.value) == NOT_MARGINAL
    assert capsys.readouterr().out == ""


def test_summary_failure_prints_nothing(capsys):
    with pytest.raises(ValueError, match="too small"):
        q.orvo_zmarginal({"x": [1.0, 2.0, 3.0], "y": [0.0, 1.0, 0.0]})
    assert capsys.readouterr().out == ""


# ---------------------------------------------------------------------------------------------------------
# Five-point derivative and transformations

def test_derivative_function():
    fd = q.orvo_deriv_func(np.sin)
    assert fd.__qualname__ == "orvo_deriv_func.<locals>.fd" and fd.__name__ == "fd"
    assert fd.__annotations__ == {"x": "ArrayLike", "return": "np.ndarray"}
    assert float(fd(0.0)) == pytest.approx(1.0, abs=1e-12)
    assert float(q.orvo_deriv_func(lambda x: x ** 2, step_size=0.1)(3.0)) == pytest.approx(6.0, rel=1e-15)
    x = np.linspace(0, 3, 12).reshape(3, 4)
    h = 0.0006864518129765004
    want = ((-np.sin(x + h * 2) + 8.0 * np.sin(x + h)) - 8.0 * np.sin(x - h) + np.sin(x - h * 2)) / (h * 12)
    np.testing.assert_array_equal(fd(x), want)
    np.testing.assert_array_equal(fd([1, 2]), fd(np.array([1.0, 2.0])))


def test_derivative_calls_fun_as_python_would():
    args = []

    class Fun:
        scale = 1.0

        def __call__(self, x):
            args.append((type(x), np.asarray(x).shape))
            return self.scale * x ** 3

    f = Fun()
    fd = q.orvo_deriv_func(f, step_size=1e-3)
    assert float(fd(2.0)) == pytest.approx(12.0, rel=1e-9)
    assert args == [(np.float64, ())] * 4  # a 0-d argument becomes numpy scalars, as x + h does
    f.scale = 2.0  # fun is held by reference
    assert float(fd(2.0)) == pytest.approx(24.0, rel=1e-9)
    args.clear()
    fd(np.ones(5))
    assert args == [(np.ndarray, (5,))] * 4
    # Python floats back from fun: Python's arithmetic (a zero step divides by zero as Python does)
    with pytest.raises(ZeroDivisionError):
        q.orvo_deriv_func(lambda v: float(v), step_size=0.0)(1.0)


def test_transformation_examples():
    m = MARGINALS["skewed61"]
    base = q.orvo_qmarginal(np.arange(1, 101) / 101.0, m)
    r = q.orvo_tmarginal(lambda x: 2 * x, m, n=100)
    np.testing.assert_array_equal(r["x"], 2 * base)
    np.testing.assert_allclose(r["y"], q.orvo_dmarginal(base, m) / 2, rtol=1e-7)
    neg = q.orvo_tmarginal(lambda x: -x, m, n=100)
    assert np.all(np.diff(neg["x"]) > 0)
    np.testing.assert_array_equal(neg["x"], -base[::-1])
    np.testing.assert_allclose(neg["y"], q.orvo_dmarginal(base, m)[::-1], rtol=1e-7)
    const = q.orvo_tmarginal(lambda x: np.full_like(x, 3.0), m, n=20)
    np.testing.assert_array_equal(const["x"], 3.0)
    np.testing.assert_allclose(const["y"], q.orvo_dmarginal(q.orvo_qmarginal(np.arange(1, 21) / 21.0, m), m) * 1e12)
    lin = q.orvo_tmarginal(np.exp, m, n=30, method="LINEAR")
    sx = q.orvo_smarginal(m)["x"]
    np.testing.assert_array_equal(lin["x"], np.exp(np.linspace(sx.min(), sx.max(), 30)))
    mat = q.orvo_tmarginal(np.exp, np.column_stack([m["x"], m["y"]]), n=7, method="Linear")
    assert isinstance(mat, np.ndarray) and mat.shape == (7, 2)


def test_transformation_calls_fun_with_whole_arrays():
    m = MARGINALS["beta100"]
    seen = []

    def fun(x):
        seen.append((type(x), x.dtype, x.shape))
        return np.sqrt(x)

    q.orvo_tmarginal(fun, m, n=64)
    assert seen == [(np.ndarray, np.float64, (64,))] * 5


def test_transformation_method_errors():
    m = MARGINALS["normal50"]
    with pytest.raises(ValueError) as e:
        q.orvo_tmarginal(np.exp, m, method="cubic")
    assert str(e.value) == "Unknown method; use 'quantile' or 'linear'."
    # Errors for the marginal come first, before the method is looked at.
    with pytest.raises(ValueError, match="too small"):
        q.orvo_tmarginal(np.exp, {"x": [1, 2], "y": [1, 1]}, method="cubic")
    with pytest.raises(ZeroDivisionError):
        q.orvo_tmarginal(lambda x: 1 / 0, m, n=5)
    with pytest.raises(IndexError):
        q.orvo_tmarginal(np.exp, m, n=0)


@pytest.mark.parametrize("fun", [
    lambda x: 5.0,                        # a scalar: numpy's error when the first point is looked at
    lambda x: x[:-1],                     # one point short: numpy's broadcasting error
    lambda x: np.column_stack([x, x]),    # two values per point
    lambda x: list(np.exp(x)),            # a list
    lambda x: (x / 10).astype(np.float32),
    lambda x: np.array(["a"] * len(x)),   # not numbers
    lambda x: np.exp(x)[::-1].copy(),     # decreasing
])
def test_transformation_other_fun_results_follow_numpy(fun):
    m = MARGINALS["skewed20"]
    got, want = outcome(q.orvo_tmarginal, fun, m, n=40), outcome(REF[True].tmarginal, fun, m, n=40)
    assert got[0] == want[0]
    if got[0] == "err":
        assert got[1:] == want[1:]
    else:
        for k in ("x", "y"):
            assert got[1][k].shape == want[1][k].shape
            np.testing.assert_allclose(got[1][k], want[1][k], rtol=1e-6)


@pytest.mark.parametrize("result", [[0.1, 0.9], (0.5,), np.float32(0.25), None, "abc", np.ones((2, 2)) / 3])
def test_sampling_with_odd_generators(result):
    class Gen:
        def uniform(self, size):
            return result

    m = MARGINALS["normal50"]
    got, want = outcome(q.orvo_rmarginal, 2, m, rng=Gen()), outcome(REF[True].rmarginal, 2, m, rng=Gen())
    assert got[0] == want[0]
    if got[0] == "err":
        assert got[1:] == want[1:]
    else:
        assert_close(got[1], want[1], atol=1e-12 * span(m))


# ---------------------------------------------------------------------------------------------------------
# Replaced module names are called as the Python code would call them

def test_mode_search_calls_a_replaced_density(monkeypatch):
    m = MARGINALS["skewed61"]
    want = q.orvo_mmarginal(m)
    calls = []
    original = q.orvo_dmarginal

    def density(x, marginal, log=False):
        calls.append((np.asarray(x).shape, type(x), marginal is m, log))
        return original(x, marginal, log=log)

    monkeypatch.setattr(q, "orvo_dmarginal", density)
    assert q.orvo_mmarginal(m) == want
    assert calls[0] == ((99,), np.ndarray, True, True)
    assert len(calls) > 5 and all(c == ((1,), list, True, True) for c in calls[1:])
    calls.clear()
    assert q.orvo_zmarginal(m, silent=True)["mode"] == want
    assert len(calls) > 5


def test_replaced_minimiser_receives_the_nested_functions(monkeypatch):
    m = MARGINALS["beta100"]
    real = q._minimize_on_interval
    seen = []

    def spy(f, a, b, tol=None):
        seen.append((f, a, b, tol))
        return real(f, a, b, tol)

    monkeypatch.setattr(q, "_minimize_on_interval", spy)
    monkeypatch.setattr(q, "_SCIPY_OK", False)
    mode = q.orvo_mmarginal(m)
    (neglog, a, b, tol), = seen
    assert neglog.__qualname__ == "orvo_mmarginal.<locals>.neglog" and neglog.__name__ == "neglog"
    assert neglog.__annotations__ == {"u": "float", "return": "float"}
    assert type(a) is float and type(b) is float and tol == 1e-06 and a <= mode <= b
    assert neglog(mode) == -float(q.orvo_dmarginal([mode], m, log=True)[0])
    assert neglog(10.0) == math.inf
    monkeypatch.setattr(q, "_SCIPY_OK", True)
    assert mode == pytest.approx(REF[False].mmarginal(m), abs=1e-12)

    seen.clear()
    r = q.orvo_hpdmarginal([0.9, 0.5], m)
    assert [(s[1], s[2], s[3]) for s in seen] == [(0.0, pytest.approx(0.1), 1e-06), (0.0, 0.5, 1e-06)]
    lam = seen[0][0]
    assert lam.__qualname__ == "orvo_hpdmarginal.<locals>.<lambda>" and lam.__name__ == "<lambda>"
    assert str(inspect.signature(lam)) == "(z)"
    assert isinstance(lam(0.02), float)
    np.testing.assert_allclose(r, q.orvo_hpdmarginal([0.9, 0.5], m), rtol=0, atol=1e-12)


def test_replaced_minimiser_result_is_used_as_given(monkeypatch):
    m = MARGINALS["beta100"]
    monkeypatch.setattr(q, "_minimize_on_interval", lambda f, a, b, tol: np.float32(0.25))
    assert type(q.orvo_mmarginal(m)) is np.float32
    assert q.orvo_zmarginal(m, silent=True)["mode"] == 0.25
    monkeypatch.setattr(q, "_minimize_on_interval", lambda f, a, b, tol: 0.0)
    (low, high), = q.orvo_hpdmarginal(0.5, m)
    assert low == q.orvo_qmarginal(0.0, m)  # F_inv(0.0) is one step below the range: clamped
    assert high == pytest.approx(float(q.orvo_qmarginal(0.5, m)), abs=2e-3)


def test_replaced_minimize_scalar_is_called_with_the_bounded_method(monkeypatch):
    m = MARGINALS["skewed20"]
    from scipy.optimize import minimize_scalar
    want_mode, want_hpd = q.orvo_mmarginal(m), q.orvo_hpdmarginal(0.8, m)
    calls = []

    def spy(f, **kw):
        calls.append(kw)
        return minimize_scalar(f, **kw)

    monkeypatch.setattr(q, "minimize_scalar", spy)
    assert q.orvo_mmarginal(m) == want_mode
    np.testing.assert_array_equal(q.orvo_hpdmarginal(0.8, m), want_hpd)
    assert calls[0]["method"] == "bounded" and calls[0]["options"] == {"xatol": 1e-06}
    assert calls[1]["bounds"] == (0.0, pytest.approx(0.2))


def test_replaced_quantile_function_reaches_sampling_mode_and_transforms(monkeypatch):
    m = MARGINALS["skewed20"]
    calls = []
    original = q.orvo_qmarginal

    def quantiles(p, marginal, length=2048):
        calls.append((type(p).__name__, np.shape(p)))
        return original(p, marginal, length)

    monkeypatch.setattr(q, "orvo_qmarginal", quantiles)
    q.orvo_rmarginal(7, m, rng=np.random.default_rng(1))
    q.orvo_mmarginal(m)
    q.orvo_tmarginal(np.exp, m, n=9)
    q.orvo_zmarginal(m, silent=True)
    assert calls == [("ndarray", (7,)), ("ndarray", (99,)), ("ndarray", (9,)), ("list", (5,)), ("ndarray", (99,))]


def test_replaced_pchip_is_called_as_often_as_python_would(monkeypatch):
    m = MARGINALS["skewed20"]
    want = {f: getattr(q, f) for f in ("orvo_qmarginal", "orvo_hpdmarginal", "orvo_mmarginal")}
    want = {"q": want["orvo_qmarginal"](0.3, m), "h": want["orvo_hpdmarginal"](0.6, m),
            "m": want["orvo_mmarginal"](m)}
    counts = {"pchip": 0, "dens": 0}
    pchip, dens = q._pchip, q.orvo_dmarginal

    def counting_pchip(x, y):
        counts["pchip"] += 1
        return pchip(x, y)

    def counting_density(x, marginal, log=False):
        counts["dens"] += 1
        return dens(x, marginal, log=log)

    monkeypatch.setattr(q, "_pchip", counting_pchip)
    assert q.orvo_qmarginal(0.3, m) == want["q"]
    assert counts["pchip"] == 4  # three in the smoothing, one for the inverse
    counts["pchip"] = 0
    np.testing.assert_array_equal(q.orvo_hpdmarginal(0.6, m), want["h"])
    assert counts["pchip"] == 4
    counts["pchip"] = 0
    monkeypatch.setattr(q, "orvo_dmarginal", counting_density)
    assert q.orvo_mmarginal(m) == want["m"]
    # the quantiles (smoothing and inverse), then one smoothing per density call
    assert counts["pchip"] == 4 + 3 * counts["dens"] and counts["dens"] > 5


def tied_marginal():
    """Unsorted, with tied abscissae (their order is numpy's argsort's) and NaN densities."""
    x = np.array([3.0, 1.0, 2.0, 2.0, 5.0, 4.0, 1.0, 6.0, 0.5, 2.5])
    y = np.array([0.4, 0.2, 0.5, 0.45, 0.05, 0.2, np.nan, 0.01, 0.1, 0.6])
    return {"x": x, "y": y}


def summary_inputs():
    rng = np.random.default_rng(5)
    out = [(f"random{i}", random_marginal(rng, [12, 75, 300, 40][i], i)) for i in range(4)]
    out += [("tied", tied_marginal()), ("matrix", MARGINALS["gamma75-matrix"])]
    # abscissae two units apart at 2**53: the smoothed grid has ties, which the spline refuses
    x = 2.0 ** 53 + 2.0 * np.arange(20.0)
    out.append(("ties-after-smoothing", {"x": x, "y": np.exp(-0.5 * ((np.arange(20.0) - 9.5) / 4.0) ** 2)}))
    out.append(("too-few", {"x": [1.0, 2.0, 3.0], "y": [0.0, 1.0, 0.0]}))
    return out


@pytest.mark.parametrize("name,m", summary_inputs(), ids=[n for n, _ in summary_inputs()])
@pytest.mark.parametrize("scipy_ok", [True, False], ids=["scipy", "fallback"])
def test_summary_in_one_native_pass_equals_the_step_by_step_summary(name, m, scipy_ok, monkeypatch):
    # While every name is the module's own, the summary runs natively in one pass; replacing orvo_emarginal
    # by a pass-through sends it step by step through the module's names. Same numbers, bit for bit, or the
    # same error.
    monkeypatch.setattr(q, "_SCIPY_OK", scipy_ok)
    fast = outcome(lambda: q.orvo_zmarginal(m, silent=True))
    real = q.orvo_emarginal
    monkeypatch.setattr(q, "orvo_emarginal", lambda fun, marginal, *a, **k: real(fun, marginal, *a, **k))
    steps = outcome(lambda: q.orvo_zmarginal(m, silent=True))
    assert fast == steps
    # tied knots pass the linear fallback, not scipy's interpolators
    if name.startswith(("random", "matrix")) or (name == "tied" and not scipy_ok):
        assert fast[0] == "ok" and all(math.isfinite(v) for v in fast[1].values())
    else:
        assert fast[0] == "err" and fast[1] is ValueError


def test_replaced_smoothing_is_called_at_every_step(monkeypatch):
    m = MARGINALS["normal50"]
    want = q.orvo_zmarginal(m, silent=True)
    calls = []
    original = q.orvo_smarginal

    def smooth(marginal, *args, **kwargs):
        calls.append((args, kwargs))
        return original(marginal, *args, **kwargs)

    monkeypatch.setattr(q, "orvo_smarginal", smooth)
    assert q.orvo_zmarginal(m, silent=True) == want
    # expectation, quantiles, then the mode: quantiles, densities, one per objective evaluation
    assert len(calls) > 8 and all(c == ((), {}) for c in calls)
    calls.clear()
    q.orvo_hpdmarginal(0.5, m)
    assert calls == [((), {"keep_type": False})]
    calls.clear()
    q.orvo_tmarginal(np.exp, m, n=10)
    assert len(calls) == 3


def test_other_replacements(monkeypatch):
    m = MARGINALS["skewed20"]
    seen = []
    monkeypatch.setattr(q, "_simpson_odd_grid", lambda x: seen.append(x.shape) or np.ones_like(x))
    y = q.orvo_smarginal(m)["y"]
    n = len(y) - (len(y) % 2 == 0)
    w = y[:n] * np.r_[1, np.tile([4, 2], n // 2)[:n - 2], 1]
    assert float(q.orvo_emarginal(lambda x: x, m)) == pytest.approx(
        np.sum(q.orvo_smarginal(m)["x"][:n] * w) / np.sum(w), rel=1e-12)
    assert seen == [(n,)]

    got = []
    real_t = q.orvo_tmarginal
    monkeypatch.setattr(q, "orvo_tmarginal", lambda *a, **k: got.append((a, k)) or real_t(*a, **k))
    q.orvo_marginal_transform(np.exp, m, 5.9, 1, "linear")
    assert got == [((np.exp, m), {"n": 5, "h_diff": 1.0, "method": "linear"})]

    derivs = []
    real_d = q.orvo_deriv_func
    monkeypatch.setattr(q, "orvo_deriv_func", lambda fun, step_size: derivs.append(step_size) or real_d(fun, step_size))
    real_t(np.exp, m, n=5, h_diff=1e-3)
    assert derivs == [1e-3]

    monkeypatch.setattr(q, "orvo_is_marginal", lambda marginal: False)
    with pytest.raises(ValueError, match="not a valid marginal"):
        q.orvo_zmarginal(m)


def test_sampling_without_a_generator_uses_numpys_default_rng(monkeypatch):
    made = []
    real = np.random.default_rng

    def default_rng(*a):
        made.append(a)
        return real(42)

    monkeypatch.setattr(np.random, "default_rng", default_rng)
    m = MARGINALS["normal50"]
    a = q.orvo_rmarginal(5, m)
    assert made == [()]
    np.testing.assert_array_equal(a, q.orvo_rmarginal(5, m, rng=real(42)))

    class Uniforms:
        def uniform(self, size):
            return [0.5] * size

    np.testing.assert_array_equal(q.orvo_rmarginal(3, m, rng=Uniforms()), q.orvo_qmarginal([0.5] * 3, m))
    with pytest.raises(AttributeError):
        q.orvo_rmarginal(3, m, rng=object())


# ---------------------------------------------------------------------------------------------------------
# Without scipy, in a fresh interpreter

def test_without_scipy_in_a_fresh_interpreter():
    r = run_python("""
        import numpy as np
        from vexil.pure import quadra as q
        from quadra_queries_reference import Ref, HAVE_SCIPY
        assert q._SCIPY_OK is False and not HAVE_SCIPY and "minimize_scalar" not in vars(q)
        ref = Ref(scipy=False)
        x = np.sort(np.random.default_rng(3).uniform(0.1, 9, 70)); m = {"x": x, "y": x ** 2 * np.exp(-x)}
        z, w = q.orvo_zmarginal(m, silent=True), ref.zmarginal(m)
        assert all(abs(z[k] - w[k]) <= 1e-9 * (1 + abs(w[k])) for k in w), (z, w)
        h, hw = q.orvo_hpdmarginal([0.5, 0.95], m), ref.hpdmarginal([0.5, 0.95], m)
        assert np.allclose(h, hw, rtol=0, atol=1e-9), (h, hw)
        assert type(q.orvo_qmarginal(0.5, m)) is np.float64
        try:
            q.orvo_hpdmarginal(float("nan"), m)
        except ValueError as e:
            assert str(e) == "Optimization bounds must be finite scalars."
        else:
            raise AssertionError("no error")
        print("OK")
    """, without_scipy=True)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "OK"


# ---------------------------------------------------------------------------------------------------------
# Threads, references and memory

def test_threads_get_the_serial_results():
    rng = np.random.default_rng(99)
    ms = [skewed(rng, int(k)) for k in rng.integers(20, 120, 16)]
    serial = [q.orvo_zmarginal(m, silent=True) for m in ms]
    results = [None] * len(ms)
    errors = []

    def work(i0):
        try:
            for _ in range(3):
                for i in range(i0, len(ms), 8):
                    results[i] = q.orvo_zmarginal(ms[i], silent=True)
        except Exception as e:  # noqa: BLE001
            errors.append(e)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    assert results == serial


def test_no_references_are_leaked():
    m = MARGINALS["skewed20"]
    x, y = m["x"], m["y"]
    fun = lambda v: v  # noqa: E731
    rng = np.random.default_rng(0)

    def everything():
        q.orvo_emarginal(fun, m)
        q.orvo_dmarginal(x, m)
        q.orvo_pmarginal(x, m)
        q.orvo_qmarginal([0.1, 0.5], m)
        q.orvo_hpdmarginal([0.5, 0.9], m)
        q.orvo_mmarginal(m)
        q.orvo_zmarginal(m, silent=True)
        q.orvo_rmarginal(10, m, rng=rng)
        q.orvo_tmarginal(np.exp, m, n=20)
        q.orvo_deriv_func(fun)(x)
        q._minimize_on_interval(lambda t: (t - 0.3) ** 2, 0.0, 1.0)
        for bad in (lambda: q.orvo_emarginal(lambda v: 1 / 0, m), lambda: q.orvo_emarginal(lambda v: 1.0, m),
                    lambda: q.orvo_hpdmarginal(np.nan, m), lambda: q.orvo_tmarginal(fun, m, method="x"),
                    lambda: q.orvo_qmarginal(0.5, m, length=1)):
            with pytest.raises(Exception):
                bad()

    everything()
    gc.collect()
    before = [sys.getrefcount(o) for o in (m, x, y, fun, rng)]
    for _ in range(20):
        everything()
    gc.collect()
    assert [sys.getrefcount(o) for o in (m, x, y, fun, rng)] == before


def rss_kib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    pytest.skip("no /proc")


def test_memory_stays_flat_over_many_summaries():
    rng = np.random.default_rng(5)
    ms = [skewed(rng, 75) for _ in range(50)]
    for i in range(1000):
        q.orvo_zmarginal(ms[i % 50], silent=True)
    gc.collect()
    start = rss_kib()
    for i in range(3000):
        q.orvo_zmarginal(ms[i % 50], silent=True)
    gc.collect()
    assert rss_kib() - start < 4096  # KiB: a leak of even 2 KiB per call would show
