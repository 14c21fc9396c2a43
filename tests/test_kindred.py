"""vexil.safety.kindred: the family control checks (keys, variants, hyper, beta censoring, links)."""

import collections
import inspect
import sys
import typing

import pytest

from vexil.safety import errors, family, kindred
from vexil.safety.errors import SafetyError

P = "vexil safety check: "

# What a control block may hold, per likelihood: accepted keys, whether a non-None "hyper" is valid, and the
# valid variant numbers.
V, H, B, L, C = "variant", "hyper", "beta.censor.value", "link", "control.link"
LIKELIHOODS = {
    "binomial": ({V, L, C}, False, [0, 1]),
    "xbinomial": ({V, L, C}, False, [0, 1]),
    "nbinomial": ({V, H, L, C}, True, [0, 1, 2]),
    "nbinomial2": ({V, H, L}, False, [0]),
    "betabinomial": ({V, H, L}, True, [0, 1]),
    "beta": ({H, B, L}, True, []),
    "logistic": ({H, L}, True, []),
    "loglogistic": ({V, H, L}, True, [0, 1]),
    "loglogisticsurv": ({V, H, L}, True, [0, 1]),
    "weibull": ({V, H, L, C}, True, [0, 1]),
    "weibullsurv": ({V, H, L, C}, True, [0, 1]),
    "exponential": ({L}, False, []),
    "exponentialsurv": ({H, L}, True, []),
    "lognormal": ({H, L}, True, []),
    "lognormalsurv": ({H, L}, True, []),
    "sn": ({H, L}, True, []),
    "t": ({H, L}, True, []),
    "gaussian": ({H, L}, True, []),
    "poisson": ({L}, False, []),
    "gamma": ({H, L, C}, True, []),
    "gammasurv": ({H, L, C}, True, []),
}
ALL_KEYS = [B, C, H, L, V]
# A value of each key that every likelihood accepting the key takes.
NEUTRAL = {V: 0, H: None, B: None, L: "default", C: None}

BINARY = ["cauchit", "ccloglog", "cloglog", "default", "loga", "logit", "loglog", "probit"]
# Link rows in the order the dictionary form checks them: (row name, families that run it, links).
LINK_ROWS = [
    ("beta", {"beta"}, BINARY),
    ("exponential", {"exponential"}, ["default", "log"]),
    ("exponentialsurv", {"exponentialsurv"}, ["default", "log", "neglog"]),
    ("lognormal", {"lognormal"}, ["default", "identity"]),
    ("lognormalsurv", {"lognormalsurv"}, ["default", "identity"]),
    ("logistic", {"logistic"}, ["default", "identity"]),
    ("sn", {"sn"}, ["default", "identity"]),
    ("loglogistic", {"loglogistic"}, ["default", "log", "neglog"]),
    ("loglogisticsurv", {"loglogisticsurv"}, ["default", "log", "neglog"]),
    ("weibull", {"weibull"}, ["default", "log", "neglog", "quantile"]),
    ("weibullsurv", {"weibullsurv"}, ["default", "log", "neglog", "quantile"]),
    ("t", {"t"}, ["default", "identity"]),
    ("gaussian", {"gaussian"}, ["cauchit", "default", "identity", "log", "loga", "logit", "logoffset"]),
    ("poisson", {"poisson"}, ["default", "log", "logoffset", "quantile"]),
    ("binomial", {"binomial", "xbinomial"},
     ["cauchit", "ccloglog", "cloglog", "default", "log", "loga", "logit", "loglog", "powerlogit", "probit", "robit",
      "sn"]),
    ("gamma", {"gamma"}, ["default", "log", "quantile"]),
    ("nbinomial", {"nbinomial"}, ["default", "log", "logoffset"]),
    ("nbinomial2", {"nbinomial2"}, BINARY),
    ("betabinomial", {"betabinomial"}, BINARY + ["robit", "sn"]),
    ("gammasurv", {"gammasurv"}, ["default", "log", "neglog", "quantile"]),
]
HYPER_MESSAGE = (P + "control['family']['hyper'] is only allowed for gaussian/gamma/gammasurv/exponentialsurv/"
                 "nbinomial/betabinomial/beta/logistic/lognormal/lognormalsurv/weibull/weibullsurv/loglogistic/"
                 "loglogisticsurv/sn/t.")
QUANTILE_MISSING = (P + "link='quantile' requires control['family']['control.link']['quantile'] to be set to a "
                    "value in (0, 1).")


def run(families, block, **extra):
    """The check on a call whose family control is `block`."""
    return kindred.enforce_binomial_kindred({"control": {"family": block}, **extra}, families=families)


def fails(families, block, message):
    with pytest.raises(SafetyError) as info:
        run(families, block)
    assert str(info.value) == message
    return info.value


def accepted_text(name):
    return ", ".join(sorted(LIKELIHOODS[name][0]))


class Stop(BaseException):
    """Not an Exception: must never be turned into a SafetyError."""


