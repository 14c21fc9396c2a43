"""vexil.safety.capture: the call snapshot and the dispatch of every safety check."""

import collections
import inspect
import sys
import typing

import numpy as np
import pytest

from vexil.safety import capture, control, exposure, family, hyperstructure, kindred, random, response, support
from vexil.safety.errors import SafetyError

P = "vexil safety check: "

# The checks in the order a capture runs them, with whether each receives families=.
CHECKS = [
    ("enforce_gaussian_hyperstructure", hyperstructure, True),
    ("enforce_gamma_hyperstructure", hyperstructure, True),
    ("enforce_gamma_support", support, True),
    ("enforce_logistic_hyperstructure", hyperstructure, True),
    ("enforce_loglogistic_hyperstructure", hyperstructure, True),
    ("enforce_nbinomial_hyperstructure", hyperstructure, True),
    ("enforce_betabinomial_hyperstructure", hyperstructure, True),
    ("enforce_sn_hyperstructure", hyperstructure, True),
    ("enforce_t_hyperstructure", hyperstructure, True),
    ("enforce_beta_hyperstructure", hyperstructure, True),
    ("enforce_scale_usage", exposure, True),
    ("enforce_control_structure", control, True),
    ("enforce_random_structure", random, False),
    ("enforce_compute_section", control, False),
    ("enforce_exposure_usage", exposure, True),
    ("enforce_poisson_exposure", exposure, True),
    ("enforce_nbinomial_exposure", exposure, True),
    ("enforce_binomial_trials", exposure, True),
    ("enforce_binomial_kindred", kindred, True),
    ("enforce_multiple_likelihood_response", response, True),
    ("enforce_beta_support", support, True),
    ("enforce_survival_response", response, True),
    ("enforce_poisson_support", support, True),
    ("enforce_nbinomial_support", support, True),
    ("enforce_binomial_support", support, True),
    ("enforce_exponential_support", support, True),
    ("enforce_lognormal_support", support, True),
    ("enforce_weibull_support", support, True),
    ("enforce_loglogistic_support", support, True),
    ("enforce_gaussian_support", support, True),
    ("enforce_logistic_support", support, True),
    ("enforce_t_support", support, True),
    ("enforce_sn_support", support, True),
    ("enforce_offset_values", exposure, False),
    ("enforce_weights_values", exposure, False),
    ("enforce_untested_arguments", response, False),
]
ORDER = ["enforce_allowed_family"] + [name for name, _, _ in CHECKS]


def test_table_shape():
    assert len(CHECKS) == 36 and len(set(ORDER)) == 37
    assert sum(with_families for _, _, with_families in CHECKS) == 31


# ---------------------------------------------------------------------------------------------------------
# Module contents


def test_module_binds_every_check_of_its_siblings():
    assert capture.__doc__ == "User call capture and orchestration of all safety checks."
    assert capture.enforce_allowed_family is family.enforce_allowed_family
    for name, module, _ in CHECKS:
        assert getattr(capture, name) is getattr(module, name), name
    for name in ("Any", "Dict", "Tuple"):
        assert getattr(capture, name) is getattr(typing, name)
    assert not hasattr(capture, "enforce_random_weights_values")
    functions = [n for n, v in vars(capture).items() if callable(v) and getattr(v, "__module__", None) == capture.__name__]
    assert functions == ["capture_user_call"]


def test_signature():
    f = capture.capture_user_call
    assert str(inspect.signature(f)) == "(args: 'Tuple[Any, ...]', kwargs: 'Dict[str, Any]') -> 'Dict[str, Any]'"
    assert f.__doc__.startswith("Snapshot the raw arguments supplied by the user.")
    assert "shallow copy of the keyword arguments" in f.__doc__
    assert f.__module__ == "vexil.safety.capture" and f.__name__ == "capture_user_call"


# ---------------------------------------------------------------------------------------------------------
# Recorders in place of every check


class Recorder:
    """Stands in for enforce_allowed_family and the 36 checks; records each call in one shared log."""

    def __init__(self, monkeypatch, families=None):
        self.log = []
        self.families = ["gaussian", "poisson"] if families is None else families
        self.fail_at = None
        self.error = None
        self.hooks = {}
        monkeypatch.setattr(capture, "enforce_allowed_family", self._make("enforce_allowed_family"))
        for name, _, _ in CHECKS:
            monkeypatch.setattr(capture, name, self._make(name))

    def _make(self, name):
        def check(*args, **kwargs):
            self.log.append((name, args, kwargs))
            if name in self.hooks:
                self.hooks[name]()
            if name == self.fail_at:
                raise self.error
            if name == "enforce_allowed_family":
                return self.families
            return "ignored result"

        check.__name__ = name
        return check

    @property
    def names(self):
        return [entry[0] for entry in self.log]


