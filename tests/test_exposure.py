"""The exposure, trials, scale, offset and weights checks of vexil.safety.exposure."""

import inspect
import json
import math
import os
import subprocess
import sys
import textwrap
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest

import vexil
import vexil.safety.exposure as ex
from vexil.safety import errors, family, response, utils
from vexil.safety.errors import SafetyError

P = "vexil safety check: "
NAN, INF = float("nan"), float("inf")

E1 = P + "'E' (exposure) is only permitted for poisson or nbinomial likelihoods."
E2 = P + "'E' (exposure) may not be empty."
E3 = P + "'E' (exposure) must be strictly positive; found invalid values: {}."
E4 = P + "'E' length ({}) must match number of observations ({})."
E5 = P + "'E' (exposure) may not be empty for nbinomial."
E6 = P + "'E' (exposure) must be strictly positive for nbinomial; found invalid values: {}."
E7 = P + "'E' length ({}) must match number of observations ({}) for nbinomial."
T1 = P + "'Ntrials' is only permitted for binomial/xbinomial/betabinomial/nbinomial2 likelihoods."
T2 = P + "provide 'Ntrials' for aggregated binomial responses (currently missing)."
T3 = P + "could not interpret response when validating missing 'Ntrials'."
T4 = P + "aggregated binomial data requires 'Ntrials'; response contains values other than 0/1."
T5 = P + "'Ntrials' may not be empty for binomial models."
T6 = P + "'Ntrials' must be positive; found invalid values: {}."
T7 = P + "'Ntrials' must be integers; found non-integer values: {}."
T8 = P + "'Ntrials' length ({}) must match number of observations ({})."
S1 = P + "all entries in 'scale' must be strictly positive for gaussian/logistic/t/nbinomial; found invalid values "
S2 = P + "'scale' must be non-negative for xbinomial/gamma/beta; found invalid values "
S3 = P + "'scale' entries for xbinomial must be <= 1; found values above 1: "
S4 = P + "'scale' is only permitted for gaussian, nbinomial, xbinomial, gamma, beta, logistic, or t likelihoods."
O1 = P + "could not interpret 'offset' as numeric values."
O2 = (P + "'offset' must not contain Inf values (NaN is allowed and treated as 0); found invalid entries "
      "(showing up to 5): ")
O3 = P + "'offset' length ({}) must match number of observations ({})."
W1 = P + "'weights' must be strictly positive (> 0) and finite; found invalid entries (showing up to 5): "
W2 = P + "could not interpret 'weights' as numeric values."
W3 = P + "random effect '{}' weights must be finite; found Inf/-Inf entries (showing up to 5): "

FAMILY_CHECKS = ["enforce_exposure_usage", "enforce_poisson_exposure", "enforce_nbinomial_exposure",
                 "enforce_binomial_trials", "enforce_scale_usage"]
KWARGS_CHECKS = FAMILY_CHECKS + ["enforce_offset_values", "enforce_weights_values"]
ALL_CHECKS = KWARGS_CHECKS + ["enforce_random_weights_values"]


def with_response(values, **kwargs):
    """A keyword dict whose response (and so observation count) is ``values``."""
    return dict(formula="y ~ x", data={"y": values}, **kwargs)


def fails(fn, *args, **kwargs):
    """The SafetyError raised by the call."""
    with pytest.raises(SafetyError) as info:
        fn(*args, **kwargs)
    return info.value


# ---------------------------------------------------------------------------------------------------
# The module itself


def test_module_contents_and_docstring():
    assert ex.__doc__ == "Exposure, trials, scale, and weights validation."
    assert ex.math is math
    import typing
    assert (ex.Any, ex.Dict, ex.Iterable) == (typing.Any, typing.Dict, typing.Iterable)
    assert ex.SafetyError is errors.SafetyError
    assert ex._normalize_family_spec is family._normalize_family_spec
    assert ex._extract_response_array is response._extract_response_array
    assert ex._as_float_list is utils._as_float_list
    assert ex._infer_observation_count is utils._infer_observation_count
    assert ex._normalize_positive_sequence is utils._normalize_positive_sequence
    public = [name for name in vars(ex) if name.startswith("enforce_")]
    assert public == ALL_CHECKS


def _python_twins():
    """Python functions with the signatures the checks must have (same names, so same error texts)."""
    ns = {}
    exec(textwrap.dedent('''
        from __future__ import annotations
        def enforce_exposure_usage(kwargs: Dict[str, Any], *, families: Iterable[str] | None = None) -> None: pass
        def enforce_poisson_exposure(kwargs: Dict[str, Any], *, families: Iterable[str] | None = None) -> None: pass
        def enforce_nbinomial_exposure(kwargs: Dict[str, Any], *, families: Iterable[str] | None = None) -> None: pass
        def enforce_binomial_trials(kwargs: Dict[str, Any], *, families: Iterable[str] | None = None) -> None: pass
        def enforce_scale_usage(kwargs: Dict[str, Any], *, families: Iterable[str] | None = None) -> None: pass
        def enforce_offset_values(kwargs: Dict[str, Any]) -> None: pass
        def enforce_weights_values(kwargs: Dict[str, Any]) -> None: pass
        def enforce_random_weights_values(weights_vec, label: str) -> None: pass
    '''), ns)
    return ns


TWINS = _python_twins()
DOCS = {
    "enforce_nbinomial_exposure": "Validate exposure (E) for nbinomial likelihood: must be strictly positive.",
    "enforce_weights_values": "Validate that weights values are strictly positive and finite.",
    "enforce_random_weights_values":
        "Validate random effect weights: must be finite (NaN allowed, replaced with 0 upstream).",
}


@pytest.mark.parametrize("name", ALL_CHECKS)
def test_signature_annotations_and_defaults(name):
    fn, twin = getattr(ex, name), TWINS[name]
    assert (fn.__name__, fn.__qualname__, fn.__module__) == (name, name, "vexil.safety.exposure")
    assert inspect.signature(fn) == inspect.signature(twin)
    assert list(fn.__annotations__.items()) == list(twin.__annotations__.items())
    assert fn.__kwdefaults__ == twin.__kwdefaults__
    assert fn.__defaults__ is None
    if name == "enforce_offset_values":
        doc = fn.__doc__
        assert "Inf" in doc and "NaN" in doc and "observations" in doc and "0" in doc
    else:
        assert fn.__doc__ == DOCS.get(name)


def _binding_error(fn, args, kwargs):
    with pytest.raises(TypeError) as info:
        fn(*args, **kwargs)
    return str(info.value)


@pytest.mark.parametrize("name", FAMILY_CHECKS)
@pytest.mark.parametrize("args, kwargs", [
    ((), {}),
    (({}, ["poisson"]), {}),
    (({},), {"family": "poisson"}),
    (({},), {"kwargs": {}}),
    ((), {"families": []}),
    (({}, None, None), {"families": None}),
])
def test_family_checks_bind_like_python(name, args, kwargs):
    assert _binding_error(getattr(ex, name), args, kwargs) == _binding_error(TWINS[name], args, kwargs)


@pytest.mark.parametrize("name", ["enforce_offset_values", "enforce_weights_values"])
@pytest.mark.parametrize("args, kwargs", [((), {}), (({}, {}), {}), (({},), {"families": None}),
                                          ((), {"kwarg": {}})])
def test_kwargs_only_checks_bind_like_python(name, args, kwargs):
    assert _binding_error(getattr(ex, name), args, kwargs) == _binding_error(TWINS[name], args, kwargs)


