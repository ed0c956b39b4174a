"""``vormo eval``: run a benchmark of problems in plain words through the whole product path.

A benchmark is a folder of cases (``NAME.txt`` with the description, ``NAME.json`` with
``{"objective": number}``) or a JSON-lines file in one of the common public layouts (the problem
under ``question``, ``en_question`` or ``Question``, the optimum under ``answer``, ``en_answer`` or
``Answer``). Every case is generated, compiled, revised, aligned and solved in its own folder, and
its outcome becomes one JSON line of the results file, appended by the driver as soon as the case
ends; ``--resume`` skips the cases the file already holds.

Cases run one after the other, in a local process pool (``jobs``) or on a Dask cluster (``dask``).
A case never touches anything but its own folder; the driver alone writes the results file.

Python use::

    from vormo import evaluate
    cases, skipped = evaluate.load_cases("benchmark.jsonl")
    summary = evaluate.run_eval(cases, evaluate.settings(model_name="gpt-5"), "results.jsonl")
"""

from __future__ import annotations

import json
import math
import os
import random
import re
import sys
import time
from collections.abc import Callable, Iterable, Mapping, Sequence
from pathlib import Path
from typing import Any, TextIO

__all__ = ["EvalError", "load_cases", "shipped_benchmarks", "shipped_benchmark", "select_cases", "settings", "run_case", "run_eval", "is_correct",
           "summarize", "read_results", "compare", "QUESTION_KEYS", "ANSWER_KEYS", "DEFAULT_TOLERANCE",
           "ABSOLUTE_FLOOR", "RECORD_KEYS"]

QUESTION_KEYS = ("question", "en_question", "Question")
ANSWER_KEYS = ("answer", "en_answer", "Answer")
DEFAULT_TOLERANCE = 1e-4
# Below this magnitude of the expected optimum the tolerance is absolute (relative to 1), so that an
# optimum of 0 is matched by a solver's 1e-9.
ABSOLUTE_FLOOR = 1.0
# The keys of a result line, in the order they are written.
RECORD_KEYS = ("case", "compiled_first", "compiled", "iterations", "aligned", "status", "objective",
               "expected", "correct", "tokens", "cost", "seconds", "error")
# Written after those when the step ran: repair rounds made, candidates that agree on the optimum.
EXTRA_KEYS = ("repair_rounds", "agreeing")

_NUMBER = re.compile(r"^[+-]?(\d+(\.\d*)?|\.\d+)([eE][+-]?\d+)?$")


class EvalError(Exception):
    """A problem with the benchmark, the results file or the options; its text names the fix."""


# ----------------------------------------------------------------------------------------------
# Cases
# ----------------------------------------------------------------------------------------------

def _number(value: Any) -> float | None:
    """A finite number from a JSON number or a numeric string (``"1,250.5"`` too), else None."""
    if isinstance(value, bool):
        return None
    if isinstance(value, (int, float)):
        number = float(value)
    elif isinstance(value, str):
        text = value.strip().replace(",", "").replace("_", "")
        if not _NUMBER.match(text):
            return None
        number = float(text)
    else:
        return None
    return number if math.isfinite(number) else None


def _first(obj: Mapping[str, Any], keys: Sequence[str]) -> Any:
    for key in keys:
        if key in obj:
            return obj[key]
    return None


def load_cases(source: str | os.PathLike[str]) -> tuple[list[dict[str, Any]], int]:
    """Read the cases of a benchmark: ``(cases, skipped)``.

    Each case is ``{"id", "text", "expected"}``. ``skipped`` counts the cases without a usable
    numeric optimum (or without a description), which are left out.
    """
    path = Path(source)
    if not path.exists() and shipped_benchmark(str(source)) is not None:
        path = shipped_benchmark(str(source))  # type: ignore[assignment]
    if path.is_dir():
        return _cases_from_folder(path)
    if not path.exists():
        raise EvalError(f"cannot access {path}: no such file or folder; give a folder of cases, a JSON-lines file "
                        f"or the name of a shipped benchmark ({', '.join(shipped_benchmarks())})")
    return _cases_from_jsonl(path)


def shipped_benchmarks() -> list[str]:
    """The names of the benchmarks shipped in ``vormo/benchmarks/``."""
    from importlib.resources import files

    folder = Path(str(files("vormo") / "benchmarks"))
    return sorted(p.name for p in folder.iterdir() if p.is_dir()) if folder.is_dir() else []


def shipped_benchmark(name: str) -> Path | None:
    """The folder of a shipped benchmark by its name (``starter``), or None."""
    if name not in shipped_benchmarks():
        return None
    from importlib.resources import files

    return Path(str(files("vormo") / "benchmarks" / name))


def _read(path: Path) -> str:
    try:
        return path.read_text(encoding="utf-8")
    except UnicodeDecodeError:
        raise EvalError(f"cannot read {path}: it is not UTF-8 text") from None
    except OSError as err:
        raise EvalError(f"cannot read {path}: {err.strerror or err}; check the path") from None


