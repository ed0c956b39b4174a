"""The solver's child process: compile, generate the solver script, build it and solve it.

The runner starts it as ``python -m vormo.solvechild FOLDER``. FOLDER holds ``request.json``::

    {"model": text, "data": text, "time_limit": seconds, "model_name": text or null,
     "explain": bool}

and receives the result (``result.json``, the runner's result dictionary). The child builds the
tables and functions that the solver script (``runner.generate_script``) would hold after its
build, without writing and reading its text, and calls its ``solve()``. All the work happens
here, so that the runner's time-out covers compiling and building as well as solving:
compiling, generating and building stop at the time limit, and the solver gets what remains.

The child solves with HiGHS directly (``vormo.highsolve``) when highspy is installed, and with
the script's own ``solve()`` (scipy's milp) otherwise (or when ``ENGINE`` is "scipy"); either way
the script's ``solve_report`` makes the report, so both give the same statuses and messages.

When asked (``explain``), and whenever a built problem does not solve to optimality, the child
hands the problem to ``vormo.insight`` (``explain(problem, solution, highs=...)`` /
``diagnose(problem, solution)``) if that module exists; the explanation's variables travel as
columns (``columns=True``), which the runner turns into records. ``solution`` is the result dictionary
with one more key, ``"x"``: every column's value (a list, or None without a point). Solved with
HiGHS directly, ``highs`` is the solved instance, whose basis the explanation reads instead of
solving again.
"""

import gc
import importlib
import json
import math
import os
import signal
import sys
import time
from pathlib import Path

BUILD_NAME = "vormo_problem"
REQUEST_NAME = "request.json"
RESULT_NAME = "result.json"
# The solver gets at least this many seconds, however long building took within the limit.
MIN_SOLVE_SECONDS = 0.05
# Extra the solve needs: named in the message when numpy or scipy is missing.
SOLVE_EXTRA = "vormo[solve]"
# Who solves: "auto" (HiGHS directly when highspy is installed, else the script's scipy solve),
# "highs" or "scipy". Read at every solve.
ENGINE = "auto"
# From this many columns on, the compile's and the build's garbage is collected before the solve
# (a full collection costs some 20 ms, a fair share of a small model's whole run).
COLLECT_FROM_COLUMNS = 10_000
# glibc's mallopt setting and the size from which a block gets a mapping of its own (its default).
_M_MMAP_THRESHOLD = -3
_MMAP_THRESHOLD = 128 * 1024


class _OutOfTime(BaseException):
    """The time limit ran out while compiling, generating or building (a BaseException, so that
    no handler of ordinary errors on the way takes it for a fault of the model)."""


def _result(status, message, **more):
    return {"status": status, "objective": None, "variables": {}, "message": message, **more}


def _on_alarm(signum, frame):
    raise _OutOfTime()


def solve_request(request, packed=False):
    """The result dictionary for one request (``packed``: its ``entries`` as the hand-over to the
    runner carries them, see ``vormo.tables.packed_entries``)."""
    time_limit = float(request["time_limit"])
    started = time.monotonic()
    timer = hasattr(signal, "setitimer")
    if timer:
        previous = signal.signal(signal.SIGALRM, _on_alarm)
        signal.setitimer(signal.ITIMER_REAL, time_limit)
    try:
        namespace, finding = _build(request)
    except _OutOfTime:
        return _result("time_limit", f"building the problem did not finish within the time limit of "
                                     f"{time_limit:g} seconds")
    finally:
        if timer:
            signal.setitimer(signal.ITIMER_REAL, 0)
            signal.signal(signal.SIGALRM, previous)
    if finding is not None:
        return finding
    if len(namespace["NAMES"]) >= COLLECT_FROM_COLUMNS:
        # The solver's peak starts from what the process holds now: the compiled model and the
        # generator (held in reference cycles) and the compile's leftovers go back first.
        gc.collect()
        _trim_heap()
    namespace["TIME_LIMIT"] = max(time_limit - (time.monotonic() - started), MIN_SOLVE_SECONDS)
    try:
        report, outcome, problem = _solve(namespace)
    except ImportError as error:
        return _missing(error)
    except MemoryError:
        return _result("error", "the solver ran out of memory")
    from .tables import add_entries

    if not (report.get("status") == "optimal" and request.get("explain")) and getattr(outcome, "highs", None) is not None:
        # Only an explanation reads the solved instance: the solver's memory goes back before a
        # million records are made.
        outcome.highs = None
    # A record per column (and per row when explained) is made now: the cyclic collector would
    # only rescan them, again and again as they grow.
    collecting = gc.isenabled()
    gc.disable()
    try:
        add_entries(report, namespace, outcome, packed)
        return _consult(request, namespace, report, outcome, problem)
    finally:
        if collecting:
            gc.enable()


