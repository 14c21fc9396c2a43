"""The package-wide option store: defaults, reading, setting and the checks run after every change."""

import collections.abc
import inspect
import os
import re
import subprocess
import sys
import threading
import types
import warnings
from pathlib import Path

import pytest

import vexil.binary.call as call
import vexil.options as options
import vexil.utils as vutils

ENGINE = "/opt/engine/bin/orvo"
MESH = "/opt/engine/bin/tessor"
SCRIPT = "/opt/engine/bin/orvo.remote"

MODE_ERROR = "Invalid 'orvo.mode'. Must be 'compact', 'classic', 'twostage', or 'experimental'."
SHAPE_ERROR = "Use either orvo_set_option('key', value) or orvo_set_option(key=value, ...)."
KEY_TYPE_ERROR = "First positional argument must be a string key"

# The default table in order, "num.threads" as computed on an eight-processor machine.
DEFAULTS = [
    ("orvo.arg", None),
    ("tessor.arg", ""),
    ("num.threads", "8:1"),
    ("smtp", "default"),
    ("safe", True),
    ("keep", False),
    ("verbose", False),
    ("save.memory", False),
    ("internal.opt", True),
    ("working.directory", None),
    ("silent", True),
    ("debug", False),
    ("show.warning.graph.file", True),
    ("scale.model.default", False),
    ("short.summary", False),
    ("orvo.timeout", 0),
    ("tessor.timeout", 0),
    ("orvo.mode", "compact"),
    ("malloc.lib", "mi"),
    ("tessor.evolution", 2),
    ("tessor.evolution.warn", True),
    ("tessor.evolution.verbosity", "default"),
    ("Corvex.features", False),
    ("numa", False),
]
DEFAULT_KEYS = [k for k, _ in DEFAULTS]
CHECKED_KEYS = {"orvo.mode", "malloc.lib", "working.directory"}


class Locators:
    """Stand-ins for the three program locators, installed as attributes of vexil.options.

    Each attribute holds what the locator returns, or an exception instance that it raises; every call is
    counted.
    """

    def __init__(self, monkeypatch):
        self.engine = ENGINE
        self.mesh = FileNotFoundError("no mesh generator")
        self.remote = None
        self.calls = collections.Counter()
        monkeypatch.setattr(options, "orvo_call_builtin", self._locator("engine"))
        monkeypatch.setattr(options, "tessor_call_builtin", self._locator("mesh"))
        monkeypatch.setattr(options, "orvo_remote_script", self._locator("remote"))

    def _locator(self, which):
        def locate():
            self.calls[which] += 1
            answer = getattr(self, which)
            if isinstance(answer, BaseException):
                raise answer
            return answer

        return locate


@pytest.fixture(autouse=True)
def store():
    """Every test starts from an empty store; its former contents are put back afterwards."""
    saved = dict(options._ORVO_OPTIONS)
    options._ORVO_OPTIONS.clear()
    yield options._ORVO_OPTIONS
    options._ORVO_OPTIONS.clear()
    options._ORVO_OPTIONS.update(saved)


@pytest.fixture(autouse=True)
def loc(monkeypatch):
    return Locators(monkeypatch)


@pytest.fixture
def cpus(monkeypatch):
    """Fixes the processor count seen through the module's `os`; returns a setter."""
    state = {"n": 8}
    fake_os = types.SimpleNamespace(cpu_count=lambda: state["n"], path=os.path)
    monkeypatch.setattr(options, "os", fake_os)

    def set_count(n):
        state["n"] = n

    return set_count


@pytest.fixture
def no_warnings():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        yield


# ---------------------------------------------------------------------------------------------------
# The module itself


def test_fresh_import_has_an_empty_store_and_the_helpers_bound():
    code = (
        "import os, warnings, typing\n"
        "import vexil.options as o, vexil.binary.call as c, vexil.utils as u\n"
        "assert type(o._ORVO_OPTIONS) is dict and o._ORVO_OPTIONS == {}\n"
        "assert o.orvo_call_builtin is c.orvo_call_builtin\n"
        "assert o.tessor_call_builtin is c.tessor_call_builtin\n"
        "assert o.orvo_remote_script is c.orvo_remote_script\n"
        "assert o._any_mb is u.orvo_anyMultibyteUTF8Characters\n"
        "assert o.os is os and o.warnings is warnings\n"
        "assert (o.Any, o.Dict, o.Optional, o.Union) == (typing.Any, typing.Dict, typing.Optional, typing.Union)\n"
        "print('ok')\n"
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=os.environ.copy())
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


def test_module_docstring_lists_the_public_functions():
    doc = options.__doc__
    assert "global options" in doc.lower()
    for text in (
        "orvo_get_option_default()",
        "orvo_get_option(option=None)",
        "orvo_set_option(**kwargs)",
        'orvo_set_option("key", value)',
        "orvo_enabled_Corvex_features()",
    ):
        assert text in doc