def _cases_from_folder(folder: Path) -> tuple[list[dict[str, Any]], int]:
    cases, skipped = [], 0
    for text_file in sorted(folder.glob("*.txt")):
        text = _read(text_file)
        answer_file = text_file.with_suffix(".json")
        expected = None
        if answer_file.is_file():
            try:
                answer = json.loads(_read(answer_file))
            except ValueError:
                answer = None
            if isinstance(answer, Mapping):
                expected = _number(answer.get("objective"))
        if expected is None or not text.strip():
            skipped += 1
            continue
        cases.append({"id": text_file.stem, "text": text, "expected": expected})
    if not cases and not skipped:
        raise EvalError(f"no cases in {folder}: a case is NAME.txt with NAME.json holding {{\"objective\": number}}")
    return cases, skipped


def _cases_from_jsonl(path: Path) -> tuple[list[dict[str, Any]], int]:
    cases, skipped, seen = [], 0, set()
    for number, line in enumerate(_read(path).splitlines(), 1):
        if not line.strip():
            continue
        try:
            obj = json.loads(line)
        except ValueError:
            raise EvalError(f"line {number} of {path} is not JSON: one JSON object per line is expected") from None
        if not isinstance(obj, Mapping):
            raise EvalError(f"line {number} of {path} is not a JSON object")
        text = _first(obj, QUESTION_KEYS)
        expected = _number(_first(obj, ANSWER_KEYS))
        if not isinstance(text, str) or not text.strip() or expected is None:
            skipped += 1
            continue
        ident = obj.get("id")
        case_id = str(ident) if isinstance(ident, (str, int)) and not isinstance(ident, bool) else str(number)
        if case_id in seen:
            raise EvalError(f"line {number} of {path} repeats the case id {case_id!r}: ids must be unique")
        seen.add(case_id)
        cases.append({"id": case_id, "text": text, "expected": expected})
    if not cases and not skipped:
        raise EvalError(f"no cases in {path}")
    return cases, skipped


def select_cases(cases: Sequence[dict[str, Any]], limit: int | None = None, sample: int | None = None,
                 seed: int | None = None) -> list[dict[str, Any]]:
    """A random ``sample`` of the cases (kept in file order, reproducible with ``seed``), then the first ``limit``."""
    chosen = list(cases)
    if sample is not None and sample < len(chosen):
        picked = set(random.Random(seed).sample(range(len(chosen)), sample))
        chosen = [case for i, case in enumerate(chosen) if i in picked]
    if limit is not None:
        chosen = chosen[:limit]
    return chosen


# ----------------------------------------------------------------------------------------------
# One case
# ----------------------------------------------------------------------------------------------

def settings(*, model_name: str | None = None, provider: str | None = None, grammar: str = "bnf",
             few_shot: bool = True, iterations: int | None = None, alignment: bool | None = None,
             tolerance: float = DEFAULT_TOLERANCE, time_limit: float = 60.0, repair: int | None = None,
             candidates: int | None = None, work_dir: str | os.PathLike[str] = "eval-cases",
             pricing: str | None = None, temperature: float | None = None) -> dict[str, Any]:
    """The settings every case runs with, as a plain (picklable) dictionary."""
    if pricing and Path(pricing).exists():
        pricing = str(Path(pricing).resolve())
    return {"model_name": model_name, "provider": provider, "grammar": grammar, "few_shot": bool(few_shot),
            "iterations": iterations, "alignment": alignment, "tolerance": float(tolerance),
            "time_limit": float(time_limit), "repair": repair, "candidates": candidates,
            "work_dir": str(Path(work_dir).resolve()), "pricing": pricing,
            "temperature": temperature}


def is_correct(objective: float | None, expected: float, tolerance: float = DEFAULT_TOLERANCE) -> bool:
    """Whether a solved objective matches the expected optimum.

    Relative tolerance for optima of magnitude ``ABSOLUTE_FLOOR`` and above, absolute below it.
    """
    if objective is None or isinstance(objective, bool):
        return False
    try:
        value = float(objective)
    except (TypeError, ValueError):
        return False
    if not math.isfinite(value):
        return False
    return abs(value - expected) <= tolerance * max(abs(expected), ABSOLUTE_FLOOR)


def _folder_name(case_id: str) -> str:
    """A file-system-safe folder name for a case id; ids that had to change get a short hash of the id,
    so that two ids never share a folder (``a/b`` and ``a_b``)."""
    safe = re.sub(r"[^A-Za-z0-9._-]+", "_", case_id).strip("._-")[:80]
    if safe and safe == case_id:
        return safe
    import hashlib

    return f"{safe or 'case'}-{hashlib.sha1(case_id.encode('utf-8')).hexdigest()[:8]}"


