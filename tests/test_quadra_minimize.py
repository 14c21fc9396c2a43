"""vexil.pure.quadra._minimize_on_interval: scipy's bounded method and the golden-section fallback.

The fallback carries two repairs: it ends for every tol (a bracket that can shrink no further ends the
search, at the same place wherever the plain loop would have ended), and it refuses non-finite bounds with
the bounded method's own ValueError. Searches that could hang run in a subprocess with a time-out.
"""
import math

import numpy as np
import pytest

from quadra_queries_reference import golden
from quadra_testing import run_python
from vexil.pure import quadra as q

scipy_optimize = pytest.importorskip("scipy.optimize")
minimize_scalar = scipy_optimize.minimize_scalar

NOT_FINITE = "Optimization bounds must be finite scalars."



@pytest.fixture
def fallback(monkeypatch):
    monkeypatch.setattr(q, "_SCIPY_OK", False)


class Recorder:
    """An objective that records what it is called with."""

    def __init__(self, f):
        self.f = f
        self.args = []

    def __call__(self, x):
        self.args.append(x)
        return self.f(x)


OBJECTIVES = [
    (lambda x: (x - 0.3) ** 2, 0.0, 1.0),
    (lambda x: abs(x - 1.7) + 0.1 * math.sin(5 * x), -4.0, 6.0),
    (lambda x: math.cos(3 * x) + 0.01 * x * x, -10.0, 10.0),
    (lambda x: math.exp(x) - 2 * x, -2.0, 2.0),
    (lambda x: -x, 0.0, 1.0),
    (lambda x: 1.0, -1.0, 1.0),
    (lambda x: float("nan") if x > 0.5 else (x - 0.2) ** 2, 0.0, 1.0),
]


# ---------------------------------------------------------------------------------------------------------
# With scipy

@pytest.mark.parametrize("i", range(len(OBJECTIVES)))
@pytest.mark.parametrize("tol", [1e-06, 1e-3, 1e-10])
def test_scipy_path_is_scipys_result(i, tol):
    f, a, b = OBJECTIVES[i]
    got, want = Recorder(f), Recorder(f)
    x = q._minimize_on_interval(got, a, b, tol)
    assert type(x) is float
    assert x == float(minimize_scalar(want, bounds=(a, b), method="bounded", options={"xatol": tol}).x)
    assert got.args == want.args and [type(v) for v in got.args] == [type(v) for v in want.args]


def test_scipy_path_calls_the_module_minimize_scalar(monkeypatch):
    calls = []

    def spy(f, **kw):
        calls.append(kw)
        return minimize_scalar(f, **kw)

    monkeypatch.setattr(q, "minimize_scalar", spy)
    q._minimize_on_interval(abs, -1, 2, tol=1e-4)
    assert calls == [{"bounds": (-1.0, 2.0), "method": "bounded", "options": {"xatol": 1e-4}}]
    for bad in ((math.nan, 1.0), (0.0, math.inf)):
        with pytest.raises(ValueError) as e:
            q._minimize_on_interval(abs, *bad)
        assert str(e.value) == NOT_FINITE


@pytest.mark.parametrize("seed", range(4))
def test_native_bounded_method_follows_scipy_step_for_step(seed, monkeypatch):
    """Inside the mode and interval searches the bounded method runs natively; forcing the Python path
    (minimize_scalar replaced by a wrapper around scipy's) must give the same doubles."""
    rng = np.random.default_rng(seed)
    x = np.sort(rng.uniform(-3, 5, int(rng.integers(20, 150))))
    m = {"x": x, "y": np.exp(-0.5 * (x - 1) ** 2 / rng.uniform(0.3, 3)) * (1.2 + np.sin(rng.uniform(1, 3) * x))}
    levels = [0.1, 0.5, 0.9, 0.99]
    native = q.orvo_mmarginal(m), q.orvo_hpdmarginal(levels, m)
    monkeypatch.setattr(q, "minimize_scalar", lambda f, **kw: minimize_scalar(f, **kw))
    python = q.orvo_mmarginal(m), q.orvo_hpdmarginal(levels, m)
    assert native[0] == python[0]
    np.testing.assert_array_equal(native[1], python[1])


# ---------------------------------------------------------------------------------------------------------
# Golden-section search (scipy absent)

@pytest.mark.parametrize("i", range(len(OBJECTIVES)))
@pytest.mark.parametrize("tol", [1e-06, 1e-2, 1e-12])
def test_golden_section_search(i, tol, fallback):
    f, a, b = OBJECTIVES[i]
    got, want = Recorder(f), Recorder(f)
    x = q._minimize_on_interval(got, a, b, tol)
    assert type(x) is float
    assert x == golden(want, a, b, tol, mended=False)  # ordinary inputs: the plain loop's result
    assert got.args == want.args
    assert all(type(v) is np.float64 for v in got.args)  # abscissae come from np.sqrt(5.0)


def test_golden_section_examples(fallback):
    r = Recorder(lambda x: (x - 0.3) ** 2)
    assert abs(q._minimize_on_interval(r, 0, 1) - 0.3) < 1e-6
    assert len(r.args) > 20
    r = Recorder(lambda x: (x - 0.3) ** 2)
    assert q._minimize_on_interval(r, 2, 2) == 2.0
    assert len(r.args) == 2  # the two first evaluations happen even for an empty interval


