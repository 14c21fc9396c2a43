"""Fuzzing vexil.options: hostile keys, values, stores and replaced module names.

The option store is process-wide, so every example runs inside `sandbox()`, which puts the store's contents
and the module's names back afterwards. Besides hostile arguments, an example may pre-fill the store with
hostile values (written directly, as a careless caller could) and replace the names the module reads at
call time (the three locators, the multibyte test, `os`, `warnings`, even `_ORVO_OPTIONS`).
"""

import contextlib
import os
import warnings

import pytest
from hypothesis import given
from hypothesis import strategies as st

import vexil.options as opt

from .hostile import (Ctx, Hostile, HostileBase, Junk, Named, StrSub, StrSubEqRaises, StrSubLies, TrapRecipe,
                      build, callables, named, trap_recipes, values, JUNK_FACTORIES, NUMBER_FACTORIES)
from .oracle import STRICTNESS, Raised, attempt, examples, extra_allowed, patched, strictness

DEFAULT_KEYS = list(opt.orvo_get_option_default())
VALID_KEYS = DEFAULT_KEYS + ["orvo.call", "tessor.call"]
ODD_KEYS = ["nope", "orvo.remote", "", "Orvo.mode", "orvo.mode ", "num_threads", "\udc80", "é"]
NAMES = ("orvo_call_builtin", "tessor_call_builtin", "orvo_remote_script", "_any_mb", "os", "warnings")


@contextlib.contextmanager
def sandbox():
    store = opt._ORVO_OPTIONS
    saved_store = dict(store)
    saved_names = {n: getattr(opt, n) for n in NAMES + ("_ORVO_OPTIONS",)}
    try:
        yield store
    finally:
        for n, v in saved_names.items():
            setattr(opt, n, v)
        store.clear()
        store.update(saved_store)


def key_recipes():
    return st.one_of(
        st.sampled_from(VALID_KEYS + ODD_KEYS),
        st.sampled_from(VALID_KEYS).map(lambda k: Named("StrSub(%r)" % k, lambda k=k: StrSub(k))),
        st.sampled_from(VALID_KEYS).map(lambda k: Named("StrSubEqRaises(%r)" % k, lambda k=k: StrSubEqRaises(k))),
        st.sampled_from(["orvo.call", "tessor.call"]).map(lambda k: Named("StrSubLies(%r)" % k,
                                                                         lambda k=k: StrSubLies(k))),
        trap_recipes(["hash", "eq", "str"]),
        named(NUMBER_FACTORIES),
        named(JUNK_FACTORIES),
    )


def option_recipes():
    return st.one_of(
        st.just(None),
        key_recipes(),
        st.lists(key_recipes(), max_size=4).map(lambda ks: ("list", tuple(ks))),
        st.lists(key_recipes(), max_size=4).map(lambda ks: ("tuple", tuple(ks))),
        trap_recipes(["iter", "len", "getitem"], base=st.lists(st.sampled_from(VALID_KEYS), max_size=3)),
    )


def build_option(recipe, ctx):
    if isinstance(recipe, tuple) and len(recipe) == 2 and recipe[0] in ("list", "tuple"):
        items = [build(k, ctx) for k in recipe[1]]
        return items if recipe[0] == "list" else tuple(items)
    return build(recipe, ctx)


def stored_values():
    """Values a store may hold: anything, and the strings the checks look at."""
    return st.one_of(
        values(max_leaves=3),
        st.sampled_from(["compact", "experimental", "Compact", "classic", "twostage", "default", "je", "foo",
                         "/no/such/lib.so", "/", "remote", "REMOTE", "orvo.remote", "é/dir", "\x00", "/\x00"]),
        st.sampled_from(["remote", "default", "experimental", "/x"]).map(
            lambda s: Named("StrSubLies(%r)" % s, lambda s=s: StrSubLies(s))),
        st.sampled_from(["remote", "é"]).map(lambda s: Named("StrSubEqRaises(%r)" % s, lambda s=s: StrSubEqRaises(s))),
    )


class FakeOs:
    """A replacement for the module's `os`: cpu_count and path.exists answer from recipes."""

    def __init__(self, cpu, exists):
        self._cpu, self._exists = cpu, exists

        class _Path:
            pass

        self.path = _Path()
        self.path.exists = exists

    def cpu_count(self):
        return self._cpu() if callable(self._cpu) else self._cpu