SIGNATURES = [
    ("_cpu_default_string", "() -> 'str'", {"return": "str"}, None),
    ("orvo_get_option_default", "() -> 'Dict[str, Any]'", {"return": "Dict[str, Any]"}, None),
    (
        "orvo_get_option",
        "(option: 'Optional[Union[str, list]]' = None)",
        {"option": "Optional[Union[str, list]]"},
        (None,),
    ),
    ("orvo_set_option", "(*args, **kwargs) -> 'None'", {"return": "None"}, None),
    ("_set_one", "(option: 'str', value: 'Any') -> 'None'", {"option": "str", "value": "Any", "return": "None"}, None),
    ("_post_set_checks", "() -> 'None'", {"return": "None"}, None),
    ("orvo_enabled_Corvex_features", "() -> 'bool'", {"return": "bool"}, None),
]


@pytest.mark.parametrize("name, signature, annotations, defaults", SIGNATURES, ids=[s[0] for s in SIGNATURES])
def test_function_introspection(name, signature, annotations, defaults):
    f = getattr(options, name)
    assert str(inspect.signature(f)) == signature
    assert f.__annotations__ == annotations
    assert f.__defaults__ == defaults
    assert (f.__name__, f.__qualname__, f.__module__) == (name, name, "vexil.options")
    assert isinstance(f.__doc__, str) and f.__doc__


def test_docstrings_of_the_readers():
    assert "no recursion" in options.orvo_get_option_default.__doc__
    doc = options.orvo_get_option.__doc__
    assert "None" in doc and "dictionary" in doc
    assert '"orvo.call" and "tessor.call" are handled specially to avoid recursion' in doc


def test_set_one_checks_its_key_argument_type():
    with pytest.raises(TypeError) as e:
        options._set_one(1, 2)
    assert e.value.args[0] == "Argument 'option' has incorrect type (expected str, got int)"
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'value'"):
        options._set_one("keep")
    assert options._ORVO_OPTIONS == {}


# ---------------------------------------------------------------------------------------------------
# Defaults


def test_default_table(cpus, loc):
    got = options.orvo_get_option_default()
    assert type(got) is dict
    assert list(got) == DEFAULT_KEYS
    for key, value in DEFAULTS:
        assert type(got[key]) is type(value), key
        assert got[key] == value, key
    assert "orvo.call" not in got and "tessor.call" not in got and "orvo.remote" not in got
    assert sum(loc.calls.values()) == 0


def test_defaults_are_a_new_dict_every_call(cpus):
    first = options.orvo_get_option_default()
    first["keep"] = "changed"
    first["extra"] = 1
    del first["numa"]
    second = options.orvo_get_option_default()
    assert second is not first
    assert list(second.items()) == DEFAULTS


def test_defaults_ignore_the_store_and_never_locate(store, loc, cpus):
    store["keep"] = True
    store["orvo.call"] = "/elsewhere"
    loc.engine = loc.mesh = loc.remote = AssertionError("a locator was called")
    assert list(options.orvo_get_option_default().items()) == DEFAULTS
    assert sum(loc.calls.values()) == 0


@pytest.mark.parametrize(
    "count, expected",
    [(1, "1:1"), (4, "4:1"), (8, "8:1"), (16, "16:1"), (17, "16:1"), (32, "16:1"), (64, "16:1"),
     (None, "1:1"), (0, "1:1"), (-3, "1:1"), (2**70, "16:1")],
)
def test_thread_default(cpus, count, expected):
    cpus(count)
    assert options._cpu_default_string() == expected
    assert options.orvo_get_option_default()["num.threads"] == expected
    assert options.orvo_get_option("num.threads") == expected


def test_thread_default_is_recomputed_at_every_call(cpus):
    cpus(4)
    assert options.orvo_get_option("num.threads") == "4:1"
    cpus(12)
    assert options.orvo_get_option_default()["num.threads"] == "12:1"
    assert options.orvo_get_option()["num.threads"] == "12:1"


def test_thread_default_asks_the_real_os_module(monkeypatch):
    monkeypatch.setattr(os, "cpu_count", lambda: 6)
    assert options._cpu_default_string() == "6:1"


def test_thread_default_follows_a_replaced_helper(monkeypatch):
    monkeypatch.setattr(options, "_cpu_default_string", lambda: "3:2")
    assert options.orvo_get_option_default()["num.threads"] == "3:2"
    assert options.orvo_get_option("num.threads") == "3:2"


# ---------------------------------------------------------------------------------------------------
# Reading


def test_read_all_on_a_fresh_store(cpus):
    got = options.orvo_get_option()
    assert list(got) == DEFAULT_KEYS + ["orvo.call", "tessor.call"]
    assert got["orvo.call"] == ENGINE
    assert got["tessor.call"] is None
    assert [got[k] for k in DEFAULT_KEYS] == [v for _, v in DEFAULTS]


