#!/usr/bin/env python3
"""Reference-leak and memory check of every public function of the nine extension modules.

Each function is called ITERATIONS times in a loop with valid arguments, and again ITERATIONS times with each
kind of bad argument (wrong type, wrong call shape, values a rule rejects, objects whose protocols raise,
callables that raise or return junk, ...). Around each loop the check records

- the process's resident set (RSS, from /proc/self/statm): memory of every kind, native allocations included;
- the reference counts of the loop's argument objects: a native function that keeps a reference it does not
  own, or drops one it does not hold, changes them;
- the number of objects the garbage collector tracks: objects created and never freed.

After a warm-up (so that numpy's and the modules' one-time caches are filled), the resident set must stay
flat. Prints one line per function and a summary, and exits with status 1 when a reference count changed,
tracked objects accumulated, or the resident set grew beyond the tolerance (printed with the figures).

    PYTHONPATH=build/dev python scripts/leakcheck.py                      # 100,000 calls per argument kind
    PYTHONPATH=build/dev python scripts/leakcheck.py -n 5000 --only quadra

tests/test_leaks.py runs the same cases with a few thousand calls, adding a tracemalloc measure of the memory
allocated through Python's allocators.
"""

import argparse
import contextlib
import gc
import importlib
import io
import math
import os
import sys
import time
import warnings

import numpy as np

PAGE = os.sysconf("SC_PAGE_SIZE")

MODULES = {
    "quadra": "vexil.pure.quadra",
    "options": "vexil.options",
    "exposure": "vexil.safety.exposure",
    "kindred": "vexil.safety.kindred",
    "capture": "vexil.safety.capture",
    "steppe": "vexil.model_defs.latent.steppe",
    "autoregressive": "vexil.model_defs.latent.autoregressive",
    "spatial": "vexil.model_defs.latent.spatial",
    "plexus": "vexil.model_defs.latent.plexus",
}

# Tolerances. After the warm-up nothing may accumulate; the resident set moves by whole pages as the
# allocators grow and shrink their pools, so a little slack is allowed per function and for the whole run.
RSS_PER_FUNCTION_KIB = 1024
RSS_TOTAL_KIB = 4096
GC_OBJECTS_SLACK = 64


def fix_malloc_thresholds():
    """glibc raises its mmap threshold the first time a large block is freed, after which such blocks stay
    on the heap: a one-time step of the resident set that looks like growth. Fixing the threshold (as
    setting it explicitly does) keeps the resident set a faithful measure."""
    try:
        import ctypes

        libc = ctypes.CDLL(None)
        libc.mallopt(-3, 128 * 1024)  # M_MMAP_THRESHOLD
    except (OSError, AttributeError):
        pass


def rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE // 1024


class Boom(Exception):
    """Raised by the hostile arguments below."""


class RaisesOnFloat:
    def __float__(self):
        raise Boom("__float__")

    def __index__(self):
        raise Boom("__index__")


class RaisesOnIter:
    def __iter__(self):
        raise Boom("__iter__")

    def __len__(self):
        return 3


class EqRaises:
    def __eq__(self, other):
        raise Boom("__eq__")

    def __hash__(self):
        return hash("family")


class BoolRaises:
    def __bool__(self):
        raise Boom("__bool__")


class ArithRaises:
    def _raise(self, *_):
        raise Boom("arithmetic")

    __add__ = __radd__ = __sub__ = __rsub__ = __mul__ = __rmul__ = __truediv__ = __rtruediv__ = __neg__ = _raise


class StrSub(str):
    pass


class DictSub(dict):
    pass


class Junk:
    pass


def raising(*a, **k):
    raise Boom("callable")


def junk_returning(*a, **k):
    return Junk()


class Case:
    """One function and its argument kinds: [(label, args, kwargs, cleanup or None)]."""

    def __init__(self, module, name, fn, kinds):
        self.module, self.name, self.fn, self.kinds = module, name, fn, kinds

    @property
    def label(self):
        return "%s.%s" % (self.module, self.name)


def _marginal():
    x = np.linspace(-3.0, 3.0, 9)
    return {"x": x, "y": np.exp(-0.5 * x * x)}


