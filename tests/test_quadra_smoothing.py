"""vexil.pure.quadra: interpolator factories, resampling, log-density smoothing and the log-density function.

Results are compared with a plain numpy/scipy transcription of the algorithms (tests/quadra_reference.py):
everything on the monotone-interpolant paths bit for bit (the module uses numpy's own log and exp loops),
values through the cubic spline's solve to 1e-13 relative.
"""
import gc
import inspect
import threading
import tracemalloc

import numpy as np
import pytest

import quadra_reference as ref
from quadra_testing import outcome, run_python
from vexil.pure import quadra as q

scipy_interpolate = pytest.importorskip("scipy.interpolate")
PchipInterpolator = scipy_interpolate.PchipInterpolator
CubicSpline = scipy_interpolate.CubicSpline

TOO_SMALL = "Marginal too small after filtering. Need >=3 support points."


@pytest.fixture(params=[True, False], ids=["scipy", "linear"])
def backend(request, monkeypatch):
    """Runs a test with the scipy interpolators and with the linear fallback (flag read at call time)."""
    monkeypatch.setattr(q, "_SCIPY_OK", request.param)
    return request.param



def random_marginal(rng, k):
    """k points, unevenly spaced (spacings of very different sizes), shuffled; a skewed bump."""
    gaps = rng.exponential(1.0, k) ** rng.uniform(0.5, 3.0) + 1e-3
    x = np.cumsum(gaps) * rng.uniform(0.01, 100.0) + rng.uniform(-50.0, 50.0)
    z = (x - x.mean()) / x.std()
    y = np.exp(-0.5 * z ** 2 * rng.uniform(0.1, 3.0) + rng.uniform(-1, 1) * z)
    perm = rng.permutation(k)
    return {"x": x[perm], "y": y[perm]}


def assert_close(a, b, rtol=1e-13):
    a, b = np.asarray(a), np.asarray(b)
    assert a.shape == b.shape
    np.testing.assert_array_equal(np.isnan(a), np.isnan(b))
    ok = ~np.isnan(b)
    np.testing.assert_allclose(a[ok], b[ok], rtol=rtol, atol=0)


def assert_same_smoothing(got, want):
    """Point count, abscissae and values bit-identical."""
    assert list(got) == list(want) == ["x", "y"]
    assert got["x"].dtype == got["y"].dtype == np.float64
    assert len(got["x"]) == len(want["x"])
    np.testing.assert_array_equal(got["x"], want["x"])
    np.testing.assert_array_equal(got["y"], want["y"])



# ---------------------------------------------------------------------------------------------------------
# Against the numpy/scipy algorithm

@pytest.mark.parametrize("seed", range(6))
def test_smoothing_matches_numpy_and_scipy(seed, backend):
    rng = np.random.default_rng(seed)
    smoothed = 0
    for _ in range(25):
        k = int(rng.choice([3, 4, 7, 20, 75, 150, 600, 2000]))
        m = random_marginal(rng, k)
        extrapolate = float(rng.choice([0.0, 0.0, 0.05, 0.5, 1e-3]))
        factor = int(rng.choice([15, 15, 1, 4, 0]))
        log = bool(rng.integers(2))
        got = outcome(q.orvo_smarginal, m, log=log, extrapolate=extrapolate, factor=factor)
        want = outcome(ref.smarginal, m, log=log, extrapolate=extrapolate, factor=factor, scipy_ok=backend)
        assert got[0] == want[0]
        if got[0] == "ok":
            assert_same_smoothing(got[1], want[1])
            smoothed += 1
        else:
            assert got == want
    assert smoothed >= 20


def test_surviving_points_depend_on_exact_rounding():
    # Whether the last grid point survives the density mode hangs on the last bit of the interpolated
    # coordinate of the last support point; over many marginals both outcomes occur, and the count and
    # the range must be numpy's and scipy's every time.
    rng = np.random.default_rng(2024)
    counts = set()
    for _ in range(300):
        k = int(rng.integers(3, 120))
        m = random_marginal(rng, k)
        got, want = q.orvo_smarginal(m), ref.smarginal(m)
        assert len(got["x"]) == len(want["x"])
        assert (got["x"][0], got["x"][-1]) == (want["x"][0], want["x"][-1])
        counts.add(len(got["x"]) - 15 * k)
    assert counts == {0, -1}


