"""Thread stress: 8 threads call the quadra functions, the option reads (and some writes) and the safety checks
concurrently, with the interpreter switching threads as often as it can.

The quadra functions release the GIL for their numeric work, so calls really overlap. Every quadra result
must equal, bit for bit, the one computed serially before the threads start; every check must give the same
outcome as serially; no thread may die. The run lasts VEXIL_THREAD_SECONDS seconds (3 by default).
"""

import contextlib
import io
import os
import sys
import threading
import time

import numpy as np
import pytest

import vexil.options as opt
from vexil.model_defs.latent import plexus, steppe
from vexil.pure import quadra as q
from vexil.safety import capture, exposure, kindred
from vexil.safety.errors import SafetyError

THREADS = 8
SECONDS = float(os.environ.get("VEXIL_THREAD_SECONDS", "3"))


def _marginals():
    x = np.linspace(-4.0, 4.0, 41)
    skew = np.linspace(0.01, 6.0, 30)
    return [
        {"x": x, "y": np.exp(-0.5 * x * x)},
        np.column_stack([skew, skew ** 2 * np.exp(-skew)]),
        {"x": np.r_[np.linspace(-3, 0, 25), np.linspace(0.1, 3, 7)] ** 3,
         "y": np.exp(-np.abs(np.r_[np.linspace(-3, 0, 25), np.linspace(0.1, 3, 7)]))},
    ]


def _quadra_tasks():
    """(label, zero-argument function) for every quadra function in this build."""
    tasks = []
    for i, m in enumerate(_marginals()):
        calls = {
            "orvo_marginal_fix": lambda m=m: q.orvo_marginal_fix(m),
            "orvo_spline": lambda m=m: q.orvo_spline(m),
            "orvo_smarginal": lambda m=m: q.orvo_smarginal(m, log=True, extrapolate=0.1, factor=20),
            "orvo_sfmarginal": lambda m=m: q.orvo_sfmarginal(m)["fun"](np.linspace(0.5, 2.5, 300)),
            "orvo_emarginal": lambda m=m: q.orvo_emarginal(lambda x: np.column_stack([x, x * x]), m),
            "orvo_dmarginal": lambda m=m: q.orvo_dmarginal(np.linspace(-5, 5, 501), m, log=True),
            "orvo_pmarginal": lambda m=m: q.orvo_pmarginal(np.linspace(-5, 5, 301), m),
            "orvo_qmarginal": lambda m=m: q.orvo_qmarginal(np.linspace(0, 1, 301), m),
            "orvo_hpdmarginal": lambda m=m: q.orvo_hpdmarginal([0.5, 0.9, 0.99], m),
            "orvo_mmarginal": lambda m=m: q.orvo_mmarginal(m),
            "orvo_zmarginal": lambda m=m: q.orvo_zmarginal(m, silent=True),
            "orvo_rmarginal": lambda m=m: q.orvo_rmarginal(500, m, rng=np.random.default_rng(7)),
            "orvo_tmarginal": lambda m=m: q.orvo_tmarginal(np.exp, m, n=300, method="linear"),
            "orvo_marginal_transform": lambda m=m: q.orvo_marginal_transform(lambda v: 2 * v, m, 200),
        }
        for name, fn in calls.items():
            if hasattr(q, name):
                tasks.append(("%s[%d]" % (name, i), fn))
    if hasattr(q, "orvo_deriv_func"):
        fd = q.orvo_deriv_func(np.sin)
        tasks.append(("orvo_deriv_func", lambda: fd(np.linspace(0, 3, 1000))))
    if hasattr(q, "_minimize_on_interval"):
        tasks.append(("_minimize_on_interval", lambda: q._minimize_on_interval(lambda v: (v - 0.3) ** 2, 0.0, 1.0)))
    return tasks


def _check_tasks():
    ok = {"family": "poisson", "E": [1.0, 2.0, 3.0], "formula": "y ~ x", "data": {"y": [0, 1, 1]},
          "control": {"family": {"link": "log"}}, "offset": [0.0, 0.1, 0.2], "weights": [1.0, 1.0, 2.0]}
    bad = dict(ok, E=[1.0, 0.0, 3.0])
    kin = {"control": {"family": {"variant": 2}}}
    to_theta = steppe.MODELS["rw1"]["hyper"]["theta"]["to_theta"]
    from_theta = plexus.MODELS["iid2d"]["hyper"]["theta3"]["from_theta"]
    arr = np.linspace(0.1, 0.9, 50)
    return [
        ("capture ok", lambda: sorted(capture.capture_user_call(("y ~ x",), ok))),
        ("capture bad", lambda: capture.capture_user_call((), bad)),
        ("poisson exposure", lambda: exposure.enforce_poisson_exposure(bad, families=["poisson"])),
        ("trials", lambda: exposure.enforce_binomial_trials({"Ntrials": [1, 2.5]}, families=["binomial"])),
        ("offset", lambda: exposure.enforce_offset_values(ok)),
        ("weights", lambda: exposure.enforce_weights_values(dict(ok, weights=[1.0, -1.0]))),
        ("random weights", lambda: exposure.enforce_random_weights_values([1.0, np.inf], "re")),
        ("kindred", lambda: kindred.enforce_binomial_kindred(kin, families=["binomial"])),
        ("to_theta", lambda: to_theta(arr)),
        ("from_theta", lambda: from_theta(arr)),
    ]


