#!/usr/bin/env bash
# Installs the package into a fresh virtual environment and runs the main job.
set -euo pipefail
source "$(dirname "$0")/venv.sh"
cd "$root" && "$venv/bin/python" -m pip install --quiet .
# Run from outside the checkout so the installed package is the one imported.
cd / && exec "$venv/bin/python" "$root/scripts/demo.py"
