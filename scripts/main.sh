#!/usr/bin/env bash
# Installs the package into a fresh virtual environment and runs the main job.
set -euo pipefail
cd "$(dirname "$0")/.."
venv="${VORMO_VENV:-.venv}"
python3 -m venv "$venv"
CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}" "$venv/bin/python" -m pip install --quiet .
cd /
exec "$OLDPWD/$venv/bin/python" -c '
import vormo.emitselect, vormo.tuplefold, vormo.modelsmith
from vormo.emitselect import SciPyCodeGenerator
gen = SciPyCodeGenerator({"declarations": []}, {})
print("vormo loaded; generator:", type(gen).__name__)
'
