"""The native function object seen from Python: it must behave like a Python function.

Most checks run the same operation on a native catalogue function and on a Python lambda of the same
shape, and require the same outcome (result, or exception type and text), so the reference is CPython
3.11 itself. Functions that a test changes come from a freshly executed copy of a catalogue module, so
the shared modules stay untouched.
"""

import copy
import functools
import gc
import importlib
import importlib.util
import inspect
import pickle
import re
import sys
import threading
import weakref

import numpy as np
import pytest

PKG = "vexil.model_defs.latent."


def fresh_module(name):
    """A new, independent module object built by running the extension module's statements again."""
    found = importlib.util.find_spec(name)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def fresh(name):
    return fresh_module(PKG + name)


@pytest.fixture
def ar():
    return fresh("autoregressive")


@pytest.fixture
def ident(ar):
    """A native identity function ("lambda x: x") of a fresh module."""
    return ar.MODELS["ar1"]["hyper"]["theta3"]["to_theta"]


@pytest.fixture
def logf(ar):
    """A native log transform ("lambda x: np.log(x)") of a fresh module."""
    return ar.MODELS["ar1"]["hyper"]["theta1"]["to_theta"]


def python_ident():
    f = lambda x: x  # noqa: E731 - a lambda is the reference
    f.__qualname__ = "<lambda>"  # as at module level
    return f


def outcome(thunk):
    try:
        value = thunk()
    except Exception as e:  # noqa: BLE001 - the outcome itself is compared
        return ("raise", type(e), str(e))
    return ("ok", value)


def same_outcome(native, python, op):
    """Runs op on both functions; results that are the function itself are compared as such."""
    a, b = outcome(lambda: op(native)), outcome(lambda: op(python))
    if a[0] == b[0] == "ok":
        if a[1] is native or b[1] is python:
            return a[1] is native and b[1] is python
        return type(a[1]) is type(b[1]) and a[1] == b[1]
    return a == b


# ---------------------------------------------------------------------------------------------------
# Attributes


def test_function_attributes(ar, ident, logf):
    for f in (ident, logf):
        assert f.__name__ == "<lambda>"
        assert f.__qualname__ == "<lambda>"
        assert f.__module__ == PKG + "autoregressive"
        assert f.__doc__ is None
        assert f.__annotations__ == {} and type(f.__annotations__) is dict
        assert f.__annotations__ is f.__annotations__  # one dict, kept
        assert f.__defaults__ is None
        assert f.__kwdefaults__ is None
        assert f.__dict__ == {}
        assert f.__globals__ is vars(ar)
        assert callable(f)
        assert vars(f) is f.__dict__


def test_repr(ident):
    assert repr(ident) == f"<function <lambda> at {hex(id(ident))}>"
    ref = python_ident()
    assert re.sub(r"0x[0-9a-f]+", "ADDR", repr(ident)) == re.sub(r"0x[0-9a-f]+", "ADDR", repr(ref))
    ident.__qualname__ = "Outer.<locals>.inner"
    assert repr(ident) == f"<function Outer.<locals>.inner at {hex(id(ident))}>"