@pytest.mark.parametrize(
    "stored, tail",
    [
        ([("keep", True)], ["orvo.call", "tessor.call"]),
        ([("tessor.call", MESH)], ["orvo.call", "tessor.call"]),
        ([("orvo.call", "/x/orvo")], ["orvo.call", "tessor.call"]),
        ([("tessor.call", MESH), ("orvo.call", "/x/orvo")], ["tessor.call", "orvo.call"]),
        ([("orvo.call", "/x/orvo"), ("keep", True), ("tessor.call", MESH)], ["orvo.call", "tessor.call"]),
    ],
)
def test_read_all_key_order_and_values(cpus, loc, stored, tail):
    for key, value in stored:
        options.orvo_set_option(key, value)
    got = options.orvo_get_option()
    assert list(got) == DEFAULT_KEYS + tail
    expected = dict(DEFAULTS, **{"orvo.call": ENGINE, "tessor.call": None})
    expected.update(stored)
    assert got == expected


def test_read_all_keeps_keys_written_directly_to_the_store(store):
    store["extra.key"] = 5
    got = options.orvo_get_option()
    assert list(got)[-3:] == ["orvo.call", "extra.key", "tessor.call"]
    assert got["extra.key"] == 5


def test_read_all_returns_a_copy(store):
    got = options.orvo_get_option()
    got["keep"] = "changed"
    got["orvo.call"] = "changed"
    assert store == {}
    assert options.orvo_get_option("keep") is False
    assert options.orvo_get_option() is not got


class KeyText(str):
    pass


def key_generator():
    yield "keep"
    yield "orvo.mode"


@pytest.mark.parametrize(
    "option, expected",
    [
        ("keep", False),
        ("safe", True),
        (KeyText("smtp"), "default"),
        (["keep", "safe"], [False, True]),
        (("keep",), [False]),
        (["keep"], [False]),
        ([], []),
        ((), []),
        (key_generator(), [False, "compact"]),
        ({"orvo.arg": 1, "tessor.arg": 2}, [None, ""]),
        (["orvo.call", "tessor.call", "keep"], [ENGINE, None, False]),
        (["keep", "keep"], [False, False]),
    ],
    ids=lambda v: "generator" if isinstance(v, types.GeneratorType) else repr(v),
)
def test_reading_forms(option, expected):
    got = options.orvo_get_option(option)
    assert got == expected
    assert type(got) is type(expected)


def test_reading_forms_return_stored_values_by_identity(store):
    value = ["not", "copied"]
    options.orvo_set_option("orvo.arg", value)
    assert options.orvo_get_option("orvo.arg") is value
    assert options.orvo_get_option(["orvo.arg"])[0] is value
    assert options.orvo_get_option()["orvo.arg"] is value
    assert store["orvo.arg"] is value


def test_read_of_a_non_iterable_raises_the_list_error():
    with pytest.raises(TypeError, match="'int' object is not iterable"):
        options.orvo_get_option(5)


@pytest.mark.parametrize(
    "option, message",
    [
        ("nope", "Unknown option 'nope'"),
        ("orvo.remote", "Unknown option 'orvo.remote'"),
        ("Keep", "Unknown option 'Keep'"),
        ("num_threads", "Unknown option 'num_threads'"),
        (["keep", "nope", "safe"], "Unknown option 'nope'"),
        ([1.5], "Unknown option '1.5'"),
        ([None], "Unknown option 'None'"),
        ([("keep",)], "Unknown option '('keep',)'"),
    ],
)
def test_unknown_key_on_reading(option, message):
    with pytest.raises(KeyError) as e:
        options.orvo_get_option(option)
    assert e.value.args == (message,)


def test_unhashable_key_raises_the_lookup_error():
    with pytest.raises(TypeError, match="unhashable"):
        options.orvo_get_option([["keep"]])


def test_the_engine_is_located_at_every_read(loc):
    options.orvo_get_option("orvo.mode")
    options.orvo_get_option(["keep"])
    options.orvo_get_option([])
    options.orvo_get_option()
    assert loc.calls["engine"] == 4
    loc.engine = "/new/place/orvo"
    assert options.orvo_get_option("orvo.call") == "/new/place/orvo"
    assert options.orvo_get_option()["orvo.call"] == "/new/place/orvo"


def test_a_stored_engine_stops_the_locator(loc):
    options.orvo_set_option("orvo.call", "/mine/orvo")
    loc.calls.clear()
    loc.engine = AssertionError("must not be called")
    assert options.orvo_get_option("orvo.call") == "/mine/orvo"
    assert options.orvo_get_option()["orvo.call"] == "/mine/orvo"
    assert options.orvo_get_option("keep") is False
    assert loc.calls["engine"] == 0


class EngineMissing(Exception):
    pass


