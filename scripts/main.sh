#!/usr/bin/env bash
# Installs the package with the extras the main job needs (the openai client, the embedding model for
# few-shot retrieval, the solver) into a fresh virtual environment, places the bundled embedding model
# where the embedding library looks for it, and runs the main job: `vormo demo`, which needs no API key
# (extra arguments go to `vormo demo`, e.g. --live).
set -euo pipefail
source "$(dirname "$0")/venv.sh"
cd "$root" && "$venv/bin/python" -m pip install --quiet ".[openai,embeddings,fastrank,solve]"
"$venv/bin/vormo-setup-models"
# The embedding model now sits in the local cache: no need to ask the model hub for it.
export HF_HUB_OFFLINE="${HF_HUB_OFFLINE:-1}"
exec "$venv/bin/vormo" demo --out "$root/vormo-demo" "$@"