@pytest.mark.parametrize("args, kwargs", [((), {}), (([1.0],), {}), (([1.0], "a", "b"), {}),
                                          (([1.0],), {"lbl": "a"}), (([1.0], "a"), {"label": "b"})])
def test_random_weights_binds_like_python(args, kwargs):
    name = "enforce_random_weights_values"
    assert _binding_error(getattr(ex, name), args, kwargs) == _binding_error(TWINS[name], args, kwargs)


def test_arguments_by_keyword():
    assert ex.enforce_poisson_exposure(kwargs={"E": [1.0]}, families=["gaussian"]) is None
    assert ex.enforce_offset_values(kwargs={"offset": [0.0]}) is None
    assert ex.enforce_random_weights_values(label="s", weights_vec=[1.0]) is None
    assert str(fails(ex.enforce_exposure_usage, kwargs={"E": [1.0]}, families=[])) == E1


class DictSub(dict):
    pass


@pytest.mark.parametrize("name", KWARGS_CHECKS)
@pytest.mark.parametrize("bad, type_name", [(None, "NoneType"), (DictSub(E=[0.0]), "DictSub"),
                                            ([("E", 1.0)], "list"), ("E", "str")])
def test_kwargs_must_be_exactly_a_dict(name, bad, type_name):
    with pytest.raises(TypeError) as info:
        getattr(ex, name)(bad)
    assert str(info.value) == f"Argument 'kwargs' has incorrect type (expected dict, got {type_name})"


@pytest.mark.parametrize("name", FAMILY_CHECKS)
def test_kwargs_type_is_refused_before_the_family_list_is_built(name):
    # families=5 would fail in list(); the type error comes first.
    with pytest.raises(TypeError, match="Argument 'kwargs' has incorrect type"):
        getattr(ex, name)(DictSub(), families=5)


class StrSub(str):
    pass


@pytest.mark.parametrize("label, type_name", [(None, "NoneType"), (StrSub("s"), "StrSub"), (b"s", "bytes"), (3, "int")])
def test_label_must_be_exactly_a_str(label, type_name):
    with pytest.raises(TypeError) as info:
        ex.enforce_random_weights_values([INF], label)  # the weights would be refused: the label goes first
    assert str(info.value) == f"Argument 'label' has incorrect type (expected str, got {type_name})"


# ---------------------------------------------------------------------------------------------------
# The family list


@pytest.mark.parametrize("name, kwargs", [
    ("enforce_exposure_usage", {"E": [1.0]}),
    ("enforce_poisson_exposure", {"E": [0.0]}),
    ("enforce_nbinomial_exposure", {"E": [0.0]}),
    ("enforce_binomial_trials", {"Ntrials": [0.0]}),
    ("enforce_scale_usage", {"scale": [-1.0]}),
])
def test_given_family_list_means_the_family_key_is_not_read(name, kwargs, monkeypatch):
    def unread(family):
        raise AssertionError("the 'family' entry was read")

    monkeypatch.setattr(ex, "_normalize_family_spec", unread)
    # 12 names no family at all: the stand-in normaliser would refuse it.
    kwargs = dict(kwargs, family=12)
    fn = getattr(ex, name)
    triggers = {"enforce_exposure_usage": "gaussian", "enforce_poisson_exposure": "poisson",
                "enforce_nbinomial_exposure": "nbinomial", "enforce_binomial_trials": "binomial",
                "enforce_scale_usage": "gaussian"}
    with pytest.raises(SafetyError):
        fn(kwargs, families=[triggers[name]])


@pytest.mark.parametrize("name", FAMILY_CHECKS)
def test_missing_family_key_is_normalised_as_none(name, monkeypatch):
    seen = []

    def spy(family):
        seen.append(family)
        return iter(())  # any iterable will do

    monkeypatch.setattr(ex, "_normalize_family_spec", spy)
    assert getattr(ex, name)({}) is None
    assert seen == [None]


def test_family_key_is_normalised_by_the_sibling_module():
    # Upper case and surrounding space are the normaliser's business.
    assert str(fails(ex.enforce_poisson_exposure, {"family": [" Gaussian", "POISSON "], "E": [0.0]})) == \
        E3.format([0.0])
    with pytest.raises(SafetyError, match="'family' must be a string"):
        ex.enforce_poisson_exposure({"family": 12})


def test_family_list_is_materialised_once():
    # Seven membership tests run over the list; a one-shot iterator still gives every name to each.
    calls = []

    def names():
        calls.append(1)
        yield "gaussian"
        yield "xbinomial"

    assert ex.enforce_scale_usage({"scale": [2.0]}, families=names()) is None  # gaussian: positivity only
    assert str(fails(ex.enforce_scale_usage, {"scale": [2.0]}, families=(n for n in ["gamma", "xbinomial"]))) == \
        S3 + "[2.0]."
    assert calls == [1]


@pytest.mark.parametrize("families", [[], "poisson", "binomial", "gaussian", ()])
def test_family_lists_that_trigger_nothing(families):
    # A string is a list of its characters: it names no family.
    assert str(fails(ex.enforce_exposure_usage, {"E": [1.0], "family": "poisson"}, families=families)) == E1
    assert str(fails(ex.enforce_binomial_trials, {"Ntrials": [1.0], "family": "binomial"}, families=families)) == T1
    assert str(fails(ex.enforce_scale_usage, {"scale": [1.0], "family": "gaussian"}, families=families)) == S4
    assert ex.enforce_poisson_exposure({"E": [0.0]}, families=families) is None
    assert ex.enforce_nbinomial_exposure({"E": [0.0]}, families=families) is None


def test_family_names_compare_exactly():
    assert str(fails(ex.enforce_exposure_usage, {"E": [1.0]}, families=["Poisson", "poisson2"])) == E1
    assert ex.enforce_nbinomial_exposure({"E": [0.0]}, families=["nbinomial2"]) is None


def test_family_entries_whose_comparison_fails_propagate():
    class Weird:
        def __eq__(self, other):
            raise ArithmeticError("cannot compare")

    for name in FAMILY_CHECKS:
        with pytest.raises(ArithmeticError, match="cannot compare"):
            getattr(ex, name)({"E": [1.0], "Ntrials": [1.0], "scale": [1.0]}, families=[Weird()])


# ---------------------------------------------------------------------------------------------------
# Exposure


@pytest.mark.parametrize("families, kwargs, expected", [
    (["poisson"], {"E": [1.0]}, None),
    (["nbinomial"], {"E": [-1.0]}, None),  # the values are not this check's concern
    (["gaussian", "nbinomial"], {"E": [1.0]}, None),
    (["nbinomial2"], {"E": [1.0]}, E1),
    (["gaussian"], {"E": 0}, E1),
    (["gaussian"], {"E": []}, E1),
    (None, {"E": [1.0]}, E1),
    (["gaussian"], {"E": None}, None),
    (["gaussian"], {}, None),
])
def test_exposure_usage(families, kwargs, expected):
    if expected is None:
        assert ex.enforce_exposure_usage(kwargs, families=families) is None
    else:
        assert str(fails(ex.enforce_exposure_usage, kwargs, families=families)) == expected


EXPOSURE = [
    pytest.param(ex.enforce_poisson_exposure, "poisson", E2, E3, E4, id="poisson"),
    pytest.param(ex.enforce_nbinomial_exposure, "nbinomial", E5, E6, E7, id="nbinomial"),
]


