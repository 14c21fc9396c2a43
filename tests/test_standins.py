"""The package's outside modules that the native modules import and call: program locators, the
multibyte-text test and the sibling safety modules."""

import math
import os
import stat
import sys
from decimal import Decimal
from fractions import Fraction
from pathlib import Path

import numpy as np
import pytest

import vexil
from vexil import utils as vutils
from vexil.binary import call
from vexil.safety import control, family, hyperstructure, random, response, support
from vexil.safety import utils as sutils
from vexil.safety.errors import SafetyError

PREFIX = "vexil safety check: "

# ---------------------------------------------------------------------------------------------------
# Program locators

LOCATORS = [
    pytest.param(call.orvo_call_builtin, "orvo", id="engine"),
    pytest.param(call.tessor_call_builtin, "tessor", id="mesh"),
    pytest.param(call.orvo_remote_script, "orvo.remote", id="remote"),
]


@pytest.fixture
def places(tmp_path, monkeypatch):
    """An empty package bin folder and a PATH made of one empty folder, both under tmp_path."""
    pkg_bin = tmp_path / "pkg" / "bin"
    on_path = tmp_path / "onpath"
    pkg_bin.mkdir(parents=True)
    on_path.mkdir()
    monkeypatch.setattr(call, "_PACKAGE_BIN_DIR", str(pkg_bin))
    monkeypatch.setenv("PATH", str(on_path))
    return pkg_bin, on_path


def _install(folder, name, executable=True):
    path = folder / name
    path.write_text("#!/bin/sh\nexit 0\n")
    mode = path.stat().st_mode
    path.chmod(mode | stat.S_IXUSR if executable else mode & ~(stat.S_IXUSR | stat.S_IXGRP | stat.S_IXOTH))
    return str(path)


def test_package_bin_folder_is_inside_the_package():
    assert Path(call._PACKAGE_BIN_DIR) == Path(vexil.__file__).resolve().parent / "bin"


@pytest.mark.parametrize("locate, name", LOCATORS)
def test_locator_prefers_the_package_bin_folder(places, locate, name):
    pkg_bin, on_path = places
    on_the_path = _install(on_path, name)
    assert locate() == on_the_path
    shipped = _install(pkg_bin, name)
    assert locate() == shipped


@pytest.mark.skipif(sys.platform == "win32", reason="no execute bit")
@pytest.mark.parametrize("locate, name", LOCATORS)
def test_locator_skips_what_cannot_run(places, monkeypatch, locate, name):
    pkg_bin, on_path = places
    _install(pkg_bin, name, executable=False)
    (on_path / name).mkdir()
    later = on_path.parent / "later"
    later.mkdir()
    monkeypatch.setenv("PATH", os.pathsep.join([str(on_path), str(later)]))
    found = _install(later, name)
    assert locate() == found


def test_nothing_installed(places):
    assert call.orvo_call_builtin() is None
    assert call.orvo_remote_script() is None
    with pytest.raises(FileNotFoundError, match="tessor"):
        call.tessor_call_builtin()


def test_missing_package_bin_folder_falls_back_to_path(places, monkeypatch, tmp_path):
    _, on_path = places
    monkeypatch.setattr(call, "_PACKAGE_BIN_DIR", str(tmp_path / "no" / "such" / "bin"))
    assert call.orvo_call_builtin() is None
    found = _install(on_path, "orvo")
    assert call.orvo_call_builtin() == found


@pytest.mark.parametrize("locate, name", LOCATORS)
def test_locator_looks_again_at_every_call(places, locate, name):
    pkg_bin, _ = places
    if name == "tessor":
        with pytest.raises(FileNotFoundError):
            locate()
    else:
        assert locate() is None
    shipped = _install(pkg_bin, name)
    assert locate() == shipped
    os.remove(shipped)
    if name == "tessor":
        with pytest.raises(FileNotFoundError):
            locate()
    else:
        assert locate() is None


def test_relative_path_entry_gives_an_absolute_location(places, monkeypatch, tmp_path):
    _, on_path = places
    found = _install(on_path, "orvo")
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("PATH", "onpath")
    result = call.orvo_call_builtin()
    assert isinstance(result, str) and os.path.isabs(result)
    assert os.path.samefile(result, found)


# ---------------------------------------------------------------------------------------------------
# Multibyte text