def _matrix():
    m = _marginal()
    return np.column_stack([m["x"], m["y"]])


def quadra_cases(q):
    m, mat = _marginal(), _matrix()
    small = {"x": [0.0, 1.0], "y": [1.0, 1.0]}
    nan = {"x": [0.0, 1.0, 2.0], "y": [np.nan] * 3}
    hostile = {"x": RaisesOnIter(), "y": [1.0, 2.0, 1.0]}
    f = lambda x, *a, **k: x  # noqa: E731
    common = [("not a marginal", (None,), {}), ("too small", (small,), {}), ("all NaN", (nan,), {}),
              ("raising column", (hostile,), {}), ("3-d array", (np.zeros((2, 3, 2)),), {})]

    def with_marginal(prefix=(), suffix=(), **kw):
        """The common bad marginals placed among the other (valid) arguments."""
        return [(label, tuple(prefix) + a + tuple(suffix), kw) for label, a, _ in common]

    table = {
        "orvo_is_marginal": [("valid", (m,), {}), ("matrix", (mat,), {}), ("junk", (Junk(),), {}),
                             ("raising keys", ({EqRaises(): 1},), {}), ("no argument", (), {})],
        "orvo_marginal_fix": [("valid", (m,), {}), ("matrix", (mat,), {})] + with_marginal(),
        "orvo_spline": [("valid", (m,), {"ignored": 1}), ("matrix", (mat,), {})] + with_marginal(),
        "orvo_smarginal": [("valid", (m,), {}), ("matrix keep_type", (mat,), {"keep_type": True, "log": True}),
                           ("bad factor", (m,), {"factor": "2"}), ("raising factor", (m,), {"factor": RaisesOnFloat()}),
                           ("bad extrapolate", (m,), {"extrapolate": "x"}), ("bool raises", (m,), {"log": BoolRaises()}),
                           ("negative extrapolate", (m,), {"extrapolate": -0.4})] + with_marginal(),
        "orvo_sfmarginal": [("valid", (m,), {})] + with_marginal(),
        "orvo_emarginal": [("valid", (f, m, 1), {"k": 2}), ("vector fun", (lambda x: np.column_stack([x, x * x]), m), {}),
                           ("raising fun", (raising, m), {}), ("junk fun", (junk_returning, m), {}),
                           ("wrong length", (lambda x: np.zeros((3, 2)), m), {}), ("not callable", (5, m), {})]
                          + with_marginal((f,)),
        "orvo_dmarginal": [("valid", ([0.0, 0.5, 9.0], m), {}), ("log scalar", (0.1, m), {"log": True}),
                           ("bad points", ("abc", m), {}), ("raising points", (RaisesOnIter(), m), {})]
                          + with_marginal((0.0,)),
        "orvo_pmarginal": [("valid", ([0.0, 0.5], m), {"length": 64}), ("length 1", (0.0, m), {"length": 1}),
                           ("bad length", (0.0, m), {"length": "x"}), ("raising length", (0.0, m), {"length": RaisesOnFloat()})]
                          + with_marginal((0.0,)),
        "orvo_qmarginal": [("valid", ([0.1, 0.5, 1.0], m), {"length": 64}), ("bad p", ([None], m), {}),
                           ("bad length", (0.5, m), {"length": None})] + with_marginal((0.5,)),
        "orvo_hpdmarginal": [("valid", ([0.5, 0.95], m), {"length": 64}), ("2-d levels", ([[0.5, 0.9]], m), {"length": 64}),
                             ("length 0", (0.5, m), {"length": 0})] + with_marginal((0.5,)),
        "orvo_mmarginal": [("valid", (m,), {})] + with_marginal(),
        "orvo_zmarginal": [("valid", (m, True), {}), ("not a marginal", ([1, 2], True), {}),
                           ("raising silent", (m, BoolRaises()), {})] + with_marginal(suffix=(True,)),
        "orvo_rmarginal": [("valid", (16, m, np.random.default_rng(1)), {}), ("rng junk", (3, m, Junk()), {}),
                           ("negative n", (-1, m), {}), ("bad n", ("3", m), {})] + with_marginal((4,)),
        "orvo_deriv_func": [("valid", (np.sin,), {}), ("bad step", (np.sin, "x"), {}), ("no fun", (), {})],
        "orvo_tmarginal": [("valid", (f, m, 32), {}), ("linear", (np.exp, mat, 32), {"method": "LINEAR"}),
                           ("bad method", (f, m, 8), {"method": "cubic"}), ("method None", (f, m, 8), {"method": None}),
                           ("raising fun", (raising, m, 8), {}), ("junk fun", (junk_returning, m, 8), {})]
                          + with_marginal((f,), (8,)),
        "orvo_marginal_transform": [("valid", (f, m, 32, 1e-4, "linear"), {}), ("bad n", (f, m, "n"), {})]
                                   + with_marginal((f,), (8,)),
    }
    derivative = q.orvo_deriv_func(np.sin) if hasattr(q, "orvo_deriv_func") else None
    out = []
    for name, kinds in table.items():
        if hasattr(q, name):
            out.append(Case("quadra", name, getattr(q, name), kinds))
    if derivative is not None:
        out.append(Case("quadra", "orvo_deriv_func(...)", derivative,
                        [("valid", ([0.0, 1.0],), {}), ("bad x", ("x",), {})]))
    return out