SETTERS = [
    ("name", lambda f: (setattr(f, "__name__", "renamed"), f.__name__)[1]),
    ("name-int", lambda f: setattr(f, "__name__", 3)),
    ("name-del", lambda f: delattr(f, "__name__")),
    ("qualname", lambda f: (setattr(f, "__qualname__", "A.b"), f.__qualname__)[1]),
    ("qualname-none", lambda f: setattr(f, "__qualname__", None)),
    ("qualname-del", lambda f: delattr(f, "__qualname__")),
    ("doc", lambda f: (setattr(f, "__doc__", "text"), f.__doc__)[1]),
    ("doc-del", lambda f: (setattr(f, "__doc__", "text"), delattr(f, "__doc__"), f.__doc__)[2]),
    ("module", lambda f: (setattr(f, "__module__", "elsewhere"), f.__module__)[1]),
    ("module-del", lambda f: (delattr(f, "__module__"), f.__module__)[1]),
    ("defaults", lambda f: (setattr(f, "__defaults__", (5,)), f.__defaults__)[1]),
    ("defaults-list", lambda f: setattr(f, "__defaults__", [5])),
    ("defaults-none", lambda f: (setattr(f, "__defaults__", (5,)), setattr(f, "__defaults__", None),
                                 f.__defaults__)[2]),
    ("defaults-del", lambda f: (setattr(f, "__defaults__", (5,)), delattr(f, "__defaults__"),
                                f.__defaults__)[2]),
    ("defaults-empty", lambda f: (setattr(f, "__defaults__", ()), f.__defaults__)[1]),
    ("kwdefaults", lambda f: (setattr(f, "__kwdefaults__", {"y": 1}), f.__kwdefaults__)[1]),
    ("kwdefaults-tuple", lambda f: setattr(f, "__kwdefaults__", (1,))),
    ("kwdefaults-del", lambda f: (setattr(f, "__kwdefaults__", {}), delattr(f, "__kwdefaults__"),
                                  f.__kwdefaults__)[2]),
    ("annotations", lambda f: (setattr(f, "__annotations__", {"x": "float"}), f.__annotations__)[1]),
    ("annotations-list", lambda f: setattr(f, "__annotations__", [])),
    ("annotations-mutate", lambda f: (f.__annotations__.__setitem__("return", "int"), f.__annotations__)[1]),
    ("dict-attr", lambda f: (setattr(f, "tag", [1]), f.__dict__)[1]),
    ("dict-replace", lambda f: (setattr(f, "__dict__", {"a": 2}), f.a)[1]),
    ("dict-int", lambda f: setattr(f, "__dict__", 1)),
    ("dict-del", lambda f: delattr(f, "__dict__")),
    ("attr-del", lambda f: (setattr(f, "tag", 1), delattr(f, "tag"), hasattr(f, "tag"))[2]),
]

# The texts of these name the object's type, which differs; the exception type must agree.
TYPE_ONLY = [
    ("attr-missing", lambda f: f.no_such_attribute),
    ("globals-set", lambda f: setattr(f, "__globals__", {})),
    ("globals-del", lambda f: delattr(f, "__globals__")),
]


@pytest.mark.parametrize("op", [op for _, op in SETTERS], ids=[name for name, _ in SETTERS])
def test_attribute_setters_match_python(ar, op):
    native = ar.MODELS["ar1"]["hyper"]["theta3"]["from_theta"]
    python = python_ident()
    python.__module__ = native.__module__  # same starting point
    assert same_outcome(native, python, op), (outcome(lambda: op(native)), outcome(lambda: op(python)))


@pytest.mark.parametrize("op", [op for _, op in TYPE_ONLY], ids=[name for name, _ in TYPE_ONLY])
def test_attribute_errors_match_python_type(ident, op):
    a, b = outcome(lambda: op(ident)), outcome(lambda: op(python_ident()))
    assert a[0] == b[0] == "raise" and a[1] is b[1]


def test_attribute_errors_are_the_python_texts(ident):
    with pytest.raises(TypeError, match=r"^__name__ must be set to a string object$"):
        ident.__name__ = 1
    with pytest.raises(TypeError, match=r"^__defaults__ must be set to a tuple object$"):
        ident.__defaults__ = [1]
    with pytest.raises(TypeError, match=r"^__kwdefaults__ must be set to a dict object$"):
        ident.__kwdefaults__ = 1
    with pytest.raises(TypeError, match=r"^__dict__ must be set to a dictionary, not a 'list'$"):
        ident.__dict__ = []


# ---------------------------------------------------------------------------------------------------
# Calls and argument binding

CALLS = [
    ("positional", lambda f: f(3)),
    ("keyword", lambda f: f(x=3)),
    ("star", lambda f: f(*(3,))),
    ("starstar", lambda f: f(**{"x": 3})),
    ("missing", lambda f: f()),
    ("two", lambda f: f(1, 2)),
    ("three", lambda f: f(1, 2, 3)),
    ("unexpected", lambda f: f(y=1)),
    ("unexpected-after-positional", lambda f: f(1, y=1)),
    ("repeated", lambda f: f(1, x=2)),
    ("repeated-star", lambda f: f(*(1,), **{"x": 2})),
    ("many-keywords", lambda f: f(**{"x": 1, "y": 2, "z": 3})),
    ("nonstring-keyword", lambda f: f(**{1: 2})),
    ("empty-star", lambda f: f(*(), **{})),
    ("too-many-and-unknown", lambda f: f(1, 2, y=3)),
    ("call-method", lambda f: f.__call__(4)),
    ("map", lambda f: list(map(f, [1, 2]))),
    ("partial", lambda f: functools.partial(f, 5)()),
    ("partial-kw", lambda f: functools.partial(f, x=5)()),
]


