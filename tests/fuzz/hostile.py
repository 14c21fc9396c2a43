"""Hostile arguments: objects whose protocols raise or lie, odd numbers and arrays, junk callables.

Strategies here produce *recipes* (small frozen descriptions with a readable repr) rather than the objects
themselves: many hostile objects keep state (they count their calls, or change a container the second time
they are asked something), so every test builds fresh objects from the recipe with `build(recipe, ctx)`. A
failing example is then printed by hypothesis as the recipe, which is enough to rebuild it by hand.

`ctx` (a `Ctx`) is where the test registers the containers a saboteur may change behind the callee's back:
the keyword dictionary of a safety check, a family list, the option store. Changing a container while native
code holds a borrowed pointer into it is the classic way to make an extension module read freed memory, so
every protocol below can also "mutate": run one such change (clear the container, drop or replace one of its
entries) and then answer normally.
"""

from __future__ import annotations

import decimal
import fractions
import math
import sys
import warnings
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, List, Tuple

import numpy as np
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp


class Hostile(Exception):
    """Raised by a sabotaged protocol method: a function may pass it on, never turn it into something else."""


class HostileKeyError(Hostile, KeyError):
    """A hostile KeyError: code that catches KeyError may catch it; anything else passes it on."""


class HostileIndexError(Hostile, IndexError):
    """A hostile IndexError (which also ends iteration through __getitem__)."""


class HostileBase(BaseException):
    """Raised by user callables only: not an Exception, so no function may catch it (none catches more than
    Exception). Every raise is counted in BASE_RAISES, so a call that swallowed one is caught out."""


BASE_RAISES = [0]


# ---------------------------------------------------------------------------------------------------------
# Context: containers a saboteur may change.


@dataclass
class Ctx:
    targets: List[Any] = field(default_factory=list)
    mutations: int = 0
    limit: int = 4  # a saboteur acts at most this many times per example (keeps loops finite)

    def register(self, *objs):
        for o in objs:
            if isinstance(o, (dict, list, set)) or hasattr(o, "__setitem__"):
                self.targets.append(o)
        return objs[0] if len(objs) == 1 else objs

    def mutate(self, how: str):
        """Runs one change on every registered container (`how`: clear, pop, poison, grow)."""
        if self.mutations >= self.limit:
            return
        self.mutations += 1
        for t in list(self.targets):
            try:
                if how == "clear":
                    t.clear()
                elif how == "pop":
                    if isinstance(t, dict) and t:
                        t.pop(next(reversed(t)))
                    elif isinstance(t, list) and t:
                        t.pop()
                elif how == "poison":
                    if isinstance(t, dict):
                        for k in list(t)[:3]:
                            t[k] = Junk("poisoned")
                    elif isinstance(t, list):
                        for i in range(min(3, len(t))):
                            t[i] = Junk("poisoned")
                elif how == "grow":
                    if isinstance(t, dict):
                        t["__grown__%d" % self.mutations] = 1
                    elif isinstance(t, list):
                        t.append(Junk("grown"))
            except Exception:  # noqa: BLE001 - a container that refuses the change is fine too
                pass


class Junk:
    """An inert object with a readable repr."""

    def __init__(self, tag="junk"):
        self.tag = tag

    def __repr__(self):
        return "Junk(%r)" % self.tag


class BadBool:
    """A truth value that raises: what a lying __eq__ may hand back."""

    def __bool__(self):
        raise Hostile("__bool__ of a comparison result")

    def __repr__(self):
        return "BadBool()"


# ---------------------------------------------------------------------------------------------------------
# Traps: objects built from a table {protocol: behaviour}. Each distinct table gets its own class (protocol
# methods must live on the type), cached by its key.

