"""Strategies shared by the fuzz tests of the three safety modules: keyword dictionaries, family lists and
control blocks full of hostile values, and replacements for the names the checks read at call time."""

from hypothesis import strategies as st

from vexil.safety.errors import SafetyError

from .hostile import (COLLIDE_WITH, Ctx, Hostile, ListOf, Named, StrSub, StrSubEqRaises, StrSubLies, TrapRecipe,
                      build, callables, named, numeric_sequences, trap_recipes, values, JUNK_FACTORIES,
                      NUMBER_FACTORIES)

PREFIX = "vexil safety check: "

FAMILIES = ["binomial", "xbinomial", "nbinomial", "nbinomial2", "betabinomial", "beta", "logistic", "loglogistic",
            "loglogisticsurv", "weibull", "weibullsurv", "exponential", "exponentialsurv", "lognormal",
            "lognormalsurv", "sn", "t", "gaussian", "poisson", "gamma", "gammasurv", "myfamily", "", "Poisson"]
KEYS = ["family", "E", "Ntrials", "scale", "offset", "weights", "formula", "data", "__args__", "control",
        "__families__", "link"]
LINKS = ["default", "logit", "log", "identity", "quantile", "probit", "neglog", "logoffset", "QUANTILE", " quantile ",
         "nope", ""]


def family_names():
    return st.one_of(
        st.sampled_from(FAMILIES),
        st.sampled_from(FAMILIES).map(lambda f: Named("StrSub(%r)" % f, lambda f=f: StrSub(f))),
        st.sampled_from(FAMILIES).map(lambda f: Named("StrSubEqRaises(%r)" % f, lambda f=f: StrSubEqRaises(f))),
        st.sampled_from(FAMILIES).map(lambda f: Named("StrSubLies(%r)" % f, lambda f=f: StrSubLies(f))),
        trap_recipes(["eq", "hash", "str", "bool"]),
        named(NUMBER_FACTORIES),
    )


def family_lists(favour=()):
    """What a caller may pass as `families=` (or store under "family"); `favour` names are drawn more often."""
    names = st.sampled_from(FAMILIES)
    if favour:
        names = st.one_of(st.sampled_from(list(favour)), names)
    return st.one_of(
        st.just(None),
        st.lists(names, max_size=4).map(lambda xs: ListOf("list", tuple(xs))),
        st.lists(names, min_size=1, max_size=3).map(lambda xs: ListOf("list", tuple(xs))),
        st.lists(st.one_of(names, family_names()), max_size=4).map(lambda xs: ListOf("list", tuple(xs))),
        st.lists(family_names(), max_size=3).map(lambda xs: ListOf("tuple", tuple(xs))),
        names,
        trap_recipes(["iter", "len", "getitem"], base=st.lists(names, max_size=3)),
        named(JUNK_FACTORIES),
    )


def key_recipes():
    return st.one_of(
        st.sampled_from(KEYS),
        st.sampled_from(COLLIDE_WITH).map(lambda k: TrapRecipe((("eq", "raise"), ("hash", "collide")), 0, k)),
        st.sampled_from(COLLIDE_WITH).map(lambda k: TrapRecipe((("eq", "true"), ("hash", "collide")), 0, k)),
        st.sampled_from(COLLIDE_WITH).map(lambda k: TrapRecipe((("eq", "badbool"), ("hash", "collide")), 0, k)),
        st.sampled_from(COLLIDE_WITH).map(lambda k: TrapRecipe((("eq", "mutate:clear"), ("hash", "collide")), 0, k)),
        st.sampled_from(KEYS).map(lambda k: Named("StrSub(%r)" % k, lambda k=k: StrSub(k))),
        named({"1": lambda: 1, "None": lambda: None, "(1,)": lambda: (1,)}),
    )


def response_recipes():
    """{"data": {...}, "formula": "y ~ x"} pieces: a response column of any kind."""
    return st.one_of(numeric_sequences(), values(max_leaves=3))


def block_values():
    return st.one_of(
        st.sampled_from([0, 1, 2, 3, -1, True, "1", "2", 1.9, None, "abc", 0.25, 0.5, -0.1, "0.1", float("nan"),
                         {}, [], [{}], {"a": 1}]),
        st.sampled_from(LINKS),
        named(NUMBER_FACTORIES),
        trap_recipes(["int", "index", "float", "str", "eq", "bool", "hash", "getitem", "len", "iter"]),
        values(max_leaves=2),
    )