@pytest.mark.parametrize("call", [c for _, c in CALLS], ids=[n for n, _ in CALLS])
@pytest.mark.parametrize("defaults", [None, (), (9,), (1, 2, 3)], ids=["none", "empty", "one", "three"])
@pytest.mark.parametrize("qualname", ["<lambda>", "Holder.<locals>.conv"])
def test_call_shapes_match_python(ar, call, defaults, qualname):
    native = ar.MODELS["ar1"]["hyper"]["theta3"]["to_theta"]
    python = python_ident()
    for f in (native, python):
        f.__defaults__ = defaults
        f.__qualname__ = qualname
    assert same_outcome(native, python, call), (outcome(lambda: call(native)), outcome(lambda: call(python)))


@pytest.mark.parametrize("call,text", [
    (lambda f: f(), "<lambda>() missing 1 required positional argument: 'x'"),
    (lambda f: f(1, 2), "<lambda>() takes 1 positional argument but 2 were given"),
    (lambda f: f(y=1), "<lambda>() got an unexpected keyword argument 'y'"),
    (lambda f: f(1, x=1), "<lambda>() got multiple values for argument 'x'"),
])
def test_call_shape_texts(logf, call, text):
    with pytest.raises(TypeError) as info:
        call(logf)
    assert str(info.value) == text


def test_keyword_and_positional_give_the_same_result(logf):
    assert logf(x=2.0) == logf(2.0) == np.log(2.0)
    arr = np.arange(1.0, 4.0)
    np.testing.assert_array_equal(logf(x=arr), np.log(arr))


def test_setting_defaults_changes_binding(ident, logf):
    with pytest.raises(TypeError):
        ident()
    ident.__defaults__ = ("dflt",)
    assert ident() == "dflt"
    assert ident(1) == 1
    ident.__defaults__ = (1, 2, 3)  # the last ones fill the parameters, as in CPython
    assert ident() == 3
    logf.__defaults__ = (1.0,)
    assert logf() == 0.0
    del logf.__defaults__
    with pytest.raises(TypeError, match="missing 1 required positional argument"):
        logf()


def test_kwdefaults_do_not_feed_positional_parameters(ident):
    ident.__kwdefaults__ = {"x": 1}
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'x'"):
        ident()


def test_calls_from_threads(logf):
    results = []

    def work():
        results.append([float(logf(float(i))) for i in range(1, 200)])

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(results) == 4 and all(r == results[0] for r in results)


# ---------------------------------------------------------------------------------------------------
# Signature


@pytest.mark.parametrize("setup", [
    lambda f: None,
    lambda f: setattr(f, "__defaults__", (5,)),
    lambda f: setattr(f, "__defaults__", (None,)),
    lambda f: setattr(f, "__annotations__", {"x": "float", "return": "np.ndarray"}),
    lambda f: (setattr(f, "__defaults__", (0.5,)), setattr(f, "__annotations__", {"x": "float"})),
])
def test_signature_matches_python(ident, setup):
    ref = python_ident()
    setup(ident)
    setup(ref)
    assert str(inspect.signature(ident)) == str(inspect.signature(ref))
    assert inspect.signature(ident) == inspect.signature(ref)


def test_signature_parameters(logf):
    sig = inspect.signature(logf)
    assert list(sig.parameters) == ["x"]
    p = sig.parameters["x"]
    assert p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
    assert p.default is inspect.Parameter.empty
    assert p.annotation is inspect.Parameter.empty
    assert sig.return_annotation is inspect.Signature.empty
    assert sig.bind(1).arguments == {"x": 1}
    with pytest.raises(TypeError):
        sig.bind()


def test_signature_follows_wrappers(logf):
    @functools.wraps(logf)
    def wrapper(*args, **kwargs):
        return logf(*args, **kwargs)

    assert wrapper.__wrapped__ is logf
    assert wrapper.__name__ == "<lambda>" and wrapper.__module__ == logf.__module__
    assert str(inspect.signature(wrapper)) == "(x)"
    assert wrapper(1.0) == 0.0