def test_log_density_function_matches(backend):
    rng = np.random.default_rng(5)
    for _ in range(40):
        m = random_marginal(rng, int(rng.choice([3, 4, 5, 30, 400])))
        f, g = q.orvo_sfmarginal(m), ref.sfmarginal(m, scipy_ok=backend)
        assert f["range"] == g["range"]
        lo, hi = f["range"]
        xx = np.concatenate([np.linspace(lo, hi, 777), [lo, hi, np.nextafter(lo, -np.inf), np.nextafter(hi, np.inf)]])
        a, b = f["fun"](xx), g["fun"](xx)
        scale = np.maximum(1.0, np.abs(np.nan_to_num(b)))
        np.testing.assert_array_equal(np.isnan(a), np.isnan(b))
        assert np.all(np.abs(np.nan_to_num(a - b)) <= 1e-13 * scale)


def test_spline_matches(backend):
    rng = np.random.default_rng(9)
    for _ in range(30):
        m = random_marginal(rng, int(rng.choice([3, 5, 50, 300])))
        got, want = q.orvo_spline(m), ref.spline(m, scipy_ok=backend)
        np.testing.assert_array_equal(got["x"], want["x"])
        assert_close(got["y"], want["y"])


# ---------------------------------------------------------------------------------------------------------
# The interpolator factories

def test_factories_return_scipy_objects():
    x = np.array([0.0, 1.0, 2.0, 4.0])
    y = np.array([0.0, 1.0, 1.5, 5.0])
    p, c = q._pchip(x, y), q._cubic(x, y)
    assert type(p) is PchipInterpolator and type(c) is CubicSpline
    assert p.extrapolate is False and c.extrapolate is False
    xx = np.linspace(-1, 5, 61)
    np.testing.assert_array_equal(p(xx), PchipInterpolator(x, y, extrapolate=False)(xx))
    np.testing.assert_array_equal(c(xx), CubicSpline(x, y, bc_type="not-a-knot", extrapolate=False)(xx))
    assert np.isnan(p(-0.5)) and np.isnan(c(4.5))


def test_factories_call_the_classes_by_their_module_names(monkeypatch):
    calls = []

    def spy(name):
        def make(*args, **kwargs):
            calls.append((name, args, kwargs))
            return name

        return make

    monkeypatch.setattr(q, "PchipInterpolator", spy("pchip"))
    monkeypatch.setattr(q, "CubicSpline", spy("cubic"))
    x, y = [1, 2], [3, 4]
    assert q._pchip(x, y) == "pchip" and q._cubic(x, y) == "cubic"
    assert calls == [("pchip", (x, y), {"extrapolate": False}),
                     ("cubic", (x, y), {"bc_type": "not-a-knot", "extrapolate": False})]


@pytest.mark.parametrize("factory", ["_pchip", "_cubic"])
def test_linear_fallback_class(monkeypatch, factory):
    monkeypatch.setattr(q, "_SCIPY_OK", False)
    make = getattr(q, factory)
    x = np.array([0.0, 1.0, 3.0])
    y = np.array([2.0, 4.0, 0.0])
    a, b = make(x, y), make(x, y)
    cls = type(a)
    assert cls.__name__ == "_Lin" and cls.__qualname__ == f"{factory}.<locals>._Lin"
    assert cls.__module__ == "vexil.pure.quadra"
    assert type(b) is not cls  # a new class at every call
    assert vars(a) == {}
    assert sorted(vars(cls)) == ["__call__", "__dict__", "__doc__", "__module__", "__weakref__"]
    assert cls.__call__.__qualname__ == f"{factory}.<locals>._Lin.__call__"
    assert str(inspect.signature(cls.__call__)) == "(self, xx)"
    xx = np.array([-0.1, 0.0, 0.5, 1.0, 2.0, 3.0, 3.1, np.nan])
    np.testing.assert_array_equal(a(xx), np.interp(xx, x, y, left=np.nan, right=np.nan))
    assert type(a(0.5)) is np.float64 and a(0.5) == 3.0
    assert a([[0.5, 2.0]]).shape == (1, 2)
    # the factory's own objects are read at every call
    y[1] = 10.0
    assert a(1.0) == 10.0
    lst_x, lst_y = [0, 1], [0, 1]
    c = make(lst_x, lst_y)
    lst_y[1] = 5
    assert c(1.0) == 5.0