class _Watcher:
    """Progress callback that learns, from the workflow's own progress lines, how the attempts went."""

    def __init__(self) -> None:
        self.lines: list[str] = []
        self.compiles = 0
        self.first_failed = False
        self.alignment: bool | None = None
        self.aligned = False

    def __call__(self, msg: str) -> None:
        self.lines.append(msg)
        if msg.startswith("Generating with provider="):
            self.alignment = msg.rstrip().endswith("alignment=on")
        elif msg.startswith("Compiling model and data"):
            self.compiles += 1
        elif msg.startswith("Syntax/semantic errors found") and self.compiles == 1:
            self.first_failed = True
        elif msg.startswith("Aligned ") and "Stopping" in msg:
            self.aligned = True

    @property
    def compiled_first(self) -> bool:
        # The first attempt compiled when it reached the compiler and no finding followed it.
        return self.compiles >= 1 and not self.first_failed


def _first_line(text: Any) -> str:
    lines = str(text).strip().splitlines()
    return lines[0] if lines else ""


def _optional_module(name: str) -> Any:
    """The optional sibling module ``vormo.<name>``, or None when this installation lacks it."""
    import importlib

    try:
        return importlib.import_module(f"vormo.{name}")
    except ImportError:
        return None


# The entry points the optional steps are called through.
REPAIR_ENTRY = ("repair", "repair")
CANDIDATES_ENTRY = ("candidates", "solve_candidates")


def check_optional_steps(repair: int | None, candidates: int | None) -> None:
    """Refuse ``--repair`` / ``--candidates`` when the module that does the work is not installed."""
    for option, value, (module_name, function) in (("--repair", repair, REPAIR_ENTRY),
                                                   ("--candidates", candidates, CANDIDATES_ENTRY)):
        if not value:
            continue
        module = _optional_module(module_name)
        if module is None or not callable(getattr(module, function, None)):
            raise EvalError(f"{option} needs vormo.{module_name}.{function}, which this installation does not "
                            f"have: update vormo or leave out {option}")


def run_case(case: Mapping[str, Any], config: Mapping[str, Any]) -> dict[str, Any]:
    """Generate, solve and score one case in its own folder; returns its result line.

    Runs in the driver, in a pool process or on a Dask worker: it writes only below its folder.
    """
    from . import costs, modelsmith, tokenledger

    start = time.monotonic()
    folder = Path(config["work_dir"]) / _folder_name(str(case["id"]))
    folder.mkdir(parents=True, exist_ok=True)
    (folder / "problem.txt").write_text(case["text"], encoding="utf-8")
    model_file, data_file = str(folder / "model.mod"), str(folder / "data.dat")
    expected = float(case["expected"])
    record: dict[str, Any] = {"case": str(case["id"]), "compiled_first": False, "compiled": False,
                              "iterations": 0, "aligned": None, "status": "error", "objective": None,
                              "expected": expected, "correct": False, "tokens": 0, "cost": 0.0,
                              "seconds": 0.0, "error": None}
    watcher = _Watcher()
    kwargs: dict[str, Any] = {
        "mode": getattr(modelsmith.Grammar, str(config.get("grammar") or "bnf").upper()),
        "return_statistics": True,
        "alignment_check": config.get("alignment"),
        "llm_provider": config.get("provider"),
        "few_shot": bool(config.get("few_shot", True)),
        "progress": watcher,
        "temperature": config.get("temperature"),
    }
    if config.get("model_name") is not None:
        kwargs["model_name"] = config["model_name"]
    if config.get("iterations") is not None:
        kwargs["iterations"] = config["iterations"]
    saved_pricing = tokenledger.PRICING_URL
    if config.get("pricing"):
        tokenledger.PRICING_URL = config["pricing"]
    # Counts every request of the case, so that a case that fails after paid requests still
    # reports what it spent.
    meter = costs.Meter(config.get("model_name") or modelsmith.MODEL_NAME, config.get("provider"))
    try:
        with meter.installed():
            if config.get("candidates"):
                watcher = _candidates(case["text"], model_file, data_file, kwargs, config, record)
            else:
                stats = modelsmith.generative_solve(case["text"], model_file, data_file, **kwargs)
                _take_statistics(record, stats)
                record["aligned"] = watcher.aligned if watcher.alignment else None
                if record["compiled"]:
                    _solve(case["text"], model_file, data_file, kwargs, config, record)
                else:
                    record["status"] = "compile_error"
                    findings = stats.get("syntax_errors") or []
                    record["error"] = _first_line(findings[-1]) if findings else "the final model does not compile"
    except (KeyboardInterrupt, SystemExit):
        raise
    except Exception as err:  # the LLM's reply could not be used, the service failed, ...
        record["error"] = f"{type(err).__name__}: {_first_line(err)}"
        record["status"] = "error"
        _take_metered(record, meter)
        # None when the alignment check was off (or the run failed before it started).
        record["aligned"] = watcher.aligned if watcher.alignment else None
    finally:
        tokenledger.PRICING_URL = saved_pricing
    record["compiled_first"] = watcher.compiled_first
    record["correct"] = record["status"] == "optimal" and is_correct(record["objective"], expected,
                                                                      float(config.get("tolerance", DEFAULT_TOLERANCE)))
    record["seconds"] = round(time.monotonic() - start, 3)
    return {key: record[key] for key in (*RECORD_KEYS, *EXTRA_KEYS) if key in record}