@pytest.mark.parametrize("fn, fam, empty, invalid, length", EXPOSURE)
@pytest.mark.parametrize("values, shown", [
    ([1.0, 0.0, 2.0, -2.0], [0.0, -2.0]),
    ([NAN, 1.0], [NAN]),
    ([-INF, INF], [-INF]),
    ([-0.0], [-0.0]),
    ([-1, -2, -3, -4, -5, -6, -7], [-1.0, -2.0, -3.0, -4.0, -5.0]),
    (np.array([[1.0, -1.0], [0.0, 3.0]]), [-1.0, 0.0]),
])
def test_exposure_values_must_be_strictly_positive(fn, fam, empty, invalid, length, values, shown):
    text = str(fails(fn, {"family": fam, "E": values}))
    assert text == invalid.format(shown)
    assert text.count(",") == len(shown) - 1  # never more than five values


@pytest.mark.parametrize("fn, fam, empty, invalid, length", EXPOSURE)
def test_exposure_messages_and_order(fn, fam, empty, invalid, length, monkeypatch):
    assert str(fails(fn, {"family": fam, "E": []})) == empty
    assert str(fails(fn, {"family": fam, "E": np.array([])})) == empty
    assert str(fails(fn, with_response([0, 1, 2, 3], family=fam, E=[1.0, 2.0, 3.0]))) == length.format(3, 4)
    # positivity is judged before the length
    assert str(fails(fn, with_response([0, 1, 2, 3], family=fam, E=[1.0, 0.0]))) == invalid.format([0.0])
    assert fn(with_response([0, 1, 2], family=fam, E=[1.0, INF, 3])) is None  # +Inf passes
    assert fn(with_response([0, 1, 2], family=fam, E=None)) is None
    monkeypatch.setattr(ex, "_infer_observation_count", lambda kwargs: None)
    assert fn(with_response([0, 1, 2], family=fam, E=[1.0])) is None  # no count, no length rule


def test_poisson_and_nbinomial_together_apply_both_checks():
    kwargs = {"family": ["poisson", "nbinomial"], "E": [0.5, -1.0]}
    assert str(fails(ex.enforce_poisson_exposure, kwargs)) == E3.format([-1.0])
    assert str(fails(ex.enforce_nbinomial_exposure, kwargs)) == E6.format([-1.0])
    assert ex.enforce_exposure_usage(kwargs) is None


def test_exposure_hands_label_and_value_to_the_converter(monkeypatch):
    seen = []

    def convert(label, value):
        seen.append((label, value))
        return (v for v in [1.0, 2.0])  # any iterable: it is turned into a list

    monkeypatch.setattr(ex, "_as_float_list", convert)
    marker = object()
    kwargs = with_response([5, 6], family="poisson", E=marker)
    assert ex.enforce_poisson_exposure(kwargs) is None
    assert seen == [("E", marker)]


class Count:
    """An observation count that differs from every length and formats itself differently than it prints."""

    def __ne__(self, other):
        return True

    def __format__(self, format_spec):
        return "formatted"

    def __str__(self):
        return "printed"


@pytest.mark.parametrize("fn, kwargs, template", [
    (ex.enforce_poisson_exposure, {"family": "poisson", "E": [1.0, 2.0]}, E4),
    (ex.enforce_nbinomial_exposure, {"family": "nbinomial", "E": [1.0, 2.0]}, E7),
    (ex.enforce_binomial_trials, {"family": "binomial", "Ntrials": [1.0, 2.0]}, T8),
    (ex.enforce_offset_values, {"offset": [1.0, 2.0]}, O3),
])
def test_length_messages_format_the_count_as_returned(fn, kwargs, template, monkeypatch):
    monkeypatch.setattr(ex, "_infer_observation_count", lambda kw: Count())
    assert str(fails(fn, kwargs)) == template.format(2, "formatted")
    monkeypatch.setattr(ex, "_infer_observation_count", lambda kw: np.int64(7))
    assert str(fails(fn, kwargs)) == template.format(2, 7)
    monkeypatch.setattr(ex, "_infer_observation_count", lambda kw: 2.0)  # compares equal to the length
    assert fn(kwargs) is None


# ---------------------------------------------------------------------------------------------------
# Trials


@pytest.mark.parametrize("fam", ["binomial", "xbinomial", "betabinomial", "nbinomial2"])
def test_trials_families(fam):
    assert ex.enforce_binomial_trials({"family": fam, "Ntrials": [1, 2, 3]}) is None
    assert str(fails(ex.enforce_binomial_trials, {"family": fam, "Ntrials": [1, 0]})) == T6.format([0.0])
    assert str(fails(ex.enforce_binomial_trials, {"family": fam})) == T2


@pytest.mark.parametrize("fam", ["poisson", "gaussian", "nbinomial", None])
def test_trials_refused_for_other_families(fam):
    assert str(fails(ex.enforce_binomial_trials, {"family": fam, "Ntrials": [1, 2]})) == T1
    assert str(fails(ex.enforce_binomial_trials, {"family": fam, "Ntrials": "junk"})) == T1
    assert ex.enforce_binomial_trials({"family": fam, "Ntrials": None}) is None
    assert ex.enforce_binomial_trials(with_response(["not", "read"], family=fam)) is None


@pytest.mark.parametrize("values, expected", [
    ([0, 1, 2], T6.format([0.0])),
    ([-3, 2.5], T6.format([-3.0])),  # positivity first
    ([-INF, NAN], T6.format([-INF])),
    ([0] * 9, T6.format([0.0] * 5)),
    ([2.5, NAN, 1], T7.format([2.5, NAN])),
    ([1.5, 2.5, 3.5, 4.5, 5.5, 6.5, 7.5], T7.format([1.5, 2.5, 3.5, 4.5, 5.5])),
    ([INF, 1e300, 3], None),
    ([True, 2], None),
    ([], T5),
    (np.zeros((0, 3)), T5),
])
def test_trials_values(values, expected):
    kwargs = {"family": "binomial", "Ntrials": values}
    if expected is None:
        assert ex.enforce_binomial_trials(kwargs) is None
    else:
        assert str(fails(ex.enforce_binomial_trials, kwargs)) == expected


def test_trials_rule_order_and_length():
    def call(ntrials):
        return ex.enforce_binomial_trials(with_response([0, 1, 1, 0], family="binomial", Ntrials=ntrials))

    assert call([3, 3, 3, 3]) is None
    assert str(fails(call, [3, 3, 3])) == T8.format(3, 4)
    assert str(fails(call, [0, 3])) == T6.format([0.0])  # short and holding a 0: T6, not T8
    assert str(fails(call, [1.5, 3])) == T7.format([1.5])  # short and fractional: T7, not T8
    assert str(fails(call, np.array([[3, 3], [3, 3], [3, 3]]))) == T8.format(6, 4)


@pytest.mark.parametrize("resp", [
    [0, 1, 1, 0],
    [0.0, NAN, 1.0, INF, -INF],
    [True, False],
    [],
    np.array([[0, 1], [1, 1]]),
    np.array([0, 1], dtype=np.int8),
    np.array(1.0),
    (v for v in [0, 1, NAN]),
    ["0", "1", b"1"],
    [-0.0],
], ids=["ints", "nonfinite", "bools", "empty", "2d", "int8", "0d", "generator", "text", "negzero"])
def test_bernoulli_response_accepted_without_trials(resp):
    assert ex.enforce_binomial_trials(with_response(resp, family="binomial")) is None


@pytest.mark.parametrize("resp", [[0, 1, 2], [0.5], np.arange(10), [0, 1, -1], (v for v in [1, 2, 3]),
                                  np.array([0, 1, 2], dtype=object)])
def test_aggregated_response_needs_trials(resp):
    assert str(fails(ex.enforce_binomial_trials, with_response(resp, family="binomial"))) == T4