@pytest.mark.parametrize("x, y, xx", [
    ([], [], 1.0),
    ([1, 2], [1], 1.0),
    ([[0, 1]], [1, 2], 0.5),
    ([0, 1], [1, 2], "a"),
    ([0, 1], [1j, 2], 0.5),
    ([1], [5], [0, 1, 2, np.nan]),
    ([3, 1, 2, 0], [1, 2, 3, 4], np.linspace(-1, 4, 11)),
], ids=["empty", "lengths", "2d-knots", "str-query", "complex", "one-knot", "unsorted"])
def test_linear_fallback_behaves_as_np_interp(monkeypatch, x, y, xx):
    monkeypatch.setattr(q, "_SCIPY_OK", False)
    got = outcome(q._pchip(x, y), xx)
    want = outcome(lambda v: np.interp(v, x, y, left=np.nan, right=np.nan), xx)
    assert got[0] == want[0]
    if got[0] == "ok":
        assert type(got[1]) is type(want[1])
        np.testing.assert_array_equal(got[1], want[1])
    else:
        assert got == want


def test_knot_errors_are_scipys(backend):
    # The native paths raise scipy's own texts (no scipy object is built there).
    dup = {"x": [1.0, 2.0, 2.0, 3.0], "y": [1.0, 2.0, 3.0, 4.0]}
    nan_x = {"x": [1.0, np.nan, 3.0, 2.0], "y": [1.0, 2.0, 3.0, 4.0]}
    m = {"x": np.linspace(0, 1, 10), "y": np.exp(-np.linspace(0, 1, 10))}
    cases = [
        (q.orvo_sfmarginal, ref.sfmarginal, (dup,), {}),
        (q.orvo_smarginal, ref.smarginal, (dup,), {}),
        (q.orvo_spline, ref.spline, (dup,), {}),
        (q.orvo_smarginal, ref.smarginal, (nan_x,), {}),
        (q.orvo_sfmarginal, ref.sfmarginal, (nan_x,), {}),
        (q.orvo_smarginal, ref.smarginal, (m,), {"extrapolate": -0.1}),
        (q.orvo_smarginal, ref.smarginal, (m,), {"extrapolate": float("nan")}),
        (q.orvo_smarginal, ref.smarginal, (m,), {"extrapolate": float("inf")}),
        (q.orvo_smarginal, ref.smarginal, (m,), {"extrapolate": 10.0, "factor": 0}),
    ]
    for mine, theirs, args, kw in cases:
        got, want = outcome(mine, *args, **kw), outcome(theirs, *args, **kw, scipy_ok=backend)
        assert got[0] == want[0], (mine.__name__, kw, got, want)
        if got[0] == "err":
            assert got == want
    if backend:
        with pytest.raises(ValueError) as e:
            q.orvo_sfmarginal(dup)
        assert str(e.value) == "`x` must be strictly increasing sequence."


# ---------------------------------------------------------------------------------------------------------
# Resampling

def test_spline_examples():
    x = np.linspace(1.0, 10.0, 10)
    y = np.exp(-0.5 * (x - 5) ** 2 / 4)
    y[[0, 9]] = 0.0
    mat = np.column_stack([x, y])
    r = q.orvo_spline(mat)
    assert isinstance(r, np.ndarray) and r.shape == (8, 2)
    np.testing.assert_array_equal(r[:, 0], np.linspace(2.0, 9.0, 8))
    d = q.orvo_spline({"x": x, "y": y})
    assert list(d) == ["x", "y"] and d["x"].shape == d["y"].shape == (8,)
    np.testing.assert_array_equal(d["y"], r[:, 1])
    again = q.orvo_spline(mat, anything=1, factor=99)
    np.testing.assert_array_equal(again, r)
    # the density is not re-normalised: at the knots it is the input
    np.testing.assert_allclose(q.orvo_spline(np.column_stack([x[1:-1], y[1:-1]]))[:, 1], y[1:-1], rtol=1e-13)


def test_spline_of_a_frame_is_a_dict(monkeypatch):
    class Frame:
        columns = ["x", "y"]

        def __getitem__(self, k):
            return [1.0, 2.0, 4.0] if k == "x" else [1.0, 2.0, 1.0]

    class Pandas:
        DataFrame = Frame

    monkeypatch.setattr(q, "pd", Pandas, raising=False)
    monkeypatch.setattr(q, "_PANDAS_OK", True)
    r = q.orvo_spline(Frame())
    assert isinstance(r, dict)
    np.testing.assert_array_equal(r["x"], [1.0, 2.5, 4.0])