def test_multibyte_test_is_exact_over_every_code_point():
    wrong = [cp for cp in range(0x110000)
             if vutils.orvo_anyMultibyteUTF8Characters("a" + chr(cp) + "b")
             != (len(chr(cp).encode("utf-8", "surrogatepass")) > 1)]
    assert wrong == []


class _Text(str):
    pass


@pytest.mark.parametrize("text, expected", [
    ("", False),
    ("/home/user/work dir", False),
    ("\x00\x7f", False),
    ("/home/j\u00fcrgen", True),
    ("C:\\Users\\\u65e5\u672c", True),
    ("x" * 10000 + "\U0001f600", True),
    ("/tmp/bad\udcff", True),          # an undecodable file-name byte
    (_Text("caf\u00e9"), True),
    (_Text("cafe"), False),
    (b"caf\xc3\xa9", True),
    (b"\xff", True),
    (b"plain", False),
    (bytearray(b"caf\xc3\xa9"), True),
    (Path("/tmp/\u00e9t\u00e9"), True),
    (Path("/tmp/ete"), False),
    (None, False),
    (42, False),
    (["\u00e9"], False),
])
def test_multibyte_cases(text, expected):
    result = vutils.orvo_anyMultibyteUTF8Characters(text)
    assert type(result) is bool
    assert result is expected


# ---------------------------------------------------------------------------------------------------
# Errors, family and link names


def test_safety_error_carries_its_message():
    assert issubclass(SafetyError, Exception)
    err = SafetyError(PREFIX + "x")
    assert str(err) == PREFIX + "x" and err.args == (PREFIX + "x",)


@pytest.mark.parametrize("raw, expected", [
    (None, []),
    ("Poisson", ["poisson"]),
    ("  GAUSSIAN\n", ["gaussian"]),
    (["Gaussian", "POISSON", "gaussian"], ["gaussian", "poisson", "gaussian"]),
    (("binomial",), ["binomial"]),
    ((name for name in ["T", "sn"]), ["t", "sn"]),
    (np.array(["Gamma", "Beta"]), ["gamma", "beta"]),
    ([], []),
    (_Text("XBinomial"), ["xbinomial"]),
])
def test_family_value_gives_lower_case_list(raw, expected):
    names = family._normalize_family_spec(raw)
    assert names == expected
    assert type(names) is list and all(type(name) is str for name in names)


@pytest.mark.parametrize("raw", [3, 2.5, b"poisson", {"family": "poisson"}, ["poisson", None],
                                  [["poisson"]], object()])
def test_family_value_refuses_what_is_not_names(raw):
    with pytest.raises(SafetyError) as info:
        family._normalize_family_spec(raw)
    assert str(info.value).startswith(PREFIX + "'family' must be a string or a list of strings")


@pytest.mark.parametrize("kwargs, expected", [
    ({}, []),
    ({"family": None}, []),
    ({"family": "Poisson"}, ["poisson"]),
    ({"family": ("gaussian", "NBinomial")}, ["gaussian", "nbinomial"]),
])
def test_allowed_family_returns_a_fresh_reiterable_list(kwargs, expected):
    snapshot = dict(kwargs)
    first = family.enforce_allowed_family(snapshot)
    assert type(first) is list and first == expected
    assert list(first) == list(first)           # the capture hands the same object to many checks
    second = family.enforce_allowed_family(snapshot)
    assert second == first and second is not first
    assert snapshot == kwargs


def test_allowed_family_refuses_a_bad_value():
    with pytest.raises(SafetyError):
        family.enforce_allowed_family({"family": 7})


@pytest.mark.parametrize("raw, expected", [
    ("logit", "logit"), ("LogIt", "logit"), (" Quantile ", "quantile"), ("default", "default"),
    ("", ""), (None, None), (_Text("PROBIT"), "probit"),
])
def test_link_value_normalised(raw, expected):
    norm = family._normalize_link_value(raw)
    assert norm == expected
    assert norm is None or type(norm) is str


@pytest.mark.parametrize("raw", [1, b"logit", ["logit"], {"link": "logit"}])
def test_link_value_refuses_non_text(raw):
    with pytest.raises(SafetyError, match="^" + PREFIX + "'link' must be a string"):
        family._normalize_link_value(raw)


# ---------------------------------------------------------------------------------------------------
# Numeric argument values


class _Num:
    def __float__(self):
        return 4.25


def _same_floats(got, expected):
    return (len(got) == len(expected)
            and all((math.isnan(a) and math.isnan(b)) or a == b for a, b in zip(got, expected)))


