#!/usr/bin/env python3
"""Times the queries of vexil.pure.quadra against a numpy/scipy implementation of the same algorithms.

For every public function of the module's second half, on marginals of 20, 75 and 500 points, prints the
time per call of the native module and of the numpy/scipy baseline (tests/quadra_queries_reference.py, the
algorithms as written: the mode search smooths the marginal again at every evaluation of its objective)
and their ratio, with the largest difference between the two results (relative; mode and HPD ends as a
fraction of the marginal's range). Times are CPU time of the calling thread, the best of several rounds
(as in scripts/bench_quadra.py). Then summarises a batch of 10,000 different 75-point marginals with
orvo_zmarginal(m, silent=True) on 1 and 2 threads and reports the throughput (wall time) and the resident
memory; run that part on a quiet machine.

Run from a development build:  PYTHONPATH=build/<dir> python scripts/bench_quadra_queries.py
Options: --quick (fewer repeats), --batch N (batch size, default 10000).
"""
import argparse
import gc
import os
import sys
import threading
import time

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from bench_quadra import best_time  # noqa: E402
from quadra_queries_reference import Ref  # noqa: E402

from vexil.pure import quadra as q  # noqa: E402


def marginal(rng, k):
    """A skewed, unevenly tabulated posterior marginal of k points (a gamma-like density)."""
    x = np.sort(rng.uniform(0.05, 1.0, k)) ** 1.5 * rng.uniform(8.0, 15.0)
    shape = rng.uniform(2.0, 6.0)
    y = x ** (shape - 1.0) * np.exp(-x) * rng.uniform(0.5, 2.0)
    return {"x": x, "y": y}


def deviation(got, want, scale):
    """Largest difference, relative to the values (or to `scale` when given)."""
    if isinstance(got, dict):
        return max(deviation(got[k], want[k], scale if k == "mode" else None) for k in want)
    g = np.asarray(got, dtype=float).ravel()
    w = np.asarray(want, dtype=float).ravel()
    ok = ~(np.isnan(g) & np.isnan(w))
    if scale is not None:
        return float(np.max(np.abs(g[ok] - w[ok]), initial=0.0) / scale)
    return float(np.max(np.abs(g[ok] - w[ok]) / np.maximum(np.abs(w[ok]), 1e-300), initial=0.0))


def cases(m, ref):
    x = m["x"]
    pts = np.linspace(x.min(), x.max(), 200)
    probs = np.linspace(0.001, 0.999, 200)
    fd_native = q.orvo_deriv_func(np.log)
    fd_ref = ref.deriv(np.log, q.orvo_deriv_func.__defaults__[0])
    span = float(np.ptp(x))
    g_native, g_base = np.random.default_rng(1), np.random.default_rng(1)
    return [
        ("orvo_emarginal", lambda: q.orvo_emarginal(lambda v: np.column_stack([v, v * v]), m),
         lambda: ref.emarginal(lambda v: np.column_stack([v, v * v]), m), None),
        ("orvo_dmarginal", lambda: q.orvo_dmarginal(pts, m), lambda: ref.dmarginal(pts, m), None),
        ("orvo_pmarginal", lambda: q.orvo_pmarginal(pts, m), lambda: ref.pmarginal(pts, m), None),
        ("orvo_qmarginal", lambda: q.orvo_qmarginal(probs, m), lambda: ref.qmarginal(probs, m), None),
        ("orvo_hpdmarginal", lambda: q.orvo_hpdmarginal([0.5, 0.95], m), lambda: ref.hpdmarginal([0.5, 0.95], m),
         span),
        # One generator per side, seeded alike (the first draws, compared, are equal), held as a caller holds
        # one: building a generator per call would time numpy's seeding (about 10 us) on both sides.
        ("orvo_rmarginal", lambda: q.orvo_rmarginal(1000, m, rng=g_native),
         lambda: ref.rmarginal(1000, m, rng=g_base), None),
        ("orvo_deriv_func+fd", lambda: fd_native(pts), lambda: fd_ref(pts), None),
        ("orvo_tmarginal", lambda: q.orvo_tmarginal(np.log, m), lambda: ref.tmarginal(np.log, m), None),
        ("orvo_marginal_transform", lambda: q.orvo_marginal_transform(np.log, m, 2048, 6.055454452393342e-05,
                                                                      "linear"),
         lambda: ref.tmarginal(np.log, m, method="linear"), None),
        ("orvo_mmarginal", lambda: q.orvo_mmarginal(m), lambda: ref.mmarginal(m), span),
        ("orvo_zmarginal", lambda: q.orvo_zmarginal(m, silent=True), lambda: ref.zmarginal(m, fast_mode=False),
         span),
    ]


def rss_mib():
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1]) / 1024.0
    except OSError:
        pass
    return float("nan")


def batch(ms, threads):
    chunks = [ms[i::threads] for i in range(threads)]

    def work(chunk):
        for m in chunk:
            q.orvo_zmarginal(m, silent=True)

    workers = [threading.Thread(target=work, args=(c,)) for c in chunks]
    t0, c0 = time.perf_counter(), time.process_time()
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    return time.perf_counter() - t0, time.process_time() - c0


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--batch", type=int, default=10000)
    args = ap.parse_args()
    ref = Ref(scipy=True)
    rng = np.random.default_rng(2024)
    print(f"{'function':26s} {'points':>6s} {'native':>11s} {'baseline':>11s} {'ratio':>8s} {'max diff':>10s}")
    for k in (20, 75, 500):
        m = marginal(rng, k)
        for name, native, baseline, scale in cases(m, ref):
            diff = deviation(native(), baseline(), scale)
            t_native = best_time(native, 5 if args.quick else 25)
            slow = name in ("orvo_mmarginal", "orvo_zmarginal")
            t_base = best_time(baseline, 2 if args.quick else 3 if slow else 9)
            print(f"{name:26s} {k:6d} {t_native * 1e6:9.1f}us {t_base * 1e6:9.0f}us {t_base / t_native:8.1f} "
                  f"{diff:10.1e}")
    print()
    ms = [marginal(rng, 75) for _ in range(args.batch)]
    for m in ms[:1000]:  # warm-up: the first thousand
        q.orvo_zmarginal(m, silent=True)
    gc.collect()
    mem0 = rss_mib()
    t1, c1 = batch(ms, 1)
    gc.collect()
    mem1 = rss_mib()
    t2, c2 = batch(ms, 2)
    gc.collect()
    mem2 = rss_mib()
    print(f"batch of {len(ms)} 75-point marginals, orvo_zmarginal(m, silent=True):")
    print(f"  1 thread : {t1:7.3f} s  {len(ms) / t1:9.0f} per second  (process CPU time / wall time {c1 / t1:.2f})")
    print(f"  2 threads: {t2:7.3f} s  {len(ms) / t2:9.0f} per second  ({t1 / t2:.2f} x the 1-thread throughput; "
          f"CPU / wall {c2 / t2:.2f}: below 2 when the machine has no second core free)")
    print(f"  resident memory after warm-up {mem0:.1f} MiB, after 1 thread {mem1:.1f} MiB, "
          f"after 2 threads {mem2:.1f} MiB")


if __name__ == "__main__":
    main()
