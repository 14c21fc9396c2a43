"""Marginals for the quadra fuzz tests: the three accepted forms with every kind of fault in their numbers, in
odd dtypes and memory layouts, as data frames (real pandas when importable, and a hostile stand-in patched in
as the module's `pd` either way), and plain junk."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Tuple

import numpy as np
from hypothesis import strategies as st

from .hostile import (Ctx, Hostile, HostileIndexError, HostileKeyError, Junk, ListOf, NdSub, TrapRecipe, build,
                      named, trap_recipes, values, JUNK_FACTORIES, SUBCLASS_FACTORIES)

try:
    import pandas as pd
except ImportError:  # pragma: no cover - CI installs pandas; a bare machine may not have it
    pd = None

FAULTS = ("nan_y", "nan_x", "inf_y", "inf_x", "zero_y", "neg_y", "dup_x", "unsorted", "tiny_y", "huge_x",
          "tiny_dx", "huge_y", "constant_x", "denormal_y", "all_zero", "spike", "neg_x_scale")
FORMS = ("matrix", "dict", "dict_lists", "dict_tuples", "dict_extra", "dictsub", "frame", "fake_frame")
MATRIX_LAYOUTS = ("C", "F", "strided", "reversed", "readonly", "unaligned", "byteswapped", "subclass", "f4", "i8",
                  "object", "f2", "longdouble", "complex", "3col", "1col", "3d", "transposed", "matrix")
COLUMN_KINDS = ("f8", "f4", "i8", "list", "tuple", "object", "0d", "2d", "bool", "str", "complex", "masked",
                "trap", "generator", "scalar")
FRAME_DTYPES = ("float64", "float32", "int64", "Int64", "Float64", "object", "category", "bool", "string",
                "datetime", "extra_cols", "dup_cols", "missing_y", "empty", "multiindex")


@dataclass(frozen=True)
class MarginalRecipe:
    n: int
    faults: Tuple[str, ...]
    form: str
    layout: str  # for the matrix form; the column kind for the mapping forms; the dtype for frames
    seed: int

    def __repr__(self):
        return "Marginal(n=%d, faults=%s, form=%s, layout=%s, seed=%d)" % (self.n, self.faults, self.form,
                                                                           self.layout, self.seed)


def _xy(r: MarginalRecipe):
    rng = np.random.default_rng(r.seed)
    n = r.n
    x = np.sort(rng.normal(size=n)) * 2.0 if r.seed % 2 else np.linspace(-3.0, 3.0, n)
    y = np.exp(-0.5 * x * x) * (1.0 + 0.1 * rng.random(n))
    with np.errstate(all="ignore"):
        for f in r.faults:
            if n == 0:
                break
            i = int(rng.integers(0, n))
            if f == "nan_y":
                y[i] = np.nan
            elif f == "nan_x":
                x[i] = np.nan
            elif f == "inf_y":
                y[i] = np.inf
            elif f == "inf_x":
                x[i] = np.inf if i % 2 else -np.inf
            elif f == "zero_y":
                y[i] = 0.0
            elif f == "neg_y":
                y[i] = -1.0
            elif f == "dup_x" and n > 1:
                x[i] = x[(i + 1) % n]
            elif f == "unsorted":
                p = rng.permutation(n)
                x, y = x[p], y[p]
            elif f == "tiny_y":
                y[i] = 1e-300
            elif f == "huge_x":
                x = x * 1e300
            elif f == "tiny_dx":
                x = 1.0 + x * 1e-15
            elif f == "huge_y":
                y = y * 1e308
            elif f == "constant_x":
                x = np.full(n, 2.0)
            elif f == "denormal_y":
                y = y * 5e-324
            elif f == "all_zero":
                y = np.zeros(n)
            elif f == "spike":
                y = np.full(n, 1e-200)
                y[i] = 1.0
            elif f == "neg_x_scale":
                x = -x
    return x, y


def _column(v: np.ndarray, kind: str, ctx: Ctx):
    if kind == "f8":
        return v
    if kind == "f4":
        return v.astype(np.float32)
    if kind == "i8":
        return np.nan_to_num(v * 10, nan=0, posinf=0, neginf=0).clip(-1e9, 1e9).astype(np.int64)
    if kind == "list":
        return v.tolist()
    if kind == "tuple":
        return tuple(v.tolist())
    if kind == "object":
        o = v.astype(object)
        if o.size:
            o[0] = Junk("cell") if v.size % 3 == 0 else str(o[0])
        return o
    if kind == "0d":
        return np.float64(v[0]) if v.size else np.float64(1.0)
    if kind == "2d":
        return v.reshape(-1, 1)
    if kind == "bool":
        return v > 0.5
    if kind == "str":
        return [str(a) for a in v]
    if kind == "complex":
        return v + 1j
    if kind == "masked":
        return np.ma.masked_array(v, mask=np.arange(v.size) % 3 == 0)
    if kind == "trap":
        return build(TrapRecipe((("iter", "partial"), ("len", "lie_big")), list(v)), ctx)
    if kind == "generator":
        return (a for a in v.tolist())
    return 1.0


def _matrix(x, y, layout: str):
    m = np.column_stack([x, y])
    with np.errstate(all="ignore"):
        if layout == "F":
            return np.asfortranarray(m)
        if layout == "strided":
            return np.repeat(m, 2, axis=0)[::2]
        if layout == "reversed":
            return m[::-1].copy()[::-1]
        if layout == "readonly":
            m.setflags(write=False)
            return m
        if layout == "unaligned":
            raw = np.zeros(m.nbytes + 1, dtype=np.uint8)
            u = raw[1:].view(np.float64).reshape(m.shape)
            u[...] = m
            return u
        if layout == "byteswapped":
            return m.astype(m.dtype.newbyteorder())
        if layout == "subclass":
            return m.view(NdSub)
        if layout == "f4":
            return m.astype(np.float32)
        if layout == "i8":
            return np.nan_to_num(m * 10, nan=0, posinf=0, neginf=0).clip(-1e9, 1e9).astype(np.int64)
        if layout == "object":
            o = m.astype(object)
            if o.size:
                o[0, 1] = "1.5"
            return o
        if layout == "f2":
            return m.astype(np.float16)
        if layout == "longdouble":
            return m.astype(np.longdouble)
        if layout == "complex":
            return m.astype(complex)
        if layout == "3col":
            return np.column_stack([x, y, y])
        if layout == "1col":
            return x.reshape(-1, 1)
        if layout == "3d":
            return m.reshape(1, *m.shape)
        if layout == "transposed":
            return m.T
        if layout == "matrix":
            return np.asmatrix(m)
    return m


class FakeFrame:
    """A data-frame stand-in whose protocols can be sabotaged (installed as the module's `pd.DataFrame`)."""

    def __init__(self, x, y, how):
        self._cols = {"x": x, "y": y}
        self._how = how
        self.columns = ["x", "y"] if how != "columns_trap" else build(
            TrapRecipe((("iter", "raise"), ("len", "raise"))), Ctx())
        if how == "no_y":
            self.columns = ["x"]

    def __getitem__(self, key):
        if self._how == "getitem_raises":
            raise Hostile("frame __getitem__")
        if self._how == "getitem_keyerror":
            raise HostileKeyError(key)
        if self._how == "getitem_junk":
            return Junk("column")
        return self._cols[key]

    def __len__(self):
        if self._how == "len_raises":
            raise Hostile("frame __len__")
        if self._how == "len_lies":
            return 10 ** 6
        if self._how == "len_negative":
            return -1
        return len(self._cols["x"])


FAKE_FRAME_KINDS = ("plain", "columns_trap", "no_y", "getitem_raises", "getitem_keyerror", "getitem_junk",
                    "len_raises", "len_lies", "len_negative")


class FakePandas:
    DataFrame = FakeFrame


def _frame(x, y, kind: str):
    if pd is None:
        return None
    if kind == "float32":
        return pd.DataFrame({"x": x.astype(np.float32), "y": y.astype(np.float32)})
    if kind == "int64":
        return pd.DataFrame({"x": np.arange(len(x)), "y": np.nan_to_num(y * 100, nan=0, posinf=0,
                                                                         neginf=0).clip(-1e9, 1e9).astype(np.int64)})
    if kind == "Int64":
        s = pd.array(np.arange(len(x)), dtype="Int64")
        if len(s):
            s[0] = pd.NA
        return pd.DataFrame({"x": s, "y": y})
    if kind == "Float64":
        return pd.DataFrame({"x": pd.array(x, dtype="Float64"), "y": pd.array(y, dtype="Float64")})
    if kind == "object":
        return pd.DataFrame({"x": x.astype(object), "y": [str(v) for v in y]})
    if kind == "category":
        return pd.DataFrame({"x": pd.Categorical(x), "y": pd.Categorical([str(v) for v in y])})
    if kind == "bool":
        return pd.DataFrame({"x": x, "y": y > 0.5})
    if kind == "string":
        return pd.DataFrame({"x": pd.array([str(v) for v in x], dtype="string"), "y": y})
    if kind == "datetime":
        return pd.DataFrame({"x": pd.date_range("2020-01-01", periods=len(x)), "y": y})
    if kind == "extra_cols":
        return pd.DataFrame({"a": y, "y": y, "x": x, "z": [str(v) for v in x]})
    if kind == "dup_cols":
        return pd.DataFrame(np.column_stack([x, y, x]), columns=["x", "y", "x"])
    if kind == "missing_y":
        return pd.DataFrame({"x": x, "Y": y})
    if kind == "empty":
        return pd.DataFrame({"x": [], "y": []})
    if kind == "multiindex":
        return pd.DataFrame(np.column_stack([x, y]), columns=pd.MultiIndex.from_tuples([("x", "a"), ("y", "b")]))
    return pd.DataFrame({"x": x, "y": y})


def build_marginal(r: MarginalRecipe, ctx: Ctx):
    """(marginal object, fake pandas module to install or None)."""
    x, y = _xy(r)
    if r.form == "matrix":
        return _matrix(x, y, r.layout), None
    if r.form == "dict":
        return {"x": _column(x, r.layout, ctx), "y": _column(y, r.layout, ctx)}, None
    if r.form == "dict_lists":
        return {"x": x.tolist(), "y": y.tolist()}, None
    if r.form == "dict_tuples":
        return {"y": tuple(y.tolist()), "x": tuple(x.tolist())}, None
    if r.form == "dict_extra":
        return {"x": x, "y": y, "z": Junk("extra")}, None
    if r.form == "dictsub":
        return SUBCLASS_FACTORIES["DictSubLies()" if r.seed % 2 else "DictSub(x,y)"](), None
    if r.form == "frame":
        f = _frame(x, y, r.layout)
        return (f if f is not None else {"x": x, "y": y}), None
    kind = FAKE_FRAME_KINDS[r.seed % len(FAKE_FRAME_KINDS)]
    return FakeFrame(x, y, kind), FakePandas


def _layouts_for(form):
    if form == "matrix":
        return st.sampled_from(MATRIX_LAYOUTS)
    if form == "frame":
        return st.sampled_from(FRAME_DTYPES)
    return st.sampled_from(COLUMN_KINDS)


@st.composite
def marginal_recipes(draw, plain=False, clean=False):
    """Mostly well-formed numbers with a few faults; `plain` keeps to float64 dicts and arrays in C order,
    `clean` to at least three points without faults."""
    n = draw(st.integers(3, 40) if clean else st.one_of(st.integers(0, 6), st.integers(3, 40), st.integers(3, 40)))
    faults = () if clean else tuple(draw(st.lists(st.sampled_from(FAULTS), max_size=3)))
    if plain:
        form = draw(st.sampled_from(["matrix", "dict"]))
        layout = "C" if form == "matrix" else "f8"
    else:
        form = draw(st.sampled_from(FORMS))
        layout = draw(st.one_of(st.just("C" if form == "matrix" else "f8"), _layouts_for(form)))
    return MarginalRecipe(n, faults, form, layout, draw(st.integers(0, 2 ** 16)))


def any_marginal():
    """A marginal recipe (a third of them clean), or junk that is not a marginal at all."""
    return st.one_of(marginal_recipes(plain=True, clean=True), marginal_recipes(clean=True), marginal_recipes(),
                     marginal_recipes(), values(max_leaves=3), named(SUBCLASS_FACTORIES),
                     trap_recipes(["getitem", "len", "iter", "array", "hash", "eq"]))


def make(recipe, ctx: Ctx):
    """(object, fake pandas or None) for a marginal recipe or any other recipe."""
    if isinstance(recipe, MarginalRecipe):
        return build_marginal(recipe, ctx)
    return build(recipe, ctx), None