@st.composite
def control_blocks(draw):
    keys = draw(st.lists(st.one_of(st.sampled_from(["variant", "hyper", "beta.censor.value", "link", "control.link",
                                                    "junk"]), key_recipes()), max_size=4))
    items = []
    for k in keys:
        items.append(k)
        if k == "control.link":
            items.append(draw(st.one_of(
                st.builds(lambda q: ListOf("dict", ("quantile", q)), block_values()),
                block_values())))
        elif k == "link":
            items.append(draw(st.one_of(st.sampled_from(LINKS), block_values())))
        else:
            items.append(draw(block_values()))
    return ListOf("dict", tuple(items))


@st.composite
def controls(draw):
    form = draw(st.sampled_from(["dict", "list", "none", "junk", "tuple", "nested-junk"]))
    if form == "dict":
        fam = draw(control_blocks())
    elif form == "list":
        fam = ListOf("list", tuple(draw(st.lists(st.one_of(control_blocks(), block_values()), max_size=4))))
    elif form == "tuple":
        fam = ListOf("tuple", tuple(draw(st.lists(control_blocks(), max_size=2))))
    elif form == "none":
        fam = None
    else:
        fam = draw(values(max_leaves=2))
    if form == "nested-junk":
        return draw(st.one_of(values(max_leaves=2), trap_recipes(["getitem", "bool", "eq", "hash"])))
    return ListOf("dict", ("family", fam))


@st.composite
def keyword_dicts(draw, require=(), favour=()):
    """A snapshot-like dict: any of the keys the checks read, hostile keys and values. Keys in `require` are
    present (mostly with numeric values), `favour` family names are drawn more often."""
    items = []
    if draw(st.booleans()):
        items += ["family", draw(family_lists(favour))]
    keys = set(draw(st.lists(st.sampled_from(["E", "Ntrials", "scale", "offset", "weights"]), max_size=3)))
    for k in sorted(keys | set(require)):
        items += [k, draw(st.one_of(numeric_sequences(), numeric_sequences(), st.just(None)))]
    if draw(st.booleans()):
        items += ["formula", draw(st.sampled_from(["y ~ x", "y~1", " ~ x", "cbind(y, n) ~ x", "y", "", "~"])),
                  "data", ListOf("dict", ("y", draw(response_recipes())))]
    if "control" in require or draw(st.booleans()):
        items += ["control", draw(controls())]
    for _ in range(draw(st.integers(0, 2))):
        items += [draw(key_recipes()), draw(values(max_leaves=2))]
    return ListOf("dict", tuple(items))


def build_families(recipe, ctx: Ctx):
    """Builds a `families` argument; a list is registered as a container a saboteur may change (the checks
    only iterate it, numpy never sees it)."""
    fam = build(recipe, ctx)
    if isinstance(fam, list):
        ctx.register(fam)
    return fam


def build_kwargs(recipe, ctx: Ctx):
    """Builds the keyword dict and registers it and its nested dicts as containers a saboteur may change.

    Lists are not registered: numpy converts them holding borrowed pointers to their items, so a list that
    loses an item while numpy reads it crashes numpy itself (np.asarray([x]) where x.__len__ empties the
    list), whatever the caller does."""
    d = build(recipe, ctx)
    if isinstance(d, dict):
        ctx.register(d)
        for v in list(d.values()):
            if isinstance(v, dict):
                ctx.register(v)
                for w in list(v.values()):
                    if isinstance(w, dict):
                        ctx.register(w)
    return d


def safety_messages_ok(raised):
    """A SafetyError's message starts with the prefix (the sibling stand-ins' ones too)."""
    exc = raised.exc
    if isinstance(exc, SafetyError):
        assert len(exc.args) == 1 and isinstance(exc.args[0], str) and exc.args[0].startswith(PREFIX), exc.args


class NotAnException:
    """A replacement for SafetyError that cannot be raised."""

    def __init__(self, *a):
        self.args = a


def replacement_recipes(names):
    """{name: recipe} for some of the module names a check reads at call time."""
    return st.dictionaries(
        st.sampled_from(names),
        st.one_of(callables(),
                  st.sampled_from([Named("NotAnException", lambda: NotAnException),
                                   Named("ValueError (class)", lambda: ValueError),
                                   Named("returns 5", lambda: (lambda *a, **k: 5)),
                                   Named("returns []", lambda: (lambda *a, **k: [])),
                                   Named("returns [nan, inf]", lambda: (lambda *a, **k: [float("nan"), float("inf")])),
                                   Named("returns trap list", lambda: (lambda *a, **k: [build(
                                       TrapRecipe((("eq", "raise"), ("float", "raise"))), Ctx())]))])),
        max_size=2)


def build_replacements(recipes, ctx):
    return {name: build(r, ctx) for name, r in recipes.items()}