# Behaviours per protocol. "normal" answers from the trap's base value; "mutate:<how>" runs ctx.mutate(how)
# and then answers normally.
_MUTATE = ["mutate:clear", "mutate:pop", "mutate:poison", "mutate:grow"]
BEHAVIOURS: Dict[str, List[str]] = {
    "float": ["raise", "base", "str", "int", "nan", "inf", "subclass", "bigint"] + _MUTATE,
    "int": ["raise", "float", "huge", "neg", "bool", "str"] + _MUTATE,
    "index": ["raise", "float", "huge", "neg", "bool", "str"] + _MUTATE,
    "iter": ["raise", "noniter", "partial", "hostile_items", "items", "empty", "self"] + _MUTATE,
    "len": ["raise", "neg", "huge", "str", "lie_big", "lie_zero"] + _MUTATE,
    "eq": ["raise", "badbool", "true", "false", "notimpl", "junk"] + _MUTATE,
    "hash": ["raise", "collide", "const"] + _MUTATE,
    "bool": ["raise", "int", "none", "true", "false"] + _MUTATE,
    "str": ["raise", "nonstr", "huge"],
    "getitem": ["raise", "junk", "keyerror", "indexerror", "none", "base"] + _MUTATE,
    "arith": ["raise", "notimpl", "junk", "nan", "self"] + _MUTATE,
    "array": ["raise", "junk", "wrongshape", "object", "base"],
    "call": ["raise", "junk", "none", "base", "array3d", "wronglen", "scalar", "nan", "raisebase"] + _MUTATE,
}

COLLIDE_WITH = ["x", "y", "E", "family", "control", "scale", "offset", "weights", "Ntrials", "keep", "orvo.mode",
                "link", "variant", "hyper", "poisson", "gaussian", "binomial", "quantile", "data", "formula"]


@dataclass(frozen=True)
class TrapRecipe:
    protocols: Tuple[Tuple[str, str], ...]  # sorted (protocol, behaviour) pairs
    base: Any = 1.5  # the value answered by "normal" behaviours (a float, a list, ...)
    collide: str = "x"  # the string whose hash "collide" borrows

    def __repr__(self):
        table = ", ".join("%s=%s" % pb for pb in self.protocols)
        return "Trap(%s; base=%r)" % (table, self.base)


_TRAP_CLASSES: Dict[Tuple, type] = {}


def _float_answer(self, how):
    base = self._base
    if how == "raise":
        raise Hostile("__float__")
    if how == "str":
        return "1.0"
    if how == "int":
        return 1
    if how == "nan":
        return math.nan
    if how == "inf":
        return math.inf
    if how == "subclass":
        return FloatSub(2.5)
    if how == "bigint":
        return 10 ** 400
    return float(base) if isinstance(base, (int, float)) else 1.5


def _int_answer(self, how, name):
    if how == "raise":
        raise Hostile(name)
    if how == "float":
        return 1.5
    if how == "huge":
        return 10 ** 30
    if how == "neg":
        return -7
    if how == "bool":
        return True
    if how == "str":
        return "3"
    base = self._base
    return int(base) if isinstance(base, (int, float)) and math.isfinite(base) else 3


def _items(self):
    base = self._base
    if isinstance(base, (list, tuple)):
        return list(base)
    return [1.0, 2.0, 3.0]


