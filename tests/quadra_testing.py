"""Helpers shared by the test_quadra_* suites."""
import os
import subprocess
import sys
import textwrap
import warnings

from vexil.pure import quadra

# The directory holding the `vexil` package under test (the build tree).
BUILD_ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(quadra.__file__))))


def outcome(fn, *args, **kwargs):
    """('ok', result) or ('err', type, message), with numpy's warnings silenced."""
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return ("ok", fn(*args, **kwargs))
    except Exception as e:  # noqa: BLE001 - the point is to compare any failure
        return ("err", type(e), str(e))


# Makes every import of scipy fail with ImportError in the interpreter that runs it.
_BLOCK_SCIPY = """
import sys, importlib.abc
class _BlockScipy(importlib.abc.MetaPathFinder):
    def find_spec(self, name, path, target=None):
        if name == "scipy" or name.startswith("scipy."):
            raise ImportError("blocked: " + name)
sys.meta_path.insert(0, _BlockScipy())
"""


def run_python(code, timeout=300, extra_path=(), without_scipy=False):
    """Runs `code` in a fresh interpreter that imports the package under test and these helpers (and, with
    `without_scipy`, cannot import scipy)."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([*extra_path, BUILD_ROOT, os.path.dirname(os.path.abspath(__file__))])
    program = (_BLOCK_SCIPY if without_scipy else "") + textwrap.dedent(code)
    return subprocess.run([sys.executable, "-c", program], capture_output=True, text=True, env=env, timeout=timeout)
