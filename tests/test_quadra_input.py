"""vexil.pure.quadra: the module's names, introspection, and the marginal forms (recognise, unpack, clean)."""
import inspect
import typing

import numpy as np
import pytest

import quadra_reference as ref
from quadra_testing import outcome, run_python
from vexil.pure import quadra as q

try:
    import pandas as pd
except ImportError:
    pd = None

TOO_SMALL = "Marginal too small after filtering. Need >=3 support points."
NO_FINITE = "Marginal has no finite density points after NaN removal."
MATRIX_MSG = "Matrix marginal must be an (n,2) array."
FRAME_MSG = "DataFrame marginal must have columns 'x' and 'y'."
TYPE_MSG = "Marginal must be an (n,2) array, dict with keys {'x','y'}, or pandas DataFrame with 'x' and 'y' columns."




def assert_same_marginal(a, b):
    assert list(a) == list(b)
    for k in b:
        assert a[k].dtype == b[k].dtype == np.float64
        np.testing.assert_array_equal(a[k], b[k])


class FakeFrame:
    """Just enough of a data frame for the module: columns, item access and length."""

    def __init__(self, **cols):
        self._cols = {k: list(v) for k, v in cols.items()}
        self.columns = list(self._cols)

    def __getitem__(self, key):
        return np.asarray(self._cols[key])

    def __len__(self):
        return len(next(iter(self._cols.values()))) if self._cols else 0


class FakePandas:
    DataFrame = FakeFrame


@pytest.fixture
def fake_pandas(monkeypatch):
    """The module with a stand-in pandas (both names are read at call time)."""
    monkeypatch.setattr(q, "pd", FakePandas, raising=False)
    monkeypatch.setattr(q, "_PANDAS_OK", True)
    return FakeFrame


# ---------------------------------------------------------------------------------------------------------
# The module itself

FUNCTIONS_HERE = ["orvo_is_marginal", "_as_xy", "_to_dict_or_mat", "orvo_marginal_fix", "_pchip", "_cubic",
                  "orvo_spline", "orvo_smarginal", "orvo_sfmarginal"]


def test_module_level_names_in_binding_order():
    names = [k for k in vars(q) if not (k.startswith("__") and k.endswith("__"))]
    head = ["np", "Callable", "Dict", "List", "Tuple", "Union", "Optional"]
    head += ["pd"] if q._PANDAS_OK else []
    head += ["_PANDAS_OK"]
    head += ["PchipInterpolator", "CubicSpline", "minimize_scalar"] if q._SCIPY_OK else []
    head += ["_SCIPY_OK", "_EPS", "ArrayLike", "Marginal"] + FUNCTIONS_HERE
    assert names[: len(head)] == head
    # the functions of the rest of the module follow orvo_sfmarginal and nothing else is bound
    assert all(callable(getattr(q, n)) for n in names[len(head):])
    assert not hasattr(q, "__all__")
    assert q.__doc__ is None


def test_module_constants():
    assert q.np is np
    for name in ("Callable", "Dict", "List", "Tuple", "Union", "Optional"):
        assert getattr(q, name) is getattr(typing, name)
    assert q._PANDAS_OK is (pd is not None)
    assert type(q._EPS) is np.float64 and q._EPS == 2.220446049250313e-13
    assert q.ArrayLike == typing.Union[np.ndarray, typing.List[float], typing.Tuple[float, ...]]
    assert q.Marginal == typing.Union[np.ndarray, typing.Dict[str, np.ndarray]]
    if q._SCIPY_OK:
        from scipy.interpolate import CubicSpline, PchipInterpolator
        from scipy.optimize import minimize_scalar

        assert (q.PchipInterpolator, q.CubicSpline, q.minimize_scalar) == (PchipInterpolator, CubicSpline,
                                                                           minimize_scalar)


SIGNATURES = {
    "orvo_is_marginal": "(marginal: 'Marginal') -> 'bool'",
    "_as_xy": "(marginal: 'Marginal') -> 'Tuple[np.ndarray, np.ndarray, bool]'",
    "_to_dict_or_mat": "(x: 'np.ndarray', y: 'np.ndarray', as_matrix: 'bool') -> 'Marginal'",
    "orvo_marginal_fix": "(marginal: 'Marginal') -> 'Dict[str, np.ndarray]'",
    "_pchip": "(x: 'np.ndarray', y: 'np.ndarray')",
    "_cubic": "(x: 'np.ndarray', y: 'np.ndarray')",
    "orvo_spline": "(x_or_marginal: 'Marginal', **kwargs) -> 'Marginal'",
    "orvo_smarginal": "(marginal: 'Marginal', log: 'bool' = False, extrapolate: 'float' = 0.0, "
                      "keep_type: 'bool' = False, factor: 'int' = 15) -> 'Marginal'",
    "orvo_sfmarginal": "(marginal: 'Marginal')",
}