class FloatRaises:
    def __float__(self):
        raise RuntimeError("no float here")


class FloatWrongType:
    def __float__(self):
        return "1.0"


class IterRaises:
    def __iter__(self):
        raise LookupError("no iteration")


def _broken_generator():
    yield 1.0
    raise ZeroDivisionError("generator broke")


@pytest.mark.parametrize("resp, cause", [
    (["a", 1], ValueError),
    ([FloatRaises()], RuntimeError),
    ([FloatWrongType()], TypeError),
    (IterRaises(), LookupError),
    (_broken_generator(), ZeroDivisionError),
    ([[0, 1], [1]], TypeError),
    ([10 ** 400], OverflowError),
    ([1 + 2j], TypeError),
])
def test_unreadable_response_is_reported_with_its_cause(resp, cause, monkeypatch):
    # The count is never reached; take it out of the picture for inputs without a length.
    monkeypatch.setattr(ex, "_infer_observation_count", lambda kw: None)
    err = fails(ex.enforce_binomial_trials, with_response(resp, family="binomial"))
    assert str(err) == T3
    assert type(err.__cause__) is cause
    assert err.__suppress_context__ is True and err.__context__ is err.__cause__


def test_response_falls_back_to_iteration_when_the_array_way_fails(monkeypatch):
    # numpy cannot make a float array of a generator; iterating it directly reads the values.
    assert str(fails(ex.enforce_binomial_trials, with_response((v for v in [0, 3]), family="binomial"))) == T4

    class Items:
        """Iterable, but not convertible by numpy as a whole."""

        def __iter__(self):
            return iter([0.0, 1.0])

    assert ex.enforce_binomial_trials(with_response(Items(), family="binomial")) is None


def test_response_errors_that_are_not_exceptions_propagate():
    class Interrupting:
        def __float__(self):
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        ex.enforce_binomial_trials({"family": "binomial", "formula": "y ~ 1", "data": {"y": [Interrupting()]}})


# ---------------------------------------------------------------------------------------------------
# Outside helpers: their exceptions reach the caller unchanged


class Boom(Exception):
    pass


def _boom(*args):
    raise Boom("outside")


@pytest.mark.parametrize("attr, fn, kwargs", [
    ("_normalize_family_spec", ex.enforce_exposure_usage, {"E": [1.0]}),
    ("_normalize_family_spec", ex.enforce_scale_usage, {}),
    ("_as_float_list", ex.enforce_poisson_exposure, {"family": "poisson", "E": [1.0]}),
    ("_as_float_list", ex.enforce_nbinomial_exposure, {"family": "nbinomial", "E": [1.0]}),
    ("_as_float_list", ex.enforce_binomial_trials, {"family": "binomial", "Ntrials": [1.0]}),
    ("_extract_response_array", ex.enforce_binomial_trials, {"family": "binomial"}),
    ("_infer_observation_count", ex.enforce_poisson_exposure, {"family": "poisson", "E": [1.0]}),
    ("_infer_observation_count", ex.enforce_binomial_trials, {"family": "binomial", "Ntrials": [1.0]}),
    ("_infer_observation_count", ex.enforce_offset_values, {"offset": [1.0]}),
    ("_normalize_positive_sequence", ex.enforce_scale_usage, {"family": "gaussian", "scale": [1.0]}),
])
def test_outside_exceptions_propagate(attr, fn, kwargs, monkeypatch):
    monkeypatch.setattr(ex, attr, _boom)
    with pytest.raises(Boom, match="outside") as info:
        fn(kwargs)
    assert info.value.__cause__ is None


def test_converter_refusals_propagate_unchanged():
    # The stand-in converter refuses text with its own SafetyError; it is not wrapped or replaced.
    for fn, kwargs in [(ex.enforce_poisson_exposure, {"family": "poisson", "E": "1.0"}),
                       (ex.enforce_binomial_trials, {"family": "binomial", "Ntrials": [1, "x"]}),
                       (ex.enforce_scale_usage, {"family": "gamma", "scale": {"a": 1}})]:
        text = str(fails(fn, kwargs))
        assert text.startswith(P) and "must" in text
        assert text not in (E3, T3, T6, S2)


def test_module_safety_error_is_looked_up_at_call_time(monkeypatch):
    class Other(Exception):
        pass

    monkeypatch.setattr(ex, "SafetyError", Other)
    with pytest.raises(Other) as info:
        ex.enforce_exposure_usage({"E": [1.0]})
    assert str(info.value) == E1
    # The vectorised ways pass the module's current SafetyError through and fall back on anything else.
    with pytest.raises(Other) as info:
        ex.enforce_weights_values({"weights": [0.0]})
    assert str(info.value) == W1 + "[0.0]"
    with pytest.raises(Other) as info:
        ex.enforce_random_weights_values([INF], "r")
    assert str(info.value) == W3.format("r") + "[inf]"


# ---------------------------------------------------------------------------------------------------
# Scale


@pytest.mark.parametrize("families, scale, expected", [
    (["poisson"], [1.0], S4),
    (["poisson"], "not even read", S4),
    (["poisson"], None, None),
    ([], [1.0], S4),
    (["gaussian"], [1.0, 0.0], S1 + "[0.0]."),
    (["gamma"], [1.0, 0.0], None),
    (["gaussian"], [NAN], S1 + "[nan]."),
    (["gamma"], [NAN], S2 + "[nan]."),
    (["beta"], [-1.0, -INF, 2.0], S2 + "[-1.0, -inf]."),
    (["logistic"], [-1, -2, -3, -4, -5, -6], S1 + "[-1.0, -2.0, -3.0, -4.0, -5.0]."),
    (["t"], [INF], None),
    (["beta"], [INF], None),
    (["xbinomial"], [INF], S3 + "[inf]."),
    (["xbinomial"], [1.0000000000005], None),
    (["xbinomial"], [1.00001, 0.5, 2.0], S3 + "[1.00001, 2.0]."),
    (["xbinomial"], [-0.5, 2.0], S2 + "[-0.5]."),
    (["gaussian", "xbinomial"], [2.0], None),
    (["nbinomial", "gamma"], [0.0], S1 + "[0.0]."),
    (["gaussian"], None, None),
    (["xbinomial"], [0.0, 1.0], None),
])
def test_scale(families, scale, expected):
    kwargs = {"scale": scale}
    if expected is None:
        assert ex.enforce_scale_usage(kwargs, families=families) is None
    else:
        assert str(fails(ex.enforce_scale_usage, kwargs, families=families)) == expected


@pytest.mark.parametrize("families, entries, expected", [
    (["gaussian"], [Fraction(-1, 2), Decimal("3"), Decimal("-0")], S1 + "[Fraction(-1, 2), Decimal('-0')]."),
    (["gamma"], [NAN, 2, Fraction(-1, 3), Decimal("0")], S2 + "[nan, Fraction(-1, 3)]."),
    (["xbinomial"], [2, True, Fraction(3, 2)], S3 + "[2, Fraction(3, 2)]."),
    (["gaussian"], (0, 1, -1), S1 + "[0, -1]."),
])
def test_scale_entries_are_shown_as_they_print(families, entries, expected, monkeypatch):
    monkeypatch.setattr(ex, "_normalize_positive_sequence", lambda label, value: entries)
    assert str(fails(ex.enforce_scale_usage, {"scale": "anything"}, families=families)) == expected