def test_tables_are_complete():
    assert set(LIKELIHOODS) == {row for name, fams, _ in LINK_ROWS for row in fams}
    assert sum(hv for _, hv, _ in LIKELIHOODS.values()) == 16


# ---------------------------------------------------------------------------------------------------------
# Module contents and signatures


def test_module_binds_its_imports_and_functions():
    assert kindred.SafetyError is errors.SafetyError
    assert kindred._normalize_family_spec is family._normalize_family_spec
    assert kindred._normalize_link_value is family._normalize_link_value
    for name in ("Any", "Dict", "Iterable", "Optional"):
        assert getattr(kindred, name) is getattr(typing, name)
    public = [n for n in vars(kindred) if not n.startswith("__")]
    assert public == ["Any", "Dict", "Iterable", "Optional", "SafetyError", "_normalize_family_spec",
                      "_normalize_link_value", "enforce_binomial_kindred", "_validate_single_family_control",
                      "_validate_link_for_family"]


def test_signatures():
    f = kindred.enforce_binomial_kindred
    assert str(inspect.signature(f)) == "(kwargs: 'Dict[str, Any]', *, families: 'Iterable[str] | None' = None) -> 'None'"
    assert f.__kwdefaults__ == {"families": None}
    assert f.__module__ == "vexil.safety.kindred"
    g = kindred._validate_single_family_control
    assert str(inspect.signature(g)) == ("(family_name: 'str', family_block: 'Dict[str, Any]', "
                                         "idx: 'Optional[int]' = None) -> 'None'")
    assert g.__doc__ == "Validate a single control.family dict against a specific likelihood."
    h = kindred._validate_link_for_family
    assert str(inspect.signature(h)) == ("(family_block: 'Dict[str, Any]', family_name: 'str', has_family: 'bool', "
                                         "allowed_links: 'set[str]') -> 'None'")