@pytest.mark.parametrize(
    "action",
    [
        lambda: options.orvo_get_option(),
        lambda: options.orvo_get_option("orvo.mode"),
        lambda: options.orvo_get_option(["keep"]),
        lambda: options.orvo_enabled_Corvex_features(),
    ],
    ids=["all", "one", "list", "features"],
)
def test_engine_locator_errors_propagate_from_reads(loc, action):
    loc.engine = EngineMissing("no engine here")
    with pytest.raises(EngineMissing, match="no engine here"):
        action()


def test_engine_locator_errors_propagate_from_sets_after_storing(loc, store):
    loc.engine = FileNotFoundError("no engine here")
    with pytest.raises(FileNotFoundError, match="no engine here"):
        options.orvo_set_option("keep", True)
    assert store == {"keep": True}
    # Storing the engine's location stops the locator from being asked.
    options.orvo_set_option("orvo.call", "/mine/orvo")
    assert options.orvo_get_option("keep") is True


@pytest.mark.parametrize(
    "raised",
    [FileNotFoundError("none"), RuntimeError("none"), NotImplementedError("a RuntimeError too")],
    ids=lambda e: type(e).__name__,
)
def test_mesh_locator_failures_that_give_none(loc, raised):
    loc.mesh = raised
    assert options.orvo_get_option("tessor.call") is None
    assert options.orvo_get_option(["tessor.call"]) == [None]
    got = options.orvo_get_option()
    assert "tessor.call" in got and got["tessor.call"] is None


@pytest.mark.parametrize(
    "raised",
    [PermissionError("denied"), OSError("broken"), ValueError("bad"), KeyError("k")],
    ids=lambda e: type(e).__name__,
)
def test_mesh_locator_failures_that_propagate(loc, raised):
    loc.mesh = raised
    for action in (lambda: options.orvo_get_option("tessor.call"), options.orvo_get_option):
        with pytest.raises(type(raised)) as e:
            action()
        assert e.value is raised
    # Other keys never ask for the mesh generator.
    assert options.orvo_get_option(["keep", "orvo.call"]) == [False, ENGINE]


def test_mesh_locator_runs_only_when_needed(loc):
    loc.mesh = MESH
    options.orvo_get_option("keep")
    options.orvo_get_option(["orvo.call", "orvo.mode"])
    assert loc.calls["mesh"] == 0
    assert options.orvo_get_option("tessor.call") == MESH
    assert options.orvo_get_option()["tessor.call"] == MESH
    assert loc.calls["mesh"] == 2
    options.orvo_set_option("tessor.call", "/mine/tessor")
    loc.calls.clear()
    assert options.orvo_get_option("tessor.call") == "/mine/tessor"
    assert options.orvo_get_option()["tessor.call"] == "/mine/tessor"
    assert loc.calls["mesh"] == 0


def test_a_stored_none_is_returned_for_the_mesh_generator(loc):
    loc.mesh = MESH
    options.orvo_set_option("tessor.call", None)
    assert options.orvo_get_option("tessor.call") is None
    assert options.orvo_get_option()["tessor.call"] is None


@pytest.mark.parametrize("stored", ["remote", "REMOTE", "Remote", "orvo.remote", "ORVO.Remote", KeyText("Remote")])
def test_remote_selector_gives_the_remote_script(loc, stored):
    loc.remote = SCRIPT
    options.orvo_set_option("orvo.call", stored)
    assert options.orvo_get_option("orvo.call") == SCRIPT
    assert options.orvo_get_option(["keep", "orvo.call"]) == [False, SCRIPT]
    assert options.orvo_get_option()["orvo.call"] == SCRIPT
    # The store keeps the selector.
    assert options._ORVO_OPTIONS["orvo.call"] is stored


@pytest.mark.parametrize("script", [None, "", False, 0])
def test_remote_selector_without_a_script_stays(loc, script):
    loc.remote = script
    options.orvo_set_option("orvo.call", "REMOTE")
    assert options.orvo_get_option("orvo.call") == "REMOTE"
    assert options.orvo_get_option()["orvo.call"] == "REMOTE"
    assert loc.calls["remote"] == 2


@pytest.mark.parametrize(
    "stored", ["remote ", "remotes", "orvo-remote", "/usr/bin/remote", b"remote", Path("remote"), ["remote"]]
)
def test_other_values_never_ask_for_the_remote_script(loc, stored):
    loc.remote = AssertionError("must not be called")
    options.orvo_set_option("orvo.call", stored)
    assert options.orvo_get_option("orvo.call") is stored
    assert options.orvo_get_option()["orvo.call"] is stored
    assert loc.calls["remote"] == 0


def test_remote_selector_from_the_locator(loc):
    # A located engine value is resolved by key reads; the full read resolves only a stored value.
    loc.engine = "remote"
    loc.remote = SCRIPT
    assert options.orvo_get_option("orvo.call") == SCRIPT
    assert options.orvo_get_option()["orvo.call"] == "remote"