def options_cases(o):
    def restore_mode():
        o.orvo_set_option("orvo.mode", "compact")

    return [
        Case("options", "orvo_get_option", o.orvo_get_option, [
            ("valid key", ("keep",), {}), ("all", (), {}), ("list", (["keep", "safe", "tessor.call"],), {}),
            ("orvo.call", ("orvo.call",), {}), ("unknown key", ("nope",), {}), ("unhashable", ([[1]],), {}),
            ("raising iterable", (RaisesOnIter(),), {}), ("not iterable", (5,), {}), ("str subclass", (StrSub("keep"),), {}),
            ("raising key", ([EqRaises()],), {})]),
        Case("options", "orvo_set_option", o.orvo_set_option, [
            ("valid pair", ("keep", False), {}), ("valid keywords", (), {"verbose": False, "safe": True}),
            ("allocator warning", ("malloc.lib", "foo"), {}), ("unknown key", ("nope", 1), {}),
            ("wrong shape", ("keep",), {}), ("non-str key", (1, 2), {}),
            ("invalid mode", ("orvo.mode", "Compact"), {}, restore_mode),
            ("raising value", ("working.directory", EqRaises()), {})]),
        Case("options", "orvo_get_option_default", o.orvo_get_option_default, [
            ("valid", (), {}), ("extra argument", (1,), {})]),
        Case("options", "orvo_enabled_Corvex_features", o.orvo_enabled_Corvex_features, [
            ("valid", (), {}), ("extra argument", (1,), {})]),
    ]


def exposure_cases(ex):
    resp = {"formula": "y ~ x", "data": {"y": [0.0, 1.0, 1.0]}}
    good = dict(resp, E=[1.0, 2.0, 3.0], Ntrials=[1, 2, 3], scale=[1.0, 2.0, 3.0], offset=[0.0, 0.5, 1.0],
                weights=[1.0, 1.0, 2.0])
    bad = dict(resp, E=[0.0, -1.0, 3.0], Ntrials=[2.5, 1, 1], scale=[0.0, 2.0, 3.0], offset=[np.inf, 0.0, 1.0],
               weights=[0.0, 1.0, 1.0])
    raising = dict(resp, E=[RaisesOnFloat()], Ntrials=[RaisesOnFloat()], scale=[RaisesOnFloat()],
                   offset=[RaisesOnFloat(), 1.0, 2.0], weights=RaisesOnIter())
    families = {"enforce_exposure_usage": ["gaussian"], "enforce_poisson_exposure": ["poisson"],
                "enforce_nbinomial_exposure": ["nbinomial"], "enforce_binomial_trials": ["binomial"],
                "enforce_scale_usage": ["gaussian"]}
    out = []
    for name, fam in families.items():
        fn = getattr(ex, name)
        out.append(Case("exposure", name, fn, [
            ("valid", (dict(good, E=None) if name == "enforce_exposure_usage" else good,), {"families": fam}),
            ("rule violated", (bad,), {"families": fam}), ("raising values", (raising,), {"families": fam}),
            ("family from kwargs", (dict(good, family=fam[0]),), {}), ("kwargs not a dict", (None,), {}),
            ("dict subclass", (DictSub(good),), {}), ("raising families", (good,), {"families": RaisesOnIter()}),
            ("wrong shape", (good, fam), {})]))
    for name in ("enforce_offset_values", "enforce_weights_values"):
        out.append(Case("exposure", name, getattr(ex, name), [
            ("valid", (good,), {}), ("rule violated", (bad,), {}), ("raising values", (raising,), {}),
            ("unreadable", (dict(good, offset=["a"], weights=["a"]),), {}), ("kwargs not a dict", ([],), {}),
            ("wrong shape", (), {"families": None})]))
    out.append(Case("exposure", "enforce_random_weights_values", ex.enforce_random_weights_values, [
        ("valid", ([1.0, np.nan], "re"), {}), ("infinite", ([np.inf, 1.0], "re"), {}),
        ("unreadable", (RaisesOnIter(), "re"), {}), ("label not str", ([1.0], None), {}),
        ("label subclass", ([1.0], StrSub("re")), {})]))
    return out