def test_scale_hands_label_and_value_and_reiterates(monkeypatch):
    seen = []

    class Twice:
        """Counts how often it is iterated."""

        def __init__(self, values):
            self.values, self.rounds = values, 0

        def __iter__(self):
            self.rounds += 1
            return iter(self.values)

    values = Twice([0.5, 1.0])

    def normalize(label, value):
        seen.append((label, value))
        return values

    monkeypatch.setattr(ex, "_normalize_positive_sequence", normalize)
    assert ex.enforce_scale_usage({"scale": 3}, families=["xbinomial"]) is None
    assert seen == [("scale", 3)] and values.rounds == 2
    assert ex.enforce_scale_usage({"scale": 3}, families=["gaussian"]) is None
    assert values.rounds == 3


@pytest.mark.parametrize("entries, error", [
    (["a"], TypeError),
    ([1.0, None], TypeError),
    ([10 ** 400], OverflowError),  # above 0.0, then isnan() cannot take it
    ([complex(1, 1)], TypeError),
])
def test_scale_entries_that_cannot_be_judged_propagate(entries, error, monkeypatch):
    monkeypatch.setattr(ex, "_normalize_positive_sequence", lambda label, value: entries)
    with pytest.raises(error):
        ex.enforce_scale_usage({"scale": 1}, families=["gaussian"])


def test_scale_tests_every_entry_even_after_five(monkeypatch):
    # Invalid values are collected over the whole sequence; an entry that cannot be compared fails the check.
    monkeypatch.setattr(ex, "_normalize_positive_sequence", lambda label, value: [-1.0] * 6 + ["x"])
    with pytest.raises(TypeError):
        ex.enforce_scale_usage({"scale": 1}, families=["gaussian"])


def test_scale_uses_the_module_math(monkeypatch):
    class FakeMath:
        @staticmethod
        def isnan(v):
            return v == 7.0

    monkeypatch.setattr(ex, "math", FakeMath)
    assert str(fails(ex.enforce_scale_usage, {"scale": [7.0, 1.0]}, families=["gaussian"])) == S1 + "[7.0]."
    assert ex.enforce_scale_usage({"scale": [NAN]}, families=["gamma"]) is None


# ---------------------------------------------------------------------------------------------------
# Offset


@pytest.mark.parametrize("offset, expected", [
    ([0.0, NAN, -2.5], None),
    ([0.0, INF, -INF], O2 + "[inf, -inf]"),
    ([INF] * 8, O2 + str([INF] * 5)),
    (np.array([[1.0], [INF], [2.0]]), O2 + "[inf]"),
    (np.array([1.0, INF], dtype=np.float16), O2 + "[inf]"),
    (np.array([1.0, -INF], dtype=np.longdouble), O2 + "[-inf]"),
    (3.0, None),
    (np.array(-INF), O2 + "[-inf]"),
    (["1.5", b"-inf"], O2 + "[-inf]"),
    ((v for v in [1.0, INF]), O2 + "[inf]"),  # the array way fails on a generator; the plain way reads it
])
def test_offset_values(offset, expected):
    if expected is None:
        assert ex.enforce_offset_values({"offset": offset}) is None
    else:
        assert str(fails(ex.enforce_offset_values, {"offset": offset})) == expected


def test_offset_length():
    y = [0, 1, 2, 3]
    assert ex.enforce_offset_values(with_response(y, offset=np.zeros((4, 1)))) is None  # flattened: 4 values
    assert str(fails(ex.enforce_offset_values, with_response(y, offset=[1.0, 2.0, 3.0]))) == O3.format(3, 4)
    assert str(fails(ex.enforce_offset_values, with_response(y, offset=np.zeros((2, 4))))) == O3.format(8, 4)
    assert str(fails(ex.enforce_offset_values, with_response(y, offset=[INF]))) == O2 + "[inf]"  # O2 first
    # plain way: same rules, the length of the value list
    assert str(fails(ex.enforce_offset_values, with_response(y, offset=(v for v in [1.0, 2.0])))) == \
        O3.format(2, 4)
    assert ex.enforce_offset_values(with_response(y, offset=(v for v in [1.0, 2.0, NAN, 3.0]))) is None
    assert ex.enforce_offset_values(with_response(y, offset=None)) is None


@pytest.mark.parametrize("offset, cause", [
    (["a", 1.0], ValueError),
    ([[1.0, 2.0], [3.0]], TypeError),
    ([FloatRaises()], RuntimeError),
    ([FloatWrongType()], TypeError),
    (IterRaises(), LookupError),
    ([10 ** 400], OverflowError),
    ([1 + 2j], TypeError),
    ({"a": 1.0}, ValueError),
])
def test_offset_that_cannot_be_read(offset, cause):
    err = fails(ex.enforce_offset_values, {"offset": offset})
    assert str(err) == O1
    assert type(err.__cause__) is cause and err.__suppress_context__ is True
    assert err.__context__ is err.__cause__  # raised while handling the conversion error


def test_offset_count_failure_on_the_array_way_is_retried_on_the_plain_way(monkeypatch):
    calls = []

    def count(kwargs):
        calls.append(1)
        if len(calls) == 1:
            raise ValueError("first call fails")
        return 5

    monkeypatch.setattr(ex, "_infer_observation_count", count)
    assert str(fails(ex.enforce_offset_values, {"offset": np.ones(3)})) == O3.format(3, 5)
    assert len(calls) == 2


def test_offset_count_safety_error_is_final(monkeypatch):
    calls = []

    def count(kwargs):
        calls.append(1)
        raise SafetyError("from the counter")

    monkeypatch.setattr(ex, "_infer_observation_count", count)
    assert str(fails(ex.enforce_offset_values, {"offset": [1.0]})) == "from the counter"
    assert calls == [1]


# ---------------------------------------------------------------------------------------------------
# Weights


@pytest.mark.parametrize("weights, expected", [
    ([1.0, 2.0, 0.5], None),
    (list(np.linspace(0.1, 1, 37)), None),  # any length
    ([1.0, 0.0, -1.0, NAN, INF, -INF, 0.0], W1 + "[0.0, -1.0, nan, inf, -inf]"),
    (np.array([[1.0, -2.0], [NAN, 3.0]]), W1 + "[-2.0, nan]"),
    (np.array([1, 0], dtype=np.int8), W1 + "[0.0]"),
    (np.array([True, False]), W1 + "[0.0]"),
    (np.array([1.0, None], dtype=object), W1 + "[nan]"),
    (np.array(0.0), W1 + "[0.0]"),
    (2.0, None),
    ((v for v in [2.0, -0.0]), W1 + "[-0.0]"),
    ([Decimal("1.5"), Fraction(-1, 4)], W1 + "[-0.25]"),
])
def test_weights_values(weights, expected):
    if expected is None:
        assert ex.enforce_weights_values({"weights": weights}) is None
    else:
        assert str(fails(ex.enforce_weights_values, {"weights": weights})) == expected


def test_weights_are_not_compared_with_the_count():
    assert ex.enforce_weights_values(with_response([0, 1, 2], weights=[1.0])) is None
    assert ex.enforce_weights_values(with_response([0, 1, 2], weights=None)) is None


@pytest.mark.parametrize("weights, cause", [
    (["x"], ValueError),
    ([FloatRaises()], RuntimeError),
    ([FloatWrongType()], TypeError),
    (IterRaises(), LookupError),
    (_broken_generator(), ZeroDivisionError),
    ([10 ** 400, 1.0], OverflowError),
    (object(), TypeError),
])
def test_weights_that_cannot_be_read(weights, cause):
    err = fails(ex.enforce_weights_values, {"weights": weights})
    assert str(err) == W2
    assert type(err.__cause__) is cause and err.__suppress_context__ is True
    assert err.__context__ is err.__cause__  # raised while handling the conversion error