def test_remote_script_errors_propagate(loc):
    loc.remote = RuntimeError("script lookup failed")
    options.orvo_set_option("orvo.call", "remote")
    with pytest.raises(RuntimeError, match="script lookup failed"):
        options.orvo_get_option("orvo.call")
    with pytest.raises(RuntimeError, match="script lookup failed"):
        options.orvo_get_option()


def test_reading_never_changes_the_store(store, loc):
    loc.remote = SCRIPT
    loc.mesh = MESH
    options.orvo_set_option("orvo.call", "remote")
    before = dict(store)
    options.orvo_get_option()
    options.orvo_get_option(["orvo.call", "tessor.call", "num.threads"])
    assert store == before


def test_reads_with_the_real_locators(monkeypatch, tmp_path):
    monkeypatch.setattr(options, "orvo_call_builtin", call.orvo_call_builtin)
    monkeypatch.setattr(options, "tessor_call_builtin", call.tessor_call_builtin)
    monkeypatch.setattr(options, "orvo_remote_script", call.orvo_remote_script)
    pkg_bin = tmp_path / "bin"
    pkg_bin.mkdir()
    monkeypatch.setattr(call, "_PACKAGE_BIN_DIR", str(pkg_bin))
    monkeypatch.setenv("PATH", str(tmp_path / "empty"))
    got = options.orvo_get_option()
    assert got["orvo.call"] is None and got["tessor.call"] is None

    for name in ("orvo", "tessor", "orvo.remote"):
        program = pkg_bin / name
        program.write_text("#!/bin/sh\nexit 0\n")
        program.chmod(0o755)
    # Found by the next read: nothing is cached.
    assert options.orvo_get_option(["orvo.call", "tessor.call"]) == [str(pkg_bin / "orvo"), str(pkg_bin / "tessor")]
    options.orvo_set_option("orvo.call", "remote")
    assert options.orvo_get_option("orvo.call") == str(pkg_bin / "orvo.remote")


# ---------------------------------------------------------------------------------------------------
# Setting


def test_positional_form_stores_the_value_as_given(store):
    value = {"anything": [1, 2]}
    assert options.orvo_set_option("orvo.arg", value) is None
    assert store["orvo.arg"] is value
    options.orvo_set_option("orvo.timeout", "not a number")
    assert options.orvo_get_option("orvo.timeout") == "not a number"


def test_keyword_form_stores_in_the_order_given(store):
    assert options.orvo_set_option(verbose=True, keep=1, debug="yes") is None
    assert list(store.items()) == [("verbose", True), ("keep", 1), ("debug", "yes")]
    options.orvo_set_option(**{"num.threads": "4:1", "orvo.mode": "classic"})
    assert options.orvo_get_option(["num.threads", "orvo.mode"]) == ["4:1", "classic"]


def test_a_key_keeps_its_first_place_when_set_again(store):
    options.orvo_set_option("keep", True)
    options.orvo_set_option("safe", False)
    options.orvo_set_option("keep", False)
    assert list(store.items()) == [("keep", False), ("safe", False)]


@pytest.mark.parametrize("key", DEFAULT_KEYS + ["orvo.call", "tessor.call"])
def test_every_valid_key_can_be_set(store, key):
    value = {"orvo.mode": "twostage", "malloc.lib": "tc", "working.directory": "/tmp"}.get(key, object())
    options.orvo_set_option(key, value)
    assert store[key] is value
    assert options.orvo_get_option(key) is value


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((), {}),
        (("keep",), {}),
        (("keep", True, False), {}),
        (("keep", True), {"verbose": True}),
        (("keep",), {"verbose": True}),
        ((1,), {}),
    ],
    ids=["nothing", "one", "three", "both", "one-and-keyword", "one-non-str"],
)
def test_wrong_call_shapes(store, args, kwargs):
    with pytest.raises(TypeError) as e:
        options.orvo_set_option(*args, **kwargs)
    assert e.value.args == (SHAPE_ERROR,)
    assert store == {}


@pytest.mark.parametrize("key", [1, None, b"keep", ("keep",)])
def test_first_positional_argument_must_be_a_string(store, key):
    with pytest.raises(TypeError) as e:
        options.orvo_set_option(key, 2)
    assert e.value.args == (KEY_TYPE_ERROR,)
    assert store == {}


def test_a_str_subclass_key_reaches_the_key_check_and_is_refused(store):
    with pytest.raises(TypeError) as e:
        options.orvo_set_option(KeyText("keep"), True)
    assert e.value.args == ("Argument 'option' has incorrect type (expected str, got KeyText)",)
    assert store == {}


@pytest.mark.parametrize("key", ["nope", "orvo.remote", "Keep", "corvex.features", "num_threads", " keep", ""])
def test_unknown_key_on_setting(store, key):
    with pytest.raises(KeyError) as e:
        options.orvo_set_option(key, 1)
    assert e.value.args == ("Unknown option '%s'" % key,)
    with pytest.raises(KeyError) as e:
        options.orvo_set_option(**{key: 1})
    assert e.value.args == ("Unknown option '%s'" % key,)
    assert store == {}