# ---------------------------------------------------------------------------------------------------------
# Smoothing: the documented cases

def test_equally_spaced_input_keeps_the_coordinate(backend):
    x = np.linspace(-2, 3, 21)
    m = {"x": x, "y": np.exp(-x ** 2)}
    r = q.orvo_smarginal(m, log=True)
    np.testing.assert_allclose(r["x"], np.linspace(-2, 3, 315), rtol=0, atol=1e-13)


@pytest.mark.parametrize("k, kwargs, n", [
    (3, {}, 45),
    (20, {}, 300),
    (7, {"factor": 1}, 7),
    (7, {"factor": 1, "extrapolate": 0.5}, 9),
    (7, {"factor": 0}, 7),
    (7, {"factor": 0, "extrapolate": 0.2}, 9),
    (7, {"factor": 2.9}, 14),
    (7, {"factor": -3}, 7),
])
def test_grid_size(k, kwargs, n):
    x = np.linspace(0, 1, k) ** 1.5
    r = q.orvo_smarginal({"x": x, "y": 1 + x}, log=True, **kwargs)
    assert len(r["x"]) == len(r["y"]) == n


def test_log_and_density_modes_agree(backend):
    rng = np.random.default_rng(1)
    m = random_marginal(rng, 40)
    lg = q.orvo_smarginal(m, log=True, extrapolate=0.2)
    dn = q.orvo_smarginal(m, extrapolate=0.2)
    assert np.isnan(lg["y"]).any() and (lg["y"] < 0).any()
    keep = ~np.isnan(lg["y"])
    np.testing.assert_array_equal(dn["x"], lg["x"][keep])
    np.testing.assert_allclose(dn["y"], np.exp(lg["y"][keep]), rtol=1e-15)
    # with extrapolation the density mode still covers only the data's range
    cleaned = q.orvo_marginal_fix(m)
    assert dn["x"].min() >= cleaned["x"].min() and dn["x"].max() <= cleaned["x"].max()
    assert len(dn["x"]) < 15 * 40


def test_keep_type():
    x = np.linspace(0, 2, 9)
    mat = np.column_stack([x, np.exp(-x)])
    r = q.orvo_smarginal(mat, keep_type=True)
    assert isinstance(r, np.ndarray) and r.ndim == 2 and r.shape[1] == 2
    d = q.orvo_smarginal(mat)
    np.testing.assert_array_equal(r, np.column_stack([d["x"], d["y"]]))
    assert isinstance(q.orvo_smarginal({"x": x, "y": np.exp(-x)}, keep_type=True), dict)


def test_density_mode_can_run_out_of_points():
    m = {"x": [0.0, 1.0, 2.0, 3.0], "y": [1.0, 2.0, 3.0, 2.0]}
    got = outcome(q.orvo_smarginal, m, factor=0, extrapolate=2.0)
    want = outcome(ref.smarginal, m, factor=0, extrapolate=2.0)
    assert got == want == ("err", ValueError, TOO_SMALL)


# ---------------------------------------------------------------------------------------------------------
# The log-density function

def test_sfmarginal_result(backend):
    x = np.array([0.0, 0.5, 1.5, 2.0, 3.0])
    y = np.exp(-(x - 1.2) ** 2)
    r = q.orvo_sfmarginal(np.column_stack([x, y]))
    assert list(r) == ["range", "fun"]
    lo, hi = r["range"]
    assert type(r["range"]) is tuple and type(lo) is np.float64 and (lo, hi) == (0.0, 3.0)
    fun = r["fun"]
    assert fun.__name__ == "_fun" and fun.__qualname__ == "orvo_sfmarginal.<locals>._fun"
    assert fun.__annotations__ == {"xx": "ArrayLike"}
    assert str(inspect.signature(fun)) == "(xx: 'ArrayLike')"
    np.testing.assert_allclose(fun(x), np.log(y), rtol=1e-14, atol=1e-14)
    assert np.isnan(fun([np.nextafter(0.0, -1), np.nextafter(3.0, 4)])).all()
    assert fun([[0.5, 1.5], [2.0, 9.0]]).shape == (2, 2)
    scalar = fun(1.0)
    if backend:
        assert type(scalar) is np.ndarray and scalar.shape == ()  # scipy keeps 0-d
    else:
        assert type(scalar) is np.float64  # np.interp returns a scalar
    # another call gives another function
    assert q.orvo_sfmarginal({"x": x, "y": y})["fun"] is not fun


