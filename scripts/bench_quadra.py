"""Time vexil.pure.quadra against a plain numpy/scipy implementation of the same algorithms.

Run from a development build:
    PYTHONPATH=build/<name> python scripts/bench_quadra.py [--repeat N]

The baseline is the straightforward numpy/scipy transcription in tests/quadra_reference.py. For each
function and marginal size the script prints the median time of both and their ratio (baseline / native).
It checks nothing and sets no thresholds.
"""
import argparse
import os
import statistics
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


def median_time(fn, repeat, inner):
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        for _ in range(inner):
            fn()
        times.append((time.perf_counter() - t0) / inner)
    return statistics.median(times)


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
    ap.add_argument("--repeat", type=int, default=15, help="timing rounds per case (median taken)")
    args = ap.parse_args()

    print(f"{'function':32s} {'points':>6s} {'native us':>10s} {'baseline us':>12s} {'ratio':>8s}")
    for k in SIZES:
        m = marginal(k)
        for name, native, baseline in cases(m):
            # enough inner calls for about 20 ms per round of the baseline
            t = median_time(baseline, 3, 1)
            inner = max(1, int(0.02 / max(t, 1e-7)))
            tb = median_time(baseline, args.repeat, inner)
            tn = median_time(native, args.repeat, inner * 10)
            print(f"{name:32s} {k:6d} {tn * 1e6:10.1f} {tb * 1e6:12.1f} {tb / tn:8.1f}")


if __name__ == "__main__":
    main()