def _number_or_none(value: Any) -> float | None:
    return float(value) if isinstance(value, (int, float)) and not isinstance(value, bool) else None


def _solve(text: str, model_file: str, data_file: str, kwargs: dict[str, Any], config: Mapping[str, Any],
           record: dict[str, Any]) -> None:
    """Solve the generated pair into the record; with ``repair`` a pair without an optimum is repaired."""
    from . import modelsmith, runner

    time_limit = float(config.get("time_limit", 60.0))

    def solve(model: str, data: str) -> dict[str, Any]:
        solved: dict[str, Any] = runner.solve_files(model, data, time_limit=time_limit)
        return solved

    result = solve(model_file, data_file)
    module = _optional_module(REPAIR_ENTRY[0]) if config.get("repair") else None
    needs = getattr(module, "needs_repair", None)
    if module is not None and result.get("status") != "optimal" and (not callable(needs) or needs(result)):
        repaired = getattr(module, REPAIR_ENTRY[1])(
            text, model_file, data_file, result, solve=solve, rounds=int(config["repair"]),
            model_name=kwargs.get("model_name") or modelsmith.MODEL_NAME, llm_provider=kwargs.get("llm_provider"),
            mode=kwargs["mode"], temperature=kwargs.get("temperature"),
            alignment_check=record["aligned"] is not None, progress=None)
        result = dict(repaired.get("result") or result)
        _add_cost(record, repaired.get("cost"))
        record["repair_rounds"] = int(repaired.get("rounds") or 0)
        if repaired.get("changed") and record["aligned"] is not None:
            record["aligned"] = bool(repaired.get("aligned"))
    record["status"] = str(result.get("status"))
    record["objective"] = _number_or_none(result.get("objective"))
    if record["status"] != "optimal" and (result.get("message") or result.get("finding")):
        record["error"] = _first_line(result.get("message") or result.get("finding"))


def _candidates(text: str, model_file: str, data_file: str, kwargs: dict[str, Any], config: Mapping[str, Any],
                record: dict[str, Any]) -> _Watcher:
    """Several candidates for the case; the record takes the agreed optimum and the chosen candidate's
    attempts. Returns the watcher of that candidate's progress lines."""
    module = _optional_module(CANDIDATES_ENTRY[0])
    watchers: dict[str, _Watcher] = {}

    def dispatch(line: str) -> None:
        # Each candidate's lines come prefixed with "[#n] ".
        match = re.match(r"\[#(\d+)\] (.*)", line, re.S)
        number, text_ = (match.group(1), match.group(2)) if match else ("", line)
        watchers.setdefault(number, _Watcher())(text_)

    generation = {k: v for k, v in kwargs.items() if k not in ("return_statistics", "progress")}
    outcome = getattr(module, CANDIDATES_ENTRY[1])(
        text, model_file, data_file, candidates=int(config["candidates"]),
        time_limit=float(config.get("time_limit", 60.0)), progress=dispatch, **generation)
    agreement = outcome.get("agreement") or {}
    members = [m for m in outcome.get("candidates") or [] if isinstance(m, Mapping)]
    chosen = next((m for m in members if m.get("number") == agreement.get("chosen")), None)
    lead = chosen or (members[0] if members else {})
    record["iterations"] = int(lead.get("iterations") or 0)
    record["compiled"] = any(m.get("status") not in (None, "compile_error", "error", "budget") for m in members)
    record["status"] = "optimal" if chosen is not None else str(lead.get("status") or "error")
    record["objective"] = _number_or_none(agreement.get("objective")) if chosen is not None else None
    record["aligned"] = lead.get("aligned")
    if chosen is None and lead.get("error"):
        record["error"] = _first_line(lead["error"])
    record["agreeing"] = agreement.get("agreeing")
    _add_cost(record, outcome.get("cost"))
    return watchers.get(str(lead.get("number")), _Watcher())


def _take_statistics(record: dict[str, Any], stats: Mapping[str, Any]) -> None:
    record["iterations"] = int(stats.get("iterations") or 0)
    record["compiled"] = not stats.get("syntax_errors")
    _add_cost(record, stats.get("cost"))


def _take_metered(record: dict[str, Any], meter: Any) -> None:
    """What a failed case spent: the meter saw every request, the statistics of a run that raised
    never came back."""
    usage = meter.usage
    tokens = usage["prompt_tokens"] + usage["completion_tokens"]
    if tokens > record["tokens"]:
        record["tokens"] = tokens
        record["cost"] = round(float(meter.record().get("total_cost") or 0.0), 10)


def _add_cost(record: dict[str, Any], cost: Any) -> None:
    if not isinstance(cost, Mapping):
        return
    usage = cost.get("usage") or {}
    record["tokens"] += int(usage.get("prompt_tokens") or 0) + int(usage.get("completion_tokens") or 0)
    estimated = cost.get("estimated_costs") or {}
    record["cost"] = round(record["cost"] + float(estimated.get("total_cost") or 0.0), 10)