def _solve(namespace):
    """(report, solver outcome, the problem's arrays or None): HiGHS solves directly when the
    engine allows and highspy is there, else the script's own solve()."""
    from . import highsolve

    engine = ENGINE
    if engine == "scipy" or (engine == "auto" and not highsolve.available()):
        report, outcome = namespace["solve"]()
        return report, outcome, None
    from .sparseproblem import from_namespace

    problem = from_namespace(namespace)
    limit = namespace["TIME_LIMIT"]
    try:
        outcome = highsolve.solve(problem, limit)
    except ValueError as error:  # refused as scipy's milp refuses it
        return _result("error", str(error)), None, problem
    except (TypeError, AttributeError):
        if engine == "highs":
            raise
        # A highspy whose interface differs from the one this was written for: the script solves.
        report, outcome = namespace["solve"]()
        return report, outcome, problem
    report = namespace["solve_report"](outcome, lambda: highsolve.feasibility(problem, limit))
    return report, outcome, problem


def _build(request):
    """(the built script's namespace, None), or (None, the result) when there is nothing to solve."""
    from .emitsparse import SciPyCSCCodeGenerator
    from .faultnote import SemanticError
    from .vormo_kernel import VormoCompiler

    try:
        compiled = VormoCompiler().compile_model(request["model"], request["data"])
    except (SyntaxError, SemanticError) as error:
        return None, _result("compile_error", str(error))
    except (MemoryError, RecursionError) as error:
        return None, _result("compile_error", f"the model is too large to compile ({type(error).__name__})")
    except _OutOfTime:
        raise
    except Exception as error:  # a fault of the compiler itself, not of the model
        return None, _result("error", f"the compiler failed: {type(error).__name__}: {error}")
    try:
        generator = SciPyCSCCodeGenerator(compiled, compiled.get("data"))
        generator.model_name = request.get("model_name")
        generator.time_limit = float(request["time_limit"])
        # The tables the solver script would build, made without its text (the same code
        # writes both; see SciPyCSCCodeGenerator.build_namespace).
        return generator.build_namespace(BUILD_NAME), None
    except SemanticError as error:
        return None, _result("compile_error", str(error), **_refusal(error))
    except MemoryError:
        return None, _result("compile_error", "the model is too large for a solver script (out of memory)")


def _refusal(error):
    """The diagnosis of a pair the compiler accepts and the script generator refuses, if any."""
    try:
        insight = importlib.import_module(__package__ + ".insight")
    except ImportError:
        return {}
    diagnosis = insight.refusal(error.message, error.lineno) if hasattr(insight, "refusal") else None
    return {} if diagnosis is None else {"diagnosis": diagnosis}


def _missing(error):
    return _result("error", f"solving needs numpy and scipy ({error}): pip install '{SOLVE_EXTRA}'",
                   missing_extra=SOLVE_EXTRA)