def test_weights_on_a_million_entries_show_five():
    w = np.ones(10 ** 6)
    assert ex.enforce_weights_values({"weights": w}) is None
    w[::2] = -np.arange(5 * 10 ** 5)
    assert str(fails(ex.enforce_weights_values, {"weights": w})) == W1 + "[0.0, -1.0, -2.0, -3.0, -4.0]"
    assert str(fails(ex.enforce_weights_values, {"weights": w.tolist()})) == W1 + "[0.0, -1.0, -2.0, -3.0, -4.0]"
    huge = [0.0] * 10 ** 6
    assert len(str(fails(ex.enforce_offset_values, {"offset": [INF] * 10 ** 6}))) < 200
    assert len(str(fails(ex.enforce_poisson_exposure, {"family": "poisson", "E": huge}))) < 200


# ---------------------------------------------------------------------------------------------------
# Random-effect weights


@pytest.mark.parametrize("weights, label, expected", [
    ([1.0, NAN, -3.0, 0.0], "iid", None),
    ([1.0, -INF], "spatial", W3.format("spatial") + "[-inf]"),
    (np.array([[INF, 1.0], [-INF, INF]]), "f(idx)", W3.format("f(idx)") + "[inf, -inf, inf]"),
    ([INF] * 6, "", W3.format("") + str([INF] * 5)),
    ([INF], "it's {}", W3.format("it's {}") + "[inf]"),
    (np.array(INF), "z", W3.format("z") + "[inf]"),
    (["a", INF], "z", None),  # cannot be read as numbers: not reported here
    ([FloatRaises(), INF], "z", None),
    (IterRaises(), "z", None),
    ((v for v in [INF]), "z", None),
    ([[1.0], [INF, 2.0]], "z", None),
])
def test_random_weights(weights, label, expected):
    if expected is None:
        assert ex.enforce_random_weights_values(weights, label) is None
    else:
        assert str(fails(ex.enforce_random_weights_values, weights, label)) == expected


def test_random_weights_let_non_exceptions_through():
    class Interrupting:
        def __float__(self):
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        ex.enforce_random_weights_values([Interrupting()], "r")
    with pytest.raises(KeyboardInterrupt):
        ex.enforce_weights_values({"weights": [Interrupting()]})
    with pytest.raises(KeyboardInterrupt):
        ex.enforce_offset_values({"offset": [Interrupting()]})


# ---------------------------------------------------------------------------------------------------
# Causes


def test_only_the_conversion_messages_carry_a_cause():
    plain = [
        fails(ex.enforce_exposure_usage, {"E": [1.0]}),
        fails(ex.enforce_poisson_exposure, {"family": "poisson", "E": [0.0]}),
        fails(ex.enforce_binomial_trials, with_response([2], family="binomial")),
        fails(ex.enforce_binomial_trials, {"family": "binomial", "Ntrials": [0.5]}),
        fails(ex.enforce_scale_usage, {"family": "gamma", "scale": [-1.0]}),
        fails(ex.enforce_offset_values, {"offset": [INF]}),
        fails(ex.enforce_offset_values, {"offset": (v for v in [INF])}),  # found on the plain way
        fails(ex.enforce_weights_values, {"weights": [0.0]}),
        fails(ex.enforce_weights_values, {"weights": (v for v in [0.0])}),
        fails(ex.enforce_random_weights_values, [INF], "r"),
    ]
    for err in plain:
        assert err.__cause__ is None and err.__suppress_context__ is False
        assert err.__context__ is None


# ---------------------------------------------------------------------------------------------------
# Odd inputs never crash, and the checks decide as the rules read


def _reference():
    """The rules written out step by step in Python, as an independent reading to compare with."""

    def family_list(kwargs, families):
        if families is not None:
            return list(families)
        return list(ex._normalize_family_spec(kwargs.get("family")))

    def exposure(kwargs, families, trigger, empty, invalid, length):
        if not any(f == trigger for f in family_list(kwargs, families)):
            return None
        value = kwargs.get("E")
        if value is None:
            return None
        exp_list = list(ex._as_float_list("E", value))
        if len(exp_list) == 0:
            raise ex.SafetyError(empty)
        import numpy as np
        arr = np.asarray(exp_list, dtype=float)
        mask = ~(arr > 0)
        if mask.any():
            raise ex.SafetyError(invalid.format(arr[mask][:5].tolist()))
        n = ex._infer_observation_count(kwargs)
        if n is not None and len(exp_list) != n:
            raise ex.SafetyError(length.format(len(exp_list), n))
        return None

    def trials(kwargs, families):
        fams = family_list(kwargs, families)
        required = any(f in ("binomial", "xbinomial", "betabinomial", "nbinomial2") for f in fams)
        value = kwargs.get("Ntrials")
        if not required:
            if value is not None:
                raise ex.SafetyError(T1)
            return None
        if value is None:
            resp = ex._extract_response_array(kwargs)
            if resp is None:
                raise ex.SafetyError(T2)
            try:
                import numpy as np
                arr = np.asarray(resp, dtype=float).reshape(-1)
                distinct = set(np.unique(arr[np.isfinite(arr)]))
            except Exception:
                try:
                    distinct = {float(v) for v in resp}
                except Exception as exc:
                    raise ex.SafetyError(T3) from exc
            import numpy as np
            distinct = {v for v in distinct if np.isfinite(v)}
            if not distinct.issubset({0.0, 1.0}):
                raise ex.SafetyError(T4)
            return None
        lst = list(ex._as_float_list("Ntrials", value))
        if len(lst) == 0:
            raise ex.SafetyError(T5)
        import numpy as np
        t = np.asarray(lst, dtype=float)
        bad = t[t <= 0]
        if bad.size:
            raise ex.SafetyError(T6.format(bad[:5].tolist()))
        bad = t[t != np.floor(t)]
        if bad.size:
            raise ex.SafetyError(T7.format(bad[:5].tolist()))
        n = ex._infer_observation_count(kwargs)
        if n is not None and len(lst) != n:
            raise ex.SafetyError(T8.format(len(lst), n))
        return None

    def scale(kwargs, families):
        fams = family_list(kwargs, families)
        has = {name: any(f == name for f in fams)
               for name in ("gaussian", "xbinomial", "gamma", "beta", "logistic", "t", "nbinomial")}
        value = kwargs.get("scale")
        if not any(has.values()):
            if value is not None:
                raise ex.SafetyError(S4)
            return None
        if value is None:
            return None
        values = ex._normalize_positive_sequence("scale", value)
        if has["gaussian"] or has["logistic"] or has["t"] or has["nbinomial"]:
            bad = [v for v in values if not (v > 0.0) or math.isnan(v)]
            if bad:
                raise ex.SafetyError(S1 + str(bad[:5]) + ".")
            return None
        bad = [v for v in values if v < 0.0 or math.isnan(v)]
        if bad:
            raise ex.SafetyError(S2 + str(bad[:5]) + ".")
        if has["xbinomial"]:
            bad = [v for v in values if v > 1.000000000001]
            if bad:
                raise ex.SafetyError(S3 + str(bad[:5]) + ".")
        return None

    def offset(kwargs):
        off = kwargs.get("offset")
        if off is None:
            return None
        try:
            import numpy as np
            arr = np.asarray(off, dtype=float).reshape(-1)
            bad = arr[np.isinf(arr)]
            if bad.size > 0:
                raise ex.SafetyError(O2 + str(bad[:5].tolist()))
            n = ex._infer_observation_count(kwargs)
            if n is not None and arr.size != n:
                raise ex.SafetyError(O3.format(arr.size, n))
            return None
        except ex.SafetyError:
            raise
        except Exception:
            pass
        try:
            values = [float(v) for v in off]
        except Exception as exc:
            raise ex.SafetyError(O1) from exc
        bad = [v for v in values if math.isinf(v)]
        if bad:
            raise ex.SafetyError(O2 + str(bad[:5]))
        n = ex._infer_observation_count(kwargs)
        if n is not None and len(values) != n:
            raise ex.SafetyError(O3.format(len(values), n))
        return None

    def weights(kwargs):
        w = kwargs.get("weights")
        if w is None:
            return None
        try:
            import numpy as np
            arr = np.asarray(w, dtype=float).reshape(-1)
            bad = arr[~np.isfinite(arr) | (arr <= 0.0)]
            if bad.size > 0:
                raise ex.SafetyError(W1 + str(bad[:5].tolist()))
            return None
        except ex.SafetyError:
            raise
        except Exception:
            pass
        try:
            values = [float(v) for v in w]
        except Exception as exc:
            raise ex.SafetyError(W2) from exc
        bad = [v for v in values if not math.isfinite(v) or v <= 0.0]
        if bad:
            raise ex.SafetyError(W1 + str(bad[:5]))
        return None

    def random_weights(w, label):
        try:
            import numpy as np
            arr = np.asarray(w, dtype=float).ravel()
            mask = np.isinf(arr)
            if mask.any():
                raise ex.SafetyError(W3.format(label) + str(arr[mask][:5].tolist()))
        except ex.SafetyError:
            raise
        except Exception:
            return None
        return None

    return {
        "poisson": lambda kw, fam: exposure(kw, fam, "poisson", E2, E3, E4),
        "nbinomial": lambda kw, fam: exposure(kw, fam, "nbinomial", E5, E6, E7),
        "trials": trials, "scale": scale, "offset": lambda kw, fam: offset(kw),
        "weights": lambda kw, fam: weights(kw), "random": lambda w, label: random_weights(w, label),
    }


