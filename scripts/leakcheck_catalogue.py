#!/usr/bin/env python3
"""Leak and robustness check of the latent model catalogue's conversion functions.

Calls every to_theta/from_theta function of the four catalogue modules over and over with good
arguments (Python numbers, numpy scalars and arrays), bad arguments (None, str, objects whose arithmetic
raises, arguments that divide by zero) and wrong call shapes, and reports the process size (resident set,
from /proc/self/statm) before and after, and the reference counts of the objects involved.

    PYTHONPATH=build/dev python scripts/leakcheck_catalogue.py            # about 9 million calls
    PYTHONPATH=build/dev python scripts/leakcheck_catalogue.py --kind-calls 1000000 --rounds 64

Exit status 1 when the resident set grows by more than --limit-kib or a reference count changes, or when
a call gives anything but a result or an ordinary Python exception.
"""

import argparse
import gc
import importlib
import os
import sys
import time

import numpy as np

MODULES = ["steppe", "autoregressive", "spatial", "plexus"]
PAGE = os.sysconf("SC_PAGE_SIZE")


def rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE // 1024


class Boom:
    """An argument whose arithmetic raises."""

    def _raise(self, *_):
        raise ValueError("boom")

    __add__ = __radd__ = __sub__ = __rsub__ = __mul__ = __rmul__ = _raise
    __truediv__ = __rtruediv__ = __neg__ = _raise


GOOD = [0.25, 2, -1.5, 0, np.float64(0.3), np.float64(1000.0), np.array([0.1, 0.2, 0.7]), False]
BAD = [None, "text", Boom(), [1, "x"], object(), {}, 1, True, 1.0, 10 ** 400]
SHAPES = [((), {}), ((1, 2), {}), ((), {"y": 1}), ((1,), {"x": 1}), ((), {"x": 1, "z": 2})]
EXPECTED = (TypeError, ValueError, ZeroDivisionError, OverflowError)


def functions():
    out = []
    for name in MODULES:
        m = importlib.import_module("vexil.model_defs.latent." + name)
        for record in m.MODELS.values():
            for entry in record["hyper"].values():
                out.append(entry["to_theta"])
                out.append(entry["from_theta"])
    return out


def exercise(f, rounds):
    """One round is len(GOOD) + len(BAD) + len(SHAPES) calls; returns the number of calls made."""
    for _ in range(rounds):
        for x in GOOD:
            f(x)
        for x in BAD:
            try:
                f(x)
            except EXPECTED:
                pass
        for args, kwargs in SHAPES:
            try:
                f(*args, **kwargs)
            except TypeError:
                pass
            else:
                raise AssertionError(f"{f!r} accepted a wrong call shape {args} {kwargs}")
    return rounds * (len(GOOD) + len(BAD) + len(SHAPES))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--kind-calls", type=int, default=1_000_000,
                    help="calls of one function of each of the 8 kinds (default 1,000,000)")
    ap.add_argument("--rounds", type=int, default=64,
                    help="argument rounds for every one of the 750 functions (default 64, about 1M calls)")
    ap.add_argument("--limit-kib", type=int, default=1024, help="allowed growth of the resident set")
    opts = ap.parse_args()

    funcs = functions()
    kinds = {}
    for f in funcs:  # one function per native implementation: probe by behaviour at a few points
        with np.errstate(all="ignore"):
            key = tuple(repr(_safe(f, x)) for x in (0.25, -0.75, 3.0, "t"))
        kinds.setdefault(key, f)
    per_round = len(GOOD) + len(BAD) + len(SHAPES)
    kind_rounds = max(1, opts.kind_calls // per_round)

    watched = [np, np.log, np.exp] + [x for x in GOOD + BAD
                                      if not (x is None or (type(x) in (int, bool) and abs(x) < 257))]
    with np.errstate(all="ignore"):
        for f in funcs:
            exercise(f, 3)  # warm every path and numpy's own caches
        gc.collect()
        counts = [sys.getrefcount(o) for o in watched]
        start_rss = rss_kib()
        t0 = time.perf_counter()
        calls = 0
        for f in kinds.values():
            calls += exercise(f, kind_rounds)
        mid_rss = rss_kib()
        for f in funcs:
            calls += exercise(f, opts.rounds)
        gc.collect()
        end_rss = rss_kib()
        elapsed = time.perf_counter() - t0
    after = [sys.getrefcount(o) for o in watched]

    print(f"functions: {len(funcs)} ({len(kinds)} kinds)")
    print(f"calls: {calls:,} in {elapsed:.1f} s "
          f"({kind_rounds * per_round:,} per kind, {opts.rounds * per_round:,} per function)")
    print(f"resident set: before {start_rss} KiB, after the kinds {mid_rss} KiB, after all {end_rss} KiB, "
          f"growth {end_rss - start_rss} KiB")
    print(f"reference counts unchanged: {after == counts}")
    ok = after == counts and end_rss - start_rss <= opts.limit_kib
    print("OK" if ok else "FAILED")
    return 0 if ok else 1


def _safe(f, x):
    try:
        r = f(x)
    except Exception as e:  # noqa: BLE001
        return type(e).__name__
    return r if r is not x else "same"


if __name__ == "__main__":
    sys.exit(main())