@pytest.mark.parametrize("name", FUNCTIONS_HERE)
def test_function_introspection(name):
    f = getattr(q, name)
    assert str(inspect.signature(f)) == SIGNATURES[name]
    assert f.__name__ == f.__qualname__ == name
    assert f.__module__ == "vexil.pure.quadra"
    assert all(isinstance(v, str) for v in f.__annotations__.values())


def test_annotation_dicts():
    assert q.orvo_is_marginal.__annotations__ == {"marginal": "Marginal", "return": "bool"}
    assert q.orvo_smarginal.__annotations__ == {"marginal": "Marginal", "log": "bool", "extrapolate": "float",
                                                "keep_type": "bool", "factor": "int", "return": "Marginal"}
    assert q.orvo_sfmarginal.__annotations__ == {"marginal": "Marginal"}
    assert q._pchip.__annotations__ == {"x": "np.ndarray", "y": "np.ndarray"}
    assert q.orvo_smarginal.__defaults__ == (False, 0.0, False, 15)


def test_docstrings():
    assert q._pchip.__doc__ is None and q._cubic.__doc__ is None and q._to_dict_or_mat.__doc__ is None
    assert q._as_xy.__doc__ == "Return (x, y, is_matrix_input)."
    doc = q.orvo_is_marginal.__doc__.splitlines()
    assert doc == ["Return True if `marginal` is either:", "* a 2D ndarray with shape (n,2) and n>2",
                   "* a dict with exactly keys {'x','y'}", "* a pandas DataFrame with columns 'x' and 'y'"]
    assert q.orvo_marginal_fix.__doc__.startswith(
        "Remove points with non-positive density or density too small relative to max.\n")
    assert "not filtered" in q.orvo_marginal_fix.__doc__.splitlines()[1]
    spline_doc = q.orvo_spline.__doc__
    assert spline_doc.splitlines()[0].startswith("Not strictly needed")
    assert "If given a matrix or dict marginal, return the same structure after cubic interpolation" in spline_doc
    assert "onto an equally spaced grid (size inferred from input). Primarily used internally." in spline_doc
    assert q.orvo_smarginal.__doc__.splitlines()[0] == (
        "Interpolate a marginal density in log(y) using the 'nonuniform t-map' logic")
    assert q.orvo_sfmarginal.__doc__ == (
        "Return {'range': (xmin,xmax), 'fun': callable} where `fun(x)` is log-density\n"
        "over the range; outside the range, you should treat as -inf.")


def test_call_shape_errors_use_the_qualname():
    with pytest.raises(TypeError, match=r"^orvo_marginal_fix\(\) missing 1 required positional argument: 'marginal'$"):
        q.orvo_marginal_fix()
    with pytest.raises(TypeError, match=r"^orvo_smarginal\(\) got an unexpected keyword argument 'bogus'$"):
        q.orvo_smarginal({"x": [1, 2, 3], "y": [1, 2, 3]}, bogus=1)


# ---------------------------------------------------------------------------------------------------------
# Recognition

@pytest.mark.parametrize("obj, expected", [
    (np.ones((3, 2)), True),
    (np.ones((2, 2)), False),
    (np.ones((3, 3)), False),
    (np.ones(6), False),
    (np.ones((3, 2, 1)), False),
    (np.float64(1.0), False),
    ([[1, 2], [3, 4], [5, 6]], False),
    ({"x": [], "y": []}, True),
    ({"x": [1], "y": [1], "z": [0]}, False),
    ({"x": [1, 2, 3]}, False),
    ({"y": 1, "x": 2}, True),
    (None, False),
    ("xy", False),
])
def test_is_marginal(obj, expected):
    assert q.orvo_is_marginal(obj) is expected