REFERENCE = _reference()
NATIVE = {
    "poisson": lambda kw, fam: ex.enforce_poisson_exposure(kw, families=fam),
    "nbinomial": lambda kw, fam: ex.enforce_nbinomial_exposure(kw, families=fam),
    "trials": lambda kw, fam: ex.enforce_binomial_trials(kw, families=fam),
    "scale": lambda kw, fam: ex.enforce_scale_usage(kw, families=fam),
    "offset": lambda kw, fam: ex.enforce_offset_values(kw),
    "weights": lambda kw, fam: ex.enforce_weights_values(kw),
    "random": lambda w, label: ex.enforce_random_weights_values(w, label),
}


class LenRaises:
    def __len__(self):
        raise RuntimeError("no length")

    def __getitem__(self, i):
        if i < 2:
            return float(i)
        raise IndexError(i)


class NeverEqual(float):
    def __eq__(self, other):
        return False

    __hash__ = float.__hash__


# Factories, so that one-shot inputs are fresh for every call.
ODD_VALUES = {
    "nan-inf": lambda: [1.0, NAN, INF, -INF],
    "zeros": lambda: [0.0, -0.0, 0],
    "halves": lambda: [0.5, 1.5, 2.0],
    "huge-int": lambda: 10 ** 400,
    "huge-int-list": lambda: [1, 10 ** 400],
    "big-floats": lambda: [1e308, 5e-324, -1e-320],
    "text": lambda: "abc",
    "numeric-text": lambda: ["1", "0.5"],
    "bytes": lambda: b"\x00\x01",
    "ragged": lambda: [[1.0, 2.0], [3.0]],
    "nested": lambda: [[1.0], [0.0]],
    "generator": lambda: (v for v in [1.0, 0.0, INF]),
    "dict": lambda: {"a": 1.0},
    "dict-sub": lambda: DictSub(a=2.0),
    "set": lambda: {1.0, 3.0},
    "range": lambda: range(4),
    "empty": lambda: [],
    "zero-d": lambda: np.array(0.5),
    "two-d": lambda: np.arange(6.0).reshape(2, 3) - 1,
    "complex": lambda: np.array([1 + 2j, 0j]),
    "datetime": lambda: np.array(["2020-01-01", "NaT"], dtype="datetime64[D]"),
    "object": lambda: np.array([1.0, None, "2"], dtype=object),
    "strings": lambda: np.array(["1", "x"]),
    "structured": lambda: np.zeros(2, dtype=[("a", float), ("b", int)]),
    "bool": lambda: np.array([True, False, True]),
    "float16": lambda: np.array([1.0, np.inf], dtype=np.float16),
    "longdouble": lambda: np.array([2.0, -np.inf], dtype=np.longdouble),
    "uint64": lambda: np.array([2 ** 64 - 1, 0], dtype=np.uint64),
    "float-raises": lambda: [1.0, FloatRaises()],
    "float-wrong-type": lambda: [FloatWrongType()],
    "iter-raises": lambda: IterRaises(),
    "len-raises": lambda: LenRaises(),
    "broken-generator": lambda: _broken_generator(),
    "fractions": lambda: [Fraction(1, 3), Decimal("-2"), Decimal("NaN")],
    "never-equal": lambda: [NeverEqual(1.0), NeverEqual(0.0)],
    "scalar": lambda: 3,
    "bool-scalar": lambda: True,
    "none-items": lambda: [None, 1.0],
    "plain-object": lambda: object(),
    "big-list": lambda: [1.0] * 99999 + [0.0],
}


def _outcome(fn, *args):
    try:
        result = fn(*args)
    except Exception as exc:  # noqa: BLE001 - the outcome is what is compared
        cause = exc.__cause__
        return (type(exc).__name__, str(exc), type(cause).__name__ if cause is not None else None)
    return ("returned", repr(result), None)


def _kwargs_cases(key, value):
    if key == "poisson":
        return [({"E": value()}, ["poisson"]), (with_response([0, 1, 2], E=value()), ["poisson"])]
    if key == "nbinomial":
        return [({"E": value()}, ["nbinomial"])]
    if key == "trials":
        return [({"Ntrials": value()}, ["binomial"]), (with_response([0, 1], Ntrials=value()), ["betabinomial"]),
                (with_response(value()), ["binomial"]), ({"Ntrials": value()}, ["gaussian"])]
    if key == "scale":
        return [({"scale": value()}, fam) for fam in (["gaussian"], ["xbinomial"], ["gamma"], ["poisson"])]
    if key == "offset":
        return [({"offset": value()}, None), (with_response([0, 1, 2], offset=value()), None)]
    if key == "weights":
        return [({"weights": value()}, None)]
    raise KeyError(key)


@pytest.mark.filterwarnings("ignore")
@pytest.mark.parametrize("value", list(ODD_VALUES.values()), ids=list(ODD_VALUES))
@pytest.mark.parametrize("check", ["poisson", "nbinomial", "trials", "scale", "offset", "weights", "random"])
def test_odd_inputs_match_the_rules(check, value):
    if check == "random":
        pairs = [(_outcome(NATIVE[check], value(), "lbl"), _outcome(REFERENCE[check], value(), "lbl"))]
    else:
        pairs = []
        for (kw_native, fam), (kw_ref, _) in zip(_kwargs_cases(check, value), _kwargs_cases(check, value)):
            pairs.append((_outcome(NATIVE[check], kw_native, fam), _outcome(REFERENCE[check], kw_ref, fam)))
    for native, reference in pairs:
        assert native[0] != "SystemError"
        assert native == reference