def test_golden_section_compares_results_as_python_does(fallback):
    # Tuples compare element by element; a result without `<` raises Python's TypeError.
    x = q._minimize_on_interval(lambda v: (round(abs(v - 0.6), 3), -v), 0.0, 1.0)
    assert x == pytest.approx(0.6, abs=1e-3)
    with pytest.raises(TypeError, match="'<' not supported"):
        q._minimize_on_interval(lambda v: object(), 0.0, 1.0)
    with pytest.raises(ValueError, match="truth value of an array"):
        q._minimize_on_interval(lambda v: np.array([v, v]), 0.0, 1.0)
    with pytest.raises(ZeroDivisionError):
        q._minimize_on_interval(lambda v: 1 / 0, 0.0, 1.0)


@pytest.mark.parametrize("a, b", [(math.nan, 1.0), (0.0, math.nan), (-math.inf, 0.0), (0.0, math.inf),
                                  (math.inf, math.inf)])
def test_non_finite_bounds_are_refused_by_both_paths(a, b, monkeypatch):
    for scipy_ok in (True, False):
        monkeypatch.setattr(q, "_SCIPY_OK", scipy_ok)
        r = Recorder(abs)
        with pytest.raises(ValueError) as e:
            q._minimize_on_interval(r, a, b, 1e-6)
        assert str(e.value) == NOT_FINITE
        assert r.args == []


def test_hpd_of_a_nan_level_fails_the_same_way_without_scipy(monkeypatch):
    x = np.linspace(-3, 3, 40)
    m = {"x": x, "y": np.exp(-x ** 2)}
    for scipy_ok in (True, False):
        monkeypatch.setattr(q, "_SCIPY_OK", scipy_ok)
        with pytest.raises(ValueError) as e:
            q.orvo_hpdmarginal([0.5, math.nan], m)
        assert str(e.value) == NOT_FINITE


def test_search_ends_for_any_tol():
    """tol zero, negative, NaN-free but below the spacing of doubles: the plain loop never ends on these."""
    r = run_python("""
        import math, numpy as np
        from vexil.pure import quadra as q
        from quadra_queries_reference import golden
        q._SCIPY_OK = False
        cases = [(lambda x: (x - 0.3) ** 2, 0.0, 1.0), (abs, -1.0, 2.0), (lambda x: -x, 5.0, 5.5),
                 (lambda x: 1.0, 0.0, 1.0), (lambda x: (x - 1e8) ** 2, 0.0, 2e8)]
        for f, a, b in cases:
            for tol in (0.0, -1.0, -math.inf, 1e-300, 1e-17):
                calls = []
                x = q._minimize_on_interval(lambda v: calls.append(v) or f(v), a, b, tol)
                assert a <= x <= b and type(x) is float, (a, b, tol, x)
                assert len(calls) < 500, len(calls)
                assert x == golden(f, a, b, tol), (a, b, tol)
        assert q._minimize_on_interval(abs, 3.0, 3.0, -1.0) == 3.0
        print("OK")
    """, timeout=60)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "OK"


def test_repair_keeps_every_result_the_plain_loop_reaches():
    """Where the plain loop ends (even after its bracket has stopped moving for a few rounds), the repaired
    search ends at the same place; where it would run forever, the repaired search still ends."""
    r = run_python("""
        import math, numpy as np
        from vexil.pure import quadra as q
        from quadra_queries_reference import golden
        q._SCIPY_OK = False
        rng = np.random.default_rng(5)
        ended = stuck = 0
        for trial in range(600):
            x0 = rng.uniform(-2, 2)
            f = [lambda x: (x - x0) ** 2, lambda x: abs(x - x0), lambda x: math.floor((x - x0) * 1e15)][trial % 3]
            a = rng.uniform(-3, 0)
            b = a + 10 ** rng.uniform(-14, 1)
            tol = float(rng.choice([0.0, 1e-17, 1e-16, 2e-16, -1e-3, 1e-12]))
            plain = golden(f, a, b, tol, mended=False, max_rounds=3000)
            got = q._minimize_on_interval(f, a, b, tol)
            if plain is None:
                stuck += 1
                assert a <= got <= b
            else:
                ended += 1
                assert got == plain, (a, b, tol, got, plain)
        assert ended > 100 and stuck > 100, (ended, stuck)
        print("OK")
    """, timeout=120)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "OK"


def test_repairs_without_scipy_in_a_fresh_interpreter():
    r = run_python("""
        import math
        from vexil.pure import quadra as q
        assert q._SCIPY_OK is False
        x = q._minimize_on_interval(lambda v: (v - 0.3) ** 2, 0.0, 1.0, 0.0)
        assert abs(x - 0.3) < 1e-7, x
        x = q._minimize_on_interval(lambda v: (v - 0.3) ** 2, 0.0, 1.0, -5.0)
        assert abs(x - 0.3) < 1e-7, x
        for a, b in ((math.nan, 1.0), (0.0, math.inf)):
            try:
                q._minimize_on_interval(abs, a, b)
            except ValueError as e:
                assert str(e) == "Optimization bounds must be finite scalars.", e
            else:
                raise AssertionError("accepted a non-finite bound")
        print("OK")
    """, timeout=60, without_scipy=True)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "OK"