def test_keyword_form_stops_at_the_first_unknown_key(store, monkeypatch):
    checks = []
    monkeypatch.setattr(options, "_post_set_checks", lambda: checks.append(dict(store)))
    with pytest.raises(KeyError) as e:
        options.orvo_set_option(keep=True, num_threads="4:1", verbose=True)
    assert e.value.args == ("Unknown option 'num_threads'",)
    assert store == {"keep": True}
    assert checks == []


def test_checks_run_once_after_every_value_is_stored(store, monkeypatch):
    checks = []
    monkeypatch.setattr(options, "_post_set_checks", lambda: checks.append(dict(store)))
    options.orvo_set_option(keep=True, verbose=True, debug=True)
    options.orvo_set_option("safe", False)
    assert checks == [
        {"keep": True, "verbose": True, "debug": True},
        {"keep": True, "verbose": True, "debug": True, "safe": False},
    ]


def test_setting_goes_through_the_module_set_one(store, monkeypatch):
    seen = []
    monkeypatch.setattr(options, "_set_one", lambda key, value: seen.append((key, value)))
    options.orvo_set_option("keep", 1)
    options.orvo_set_option(b=2, a=3)
    assert seen == [("keep", 1), ("b", 2), ("a", 3)]
    assert store == {}


def test_valid_keys_come_from_the_module_default_table(store, monkeypatch):
    real = options.orvo_get_option_default

    def with_extra():
        d = real()
        d["extra.opt"] = 7
        return d

    monkeypatch.setattr(options, "orvo_get_option_default", with_extra)
    assert options.orvo_get_option("extra.opt") == 7
    options.orvo_set_option("extra.opt", 9)
    assert store["extra.opt"] == 9
    options._set_one("extra.opt", 10)
    assert store["extra.opt"] == 10


# ---------------------------------------------------------------------------------------------------
# Checks after a change


@pytest.mark.parametrize("mode", ["compact", "classic", "twostage"])
def test_valid_modes_stay(store, no_warnings, mode):
    options.orvo_set_option("orvo.mode", mode)
    assert store["orvo.mode"] == mode
    assert options.orvo_get_option("orvo.mode") == mode


def test_experimental_mode_becomes_compact(store, no_warnings):
    options.orvo_set_option("orvo.mode", "experimental")
    assert store["orvo.mode"] == "compact"
    assert options.orvo_get_option("orvo.mode") == "compact"


@pytest.mark.parametrize("mode", ["Compact", "EXPERIMENTAL", "", " compact", None, 1, b"compact", ["compact"]])
def test_invalid_mode_is_refused_but_stays_stored(store, mode):
    with pytest.raises(ValueError) as e:
        options.orvo_set_option("orvo.mode", mode)
    assert e.value.args == (MODE_ERROR,)
    assert store["orvo.mode"] is mode
    assert options.orvo_get_option("orvo.mode") is mode
    # Every later set fails the same way, after storing its value.
    with pytest.raises(ValueError, match=re.escape(MODE_ERROR)):
        options.orvo_set_option("keep", True)
    assert store["keep"] is True
    # A valid mode recovers.
    options.orvo_set_option("orvo.mode", "classic")
    options.orvo_set_option("verbose", True)
    assert store["verbose"] is True


def test_a_failed_mode_check_skips_the_other_checks(store, monkeypatch):
    warned = []
    monkeypatch.setattr(options, "warnings", types.SimpleNamespace(warn=lambda *a, **k: warned.append((a, k))))
    store["malloc.lib"] = None
    store["working.directory"] = "/tmp/é"
    with pytest.raises(ValueError):
        options.orvo_set_option("orvo.mode", "bad")
    assert store["malloc.lib"] is None
    assert warned == []


def test_checks_read_the_three_keys_in_order_through_the_module_reader(store, monkeypatch):
    real = options.orvo_get_option
    asked = []

    def reader(option=None):
        asked.append(option)
        return real(option)

    monkeypatch.setattr(options, "orvo_get_option", reader)
    options.orvo_set_option("keep", True)
    assert asked == ["orvo.mode", "malloc.lib", "working.directory"]
    asked.clear()
    assert options.orvo_enabled_Corvex_features() is False
    assert asked == ["Corvex.features"]


@pytest.mark.parametrize("value", [None, "default"])
def test_allocator_default_is_restored_silently(store, no_warnings, value):
    options.orvo_set_option("malloc.lib", value)
    assert store["malloc.lib"] == "mi"


def test_allocator_default_comes_from_the_module_default_table(store, monkeypatch):
    real = options.orvo_get_option_default
    monkeypatch.setattr(options, "orvo_get_option_default", lambda: dict(real(), **{"malloc.lib": "je"}))
    options.orvo_set_option("malloc.lib", None)
    assert store["malloc.lib"] == "je"