def kindred_cases(kd):
    fam = ["binomial"]
    return [Case("kindred", "enforce_binomial_kindred", kd.enforce_binomial_kindred, [
        ("valid", ({"control": {"family": {"variant": 1, "link": "logit"}}},), {"families": fam}),
        ("list form", ({"control": {"family": [{"variant": 0}]}},), {"families": fam}),
        ("variant out of range", ({"control": {"family": {"variant": 2}}},), {"families": fam}),
        ("variant unconvertible", ({"control": {"family": {"variant": None}}},), {"families": fam}),
        ("bad link", ({"control": {"family": {"link": "identity"}}},), {"families": fam}),
        ("quantile level", ({"control": {"family": {"link": "quantile", "control.link": {"quantile": "x"}}}},),
         {"families": ["weibull"]}),
        ("raising variant", ({"control": {"family": {"variant": RaisesOnFloat()}}},), {"families": fam}),
        ("raising key", ({"control": {"family": {EqRaises(): 1}}},), {"families": fam}),
        ("kwargs not a dict", (None,), {}), ("wrong shape", (), {})])]


def capture_cases(cap):
    good = {"family": "poisson", "E": [1.0, 2.0], "formula": "y ~ x", "data": {"y": [1.0, 2.0]}}
    return [Case("capture", "capture_user_call", cap.capture_user_call, [
        ("valid", (("y ~ x",), good), {}), ("empty", ((), {}), {}),
        ("rule violated", ((), dict(good, family="gaussian")), {}),
        ("raising value", ((), dict(good, E=[RaisesOnFloat()])), {}),
        ("raising key", ((), {EqRaises(): 1}), {}),
        ("args not a tuple", ([], good), {}), ("kwargs subclass", ((), DictSub(good)), {}),
        ("wrong shape", ((),), {})])]


def catalogue_cases(mods):
    """One function of each native conversion kind in each module (behaviour at a few points tells the kinds
    apart)."""
    kinds = {}
    for mname, mod in mods:
        for model, record in mod.MODELS.items():
            for key, entry in record["hyper"].items():
                for side in ("to_theta", "from_theta"):
                    f = entry[side]
                    with np.errstate(all="ignore"):
                        sig = []
                        for x in (0.25, -0.75, 3.0, "t"):
                            try:
                                r = f(x)
                                sig.append("same" if r is x else repr(r))
                            except Exception as e:  # noqa: BLE001
                                sig.append(type(e).__name__)
                    # per module: each catalogue module is its own shared library
                    kinds.setdefault((mname,) + tuple(sig), (mname, model, key, side, f))
    out = []
    for mname, model, key, side, f in kinds.values():
        out.append(Case(mname, "MODELS[%r][%r][%r]" % (model, key, side), f, [
            ("float", (0.25,), {}), ("int", (0,), {}), ("array", (np.array([0.1, 0.2, 0.7]),), {}),
            ("numpy scalar", (np.float64(1000.0),), {}), ("None", (None,), {}), ("str", ("text",), {}),
            ("raising arithmetic", (ArithRaises(),), {}), ("divides by zero", (1,), {}), ("huge int", (10 ** 400,), {}),
            ("no argument", (), {}), ("two arguments", (1, 2), {}), ("wrong keyword", (), {"y": 1})]))
    return out