# ----------------------------------------------------------------------------------------------
# Results file and summary
# ----------------------------------------------------------------------------------------------

def read_results(path: str | os.PathLike[str]) -> list[dict[str, Any]]:
    """The result lines of a results file; a line cut short by an interruption is ignored."""
    try:
        text = Path(path).read_text(encoding="utf-8")
    except FileNotFoundError:
        return []
    except (OSError, UnicodeDecodeError) as err:
        raise EvalError(f"cannot read the results file {path}: {err}") from None
    records = []
    for line in text.splitlines():
        try:
            obj = json.loads(line)
        except ValueError:
            continue
        if isinstance(obj, dict) and "case" in obj:
            records.append(obj)
    return records


def _rate(part: int, whole: int) -> float | None:
    return part / whole if whole else None


def summarize(records: Iterable[Mapping[str, Any]]) -> dict[str, Any]:
    """The totals of a run: rates are shares of the cases run (None when none ran)."""
    rows = list(records)
    n = len(rows)
    return {
        "cases": n,
        "compiled_first_rate": _rate(sum(bool(r.get("compiled_first")) for r in rows), n),
        "compiled_rate": _rate(sum(bool(r.get("compiled")) for r in rows), n),
        "solved_rate": _rate(sum(r.get("status") == "optimal" for r in rows), n),
        "accuracy": _rate(sum(bool(r.get("correct")) for r in rows), n),
        "correct": sum(bool(r.get("correct")) for r in rows),
        "mean_iterations": (sum(float(r.get("iterations") or 0) for r in rows) / n) if n else None,
        "tokens": sum(int(r.get("tokens") or 0) for r in rows),
        "cost": round(sum(float(r.get("cost") or 0.0) for r in rows), 10),
        "seconds": round(sum(float(r.get("seconds") or 0.0) for r in rows), 3),
        "errors": sum(bool(r.get("error")) and r.get("status") == "error" for r in rows),
    }


def _percent(value: float | None) -> str:
    return "-" if value is None else f"{100 * value:.1f}%"


def _money(value: float) -> str:
    from .costs import format_money

    return format_money(value)


SUMMARY_ROWS = (("cases", "cases run", str), ("compiled_first_rate", "compiled, first try", _percent),
                ("compiled_rate", "compiled, final", _percent), ("solved_rate", "solved to optimality", _percent),
                ("accuracy", "accuracy", _percent),
                ("mean_iterations", "mean iterations", lambda v: "-" if v is None else f"{v:.2f}"),
                ("tokens", "tokens", lambda v: f"{v:,}"), ("cost", "total cost", _money),
                ("seconds", "time (case seconds)", lambda v: f"{v:.1f}s"))


def print_summary(summary: Mapping[str, Any], out: TextIO) -> None:
    rows = [(label, fmt(summary[key])) for key, label, fmt in SUMMARY_ROWS]
    if summary.get("local") or summary.get("priced") is False:
        rows = [(label, ("$0 (local)" if summary.get("local") else "unpriced") if label == "total cost" else value)
                for label, value in rows]
    for key, label in (("skipped", "skipped (no numeric optimum)"), ("not_run", "not run"),
                       ("wall_seconds", "wall time")):
        if summary.get(key):
            value = summary[key]
            rows.append((label, f"{value:.1f}s" if key == "wall_seconds" else str(value)))
    width = max(len(label) for label, _ in rows)
    for label, value in rows:
        print(f"{label.ljust(width)}  {value}", file=out)


# ----------------------------------------------------------------------------------------------
# The driver
# ----------------------------------------------------------------------------------------------

class _Sequential:
    """Runs each case in the driver itself when it is collected."""

    def submit(self, case: Mapping[str, Any], config: Mapping[str, Any]) -> Any:
        return (case, config)

    def wait_one(self, pending: list[Any]) -> tuple[Any, dict[str, Any]]:
        item = pending[0]
        return item, run_case(*item)

    def close(self, interrupted: bool) -> None:
        pass


def _outcome(future: Any) -> Any:
    """A finished future's result line, or the error that ended it (a worker that died, ...)."""
    try:
        return future.result()
    except (KeyboardInterrupt, SystemExit):
        raise
    except Exception as err:
        return err


def _ignore_interrupts() -> None:
    # Pool processes leave Ctrl-C to the driver, which stops them.
    import signal

    signal.signal(signal.SIGINT, signal.SIG_IGN)