@pytest.mark.parametrize("value, expected", [
    ([1, 2.5, True, False], [1.0, 2.5, 1.0, 0.0]),
    ((3,), [3.0]),
    ([], []),
    (2, [2.0]),
    (0.5, [0.5]),
    (np.float32(2.5), [2.5]),
    (np.int64(7), [7.0]),
    (np.array(9.0), [9.0]),
    (np.array([[1], [2], [3]]), [1.0, 2.0, 3.0]),
    (np.array([[1.5, 2.5], [3.5, 4.5]]), [1.5, 2.5, 3.5, 4.5]),
    (np.array([1, 2], dtype=np.uint8), [1.0, 2.0]),
    (np.array([1.5], dtype=np.longdouble), [1.5]),
    (np.array([1.0, 2.0, 3.0])[::2], [1.0, 3.0]),
    (range(2), [0.0, 1.0]),
    ([Decimal("1.5"), Fraction(1, 4), _Num(), np.float64(-2)], [1.5, 0.25, 4.25, -2.0]),
    ([float("nan"), math.inf, -math.inf, 0.0, -3], [float("nan"), math.inf, -math.inf, 0.0, -3.0]),
    (np.array([np.nan, -np.inf, 0.0]), [float("nan"), -math.inf, 0.0]),
    ([2 ** 80], [float(2 ** 80)]),
])
def test_float_list_results(value, expected):
    for convert in (sutils._as_float_list, sutils._normalize_positive_sequence):
        got = convert("E", value)
        assert type(got) is list
        assert all(type(v) is float for v in got)
        assert _same_floats(got, expected)


def test_float_list_reads_a_generator_once_and_leaves_input_alone():
    assert sutils._as_float_list("Ntrials", (n for n in [1, 2, 3])) == [1.0, 2.0, 3.0]
    values = [1, 2]
    arr = np.array([[1.0], [2.0]])
    got = sutils._as_float_list("E", values)
    got.append(9.0)
    assert values == [1, 2]
    got = sutils._as_float_list("E", arr)
    got[0] = -1.0
    assert arr.tolist() == [[1.0], [2.0]]


def test_float_list_of_float_list_is_a_new_list():
    values = [1.0, 2.0]
    got = sutils._as_float_list("E", values)
    assert got == values and got is not values


@pytest.mark.parametrize("label", ["E", "Ntrials", "scale"])
@pytest.mark.parametrize("value, message, cause", [
    (None, "'{}' must be a number or a sequence of numbers; got NoneType.", None),
    ("1.5", "'{}' must be a number or a sequence of numbers; got str.", None),
    (b"12", "'{}' must be a number or a sequence of numbers; got bytes.", None),
    ({"a": 1}, "'{}' must be a number or a sequence of numbers; got dict.", None),
    ([1, "2"], "'{}' must hold numbers only; entry 1 has type str.", None),
    (np.array(["1", "2"]), "'{}' must hold numbers only; entry 0 has type str.", None),
    ([1.0, 2.0, None], "'{}' must hold numbers only; entry 2 has type NoneType.", TypeError),
    ([1 + 2j], "'{}' must hold numbers only; entry 0 has type complex.", TypeError),
    ([[1.0, 2.0]], "'{}' must hold numbers only; entry 0 has type list.", TypeError),
    ([Decimal("sNaN")], "'{}' must hold numbers only; entry 0 has type Decimal.", ValueError),
    ([1, 10 ** 400], "'{}' entry 1 is too large to be read as a float.", OverflowError),
    (object(), "'{}' must hold numbers only; entry 0 has type object.", TypeError),
])
def test_float_list_refusals(label, value, message, cause):
    with pytest.raises(SafetyError) as info:
        sutils._as_float_list(label, value)
    assert str(info.value) == PREFIX + message.format(label)
    if cause is None:
        assert info.value.__cause__ is None
    else:
        assert isinstance(info.value.__cause__, cause)


def test_positive_sequence_keeps_signs_for_the_caller():
    got = sutils._normalize_positive_sequence("scale", [1, 0, -2.5, float("nan")])
    assert type(got) is list
    assert _same_floats(got, [1.0, 0.0, -2.5, float("nan")])


def test_user_errors_from_iteration_propagate():
    class Broken:
        def __iter__(self):
            raise RuntimeError("boom")

    with pytest.raises(RuntimeError, match="boom"):
        sutils._as_float_list("E", Broken())


