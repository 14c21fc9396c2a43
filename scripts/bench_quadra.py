"""Time the smoothing functions of vexil.pure.quadra against a plain numpy/scipy implementation.

Run from a development build:
    PYTHONPATH=build/<name> python scripts/bench_quadra.py [--rounds N]

The baseline is the straightforward numpy/scipy transcription in tests/quadra_reference.py. For each
function and marginal size the script prints the time per call of both and their ratio (baseline / native).
Times are CPU time of the calling thread (time.thread_time), the best of many short rounds, so that other
work on a shared machine disturbs them little. It checks nothing and sets no thresholds.
scripts/bench_quadra_queries.py times the rest of the module the same way.
"""
import argparse
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
import quadra_reference as ref  # noqa: E402
from vexil.pure import quadra  # noqa: E402

SIZES = (20, 75, 500)


def marginal(k, seed=0):
    """A skewed density tabulated on k unevenly spaced points (a gamma(3) shape)."""
    rng = np.random.default_rng(seed)
    x = np.sort(rng.uniform(0.05, 12.0, k))
    y = x**2 * np.exp(-x)
    return {"x": x, "y": y}


def best_time(fn, rounds, seconds=0.01):
    """CPU seconds per call of fn: the best of `rounds` rounds of about `seconds` each."""
    t0 = time.thread_time()
    fn()
    once = max(time.thread_time() - t0, 1e-7)
    number = max(1, int(seconds / once))
    best = float("inf")
    for _ in range(rounds):
        t0 = time.thread_time()
        for _ in range(number):
            fn()
        best = min(best, (time.thread_time() - t0) / number)
    return best


def cases(m):
    """(name, native call, baseline call) for one marginal."""
    grid = np.linspace(m["x"].min(), m["x"].max(), 2048)

    def sf_native():
        f = quadra.orvo_sfmarginal(m)
        return f["fun"](grid)

    def sf_ref():
        f = ref.sfmarginal(m)
        return f["fun"](grid)

    return [
        ("orvo_smarginal", lambda: quadra.orvo_smarginal(m), lambda: ref.smarginal(m)),
        ("orvo_sfmarginal + fun(2048)", sf_native, sf_ref),
        ("orvo_spline", lambda: quadra.orvo_spline(m), lambda: ref.spline(m)),
    ]


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rounds", type=int, default=25, help="timing rounds per case (the best is taken)")
    args = ap.parse_args()

    print(f"{'function':32s} {'points':>6s} {'native us':>10s} {'baseline us':>12s} {'ratio':>8s}")
    for k in SIZES:
        m = marginal(k)
        for name, native, baseline in cases(m):
            tb = best_time(baseline, args.rounds)
            tn = best_time(native, args.rounds)
            print(f"{name:32s} {k:6d} {tn * 1e6:10.1f} {tb * 1e6:12.1f} {tb / tn:8.1f}")


if __name__ == "__main__":
    main()
