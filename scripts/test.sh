#!/usr/bin/env bash
# Installs vexil with its test extras into a fresh virtual environment, runs the pytest suite against the
# installed package (not the source tree), then builds and runs the C++ unit tests of the numeric core.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
venv="${VEXIL_VENV:-$root/.venv}"
python3 -m venv "$venv"
"$venv/bin/python" -m pip install --quiet --upgrade pip
"$venv/bin/python" -m pip install --quiet "$root[test]"
cd "$root"
"$venv/bin/python" -m pytest -q -p no:cacheprovider tests "$@"

core_build="$root/build/core-tests"
"$venv/bin/cmake" -S "$root" -B "$core_build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVEXIL_CORE_TESTS=ON \
  -DPython_EXECUTABLE="$venv/bin/python" > /dev/null
"$venv/bin/cmake" --build "$core_build" --target core_tests -j2 > /dev/null
"$venv/bin/ctest" --test-dir "$core_build" --output-on-failure
