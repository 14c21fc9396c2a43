"""The judgement of one fuzz call: a result, or a Python exception of an allowed type, and nothing worse.

Worse is: a SystemError anywhere in the exception's chain, a C++ exception that reached the binding layer
("internal error in native code"), CPython's complaints about a native function that returned NULL without
an exception or a result with one, or an exception type the function cannot raise by its documented
behaviour. A crash kills the test process, which is its own signal.
"""

from __future__ import annotations

import contextlib
import warnings

import numpy as np

from .hostile import BASE_RAISES, Hostile, HostileBase

FORBIDDEN_TEXTS = (
    "internal error in native code",
    "error return without exception set",
    "returned NULL without setting",
    "returned a result with an exception set",
    "returned a result with an error set",
    "native code failed without setting an exception",
    "native function returned no result",
    "bad argument to internal function",
)


class Verdict(AssertionError):
    pass


def _chain(exc):
    seen = set()
    while exc is not None and id(exc) not in seen:
        seen.add(id(exc))
        yield exc
        exc = exc.__cause__ or exc.__context__


def judge_exception(exc: BaseException, allowed, where: str):
    for link in _chain(exc):
        if isinstance(link, SystemError):
            raise Verdict("%s: SystemError in the exception chain: %r" % (where, link)) from exc
        text = _safe_str(link)
        for bad in FORBIDDEN_TEXTS:
            if bad in text:
                raise Verdict("%s: %s(%s)" % (where, type(link).__name__, text[:500])) from exc
    if not isinstance(exc, tuple(allowed)):
        raise Verdict("%s: %s is not among the exceptions it can raise (%s): %s" % (
            where, type(exc).__name__, ", ".join(t.__name__ for t in allowed), _safe_str(exc)[:500])) from exc


def _safe_str(exc):
    try:
        return str(exc)
    except BaseException:  # noqa: BLE001 - a hostile object inside the message
        return "<unprintable %s>" % type(exc).__name__


class Raised:
    def __init__(self, exc):
        self.exc = exc

    def __repr__(self):
        return "Raised(%s: %s)" % (type(self.exc).__name__, _safe_str(self.exc)[:200])


def attempt(fn, *args, allowed=(), where=None, **kwargs):
    """Calls fn; returns its result or a `Raised`; fails the test for anything outside `allowed`."""
    where = where or getattr(fn, "__qualname__", None) or type(fn).__qualname__
    base_raises = BASE_RAISES[0]
    try:
        result = fn(*args, **kwargs)
    except BaseException as exc:  # noqa: BLE001 - every outcome is judged
        if isinstance(exc, (KeyboardInterrupt, Verdict)):
            raise
        if BASE_RAISES[0] != base_raises and not isinstance(exc, HostileBase):
            raise Verdict("%s: a BaseException raised by a callable turned into %r" % (where, exc)) from exc
        judge_exception(exc, tuple(allowed) + (HostileBase,), where)
        _event("%s raised %s" % (where, type(exc).__name__))
        return Raised(exc)
    if BASE_RAISES[0] != base_raises:
        raise Verdict("%s: returned %r although a callable raised a BaseException" % (where, result))
    _event("%s returned %s" % (where, type(result).__name__))
    return result


def _event(text):
    """Counts outcomes in hypothesis' statistics (--hypothesis-show-statistics), when inside a test."""
    try:
        from hypothesis import event

        event(text)
    except Exception:  # noqa: BLE001 - outside a hypothesis test
        pass


# The strictness a call runs under: numpy and Python warnings ignored, turned into errors, or numpy's
# floating-point errors raised. Turning warnings into errors makes numpy and the interpreter fail in the
# middle of native code's calls into them, which tests its error paths.
STRICTNESS = ("quiet", "warnings-error", "numpy-raise")


@contextlib.contextmanager
def strictness(mode: str):
    with warnings.catch_warnings():
        if mode == "warnings-error":
            warnings.simplefilter("error")
            with np.errstate(all="warn"):
                yield
        elif mode == "numpy-raise":
            warnings.simplefilter("ignore")
            with np.errstate(all="raise"):
                yield
        else:
            warnings.simplefilter("ignore")
            with np.errstate(all="ignore"):
                yield


def extra_allowed(mode: str):
    if mode == "warnings-error":
        return (Warning,)
    if mode == "numpy-raise":
        return (FloatingPointError,)
    return ()


ALWAYS = (Hostile,)


def examples(weight: float):
    """Settings for a test worth `weight` times the profile's base number of examples."""
    from hypothesis import settings

    return settings(max_examples=max(1, int(settings.default.max_examples * weight)))


_MISSING = object()


@contextlib.contextmanager
def patched(obj, **attrs):
    """Sets attributes of `obj` for the duration (a module's globals, say) and restores them afterwards."""
    saved = {name: getattr(obj, name, _MISSING) for name in attrs}
    try:
        for name, value in attrs.items():
            setattr(obj, name, value)
        yield obj
    finally:
        for name, value in saved.items():
            if value is _MISSING:
                try:
                    delattr(obj, name)
                except AttributeError:
                    pass
            else:
                setattr(obj, name, value)