def test_sfmarginal_forms_agree(monkeypatch):
    x = np.array([3.0, 0.0, 1.0, 2.0])
    y = np.array([0.2, 0.5, 1.0, 0.7])

    class Frame:
        columns = ["y", "x"]

        def __getitem__(self, k):
            return {"x": x, "y": y}[k]

    class Pandas:
        DataFrame = Frame

    monkeypatch.setattr(q, "pd", Pandas, raising=False)
    monkeypatch.setattr(q, "_PANDAS_OK", True)
    results = [q.orvo_sfmarginal(m) for m in (np.column_stack([x, y]), {"x": x, "y": y}, Frame())]
    grid = np.linspace(0, 3, 50)
    for r in results[1:]:
        assert r["range"] == results[0]["range"]
        np.testing.assert_array_equal(r["fun"](grid), results[0]["fun"](grid))


def test_fun_keeps_the_interpolant_alive():
    f = q.orvo_sfmarginal({"x": [0.0, 1.0, 2.0, 3.0], "y": [1.0, 2.0, 2.0, 1.0]})["fun"]
    gc.collect()
    assert np.isfinite(f(1.5))


# ---------------------------------------------------------------------------------------------------------
# Replaced module names behave as in Python

def test_replaced_pchip_is_called_as_python_would(monkeypatch):
    calls = []

    def spy(x, y):
        calls.append((x.dtype, x.ndim, len(x), len(y)))
        return PchipInterpolator(x, y, extrapolate=False)

    monkeypatch.setattr(q, "_pchip", spy)
    m = random_marginal(np.random.default_rng(4), 30)
    got = q.orvo_smarginal(m, extrapolate=0.1)
    # t -> x, x -> t on the 32 knots of the map, then the log-density on the 30 support points
    assert calls == [(np.float64, 1, 32, 32), (np.float64, 1, 32, 32), (np.float64, 1, 30, 30)]
    assert_same_smoothing(got, ref.smarginal(m, extrapolate=0.1))


def test_replaced_pchip_changes_the_result(monkeypatch):
    m = random_marginal(np.random.default_rng(8), 25)
    monkeypatch.setattr(q, "_pchip", lambda x, y: (lambda xx: np.interp(xx, x, y, left=np.nan, right=np.nan)))
    assert_same_smoothing(q.orvo_smarginal(m), ref.smarginal(m, scipy_ok=False))


def test_replaced_scipy_class_is_used_by_the_smoothing(monkeypatch):
    made = []

    class Spy(PchipInterpolator):
        def __init__(self, x, y, extrapolate=None):
            made.append(extrapolate)
            super().__init__(x, y, extrapolate=extrapolate)

    monkeypatch.setattr(q, "PchipInterpolator", Spy)
    m = random_marginal(np.random.default_rng(2), 12)
    assert_same_smoothing(q.orvo_smarginal(m), ref.smarginal(m))
    assert made == [False, False, False]


def test_replaced_cubic_reaches_fun_and_spline(monkeypatch):
    seen = []

    def cubic(x, y):
        seen.append(len(x))
        return lambda xx: np.full(np.shape(xx), 7.0)

    monkeypatch.setattr(q, "_cubic", cubic)
    m = {"x": [0.0, 1.0, 2.0, 3.0], "y": [1.0, 2.0, 2.0, 1.0]}
    f = q.orvo_sfmarginal(m)
    np.testing.assert_array_equal(f["fun"]([0.5, 1.5]), [7.0, 7.0])
    np.testing.assert_allclose(q.orvo_spline(m)["y"], np.exp(7.0))
    assert seen == [4, 4]


