# Sourced by main.sh and test.sh: the checkout root and a fresh virtual environment for it
# (VORMO_VENV may name another place, relative to the checkout or absolute).
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
case "${VORMO_VENV:-.venv}" in
  /*) venv="$VORMO_VENV" ;;
  *) venv="$root/${VORMO_VENV:-.venv}" ;;
esac
python3 -m venv "$venv"
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}"