class FakeWarnings:
    def __init__(self, warn):
        self.warn = warn


def _raiser(exc_type):
    def f(*a, **k):
        raise exc_type("raised by a replaced locator")
    return f


LOCATOR_RECIPES = st.one_of(
    callables(),
    st.sampled_from([Named("raises FileNotFoundError", lambda: _raiser(FileNotFoundError)),
                     Named("raises RuntimeError", lambda: _raiser(RuntimeError)),
                     Named("raises Hostile", lambda: _raiser(Hostile)),
                     Named("returns 'remote'", lambda: (lambda *a: "remote")),
                     Named("returns StrSubLies", lambda: (lambda *a: StrSubLies("remote")))]),
)


@st.composite
def environments(draw):
    """(prefill, replacements) recipes."""
    prefill = draw(st.dictionaries(st.sampled_from(VALID_KEYS), stored_values(), max_size=4))
    replaced = {}
    for name in ("orvo_call_builtin", "tessor_call_builtin", "orvo_remote_script", "_any_mb"):
        if draw(st.integers(0, 4)) == 0:
            replaced[name] = draw(LOCATOR_RECIPES)
    if draw(st.integers(0, 5)) == 0:
        replaced["os"] = ("os", draw(st.one_of(named(NUMBER_FACTORIES), trap_recipes(["int", "index", "eq", "bool",
                                                                                     "arith", "str"]),
                                               callables())),
                          draw(LOCATOR_RECIPES))
    if draw(st.integers(0, 5)) == 0:
        replaced["warnings"] = ("warnings", draw(LOCATOR_RECIPES))
    if draw(st.integers(0, 9)) == 0:
        replaced["_ORVO_OPTIONS"] = draw(st.one_of(
            named(JUNK_FACTORIES),
            trap_recipes(["getitem", "iter", "len", "hash", "eq"], base=st.just(["keep"]))))
    return prefill, replaced


def install(env, ctx, store):
    prefill, replaced = env
    hostile = bool(replaced)
    for k, v in prefill.items():
        obj = build(v, ctx)
        store[k] = obj
        hostile = hostile or not isinstance(obj, (str, bool, int, type(None)))
    for name, recipe in replaced.items():
        if name == "os":
            _, cpu, exists = recipe
            cpu_obj = build(cpu, ctx)
            value = FakeOs(cpu_obj, build(exists, ctx))
        elif name == "warnings":
            value = FakeWarnings(build(recipe[1], ctx))
        else:
            value = build(recipe, ctx)
        setattr(opt, name, value)
    return hostile


@contextlib.contextmanager
def installed(env):
    """A sandboxed store with `env` installed in it: (ctx, hostile). The store is registered as a container a
    saboteur may change."""
    with sandbox() as store:
        ctx = Ctx()
        ctx.register(store)
        yield ctx, install(env, ctx, store)


# KeyError for unknown keys, TypeError for unhashable ones or a non-iterable `option`, and what list() of
# a lying iterable raises (ValueError / OverflowError for a __len__ below zero or beyond any size).
BASIC = (KeyError, TypeError, ValueError, OverflowError, Hostile)
# With replaced names or hostile stored values, whatever those raise reaches the caller (the locators may
# raise FileNotFoundError / RuntimeError, a junk module has no attribute, a Decimal NaN from a replaced
# cpu_count refuses to be compared, a store replaced by an array refuses string keys, ...).
WIDE = BASIC + (AttributeError, FileNotFoundError, RuntimeError, ArithmeticError, LookupError)


def allowed(hostile, mode):
    return (WIDE if hostile else BASIC) + extra_allowed(mode) + ((UserWarning,) if mode == "warnings-error" else ())


def _check_read_result(option, result, store_is_dict):
    if isinstance(result, Raised) or not store_is_dict:
        return
    if option is None:
        assert isinstance(result, dict) and "orvo.call" in result and "tessor.call" in result
    elif not isinstance(option, str):
        assert isinstance(result, list)


