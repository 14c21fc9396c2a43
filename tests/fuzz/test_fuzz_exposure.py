"""Fuzzing vexil.safety.exposure: every check with hostile keyword dictionaries, family lists and weights.

What each check may raise by its documented behaviour:
- `SafetyError` (its own rules, and the sibling helpers' refusals), always with the common prefix;
- `TypeError` for a `kwargs` that is not exactly a dict, a `label` that is not exactly a str, a wrong call;
- whatever a hostile object raises when the documented steps touch it (`Hostile` here), and the errors of
  `len()` that the observation counter lets through (ValueError, OverflowError for a lying __len__).
The random-effect check swallows every Exception of its numpy way, so with a str label it may only return
None or raise SafetyError.
"""

import pytest
from hypothesis import given
from hypothesis import strategies as st

import vexil.safety.exposure as ex
from vexil.safety.errors import SafetyError

from .hostile import Ctx, Hostile, StrSub, build, named, numeric_sequences, values, JUNK_FACTORIES
from .oracle import STRICTNESS, Raised, attempt, examples, extra_allowed, patched, strictness
from .safety import (build_families, build_kwargs, build_replacements, family_lists, keyword_dicts, replacement_recipes,
                     safety_messages_ok)

FAMILY_CHECKS = ["enforce_exposure_usage", "enforce_poisson_exposure", "enforce_nbinomial_exposure",
                 "enforce_binomial_trials", "enforce_scale_usage"]
KWARGS_CHECKS = ["enforce_offset_values", "enforce_weights_values"]
ALLOWED = (SafetyError, TypeError, ValueError, OverflowError, Hostile)
HELPERS = ["SafetyError", "_normalize_family_spec", "_extract_response_array", "_as_float_list",
           "_infer_observation_count", "_normalize_positive_sequence", "math"]


# What each check reads and which family names make it act.
FOCUS = {
    "enforce_exposure_usage": (("E",), ("poisson", "nbinomial", "gaussian")),
    "enforce_poisson_exposure": (("E",), ("poisson",)),
    "enforce_nbinomial_exposure": (("E",), ("nbinomial",)),
    "enforce_binomial_trials": (("Ntrials",), ("binomial", "xbinomial", "betabinomial", "nbinomial2")),
    "enforce_scale_usage": (("scale",), ("gaussian", "xbinomial", "gamma", "beta", "t", "poisson")),
    "enforce_offset_values": (("offset",), ()),
    "enforce_weights_values": (("weights",), ()),
}


def _kw_or_junk(name):
    keys, fams = FOCUS[name]
    return st.one_of(keyword_dicts(keys, fams), keyword_dicts(keys, fams), keyword_dicts(), values(max_leaves=2))


@pytest.mark.parametrize("name", FAMILY_CHECKS)
@examples(1)
@given(data=st.data(), mode=st.sampled_from(STRICTNESS))
def test_family_checks(name, data, mode):
    kwargs = data.draw(_kw_or_junk(name), label="kwargs")
    families = data.draw(family_lists(FOCUS[name][1]), label="families")
    ctx = Ctx()
    kw = build_kwargs(kwargs, ctx)
    fam = build_families(families, ctx)
    with strictness(mode):
        r = attempt(getattr(ex, name), kw, families=fam, allowed=ALLOWED + extra_allowed(mode))
    if isinstance(r, Raised):
        safety_messages_ok(r)
    else:
        assert r is None


@pytest.mark.parametrize("name", KWARGS_CHECKS)
@examples(1)
@given(data=st.data(), mode=st.sampled_from(STRICTNESS))
def test_offset_and_weights(name, data, mode):
    kwargs = data.draw(_kw_or_junk(name), label="kwargs")
    ctx = Ctx()
    kw = build_kwargs(kwargs, ctx)
    with strictness(mode):
        r = attempt(getattr(ex, name), kw, allowed=ALLOWED + extra_allowed(mode))
    if isinstance(r, Raised):
        safety_messages_ok(r)
        if type(kw) is dict and isinstance(r.exc, TypeError):
            raise AssertionError("TypeError with a dict argument: %r" % r)
    else:
        assert r is None


@examples(1)
@given(weights=st.one_of(numeric_sequences(), values(max_leaves=3)),
       label=st.one_of(st.sampled_from(["spatial", "", "é", "x" * 300]), named(JUNK_FACTORIES),
                       st.just(StrSub("spatial"))),
       mode=st.sampled_from(STRICTNESS))
def test_random_weights(weights, label, mode):
    ctx = Ctx()
    w = build(weights, ctx)
    lab = build(label, ctx)
    exact = type(lab) is str
    with strictness(mode):
        r = attempt(ex.enforce_random_weights_values, w, lab,
                    allowed=(SafetyError,) if exact else (TypeError,))
    if isinstance(r, Raised):
        safety_messages_ok(r)
        if exact:
            assert r.exc.args[0].startswith("vexil safety check: random effect '" + lab + "' weights must be finite")
    else:
        assert r is None and exact


ALL = FAMILY_CHECKS + KWARGS_CHECKS


@pytest.mark.parametrize("name", ALL)
@examples(0.5)
@given(data=st.data(), replaced=replacement_recipes(HELPERS), mode=st.sampled_from(STRICTNESS))
def test_replaced_helpers(name, data, replaced, mode):
    """The module's names replaced by junk: any ordinary exception may come out, but nothing worse."""
    kwargs = data.draw(keyword_dicts(*FOCUS[name]), label="kwargs")
    families = data.draw(family_lists(FOCUS[name][1]), label="families")
    ctx = Ctx()
    kw = build_kwargs(kwargs, ctx)
    fam = build(families, ctx)
    extra = {"families": fam} if name in FAMILY_CHECKS else {}
    with patched(ex, **build_replacements(replaced, ctx)):
        with strictness(mode):
            attempt(getattr(ex, name), kw, allowed=(Exception,), **extra)


@pytest.mark.parametrize("name", ALL + ["enforce_random_weights_values"])
@examples(0.2)
@given(args=st.lists(values(max_leaves=2), max_size=3),
       kwargs=st.dictionaries(st.sampled_from(["kwargs", "families", "weights_vec", "label", "x"]),
                              values(max_leaves=2), max_size=2))
def test_call_shapes(name, args, kwargs):
    ctx = Ctx()
    a = [build(r, ctx) for r in args]
    k = {n: build(r, ctx) for n, r in kwargs.items()}
    with strictness("quiet"):
        r = attempt(getattr(ex, name), *a, allowed=ALLOWED, **k)
    if isinstance(r, Raised):
        safety_messages_ok(r)