@pytest.fixture
def recorder(monkeypatch):
    return Recorder(monkeypatch)


def test_dispatch_order_and_arguments(recorder):
    kwargs = {"family": "gaussian", "y": [1, 2]}
    snapshot = capture.capture_user_call(("y ~ 1",), kwargs)
    assert recorder.names == ORDER
    fam_name, fam_args, fam_kwargs = recorder.log[0]
    assert fam_args == (snapshot,) and fam_args[0] is snapshot and fam_kwargs == {}
    for (name, args, kw), (expected, _, with_families) in zip(recorder.log[1:], CHECKS):
        assert name == expected
        assert len(args) == 1 and args[0] is snapshot
        if with_families:
            assert list(kw) == ["families"]
            assert kw["families"] is recorder.families  # the very object returned, not the stored tuple
        else:
            assert kw == {}
    assert sum("families" in kw for _, _, kw in recorder.log) == 31
    assert snapshot is not kwargs
    assert snapshot["__families__"] == ("gaussian", "poisson") and type(snapshot["__families__"]) is tuple


def test_snapshot_is_complete_when_the_family_step_runs(recorder):
    seen = []
    recorder.hooks["enforce_allowed_family"] = lambda: seen.append(dict(recorder.log[0][1][0]))
    recorder.hooks["enforce_gaussian_hyperstructure"] = lambda: seen.append(dict(recorder.log[1][1][0]))
    capture.capture_user_call((1, 2), {"a": 1})
    assert seen[0] == {"a": 1, "__args__": (1, 2)}
    assert seen[1] == {"a": 1, "__args__": (1, 2), "__families__": ("gaussian", "poisson")}


@pytest.mark.parametrize("position", range(len(ORDER)), ids=ORDER)
def test_first_failure_wins(recorder, position):
    recorder.fail_at = ORDER[position]
    recorder.error = SafetyError(P + "failure " + str(position))
    kwargs = {"family": "gaussian"}
    with pytest.raises(SafetyError) as info:
        capture.capture_user_call((), kwargs)
    assert info.value is recorder.error
    assert recorder.names == ORDER[: position + 1]
    assert kwargs == {"family": "gaussian"}


@pytest.mark.parametrize("error", [KeyError("k"), ValueError("v"), RecursionError()])
def test_any_exception_propagates_unchanged(recorder, error):
    recorder.fail_at = "enforce_binomial_kindred"
    recorder.error = error
    with pytest.raises(type(error)) as info:
        capture.capture_user_call((), {})
    assert info.value is error
    assert recorder.names[-1] == "enforce_binomial_kindred" and len(recorder.names) == 20


def test_checks_are_looked_up_when_their_turn_comes(recorder, monkeypatch):
    late = []
    replacement = lambda snapshot: late.append(snapshot)  # noqa: E731
    recorder.hooks["enforce_gaussian_hyperstructure"] = lambda: monkeypatch.setattr(
        capture, "enforce_untested_arguments", replacement)
    snapshot = capture.capture_user_call((), {})
    assert late == [snapshot]
    assert "enforce_untested_arguments" not in recorder.names


def test_missing_check_raises_name_error(recorder, monkeypatch):
    monkeypatch.delattr(capture, "enforce_t_support")
    with pytest.raises(NameError, match="enforce_t_support"):
        capture.capture_user_call((), {})
    assert recorder.names == ORDER[: ORDER.index("enforce_t_support")]


@pytest.mark.parametrize("families", [("gaussian",), ["a", "b"], []])
def test_families_object_is_passed_as_returned(monkeypatch, families):
    rec = Recorder(monkeypatch, families=families)
    snapshot = capture.capture_user_call((), {})
    assert snapshot["__families__"] == tuple(families)
    assert all(kw["families"] is families for _, _, kw in rec.log if kw)


def test_family_step_failure_stops_everything(recorder):
    recorder.fail_at = "enforce_allowed_family"
    recorder.error = SafetyError("no")
    with pytest.raises(SafetyError):
        capture.capture_user_call((), {})
    assert recorder.names == ["enforce_allowed_family"]


def test_families_not_iterable_raises_before_any_check(recorder):
    recorder.families = 42
    with pytest.raises(TypeError):
        capture.capture_user_call((), {})
    assert recorder.names == ["enforce_allowed_family"]


def test_checks_may_change_the_snapshot(recorder):
    recorder.hooks["enforce_scale_usage"] = lambda: recorder.log[-1][1][0].update(marker=1)
    snapshot = capture.capture_user_call((), {})
    assert snapshot["marker"] == 1


# ---------------------------------------------------------------------------------------------------------
# Argument types