def _make_trap_class(recipe: TrapRecipe) -> type:
    key = recipe.protocols
    cls = _TRAP_CLASSES.get(key)
    if cls is not None:
        return cls
    table = dict(recipe.protocols)
    ns: Dict[str, Any] = {"__slots__": ("_base", "_ctx", "_collide", "_calls", "__weakref__")}

    def mut(self, how):
        if how.startswith("mutate:"):
            self._ctx.mutate(how.split(":", 1)[1])
            return "normal"
        return how

    if "float" in table:
        def __float__(self, _h=table["float"]):
            return _float_answer(self, mut(self, _h))
        ns["__float__"] = __float__
    if "int" in table:
        def __int__(self, _h=table["int"]):
            return _int_answer(self, mut(self, _h), "__int__")
        ns["__int__"] = __int__
    if "index" in table:
        def __index__(self, _h=table["index"]):
            return _int_answer(self, mut(self, _h), "__index__")
        ns["__index__"] = __index__
    if "iter" in table:
        def __iter__(self, _h=table["iter"]):
            how = mut(self, _h)
            if how == "raise":
                raise Hostile("__iter__")
            if how == "noniter":
                return 5
            if how == "self":
                return iter([self])
            if how == "empty":
                return iter(())
            items = _items(self)
            if how == "hostile_items":
                items = [TrapBox.make("float", "raise"), TrapBox.make("eq", "raise"), *items]
            if how == "partial":
                return _partial(items)
            return iter(items)
        ns["__iter__"] = __iter__
    if "len" in table:
        def __len__(self, _h=table["len"]):
            how = mut(self, _h)
            if how == "raise":
                raise Hostile("__len__")
            if how == "neg":
                return -1
            if how == "huge":
                return 2 ** 70
            if how == "str":
                return "3"
            if how == "lie_big":
                return 10 ** 6
            if how == "lie_zero":
                return 0
            return len(_items(self))
        ns["__len__"] = __len__
    if "eq" in table:
        def __eq__(self, other, _h=table["eq"]):
            how = mut(self, _h)
            if how == "raise":
                raise Hostile("__eq__")
            if how == "badbool":
                return BadBool()
            if how == "true":
                return True
            if how == "false":
                return False
            if how == "notimpl":
                return NotImplemented
            if how == "junk":
                return Junk("eq")
            return self is other
        ns["__eq__"] = __eq__

        def __ne__(self, other, _h=table["eq"]):
            r = __eq__(self, other, _h)
            if r is NotImplemented or not isinstance(r, bool):
                return r
            return not r
        ns["__ne__"] = __ne__
    if "hash" in table:
        def __hash__(self, _h=table["hash"]):
            how = mut(self, _h)
            if how == "raise":
                raise Hostile("__hash__")
            if how == "collide":
                return hash(self._collide)
            if how == "const":
                return 7
            return id(self) >> 4
        ns["__hash__"] = __hash__
    elif "eq" in table:
        ns["__hash__"] = lambda self: id(self) >> 4  # keep it hashable unless asked otherwise
    if "bool" in table:
        def __bool__(self, _h=table["bool"]):
            how = mut(self, _h)
            if how == "raise":
                raise Hostile("__bool__")
            if how == "int":
                return 1
            if how == "none":
                return None
            return how != "false"
        ns["__bool__"] = __bool__
    if "str" in table:
        def __str__(self, _h=table["str"]):
            if _h == "raise":
                raise Hostile("__str__")
            if _h == "nonstr":
                return 5
            return "s" * 100000
        ns["__str__"] = __str__
        ns["__format__"] = lambda self, format_text: __str__(self)
        ns["__fspath__"] = __str__
    if "getitem" in table:
        def __getitem__(self, key, _h=table["getitem"]):
            how = mut(self, _h)
            if how == "raise":
                raise Hostile("__getitem__")
            if isinstance(key, int) and not 0 <= key < 8:
                raise IndexError(key)  # a sequence that ends: iteration must terminate
            if how == "junk":
                return Junk("item")
            if how == "keyerror":
                raise HostileKeyError(key)
            if how == "indexerror":
                raise HostileIndexError(key)
            if how == "none":
                return None
            items = _items(self)
            if isinstance(key, int) and -len(items) <= key < len(items):
                return items[key]
            if isinstance(key, str):
                return np.asarray(items, dtype=float)
            raise IndexError(key)
        ns["__getitem__"] = __getitem__
        ns["keys"] = lambda self: ["x", "y"]
    if "arith" in table:
        def _arith(self, *other, _h=table["arith"]):
            how = mut(self, _h)
            if how == "raise":
                raise Hostile("arithmetic")
            if how == "notimpl":
                return NotImplemented
            if how == "junk":
                return Junk("arith")
            if how == "nan":
                return math.nan
            return self
        for name in ("__add__", "__radd__", "__sub__", "__rsub__", "__mul__", "__rmul__", "__truediv__",
                     "__rtruediv__", "__neg__", "__pos__", "__abs__", "__pow__", "__rpow__", "__lt__", "__le__",
                     "__gt__", "__ge__"):
            ns[name] = _arith
        ns["log"] = ns["exp"] = ns["isnan"] = ns["isfinite"] = ns["isinf"] = ns["floor"] = _arith
    if "array" in table:
        def __array__(self, dtype=None, copy=None, _h=table["array"]):
            if _h == "raise":
                raise Hostile("__array__")
            if _h == "junk":
                return Junk("array")
            if _h == "wrongshape":
                return np.zeros((2, 3, 4))
            if _h == "object":
                return np.array([Junk("a"), None, 1.0], dtype=object)
            return np.asarray(_items(self), dtype=dtype)
        ns["__array__"] = __array__
    if "call" in table:
        def __call__(self, *args, _h=table["call"], **kwargs):
            return _call_answer(self, mut(self, _h), args)
        ns["__call__"] = __call__

    if "str" in table:
        ns["__repr__"] = ns["__str__"]
    else:
        ns["__repr__"] = lambda self: "<trap %s>" % ",".join("%s=%s" % pb for pb in key)
    name = "Trap_" + "_".join("%s_%s" % (p, b.replace(":", "")) for p, b in key)
    cls = type(name[:200], (), ns)
    _TRAP_CLASSES[key] = cls
    return cls