def test_is_marginal_dict_subclass_and_frames(fake_pandas):
    class D(dict):
        pass

    assert q.orvo_is_marginal(D(x=[1], y=[2])) is True
    assert q.orvo_is_marginal(fake_pandas(x=[1, 2, 3], y=[1, 2, 3], z=[0, 0, 0])) is True
    assert q.orvo_is_marginal(fake_pandas(x=[1, 2], y=[1, 2])) is False
    assert q.orvo_is_marginal(fake_pandas(x=[1, 2, 3], w=[1, 2, 3])) is False


def test_frames_are_not_marginals_without_pandas(monkeypatch, fake_pandas):
    frame = fake_pandas(x=[1, 2, 3], y=[1, 2, 3])
    monkeypatch.setattr(q, "_PANDAS_OK", False)
    assert q.orvo_is_marginal(frame) is False
    with pytest.raises(TypeError) as e:
        q._as_xy(frame)
    assert str(e.value) == TYPE_MSG


# ---------------------------------------------------------------------------------------------------------
# Unpacking

@pytest.mark.parametrize("obj, exc, msg", [
    (np.ones((5, 3)), ValueError, MATRIX_MSG),
    (np.ones(5), ValueError, MATRIX_MSG),
    (np.ones((2, 2, 2)), ValueError, MATRIX_MSG),
    ([[1, 2], [3, 4]], TypeError, TYPE_MSG),
    ((1, 2), TypeError, TYPE_MSG),
    (np.float64(2.0), TypeError, TYPE_MSG),
    ({"x": [1, 2]}, KeyError, "'y'"),
])
def test_as_xy_errors(obj, exc, msg):
    with pytest.raises(exc) as e:
        q._as_xy(obj)
    assert str(e.value) == msg


def test_as_xy_forms():
    m = np.arange(8).reshape(4, 2)
    x, y, is_mat = q._as_xy(m)
    assert is_mat is True and x.dtype == y.dtype == np.float64
    np.testing.assert_array_equal(x, [0, 2, 4, 6])
    np.testing.assert_array_equal(y, [1, 3, 5, 7])
    # a float64 matrix is unpacked into views, as np.asarray leaves them
    mf = m.astype(float)
    x, y, _ = q._as_xy(mf)
    assert np.shares_memory(x, mf) and np.shares_memory(y, mf)
    x, y, is_mat = q._as_xy({"x": (1, 2), "y": [3, 4], "z": "ignored"})
    assert is_mat is False
    np.testing.assert_array_equal(x, [1.0, 2.0])
    assert x.dtype == np.float64
    # a float64 array in a dict is handed over as it is
    arr = np.array([1.0, 2.0])
    assert q._as_xy({"x": arr, "y": arr})[0] is arr


def test_as_xy_data_frame(fake_pandas):
    x, y, is_mat = q._as_xy(fake_pandas(x=[3, 1], y=[1, 2], other=["a", "b"]))
    assert is_mat is False and x.dtype == np.float64
    np.testing.assert_array_equal(x, [3.0, 1.0])
    with pytest.raises(ValueError) as e:
        q._as_xy(fake_pandas(x=[1, 2, 3], z=[1, 2, 3]))
    assert str(e.value) == FRAME_MSG


@pytest.mark.skipif(pd is None, reason="pandas is not installed")
def test_real_data_frames():
    frame = pd.DataFrame({"x": [3, 1, 2, 4], "y": [1.0, 2.0, 3.0, 4.0], "z": list("abcd")})
    assert q.orvo_is_marginal(frame) is True
    assert q.orvo_is_marginal(frame.iloc[:2]) is False
    x, y, is_mat = q._as_xy(frame)
    assert is_mat is False and x.dtype == np.float64
    assert_same_marginal(q.orvo_marginal_fix(frame), ref.marginal_fix(frame))
    with pytest.raises(ValueError) as e:
        q._as_xy(frame[["x", "z"]])
    assert str(e.value) == FRAME_MSG
    assert isinstance(q.orvo_smarginal(frame, keep_type=True), dict)


# ---------------------------------------------------------------------------------------------------------
# Repacking

def test_to_dict_or_mat():
    x, y = np.array([1.0, 2.0]), np.array([3.0, 4.0])
    d = q._to_dict_or_mat(x, y, False)
    assert list(d) == ["x", "y"] and d["x"] is x and d["y"] is y
    m = q._to_dict_or_mat(x, y, 1)
    assert m.shape == (2, 2) and m.dtype == np.float64
    np.testing.assert_array_equal(m, [[1, 3], [2, 4]])
    np.testing.assert_array_equal(q._to_dict_or_mat([1, 2], [3, 4], True), np.column_stack([[1, 2], [3, 4]]))
    lst = [1]
    assert q._to_dict_or_mat(lst, "anything", 0)["x"] is lst


