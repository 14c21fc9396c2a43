"""Fuzzing the shared binding layer through every native function of the nine modules.

A native function behaves like a Python function, so its attributes can be changed by any caller:
`__defaults__`, `__kwdefaults__`, `__annotations__`, `__name__`, `__qualname__`, `__module__`, `__doc__`. The
binder reads the defaults at call time and the error texts use the names, so junk there must still give
ordinary exceptions (the binder's TypeError, or what the junk provokes in the function), and
`inspect.signature` must give a signature or an ordinary error. Nested functions (the log-density of
`orvo_sfmarginal`, the derivative of `orvo_deriv_func`) and a sample of the catalogue's conversion functions
are included.
"""

import contextlib
import importlib
import inspect
import io

import numpy as np
from hypothesis import given
from hypothesis import strategies as st

from .hostile import Ctx, Named, StrSub, build, named, values, JUNK_FACTORIES
from .oracle import attempt, examples, strictness
from .test_fuzz_options import sandbox

MODULES = ["vexil.pure.quadra", "vexil.options", "vexil.safety.exposure", "vexil.safety.kindred",
           "vexil.safety.capture", "vexil.model_defs.latent.steppe", "vexil.model_defs.latent.autoregressive",
           "vexil.model_defs.latent.spatial", "vexil.model_defs.latent.plexus"]


def _functions():
    out = []
    for name in MODULES:
        mod = importlib.import_module(name)
        for attr, v in vars(mod).items():
            if type(v).__name__ == "function" and type(v).__module__ == "vexil" and v.__module__ == name:
                out.append(("%s.%s" % (name, attr), v))
        if hasattr(mod, "MODELS"):
            record = next(iter(mod.MODELS.values()))
            entry = next(iter(record["hyper"].values()))
            out.append(("%s to_theta" % name, entry["to_theta"]))
            out.append(("%s from_theta" % name, entry["from_theta"]))
    q = importlib.import_module("vexil.pure.quadra")
    x = np.linspace(-2, 2, 9)
    if hasattr(q, "orvo_sfmarginal"):
        out.append(("_fun", q.orvo_sfmarginal({"x": x, "y": np.exp(-x * x)})["fun"]))
    if hasattr(q, "orvo_deriv_func"):
        out.append(("fd", q.orvo_deriv_func(np.sin)))
    return out


FUNCTIONS = _functions()
ATTRS = ("__defaults__", "__kwdefaults__", "__annotations__", "__name__", "__qualname__", "__module__", "__doc__")


@contextlib.contextmanager
def restored(fn):
    saved = {a: getattr(fn, a) for a in ATTRS}
    try:
        yield fn
    finally:
        for a, v in saved.items():
            setattr(fn, a, v)


def test_functions_found():
    # each extension module carries its own copy of the function type, all named vexil.function
    assert len(FUNCTIONS) >= 40 and all(type(f).__qualname__ == "function" for _, f in FUNCTIONS)


junk_tuples = st.one_of(st.none(), st.lists(values(max_leaves=1), max_size=8).map(lambda xs: ("tuple", tuple(xs))))
junk_dicts = st.one_of(st.none(), st.dictionaries(
    st.sampled_from(["families", "kwargs", "x", "marginal", "option", "zzz"]), values(max_leaves=1), max_size=3))


@examples(3)
@given(which=st.integers(0, 10 ** 6), defaults=junk_tuples, kwdefaults=junk_dicts,
       annotations=st.one_of(st.none(), st.just({}), st.just({"x": 5, "return": None})),
       name=st.one_of(st.none(), st.sampled_from(["", "f", "é" * 3]), st.just(Named("StrSub", lambda: StrSub("g")))),
       args=st.lists(values(max_leaves=2), max_size=4),
       kwargs=st.dictionaries(st.sampled_from(["x", "marginal", "kwargs", "families", "option", "fun", "n", "zzz"]),
                              values(max_leaves=1), max_size=2))
def test_changed_attributes_then_called(which, defaults, kwdefaults, annotations, name, args, kwargs):
    label, fn = FUNCTIONS[which % len(FUNCTIONS)]
    ctx = Ctx()
    with sandbox(), restored(fn), strictness("quiet"), contextlib.redirect_stdout(io.StringIO()):
        if defaults is not None:
            fn.__defaults__ = tuple(build(v, ctx) for v in defaults[1])
        if kwdefaults is not None:
            fn.__kwdefaults__ = {k: build(v, ctx) for k, v in kwdefaults.items()}
        if annotations is not None:
            fn.__annotations__ = dict(annotations)
        if name is not None:
            n = build(name, ctx)
            fn.__name__ = n
            fn.__qualname__ = n
            fn.__module__ = n
            fn.__doc__ = n
        attempt(inspect.signature, fn, allowed=(ValueError, TypeError), where=label + " signature")
        attempt(repr, fn, allowed=(), where=label + " repr")
        a = [build(v, ctx) for v in args]
        k = {key: build(v, ctx) for key, v in kwargs.items()}
        attempt(fn, *a, allowed=(Exception,), where=label, **k)


@examples(1)
@given(which=st.integers(0, 10 ** 6), attr=st.sampled_from(ATTRS + ("__dict__", "__globals__", "__signature__")),
       value=st.one_of(values(max_leaves=1), named(JUNK_FACTORIES)))
def test_setting_any_attribute(which, attr, value):
    """Setting an attribute to anything: accepted, or the TypeError/AttributeError a Python function gives."""
    label, fn = FUNCTIONS[which % len(FUNCTIONS)]
    with restored(fn):
        saved_dict = dict(fn.__dict__)
        try:
            attempt(setattr, fn, attr, build(value, Ctx()), allowed=(TypeError, AttributeError),
                    where="%s.%s = ..." % (label, attr))
            attempt(getattr, fn, attr, allowed=(TypeError, AttributeError, ValueError), where=label)
        finally:
            fn.__dict__.clear()
            fn.__dict__.update(saved_dict)