def _option_tasks():
    return [
        ("get keep", lambda: opt.orvo_get_option("keep")),
        ("get list", lambda: opt.orvo_get_option(["safe", "orvo.mode", "num.threads"])),
        ("get all keys", lambda: list(opt.orvo_get_option())),
        ("defaults", lambda: opt.orvo_get_option_default()),
        ("features", lambda: opt.orvo_enabled_Corvex_features()),
    ]


def _outcome(fn):
    try:
        return ("ok", fn())
    except SafetyError as e:
        return ("SafetyError", str(e))


def _equal(a, b):
    if type(a) is not type(b):
        return False
    if isinstance(a, np.ndarray):
        return a.dtype == b.dtype and a.shape == b.shape and np.array_equal(a, b, equal_nan=True)
    if isinstance(a, dict):
        return list(a) == list(b) and all(_equal(a[k], b[k]) for k in a)
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(_equal(u, v) for u, v in zip(a, b))
    if isinstance(a, float):
        return a == b or (a != a and b != b)
    return a == b


@contextlib.contextmanager
def busy_switching():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        yield
    finally:
        sys.setswitchinterval(old)


@pytest.fixture
def saved_store():
    saved = dict(opt._ORVO_OPTIONS)
    yield
    opt._ORVO_OPTIONS.clear()
    opt._ORVO_OPTIONS.update(saved)


def test_concurrent_calls_agree_with_serial_ones(saved_store):
    tasks = _quadra_tasks() + _check_tasks() + _option_tasks()
    with np.errstate(all="ignore"):
        expected = {label: _outcome(fn) for label, fn in tasks}
    # the option values that the writer thread below does not touch
    stable = {k: opt.orvo_get_option(k) for k in ("keep", "safe", "orvo.mode", "num.threads")}

    stop = threading.Event()
    errors = []
    done = [0] * THREADS
    start = threading.Barrier(THREADS)

    def worker(t):
        try:
            start.wait()
            i = t
            with np.errstate(all="ignore"):
                while not stop.is_set():
                    label, fn = tasks[i % len(tasks)]
                    got = _outcome(fn)
                    if not _equal(got, expected[label]):
                        errors.append("thread %d, %s: %r != %r" % (t, label, got, expected[label]))
                    if t == 0 and i % 7 == 0:
                        # one thread also writes: the store changes under the other threads' reads
                        opt.orvo_set_option("verbose", bool(i % 2))
                        for k, v in stable.items():
                            if opt.orvo_get_option(k) != v:
                                errors.append("thread 0: option %s changed to %r" % (k, opt.orvo_get_option(k)))
                    i += 3
                    done[t] += 1
        except BaseException as e:  # noqa: BLE001 - a dying thread is a failure
            errors.append("thread %d died: %r" % (t, e))

    threads = [threading.Thread(target=worker, args=(t,), daemon=True) for t in range(THREADS)]
    with busy_switching(), contextlib.redirect_stdout(io.StringIO()):
        for th in threads:
            th.start()
        time.sleep(SECONDS)
        stop.set()
        for th in threads:
            th.join(60)
    assert not any(th.is_alive() for th in threads), "a thread did not finish"
    assert not errors, errors[:10]
    assert all(n > 0 for n in done), done
    # the threads covered every task between them
    assert sum(done) >= len(tasks), (sum(done), len(tasks))


def test_quadra_results_are_shared_safely_between_threads():
    """Objects made by quadra in one thread (a log-density function, a derivative function, an
    interpolator) used by all threads at once give the same values as in the thread that made them."""
    if not hasattr(q, "orvo_sfmarginal"):
        pytest.skip("quadra not built yet")
    m = _marginals()[0]
    shared = [("_fun", q.orvo_sfmarginal(m)["fun"], np.linspace(-4, 4, 2001)),
              ("_pchip", q._pchip(np.linspace(0, 1, 50), np.linspace(0, 1, 50) ** 2), np.linspace(0, 1, 3001))]
    if hasattr(q, "orvo_deriv_func"):
        shared.append(("fd", q.orvo_deriv_func(np.cos), np.linspace(0, 6, 2001)))
    expected = [fn(x) for _, fn, x in shared]
    errors = []
    stop = threading.Event()

    def worker(t):
        try:
            k = t
            while not stop.is_set():
                label, fn, x = shared[k % len(shared)]
                if not _equal(fn(x), expected[k % len(shared)]):
                    errors.append("thread %d: %s differs" % (t, label))
                k += 1
        except BaseException as e:  # noqa: BLE001
            errors.append("thread %d died: %r" % (t, e))

    threads = [threading.Thread(target=worker, args=(t,), daemon=True) for t in range(THREADS)]
    with busy_switching():
        for th in threads:
            th.start()
        time.sleep(min(SECONDS, 2.0))
        stop.set()
        for th in threads:
            th.join(60)
    assert not errors, errors[:10]
