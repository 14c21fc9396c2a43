"""Fuzzing vexil.safety.capture: one call runs the family step and all 36 checks on a hostile snapshot.

`capture_user_call` raises `TypeError` for arguments that are not exactly a tuple and a dict, and otherwise
whatever the family step or a check raises (SafetyError, or what hostile values provoke in them). A result
is the snapshot: a new dict holding the keyword arguments, "__args__" and "__families__".
"""

from hypothesis import given
from hypothesis import strategies as st

import vexil.safety.capture as cap
from vexil.safety.errors import SafetyError

from .hostile import Ctx, Hostile, build, values
from .oracle import STRICTNESS, Raised, attempt, examples, extra_allowed, patched, strictness
from .safety import build_kwargs, build_replacements, keyword_dicts, replacement_recipes, safety_messages_ok

ALLOWED = (SafetyError, TypeError, ValueError, OverflowError, Hostile)
CHECK_NAMES = [n for n in vars(cap) if n.startswith("enforce_")]


@examples(3)
@given(args=st.lists(values(max_leaves=2), max_size=3), kwargs=keyword_dicts(), mode=st.sampled_from(STRICTNESS))
def test_capture_user_call(args, kwargs, mode):
    ctx = Ctx()
    a = tuple(build(r, ctx) for r in args)
    kw = build_kwargs(kwargs, ctx)
    snapshot_keys = list(kw) if isinstance(kw, dict) else None
    with strictness(mode):
        r = attempt(cap.capture_user_call, a, kw, allowed=ALLOWED + extra_allowed(mode))
    if isinstance(r, Raised):
        safety_messages_ok(r)
        return
    assert type(r) is dict and r is not kw
    assert r["__args__"] is a or r["__args__"] == a
    assert type(r["__families__"]) is tuple
    if ctx.mutations == 0:
        assert set(snapshot_keys) | {"__args__", "__families__"} == set(r)


@examples(1)
@given(args=values(max_leaves=2), kwargs=values(max_leaves=3))
def test_capture_user_call_junk(args, kwargs):
    ctx = Ctx()
    with strictness("quiet"):
        r = attempt(cap.capture_user_call, build(args, ctx), build(kwargs, ctx), allowed=ALLOWED)
    if isinstance(r, Raised):
        safety_messages_ok(r)


@examples(1)
@given(kwargs=keyword_dicts(), replaced=replacement_recipes(CHECK_NAMES), mode=st.sampled_from(STRICTNESS))
def test_replaced_checks(kwargs, replaced, mode):
    """Checks replaced by junk (a check returning junk, raising, or a family step returning a non-iterable)."""
    ctx = Ctx()
    kw = build_kwargs(kwargs, ctx)
    with patched(cap, **build_replacements(replaced, ctx)):
        with strictness(mode):
            attempt(cap.capture_user_call, (), kw, allowed=(Exception,))