def test_no_references_are_leaked():
    values = {
        "E": [1.0, 0.0], "Ntrials": [2.5], "scale": [-1.0, 1.0], "offset": ["x"], "weights": [FloatRaises()],
    }
    objects = list(values.values()) + [SafetyError, FloatRaises]
    resp = [0, 1, 2]
    kwargs = dict(values, formula="y ~ x", data={"y": resp})
    calls = [
        lambda: ex.enforce_poisson_exposure(kwargs, families=["poisson"]),
        lambda: ex.enforce_nbinomial_exposure(kwargs, families=["nbinomial"]),
        lambda: ex.enforce_binomial_trials(kwargs, families=["binomial"]),
        lambda: ex.enforce_binomial_trials({"formula": "y ~ x", "data": {"y": ["a"]}}, families=["binomial"]),
        lambda: ex.enforce_scale_usage(kwargs, families=["gaussian"]),
        lambda: ex.enforce_scale_usage(kwargs, families=["xbinomial"]),
        lambda: ex.enforce_offset_values(kwargs),
        lambda: ex.enforce_offset_values({"offset": [1.0, 2.0, 3.0], "formula": "y ~ x", "data": {"y": resp}}),
        lambda: ex.enforce_weights_values(kwargs),
        lambda: ex.enforce_random_weights_values(values["E"], "r"),
        lambda: ex.enforce_random_weights_values([INF], "r"),
        lambda: ex.enforce_exposure_usage(kwargs),
        lambda: ex.enforce_exposure_usage(DictSub()),
    ]

    def run(rounds):
        for _ in range(rounds):
            for c in calls:
                try:
                    c()
                except Exception:
                    pass

    run(50)
    before = [sys.getrefcount(o) for o in objects + [kwargs, resp]]
    blocks = sys.getallocatedblocks()
    run(2000)
    after = [sys.getrefcount(o) for o in objects + [kwargs, resp]]
    assert after == before
    # One leaked object per call would add 26000 blocks.
    assert sys.getallocatedblocks() - blocks < 2000


# ---------------------------------------------------------------------------------------------------
# Without numpy


NO_NUMPY_SCRIPT = r'''
import json, sys

class BlockNumpy:
    def find_spec(self, name, path=None, target=None):
        if name == "numpy" or name.startswith("numpy."):
            raise ModuleNotFoundError("No module named 'numpy'", name="numpy")
        return None

sys.meta_path.insert(0, BlockNumpy())
import vexil.safety.exposure as ex

INF, NAN = float("inf"), float("nan")
resp = {"formula": "y ~ x", "data": {"y": [0, 1, 1]}}
cases = {
    "usage-ok": lambda: ex.enforce_exposure_usage({"family": "poisson", "E": [1.0]}),
    "usage-E1": lambda: ex.enforce_exposure_usage({"family": "gaussian", "E": [1.0]}),
    "poisson-no-family": lambda: ex.enforce_poisson_exposure({"E": [0.0]}),
    "poisson-no-E": lambda: ex.enforce_poisson_exposure({"family": "poisson"}),
    "poisson-E2": lambda: ex.enforce_poisson_exposure({"family": "poisson", "E": []}),
    "nbinomial-E5": lambda: ex.enforce_nbinomial_exposure({"family": "nbinomial", "E": []}),
    "poisson-values": lambda: ex.enforce_poisson_exposure({"family": "poisson", "E": [1.0]}),
    "trials-T1": lambda: ex.enforce_binomial_trials({"family": "poisson", "Ntrials": [1.0]}),
    "trials-none": lambda: ex.enforce_binomial_trials({"family": "gaussian"}),
    "trials-T2": lambda: ex.enforce_binomial_trials({"family": "binomial"}),
    "trials-T5": lambda: ex.enforce_binomial_trials({"family": "binomial", "Ntrials": []}),
    "trials-T3": lambda: ex.enforce_binomial_trials({"family": "binomial", "formula": "y ~ x",
                                                     "data": {"y": [0, "a"]}}),
    "trials-response": lambda: ex.enforce_binomial_trials(dict(resp, family="binomial")),
    "trials-values": lambda: ex.enforce_binomial_trials({"family": "binomial", "Ntrials": [1.0]}),
    "scale-S1": lambda: ex.enforce_scale_usage({"family": "gaussian", "scale": [1.0, 0.0]}),
    "scale-S3": lambda: ex.enforce_scale_usage({"family": "xbinomial", "scale": [2.0]}),
    "scale-ok": lambda: ex.enforce_scale_usage({"family": "gamma", "scale": [0.0]}),
    "offset-ok": lambda: ex.enforce_offset_values(dict(resp, offset=[1.0, NAN, 0.0])),
    "offset-O2": lambda: ex.enforce_offset_values({"offset": [1.0, -INF]}),
    "offset-O3": lambda: ex.enforce_offset_values(dict(resp, offset=[1.0])),
    "offset-O1": lambda: ex.enforce_offset_values({"offset": ["x"]}),
    "weights-ok": lambda: ex.enforce_weights_values({"weights": [1.0, 2.0]}),
    "weights-W1": lambda: ex.enforce_weights_values({"weights": [1.0, 0.0, NAN]}),
    "weights-W2": lambda: ex.enforce_weights_values({"weights": [object()]}),
    "random-silent": lambda: ex.enforce_random_weights_values([INF], "r"),
}
out = {}
for name, case in cases.items():
    try:
        out[name] = ["returned", repr(case())]
    except Exception as exc:
        out[name] = [type(exc).__name__, str(exc), type(exc.__cause__).__name__ if exc.__cause__ else None]
out["numpy-loaded"] = "numpy" in sys.modules
print(json.dumps(out))
'''


def test_module_and_early_checks_run_without_numpy():
    package_root = os.path.dirname(os.path.dirname(os.path.abspath(vexil.__file__)))
    env = dict(os.environ, PYTHONPATH=package_root)
    proc = subprocess.run([sys.executable, "-c", NO_NUMPY_SCRIPT], env=env, capture_output=True, text=True,
                          check=False)
    assert proc.returncode == 0, proc.stderr
    out = json.loads(proc.stdout)
    missing = ["ModuleNotFoundError", "No module named 'numpy'", None]
    ok = ["returned", "None"]
    assert out == {
        "usage-ok": ok,
        "usage-E1": ["SafetyError", E1, None],
        "poisson-no-family": ok,
        "poisson-no-E": ok,
        "poisson-E2": ["SafetyError", E2, None],
        "nbinomial-E5": ["SafetyError", E5, None],
        "poisson-values": missing,
        "trials-T1": ["SafetyError", T1, None],
        "trials-none": ok,
        "trials-T2": ["SafetyError", T2, None],
        "trials-T5": ["SafetyError", T5, None],
        "trials-T3": ["SafetyError", T3, "ValueError"],
        "trials-response": missing,  # read the plain way, then numpy is needed to drop non-finite values
        "trials-values": missing,
        "scale-S1": ["SafetyError", S1 + "[0.0].", None],
        "scale-S3": ["SafetyError", S3 + "[2.0].", None],
        "scale-ok": ok,
        "offset-ok": ok,
        "offset-O2": ["SafetyError", O2 + "[-inf]", None],
        "offset-O3": ["SafetyError", O3.format(1, 3), None],
        "offset-O1": ["SafetyError", O1, "ValueError"],
        "weights-ok": ok,
        "weights-W1": ["SafetyError", W1 + "[0.0, nan]", None],
        "weights-W2": ["SafetyError", W2, "TypeError"],
        "random-silent": ok,
        "numpy-loaded": False,
    }
