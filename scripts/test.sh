#!/usr/bin/env bash
# Installs the package with its test extras into a fresh virtual environment and runs the tests
# against the installed copy.
set -euo pipefail
source "$(dirname "$0")/venv.sh"
cd "$root" && "$venv/bin/python" -m pip install --quiet ".[test,openai,ollama,gemini]"
cd "$root/tests" && exec "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@"