class _Pool:
    """A local process pool (fresh interpreters, so no state is inherited from the driver)."""

    def __init__(self, jobs: int) -> None:
        import multiprocessing
        from concurrent.futures import ProcessPoolExecutor

        self.executor = ProcessPoolExecutor(max_workers=jobs, mp_context=multiprocessing.get_context("spawn"),
                                            initializer=_ignore_interrupts)

    def submit(self, case: Mapping[str, Any], config: Mapping[str, Any]) -> Any:
        return self.executor.submit(run_case, dict(case), dict(config))

    def wait_one(self, pending: list[Any]) -> tuple[Any, dict[str, Any]]:
        from concurrent.futures import FIRST_COMPLETED, wait

        done, _ = wait(pending, return_when=FIRST_COMPLETED)
        future = next(iter(done))
        return future, _outcome(future)

    def close(self, interrupted: bool) -> None:
        if interrupted:
            processes = list(getattr(self.executor, "_processes", {}).values())
            self.executor.shutdown(wait=False, cancel_futures=True)
            for process in processes:
                process.terminate()
            for process in processes:
                process.join(5)
        else:
            self.executor.shutdown(wait=True)


class _Dask:
    """Cases submitted to a Dask cluster: an existing scheduler's address, or "local" for a LocalCluster."""

    def __init__(self, address: str, jobs: int) -> None:
        try:
            from dask.distributed import Client, LocalCluster
        except ImportError:
            raise EvalError("--dask needs dask.distributed: pip install 'vormo[cluster]'") from None
        self.cluster = None
        if address == "local":
            import signal

            # The worker processes inherit an ignored Ctrl-C: the driver alone answers it and stops them.
            saved = signal.signal(signal.SIGINT, signal.SIG_IGN)
            try:
                self.cluster = LocalCluster(n_workers=jobs, threads_per_worker=1, processes=True, host="127.0.0.1",
                                            dashboard_address=None)
            finally:
                signal.signal(signal.SIGINT, saved)
            self.client = Client(self.cluster)
        else:
            try:
                self.client = Client(address)
            except (OSError, ValueError) as err:
                raise EvalError(f"cannot reach the Dask scheduler at {address}: {err}; check the address "
                                "(tcp://HOST:8786) and that the scheduler runs") from None

    def submit(self, case: Mapping[str, Any], config: Mapping[str, Any]) -> Any:
        # pure=False: running the same case twice is two LLM runs, not one cached result.
        return self.client.submit(run_case, dict(case), dict(config), pure=False, key=f"vormo-case-{case['id']}-"
                                  f"{time.monotonic_ns()}")

    def wait_one(self, pending: list[Any]) -> tuple[Any, dict[str, Any]]:
        from dask.distributed import wait

        done, _ = wait(pending, return_when="FIRST_COMPLETED")
        future = next(iter(done))
        return future, _outcome(future)

    def close(self, interrupted: bool) -> None:
        import logging

        # Stopping workers in the middle of a case is expected here, not worth a warning.
        quiet = logging.getLogger("distributed")
        level = quiet.level
        if interrupted:
            quiet.setLevel(logging.ERROR)
        try:
            self.client.close()
        finally:
            try:
                if self.cluster is not None:
                    self.cluster.close()
            finally:
                quiet.setLevel(level)


class _Bar:
    """The progress display: a bar on a terminal, one line per case otherwise, nothing when quiet."""

    def __init__(self, total: int, initial: int, stream: TextIO | None, enabled: bool) -> None:
        self.stream = stream or sys.stderr
        self.enabled = enabled
        self.total = total
        self.bar = None
        if enabled and self.stream.isatty():
            try:
                from tqdm import tqdm
            except ImportError:  # without the eval extra: one line per case
                return
            self.bar = tqdm(total=total, initial=initial, unit="case", file=self.stream, disable=False,
                            dynamic_ncols=True, desc="eval")

    def update(self, record: Mapping[str, Any], done: int, summary: Mapping[str, Any]) -> None:
        text = f"accuracy {_percent(summary['accuracy'])}, cost {_money(summary['cost'])}"
        if self.bar is not None:
            self.bar.update(1)
            self.bar.set_postfix_str(text)
        elif self.enabled:
            verdict = "correct" if record.get("correct") else record.get("status")
            print(f"[{done}/{self.total}] {record['case']}: {verdict}; {text}", file=self.stream, flush=True)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


def _lost(case: Mapping[str, Any], err: BaseException) -> dict[str, Any]:
    record: dict[str, Any] = dict.fromkeys(RECORD_KEYS)
    record.update(case=str(case["id"]), compiled_first=False, compiled=False, iterations=0, status="error",
                  expected=float(case["expected"]), correct=False, tokens=0, cost=0.0, seconds=0.0,
                  error=f"{type(err).__name__}: {_first_line(err) or 'the case did not report back'}")
    return record


def _append(path: Path, record: Mapping[str, Any]) -> None:
    with path.open("a", encoding="utf-8") as handle:
        handle.write(json.dumps(record, ensure_ascii=False) + "\n")
        handle.flush()
        os.fsync(handle.fileno())


def _prepare_results(path: Path, resume: bool) -> list[dict[str, Any]]:
    if not path.exists() or path.stat().st_size == 0:
        path.parent.mkdir(parents=True, exist_ok=True)
        return []
    if not resume:
        raise EvalError(f"the results file {path} exists: add --resume to continue it, or choose another --out")
    records = read_results(path)
    with path.open("rb+") as handle:
        # A line cut short by an interruption gets its end of line, so the next result starts afresh.
        handle.seek(-1, os.SEEK_END)
        if handle.read(1) != b"\n":
            handle.write(b"\n")
    return records