def _call_answer(self, how, args):
    if how == "raise":
        raise Hostile("__call__")
    if how == "raisebase":
        BASE_RAISES[0] += 1
        raise HostileBase("__call__")
    if how == "junk":
        return Junk("result")
    if how == "none":
        return None
    if how == "array3d":
        return np.zeros((2, 2, 2))
    if how == "wronglen":
        return np.zeros(7)
    if how == "scalar":
        return 1.0
    if how == "nan":
        a = np.asarray(args[0], dtype=float) if args else np.zeros(1)
        return np.full(a.shape, np.nan)
    # "base"/"normal": an identity-like answer (a float array of the first argument)
    if args:
        try:
            return np.asarray(args[0], dtype=float)
        except Exception:  # noqa: BLE001
            return args[0]
    return 1.0


def _partial(items):
    yield from items[:2]
    raise Hostile("iterator stopped half way")


class TrapBox:
    """Shortcuts for single-protocol traps used inside other traps."""

    _ctx = None

    @staticmethod
    def make(protocol, behaviour, base=1.5):
        recipe = TrapRecipe(((protocol, behaviour),), base)
        return build_trap(recipe, TrapBox._ctx or Ctx())


def build_trap(recipe: TrapRecipe, ctx: Ctx):
    cls = _make_trap_class(recipe)
    obj = cls.__new__(cls)
    obj._base = recipe.base
    obj._ctx = ctx
    obj._collide = recipe.collide
    obj._calls = 0
    return obj


def trap_recipes(protocols=None, base=st.just(1.5), max_protocols=3):
    """Traps with one to `max_protocols` sabotaged protocols drawn from `protocols`."""
    names = sorted(protocols or BEHAVIOURS)

    @st.composite
    def _recipe(draw):
        chosen = draw(st.lists(st.sampled_from(names), min_size=1, max_size=max_protocols, unique=True))
        pairs = tuple(sorted((p, draw(st.sampled_from(BEHAVIOURS[p]))) for p in chosen))
        return TrapRecipe(pairs, draw(base), draw(st.sampled_from(COLLIDE_WITH)))

    return _recipe()


# ---------------------------------------------------------------------------------------------------------
# Subclasses of built-in types whose methods lie or raise.


class FloatSub(float):
    pass


class IntSub(int):
    pass


class StrSub(str):
    pass


class StrSubEqRaises(str):
    def __eq__(self, other):
        raise Hostile("str subclass __eq__")

    __hash__ = str.__hash__

    def lower(self):
        raise Hostile("str subclass lower")


class StrSubLies(str):
    def __eq__(self, other):
        return True

    __hash__ = str.__hash__

    def lower(self):
        return Junk("lower")

    def startswith(self, *a):
        raise Hostile("startswith")


class DictSub(dict):
    pass


class DictSubLies(dict):
    def get(self, key, default=None):
        raise Hostile("dict subclass get")

    def __getitem__(self, key):
        raise Hostile("dict subclass __getitem__")

    def __contains__(self, key):
        return True

    def keys(self):
        return ["x", "y", "z"]

    def __iter__(self):
        raise Hostile("dict subclass __iter__")

    def __len__(self):
        return 2


class ListSub(list):
    pass


class ListSubLies(list):
    def __iter__(self):
        raise Hostile("list subclass __iter__")

    def __len__(self):
        return 99

    def __getitem__(self, i):
        raise Hostile("list subclass __getitem__")


