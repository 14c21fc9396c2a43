"""Saboteurs: arguments that change the caller's containers while a native function is working on them.

Every value below is an object whose protocols (iteration, length, float conversion, comparison, hashing,
truth value, item access) first clear, shrink, grow or poison the containers the call was handed (the
keyword dictionary and its nested dicts and lists, the family list, a marginal's dict, the option store), and
then answer normally. Native code that kept a borrowed pointer into such a container across a call back
into Python would read freed memory; run under PYTHONMALLOC=debug such a read crashes at once. The outcome
must still be a result or an ordinary exception.
"""

import contextlib
import io

import numpy as np
from hypothesis import given
from hypothesis import strategies as st

import vexil.options as opt
import vexil.safety.capture as cap
import vexil.safety.exposure as ex
import vexil.safety.kindred as kd
from vexil.pure import quadra as q

from .hostile import BEHAVIOURS, Ctx, ListOf, TrapRecipe, build
from .oracle import attempt, examples, strictness
from .safety import FAMILIES, build_kwargs
from .test_fuzz_options import sandbox

MUTATIONS = [b for b in BEHAVIOURS["iter"] if b.startswith("mutate:")]
PROTOCOL_SETS = [("iter", "len"), ("float", "index"), ("eq", "hash"), ("bool",), ("getitem", "len", "iter"),
                 ("float", "iter", "len", "eq")]


@st.composite
def saboteurs(draw):
    protocols = draw(st.sampled_from(PROTOCOL_SETS))
    pairs = tuple(sorted((p, draw(st.sampled_from(MUTATIONS))) for p in protocols))
    base = draw(st.sampled_from([[1.0, 2.0, 3.0], [0.0, -1.0], ["poisson", "binomial"], 1.5, []]))
    return TrapRecipe(pairs, base, draw(st.sampled_from(["family", "E", "control", "x", "y", "link", "variant"])))


@st.composite
def sabotaged_kwargs(draw):
    items = []
    for key in draw(st.lists(st.sampled_from(["E", "Ntrials", "scale", "offset", "weights", "family"]), min_size=1,
                             max_size=4, unique=True)):
        items += [key, draw(st.one_of(saboteurs(), st.lists(saboteurs(), min_size=1, max_size=3).map(
            lambda xs: ListOf("list", tuple(xs)))))]
    block = ListOf("dict", tuple(x for k in draw(st.lists(st.sampled_from(
        ["variant", "hyper", "beta.censor.value", "link", "control.link"]), max_size=3, unique=True))
        for x in (k, draw(saboteurs()))))
    if draw(st.booleans()):
        items += ["control", ListOf("dict", ("family", draw(st.one_of(st.just(block), saboteurs(), st.just(
            ListOf("list", (block, block)))))))]
    if draw(st.booleans()):
        items += [draw(saboteurs()), 1]  # a key whose hash/eq misbehave
    if draw(st.booleans()):
        items += ["formula", "y ~ x", "data", ListOf("dict", ("y", draw(saboteurs())))]
    return ListOf("dict", tuple(items))


def _family_list(draw_names, ctx):
    fam = list(draw_names)
    ctx.register(fam)
    return fam


CHECKS = [getattr(ex, n) for n in ("enforce_exposure_usage", "enforce_poisson_exposure", "enforce_nbinomial_exposure",
                                   "enforce_binomial_trials", "enforce_scale_usage")]


@examples(3)
@given(kwargs=sabotaged_kwargs(), names=st.lists(st.sampled_from(FAMILIES[:21]), max_size=3),
       which=st.integers(0, 100))
def test_safety_checks(kwargs, names, which):
    ctx = Ctx(limit=6)
    kw = build_kwargs(kwargs, ctx)
    fam = _family_list(names + [build(TrapRecipe((("eq", MUTATIONS[which % 4]),), 0), ctx)], ctx)
    with strictness("quiet"):
        fn = CHECKS[which % len(CHECKS)]
        attempt(fn, kw, families=fam, allowed=(Exception,))
        attempt(ex.enforce_offset_values, kw, allowed=(Exception,))
        attempt(ex.enforce_weights_values, kw, allowed=(Exception,))
        attempt(ex.enforce_random_weights_values, kw.get("weights") if type(kw) is dict else kw, "re",
                allowed=(Exception,))
        attempt(kd.enforce_binomial_kindred, kw, families=fam, allowed=(Exception,))
        attempt(kd.enforce_binomial_kindred, kw, allowed=(Exception,))
        attempt(cap.capture_user_call, (build(TrapRecipe((("iter", "mutate:clear"),), [1.0]), ctx),), kw,
                allowed=(Exception,))


@examples(1)
@given(values=st.lists(saboteurs(), min_size=1, max_size=3), keys=st.lists(saboteurs(), max_size=2))
def test_option_store(values, keys):
    with sandbox() as store:
        ctx = Ctx(limit=6)
        ctx.register(store)
        for name, recipe in zip(["orvo.mode", "malloc.lib", "working.directory", "orvo.call"], values):
            store[name] = build(recipe, ctx)
        with strictness("quiet"):
            attempt(opt.orvo_get_option, allowed=(Exception,))
            attempt(opt.orvo_get_option, [build(k, ctx) for k in keys] + ["keep", "orvo.call"], allowed=(Exception,))
            attempt(opt.orvo_set_option, "keep", build(values[0], ctx), allowed=(Exception,))
            attempt(opt._post_set_checks, allowed=(Exception,))


@examples(1)
@given(x=saboteurs(), y=saboteurs(), extra=st.booleans())
def test_marginal_dicts(x, y, extra):
    ctx = Ctx(limit=6)
    m = {"x": build(x, ctx), "y": build(y, ctx)}
    if extra:
        m["z"] = build(x, ctx)
    ctx.register(m)
    with strictness("quiet"), contextlib.redirect_stdout(io.StringIO()):
        for fn, args in [(q.orvo_is_marginal, (m,)), (q.orvo_marginal_fix, (m,)), (q.orvo_smarginal, (m,)),
                         (q.orvo_zmarginal, (m, True)), (q.orvo_dmarginal, (np.zeros(2), m)),
                         (q.orvo_emarginal, (lambda v: v, m))]:
            attempt(fn, *args, allowed=(Exception,))