def run_eval(cases: Sequence[Mapping[str, Any]], config: Mapping[str, Any], out: str | os.PathLike[str], *,
             resume: bool = False, jobs: int = 1, dask: str | None = None, max_cost: float | None = None,
             progress: bool = True, stream: TextIO | None = None,
             on_record: Callable[[dict[str, Any]], Any] | None = None) -> dict[str, Any]:
    """Run the cases and return the summary of every selected case the results file holds.

    A ``KeyboardInterrupt`` stops the workers and propagates; the finished cases' lines stay in
    the file. With ``max_cost`` no new case starts once this run has spent more than it (US dollars).
    """
    check_optional_steps(config.get("repair"), config.get("candidates"))
    path = Path(out)
    wanted = {str(case["id"]) for case in cases}
    previous = [r for r in _prepare_results(path, resume) if str(r["case"]) in wanted]
    finished = {str(r["case"]) for r in previous}
    todo = [case for case in cases if str(case["id"]) not in finished]
    records = list({str(r["case"]): r for r in previous}.values())
    start = time.monotonic()
    spent = 0.0
    runner_: Any = _Dask(dask, max(jobs, 1)) if dask else _Pool(jobs) if jobs > 1 else _Sequential()
    width = 1 if isinstance(runner_, _Sequential) else max(jobs, 1)
    bar = _Bar(len(cases), len(records), stream, progress)
    pending: list[Any] = []
    queue = list(todo)
    owners: dict[int, Mapping[str, Any]] = {}
    interrupted = False
    try:
        while queue or pending:
            while queue and len(pending) < width and (max_cost is None or spent <= max_cost):
                case = queue.pop(0)
                pending.append(runner_.submit(case, config))
                owners[id(pending[-1])] = case
            if not pending:
                break
            item, record = runner_.wait_one(pending)
            pending.remove(item)
            case = owners.pop(id(item))
            if isinstance(record, BaseException):
                # The case never reported back (its process died, the cluster lost it): an error line.
                record = _lost(case, record)
            _append(path, record)
            records.append(record)
            spent += float(record.get("cost") or 0.0)
            bar.update(record, len(records), summarize(records))
            if on_record is not None:
                on_record(record)
    except KeyboardInterrupt:
        interrupted = True
        raise
    finally:
        bar.close()
        runner_.close(interrupted)
    summary = summarize(records)
    summary["skipped"] = 0
    summary["not_run"] = len(cases) - len(records)
    summary["budget_reached"] = max_cost is not None and spent > max_cost and summary["not_run"] > 0
    summary["wall_seconds"] = round(time.monotonic() - start, 3)
    summary["results"] = str(path)
    return summary


# ----------------------------------------------------------------------------------------------
# Two runs side by side
# ----------------------------------------------------------------------------------------------

def compare(a: Sequence[Mapping[str, Any]], b: Sequence[Mapping[str, Any]]) -> dict[str, Any]:
    """Per case (in the order of first appearance) and in total, two runs' result lines."""
    by_a = {str(r["case"]): r for r in a}
    by_b = {str(r["case"]): r for r in b}
    order = list(dict.fromkeys([*by_a, *by_b]))
    rows = []
    for case in order:
        ra, rb = by_a.get(case), by_b.get(case)
        rows.append({"case": case, "a": _brief(ra), "b": _brief(rb),
                     "differs": (ra or {}).get("correct") != (rb or {}).get("correct") or ra is None or rb is None})
    both = [case for case in order if case in by_a and case in by_b]
    return {"cases": rows,
            "total": {"a": summarize(by_a.values()), "b": summarize(by_b.values())},
            "common": {"cases": len(both),
                       "a": summarize(by_a[c] for c in both), "b": summarize(by_b[c] for c in both),
                       "only_a_correct": sum(bool(by_a[c].get("correct")) and not by_b[c].get("correct") for c in both),
                       "only_b_correct": sum(bool(by_b[c].get("correct")) and not by_a[c].get("correct") for c in both)}}


def _brief(record: Mapping[str, Any] | None) -> dict[str, Any] | None:
    if record is None:
        return None
    return {key: record.get(key) for key in ("status", "objective", "expected", "correct", "iterations", "tokens",
                                             "cost")}


def _cell(brief: Mapping[str, Any] | None) -> str:
    if brief is None:
        return "-"
    mark = "ok" if brief.get("correct") else "wrong" if brief.get("status") == "optimal" else str(brief.get("status"))
    objective = brief.get("objective")
    return mark if objective is None else f"{mark} {objective:.10g}"


