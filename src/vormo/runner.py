"""Compile a Vormo model, generate its sparse SciPy script and run it to learn the optimum.

Usage::

    from vormo.runner import solve_files, solve_texts
    result = solve_files("plan.mod", "plan.dat", time_limit=60)
    result["status"], result["objective"], result["variables"]

Both return a dictionary with at least these keys:

* ``status``: "optimal", "infeasible", "unbounded", "time_limit" or "error" as the solver script
  reports it, or "compile_error" when the model does not compile (or cannot be translated);
* ``objective``: the optimum in the model's own sense, or None (feasibility model, no solution);
* ``variables``: the non-zero variable values by name (``x[Bread]``, ``flow[<"A","B">]``).

A compile finding, a script that fails and a script that runs out of time add ``message``, a
text that says what happened. The script runs in a child process (the running interpreter, no
shell) with a time-out of the solver's time limit plus a grace period for start-up and matrix
assembly; it needs numpy and scipy (the ``solve`` extra).
"""

import json
import subprocess
import sys
import tempfile
from pathlib import Path

from . import emitselect
from .faultnote import SemanticError
from .vormo_kernel import VormoCompiler

__all__ = ["solve_files", "solve_texts", "generate_script", "run_script", "GRACE_SECONDS", "SCRIPT_NAME"]

# Seconds the child process gets on top of the solver's time limit (interpreter start-up,
# importing numpy and scipy, reading the script and assembling the matrices).
GRACE_SECONDS = 60
SCRIPT_NAME = "vormo_solve.py"
# Characters of the child's error output kept in a message.
_ERROR_TAIL = 2000


def _check_time_limit(time_limit):
    if isinstance(time_limit, bool) or not isinstance(time_limit, (int, float)):
        raise TypeError(f"time_limit must be a number of seconds, not {type(time_limit).__name__}")
    if not time_limit > 0 or time_limit == float("inf"):
        raise ValueError(f"time_limit must be a positive, finite number of seconds, not {time_limit!r}")


def _finding(message):
    return {"status": "compile_error", "objective": None, "variables": {}, "message": message}


def _failure(status, message):
    return {"status": status, "objective": None, "variables": {}, "message": message}


def generate_script(model_code, data_code, time_limit=60, model_name=None):
    """Compile the model and return the text of its solver script.

    Raises the compiler's ``SyntaxError`` or ``SemanticError`` for a model that does not compile,
    and ``SemanticError`` for a construct the generator cannot translate.
    """
    compiled = VormoCompiler().compile_model(model_code, data_code)
    return _script_of(compiled, time_limit, model_name)


def _script_of(compiled, time_limit, model_name):
    generator = emitselect.SciPyCodeGenerator(compiled, compiled.get("data"), "csc")
    generator.model_name = model_name
    generator.time_limit = time_limit
    return generator.generate_code()


def run_script(script, time_limit=60):
    """Run a generated solver script in a child process and return its parsed JSON result."""
    _check_time_limit(time_limit)
    with tempfile.TemporaryDirectory(prefix="vormo-solve-") as folder:
        path = Path(folder) / SCRIPT_NAME
        path.write_text(script, encoding="utf-8")
        try:
            done = subprocess.run([sys.executable, str(path)], cwd=folder, capture_output=True,
                                  text=True, encoding="utf-8", errors="replace",
                                  timeout=time_limit + GRACE_SECONDS)
        except subprocess.TimeoutExpired:
            return _failure("time_limit", f"the solver script did not finish within "
                                          f"{time_limit + GRACE_SECONDS:g} seconds and was stopped")
    if done.returncode != 0:
        tail = done.stderr.strip()[-_ERROR_TAIL:]
        return _failure("error", f"the solver script failed with exit code {done.returncode}: {tail}")
    lines = done.stdout.strip().splitlines()
    try:
        result = json.loads(lines[-1])
    except (IndexError, ValueError):
        return _failure("error", "the solver script printed no JSON result")
    if not isinstance(result, dict) or "status" not in result:
        return _failure("error", "the solver script printed an unexpected result")
    return result


def solve_texts(model_code, data_code, time_limit=60, model_name=None):
    """Compile the model and data texts, generate the sparse script, run it and return its result."""
    for name, text in (("model_code", model_code), ("data_code", data_code)):
        if not isinstance(text, str):
            raise TypeError(f"{name} must be text (str), not {type(text).__name__}")
    _check_time_limit(time_limit)
    try:
        compiled = VormoCompiler().compile_model(model_code, data_code)
    except (SyntaxError, SemanticError) as error:
        return _finding(str(error))
    except (KeyboardInterrupt, SystemExit):
        raise
    except Exception as error:  # a fault of the compiler itself, not of the model
        return _failure("error", f"the compiler failed: {type(error).__name__}: {error}")
    try:
        script = _script_of(compiled, time_limit, model_name)
    except SemanticError as error:
        return _finding(str(error))
    return run_script(script, time_limit)


def solve_files(model_path, data_path, time_limit=60):
    """Read the model and data files (UTF-8) and solve them as ``solve_texts`` does.

    A file that cannot be read raises the host's ``OSError``.
    """
    model_path, data_path = Path(model_path), Path(data_path)
    model_code = model_path.read_text(encoding="utf-8")
    data_code = data_path.read_text(encoding="utf-8")
    return solve_texts(model_code, data_code, time_limit, model_name=model_path.name)
