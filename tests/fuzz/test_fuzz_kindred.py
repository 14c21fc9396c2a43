"""Fuzzing vexil.safety.kindred: the family-control check and its two helpers.

By its documented behaviour the check raises `SafetyError` for every rule it breaks (conversion failures of
the variant, the censoring value and the quantile level included, chained to their cause), `TypeError` for a
`kwargs` that is not exactly a dict or a wrong call, and lets through what the documented steps provoke from
hostile objects: their own exceptions, and the OverflowError (or ValueError of a lying __len__) of a float()
or a len() that the steps do not catch.
"""

import pytest
from hypothesis import given
from hypothesis import strategies as st

import vexil.safety.kindred as kd
from vexil.safety.errors import SafetyError

from .hostile import Ctx, Hostile, Named, StrSub, build, named, trap_recipes, values, JUNK_FACTORIES
from .oracle import STRICTNESS, Raised, attempt, examples, extra_allowed, patched, strictness
from .safety import (FAMILIES, LINKS, block_values, build_families, build_kwargs, build_replacements,
                     control_blocks, family_lists, keyword_dicts, replacement_recipes, safety_messages_ok)

ALLOWED = (SafetyError, TypeError, ValueError, OverflowError, Hostile)
HELPERS = ["SafetyError", "_normalize_family_spec", "_normalize_link_value", "_validate_single_family_control",
           "_validate_link_for_family"]


def _judged(r):
    if isinstance(r, Raised):
        safety_messages_ok(r)
    else:
        assert r is None


@examples(3)
@given(kwargs=keyword_dicts(require=("control",)), families=family_lists(FAMILIES[:21]),
       mode=st.sampled_from(STRICTNESS))
def test_enforce_binomial_kindred(kwargs, families, mode):
    ctx = Ctx()
    kw = build_kwargs(kwargs, ctx)
    fam = build_families(families, ctx)
    with strictness(mode):
        _judged(attempt(kd.enforce_binomial_kindred, kw, families=fam, allowed=ALLOWED + extra_allowed(mode)))


@examples(1)
@given(kwargs=values(max_leaves=3), families=family_lists())
def test_enforce_binomial_kindred_junk(kwargs, families):
    ctx = Ctx()
    with strictness("quiet"):
        _judged(attempt(kd.enforce_binomial_kindred, build(kwargs, ctx), families=build(families, ctx),
                        allowed=ALLOWED))


name_recipes = st.one_of(st.sampled_from(FAMILIES), st.sampled_from(FAMILIES[:21]), st.sampled_from(FAMILIES[:21]),
                         named(JUNK_FACTORIES),
                         st.sampled_from(FAMILIES).map(lambda f: Named("StrSub(%r)" % f, lambda f=f: StrSub(f))))


@examples(1.5)
@given(name=name_recipes, block=st.one_of(control_blocks(), control_blocks(), control_blocks(), values(max_leaves=2)),
       idx=st.one_of(st.none(), st.integers(-3, 10 ** 20), named(JUNK_FACTORIES),
                     trap_recipes(["str", "index", "int", "eq"])),
       mode=st.sampled_from(STRICTNESS))
def test_validate_single_family_control(name, block, idx, mode):
    ctx = Ctx()
    blk = build(block, ctx)
    if isinstance(blk, dict):
        ctx.register(blk)
    with strictness(mode):
        _judged(attempt(kd._validate_single_family_control, build(name, ctx), blk, build(idx, ctx),
                        allowed=ALLOWED + extra_allowed(mode)))


@examples(1.5)
@given(block=st.one_of(control_blocks(), control_blocks(), values(max_leaves=2)), name=name_recipes,
       has=st.one_of(st.booleans(), trap_recipes(["bool"]), named(JUNK_FACTORIES)),
       links=st.one_of(st.lists(st.sampled_from(LINKS), max_size=5).map(set),
                       st.lists(st.sampled_from(LINKS), max_size=5).map(frozenset),
                       st.lists(st.sampled_from(LINKS), max_size=5),
                       st.lists(st.one_of(st.sampled_from(LINKS), block_values()), max_size=3).map(
                           lambda xs: ("list", tuple(xs))),
                       named(JUNK_FACTORIES), trap_recipes(["iter", "len", "eq", "hash"])),
       mode=st.sampled_from(STRICTNESS))
def test_validate_link_for_family(block, name, has, links, mode):
    ctx = Ctx()
    blk = build(block, ctx)
    if isinstance(blk, dict):
        ctx.register(blk)
    if isinstance(links, tuple):
        links = [build(v, ctx) for v in links[1]]
    with strictness(mode):
        _judged(attempt(kd._validate_link_for_family, blk, build(name, ctx), build(has, ctx), build(links, ctx),
                        allowed=ALLOWED + (AttributeError, KeyError) + extra_allowed(mode)))


@examples(1)
@given(kwargs=keyword_dicts(require=("control",)), families=family_lists(FAMILIES[:21]),
       replaced=replacement_recipes(HELPERS), mode=st.sampled_from(STRICTNESS))
def test_replaced_helpers(kwargs, families, replaced, mode):
    ctx = Ctx()
    kw = build_kwargs(kwargs, ctx)
    fam = build(families, ctx)
    with patched(kd, **build_replacements(replaced, ctx)):
        with strictness(mode):
            attempt(kd.enforce_binomial_kindred, kw, families=fam, allowed=(Exception,))


@pytest.mark.parametrize("name", ["enforce_binomial_kindred", "_validate_single_family_control",
                                  "_validate_link_for_family"])
@examples(0.3)
@given(args=st.lists(values(max_leaves=2), max_size=5),
       kwargs=st.dictionaries(st.sampled_from(["kwargs", "families", "family_name", "family_block", "idx",
                                               "has_family", "allowed_links", "x"]), values(max_leaves=2),
                              max_size=3))
def test_call_shapes(name, args, kwargs):
    ctx = Ctx()
    a = [build(r, ctx) for r in args]
    k = {n: build(r, ctx) for n, r in kwargs.items()}
    with strictness("quiet"):
        r = attempt(getattr(kd, name), *a, allowed=ALLOWED + (AttributeError, KeyError), **k)
    if isinstance(r, Raised):
        safety_messages_ok(r)