@pytest.mark.parametrize("args, kwargs, message", [
    ([], {}, "Argument 'args' has incorrect type (expected tuple, got list)"),
    (None, {}, "Argument 'args' has incorrect type (expected tuple, got NoneType)"),
    (collections.namedtuple("T", "a")(1), {}, "Argument 'args' has incorrect type (expected tuple, got T)"),
    ((), None, "Argument 'kwargs' has incorrect type (expected dict, got NoneType)"),
    ((), collections.OrderedDict(), "Argument 'kwargs' has incorrect type (expected dict, got collections.OrderedDict)"),
    ((), [("a", 1)], "Argument 'kwargs' has incorrect type (expected dict, got list)"),
    ([], [], "Argument 'args' has incorrect type (expected tuple, got list)"),
])
def test_argument_types_checked_before_anything(recorder, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        capture.capture_user_call(args, kwargs)
    assert str(info.value) == message
    assert recorder.log == []


@pytest.mark.parametrize("call, message", [
    (lambda: capture.capture_user_call(()), "capture_user_call() missing 1 required positional argument: 'kwargs'"),
    (lambda: capture.capture_user_call((), {}, {}),
     "capture_user_call() takes 2 positional arguments but 3 were given"),
    (lambda: capture.capture_user_call((), kw={}), "capture_user_call() got an unexpected keyword argument 'kw'"),
])
def test_call_shape(recorder, call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_arguments_by_keyword(recorder):
    snapshot = capture.capture_user_call(kwargs={"a": 1}, args=(5,))
    assert snapshot == {"a": 1, "__args__": (5,), "__families__": ("gaussian", "poisson")}


# ---------------------------------------------------------------------------------------------------------
# The snapshot, with the package's own checks


def test_empty_call():
    snapshot = capture.capture_user_call((), {})
    assert snapshot == {"__args__": (), "__families__": ()}
    assert list(snapshot) == ["__args__", "__families__"]


def test_snapshot_is_a_shallow_copy():
    shared = [1, 2]
    args = ("y ~ 1",)
    kwargs = {"family": "gaussian", "__args__": "user", "__families__": "user", "shared": shared}
    snapshot = capture.capture_user_call(args, kwargs)
    assert type(snapshot) is dict and snapshot is not kwargs
    assert snapshot["__args__"] is args
    assert snapshot["__families__"] == ("gaussian",)
    assert snapshot["shared"] is shared and snapshot["family"] is kwargs["family"]
    assert list(snapshot) == ["family", "__args__", "__families__", "shared"]
    # the caller's dictionary is untouched, and changing the snapshot's keys does not reach it
    assert kwargs == {"family": "gaussian", "__args__": "user", "__families__": "user", "shared": shared}
    snapshot["family"] = "poisson"
    del snapshot["shared"]
    assert kwargs["family"] == "gaussian" and "shared" in kwargs
    # containers are shared
    capture.capture_user_call(args, kwargs)["shared"].append(3)
    assert shared == [1, 2, 3]


def test_each_call_builds_a_new_snapshot():
    kwargs = {"family": "gaussian"}
    first = capture.capture_user_call((), kwargs)
    second = capture.capture_user_call((), kwargs)
    assert first == second and first is not second


def test_non_string_keys_are_copied():
    snapshot = capture.capture_user_call((), {1: "a", ("t",): "b"})
    assert snapshot[1] == "a" and snapshot[("t",)] == "b"


def test_earlier_check_wins_with_the_real_checks():
    # an exposure for a gaussian model (check 15) and a link gaussian refuses (check 19)
    kwargs = {"family": "gaussian", "E": [1.0, 2.0], "control": {"family": {"link": "probit"}}}
    with pytest.raises(SafetyError) as info:
        capture.capture_user_call((), kwargs)
    assert str(info.value) == P + "'E' (exposure) is only permitted for poisson or nbinomial likelihoods."
    del kwargs["E"]
    with pytest.raises(SafetyError) as info:
        capture.capture_user_call((), kwargs)
    assert str(info.value) == (P + "control['family']['link'] for gaussian must be one of ['cauchit', 'default', "
                               "'identity', 'log', 'loga', 'logit', 'logoffset']; got 'probit'.")


def test_family_step_errors_propagate():
    with pytest.raises(SafetyError, match="'family' must be a string or a list of strings"):
        capture.capture_user_call((), {"family": 12})


def test_kindred_receives_the_family_list(monkeypatch):
    # the family list, not the "family" entry, decides: a family step that names nbinomial2
    monkeypatch.setattr(capture, "enforce_allowed_family", lambda snapshot: ["nbinomial2"])
    monkeypatch.setattr(capture, "enforce_binomial_trials", lambda snapshot, families=None: None)
    with pytest.raises(SafetyError, match=r"must be one of \[0\] for the requested family"):
        capture.capture_user_call((), {"family": "binomial", "control": {"family": {"variant": 1}}})


# ---------------------------------------------------------------------------------------------------------
# A typical call


def typical_call(n=10_000, seed=1):
    rng = np.random.default_rng(seed)
    data = {"y": rng.poisson(3.0, size=n), "x": rng.normal(size=n)}
    kwargs = {
        "data": data,
        "family": "poisson",
        "E": rng.uniform(0.5, 2.0, size=n),
        "offset": rng.normal(size=n),
        "weights": rng.uniform(0.5, 2.0, size=n),
    }
    return ("y ~ x",), kwargs


def test_typical_poisson_call_passes():
    args, kwargs = typical_call()
    snapshot = capture.capture_user_call(args, kwargs)
    assert snapshot["__families__"] == ("poisson",)
    assert all(snapshot[k] is kwargs[k] for k in kwargs)


@pytest.mark.parametrize("change, message", [
    (lambda kw: kw["E"].__setitem__(3, 0.0), P + "'E' (exposure) must be strictly positive; found invalid values: [0.0]."),
    (lambda kw: kw.__setitem__("E", kw["E"][:-1]), P + "'E' length (9999) must match number of observations (10000)."),
    (lambda kw: kw.__setitem__("control", {"family": {"variant": 1}}),
     P + "control['family'] only accepts link for these likelihoods: variant."),
])
def test_typical_call_with_one_fault(change, message):
    args, kwargs = typical_call()
    change(kwargs)
    with pytest.raises(SafetyError) as info:
        capture.capture_user_call(args, kwargs)
    assert str(info.value) == message


# ---------------------------------------------------------------------------------------------------------
# Robustness


class Hostile:
    def __eq__(self, other):
        raise RuntimeError("eq")

    def __hash__(self):
        return hash("family")

    def __int__(self):
        raise RuntimeError("int")

    def __float__(self):
        raise RuntimeError("float")

    def __bool__(self):
        return True


def deep_list(depth):
    value = []
    for _ in range(depth):
        value = [value]
    return value


def self_referencing():
    control_ = {}
    control_["family"] = control_
    return control_


@pytest.mark.parametrize("kwargs", [
    {"family": "gaussian", "control": deep_list(100000)},
    {"family": "gaussian", "control": {"family": {"hyper": deep_list(100000)}}},
    {"family": "gaussian", "control": {"family": deep_list(100000)}},
    {"family": "gaussian", "control": self_referencing()},
    {"family": ["gaussian", "poisson"], "control": {"family": [{"hyper": Hostile()}, {}]}},
    {"family": "binomial", "Ntrials": [1, 1], "control": {"family": {"variant": Hostile()}}},
    {"family": "beta", "control": {"family": {"beta.censor.value": Hostile()}}},
    {"family": "gamma", "control": {"family": {"link": "quantile", "control.link": {"quantile": Hostile()}}}},
    {"family": "gaussian", "control": {"family": {Hostile(): 1}}},
    {"family": "gaussian", "control": {Hostile(): 1, "other": 2}},
    {"family": "gaussian", "control": {"family": {"link": deep_list(100000)}}},
    {"family": deep_list(1000)},
    {"family": "gaussian", "E": deep_list(100000)},
])
def test_hostile_inputs_give_a_result_or_a_python_exception(kwargs):
    try:
        result = capture.capture_user_call((), kwargs)
    except Exception as exc:  # noqa: BLE001 -- any ordinary Python exception is an acceptable outcome
        assert not isinstance(exc, SystemError)
    else:
        assert type(result) is dict


def test_hostile_inputs_reach_the_expected_outcome():
    with pytest.raises(SafetyError) as info:
        capture.capture_user_call((), {"family": "binomial", "Ntrials": [1],
                                       "control": {"family": {"variant": Hostile()}}})
    assert isinstance(info.value.__cause__, RuntimeError)
    with pytest.raises(RuntimeError, match="float"):
        capture.capture_user_call((), {"family": "beta", "control": {"family": {"beta.censor.value": Hostile()}}})
    with pytest.raises(SafetyError, match="only accepts hyper, link for these likelihoods: family"):
        capture.capture_user_call((), {"family": "gaussian", "control": self_referencing()})


def test_no_reference_leaks(recorder):
    value = object()
    families = recorder.families
    args = (value,)
    kwargs = {"v": value}
    before = [sys.getrefcount(o) for o in (value, families, args, kwargs)]
    for i in range(3000):
        recorder.log.clear()
        recorder.fail_at = ORDER[i % len(ORDER)] if i % 2 else None
        recorder.error = SafetyError("x")
        try:
            capture.capture_user_call(args, kwargs)
        except SafetyError:
            pass
    recorder.log.clear()
    recorder.error = None
    assert [sys.getrefcount(o) for o in (value, families, args, kwargs)] == before
