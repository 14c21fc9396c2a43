#!/usr/bin/env bash
# Installs vexil into a fresh virtual environment and runs the demo.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
venv="${VEXIL_VENV:-$root/.venv}"
python3 -m venv "$venv"
"$venv/bin/python" -m pip install --quiet --upgrade pip
"$venv/bin/python" -m pip install --quiet "$root[scipy]"
"$venv/bin/python" -m vexil "$@"