# ---------------------------------------------------------------------------------------------------------
# Cleaning

def test_cleaning_examples():
    r = q.orvo_marginal_fix({"x": [3, 1, 2], "y": [1, 2, 3]})
    assert list(r) == ["x", "y"]
    np.testing.assert_array_equal(r["x"], [1, 2, 3])
    np.testing.assert_array_equal(r["y"], [2, 3, 1])
    dropped = q.orvo_marginal_fix({"x": [0, 1, 2, 3], "y": [1.0, 1e-14, 1.0, 1.0]})
    np.testing.assert_array_equal(dropped["x"], [0, 2, 3])
    kept = q.orvo_marginal_fix({"x": [0, 1, 2, 3], "y": [1.0, 1e-12, 1.0, 1.0]})
    np.testing.assert_array_equal(kept["x"], [0, 1, 2, 3])
    # NaN in x is kept and sorted last; NaN densities go
    r = q.orvo_marginal_fix({"x": [np.nan, 2, 1, 5], "y": [1, 2, 3, np.nan]})
    np.testing.assert_array_equal(r["x"], [1, 2, np.nan])
    np.testing.assert_array_equal(r["y"], [3, 2, 1])
    # the matrix form still gives the mapping form
    r = q.orvo_marginal_fix(np.array([[2.0, 1.0], [1.0, 1.0], [3.0, 1.0]]))
    assert isinstance(r, dict)
    np.testing.assert_array_equal(r["x"], [1, 2, 3])


@pytest.mark.parametrize("marginal, msg", [
    ({"x": [0, 1, 2, 3], "y": [0.0, 1.0, 2.0, 0.0]}, TOO_SMALL),
    ({"x": [0, 1, 2, 3], "y": [-1.0, 1.0, 2.0, 3.0]}, None),
    ({"x": [0, 1, 2], "y": [np.nan] * 3}, NO_FINITE),
    ({"x": [], "y": []}, NO_FINITE),
    ({"x": 1.0, "y": 2.0}, TOO_SMALL),
    ({"x": 1.0, "y": np.nan}, NO_FINITE),
    ({"x": [1, 2, 3, 4], "y": [1, np.inf, 2, 3]}, TOO_SMALL),
    ({"x": [1, 2, 3], "y": [-1, -2, -3]}, TOO_SMALL),
])
def test_cleaning_failures_and_survivors(marginal, msg):
    got = outcome(q.orvo_marginal_fix, marginal)
    want = outcome(ref.marginal_fix, marginal)
    if msg is not None:
        assert got == ("err", ValueError, msg)
    assert got[0] == want[0]
    if got[0] == "ok":
        assert_same_marginal(got[1], want[1])
    else:
        assert got == want


@pytest.mark.parametrize("eps", [1e-3, 0.3, np.float32(0.25), 0.0, -1.0, 1])
def test_tolerance_is_read_from_the_module_at_call_time(monkeypatch, eps):
    # _EPS is a module attribute like any other: replacing it changes the cleaning (and the smoothing, which
    # cleans) of later calls exactly as it changes the Python code's.
    x = np.linspace(0.0, 10.0, 40)
    m = {"x": x, "y": np.exp(-0.5 * (x - 5.0) ** 2)}
    default = q.orvo_marginal_fix(m)
    monkeypatch.setattr(q, "_EPS", eps)
    monkeypatch.setattr(ref, "EPS", eps)
    for fn, want_fn in [(q.orvo_marginal_fix, ref.marginal_fix), (q.orvo_smarginal, ref.smarginal)]:
        got, want = outcome(fn, m), outcome(want_fn, m)
        assert got[0] == want[0]
        if got[0] == "ok":
            assert_same_marginal(got[1], want[1])
        else:
            assert got == want == ("err", ValueError, TOO_SMALL)
    kept = outcome(q.orvo_marginal_fix, m)
    if eps in (1e-3, 0.3, np.float32(0.25)):
        assert len(kept[1]["x"]) < len(default["x"])
    monkeypatch.undo()
    assert_same_marginal(q.orvo_marginal_fix(m), default)