@pytest.mark.parametrize("name", ["compiler", "je", "tc", "mi"])
def test_named_allocators_stay_silently(store, no_warnings, name):
    options.orvo_set_option("malloc.lib", name)
    assert store["malloc.lib"] == name


def test_missing_absolute_allocator_path_falls_back(store):
    message = "User-defined library for option 'malloc.lib', /no/such/lib.so, does not exist. Using default."
    with pytest.warns(UserWarning) as record:
        options.orvo_set_option("malloc.lib", "/no/such/lib.so")
    assert [str(w.message) for w in record] == [message]
    assert all(w.category is UserWarning for w in record)
    assert store["malloc.lib"] == "mi"


def test_existing_allocator_paths_stay_silently(store, no_warnings, tmp_path, monkeypatch):
    lib = tmp_path / "libfast.so"
    lib.write_bytes(b"")
    options.orvo_set_option("malloc.lib", str(lib))
    assert store["malloc.lib"] == str(lib)
    monkeypatch.chdir(tmp_path)
    options.orvo_set_option("malloc.lib", "libfast.so")
    assert store["malloc.lib"] == "libfast.so"


@pytest.mark.parametrize(
    "value, shown",
    [
        ("foo", "'foo'"),
        ("lib/missing.so", "'lib/missing.so'"),
        ("JE", "'JE'"),
        ("", "''"),
        # Values that cannot be tested as a path count as missing: they warn and never raise.
        (1.5, "1.5"),
        ([1, 2], "[1, 2]"),
        ({"lib": "je"}, "{'lib': 'je'}"),
    ],
)
def test_unknown_allocator_warns_and_stays(store, value, shown):
    message = "Value for option 'malloc.lib' = %s may not be available on this system." % shown
    with pytest.warns(UserWarning) as record:
        options.orvo_set_option("malloc.lib", value)
    assert [str(w.message) for w in record] == [message]
    assert store["malloc.lib"] is value
    # The value stays, so the next change warns again rather than failing.
    with pytest.warns(UserWarning) as record:
        options.orvo_set_option("keep", True)
    assert [str(w.message) for w in record] == [message]
    assert store["keep"] is True


def test_allocator_path_test_goes_through_the_module_os(store, monkeypatch):
    tested = []

    def exists(path):
        tested.append(path)
        return True

    monkeypatch.setattr(options, "os", types.SimpleNamespace(cpu_count=lambda: 2,
                                                             path=types.SimpleNamespace(exists=exists)))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        options.orvo_set_option("malloc.lib", "/claimed/lib.so")
        options.orvo_set_option("malloc.lib", "bar")
    assert tested == ["/claimed/lib.so", "/claimed/lib.so", "bar"]
    assert store["malloc.lib"] == "bar"


def test_path_test_errors_other_than_type_errors_propagate(store, monkeypatch):
    def exists(path):
        raise RuntimeError("path test broke")

    monkeypatch.setattr(options, "os", types.SimpleNamespace(cpu_count=lambda: 2,
                                                             path=types.SimpleNamespace(exists=exists)))
    with pytest.raises(RuntimeError, match="path test broke"):
        options.orvo_set_option("malloc.lib", "foo")


@pytest.mark.parametrize("wd", ["/tmp/café", "/données/日本", "/tmp/\U0001f600", "é"])
def test_multibyte_working_directory_warns_and_stays(store, wd):
    message = "*** working.directory=[%s] contains multibyte characters. This may fail on some systems." % wd
    with pytest.warns(UserWarning) as record:
        options.orvo_set_option("working.directory", wd)
    assert [str(w.message) for w in record] == [message]
    assert store["working.directory"] is wd


@pytest.mark.parametrize("wd", ["/tmp/plain", "", None, b"/tmp/caf\xc3\xa9", Path("/tmp/café"), 5])
def test_other_working_directories_stay_silently(store, no_warnings, wd):
    options.orvo_set_option("working.directory", wd)
    assert store["working.directory"] is wd


def test_working_directory_test_is_the_module_helper(store, monkeypatch):
    seen = []

    def any_mb(text):
        seen.append(text)
        return 1

    monkeypatch.setattr(options, "_any_mb", any_mb)
    with pytest.warns(UserWarning, match=r"\*\*\* working\.directory=\[/plain\] contains multibyte"):
        options.orvo_set_option("working.directory", "/plain")
    assert seen == ["/plain"]


def test_warnings_go_through_the_module_warnings(store, monkeypatch):
    calls = []
    monkeypatch.setattr(options, "warnings", types.SimpleNamespace(warn=lambda *a, **k: calls.append((a, k))))
    options.orvo_set_option(**{"malloc.lib": "foo", "working.directory": "/é"})
    assert calls == [
        (("Value for option 'malloc.lib' = 'foo' may not be available on this system.",), {}),
        (("*** working.directory=[/é] contains multibyte characters. This may fail on some systems.",), {}),
    ]