@pytest.mark.parametrize("call, message", [
    (lambda: kindred.enforce_binomial_kindred([]),
     "Argument 'kwargs' has incorrect type (expected dict, got list)"),
    (lambda: kindred.enforce_binomial_kindred(None),
     "Argument 'kwargs' has incorrect type (expected dict, got NoneType)"),
    (lambda: kindred.enforce_binomial_kindred(collections.OrderedDict()),
     "Argument 'kwargs' has incorrect type (expected dict, got collections.OrderedDict)"),
    (lambda: kindred.enforce_binomial_kindred({}, ["binomial"]),
     "enforce_binomial_kindred() takes 1 positional argument but 2 were given"),
    (lambda: kindred.enforce_binomial_kindred({}, family=["binomial"]),
     "enforce_binomial_kindred() got an unexpected keyword argument 'family'"),
    (lambda: kindred._validate_single_family_control("binomial", []),
     "Argument 'family_block' has incorrect type (expected dict, got list)"),
    (lambda: kindred._validate_single_family_control(1, {}),
     "Argument 'family_name' has incorrect type (expected str, got int)"),
    (lambda: kindred._validate_link_for_family({}, "x", True, ["a"]),
     "Argument 'allowed_links' has incorrect type (expected set, got list)"),
    (lambda: kindred._validate_link_for_family({}, "x", True, frozenset()),
     "Argument 'allowed_links' has incorrect type (expected set, got frozenset)"),
    (lambda: kindred._validate_link_for_family(None, "x", True, set()),
     "Argument 'family_block' has incorrect type (expected dict, got NoneType)"),
])
def test_argument_types(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_kwargs_by_keyword_and_none_result():
    assert kindred.enforce_binomial_kindred(kwargs={"control": {"family": {"variant": 1}}},
                                            families=["binomial"]) is None


# ---------------------------------------------------------------------------------------------------------
# Family list and control forms


def test_family_list_from_the_family_entry_through_the_normaliser():
    kw = {"family": " BinomiaL ", "control": {"family": {"variant": 2}}}
    with pytest.raises(SafetyError, match=r"must be one of \[0, 1\] for the requested family"):
        kindred.enforce_binomial_kindred(kw)
    # families given: the "family" entry is not read
    kindred.enforce_binomial_kindred({"family": object(), "control": {"family": {"variant": 2}}},
                                     families=["nbinomial"])


def test_normaliser_runs_first_and_its_errors_propagate():
    with pytest.raises(SafetyError, match="'family' must be a string or a list of strings"):
        kindred.enforce_binomial_kindred({"family": 3})


@pytest.mark.parametrize("families", [
    iter(["nbinomial2"]), ("nbinomial2",), (n for n in ["nbinomial2"]), {"nbinomial2": 1}.keys()])
def test_families_any_iterable(families):
    with pytest.raises(SafetyError, match=r"must be one of \[0\]"):
        run(families, {"variant": 1})


class RaisingEq:
    def __eq__(self, other):
        raise RuntimeError("eq")

    def __hash__(self):
        raise RuntimeError("hash")


class WeirdStr(str):
    def __eq__(self, other):
        raise RuntimeError("eq")

    def __hash__(self):
        raise RuntimeError("hash")


@pytest.mark.parametrize("families, matched", [
    (["poisson"], False),           # link accepted; variant is not: key message
    ("binomial", None),             # a plain string is a list of characters: nothing matches
    ([1, None, RaisingEq(), b"binomial"], None),
    ([RaisingEq(), "binomial"], True),
    ([WeirdStr("binomial")], True),  # compared by its string value, its own __eq__ never runs
    (["Binomial"], None),           # exact spelling only
])
def test_family_names_match_by_string_value_only(families, matched):
    block = {"variant": 1}
    if matched is None:
        assert run(families, block) is None
    elif matched:
        assert run(families, block) is None
        fails(families, {"variant": 7}, P + "control['family']['variant'] must be one of [0, 1] for the requested family.")
    else:
        fails(families, block, P + "control['family'] only accepts link for these likelihoods: variant.")


@pytest.mark.parametrize("control", [None, {}, [], (), 0, "", "text", [{"family": {"bogus": 1}}], 5,
                                     {"family": None}, {"other": 1}])
def test_nothing_to_check(control):
    assert kindred.enforce_binomial_kindred({"control": control}, families=["binomial"]) is None
    assert kindred.enforce_binomial_kindred({}, families=["binomial"]) is None


@pytest.mark.parametrize("block", [({"variant": 1},), "binomial", 3, {"variant"}, frozenset()])
def test_family_control_of_another_type(block):
    fails(["binomial"], block, P + "control['family'] must be a dict (or list of dicts for multiple families).")


def test_control_and_block_subclasses_are_read_through_their_methods():
    class Control(dict):
        def get(self, key, default=None):
            return {"variant": 2} if key == "family" else default

    kw = {"control": Control(ignored=1)}
    with pytest.raises(SafetyError, match=r"\[0, 1\]"):
        kindred.enforce_binomial_kindred(kw, families=["binomial"])
    block = collections.OrderedDict([("link", "identity")])
    fails(["binomial"], block, P + "control['family']['link'] for binomial must be one of "
          + str(LINK_ROWS[14][2]) + "; got 'identity'.")


def test_control_truth_errors_propagate():
    class Ambiguous:
        def __bool__(self):
            raise ValueError("ambiguous")

    with pytest.raises(ValueError, match="ambiguous"):
        kindred.enforce_binomial_kindred({"control": Ambiguous()}, families=["binomial"])


# ---------------------------------------------------------------------------------------------------------
# Accepted keys, dictionary form and list form


@pytest.mark.parametrize("name", sorted(LIKELIHOODS))
@pytest.mark.parametrize("key", ALL_KEYS)
def test_keys_per_likelihood(name, key):
    accepted = LIKELIHOODS[name][0]
    block = {key: NEUTRAL[key]}
    if key in accepted:
        assert run([name], block) is None
        assert run([name], [block]) is None
    else:
        fails([name], block, P + f"control['family'] only accepts {accepted_text(name)} for these likelihoods: {key}.")
        fails([name], [block], P + f"control['family'][0] only accepts {{{accepted_text(name)}}} for '{name}' "
              f"likelihood; got invalid keys: {{{key}}}.")


def test_dictionary_form_accepts_the_union_and_lists_every_offender_sorted():
    fails(["poisson", "beta"], {"zeta": 1, "variant": 0, "alpha": 2, "link": "log"},
          P + "control['family'] only accepts beta.censor.value, hyper, link for these likelihoods: alpha, variant, zeta.")
    assert run(["poisson", "binomial"], {"variant": 1, "control.link": {}}) is None


def test_unknown_likelihoods():
    # dictionary form: nothing is checked when no known likelihood is present
    assert run(["myfamily"], {"anything": object(), "variant": "x", "link": "nonsense"}) is None
    # list form: an unknown name accepts no key; an empty block is skipped
    fails(["myfamily"], [{"b": 1, "a": 2}],
          P + "control['family'][0] only accepts {} for 'myfamily' likelihood; got invalid keys: {a, b}.")
    assert run(["myfamily", "binomial"], [{}, {"variant": 1}]) is None
    # a non-string family name is shown with str()
    fails([7], [{"link": "x"}], P + "control['family'][0] only accepts {} for '7' likelihood; got invalid keys: {link}.")


@pytest.mark.parametrize("key, shown", [(1, "1"), ((1, 2), "(1, 2)"), (None, "None"), (2.5, "2.5")])
def test_non_string_keys_are_reported_with_str(key, shown):
    fails(["poisson"], {key: 1, "zz": 2}, P + f"control['family'] only accepts link for these likelihoods: {shown}, zz.")
    fails(["poisson"], [{key: 1}],
          P + f"control['family'][0] only accepts {{link}} for 'poisson' likelihood; got invalid keys: {{{shown}}}.")


def test_key_that_collides_with_a_name_and_cannot_compare():
    class Collide:
        def __hash__(self):
            return hash("link")

        def __eq__(self, other):
            raise RuntimeError("eq")

        def __str__(self):
            return "collide"

    # the key check rejects the key first; the user's __eq__ never decides anything
    fails(["poisson"], {Collide(): 1}, P + "control['family'] only accepts link for these likelihoods: collide.")

    class BadStr(Collide):
        def __str__(self):
            raise RuntimeError("str")

    with pytest.raises(RuntimeError, match="str"):
        run(["poisson"], {BadStr(): 1})


# ---------------------------------------------------------------------------------------------------------
# Variants


class IntRaises:
    def __init__(self, exc):
        self.exc = exc

    def __int__(self):
        raise self.exc


DICT_INT = P + "control['family']['variant'] must be an integer (0 or 1)."


@pytest.mark.parametrize("families, value, valid", [
    (["binomial"], 0, None), (["binomial"], 1, None), (["binomial"], "1", None), (["binomial"], 1.9, None),
    (["binomial"], True, None), (["binomial"], False, None), (["binomial"], -0.5, None),
    (["binomial"], 2, [0, 1]), (["binomial"], -1, [0, 1]), (["binomial"], 10 ** 40, [0, 1]),
    (["binomial"], -(10 ** 40), [0, 1]), (["binomial"], 2.0, [0, 1]),
    (["nbinomial"], 2, None), (["nbinomial"], 3, [0, 1, 2]),
    (["nbinomial2"], 0, None), (["nbinomial2"], 1, [0]),
    (["nbinomial", "nbinomial2"], 2, [0]), (["nbinomial2", "nbinomial"], 1, [0]),
    (["binomial", "nbinomial"], 2, None), (["weibull", "poisson"], 1, None),
])
def test_dictionary_form_variants(families, value, valid):
    if valid is None:
        assert run(families, {"variant": value}) is None
    else:
        fails(families, {"variant": value},
              P + f"control['family']['variant'] must be one of {valid} for the requested family.")


@pytest.mark.parametrize("value, cause", [
    (None, TypeError), ("abc", ValueError), ("1.5", ValueError), ([1], TypeError), (float("nan"), ValueError),
    (float("inf"), OverflowError), (IntRaises(RuntimeError("int")), RuntimeError),
    (IntRaises(ZeroDivisionError()), ZeroDivisionError),
])
def test_variant_conversion_failures_are_chained(value, cause):
    error = fails(["binomial"], {"variant": value}, DICT_INT)
    assert isinstance(error.__cause__, cause)
    assert error.__suppress_context__ and error.__context__ is error.__cause__
    error = fails(["binomial", "poisson"], [{"variant": value}, {}], P + "control['family'][0]['variant'] must be "
                  "an integer (0 or 1).")
    assert isinstance(error.__cause__, cause)


def test_variant_conversion_does_not_swallow_base_exceptions():
    with pytest.raises(Stop):
        run(["binomial"], {"variant": IntRaises(Stop())})
    with pytest.raises(Stop):
        run(["binomial"], [{"variant": IntRaises(Stop())}])


@pytest.mark.parametrize("name, value, valid", [
    ("binomial", 2, [0, 1]), ("xbinomial", 5, [0, 1]), ("nbinomial", 3, [0, 1, 2]), ("nbinomial2", 1, [0]),
    ("betabinomial", 2, [0, 1]), ("loglogistic", 2, [0, 1]), ("weibullsurv", -1, [0, 1]),
])
def test_list_form_variants(name, value, valid):
    for ok in valid:
        assert run([name], [{"variant": ok}]) is None
    fails([name], [{"variant": value}], P + f"control['family'][0]['variant'] must be one of {valid} for '{name}'.")
    # each block is matched to its own family: nbinomial keeps variant 2 next to nbinomial2
    assert run(["nbinomial", "nbinomial2"], [{"variant": 2}, {"variant": 0}]) is None


# ---------------------------------------------------------------------------------------------------------
# Hyper


@pytest.mark.parametrize("families, hyper, message", [
    (["gaussian"], 3, P + "control['family']['hyper'] must be a dict or list of dicts."),
    (["gaussian"], "x", P + "control['family']['hyper'] must be a dict or list of dicts."),
    (["gaussian"], ({},), P + "control['family']['hyper'] must be a dict or list of dicts."),
    (["gaussian"], [1, 2], None),
    (["gaussian"], {}, None),
    (["gaussian"], collections.OrderedDict(), None),
    (["gaussian"], None, None),
    (["nbinomial2"], {}, HYPER_MESSAGE),
    (["nbinomial2"], 3, HYPER_MESSAGE),
    (["nbinomial2"], None, None),
    (["nbinomial2", "gaussian"], {}, None),
    (["nbinomial2", "binomial"], [], HYPER_MESSAGE),
])
def test_dictionary_form_hyper(families, hyper, message):
    if message is None:
        assert run(families, {"hyper": hyper}) is None
    else:
        fails(families, {"hyper": hyper}, message)


@pytest.mark.parametrize("name", sorted(n for n, (keys, hv, _) in LIKELIHOODS.items() if "hyper" in keys))
def test_list_form_hyper(name):
    hv = LIKELIHOODS[name][1]
    assert run([name], [{"hyper": None}]) is None
    if hv:
        assert run([name], [{"hyper": [{"prec": 1}]}]) is None
        fails([name], [{"hyper": 3}], P + "control['family'][0]['hyper'] must be a dict or list of dicts.")
    else:
        fails([name], [{"hyper": {}}], P + f"control['family'][0]['hyper'] is not valid for '{name}' likelihood.")


# ---------------------------------------------------------------------------------------------------------
# Beta censoring


class FloatRaises:
    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc


@pytest.mark.parametrize("value, shown", [
    (0.25, None), ("0.1", None), (0, None), (0.0, None), (0.4999, None), (float("nan"), None), (None, None),
    (True, "1.0"), (0.5, "0.5"), (-0.1, "-0.1"), ("0.5", "0.5"), (float("inf"), "inf"), (-1e-300, "-1e-300"),
    (10 ** 20, "1e+20"),
])
def test_beta_censor_range(value, shown):
    for block, prefix in (({B: value}, "control['family']"), ([{B: value}], "control['family'][0]")):
        if shown is None:
            assert run(["beta"], block) is None
        else:
            fails(["beta"], block, P + f"{prefix}['beta.censor.value'] must be in [0, 0.5); got {shown}.")


@pytest.mark.parametrize("value, cause", [
    ("abc", ValueError), ([0.1], TypeError), ({}, TypeError), (FloatRaises(ValueError("v")), ValueError),
    (FloatRaises(TypeError("t")), TypeError),
])
def test_beta_censor_not_a_number(value, cause):
    for block, prefix in (({B: value}, "control['family']"), ([{B: value}], "control['family'][0]")):
        error = fails(["beta"], block, P + f"{prefix}['beta.censor.value'] must be a number.")
        assert type(error.__cause__) is cause


@pytest.mark.parametrize("value, exc", [
    (FloatRaises(RuntimeError("r")), RuntimeError), (10 ** 400, OverflowError), (FloatRaises(Stop()), Stop)])
def test_beta_censor_other_errors_propagate(value, exc):
    with pytest.raises(exc):
        run(["beta"], {B: value})
    with pytest.raises(exc):
        run(["beta"], [{B: value}])


def test_beta_censor_only_read_for_beta_in_the_list_form():
    # the key is accepted for beta only; for beta in the list form the value is judged per block
    fails(["beta", "gaussian"], [{}, {B: 0.1}],
          P + "control['family'][1] only accepts {hyper, link} for 'gaussian' likelihood; got invalid keys: "
          "{beta.censor.value}.")


# ---------------------------------------------------------------------------------------------------------
# Link names per likelihood


@pytest.mark.parametrize("row, fams, links", LINK_ROWS, ids=[r[0] + str(i) for i, r in enumerate(LINK_ROWS)])
def test_link_rows(row, fams, links):
    assert links == sorted(links)
    for name in sorted(fams):
        quantile_ok = {C: {"quantile": 0.5}} if C in LIKELIHOODS[name][0] else {}
        for link in links:
            if link == "quantile" and not quantile_ok:
                continue
            assert run([name], {"link": link, **(quantile_ok if link == "quantile" else {})}) is None
        fails([name], {"link": "bogus"}, P + f"control['family']['link'] for {row} must be one of {links}; got 'bogus'.")


def test_link_message_shows_the_raw_value_and_accepts_what_normalises():
    assert run(["binomial"], {"link": "  LOGIT "}) is None
    fails(["xbinomial"], {"link": " Identity"}, P + "control['family']['link'] for binomial must be one of "
          + str(LINK_ROWS[14][2]) + "; got ' Identity'.")
    assert run(["binomial"], {"link": None}) is None


def test_link_rows_run_in_table_order():
    # gaussian (row 13) accepts logit, poisson (row 14) does not
    fails(["gaussian", "poisson"], {"link": "logit"},
          P + "control['family']['link'] for poisson must be one of ['default', 'log', 'logoffset', 'quantile']; "
          "got 'logit'.")
    # beta (row 1) before binomial (row 15), whatever the order of the family list
    fails(["binomial", "beta"], {"link": "identity"},
          P + f"control['family']['link'] for beta must be one of {BINARY}; got 'identity'.")
    # the loglogistic row runs for loglogistic only
    fails(["loglogisticsurv"], {"link": "identity"},
          P + "control['family']['link'] for loglogisticsurv must be one of ['default', 'log', 'neglog']; "
          "got 'identity'.")


def test_link_normaliser_errors_propagate():
    with pytest.raises(SafetyError, match="'link' must be a string; got int"):
        run(["binomial"], {"link": 3})


@pytest.mark.parametrize("name", ["weibull", "weibullsurv", "gamma", "gammasurv"])
@pytest.mark.parametrize("control_link, message", [
    ({"quantile": 0.5}, None),
    ({"quantile": "0.25"}, None),
    ({"quantile": 1e-12}, None),
    ({"quantile": 0}, P + "control.link['quantile'] must be in (0, 1)."),
    ({"quantile": 1}, P + "control.link['quantile'] must be in (0, 1)."),
    ({"quantile": -0.5}, P + "control.link['quantile'] must be in (0, 1)."),
    ({"quantile": float("nan")}, P + "control.link['quantile'] must be in (0, 1)."),
    ({"quantile": None}, QUANTILE_MISSING),
    ({}, QUANTILE_MISSING),
    (None, QUANTILE_MISSING),
    ([{"quantile": 0.5}], QUANTILE_MISSING),
    ({"other": 0.5}, QUANTILE_MISSING),
    ({"quantile": "abc"}, P + "control.link['quantile'] must be numeric."),
    ({"quantile": [0.5]}, P + "control.link['quantile'] must be numeric."),
])
def test_quantile_level(name, control_link, message):
    block = {"link": "Quantile", "control.link": control_link}
    if message is None:
        assert run([name], block) is None
    else:
        error = fails([name], block, message)
        if message.endswith("numeric."):
            assert isinstance(error.__cause__, (TypeError, ValueError))


def test_quantile_level_other_errors_propagate():
    with pytest.raises(RuntimeError):
        run(["gamma"], {"link": "quantile", "control.link": {"quantile": FloatRaises(RuntimeError())}})


def test_poisson_quantile_never_passes():
    fails(["poisson"], {"link": "quantile", "control.link": {"quantile": 0.5}},
          P + "control['family'] only accepts link for these likelihoods: control.link.")
    fails(["poisson"], {"link": "quantile"}, QUANTILE_MISSING)


def test_list_form_does_not_check_links():
    assert run(["binomial"], [{"link": "identity"}]) is None
    assert run(["weibull"], [{"link": "quantile"}]) is None


# ---------------------------------------------------------------------------------------------------------
# List form structure


def test_list_form_entries_checked_before_the_count():
    fails(["a", "b"], [{}, "x"], P + "control['family'][1] must be a dict.")
    fails(["a"], [{}, {}, 3], P + "control['family'][2] must be a dict.")
    fails(["a", "b"], [{"link": "logit"}], P + "control['family'] has 1 entries but there are 2 families.")
    fails([], [{}], P + "control['family'] has 1 entries but there are 0 families.")
    assert run([], []) is None


def test_list_form_pairs_blocks_by_position_and_skips_empty_ones():
    fails(["binomial", "poisson"], [{"variant": 1}, {"variant": 1}],
          P + "control['family'][1] only accepts {link} for 'poisson' likelihood; got invalid keys: {variant}.")
    assert run(["poisson", "binomial"], [{}, {"variant": 1}]) is None


def test_list_form_accepts_subclasses():
    class Blocks(list):
        pass

    fails(["binomial"], Blocks([collections.OrderedDict(bogus=1)]),
          P + "control['family'][0] only accepts {control.link, link, variant} for 'binomial' likelihood; "
          "got invalid keys: {bogus}.")
    assert run(["binomial"], Blocks([collections.OrderedDict(variant=1)])) is None


def test_list_changed_by_a_block_while_checked():
    blocks = []

    class Shrinking(dict):
        def get(self, key, default=None):
            blocks.clear()
            return dict.get(self, key, default)

    blocks.extend([Shrinking(variant=1), {"bogus": 1}])
    assert run(["binomial", "binomial"], blocks) is None  # the second block went away before it was read


# ---------------------------------------------------------------------------------------------------------
# The order of the rules


@pytest.mark.parametrize("families, block, message", [
    (["binomial"], {"variant": 9, "bogus": 1},
     P + "control['family'] only accepts control.link, link, variant for these likelihoods: bogus."),
    (["nbinomial2"], {"variant": 9, "hyper": {}}, P + "control['family']['variant'] must be one of [0] for the requested family."),
    (["beta"], {"hyper": 3, B: 0.9}, P + "control['family']['hyper'] must be a dict or list of dicts."),
    (["beta"], {B: 0.9, "link": "identity"}, P + "control['family']['beta.censor.value'] must be in [0, 0.5); got 0.9."),
    (["nbinomial"], [{"variant": 9, "hyper": 3}], P + "control['family'][0]['variant'] must be one of [0, 1, 2] for 'nbinomial'."),
    (["beta"], [{"hyper": 3, B: 0.9}], P + "control['family'][0]['hyper'] must be a dict or list of dicts."),
    (["binomial"], [{"variant": 9}, {}, "not a dict"], P + "control['family'][2] must be a dict."),
])
def test_first_violated_rule_wins(families, block, message):
    fails(families, block, message)


# ---------------------------------------------------------------------------------------------------------
# Names looked up at call time


def test_safety_error_looked_up_at_call_time(monkeypatch):
    class Other(Exception):
        pass

    monkeypatch.setattr(kindred, "SafetyError", Other)
    with pytest.raises(Other) as info:
        run(["binomial"], {"variant": None})
    assert str(info.value) == DICT_INT and isinstance(info.value.__cause__, TypeError)
    monkeypatch.setattr(kindred, "SafetyError", lambda message: "not an exception")
    with pytest.raises(TypeError, match="exceptions must derive from BaseException"):
        run(["binomial"], {"variant": 5})


def test_normalisers_looked_up_at_call_time(monkeypatch):
    seen = []
    monkeypatch.setattr(kindred, "_normalize_family_spec", lambda v: seen.append(v) or ("nbinomial2",))
    with pytest.raises(SafetyError, match=r"one of \[0\]"):
        kindred.enforce_binomial_kindred({"family": "x", "control": {"family": {"variant": 1}}})
    assert seen == ["x"]
    kindred.enforce_binomial_kindred({})
    assert seen == ["x", None]

    links = []
    monkeypatch.setattr(kindred, "_normalize_link_value", lambda v: links.append(v) or "logit")
    assert run(["gaussian", "binomial"], {"link": 12}) is None
    assert links == [12, 12]  # once per row that runs
    monkeypatch.setattr(kindred, "_normalize_link_value", lambda v: None)
    assert run(["poisson"], {"link": "nonsense"}) is None


def test_single_block_check_looked_up_at_call_time(monkeypatch):
    calls = []
    monkeypatch.setattr(kindred, "_validate_single_family_control", lambda *a: calls.append(a))
    blocks = [{"variant": 99}, {}, {"x": 1}]
    assert run(["binomial", "poisson", 5], blocks) is None
    assert calls == [("binomial", blocks[0], 0), (5, blocks[2], 2)]
    assert type(calls[0][2]) is int


def test_link_check_looked_up_at_call_time(monkeypatch):
    calls = []
    monkeypatch.setattr(kindred, "_validate_link_for_family", lambda *a: calls.append(a))
    block = {"link": "anything"}
    assert run(["xbinomial", "gamma"], block) is None
    assert [c[1] for c in calls] == [row for row, _, _ in LINK_ROWS]
    assert all(c[0] is block for c in calls)
    assert [c[2] for c in calls] == [row in ("binomial", "gamma") for row, _, _ in LINK_ROWS]
    assert all(type(c[2]) is bool for c in calls)
    assert [c[3] for c in calls] == [set(links) for _, _, links in LINK_ROWS]
    assert all(type(c[3]) is set for c in calls)


# ---------------------------------------------------------------------------------------------------------
# The helpers called directly


def test_single_block_check_directly():
    assert kindred._validate_single_family_control("binomial", {"variant": 1}) is None
    with pytest.raises(SafetyError) as info:
        kindred._validate_single_family_control("binomial", {"variant": 3})
    assert str(info.value) == P + "control['family']['variant'] must be one of [0, 1] for 'binomial'."
    with pytest.raises(SafetyError) as info:
        kindred._validate_single_family_control("poisson", {"hyper": 1}, idx="k")
    assert str(info.value) == P + ("control['family'][k] only accepts {link} for 'poisson' likelihood; got invalid "
                                   "keys: {hyper}.")
    with pytest.raises(SafetyError) as info:
        kindred._validate_single_family_control(family_name="beta", family_block={B: -1}, idx=4)
    assert str(info.value) == P + "control['family'][4]['beta.censor.value'] must be in [0, 0.5); got -1.0."


def test_link_check_directly():
    check = kindred._validate_link_for_family
    assert check({"link": "c"}, "custom", False, {"a"}) is None
    assert check({"link": None}, "custom", True, {"a"}) is None
    assert check({"link": "B"}, "custom", 1, {"a", "b"}) is None
    with pytest.raises(SafetyError) as info:
        check({"link": "C"}, "custom", True, {"b", "a"})
    assert str(info.value) == P + "control['family']['link'] for custom must be one of ['a', 'b']; got 'C'."
    with pytest.raises(SafetyError, match=r"\(0, 1\)"):
        check({"link": "quantile", "control.link": {"quantile": 2}}, "custom", True, {"quantile"})
    with pytest.raises(SafetyError, match="requires"):
        check({"link": "quantile"}, "custom", True, {"quantile"})
    with pytest.raises(TypeError):  # sorting names of mixed types for the message
        check({"link": "x"}, "custom", True, {"a", 1})


# ---------------------------------------------------------------------------------------------------------
# Robustness: nested, self-referencing and hostile inputs


def nested(depth, leaf):
    for _ in range(depth):
        leaf = [leaf]
    return leaf


def test_deeply_nested_values():
    deep = nested(100000, {"variant": 1})
    fails(["binomial"], deep, P + "control['family'][0] must be a dict.")
    assert run(["gaussian"], {"hyper": deep}) is None
    assert run(["gaussian"], [{"hyper": deep}]) is None
    with pytest.raises(SafetyError, match=r"variant'\] must be an integer"):
        run(["binomial"], {"variant": deep})
    with pytest.raises(SafetyError, match="must be a number"):
        run(["beta"], {B: deep})
    with pytest.raises(SafetyError, match="'link' must be a string"):
        run(["binomial"], {"link": deep})


def test_deeply_nested_key_and_link_rendering(monkeypatch):
    key = None
    for _ in range(10000):
        key = (key,)
    with pytest.raises(RecursionError):
        run(["poisson"], {key: 1})
    monkeypatch.setattr(kindred, "_normalize_link_value", lambda v: "nonsense")
    with pytest.raises(RecursionError):
        run(["poisson"], {"link": nested(100000, 1)})


def test_self_referencing_controls():
    control = {}
    control["family"] = control
    kw = {"control": control}
    with pytest.raises(SafetyError, match="only accepts link for these likelihoods: family"):
        kindred.enforce_binomial_kindred(kw, families=["poisson"])
    block = {}
    block["hyper"] = block
    assert run(["gaussian"], block) is None
    assert run(["gaussian"], [block]) is None
    blocks = []
    blocks.append(blocks)
    fails(["gaussian"], blocks, P + "control['family'][0] must be a dict.")
    ctrl = {"link": "quantile"}
    ctrl["control.link"] = ctrl
    fails(["gamma"], ctrl, QUANTILE_MISSING)
    kw = {"family": "binomial"}
    kw["control"] = {"family": {"variant": kw}}
    with pytest.raises(SafetyError) as info:
        kindred.enforce_binomial_kindred(kw)
    assert isinstance(info.value.__cause__, TypeError)
    looping = {"link": None}
    looping["link"] = [looping]
    with pytest.raises(SafetyError, match="'link' must be a string; got list"):
        run(["binomial"], looping)


def test_hostile_mapping_methods_propagate():
    class BadGet(dict):
        def get(self, key, default=None):
            raise KeyError("get")

    with pytest.raises(KeyError):
        kindred.enforce_binomial_kindred({"control": BadGet(family={})}, families=["binomial"])
    with pytest.raises(KeyError):
        run(["binomial"], BadGet(variant=1))

    class BadContains(dict):
        def __contains__(self, key):
            raise LookupError("contains")

    with pytest.raises(LookupError):
        run(["binomial"], BadContains(variant=1))

    class BadIter(dict):
        def __iter__(self):
            raise RuntimeError("iter")

    with pytest.raises(RuntimeError, match="iter"):
        run(["binomial"], BadIter(variant=1))

    class BadLen(dict):
        def __len__(self):
            raise RuntimeError("len")

    with pytest.raises(RuntimeError, match="len"):
        run(["binomial"], [BadLen(variant=1)])


def test_subclass_claiming_keys_it_does_not_hold():
    class Liar(dict):
        """Lists no key, yet claims to hold every key."""

        def __iter__(self):
            return iter(())

        def __contains__(self, key):
            return True

        def get(self, key, default=None):
            return {"variant": 1, "hyper": {}, B: 0.1}.get(key, default)

    # an unknown likelihood has no valid variant; poisson allows no hyper value: messages, no crash
    fails(["myfamily"], [Liar(x=1)], P + "control['family'][0]['variant'] must be one of [] for 'myfamily'.")
    fails(["poisson"], Liar(x=1), HYPER_MESSAGE)
    fails(["exponential"], [Liar(x=1)], P + "control['family'][0]['variant'] must be one of [] for 'exponential'.")


def test_raising_family_list_iteration_propagates():
    def families():
        yield "binomial"
        raise RuntimeError("gen")

    with pytest.raises(RuntimeError, match="gen"):
        run(families(), {"variant": 1})


def test_no_reference_leaks():
    block = {"variant": "abc", "hyper": 3}
    value = object()
    families = ["binomial"]
    cases = [
        (families, block),
        (["beta"], {B: "x"}),
        (["gaussian"], {"hyper": value}),
        (["poisson"], {value: 1}),
        (["binomial"], [{"variant": value}]),
        (["gamma"], {"link": "quantile", "control.link": {"quantile": value}}),
    ]
    before = [sys.getrefcount(o) for o in (block, value, families)]
    for _ in range(2000):
        for fams, blk in cases:
            try:
                run(fams, blk)
            except SafetyError:
                pass
    assert [sys.getrefcount(o) for o in (block, value, families)] == before


def test_nan_and_values_with_hostile_comparisons():
    class NaNLike(float):
        def __lt__(self, other):
            raise RuntimeError("lt")

        __ge__ = __gt__ = __le__ = __eq__ = __lt__
        __hash__ = float.__hash__

    # the level is converted to a plain float before it is compared
    assert run(["beta"], {B: NaNLike(0.1)}) is None
    assert run(["weibull"], {"link": "quantile", "control.link": {"quantile": NaNLike(0.5)}}) is None
