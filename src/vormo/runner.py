"""Compile a Vormo model, generate its sparse SciPy script and run it to learn the optimum.

Usage::

    from vormo.runner import solve_files, solve_texts
    result = solve_files("plan.mod", "plan.dat", time_limit=60)
    result["status"], result["objective"], result["variables"]

Both return a dictionary with at least these keys:

* ``status``: "optimal", "infeasible", "unbounded", "time_limit" or "error" as the solver script
  reports it, or "compile_error" when the model does not compile (or cannot be translated);
* ``objective``: the optimum in the model's own sense, or None (feasibility model, no solution);
* ``variables``: the non-zero variable values by name (``x[Bread]``, ``flow[<"A","B">]``);
* ``entries`` (when the solver has a point): every column, zeros included, as
  ``{"name": "x", "index": ["Bread"], "value": 3}``; ``result_frame(result)`` makes them a table.

A compile finding, a script that fails and a script that runs out of time add ``message``, a
text that says what happened. Compiling, generating, building and solving all happen in one
child process (``python -m vormo.solvechild FOLDER``, the running interpreter, no shell), so the
time limit covers all of them; the child gets a grace period on top of the solver's limit for
start-up and for reporting. Solving needs numpy and scipy (the ``solve`` extra): without them the
result says so and carries ``missing_extra``. ``explain=True`` asks the child for an explanation
of an optimal solution (``result["explain"]``, from ``vormo.insight`` when installed).
"""

import gc
import json
import math
import signal
import subprocess
import sys
import tempfile
import threading
from pathlib import Path

from . import emitselect
from .faultnote import SemanticError
from .vormo_kernel import VormoCompiler

__all__ = ["solve_files", "solve_texts", "generate_script", "run_script", "result_frame", "GRACE_SECONDS",
           "SCRIPT_NAME"]

# Seconds the child process gets on top of the solver's time limit (interpreter start-up,
# importing numpy and scipy, reporting).
GRACE_SECONDS = 60
SCRIPT_NAME = "vormo_solve.py"
CHILD_MODULE = "vormo.solvechild"
# Characters of the child's error output kept in a message.
_ERROR_TAIL = 2000
# A wait longer than this (about eleven days) is a wait without end: the operating system's
# waits take no larger time-outs.
_LONGEST_WAIT = 1e6


def _check_time_limit(time_limit):
    if isinstance(time_limit, bool) or not isinstance(time_limit, (int, float)):
        raise TypeError(f"time_limit must be a number of seconds, not {type(time_limit).__name__}")
    if not time_limit > 0 or time_limit == math.inf:
        raise ValueError(f"time_limit must be a positive, finite number of seconds, not {time_limit!r}")


def _finding(message):
    return {"status": "compile_error", "objective": None, "variables": {}, "message": message}


def _failure(status, message, **more):
    return {"status": status, "objective": None, "variables": {}, "message": message, **more}


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


def _wait_limit(time_limit):
    """The child's time-out: the solver's limit plus the grace period (read at call time), or
    None for a limit too long to wait for."""
    total = time_limit + GRACE_SECONDS
    return None if total > _LONGEST_WAIT else total


class _Terminated(SystemExit):
    """SIGTERM arrived while a child ran: the child is stopped and its folder removed."""


def _on_sigterm(signum, frame):
    raise _Terminated(128 + signum)


def _unblock_sigterm():
    signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGTERM})


def _run_child(command, folder, time_limit):
    """Run command in folder; return (exit code, stdout, stderr), or None when it ran out of
    time. The child is stopped whatever ends the wait: a time-out, Ctrl-C or SIGTERM."""
    handle = threading.current_thread() is threading.main_thread() and hasattr(signal, "SIGTERM")
    previous = signal.signal(signal.SIGTERM, _on_sigterm) if handle else None
    # SIGTERM waits while the child starts, so that it never finds a child the runner does not
    # know of yet; the child itself starts with the signal unblocked.
    mask = handle and hasattr(signal, "pthread_sigmask")
    child = None
    try:
        if mask:
            signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGTERM})
        try:
            child = subprocess.Popen(command, cwd=folder, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True, encoding="utf-8", errors="replace",
                                     preexec_fn=_unblock_sigterm if mask else None)
        finally:
            if mask:
                # A SIGTERM that came meanwhile arrives here, with the child known.
                signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGTERM})
        try:
            out, err = child.communicate(timeout=_wait_limit(time_limit))
        except subprocess.TimeoutExpired:
            return None
        return child.returncode, out, err
    finally:
        if child is not None and child.poll() is None:
            child.kill()
            child.wait()
        if handle:
            signal.signal(signal.SIGTERM, previous)