class TupleSub(tuple):
    pass


class NdSub(np.ndarray):
    """An ndarray subclass that keeps its type through views (as many do)."""


class NdSubLies(np.ndarray):
    @property
    def ndim(self):  # noqa: D401 - a lie about the number of dimensions
        return 2

    @property
    def shape(self):
        return (3, 2)

    def __len__(self):
        raise Hostile("ndarray subclass __len__")


SUBCLASS_FACTORIES = {
    "FloatSub(0.5)": lambda: FloatSub(0.5),
    "FloatSub(nan)": lambda: FloatSub(math.nan),
    "IntSub(3)": lambda: IntSub(3),
    "StrSub('poisson')": lambda: StrSub("poisson"),
    "StrSub('orvo.mode')": lambda: StrSub("orvo.mode"),
    "StrSubEqRaises('gaussian')": lambda: StrSubEqRaises("gaussian"),
    "StrSubLies('binomial')": lambda: StrSubLies("binomial"),
    "StrSubLies('remote')": lambda: StrSubLies("remote"),
    "DictSub(x,y)": lambda: DictSub(x=[0.0, 1.0, 2.0], y=[1.0, 2.0, 1.0]),
    "DictSubLies()": lambda: DictSubLies(x=[0.0, 1.0, 2.0], y=[1.0, 2.0, 1.0]),
    "ListSub([1,2])": lambda: ListSub([1.0, 2.0]),
    "ListSubLies([1,2,3])": lambda: ListSubLies([1.0, 2.0, 3.0]),
    "TupleSub((1,2))": lambda: TupleSub((1.0, 2.0)),
    "NdSub(3x2)": lambda: np.column_stack([[0.0, 1.0, 2.0], [1.0, 3.0, 1.0]]).view(NdSub),
    "NdSubLies(1-d)": lambda: np.arange(6.0).view(NdSubLies),
    "matrix(4x2)": lambda: np.matrix([[0.0, 1.0], [1.0, 2.0], [2.0, 3.0], [3.0, 1.0]]),
    "masked(4x2)": lambda: np.ma.masked_array([[0.0, 1.0], [1.0, 2.0], [2.0, 3.0], [3.0, 1.0]],
                                              mask=[[0, 0], [0, 1], [0, 0], [0, 0]]),
    "recarray": lambda: np.rec.fromarrays([[0.0, 1.0, 2.0], [1.0, 2.0, 1.0]], names="x,y"),
}


# ---------------------------------------------------------------------------------------------------------
# Numbers, arrays and junk.

NUMBER_FACTORIES = {
    "0": lambda: 0, "1": lambda: 1, "-1": lambda: -1, "2": lambda: 2, "7": lambda: 7, "-3": lambda: -3,
    "2**62": lambda: 2 ** 62, "2**63": lambda: 2 ** 63, "-2**63": lambda: -2 ** 63, "2**64+1": lambda: 2 ** 64 + 1,
    "10**400": lambda: 10 ** 400, "-10**400": lambda: -10 ** 400,
    "True": lambda: True, "False": lambda: False,
    "0.0": lambda: 0.0, "-0.0": lambda: -0.0, "0.5": lambda: 0.5, "1.0": lambda: 1.0, "-2.5": lambda: -2.5,
    "2.9": lambda: 2.9, "nan": lambda: math.nan, "inf": lambda: math.inf, "-inf": lambda: -math.inf,
    "1e308": lambda: 1e308, "-1e308": lambda: -1e308, "5e-324": lambda: 5e-324, "1e-300": lambda: 1e-300,
    "1+2j": lambda: 1 + 2j, "Decimal('1.5')": lambda: decimal.Decimal("1.5"),
    "Decimal('nan')": lambda: decimal.Decimal("nan"), "Decimal('sNaN')": lambda: decimal.Decimal("sNaN"),
    "Fraction(1,3)": lambda: fractions.Fraction(1, 3),
    "np.float64(nan)": lambda: np.float64("nan"), "np.float32(0.25)": lambda: np.float32(0.25),
    "np.float16(2)": lambda: np.float16(2), "np.int64(3)": lambda: np.int64(3), "np.uint8(255)": lambda: np.uint8(255),
    "np.int8(-128)": lambda: np.int8(-128), "np.bool_(True)": lambda: np.bool_(True),
    "np.complex128(1j)": lambda: np.complex128(1j), "np.longdouble(1.5)": lambda: np.longdouble(1.5),
    "np.datetime64('2020')": lambda: np.datetime64("2020"), "np.timedelta64(3,'s')": lambda: np.timedelta64(3, "s"),
    "np.int64(2**62)": lambda: np.int64(2 ** 62), "np.float64(1e308)": lambda: np.float64(1e308),
}

