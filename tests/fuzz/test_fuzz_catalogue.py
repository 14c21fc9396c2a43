"""Fuzzing the conversion functions of the four catalogue modules against the Python lambdas they stand for.

Every `to_theta` / `from_theta` is one of five transforms whose Python text is fixed (`np.log(x / (1 - x))`
and so on). Each native function is paired with that lambda (compiled here, in a namespace whose `np` is
the module's `np`), and both are called with fresh copies of the same hostile argument under the same
warning regime: they must agree on the outcome, the exception type and message included. A native function
can then raise nothing that the lambda could not.
"""

import importlib
import math

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

from .hostile import Ctx, Hostile, Junk, build, named, trap_recipes, values, NUMBER_FACTORIES
from .oracle import FORBIDDEN_TEXTS, STRICTNESS, Raised, examples, patched, strictness

MODULES = ["steppe", "autoregressive", "spatial", "plexus"]

LAMBDAS = {
    "log": ("lambda x: np.log(x)", "lambda x: np.exp(x)"),
    "logit": ("lambda x: np.log(x / (1 - x))", "lambda x: np.exp(x) / (1 + np.exp(x))"),
    "logitrec": ("lambda x: np.log(x / (1 - x))", "lambda x: 1 / (1 + np.exp(-x))"),
    "correlation": ("lambda x: np.log((1 + x) / (1 - x))", "lambda x: 2 * np.exp(x) / (1 + np.exp(x)) - 1"),
    "identity": ("lambda x: x", "lambda x: x"),
}


def _modules():
    return {name: importlib.import_module("vexil.model_defs.latent." + name) for name in MODULES}


def _reference(text, namespace):
    return eval(text, namespace)  # noqa: S307 - our own fixed lambda texts


def _probe(f):
    out = []
    with np.errstate(all="ignore"):
        for x in (0.25, -0.75, 3.0, 0.5, -0.5):
            try:
                out.append(float(f(x)))
            except Exception as e:  # noqa: BLE001
                out.append(type(e).__name__)
    return out


def _same_probe(a, b):
    return all((isinstance(u, str) and u == v) or (isinstance(u, float) and isinstance(v, float)
               and (u == v or (math.isnan(u) and math.isnan(v)))) for u, v in zip(a, b))


def _classify():
    """[(module name, model, key, 'to'/'from', native function, transform name)] for the whole catalogue."""
    ns = {"np": np}
    refs = {(kind, side): _reference(LAMBDAS[kind][i], ns) for kind in LAMBDAS for i, side in enumerate(("to", "from"))}
    table = []
    for mname, mod in _modules().items():
        for model, record in mod.MODELS.items():
            for key, entry in record["hyper"].items():
                for side in ("to", "from"):
                    f = entry[side + "_theta"]
                    sentinel = Junk("identity probe")
                    try:
                        same = f(sentinel) is sentinel
                    except TypeError:
                        same = False
                    if same:
                        kind = "identity"
                    else:
                        p = _probe(f)
                        kinds = [k for k in LAMBDAS if k != "identity" and _same_probe(p, _probe(refs[(k, side)]))]
                        # logit and logit-reciprocal share to_theta: either pairing is the same lambda
                        assert kinds, (mname, model, key, side, p)
                        kind = kinds[0]
                    table.append((mname, model, key, side, f, kind))
    return table


TABLE = _classify()
# One representative per (module, side, transform) keeps the examples on distinct native code; the whole
# catalogue is swept separately with a fixed argument list.
REPRESENTATIVES = sorted({(m, side, kind): (m, model, key, side, kind) for m, model, key, side, f, kind in TABLE}.values())


def _function(mname, model, key, side):
    return _modules()[mname].MODELS[model]["hyper"][key][side + "_theta"]


def outcome(fn, arg_builder, mode):
    args = arg_builder()
    try:
        with strictness(mode):
            return fn(*args)
    except Exception as exc:  # noqa: BLE001 - compared below
        return Raised(exc)


def _same(native, ref, arg_native, where):
    if isinstance(native, Raised) or isinstance(ref, Raised):
        assert isinstance(native, Raised) and isinstance(ref, Raised), (where, native, ref)
        text = str(native.exc)
        assert not any(bad in text for bad in FORBIDDEN_TEXTS), (where, native)
        assert not isinstance(native.exc, SystemError), (where, native)
        assert type(native.exc) is type(ref.exc), (where, native, ref)
        assert text == str(ref.exc), (where, native, ref)
        return
    assert type(native) is type(ref), (where, native, ref)
    if isinstance(native, np.ndarray):
        assert native.dtype == ref.dtype and native.shape == ref.shape, (where, native, ref)
        if native.dtype.kind in "fc":
            np.testing.assert_array_equal(native, ref, err_msg=where)
    elif isinstance(native, (float, np.floating, int, complex, np.complexfloating)):
        assert (native == ref) or (native != native and ref != ref), (where, native, ref)