def _last_line(text):
    lines = [line.strip() for line in text.strip().splitlines() if line.strip()]
    return lines[-1] if lines else ""


def _child_failure(returncode, stderr, what):
    last = _last_line(stderr)
    if "ModuleNotFoundError" in last and ("numpy" in last or "scipy" in last):
        return _failure("error", f"solving needs numpy and scipy ({last}): pip install 'vormo[solve]'",
                        missing_extra="vormo[solve]")
    tail = stderr.strip()[-_ERROR_TAIL:]
    return _failure("error", f"{what} failed with exit code {returncode}: {last}"
                             + (f"\n{tail}" if tail and tail != last else ""))


def _timed_out(time_limit):
    wait = _wait_limit(time_limit)
    return _failure("time_limit", f"the solver process did not finish within {wait:g} seconds "
                                  f"({time_limit:g} for the solver and {GRACE_SECONDS:g} to start and "
                                  "report) and was stopped")


def run_script(script, time_limit=60):
    """Run a generated solver script in a child process and return its parsed JSON result."""
    _check_time_limit(time_limit)
    with tempfile.TemporaryDirectory(prefix="vormo-solve-") as folder:
        path = Path(folder) / SCRIPT_NAME
        path.write_text(script, encoding="utf-8")
        done = _run_child([sys.executable, str(path)], folder, time_limit)
    if done is None:
        return _timed_out(time_limit)
    returncode, stdout, stderr = done
    if returncode != 0:
        return _child_failure(returncode, stderr, "the solver script")
    lines = stdout.strip().splitlines()
    try:
        result = json.loads(lines[-1])
    except (IndexError, ValueError):
        return _failure("error", "the solver script printed no JSON result")
    if not isinstance(result, dict) or "status" not in result:
        return _failure("error", "the solver script printed an unexpected result")
    return result


def solve_texts(model_code, data_code, time_limit=60, model_name=None, *, explain=False):
    """Compile the model and data texts, generate the sparse script, run it and return its result.

    All of it happens in one child process bounded by the time limit (plus the grace period).
    """
    for name, text in (("model_code", model_code), ("data_code", data_code)):
        if not isinstance(text, str):
            raise TypeError(f"{name} must be text (str), not {type(text).__name__}")
    _check_time_limit(time_limit)
    request = {"model": model_code, "data": data_code, "time_limit": float(time_limit),
               "model_name": None if model_name is None else str(model_name), "explain": bool(explain)}
    with tempfile.TemporaryDirectory(prefix="vormo-solve-") as folder:
        (Path(folder) / "request.json").write_text(json.dumps(request), encoding="utf-8")
        done = _run_child([sys.executable, "-m", CHILD_MODULE, folder], folder, time_limit)
        if done is None:
            return _timed_out(time_limit)
        returncode, _, stderr = done
        try:
            result = _load_result(Path(folder) / "result.json")
        except (OSError, ValueError):
            result = None
    if returncode != 0 or not isinstance(result, dict) or "status" not in result:
        return _child_failure(returncode, stderr, "the solver process")
    return result


def _load_result(path):
    """The child's result; the cyclic collector pauses while the (possibly large) JSON is read.
    An explanation's variables come as columns and become records here (vormo.insight.expand), as
    do the packed per-column entries (vormo.tables.unpacked_entries)."""
    from .insight import expand

    collecting = gc.isenabled()
    gc.disable()
    try:
        result = json.loads(path.read_text(encoding="utf-8"))
        if isinstance(result, dict):
            expand(result.get("explain"))
            if isinstance(result.get("entries"), dict):
                from .tables import unpacked_entries

                result["entries"] = unpacked_entries(result["entries"])
        return result
    finally:
        if collecting:
            gc.enable()


def solve_files(model_path, data_path, time_limit=60, *, explain=False):
    """Read the model and data files (UTF-8) and solve them as ``solve_texts`` does.

    A file that cannot be read raises the host's ``OSError``.
    """
    model_path, data_path = Path(model_path), Path(data_path)
    model_code = model_path.read_text(encoding="utf-8")
    data_code = data_path.read_text(encoding="utf-8")
    return solve_texts(model_code, data_code, time_limit, model_name=model_path.name, explain=explain)


def result_frame(result, nonzero=False):
    """The result's variable entries as a pandas DataFrame (the ``tables`` extra).

    One row per entry, columns ``variable, index1, ..., indexK, value`` (see ``vormo.tables``);
    ``nonzero`` keeps the non-zero entries only.
    """
    from . import tables

    return tables.result_frame(result, nonzero=nonzero)