def test_replaced_cleaning_and_unpacking(monkeypatch):
    m = random_marginal(np.random.default_rng(6), 20)
    fixes, unpacks = [], []
    own_fix, own_as_xy = q.orvo_marginal_fix, q._as_xy

    def fix(marginal):
        fixes.append(type(marginal).__name__)
        return own_fix(marginal)

    def as_xy(marginal):
        unpacks.append(type(marginal).__name__)
        return own_as_xy(marginal)

    monkeypatch.setattr(q, "orvo_marginal_fix", fix)
    monkeypatch.setattr(q, "_as_xy", as_xy)
    assert_same_smoothing(q.orvo_smarginal(m), ref.smarginal(m))
    # the input, then the cleaning of it, then the final cleaning of the grid
    assert fixes == ["dict", "dict"] and unpacks == ["dict", "dict", "dict"]
    fixes.clear()
    q.orvo_sfmarginal(np.column_stack([m["x"], m["y"]]))
    assert fixes == ["ndarray"]


@pytest.mark.parametrize("cleaned", [
    {"x": [], "y": []},
    {"x": [1.0, 2.0, 3.0, 4.0], "y": [1.0, 2.0]},
    {"x": [1.0, 2.0], "y": [1.0, 2.0, 3.0, 4.0]},
    {"x": [1.0], "y": [1.0]},
    {"x": [3.0, 1.0, 2.0], "y": [1.0, 2.0, 3.0]},
], ids=["empty", "short-y", "short-x", "one-point", "unsorted"])
def test_a_replaced_cleaning_that_breaks_its_promises(monkeypatch, backend, cleaned):
    # Whatever a replacement returns is used as Python would use it: the same errors, no crash.
    as_arrays = {k: np.asarray(v, dtype=float) for k, v in cleaned.items()}
    monkeypatch.setattr(q, "orvo_marginal_fix", lambda m: dict(as_arrays))
    monkeypatch.setattr(ref, "marginal_fix", lambda m: dict(as_arrays))
    m = {"x": [1.0, 2.0, 3.0], "y": [1.0, 2.0, 3.0]}
    probe = np.array([1.5])
    for mine, theirs in [
        (q.orvo_smarginal, lambda mm: ref.smarginal(mm, scipy_ok=backend)),
        (lambda mm: q.orvo_sfmarginal(mm)["fun"](probe), lambda mm: ref.sfmarginal(mm, scipy_ok=backend)["fun"](probe)),
        (q.orvo_spline, lambda mm: ref.spline(mm, scipy_ok=backend)),
    ]:
        got, want = outcome(mine, m), outcome(theirs, m)
        assert got[0] == want[0]
        if got[0] == "err":
            assert got == want


def test_replaced_repacking(monkeypatch):
    monkeypatch.setattr(q, "_to_dict_or_mat", lambda x, y, as_matrix: ("packed", len(x), as_matrix))
    m = np.column_stack([np.linspace(0, 1, 5), np.ones(5)])
    assert q.orvo_smarginal(m, keep_type=True) == ("packed", 75, True)
    assert q.orvo_spline(m) == ("packed", 5, True)


def test_flag_read_at_call_time(monkeypatch):
    m = random_marginal(np.random.default_rng(12), 10)
    a = q.orvo_smarginal(m)
    monkeypatch.setattr(q, "_SCIPY_OK", False)
    b = q.orvo_smarginal(m)
    monkeypatch.setattr(q, "_SCIPY_OK", True)
    c = q.orvo_smarginal(m)
    assert_same_smoothing(a, ref.smarginal(m))
    assert_same_smoothing(b, ref.smarginal(m, scipy_ok=False))
    np.testing.assert_array_equal(a["x"], c["x"])
    assert not np.array_equal(a["y"], b["y"])


# ---------------------------------------------------------------------------------------------------------
# Without scipy, in a fresh interpreter