# ---------------------------------------------------------------------------------------------------
# Response and number of observations


@pytest.mark.parametrize("kwargs, expected", [
    ({"formula": "y ~ x + f(idx)", "data": {"y": [0, 1, 1], "x": [1, 2, 3]}}, [0, 1, 1]),
    ({"__args__": ("  y~1",), "data": {"y": [5]}}, [5]),
    ({"formula": "y ~ 1", "__args__": ("x ~ 1",), "data": {"y": [1], "x": [2]}}, [1]),
    ({"formula": "y.obs ~ 1", "data": {"y.obs": (2, 3)}}, (2, 3)),
])
def test_response_found_through_formula_and_data(kwargs, expected):
    assert response._extract_response_array(kwargs) == expected


@pytest.mark.parametrize("kwargs", [
    {},
    {"data": {"y": [1]}},
    {"formula": "y ~ 1"},
    {"formula": "y ~ 1", "data": None},
    {"formula": "z ~ 1", "data": {"y": [1]}},
    {"formula": "cbind(y, n) ~ 1", "data": {"y": [1], "n": [2]}},
    {"formula": " ~ x", "data": {"": [1]}},
    {"formula": "y + x", "data": {"y": [1]}},
    {"formula": 3, "data": {"y": [1]}},
    {"__args__": (), "data": {"y": [1]}},
    {"formula": "y ~ 1", "data": [1, 2, 3]},
    {"formula": "y ~ 1", "data": np.zeros(3)},
])
def test_no_response(kwargs):
    assert response._extract_response_array(kwargs) is None
    assert sutils._infer_observation_count(kwargs) is None


def test_response_is_returned_as_given():
    column = np.array([0.0, 1.0])
    assert response._extract_response_array({"formula": "y ~ 1", "data": {"y": column}}) is column


@pytest.mark.parametrize("y, count", [
    ([0, 1, 1, 0], 4),
    ((1,), 1),
    ([], 0),
    (np.zeros(7), 7),
    (np.zeros((5, 2)), 5),
    (np.array(3.0), None),
    (3, None),
    ("abc", None),
])
def test_observation_count(y, count):
    kwargs = {"formula": "y ~ 1", "data": {"y": y}}
    got = sutils._infer_observation_count(kwargs)
    assert got == count
    assert got is None or type(got) is int


def test_structured_array_as_data():
    data = np.zeros(4, dtype=[("y", float), ("x", float)])
    assert sutils._infer_observation_count({"formula": "y ~ x", "data": data}) == 4
    assert sutils._infer_observation_count({"formula": "w ~ x", "data": data}) is None


# ---------------------------------------------------------------------------------------------------
# The remaining checks: present with the dispatcher's signatures, accepting every call

HYPER = ["beta", "betabinomial", "gamma", "gaussian", "logistic", "loglogistic", "nbinomial", "sn", "t"]
SUPPORT = ["beta", "binomial", "exponential", "gamma", "gaussian", "lognormal", "logistic", "loglogistic",
           "nbinomial", "poisson", "sn", "t", "weibull"]
CHECKS = (
    [(hyperstructure, "enforce_%s_hyperstructure" % n, True) for n in HYPER]
    + [(support, "enforce_%s_support" % n, True) for n in SUPPORT]
    + [(control, "enforce_control_structure", True), (control, "enforce_compute_section", False),
       (random, "enforce_random_structure", False),
       (response, "enforce_multiple_likelihood_response", True),
       (response, "enforce_survival_response", True),
       (response, "enforce_untested_arguments", False)]
)


@pytest.mark.parametrize("module, name, takes_families", CHECKS,
                         ids=[name for _, name, _ in CHECKS])
def test_checks_accept_the_dispatchers_calls(module, name, takes_families):
    check = getattr(module, name)
    snapshot = {"family": "poisson", "E": [1, 2], "control": {"family": {"link": "nope"}},
                "__args__": ("y ~ 1",), "__families__": ("poisson",)}
    before = dict(snapshot)
    if takes_families:
        assert check(snapshot, families=["poisson"]) is None
        assert check(snapshot) is None
        with pytest.raises(TypeError):
            check(snapshot, ["poisson"])                 # families is keyword-only
    else:
        assert check(snapshot) is None
        with pytest.raises(TypeError):
            check(snapshot, families=["poisson"])
    assert snapshot == before