# ---------------------------------------------------------------------------------------------------
# Methods


def test_method_binding_matches_python(ident):
    ref = python_ident()

    class Native:
        f = ident
        s = staticmethod(ident)
        c = classmethod(ident)

    class Python:
        f = ref
        s = staticmethod(ref)
        c = classmethod(ref)

    n, p = Native(), Python()
    assert Native.f is ident and Native.__dict__["f"] is ident
    assert n.f() is n and p.f() is p
    assert n.s(4) == 4 and Native.s(5) == 5
    assert n.c() is Native and Native.c() is Native
    bound = n.f
    assert bound.__self__ is n and bound.__func__ is ident
    assert bound == n.f and bound is not n.f
    for call in (lambda o: o.f(1), lambda o: o.f(x=1), lambda o: o.s(), lambda o: o.c(2)):
        a, b = outcome(lambda: call(n)), outcome(lambda: call(p))
        assert a[0] == b[0] == "raise" and a[1:] == b[1:]
    assert str(inspect.signature(n.f)) == str(inspect.signature(p.f)) == "()"


def test_descriptor_protocol(ident):
    class C:
        pass

    obj = C()
    assert ident.__get__(None, C) is ident
    m = ident.__get__(obj, C)
    assert m.__self__ is obj and m.__func__ is ident and m() is obj
    assert ident.__get__(obj)() is obj


# ---------------------------------------------------------------------------------------------------
# Identity, copying, pickling


def test_copy_and_deepcopy_keep_the_function(ar, ident):
    assert copy.copy(ident) is ident
    assert copy.deepcopy(ident) is ident
    record = ar.MODELS["ar1"]
    clone = copy.deepcopy(record)
    assert clone == record and clone is not record
    assert clone["hyper"]["theta1"]["to_theta"] is record["hyper"]["theta1"]["to_theta"]
    assert clone["hyper"]["theta1"]["param"] is not record["hyper"]["theta1"]["param"]


def test_pickling_fails_like_a_lambda(ident):
    ref = python_ident()
    with pytest.raises(pickle.PicklingError):
        pickle.dumps(ref)
    with pytest.raises(pickle.PicklingError):
        pickle.dumps(ident)


def test_hash_and_equality(ident, logf):
    assert hash(ident) == hash(ident)
    assert ident == ident and ident != logf
    assert len({ident, logf, ident}) == 2


# ---------------------------------------------------------------------------------------------------
# Weak references and garbage collection


def test_weakref(ident):
    r = weakref.ref(ident)
    assert r() is ident
    d = weakref.WeakValueDictionary({"f": ident})
    assert d["f"] is ident
    assert r in weakref.getweakrefs(ident)
    del d
    assert weakref.getweakrefs(ident) == [r]


def test_dropped_module_is_collected():
    """A function holds its module namespace, which holds MODELS, which holds the function: the cycle
    must be found by the collector."""
    m = fresh("steppe")
    f = m.MODELS["rw1"]["hyper"]["theta"]["to_theta"]
    r = weakref.ref(f)
    rm = weakref.ref(m)
    del f, m
    gc.collect()
    assert r() is None and rm() is None


@pytest.mark.parametrize("make_cycle", [
    lambda f: setattr(f, "me", f),
    lambda f: setattr(f, "__defaults__", (f,)),
    lambda f: setattr(f, "__kwdefaults__", {"k": f}),
    lambda f: setattr(f, "__annotations__", {"x": f}),
    lambda f: setattr(f, "__module__", [f]),
    lambda f: setattr(f, "__doc__", [f]),
    lambda f: setattr(f, "__dict__", {"a": [f]}),
], ids=["dict", "defaults", "kwdefaults", "annotations", "module", "doc", "dict-replaced"])
def test_cycles_through_attributes_are_collected(make_cycle):
    m = fresh("spatial")
    f = m.MODELS["slm"]["hyper"]["theta2"]["from_theta"]
    m.MODELS.clear()  # leave only the cycle made below
    make_cycle(f)
    r = weakref.ref(f)
    del f, m
    gc.collect()
    assert r() is None


def test_traversal_reports_owned_objects(ar, ident):
    ident.tag = "t"
    ident.__defaults__ = (object(),)
    refs = gc.get_referents(ident)
    assert any(o is vars(ar) for o in refs)
    assert any(o is ident.__dict__ for o in refs)
    assert any(o is ident.__defaults__ for o in refs)
    assert gc.is_tracked(ident)


