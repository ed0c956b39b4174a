#!/usr/bin/env bash
# Installs the package with its test extras into a fresh virtual environment and runs the tests
# against the installed copy.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
venv="$(realpath -m "$root/${VORMO_VENV:-.venv}")"
[ -n "${VORMO_VENV:-}" ] && [[ "$VORMO_VENV" == /* ]] && venv="$VORMO_VENV"
cd "$root"
python3 -m venv "$venv"
CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}" "$venv/bin/python" -m pip install --quiet ".[test]"
cd "$root/tests"
exec "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@"
