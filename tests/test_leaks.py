"""Reference-leak and memory check of every public function (the CI-sized run of scripts/leakcheck.py).

Each function is called a few thousand times with valid arguments and with each kind of bad argument, after a
warm-up. Per argument kind, the arguments' reference counts must not change and the memory allocated through
Python's allocators (tracemalloc: objects, and numpy's array buffers) must not grow; per function, the
resident set (everything, native allocations included) must stay within the script's tolerance. The script
also counts the objects the collector tracks, which here would mean walking a large test process's whole heap
for every kind; tracemalloc sees such objects anyway. The full-size run (100,000 calls per kind) is
`python scripts/leakcheck.py`.
"""

import ctypes
import gc
import importlib.util
import os
import tracemalloc

import pytest

_SCRIPT = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "scripts", "leakcheck.py")
_found = importlib.util.spec_from_file_location("vexil_leakcheck", _SCRIPT)
leakcheck = importlib.util.module_from_spec(_found)
_found.loader.exec_module(leakcheck)

CALLS = 1500
WARMUP = 200
# Memory still allocated through Python's allocators after CALLS calls of one argument kind. One leaked
# object per call would leave at least CALLS * 16 bytes; what remains without a leak is a few small cache
# entries at most.
TRACED_LIMIT = 16 * 1024

CASES, MISSING = leakcheck.all_cases()


@pytest.fixture(scope="module")
def traced():
    leakcheck.fix_malloc_thresholds()
    # Whatever earlier tests left alive is moved out of the collector's way, so that the collections
    # around each measured loop cost only what the loop itself left.
    gc.collect()
    gc.freeze()
    tracemalloc.start()
    yield
    tracemalloc.stop()
    gc.unfreeze()


def _problems(case):
    leakcheck.warm_up([case], WARMUP)
    m = leakcheck.Measure(use_tracemalloc=True, count_objects=False)
    results = [m.run(case, kind, CALLS) for kind in case.kinds]
    growth = sum(r["rss"] for r in results)
    problems = []
    if growth > leakcheck.RSS_PER_FUNCTION_KIB:
        problems.append("resident set grew by %d KiB" % growth)
    for r in results:
        if r["refcounts"]:
            problems.append("[%s] reference counts changed: %s" % (r["label"], r["refcounts"]))
        if r["traced"] > TRACED_LIMIT:
            problems.append("[%s] %d bytes more allocated" % (r["label"], r["traced"]))
    return problems, results


def test_every_module_is_checked():
    assert not MISSING
    modules = {c.module for c in CASES}
    assert modules == set(leakcheck.MODULES), modules


@pytest.mark.memory
@pytest.mark.parametrize("case", CASES, ids=[c.label for c in CASES])
def test_no_leak(case, traced):
    problems, results = _problems(case)
    assert not problems, problems
    # every kind of argument was exercised, and the bad ones did fail
    for r in results:
        assert r["ok"] + r["failed"] == CALLS


class _Planted:
    """A function with a leak of each kind the check looks for, to show that the check sees it."""

    def __init__(self, how):
        self.how = how
        self.kept = []

    def __call__(self, arg):
        if self.how == "reference":
            ctypes.pythonapi.Py_IncRef(ctypes.py_object(arg))
        elif self.how == "objects":
            self.kept.append([arg])
        elif self.how == "buffer":
            self.kept.append(bytearray(64))


@pytest.mark.parametrize("how,field", [("reference", "refcounts"), ("objects", "objects"), ("objects", "traced"),
                                       ("buffer", "traced")])
def test_the_check_sees_a_planted_leak(how, field, traced):
    arg = [1.0, 2.0]
    case = leakcheck.Case("planted", how, _Planted(how), [("valid", (arg,), {})])
    r = leakcheck.Measure(use_tracemalloc=True).run(case, case.kinds[0], 500)
    try:
        if field == "refcounts":
            assert r["refcounts"], r
        elif field == "objects":
            assert r["objects"] > leakcheck.GC_OBJECTS_SLACK, r
        else:
            assert r["traced"] > TRACED_LIMIT, r
    finally:
        if how == "reference":
            for _ in range(500):
                ctypes.pythonapi.Py_DecRef(ctypes.py_object(arg))
