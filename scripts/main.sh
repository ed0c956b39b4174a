#!/usr/bin/env bash
# Installs the package into a fresh virtual environment and runs the main job.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
venv="$(realpath -m "$root/${VORMO_VENV:-.venv}")"
[ -n "${VORMO_VENV:-}" ] && [[ "$VORMO_VENV" == /* ]] && venv="$VORMO_VENV"
cd "$root"
python3 -m venv "$venv"
CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}" "$venv/bin/python" -m pip install --quiet .
# Run from outside the checkout so the installed package is the one imported.
cd /
exec "$venv/bin/python" "$root/scripts/demo.py"