_DTYPES = ["f8", "f4", "f2", "i1", "i8", "u8", "u1", "?", "c16", "O", "U3", "S3", "M8[s]", "m8[s]", ">f8", "<f8",
           ">i4", "g", "V8"]


@dataclass(frozen=True)
class ArrayRecipe:
    dtype: str
    shape: Tuple[int, ...]
    fill: str  # how the values are chosen
    layout: str  # C, F, strided, reversed, broadcast, readonly, unaligned, byteswapped
    seed: int = 0

    def __repr__(self):
        return "Array(%s, %s, %s, %s, seed=%d)" % (self.dtype, self.shape, self.fill, self.layout, self.seed)


_FILLS = ["density", "random", "nan", "inf", "zeros", "negative", "huge", "tiny", "dup", "mixed_nonfinite"]
_LAYOUTS = ["C", "F", "strided", "reversed", "broadcast", "readonly", "unaligned", "byteswapped", "subclass"]


def _values(fill: str, n: int, rng: np.random.Generator) -> np.ndarray:
    if fill == "density":
        x = np.sort(rng.normal(size=n))
        return np.exp(-0.5 * x * x)
    if fill == "random":
        return rng.normal(size=n) * 10.0 ** rng.integers(-3, 4)
    if fill == "nan":
        v = rng.random(n)
        v[rng.random(n) < 0.5] = np.nan
        return v
    if fill == "inf":
        v = rng.random(n)
        v[rng.random(n) < 0.3] = np.inf
        v[rng.random(n) < 0.2] = -np.inf
        return v
    if fill == "zeros":
        return np.zeros(n)
    if fill == "negative":
        return -rng.random(n)
    if fill == "huge":
        return rng.random(n) * 1e308
    if fill == "tiny":
        return rng.random(n) * 1e-310
    if fill == "dup":
        return np.repeat(rng.random((n + 1) // 2), 2)[:n]
    v = rng.random(n)
    choices = np.array([np.nan, np.inf, -np.inf, 0.0, -1.0, 1e308, 5e-324])
    mask = rng.random(n) < 0.4
    v[mask] = choices[rng.integers(0, len(choices), size=int(mask.sum()))]
    return v


def build_array(r: ArrayRecipe):
    rng = np.random.default_rng(r.seed)
    n = int(np.prod(r.shape)) if r.shape else 1
    base = _values(r.fill, n, rng).reshape(r.shape) if r.shape else _values(r.fill, 1, rng).reshape(())
    dt = np.dtype(r.dtype)
    with np.errstate(all="ignore"):
        if dt.kind == "O":
            a = base.astype(object)
            if a.size:
                flat = a.reshape(-1)
                flat[0] = [float(flat[0])] if r.seed % 3 == 0 else flat[0]  # a list inside an object array
                if r.seed % 5 == 0 and a.size > 1:
                    flat[-1] = TrapBox.make("float", "raise")
        elif dt.kind in "US":
            a = base.astype(dt)
        elif dt.kind in "Mm":
            a = np.nan_to_num(base, nan=0, posinf=1, neginf=-1).astype("i8").astype(dt)
        elif dt.kind == "V":
            a = np.zeros(r.shape, dtype=[("x", "f8")]) if r.shape else np.zeros((), dtype=[("x", "f8")])
        elif dt.kind in "iub":
            a = np.nan_to_num(base * 100, nan=0, posinf=0, neginf=0).clip(-1e6, 1e6).astype(dt)
        else:
            a = base.astype(dt)
    layout = r.layout
    if layout == "F":
        a = np.asfortranarray(a)
    elif layout == "strided" and a.ndim:
        big = np.repeat(a, 2, axis=0)
        a = big[::2]
    elif layout == "reversed" and a.ndim:
        a = a[::-1].copy()[::-1]
    elif layout == "broadcast" and a.ndim:
        a = np.broadcast_to(a[:1], a.shape) if a.shape[0] else a
    elif layout == "readonly":
        a = a.copy()
        a.setflags(write=False)
    elif layout == "unaligned" and dt.kind in "fiuc" and dt.itemsize > 1:
        raw = np.zeros(a.nbytes + 1, dtype=np.uint8)
        u = raw[1:].view(a.dtype).reshape(a.shape) if a.shape else raw[1:].view(a.dtype).reshape(())
        u[...] = a
        a = u
    elif layout == "byteswapped" and dt.kind in "fiuc":
        a = a.astype(a.dtype.newbyteorder())
    elif layout == "subclass":
        a = a.view(NdSub)
    return a


def array_recipes(shapes=None, dtypes=None, fills=None, layouts=None):
    if shapes is None:
        shapes = hnp.array_shapes(min_dims=0, max_dims=3, min_side=0, max_side=6)
    return st.builds(
        ArrayRecipe,
        dtype=st.sampled_from(dtypes or _DTYPES),
        shape=shapes,
        fill=st.sampled_from(fills or _FILLS),
        layout=st.sampled_from(layouts or _LAYOUTS),
        seed=st.integers(0, 2 ** 16),
    )


class Named:
    """A value made by a named factory (numbers, subclasses, small junk). A plain class, so that a failing
    example prints as the name alone."""

    __slots__ = ("name", "factory")

    def __init__(self, name: str, factory: Callable[[], Any]):
        self.name, self.factory = name, factory

    def __repr__(self):
        return self.name


def named(table):
    return st.sampled_from([Named(k, v) for k, v in table.items()])


JUNK_FACTORIES = {
    "None": lambda: None,
    "''": lambda: "",
    "'abc'": lambda: "abc",
    "'1.5'": lambda: "1.5",
    "'nan'": lambda: "nan",
    "'\\x00'": lambda: "\x00",
    "'\\udc80'": lambda: "\udc80",
    "'é'": lambda: "é",
    "b'x'": lambda: b"x",
    "bytearray(b'12')": lambda: bytearray(b"12"),
    "[]": lambda: [],
    "()": lambda: (),
    "{}": lambda: {},
    "set()": lambda: set(),
    "{1, 2}": lambda: {1.0, 2.0},
    "[1, 2, 3]": lambda: [1, 2, 3],
    "[[1, 2], [3]]": lambda: [[1, 2], [3]],
    "[None]": lambda: [None],
    "['a', 1]": lambda: ["a", 1],
    "(0.5, nan, inf)": lambda: (0.5, math.nan, math.inf),
    "range(5)": lambda: range(5),
    "range(0)": lambda: range(0),
    "iter([1.0, 2.0])": lambda: iter([1.0, 2.0]),
    "gen(1.0, 2.0)": lambda: (v for v in (1.0, 2.0)),
    "object()": lambda: object(),
    "Ellipsis": lambda: Ellipsis,
    "NotImplemented": lambda: NotImplemented,
    "int (type)": lambda: int,
    "np (module)": lambda: np,
    "len (builtin)": lambda: len,
    "lambda: 1": lambda: (lambda: 1),
    "lambda *a: junk": lambda: (lambda *a, **k: Junk("lambda")),
    "Junk()": lambda: Junk(),
    "slice(1)": lambda: slice(1),
    "memoryview": lambda: memoryview(b"abcdefgh"),
    "memoryview(f8)": lambda: memoryview(np.arange(4.0)),
    "np.array(5.0)": lambda: np.array(5.0),
    "np.array([])": lambda: np.array([]),
    "np.empty((0, 2))": lambda: np.empty((0, 2)),
    "np.zeros((2, 2, 2))": lambda: np.zeros((2, 2, 2)),
    "sys (module)": lambda: sys,
    "{'x': 1}": lambda: {"x": 1},
    "{1: 2}": lambda: {1: 2},
    "{(1,): []}": lambda: {(1,): []},
}


# ---------------------------------------------------------------------------------------------------------
# One strategy for "any hostile value", and the builder.


@dataclass(frozen=True)
class ListOf:
    kind: str  # list, tuple, dict, set
    items: Tuple[Any, ...]

    def __repr__(self):
        return "%s%r" % (self.kind, self.items)


def build(recipe, ctx: Ctx):
    """Builds a fresh object from a recipe (anything that is not a recipe is returned as it is)."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        with np.errstate(all="ignore"):
            return _build(recipe, ctx)


def _build(recipe, ctx: Ctx):
    if isinstance(recipe, TrapRecipe):
        TrapBox._ctx = ctx
        return build_trap(recipe, ctx)
    if isinstance(recipe, ArrayRecipe):
        return build_array(recipe)
    if isinstance(recipe, Named):
        return recipe.factory()
    if isinstance(recipe, ListOf):
        items = [_build(i, ctx) for i in recipe.items]
        if recipe.kind == "list":
            return items
        if recipe.kind == "tuple":
            return tuple(items)
        if recipe.kind == "set":
            try:
                return set(items)
            except Exception:  # noqa: BLE001 - unhashable items: fall back to a list
                return items
        if recipe.kind == "dict":
            out = {}
            for i in range(0, len(items) - 1, 2):
                try:
                    out[items[i]] = items[i + 1]
                except Exception:  # noqa: BLE001 - an unhashable or raising key: skip it
                    pass
            return out
    return recipe


def scalars():
    return st.one_of(named(NUMBER_FACTORIES), named(SUBCLASS_FACTORIES), named(JUNK_FACTORIES),
                     trap_recipes())


def values(max_leaves=6):
    """Anything: numbers, junk, subclasses, traps, arrays, and small containers of those."""
    leaves = st.one_of(named(NUMBER_FACTORIES), named(JUNK_FACTORIES), named(SUBCLASS_FACTORIES),
                       trap_recipes(), array_recipes())
    return st.recursive(
        leaves,
        lambda inner: st.builds(ListOf, st.sampled_from(["list", "tuple", "dict", "set"]),
                                st.lists(inner, max_size=5).map(tuple)),
        max_leaves=max_leaves,
    )


def numeric_sequences():
    """Things that are close to a sequence of numbers, and some that only pretend to be one."""
    plain = st.lists(st.one_of(st.floats(allow_nan=True, allow_infinity=True), st.integers(-5, 5),
                               named(NUMBER_FACTORIES)), max_size=8)
    return st.one_of(
        plain.map(lambda xs: ListOf("list", tuple(xs))),
        plain.map(lambda xs: ListOf("tuple", tuple(xs))),
        array_recipes(shapes=hnp.array_shapes(min_dims=0, max_dims=3, min_side=0, max_side=6)),
        trap_recipes(["iter", "len", "getitem", "array", "float", "index"],
                     base=st.lists(st.floats(-3, 3), max_size=5)),
        named(NUMBER_FACTORIES),
        named(JUNK_FACTORIES),
        named(SUBCLASS_FACTORIES),
    )


def callables():
    """User callables: a trap's __call__ in every behaviour, plain functions, junk."""
    return st.one_of(
        st.sampled_from(BEHAVIOURS["call"]).map(lambda b: TrapRecipe((("call", b),))),
        st.sampled_from([Named("np.sin", lambda: np.sin), Named("lambda x: x", lambda: (lambda x, *a, **k: x)),
                         Named("lambda x: -x", lambda: (lambda x, *a, **k: -np.asarray(x))),
                         Named("lambda x: x*0+1", lambda: (lambda x, *a, **k: np.asarray(x) * 0 + 1)),
                         Named("lambda x: col_stack(x, x**2)",
                               lambda: (lambda x, *a, **k: np.column_stack([x, np.asarray(x) ** 2]))),
                         Named("lambda: 1 (wrong arity)", lambda: (lambda: 1)),
                         Named("len", lambda: len), Named("str", lambda: str), Named("None", lambda: None),
                         Named("exp (overflow)", lambda: (lambda x, *a, **k: np.exp(np.asarray(x) * 1e3)))]),
        trap_recipes(["call", "eq", "bool", "hash"]),
    )