def test_warnings_as_errors_propagate_without_corrupting_the_store(store):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(UserWarning, match="does not exist. Using default."):
            options.orvo_set_option("malloc.lib", "/no/such/lib.so")
        assert store == {"malloc.lib": "/no/such/lib.so"}
        with pytest.raises(UserWarning, match="contains multibyte characters"):
            options.orvo_set_option(**{"malloc.lib": "je", "working.directory": "/é"})
        assert store == {"malloc.lib": "je", "working.directory": "/é"}
    assert options.orvo_get_option(["malloc.lib", "working.directory"]) == ["je", "/é"]


def test_post_set_checks_can_be_called_on_their_own(store):
    store["orvo.mode"] = "experimental"
    store["malloc.lib"] = "default"
    assert options._post_set_checks() is None
    assert store == {"orvo.mode": "compact", "malloc.lib": "mi"}


# ---------------------------------------------------------------------------------------------------
# Feature predicate


@pytest.mark.parametrize(
    "value, expected", [(1, True), ("yes", True), ([0], True), (True, True), (0, False), ("", False), (None, False)]
)
def test_feature_predicate(value, expected):
    assert options.orvo_enabled_Corvex_features() is False
    options.orvo_set_option("Corvex.features", value)
    assert options.orvo_enabled_Corvex_features() is expected


# ---------------------------------------------------------------------------------------------------
# Monkeypatching the store, robustness


def test_a_replaced_store_is_used_for_reads_and_writes(monkeypatch, store):
    fresh = {}
    monkeypatch.setattr(options, "_ORVO_OPTIONS", fresh)
    options.orvo_set_option("keep", True)
    assert fresh == {"keep": True} and store == {}
    assert options.orvo_get_option("keep") is True


class MappingStore(collections.abc.MutableMapping):
    def __init__(self):
        self.data = {}

    def __getitem__(self, k):
        return self.data[k]

    def __setitem__(self, k, v):
        self.data[k] = v

    def __delitem__(self, k):
        del self.data[k]

    def __iter__(self):
        return iter(self.data)

    def __len__(self):
        return len(self.data)


def test_a_mapping_store_is_accepted(monkeypatch, loc):
    mapping = MappingStore()
    monkeypatch.setattr(options, "_ORVO_OPTIONS", mapping)
    loc.remote = SCRIPT
    options.orvo_set_option(**{"orvo.call": "remote", "orvo.mode": "experimental", "malloc.lib": None})
    assert mapping.data == {"orvo.call": "remote", "orvo.mode": "compact", "malloc.lib": "mi"}
    assert options.orvo_get_option(["orvo.call", "keep"]) == [SCRIPT, False]
    got = options.orvo_get_option()
    assert got["orvo.call"] == SCRIPT and got["orvo.mode"] == "compact"
    assert loc.calls["engine"] == 0


def test_no_reference_is_leaked_on_success_or_failure(loc, store):
    sentinel = object()
    loc.engine = sentinel
    before = sys.getrefcount(sentinel)
    for _ in range(200):
        options.orvo_get_option()
        options.orvo_get_option(["orvo.call", "keep"])
        with pytest.raises(KeyError):
            options.orvo_get_option(["orvo.call", "nope"])
    assert sys.getrefcount(sentinel) == before

    value = object()
    options.orvo_set_option("orvo.arg", value)
    before = sys.getrefcount(value)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        for _ in range(200):
            options.orvo_get_option("orvo.arg")
            with pytest.raises(UserWarning):
                options.orvo_set_option(**{"malloc.lib": "/no/such/lib.so"})
            with pytest.raises(KeyError):
                options.orvo_set_option(nope=value)
    assert sys.getrefcount(value) == before


def test_concurrent_reads_and_sets(store):
    errors = []
    start = threading.Barrier(4)

    def writer(i):
        start.wait()
        try:
            for n in range(300):
                options.orvo_set_option("num.threads", "%d:%d" % (i, n))
                options.orvo_set_option(**{"orvo.mode": "experimental" if n % 2 else "classic", "keep": n})
        except Exception as e:  # reported below
            errors.append(e)

    def reader():
        start.wait()
        try:
            for _ in range(300):
                got = options.orvo_get_option()
                assert got["orvo.mode"] in ("compact", "classic", "experimental")
                options.orvo_get_option(["num.threads", "keep", "tessor.call"])
        except Exception as e:  # reported below
            errors.append(e)

    threads = [threading.Thread(target=writer, args=(i,)) for i in (1, 2)]
    threads += [threading.Thread(target=reader) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert store["orvo.mode"] in ("compact", "classic")
    assert set(store) == {"num.threads", "orvo.mode", "keep"}