def test_deallocation_releases_what_it_holds():
    payload = object()
    before = sys.getrefcount(payload)
    m = fresh("steppe")
    f = m.MODELS["rw2"]["hyper"]["theta"]["from_theta"]
    f.__defaults__ = (payload,)
    f.keep = payload
    f.__doc__ = payload
    assert sys.getrefcount(payload) == before + 3
    del f, m
    gc.collect()
    assert sys.getrefcount(payload) == before


def test_independent_module_copies(monkeypatch):
    """Each module object's functions look names up in that module's own namespace."""
    a = fresh("steppe")
    b = importlib.import_module(PKG + "steppe")
    fa = a.MODELS["rw1"]["hyper"]["theta"]["from_theta"]
    fb = b.MODELS["rw1"]["hyper"]["theta"]["from_theta"]
    assert fa is not fb
    a.np = None
    with pytest.raises(AttributeError):
        fa(0.0)
    assert fb(0.0) == 1.0


# ---------------------------------------------------------------------------------------------------
# Richer signatures (keyword-only parameters and defaults), through modules that carry them


def _shape_calls():
    return [
        lambda f: f(),
        lambda f: f({}, {}),
        lambda f: f({}, {}, families=None),
        lambda f: f({}, {}, {}, families=None),
        lambda f: f(families=None),
        lambda f: f({}, kwargs={}),
        lambda f: f({}, family=None),
        lambda f: f({}, families=None, other=1),
    ]


def test_keyword_only_signature():
    exposure = pytest.importorskip("vexil.safety.exposure")

    def enforce_poisson_exposure(kwargs: "Dict[str, Any]", *, families: "Iterable[str] | None" = None) -> "None":
        raise AssertionError("never reached: every call below is refused while binding")

    enforce_poisson_exposure.__qualname__ = "enforce_poisson_exposure"
    native = exposure.enforce_poisson_exposure
    assert str(inspect.signature(native)) == str(inspect.signature(enforce_poisson_exposure))
    assert native.__kwdefaults__ == {"families": None}
    assert native.__defaults__ is None
    for call in _shape_calls():
        a, b = outcome(lambda: call(native)), outcome(lambda: call(enforce_poisson_exposure))
        assert a == b
    native_copy = fresh_module("vexil.safety.exposure").enforce_poisson_exposure
    native_copy.__kwdefaults__ = None
    with pytest.raises(TypeError) as info:
        native_copy({})
    assert str(info.value) == "enforce_poisson_exposure() missing 1 required keyword-only argument: 'families'"



@pytest.mark.parametrize("module,func,call,text", [
    ("vexil.safety.exposure", "enforce_random_weights_values", lambda f: f([1.0], 3),
     "Argument 'label' has incorrect type (expected str, got int)"),
    ("vexil.safety.exposure", "enforce_random_weights_values", lambda f: f([1.0], label=None),
     "Argument 'label' has incorrect type (expected str, got NoneType)"),
    ("vexil.safety.exposure", "enforce_random_weights_values",
     lambda f: f(weights_vec=[1.0], label=type("Label", (str,), {})("w")),
     "Argument 'label' has incorrect type (expected str, got Label)"),
    ("vexil.options", "_set_one", lambda f: f(b"num.threads", 1),
     "Argument 'option' has incorrect type (expected str, got bytes)"),
])
def test_str_parameters_are_checked_exactly(module, func, call, text):
    f = getattr(pytest.importorskip(module), func)
    with pytest.raises(TypeError) as info:
        call(f)
    assert str(info.value) == text


def test_deleting_declared_annotations_leaves_an_empty_dict():
    options = pytest.importorskip("vexil.options")
    f = options.orvo_get_option
    declared = f.__annotations__
    assert declared == {"option": "Optional[Union[str, list]]"}
    try:
        del f.__annotations__
        assert f.__annotations__ == {}
        f.__annotations__ = None
        assert f.__annotations__ == {}

        def g(x: "ArrayLike") -> "np.ndarray": ...

        del g.__annotations__
        assert g.__annotations__ == {}  # what Python does
    finally:
        f.__annotations__ = declared
    assert f.__annotations__ is declared