def test_tolerance_that_is_not_a_number(monkeypatch):
    monkeypatch.setattr(q, "_EPS", "1e-3")
    with pytest.raises(TypeError):
        q.orvo_marginal_fix({"x": [0.0, 1.0, 2.0, 3.0], "y": [1.0, 2.0, 3.0, 1.0]})


def test_tolerance_deleted_in_fresh_interpreter():
    # (In a fresh interpreter: deleting and restoring the name would move it to the end of the module's names.)
    r = run_python("""
        import numpy as np
        from vexil.pure import quadra as q
        m = {'x': [0.0, 1.0, 2.0, 3.0], 'y': [1.0, 2.0, 3.0, 1.0]}
        del q._EPS
        try:
            q.orvo_smarginal(m)
        except NameError as e:
            print(e)
        # Read only where the Python code reads it: after the check for finite densities, and not at all by
        # functions that do not clean.
        try:
            q.orvo_marginal_fix({'x': [0.0, 1.0], 'y': [np.nan, np.nan]})
        except ValueError as e:
            print(e)
        print(q._as_xy(m)[2], q._simpson_odd_grid(np.array([0.0, 1.0, 3.0])).tolist())
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == ["name '_EPS' is not defined", NO_FINITE, "False [0.5, 1.5, 1.0]"]


def test_ties_follow_numpys_argsort():
    # Many equal abscissae with different densities: the order among equals is whatever numpy's default
    # (unstable) sort gives, so the result must equal numpy's argsort, not a stable sort.
    rng = np.random.default_rng(7)
    for n in (5, 17, 40, 200, 3000):
        x = rng.integers(0, 6, n).astype(float)
        x[rng.integers(0, n)] = np.nan
        y = rng.uniform(0.5, 1.0, n)
        assert_same_marginal(q.orvo_marginal_fix({"x": x, "y": y}), ref.marginal_fix({"x": x, "y": y}))


@pytest.mark.filterwarnings("ignore::PendingDeprecationWarning")  # np.matrix
@pytest.mark.parametrize("make", [
    lambda x, y: {"x": list(x), "y": tuple(y)},
    lambda x, y: np.column_stack([x, y]),
    lambda x, y: np.asfortranarray(np.column_stack([x, y])),
    lambda x, y: np.column_stack([x, y])[::-1],
    lambda x, y: np.column_stack([x, y]).astype(">f8"),
    lambda x, y: np.column_stack([x, y]).astype(np.float32),
    lambda x, y: {"x": x.astype(int), "y": (y > 0.3)},
    lambda x, y: {"x": x.astype(object), "y": y},
    lambda x, y: {"x": [str(v) for v in x], "y": y},
    lambda x, y: {"x": x.reshape(-1, 2), "y": y.reshape(-1, 2)},
    lambda x, y: {"x": np.ma.masked_array(x), "y": np.ma.masked_array(y)},
    lambda x, y: np.asmatrix(np.column_stack([x, y])),
], ids=["lists", "matrix", "fortran", "reversed-view", "big-endian", "float32", "int-bool", "object", "strings",
        "2d-same-shape", "masked", "matrix-subclass"])
def test_cleaning_odd_inputs_like_numpy(make):
    rng = np.random.default_rng(3)
    x = rng.permutation(np.arange(12.0))
    y = rng.uniform(0, 1, 12)
    m = make(x, y)
    got, want = outcome(q.orvo_marginal_fix, m), outcome(ref.marginal_fix, m)
    assert got[0] == want[0] == "ok"
    assert_same_marginal(got[1], want[1])


@pytest.mark.parametrize("m", [
    {"x": [1, 2, 3], "y": [1, 2, 3, 4]},
    {"x": [1, 2, 3, 4, 5], "y": [1, 2, 3, 4]},
    {"x": ["a", "b", "c"], "y": [1, 2, 3]},
    {"x": [[1, 2], [3]], "y": [1, 2]},
    {"x": [1, None, 3], "y": [1, 2, 3]},
    {"x": [1, 2, 3], "y": {"not": "numbers"}},
    {"x": [1, 2, 3], "y": [1j, 2, 3]},
], ids=["short-x", "long-x", "strings", "ragged", "none", "dict-values", "complex"])
def test_cleaning_bad_inputs_raise_numpys_errors(m):
    got, want = outcome(q.orvo_marginal_fix, m), outcome(ref.marginal_fix, m)
    assert got[0] == want[0]
    if got[0] == "err":
        assert got == want
    else:
        assert_same_marginal(got[1], want[1])


def test_mismatched_shapes_are_refused_instead_of_scrambled():
    # x of shape (n, 1) with y of shape (n,): numpy's indexing would keep going and return abscissae that
    # are copies of the first one; the module refuses the table instead.
    m = {"x": [[3.0], [1.0], [2.0], [4.0]], "y": [1.0, 2.0, 3.0, 4.0]}
    with pytest.raises(ValueError, match="same shape"):
        q.orvo_marginal_fix(m)


def test_inputs_are_never_modified_and_results_are_new():
    rng = np.random.default_rng(11)
    x = rng.permutation(np.linspace(-3, 3, 30))
    y = np.exp(-x ** 2)
    y[4] = np.nan
    mat = np.column_stack([x, y])
    mat.setflags(write=False)
    before = mat.copy()
    r = q.orvo_marginal_fix(mat)
    d = {"x": mat[:, 0], "y": mat[:, 1]}
    r2 = q.orvo_marginal_fix(d)
    np.testing.assert_array_equal(mat, before)
    assert not np.shares_memory(r["x"], mat) and not np.shares_memory(r["y"], mat)
    assert_same_marginal(r, r2)
    r["x"][:] = 0  # results are writable and independent of the input
    np.testing.assert_array_equal(mat, before)
    clean = {"x": np.arange(5.0), "y": np.ones(5)}
    r3 = q.orvo_marginal_fix(clean)
    assert r3["x"] is not clean["x"] and not np.shares_memory(r3["x"], clean["x"])


# ---------------------------------------------------------------------------------------------------------
# Argument conventions

def test_int_and_float_arguments():
    m = {"x": np.linspace(0, 1, 5), "y": np.ones(5)}
    with pytest.raises(TypeError) as e:
        q.orvo_smarginal(m, factor="2")
    assert str(e.value) == "Argument 'factor' has incorrect type (expected int, got str)"
    with pytest.raises(TypeError) as e:
        q.orvo_smarginal(m, factor=None)
    assert str(e.value) == "Argument 'factor' has incorrect type (expected int, got NoneType)"
    assert len(q.orvo_smarginal(m, log=True, factor=2.9)["x"]) == 10
    assert len(q.orvo_smarginal(m, log=True, factor=True)["x"]) == 5
    assert len(q.orvo_smarginal(m, log=True, factor=np.int8(3))["x"]) == 15
    with pytest.raises(TypeError, match="must be real number, not str"):
        q.orvo_smarginal(m, extrapolate="0.1")
    # bool parameters go by truth value
    assert q.orvo_smarginal(m, log=[1])["y"][0] == 0.0
    assert isinstance(q.orvo_smarginal(np.column_stack([m["x"], m["y"]]), keep_type="yes"), np.ndarray)


# ---------------------------------------------------------------------------------------------------------
# Optional dependencies in a fresh interpreter

FAKE_RAISING = "raise {exc}('broken on purpose')\n"


def test_pandas_blocked_in_fresh_interpreter():
    r = run_python("""
        import sys
        sys.modules['pandas'] = None
        from vexil.pure import quadra as q
        assert q._PANDAS_OK is False and 'pd' not in vars(q)
        print(q.orvo_is_marginal({'x': [1], 'y': [2]}), q.orvo_marginal_fix({'x': [3, 1, 2], 'y': [1, 2, 3]})['x'])
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.split()[:2] == ["True", "[1."]


@pytest.mark.parametrize("pkg, exc, imports", [
    ("pandas", "RuntimeError", False),
    ("pandas", "ModuleNotFoundError", True),
    ("scipy", "RuntimeError", True),
    ("scipy", "ImportError", True),
])
def test_import_guards(tmp_path, pkg, exc, imports):
    # pandas: only ImportError (and subclasses) is tolerated; scipy: any Exception.
    (tmp_path / pkg).mkdir()
    (tmp_path / pkg / "__init__.py").write_text(FAKE_RAISING.format(exc=exc))
    r = run_python("""
        from vexil.pure import quadra as q
        print(q._PANDAS_OK, q._SCIPY_OK)
    """, extra_path=[str(tmp_path)])
    if imports:
        assert r.returncode == 0, r.stderr
        flags = r.stdout.split()
        assert flags[0 if pkg == "pandas" else 1] == "False"
    else:
        assert r.returncode != 0 and "RuntimeError: broken on purpose" in r.stderr