def all_cases(only=None):
    mods = {}
    missing = []
    for short, name in MODULES.items():
        if only and short not in only:
            continue
        try:
            mods[short] = importlib.import_module(name)
        except ImportError as e:
            missing.append("%s (%s)" % (name, e))
    cases = []
    if "quadra" in mods:
        cases += quadra_cases(mods["quadra"])
    if "options" in mods:
        cases += options_cases(mods["options"])
    if "exposure" in mods:
        cases += exposure_cases(mods["exposure"])
    if "kindred" in mods:
        cases += kindred_cases(mods["kindred"])
    if "capture" in mods:
        cases += capture_cases(mods["capture"])
    cat = [(k, mods[k]) for k in ("steppe", "autoregressive", "spatial", "plexus") if k in mods]
    if cat:
        cases += catalogue_cases(cat)
    return cases, missing


# ---------------------------------------------------------------------------------------------------------
# Measuring.


def _watched(args, kwargs):
    """The argument objects whose reference counts are compared (containers and their items, one level
    down; not None, bools, small ints or strings, whose counts move with unrelated code)."""
    out = []

    def add(o):
        if o is None or isinstance(o, (bool, str)) or (type(o) is int and -5 <= o <= 256):
            return
        out.append(o)

    for o in list(args) + list(kwargs.values()):
        add(o)
        if isinstance(o, dict):
            for v in o.values():
                add(v)
        elif isinstance(o, (list, tuple)):
            for v in o:
                add(v)
    return out


def loop(fn, args, kwargs, n):
    """Calls fn n times; returns (#results, #exceptions, the set of exception types)."""
    ok = failed = 0
    types = set()
    for _ in range(n):
        try:
            fn(*args, **kwargs)
            ok += 1
        except Exception as e:  # noqa: BLE001 - bad arguments are supposed to fail
            failed += 1
            types.add(type(e).__name__)
    return ok, failed, types


@contextlib.contextmanager
def quiet():
    with warnings.catch_warnings(), np.errstate(all="ignore"), contextlib.redirect_stdout(io.StringIO()):
        warnings.simplefilter("ignore")
        yield


class Measure:
    """Per (function, kind): reference counts, tracked objects, and optionally tracemalloc's traced size."""

    def __init__(self, use_tracemalloc=False, count_objects=True):
        self.use_tracemalloc = use_tracemalloc
        # Counting the collector's objects walks the whole heap: cheap in this script, slow in a test process
        # whose heap holds everything the earlier tests left (tracemalloc sees such objects there anyway).
        self.count_objects = count_objects

    def run(self, case, kind, n, warmup=0):
        label, args, kwargs = kind[:3]
        cleanup = kind[3] if len(kind) > 3 else None
        with quiet():
            if warmup:
                loop(case.fn, args, kwargs, warmup)
                if cleanup:
                    cleanup()
            gc.collect()
            watched = _watched(args, kwargs)
            counts = [sys.getrefcount(o) for o in watched]
            objects = len(gc.get_objects()) if self.count_objects else 0
            traced0 = None
            if self.use_tracemalloc:
                import tracemalloc

                traced0 = tracemalloc.get_traced_memory()[0]
            # The resident set is compared between the middle and the end of the loop: a leak grows it in
            # both halves, while the allocators' one-time steps (a pool reaching its working size) happen
            # early.
            half = n // 2
            ok, failed, types = loop(case.fn, args, kwargs, half)
            gc.collect()
            rss_mid = rss_kib()
            ok2, failed2, types2 = loop(case.fn, args, kwargs, n - half)
            ok, failed, types = ok + ok2, failed + failed2, types | types2
            if cleanup:
                cleanup()
            gc.collect()
            rss_growth = rss_kib() - rss_mid
            traced = None
            if self.use_tracemalloc:
                import tracemalloc

                traced = tracemalloc.get_traced_memory()[0] - traced0
            grown = len(gc.get_objects()) - objects if self.count_objects else 0
            after = [sys.getrefcount(o) for o in watched]
        changed = [(type(o).__name__, b, a) for o, b, a in zip(watched, counts, after) if a != b]
        return {"label": label, "ok": ok, "failed": failed, "types": sorted(types), "refcounts": changed,
                "objects": grown, "traced": traced, "rss": rss_growth}


