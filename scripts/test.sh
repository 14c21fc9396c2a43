#!/usr/bin/env bash
# Installs vexil with its test extras into a fresh virtual environment and runs the test suite against the
# installed package (not the source tree).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
venv="${VEXIL_VENV:-$root/.venv}"
python3 -m venv "$venv"
"$venv/bin/python" -m pip install --quiet --upgrade pip
"$venv/bin/python" -m pip install --quiet "$root[test]"
cd "$root"
"$venv/bin/python" -m pytest -q -p no:cacheprovider tests "$@"