def print_comparison(result: Mapping[str, Any], names: tuple[str, str], out: TextIO) -> None:
    rows = [("case", names[0], names[1], "")]
    for row in result["cases"]:
        rows.append((row["case"], _cell(row["a"]), _cell(row["b"]), "*" if row["differs"] else ""))
    rows.append(("", "", "", ""))
    ta, tb = result["total"]["a"], result["total"]["b"]
    for key, label, fmt in SUMMARY_ROWS:
        rows.append((label, fmt(ta[key]), fmt(tb[key]), ""))
    common = result["common"]
    rows.append((f"accuracy on the {common['cases']} common cases", _percent(common["a"]["accuracy"]),
                 _percent(common["b"]["accuracy"]), ""))
    widths = [max(len(r[i]) for r in rows) for i in range(3)]
    for row in rows:
        print("  ".join(cell.ljust(w) for cell, w in zip(row[:3], widths)).rstrip()
              + (f"  {row[3]}" if row[3] else ""), file=out)


# ----------------------------------------------------------------------------------------------
# The command line's ``vormo eval``
# ----------------------------------------------------------------------------------------------

def _positive(value: int | float | None, option: str, allow_zero: bool = False) -> None:
    if value is not None and (value < 0 or (value == 0 and not allow_zero)):
        raise EvalError(f"{option} must be {'zero or more' if allow_zero else 'at least 1'}, not {value:g}")


def command(args: Any, out: TextIO) -> int:
    """``vormo eval CASES ...`` and ``vormo eval compare A.jsonl B.jsonl``."""
    from . import cli

    try:
        if args.cases == "compare":
            return _command_compare(args, out)
        if args.more:
            raise EvalError(f"unexpected arguments {' '.join(args.more)}: give one CASES folder or JSON-lines file "
                            "(or 'compare A.jsonl B.jsonl')")
        return _command_run(args, out, cli)
    except EvalError as err:
        raise cli.UsageError(str(err)) from None


def _command_compare(args: Any, out: TextIO) -> int:
    if len(args.more) != 2:
        raise EvalError("compare takes two results files: vormo eval compare A.jsonl B.jsonl")
    first, second = args.more
    runs = []
    for name in (first, second):
        if not Path(name).is_file():
            raise EvalError(f"cannot access {name}: no such results file; check the path")
        runs.append(read_results(name))
    result = compare(*runs)
    if args.json:
        print(json.dumps(result, indent=2, ensure_ascii=False), file=out)
    else:
        print_comparison(result, (Path(first).name, Path(second).name), out)
    return 0


def _command_run(args: Any, out: TextIO, cli: Any) -> int:
    for value, option in ((args.iterations, "--iterations"), (args.jobs, "--jobs"), (args.limit, "--limit"),
                          (args.sample, "--sample"), (args.candidates, "--candidates")):
        _positive(value, option)
    for value, option in ((args.repair, "--repair"), (args.max_cost, "--max-cost"), (args.tolerance, "--tolerance")):
        _positive(value, option, allow_zero=True)
    if args.candidates is not None and args.candidates < 2:
        raise EvalError("--candidates must be at least 2")
    if args.seed is not None and args.sample is None:
        raise EvalError("--seed goes with --sample N")
    cli._check_provider(args.provider)
    check_optional_steps(args.repair, args.candidates)
    cases, skipped = load_cases(args.cases)
    chosen = select_cases(cases, limit=args.limit, sample=args.sample, seed=args.seed)
    from . import tokenledger

    results = Path(args.out)
    work_dir = args.work_dir or str(results.with_name(results.stem + ".cases"))
    config = settings(model_name=args.model_name, provider=args.provider, grammar=args.grammar,
                      few_shot=not args.no_few_shot, iterations=args.iterations,
                      alignment=False if args.no_alignment else None, tolerance=args.tolerance,
                      time_limit=args.time_limit, repair=args.repair, candidates=args.candidates,
                      work_dir=work_dir, pricing=tokenledger.PRICING_URL, temperature=args.temperature)
    if not args.quiet:
        where = f" on the Dask cluster {args.dask}" if args.dask else f" in {args.jobs} processes" if args.jobs > 1 else ""
        skipped_note = f" ({skipped} without a numeric optimum skipped)" if skipped else ""
        print(f"{cli.PROG}: {len(chosen)} case(s) from {args.cases}{skipped_note}{where}; results to {results}, "
              f"case folders in {work_dir}", file=sys.stderr)
    summary = run_eval(chosen, config, results, resume=args.resume, jobs=args.jobs, dask=args.dask,
                       max_cost=args.max_cost, progress=not args.quiet)
    summary["skipped"] = skipped
    from . import costs, modelsmith

    # Whether the total is a price at all: "unpriced" or "local" rather than $0.
    summary.update(costs.json_fields(costs.price(args.model_name or modelsmith.MODEL_NAME, {}, args.provider)))
    if summary.get("budget_reached") and not args.quiet:
        print(f"{cli.PROG}: the cost budget of {_money(args.max_cost)} is spent; {summary['not_run']} case(s) not "
              "started (run again with --resume and a larger --max-cost to go on)", file=sys.stderr)
    if args.json:
        print(json.dumps(summary, indent=2, ensure_ascii=False), file=out)
    else:
        print_summary(summary, out)
    return 0