def test_every_catalogue_function_has_a_transform():
    kinds = {kind for *_, kind in TABLE}
    assert kinds == set(LAMBDAS), kinds
    assert len(TABLE) == 750


arguments = st.one_of(values(max_leaves=4), named(NUMBER_FACTORIES), trap_recipes(["arith", "float", "array"]))


@pytest.mark.parametrize("mname,model,key,side,kind", REPRESENTATIVES)
@examples(0.5)
@given(recipe=arguments, mode=st.sampled_from(STRICTNESS))
def test_conversion_agrees_with_its_lambda(mname, model, key, side, kind, recipe, mode):
    fn = _function(mname, model, key, side)
    ref = _reference(LAMBDAS[kind][0 if side == "to" else 1], {"np": np})
    holder = []

    def arg():
        holder.append(build(recipe, Ctx()))
        return (holder[-1],)

    native = outcome(fn, arg, mode)
    if kind == "identity" and not isinstance(native, Raised):
        assert native is holder[-1]
        return
    _same(native, outcome(ref, arg, mode), holder[0], "%s %s %s %s_theta(%r)" % (mname, model, key, side, recipe))


class FakeNumpy:
    """A replacement for a catalogue module's `np` whose log/exp misbehave."""

    def __init__(self, how):
        self.how = how
        if how != "missing":
            self.log = self.exp = self._fn

    def _fn(self, x):
        if self.how == "raise":
            raise Hostile("np function")
        if self.how == "junk":
            return Junk("np result")
        if self.how == "none":
            return None
        return np.log(np.abs(np.asarray(x, dtype=float)) + 1.0)

    def __repr__(self):
        return "FakeNumpy(%s)" % self.how


@pytest.mark.parametrize("mname", MODULES)
@examples(0.5)
@given(how=st.sampled_from(["raise", "junk", "none", "missing", "works"]),
       which=st.integers(0, 10 ** 6), recipe=st.one_of(named(NUMBER_FACTORIES), trap_recipes(["arith"])))
def test_replaced_np_is_used_as_the_lambda_would(mname, how, which, recipe):
    mod = _modules()[mname]
    rows = [r for r in TABLE if r[0] == mname and r[5] != "identity"]
    _, model, key, side, fn, kind = rows[which % len(rows)]
    ref = _reference(LAMBDAS[kind][0 if side == "to" else 1], {"np": FakeNumpy(how)})
    with patched(mod, np=FakeNumpy(how)):
        native = outcome(fn, lambda: (build(recipe, Ctx()),), "quiet")
    _same(native, outcome(ref, lambda: (build(recipe, Ctx()),), "quiet"), None,
          "%s %s %s %s with np %r" % (mname, model, key, side, how))


SHAPES = [((), {}), ((1, 2), {}), ((), {"y": 1}), ((1,), {"x": 1}), ((), {"x": 1, "z": 2}), ((), {"x": 0.5})]


def _call(f, args, kwargs):
    return outcome(lambda: f(*args, **kwargs), lambda: (), "quiet")


def test_every_function_binds_like_its_lambda():
    """All 750 functions, each call shape, against the lambda's own TypeError texts."""
    for mname, model, key, side, fn, kind in TABLE:
        ref = _reference(LAMBDAS[kind][0 if side == "to" else 1], {"np": np})
        for args, kwargs in SHAPES:
            _same(_call(fn, args, kwargs), _call(ref, args, kwargs), None,
                  "%s %s %s %s%r%r" % (mname, model, key, side, args, kwargs))


@pytest.mark.parametrize("raw", ["nan", "inf", "-inf", "0", "1", "-1", "10**400", "1e308", "0.5", "1+2j", "True",
                                 "np.float32(0.25)", "np.longdouble(1.5)", "Fraction(1,3)", "Decimal('nan')"])
def test_every_function_on_awkward_numbers(raw):
    for mname, model, key, side, fn, kind in TABLE:
        ref = _reference(LAMBDAS[kind][0 if side == "to" else 1], {"np": np})
        make = NUMBER_FACTORIES[raw]
        native = outcome(fn, lambda: (make(),), "quiet")
        if kind == "identity":
            assert not isinstance(native, Raised)
            continue
        _same(native, outcome(ref, lambda: (make(),), "quiet"), None, "%s %s %s %s(%s)" % (mname, model, key, side, raw))
