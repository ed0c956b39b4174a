#!/usr/bin/env bash
# Installs the package with its test extras into a fresh virtual environment and runs the tests
# against the installed copy.
set -euo pipefail
cd "$(dirname "$0")/.."
venv="${VORMO_VENV:-.venv}"
python3 -m venv "$venv"
CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}" "$venv/bin/python" -m pip install --quiet ".[test]"
cd tests
exec "../$venv/bin/python" -m pytest -q -p no:cacheprovider "$@"