def _consult(request, namespace, report, outcome, problem=None):
    """Add the explanation (when asked) or the diagnosis (when not optimal) of vormo.insight."""
    optimal = report.get("status") == "optimal"
    hook = "explain" if optimal else "diagnose"
    if optimal and not request.get("explain"):
        return report
    key = "explain" if optimal else "diagnosis"
    try:
        insight = importlib.import_module(__package__ + ".insight")
    except ModuleNotFoundError as error:
        if error.name == __package__ + ".insight":
            return report  # not installed: nothing to add
        return dict(report, **{key: {"error": f"{type(error).__name__}: {error}"}})
    if not hasattr(insight, hook):
        return report
    from .sparseproblem import from_namespace

    x = getattr(outcome, "x", None)
    solution = dict(report, x=None if x is None else x.tolist())
    if getattr(outcome, "mip_gap", None) is not None and report.get("objective") is not None:
        # HiGHS's MIP figures; its bound is of the minimised objective (SENSE * c), as is x's value.
        sense = namespace["SENSE"] or 1
        solution["mip_gap"] = float(outcome.mip_gap)
        solution["mip_bound"] = float(sense * outcome.mip_dual_bound + namespace["OBJECTIVE_CONSTANT"])
    problem = from_namespace(namespace) if problem is None else problem
    highs = getattr(outcome, "highs", None)
    try:
        if optimal:
            # The variables as columns: the runner makes the records (insight.expand).
            added = insight.explain(problem, solution, highs=highs, columns=True)
        else:
            added = insight.diagnose(problem, solution)
    except Exception as error:  # a fault of the report must not cost the solution
        added = {"error": f"{type(error).__name__}: {error}"}
    for extra in ("x", "mip_gap", "mip_bound"):
        solution.pop(extra, None)
    if added is not None:
        solution[key] = added
    return solution


def _jsonable(value):
    """value with every non-finite float replaced by None (JSON has no infinity)."""
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, dict):
        return {str(k): _jsonable(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_jsonable(v) for v in value]
    return value


def _libc():
    """The C library when it is glibc (whose allocator the two operations below tune), else None."""
    try:
        if not os.confstr("CS_GNU_LIBC_VERSION"):
            return None
        import ctypes

        return ctypes.CDLL(None)
    except (ValueError, OSError, AttributeError):
        return None


def _return_freed_memory():
    """Have the C allocator hand large freed blocks back to the system at once (glibc only).

    glibc raises its threshold for mapping a block of its own as soon as such a block is freed,
    so the arrays of the compile and the build end up in its heap, where they stay after they are
    freed, and the solver grows on top of them. With the threshold fixed, they go back when freed."""
    libc = _libc()
    return libc is not None and bool(libc.mallopt(_M_MMAP_THRESHOLD, _MMAP_THRESHOLD))


def _trim_heap():
    """Give the free pages inside the C heap back to the system (glibc only): what compiling and
    building let go of, held below what they keep."""
    libc = _libc()
    return libc is not None and bool(libc.malloc_trim(0))


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if len(argv) != 1:
        print("usage: python -m vormo.solvechild FOLDER", file=sys.stderr)
        return 2
    _return_freed_memory()
    folder = Path(argv[0])
    request = json.loads((folder / REQUEST_NAME).read_text(encoding="utf-8"))
    # The per-column entries travel packed: a third of the JSON, and no million records here.
    result = solve_request(request, packed=True)
    try:
        # Most results are plain JSON already (an explanation has many thousand records): only one
        # holding a non-finite number or an odd key needs the walk.
        text = json.dumps(result, default=str, allow_nan=False, check_circular=False, separators=(",", ":"))
    except (ValueError, TypeError, RecursionError):
        text = json.dumps(_jsonable(result), default=str, allow_nan=False, separators=(",", ":"))
    partial = folder / (RESULT_NAME + ".part")
    partial.write_text(text, encoding="utf-8")
    os.replace(partial, folder / RESULT_NAME)
    return 0


if __name__ == "__main__":
    sys.exit(main())