@examples(2)
@given(option=option_recipes(), env=environments(), mode=st.sampled_from(STRICTNESS))
def test_get_option(option, env, mode):
    with installed(env) as (ctx, hostile):
        arg = build_option(option, ctx)
        with strictness(mode):
            result = attempt(opt.orvo_get_option, arg, allowed=allowed(hostile, mode))
            attempt(opt.orvo_get_option, allowed=allowed(hostile, mode))
            attempt(opt.orvo_enabled_Corvex_features, allowed=allowed(hostile, mode))
        _check_read_result(arg, result, "_ORVO_OPTIONS" not in env[1])


@st.composite
def set_calls(draw):
    shape = draw(st.sampled_from(["pair", "keywords", "pair", "keywords", "none", "one", "three", "mixed"]))
    key = draw(key_recipes())
    value = draw(stored_values())
    kw = draw(st.dictionaries(st.sampled_from(VALID_KEYS + ["nope", "num_threads"]), stored_values(), max_size=3))
    return shape, key, value, kw


def _run_set(call, ctx):
    shape, key, value, kw = call
    k, v = build(key, ctx), build(value, ctx)
    kwargs = {name: build(r, ctx) for name, r in kw.items()}
    if shape == "pair":
        return (k, v), {}
    if shape == "keywords":
        return (), kwargs
    if shape == "none":
        return (), {}
    if shape == "one":
        return (k,), {}
    if shape == "three":
        return (k, v, v), {}
    return (k, v), kwargs or {"keep": True}


@examples(2)
@given(call=set_calls(), env=environments(), mode=st.sampled_from(STRICTNESS))
def test_set_option(call, env, mode):
    with installed(env) as (ctx, hostile):
        args, kwargs = _run_set(call, ctx)
        hostile = hostile or any(not isinstance(v, (str, bool, int, type(None))) for v in (*args, *kwargs.values()))
        with strictness(mode):
            result = attempt(opt.orvo_set_option, *args, allowed=allowed(hostile, mode), **kwargs)
            if not isinstance(result, Raised):
                assert result is None
            attempt(opt._post_set_checks, allowed=allowed(True, mode))
            attempt(opt.orvo_get_option, allowed=allowed(True, mode))


@examples(1)
@given(key=key_recipes(), value=stored_values(), env=environments(), mode=st.sampled_from(STRICTNESS))
def test_set_one(key, value, env, mode):
    with installed(env) as (ctx, hostile):
        k = build(key, ctx)
        with strictness(mode):
            result = attempt(opt._set_one, k, build(value, ctx), allowed=allowed(hostile, mode))
        if not isinstance(result, Raised):
            assert result is None and type(k) is str and k in VALID_KEYS


@examples(1)
@given(env=environments(), mode=st.sampled_from(STRICTNESS))
def test_defaults_and_thread_setting(env, mode):
    with sandbox() as store:
        ctx = Ctx()
        hostile = install(env, ctx, store)
        with strictness(mode):
            d = attempt(opt.orvo_get_option_default, allowed=allowed(hostile, mode))
            s = attempt(opt._cpu_default_string, allowed=allowed(hostile, mode))
        if not isinstance(d, Raised):
            assert list(d) == DEFAULT_KEYS
        if not isinstance(s, Raised):
            assert isinstance(s, str) and s.endswith(":1")
            if "os" not in env[1]:
                assert s == "%d:1" % max(1, min(16, os.cpu_count() or 1))


@pytest.mark.parametrize("fn", [opt.orvo_get_option_default, opt._cpu_default_string, opt._post_set_checks,
                                opt.orvo_enabled_Corvex_features, opt.orvo_get_option, opt._set_one])
@examples(0.3)
@given(args=st.lists(values(max_leaves=2), max_size=3),
       kwargs=st.dictionaries(st.sampled_from(["option", "value", "x", "kwargs", "args"]), values(max_leaves=2),
                              max_size=2))
def test_call_shapes(fn, args, kwargs):
    """Any number of junk arguments: a result, the binder's TypeError, or what the arguments provoke."""
    with sandbox() as store:
        ctx = Ctx()
        ctx.register(store)
        a = [build(r, ctx) for r in args]
        k = {n: build(r, ctx) for n, r in kwargs.items()}
        with strictness("quiet"):
            attempt(fn, *a, allowed=WIDE, **k)