def warm_up(cases, warmup):
    """Every kind of every function `warmup` times, twice over: numpy's, scipy's and the modules' one-time
    caches fill, and the allocators reach their working size, before anything is measured."""
    with quiet():
        for _ in range(2):
            for case in cases:
                for kind in case.kinds:
                    loop(case.fn, kind[1], kind[2], warmup)
                    if len(kind) > 3:
                        kind[3]()
    gc.collect()
    len(gc.get_objects())  # the measurement's own big list, once, so that it is part of the working set


def check(cases, n, warmup, out=print, use_tracemalloc=False, traced_limit=None):
    """Runs every case; returns (ok, list of problems)."""
    m = Measure(use_tracemalloc)
    problems = []
    warm_up(cases, warmup)
    start_total = rss_kib()
    for case in cases:
        rss0 = rss_kib()
        t0 = time.perf_counter()
        results = [m.run(case, kind, n) for kind in case.kinds]
        rss1 = rss_kib()
        growth = sum(r["rss"] for r in results)
        calls = sum(r["ok"] + r["failed"] for r in results)
        out("%-58s %9d calls %6.1f s  RSS %7d -> %7d KiB, second halves %+d KiB" % (
            case.label[:58], calls, time.perf_counter() - t0, rss0, rss1, growth))
        if growth > RSS_PER_FUNCTION_KIB:
            problems.append("%s: resident set grew by %d KiB in the second halves of its loops (tolerance %d KiB)"
                            % (case.label, growth, RSS_PER_FUNCTION_KIB))
        for r in results:
            where = "%s [%s]" % (case.label, r["label"])
            if r["refcounts"]:
                problems.append("%s: reference counts changed %s" % (where, r["refcounts"]))
            if r["objects"] > GC_OBJECTS_SLACK:
                problems.append("%s: %d more objects tracked by the collector" % (where, r["objects"]))
            if traced_limit is not None and r["traced"] is not None and r["traced"] > traced_limit:
                problems.append("%s: %d bytes more allocated through Python's allocators" % (where, r["traced"]))
    total = rss_kib() - start_total
    out("total resident set growth: %+d KiB (tolerance %d KiB)" % (total, RSS_TOTAL_KIB))
    if total > RSS_TOTAL_KIB:
        problems.append("whole run: resident set grew by %d KiB (tolerance %d KiB)" % (total, RSS_TOTAL_KIB))
    return not problems, problems


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("-n", "--iterations", type=int, default=100_000, help="calls per argument kind (100,000)")
    ap.add_argument("--warmup", type=int, default=300, help="calls per kind before measuring (300)")
    ap.add_argument("--only", nargs="*", choices=sorted(MODULES), help="modules to check (all by default)")
    opts = ap.parse_args(argv)

    fix_malloc_thresholds()
    cases, missing = all_cases(opts.only)
    for m in missing:
        print("not importable, skipped:", m)
    kinds = sum(len(c.kinds) for c in cases)
    print("%d functions, %d argument kinds, %d calls per kind after %d warm-up calls" % (
        len(cases), kinds, opts.iterations, opts.warmup))
    print("tolerances: resident set %d KiB per function (second halves of its loops), %d KiB in all; "
          "reference counts unchanged; "
          "at most %d more objects tracked by the collector per kind" % (RSS_PER_FUNCTION_KIB, RSS_TOTAL_KIB,
                                                                         GC_OBJECTS_SLACK))
    start = rss_kib()
    t0 = time.perf_counter()
    ok, problems = check(cases, opts.iterations, opts.warmup)
    print("resident set: %d KiB at start, %d KiB at the end; %.0f s" % (start, rss_kib(), time.perf_counter() - t0))
    for p in problems:
        print("PROBLEM:", p)
    print("OK" if ok else "FAILED")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
