"""Release packaging: `python -m build` makes an sdist and, from that sdist alone, a wheel; the wheel holds
the nine extension modules, their stubs and py.typed; installed into a fresh virtual environment it passes a
smoke subset of the test suite run against the installed package, not the source tree.

Slow (a full native build) and needs the package index for the build requirements: marked "slow", so
`-m "not slow"` leaves it out. Runs only from a source checkout (it needs pyproject.toml beside tests/).
"""

import os
import subprocess
import sys
import tarfile
import zipfile
from pathlib import Path

import pytest

pytestmark = pytest.mark.slow

ROOT = Path(__file__).resolve().parent.parent

MODULES = [
    "vexil/pure/quadra",
    "vexil/options",
    "vexil/model_defs/latent/steppe",
    "vexil/model_defs/latent/autoregressive",
    "vexil/model_defs/latent/spatial",
    "vexil/model_defs/latent/plexus",
    "vexil/safety/capture",
    "vexil/safety/kindred",
    "vexil/safety/exposure",
]

# Run against the installed wheel; each of these imports only numpy and pytest besides vexil.
SMOKE_TESTS = ["tests/test_stubs.py", "tests/test_catalogue.py", "tests/test_capture.py"]

if not (ROOT / "pyproject.toml").is_file():
    pytest.skip("not a source checkout", allow_module_level=True)


def _env():
    """The environment for the child processes: nothing may point back into the source or build tree."""
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONHOME", "VIRTUAL_ENV")}
    env.setdefault("CMAKE_BUILD_PARALLEL_LEVEL", "2")
    return env


def _run(cmd, **kw):
    proc = subprocess.run([str(c) for c in cmd], env=_env(), capture_output=True, text=True, **kw)
    if proc.returncode != 0:
        pytest.fail(f"{cmd} failed ({proc.returncode})\n--- stdout\n{proc.stdout[-4000:]}\n"
                    f"--- stderr\n{proc.stderr[-4000:]}", pytrace=False)
    return proc.stdout


def _venv(path):
    subprocess.run([sys.executable, "-m", "venv", str(path)], check=True, env=_env())
    return path / "bin" / "python"


def _source_files(subdir):
    """Files of the checkout under subdir that belong to the sources (no caches or build products)."""
    out = set()
    for p in (ROOT / subdir).rglob("*"):
        rel = p.relative_to(ROOT)
        if p.is_file() and not any(part.startswith(".") or part == "__pycache__" for part in rel.parts) \
                and p.suffix not in (".pyc", ".so"):
            out.add(rel.as_posix())
    return out


@pytest.fixture(scope="module")
def dist(tmp_path_factory):
    """(sdist, wheel) made by `python -m build`, which builds the wheel from the unpacked sdist."""
    tmp = tmp_path_factory.mktemp("dist")
    python = _venv(tmp / "tools")
    _run([python, "-m", "pip", "install", "--quiet", "build"], cwd=tmp)
    out = tmp / "out"
    # run outside the checkout: its build/ directory would pass for the package of that name
    _run([python, "-m", "build", "--outdir", out, ROOT], cwd=tmp)
    (sdist,) = out.glob("vexil-*.tar.gz")
    (wheel,) = out.glob("vexil-*.whl")
    return sdist, wheel


def test_sdist_holds_everything_the_build_needs(dist):
    sdist, _ = dist
    with tarfile.open(sdist) as tar:
        names = {n.split("/", 1)[1] for n in tar.getnames() if "/" in n}
    needed = {"pyproject.toml", "CMakeLists.txt", "README.md", "PKG-INFO"}
    needed |= _source_files("src") | _source_files("python") | _source_files("tests")
    assert needed - names == set()
    junk_dirs = (".git", ".venv", "build", "dist", ".pytest_cache", ".hypothesis")
    stray = {n for n in names
             if n.split("/")[0] in junk_dirs or "__pycache__" in n or n.endswith((".so", ".pyc"))}
    assert stray == set()


def test_wheel_holds_the_modules_stubs_and_marker(dist):
    _, wheel = dist
    with zipfile.ZipFile(wheel) as z:
        names = set(z.namelist())
    files = {n for n in names if ".dist-info/" not in n}
    suffix = f".cpython-{sys.version_info.major}{sys.version_info.minor}"
    extensions = {n for n in files if n.endswith(".so")}
    assert {n.split(".", 1)[0] for n in extensions} == set(MODULES)
    assert all(n.split(".", 1)[1].startswith(suffix[1:]) for n in extensions)
    assert {m + ".pyi" for m in MODULES} <= files
    assert "vexil/py.typed" in files
    python_files = {n[len("python/"):] for n in _source_files("python")}
    assert files == extensions | python_files


def test_installed_wheel_passes_the_smoke_tests(dist, tmp_path):
    _, wheel = dist
    python = _venv(tmp_path / "venv")
    _run([python, "-m", "pip", "install", "--quiet", wheel, "pytest"])
    # the package comes from the environment, not from the checkout
    where = _run([python, "-c", "import vexil; print(vexil.__file__)"], cwd=tmp_path).strip()
    assert Path(where).is_relative_to(tmp_path / "venv")
    names = ", ".join(m.replace("/", ".") for m in MODULES)
    _run([python, "-c", f"import {names}"], cwd=tmp_path)
    out = _run([python, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-m", "not slow",
                *[ROOT / t for t in SMOKE_TESTS]], cwd=tmp_path)
    assert " passed" in out and "skipped" not in out, out[-2000:]