def test_without_scipy_in_a_fresh_interpreter():
    r = run_python("""
        import sys
        sys.modules['scipy'] = None
        import numpy as np
        from vexil.pure import quadra as q
        import quadra_reference as ref
        assert q._SCIPY_OK is False and ref.SCIPY is False
        assert not any(n in vars(q) for n in ('PchipInterpolator', 'CubicSpline', 'minimize_scalar'))
        assert type(q._pchip([0, 1], [0, 1])).__qualname__ == '_pchip.<locals>._Lin'
        rng = np.random.default_rng(0)
        for k in (3, 10, 75, 400):
            x = np.sort(rng.uniform(0, 5, k)); y = np.exp(-(x - 2) ** 2)
            m = {'x': x, 'y': y}
            for kw in ({}, {'log': True, 'extrapolate': 0.2}, {'factor': 3}):
                a, b = q.orvo_smarginal(m, **kw), ref.smarginal(m, scipy_ok=False, **kw)
                assert np.array_equal(a['x'], b['x']), k
                assert np.array_equal(a['y'], b['y'], equal_nan=True)
            f, g = q.orvo_sfmarginal(m), ref.sfmarginal(m, scipy_ok=False)
            assert f['range'] == g['range']
            assert np.allclose(f['fun'](x), g['fun'](x), rtol=1e-12, atol=1e-300)
            assert np.allclose(q.orvo_spline(m)['y'], ref.spline(m, scipy_ok=False)['y'], rtol=1e-12)
        print('ok')
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "ok"


# ---------------------------------------------------------------------------------------------------------
# Robustness

def test_inputs_are_not_modified():
    rng = np.random.default_rng(13)
    m = random_marginal(rng, 50)
    mat = np.column_stack([m["x"], m["y"]])
    mat.setflags(write=False)
    keep = mat.copy()
    d = {"x": mat[:, 0], "y": mat[:, 1]}
    for fn in (q.orvo_smarginal, q.orvo_sfmarginal, q.orvo_spline):
        fn(mat)
        fn(d)
    q.orvo_smarginal(mat, log=True, extrapolate=0.3, keep_type=True)
    np.testing.assert_array_equal(mat, keep)
    assert d["x"].base is mat


def test_no_growth_over_repeated_calls(monkeypatch):
    rng = np.random.default_rng(14)
    m = random_marginal(rng, 60)
    bad = {"x": [1.0, 2.0, 2.0, 3.0], "y": [1.0, 2.0, 3.0, 4.0]}

    def work():
        q.orvo_smarginal(m)
        q.orvo_smarginal(np.column_stack([m["x"], m["y"]]), log=True, extrapolate=0.1, keep_type=True)
        f = q.orvo_sfmarginal(m)
        f["fun"](m["x"])
        f["fun"](0.5)
        q.orvo_spline(m)
        q._pchip(np.sort(m["x"]), m["y"])
        for b in (bad, {"x": [1, 2], "y": [1, 2, 3]}, [1, 2], {"x": [0, 1, 2], "y": [0, 0, 1]}):
            outcome(q.orvo_smarginal, b)

    # scipy's own caches (reached through the public _pchip factory) are not this module's memory.
    foreign = [tracemalloc.Filter(False, "*/scipy/*"), tracemalloc.Filter(False, "*/pandas/*")]

    def traced(rounds):
        for _ in range(rounds):
            work()
        gc.collect()
        snapshot = tracemalloc.take_snapshot().filter_traces(foreign)
        return sum(stat.size for stat in snapshot.statistics("filename"))

    for flag in (True, False):
        monkeypatch.setattr(q, "_SCIPY_OK", flag)
        work()
        tracemalloc.start()
        try:
            # Classes made per call (the fallback's _Lin) churn the interpreter's subclass registry, which
            # settles at one larger table size; warm up past that before measuring.
            base = traced(400)
            after = traced(400)
        finally:
            tracemalloc.stop()
        assert after - base < 64 * 1024, (flag, after - base)


def test_threads_get_the_serial_results():
    rng = np.random.default_rng(15)
    marginals = [random_marginal(rng, 300) for _ in range(8)]
    expected = [q.orvo_smarginal(m) for m in marginals]
    results = [None] * len(marginals)

    def work(i):
        for _ in range(5):
            results[i] = q.orvo_smarginal(marginals[i])

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(marginals))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for got, want in zip(results, expected):
        np.testing.assert_array_equal(got["x"], want["x"])
        np.testing.assert_array_equal(got["y"], want["y"])


@pytest.mark.parametrize("factor, points", [(-5, 3), (-2 ** 62, 3), (-2 ** 70, 3), (0, 3), (2, 6)])
def test_any_factor_at_or_below_zero_gives_the_knot_count(factor, points):
    m = {"x": [0.0, 0.5, 1.0], "y": [1.0, 2.0, 1.0]}
    assert len(q.orvo_smarginal(m, log=True, factor=factor)["x"]) == points


@pytest.mark.parametrize("factor", [2 ** 62, 2 ** 70])
def test_a_grid_no_machine_can_hold_is_an_error(factor):
    with pytest.raises(MemoryError):
        q.orvo_smarginal({"x": [0.0, 0.5, 1.0], "y": [1.0, 2.0, 1.0]}, log=True, factor=factor)
