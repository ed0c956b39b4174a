"""Several independently generated models for one description, and how far their optima agree.

Usage::

    from vormo.candidates import solve_candidates
    outcome = solve_candidates("A bakery sells ...", "out/plan.mod", "out/plan.dat", candidates=3)
    outcome["agreement"]["agreeing"], outcome["agreement"]["objective"]

Each candidate is a whole ``modelsmith.generative_solve`` run (generate, compile, revise, check the
alignment) into its own folder beside the requested pair (``out/plan.candidates/1/plan.mod``, ...),
solved with ``runner.solve_files``. The candidates run at the same time in threads: their time goes
into waiting for the LLM, and the client libraries let other threads run while they wait.

Candidates are grouped by solver status and, for the statuses with an optimum, by objective value
(two optima agree when they differ by at most ``tolerance`` times the larger magnitude, or times 1
below magnitude 1). The largest group of optimal candidates wins; a tie goes to the group with more
candidates the alignment check accepted, then to the one that needed fewer iterations. The best
member of the winning group (aligned, fewest iterations, lowest number) is copied to the requested
``model_file`` and ``data_file``. Every other group is described by what its models do differently
from the chosen one: constraint labels, variable domains and data values.

While it runs, ``solve_candidates`` puts two wrappers in place of the workflow's ``rag_rank`` and
``_llm_generate_text`` (and puts the originals back when the last run ends). Outside a candidate's
thread they only pass calls on. Inside one, the first counts each candidate's tokens (also those of
a candidate that fails) and refuses a request once ``max_cost`` is spent; the second ranks the
worked examples once for all candidates and gives each candidate its own window of the ranking, so
that the candidates differ in the examples they see as well as in sampling.
"""

from __future__ import annotations

import math
import os
import sys
import threading
from collections.abc import Callable, Mapping, Sequence
from pathlib import Path
from typing import Any
from .costs import format_money

__all__ = ["solve_candidates", "model_differences", "group_candidates", "BudgetSpent", "DEFAULT_TOLERANCE"]

DEFAULT_TOLERANCE = 1e-6
# Most difference lines shown for one group.
MAX_DIFFERENCE_LINES = 6
# Characters of a data value shown in a difference line.
_VALUE_CHARS = 48
# Statuses of the solver runner whose objective is an optimum.
_OPTIMAL = "optimal"
_ALIGNED = "Aligned \u2713 Stopping."
_NOT_ALIGNED = "Not aligned; revising per assessment"


class BudgetSpent(RuntimeError):
    """A candidate's next LLM request was refused because the candidates' summed cost reached the budget."""


class _Stop(BaseException):
    """Ends a candidate's thread at its next step (the run was interrupted). Not an ordinary error,
    so the workflow lets it through."""


def _type_error(name: str, expected: str, value: Any) -> TypeError:
    return TypeError("Argument '%.200s' has incorrect type (expected %.200s, got %.200s)"
                     % (name, expected, type(value).__name__))


# ----------------------------------------------------------------------------------------------
# Per-candidate state and the two wrappers
# ----------------------------------------------------------------------------------------------

class _Run:
    """What the candidates of one ``solve_candidates`` call share: the summed usage, the budget,
    the ranking of the worked examples and the stop signal."""

    def __init__(self, count: int, vary_examples: bool, max_cost: float | None, model_name: str | None) -> None:
        self.count = count
        self.vary_examples = vary_examples
        self.max_cost = max_cost
        self.model_name = model_name
        self.stop = threading.Event()
        self.lock = threading.Lock()
        self.rank_lock = threading.Lock()
        self.rankings: dict[tuple[Any, ...], tuple[bool, Any]] = {}
        self.spent = 0.0
        self.unpriced = False

    def price(self, usage: Mapping[str, Any]) -> float | None:
        from . import tokenledger
        import types

        estimate = tokenledger.estimate_costs(types.SimpleNamespace(model=self.model_name), dict(usage))
        return _price_of(estimate)


def _price_of(estimate: Any) -> float | None:
    """The total of a cost estimate, or None when the pricing table has no price for the model."""
    if not isinstance(estimate, Mapping) or not {"prompt_cost", "completion_cost"} & set(estimate):
        return None
    return float(estimate.get("total_cost") or 0.0)


class _Candidate:
    def __init__(self, run: _Run, number: int) -> None:
        self.run = run
        self.number = number
        self.prompt_tokens = 0
        self.completion_tokens = 0
        self.aligned: bool | None = None

    def before_request(self) -> None:
        if self.run.stop.is_set():
            raise _Stop()
        budget = self.run.max_cost
        if budget is not None:
            with self.run.lock:
                spent = self.run.spent
            if spent >= budget:
                raise BudgetSpent(f"the budget of {format_money(budget)} is spent ({format_money(spent)} by all candidates); "
                                  f"candidate {self.number} stopped before its next request")

    def add_usage(self, usage: Any) -> None:
        if not isinstance(usage, Mapping):
            return
        prompt = int(usage.get("prompt_tokens") or 0)
        completion = int(usage.get("completion_tokens") or 0)
        self.prompt_tokens += prompt
        self.completion_tokens += completion
        if self.run.max_cost is not None and (prompt or completion):
            cost = self.run.price({"prompt_tokens": prompt, "completion_tokens": completion})
            with self.run.lock:
                if cost is not None:
                    self.run.spent += cost
                elif not self.run.unpriced:
                    self.run.unpriced = True
                    import logging

                    logging.getLogger(__name__).warning(
                        "no price for %r in the pricing table: the budget of %s cannot be applied",
                        self.run.model_name, format_money(self.run.max_cost))

    def progress(self, forward: Callable[[str], Any] | None) -> Callable[[str], None]:
        prefix = f"[#{self.number}] "

        def report(msg: str) -> None:
            if self.run.stop.is_set():
                raise _Stop()
            if msg.startswith(_ALIGNED):
                self.aligned = True
            elif msg.startswith(_NOT_ALIGNED):
                self.aligned = False
            if forward is not None:
                forward(prefix + msg)

        return report


_local = threading.local()
_hooks_lock = threading.Lock()
_hooks_users = 0
_saved: dict[str, Any] = {}


def _current() -> _Candidate | None:
    return getattr(_local, "candidate", None)


def _llm_for_candidate(*args: Any, **kwargs: Any) -> Any:
    candidate = _current()
    call = _saved["_llm_generate_text"]
    if candidate is None:
        return call(*args, **kwargs)
    candidate.before_request()
    reply = call(*args, **kwargs)
    if isinstance(reply, tuple) and len(reply) == 2:
        candidate.add_usage(reply[1])
    return reply


def _rank_for_candidate(*args: Any, **kwargs: Any) -> Any:
    candidate = _current()
    rank = _saved["rag_rank"]
    top_k = kwargs.get("top_k")
    if candidate is None or args or type(top_k) is not int or top_k <= 0 or set(kwargs) - {"query", "models_dir", "top_k"}:
        return rank(*args, **kwargs)
    run = candidate.run
    extra = run.count - 1 if run.vary_examples else 0
    key = (kwargs.get("query"), kwargs.get("models_dir"), top_k + extra)
    # One ranking for all candidates: the embedding model is loaded and run once, not once per thread.
    with run.rank_lock:
        if key not in run.rankings:
            try:
                run.rankings[key] = (True, list(rank(**{**kwargs, "top_k": top_k + extra})))
            except Exception as error:  # noqa: BLE001 - each candidate sees the same failure
                run.rankings[key] = (False, error)
        ok, ranking = run.rankings[key]
    if not ok:
        raise ranking
    windows = max(1, len(ranking) - top_k + 1)
    start = (candidate.number - 1) % windows if run.vary_examples else 0
    return ranking[start:start + top_k]


def _install_hooks() -> None:
    from . import modelsmith

    global _hooks_users
    with _hooks_lock:
        if _hooks_users == 0:
            _saved["_llm_generate_text"] = modelsmith._llm_generate_text
            _saved["rag_rank"] = getattr(modelsmith, "rag_rank")
            modelsmith._llm_generate_text = _llm_for_candidate
            setattr(modelsmith, "rag_rank", _rank_for_candidate)
        _hooks_users += 1


def _remove_hooks() -> None:
    from . import modelsmith

    global _hooks_users
    with _hooks_lock:
        _hooks_users -= 1
        if _hooks_users == 0:
            # Whatever a host put there meanwhile stays.
            if modelsmith._llm_generate_text is _llm_for_candidate:
                modelsmith._llm_generate_text = _saved["_llm_generate_text"]
            if getattr(modelsmith, "rag_rank") is _rank_for_candidate:
                setattr(modelsmith, "rag_rank", _saved["rag_rank"])
            _saved.clear()


# ----------------------------------------------------------------------------------------------
# One candidate
# ----------------------------------------------------------------------------------------------

def _candidate_paths(model_file: str, data_file: str, count: int) -> tuple[Path, list[tuple[str, str]]]:
    model, data = Path(model_file), Path(data_file)
    if model.name == data.name:
        raise ValueError(f"model_file and data_file need different file names to share a candidate "
                         f"folder, not both {model.name!r}")
    folder = model.parent / (model.stem + ".candidates")
    return folder, [(str(folder / str(n) / model.name), str(folder / str(n) / data.name))
                    for n in range(1, count + 1)]


def _one_candidate(candidate: _Candidate, prompt: str, paths: tuple[str, str], solve_kwargs: dict[str, Any],
                   time_limit: float, progress: Callable[[str], Any] | None) -> dict[str, Any]:
    from . import modelsmith, runner

    model_file, data_file = paths
    record: dict[str, Any] = {"number": candidate.number, "model_file": model_file, "data_file": data_file,
                              "status": "error", "objective": None, "aligned": None, "iterations": None,
                              "statistics": None, "solve": None, "error": None}
    report = candidate.progress(progress)
    _local.candidate = candidate
    try:
        stats = modelsmith.generative_solve(prompt, model_file, data_file, return_statistics=True,
                                            progress=report, **solve_kwargs)
    except BudgetSpent as error:
        record.update(status="budget", error=str(error))
        return record
    except Exception as error:  # noqa: BLE001 - one failed candidate does not stop the others
        record.update(error=f"{type(error).__name__}: {error}", exception=error)
        return record
    finally:
        _local.candidate = None
    record["statistics"] = stats
    record["iterations"] = stats.get("iterations")
    record["aligned"] = candidate.aligned
    findings = stats.get("syntax_errors") or []
    if findings:
        record.update(status="compile_error", error=str(findings[0]))
        return record
    report("Solving the candidate")
    result = runner.solve_files(model_file, data_file, time_limit=time_limit)
    record["solve"] = result
    record["status"] = str(result.get("status"))
    objective = result.get("objective")
    record["objective"] = objective if isinstance(objective, (int, float)) and not isinstance(objective, bool) else None
    if result.get("message") and record["status"] != _OPTIMAL:
        record["error"] = str(result["message"]).strip().splitlines()[0] if str(result["message"]).strip() else None
    report(f"Solved: {record['status']}" + (f", objective {record['objective']}" if record["objective"] is not None
                                             else ""))
    return record


# ----------------------------------------------------------------------------------------------
# Agreement
# ----------------------------------------------------------------------------------------------

def _agree(a: float, b: float, tolerance: float) -> bool:
    return abs(a - b) <= tolerance * max(1.0, abs(a), abs(b))


def group_candidates(records: Sequence[Mapping[str, Any]], tolerance: float = DEFAULT_TOLERANCE) -> list[dict[str, Any]]:
    """Group candidate records by status and objective; the winning group first.

    Each group: "status", "objective" (of its first member, or None), "members" (candidate
    numbers), "aligned" (how many the alignment check accepted) and "iterations" (their sum).
    Optimal groups come first (those without an objective are feasibility models), ordered by size,
    then aligned members, then fewer iterations.
    """
    groups: list[dict[str, Any]] = []
    by_value = sorted(records, key=lambda r: (str(r.get("status")), r.get("objective") is None,
                                              r.get("objective") or 0.0, r["number"]))
    for rec in by_value:
        status, objective = str(rec.get("status")), rec.get("objective")
        last = groups[-1] if groups else None
        if last is not None and last["status"] == status and (
                (objective is None and last["objective"] is None)
                or (objective is not None and last["objective"] is not None
                    and _agree(last["objective"], objective, tolerance))):
            group = last
        else:
            group = {"status": status, "objective": objective, "members": [], "aligned": 0, "iterations": 0}
            groups.append(group)
        group["members"].append(rec["number"])
        group["aligned"] += 1 if rec.get("aligned") else 0
        group["iterations"] += int(rec.get("iterations") or 0)
    for group in groups:
        group["members"].sort()
    groups.sort(key=lambda g: (g["status"] != _OPTIMAL, -len(g["members"]),
                               -g["aligned"], g["iterations"], g["members"][0]))
    return groups


def _best_member(group: Mapping[str, Any], records: Mapping[int, Mapping[str, Any]]) -> int:
    members: list[int] = group["members"]
    return min(members, key=lambda n: (not records[n].get("aligned"), int(records[n].get("iterations") or 0), n))


# ----------------------------------------------------------------------------------------------
# What differs between two models
# ----------------------------------------------------------------------------------------------

def _expr_text(expr: Any) -> str:
    if not isinstance(expr, dict):
        return str(expr)
    kind = expr.get("type")
    if kind in ("number", "string"):
        return repr(expr["value"]) if kind == "string" else str(expr["value"])
    if kind in ("name", "constant"):
        return str(expr["name"])
    if kind == "indexed":
        return str(expr["name"]) + "".join(f"[{_expr_text(i)}]" for i in expr.get("indices", []))
    if kind == "unary":
        return f"{expr['op']}{_expr_text(expr['operand'])}"
    if kind in ("binop", "compare", "logical"):
        return f"{_expr_text(expr['left'])} {expr['op']} {_expr_text(expr['right'])}"
    return "…"


def _labels(statements: Any, into: dict[str, int], unlabelled: list[int]) -> None:
    for statement in statements or []:
        if not isinstance(statement, dict):
            continue
        if statement.get("type") == "constraint":
            label = statement.get("label")
            if label:
                into[label] = into.get(label, 0) + 1
            else:
                unlabelled[0] += 1
        else:
            _labels(statement.get("body"), into, unlabelled)


def _domain(decl: Mapping[str, Any]) -> str:
    text = str(decl.get("var_type")) + "".join(f"[{i.get('set')}]" for i in decl.get("indices") or [])
    bounds = decl.get("bounds")
    if isinstance(bounds, dict):
        text += f" in {_expr_text(bounds.get('low'))}..{_expr_text(bounds.get('high'))}"
    return text


def _short(value: Any) -> str:
    text = repr(value)
    return text if len(text) <= _VALUE_CHARS else text[:_VALUE_CHARS - 1] + "…"


def _names(names: Sequence[str]) -> str:
    return ", ".join(names)


def model_differences(reference: tuple[str, str], other: tuple[str, str], reference_name: str = "#1",
                      other_name: str = "#2", limit: int = MAX_DIFFERENCE_LINES) -> list[str]:
    """Lines saying how the model and data texts ``other`` differ from ``reference``.

    Compared are: the objective's sense, constraint labels present in one model only, decision
    variables present in one only or with another domain, and data items of the same name with
    different values. A pair that does not compile gives one line with the finding.
    """
    from . import vormo_kernel

    compiled = []
    for (model, data), name in ((reference, reference_name), (other, other_name)):
        try:
            compiled.append(vormo_kernel.VormoCompiler().compile_model(model, data))
        except (SyntaxError, vormo_kernel.SemanticError) as error:
            return [f"{name} does not compile: {str(error).strip().splitlines()[0] if str(error).strip() else error}"]
    ref, oth = compiled
    lines: list[str] = []
    ref_obj, oth_obj = ref.get("objective") or {}, oth.get("objective") or {}
    if ref_obj.get("sense") != oth_obj.get("sense"):
        lines.append(f"objective: {ref_obj.get('sense')} in {reference_name}, {oth_obj.get('sense')} in {other_name}")

    ref_labels: dict[str, int] = {}
    oth_labels: dict[str, int] = {}
    ref_plain, oth_plain = [0], [0]
    _labels(ref.get("constraints"), ref_labels, ref_plain)
    _labels(oth.get("constraints"), oth_labels, oth_plain)
    only_ref = sorted(set(ref_labels) - set(oth_labels))
    only_oth = sorted(set(oth_labels) - set(ref_labels))
    if only_ref:
        lines.append(f"constraints only in {reference_name}: {_names(only_ref)}")
    if only_oth:
        lines.append(f"constraints only in {other_name}: {_names(only_oth)}")
    if ref_plain[0] != oth_plain[0]:
        lines.append(f"unlabelled constraints: {ref_plain[0]} in {reference_name}, {oth_plain[0]} in {other_name}")

    ref_vars = {d["name"]: d for d in ref.get("declarations", []) if d.get("type") == "dvar"}
    oth_vars = {d["name"]: d for d in oth.get("declarations", []) if d.get("type") == "dvar"}
    for names, where in ((sorted(set(ref_vars) - set(oth_vars)), reference_name),
                         (sorted(set(oth_vars) - set(ref_vars)), other_name)):
        if names:
            lines.append(f"variables only in {where}: {_names(names)}")
    for name in sorted(set(ref_vars) & set(oth_vars)):
        a, b = _domain(ref_vars[name]), _domain(oth_vars[name])
        if a != b:
            lines.append(f"variable {name}: {a} in {reference_name}, {b} in {other_name}")

    ref_data, oth_data = ref.get("data") or {}, oth.get("data") or {}
    for name in sorted(set(ref_data) & set(oth_data)):
        if ref_data[name] != oth_data[name]:
            lines.append(f"data {name}: {_short(ref_data[name])} in {reference_name}, "
                         f"{_short(oth_data[name])} in {other_name}")
    if not lines:
        lines.append("same constraint labels, variables and data; the expressions differ")
    if len(lines) > limit:
        lines = lines[:limit - 1] + [f"… and {len(lines) - limit + 1} more differences"]
    return lines


def _read_pair(record: Mapping[str, Any]) -> tuple[str, str] | None:
    try:
        return (Path(record["model_file"]).read_text(encoding="utf-8"),
                Path(record["data_file"]).read_text(encoding="utf-8"))
    except (OSError, UnicodeDecodeError):
        return None


def _group_differences(group: Mapping[str, Any], chosen: Mapping[str, Any] | None,
                       records: Mapping[int, Mapping[str, Any]]) -> list[str]:
    first = records[group["members"][0]]
    if first["status"] in ("compile_error", "error", "budget"):
        return [str(first.get("error") or first["status"])]
    if chosen is None:
        return []
    ref, oth = _read_pair(chosen), _read_pair(first)
    if ref is None or oth is None:
        return [f"#{first['number']}: its files cannot be read"]
    return model_differences(ref, oth, f"#{chosen['number']}", f"#{first['number']}")


# ----------------------------------------------------------------------------------------------
# The operation
# ----------------------------------------------------------------------------------------------

def _summed_cost(records: Sequence[Mapping[str, Any]], model_name: str) -> dict[str, Any]:
    from . import tokenledger
    import types

    usage = {"prompt_tokens": sum(r["usage"]["prompt_tokens"] for r in records),
             "completion_tokens": sum(r["usage"]["completion_tokens"] for r in records)}
    try:
        estimate = tokenledger.estimate_costs(types.SimpleNamespace(model=model_name), dict(usage))
    except Exception:  # noqa: BLE001 - an unpriced run still reports its tokens
        estimate = {}
    return {"model": model_name, "usage": usage, "estimated_costs": dict(estimate or {})}


def solve_candidates(prompt: str, model_file: str, data_file: str, candidates: int = 3, *,
                     tolerance: float = DEFAULT_TOLERANCE, time_limit: float = 60.0, vary_examples: bool = True,
                     max_cost: float | None = None, max_workers: int | None = None,
                     progress: Callable[[str], Any] | None = None, **solve_kwargs: Any) -> dict[str, Any]:
    """Generate ``candidates`` models for ``prompt`` at the same time, solve each and compare the optima.

    ``solve_kwargs`` go to every ``modelsmith.generative_solve`` call (``model_name``, ``mode``,
    ``iterations``, ``alignment_check``, ``temperature``, ``stop``, ``llm_provider``, ``few_shot``).
    ``vary_examples`` gives candidate n the worked examples from rank n on (candidate 1 sees those a
    single run would); ``max_cost`` (in dollars) refuses every further LLM request of every
    candidate once the candidates' summed cost reaches it; ``max_workers`` limits how many
    candidates run at once (default: all). ``progress`` receives each candidate's progress lines,
    prefixed with "[#n] ".

    Returns a record with "model_file", "data_file", "candidates_dir", "candidates" (one record per
    candidate: "number", "model_file", "data_file", "status", "objective", "aligned", "iterations",
    "statistics", "solve", "error", "usage", "estimated_costs"), "agreement" ("candidates",
    "agreeing", "objective", "chosen", "tolerance", "groups") and "cost" (the summed usage and
    price). When no candidate reaches an optimum the requested files are left as they are. When
    every candidate fails with an error the first error is raised.
    """
    if not isinstance(prompt, str):
        raise _type_error("prompt", "str", prompt)
    for name, value in (("model_file", model_file), ("data_file", data_file)):
        if not isinstance(value, (str, os.PathLike)):
            raise _type_error(name, "str", value)
    if type(candidates) is not int:
        raise _type_error("candidates", "int", candidates)
    if candidates < 2:
        raise ValueError(f"candidates must be at least 2, not {candidates}")
    if isinstance(tolerance, bool) or not isinstance(tolerance, (int, float)):
        raise _type_error("tolerance", "float", tolerance)
    if not 0 <= tolerance < math.inf:
        raise ValueError(f"tolerance must be a finite number of at least 0, not {tolerance!r}")
    if max_cost is not None and (isinstance(max_cost, bool) or not isinstance(max_cost, (int, float))):
        raise _type_error("max_cost", "float", max_cost)
    if max_workers is not None and (type(max_workers) is not int or max_workers < 1):
        raise ValueError(f"max_workers must be a positive int or None, not {max_workers!r}")
    for reserved in ("return_statistics", "progress"):
        if reserved in solve_kwargs:
            raise TypeError(f"solve_candidates() sets {reserved!r} itself")
    from concurrent.futures import ThreadPoolExecutor
    import shutil

    from . import modelsmith

    model_file, data_file = os.fspath(model_file), os.fspath(data_file)
    folder, paths = _candidate_paths(model_file, data_file, candidates)
    model_name = solve_kwargs.get("model_name", modelsmith.MODEL_NAME)
    run = _Run(candidates, bool(vary_examples), None if max_cost is None else float(max_cost), model_name)
    people = [_Candidate(run, n) for n in range(1, candidates + 1)]

    _install_hooks()
    pool = ThreadPoolExecutor(max_workers=max_workers or candidates, thread_name_prefix="vormo-candidate")
    try:
        futures = [pool.submit(_one_candidate, c, prompt, p, solve_kwargs, time_limit, progress)
                   for c, p in zip(people, paths)]
        records = [f.result() for f in futures]
    except BaseException:
        # Interrupted (or a candidate's thread ended with an interrupt): the others end at their
        # next step; a request already sent is not waited for here.
        run.stop.set()
        pool.shutdown(wait=False, cancel_futures=True)
        _remove_hooks()
        raise
    pool.shutdown(wait=True)
    _remove_hooks()

    priced = [r["statistics"]["cost"] for r in records if isinstance((r.get("statistics") or {}).get("cost"), dict)]
    if priced and isinstance(priced[0].get("model"), str):
        model_name = priced[0]["model"]
    for rec, cand in zip(records, people):
        # Counted by the wrapper, so a candidate that failed half way still shows what it spent.
        rec["usage"] = {"prompt_tokens": cand.prompt_tokens, "completion_tokens": cand.completion_tokens}
        stats = rec.get("statistics") or {}
        rec["estimated_costs"] = (dict((stats.get("cost") or {}).get("estimated_costs") or {}) if stats
                                  else _summed_cost([rec], model_name)["estimated_costs"])
    failures = [rec.pop("exception") for rec in records if "exception" in rec]
    if len(failures) == len(records):
        raise failures[0]

    by_number = {rec["number"]: rec for rec in records}
    groups = group_candidates(records, tolerance)
    # A feasibility model (no objective) solved to optimality counts too: its group agrees on "feasible".
    winner = groups[0] if groups and groups[0]["status"] == _OPTIMAL else None
    chosen = by_number[_best_member(winner, by_number)] if winner else None
    if chosen is not None:
        for source, target in ((chosen["model_file"], model_file), (chosen["data_file"], data_file)):
            parent = os.path.dirname(target)
            if parent:
                os.makedirs(parent, exist_ok=True)
            shutil.copyfile(source, target)
    for group in groups:
        group["differences"] = [] if group is winner else _group_differences(group, chosen, by_number)
    return {
        "model_file": model_file,
        "data_file": data_file,
        "candidates_dir": str(folder),
        "candidates": records,
        "agreement": {
            "candidates": candidates,
            "agreeing": len(winner["members"]) if winner else 0,
            "objective": chosen["objective"] if chosen else None,
            "chosen": chosen["number"] if chosen else None,
            "tolerance": tolerance,
            "groups": groups,
        },
        "cost": _summed_cost(records, model_name),
    }


# ----------------------------------------------------------------------------------------------
# The command line: vormo solve --candidates N --run
# ----------------------------------------------------------------------------------------------

def _plural(count: int, one: str, many: str) -> str:
    return f"{count} {one if count == 1 else many}"


def _group_heading(group: Mapping[str, Any], number: Any) -> str:
    count = len(group["members"])
    who = ", ".join(f"#{n}" for n in group["members"])
    status = group["status"]
    if status == _OPTIMAL and group["objective"] is None:
        what = "find a feasible solution (no objective)" if count > 1 else "finds a feasible solution (no objective)"
    elif status == _OPTIMAL:
        what = f"{'gives' if count == 1 else 'give'} {number(group['objective'])}"
    elif status == "compile_error":
        what = "does not compile" if count == 1 else "do not compile"
    elif status == "error":
        what = "failed"
    elif status == "budget":
        what = "stopped by the budget"
    else:
        what = f"{'ends' if count == 1 else 'end'} {status}"
    return f"{_plural(count, 'candidate', 'candidates')} {what} ({who})"


def check_cli(args: Any) -> None:
    """Refuse ``--candidates`` options that cannot work, before anything is written or sent."""
    from . import cli

    if args.candidates < 2:
        raise cli.UsageError(f"--candidates needs at least 2, not {args.candidates} (for one model leave it out)")
    if not args.run:
        raise cli.UsageError("--candidates compares the candidates' optima: add --run")
    if not args.tolerance >= 0 or args.tolerance == math.inf:
        raise cli.UsageError(f"--tolerance must be a finite number of at least 0, not {args.tolerance}")
    try:
        _candidate_paths(args.model, args.data, args.candidates)
    except ValueError as error:
        raise cli.UsageError(f"-m and -d need different file names with --candidates ({error})") from None


def run_cli(args: Any, description: str, out: Any) -> int:
    """``vormo solve --candidates N --run``: the command line's side of ``solve_candidates``."""
    from . import cli

    check_cli(args)
    progress = cli.Progress(enabled=not args.quiet)
    kwargs: dict[str, Any] = {
        "mode": cli._grammar(args.grammar),
        "alignment_check": False if args.no_alignment else None,
        "temperature": args.temperature,
        "llm_provider": args.provider,
        "few_shot": not args.no_few_shot,
    }
    if args.model_name is not None:
        kwargs["model_name"] = args.model_name
    if args.iterations is not None:
        kwargs["iterations"] = args.iterations
    folder, _ = _candidate_paths(args.model, args.data, args.candidates)
    cli._check_key(args)
    cli._table_for_prices(args)
    progress(f"Generating {args.candidates} candidates at the same time in {folder}{os.sep}")
    try:
        outcome = solve_candidates(description, args.model, args.data, args.candidates, tolerance=args.tolerance,
                                   time_limit=args.time_limit, vary_examples=not args.same_examples,
                                   max_cost=getattr(args, "max_cost", None), progress=progress, **kwargs)
    except KeyboardInterrupt:
        # The candidates' threads may be waiting for replies that take minutes; the process ends
        # now instead of at the end of those requests. What each candidate wrote so far stays.
        sys.stdout.flush()
        print(f"{cli.PROG}: interrupted; the candidates' files so far are kept in {folder}{os.sep}",
              file=sys.stderr, flush=True)
        os._exit(cli.EXIT_INTERRUPTED)
    for rec in outcome["candidates"]:
        if (rec.get("solve") or {}).get("missing_extra"):
            # Nothing was solved: an installation the user can fix, not a verdict on the models.
            raise cli.UsageError(str(rec["solve"].get("message")))
    agreement = outcome["agreement"]
    chosen = agreement["chosen"]
    if args.json:
        record = dict(outcome)
        record["solve"] = next((r["solve"] for r in outcome["candidates"] if r["number"] == chosen), None)
        cli._emit_json(record, out)
        return cli.EXIT_OK if chosen is not None else cli.EXIT_NEGATIVE

    number = cli._number
    total = agreement["candidates"]
    if chosen is not None and agreement["objective"] is None:
        print(f"{agreement['agreeing']} of {total} candidates agree: feasible (the models have no objective)",
              file=out)
    if chosen is not None and agreement["objective"] is not None:
        print(f"{agreement['agreeing']} of {total} candidates agree on {number(agreement['objective'])}", file=out)
    if chosen is not None:
        print(f"Chosen: candidate {chosen} → {args.model}, {args.data}", file=out)
    else:
        print(f"None of the {total} candidates reached an optimum; {args.model} and {args.data} are not written",
              file=out)
    print(f"Candidates: {outcome['candidates_dir']}{os.sep}", file=out)
    others = [g for g in agreement["groups"] if chosen is None or chosen not in g["members"]]
    if others:
        print(file=out)
    for group in others:
        print(_group_heading(group, number) + (":" if group["differences"] else ""), file=out)
        for line in group["differences"]:
            print(f"  {line}", file=out)
    print(file=out)
    rows = [["#", "status", "objective", "aligned", "iterations", "tokens", "cost"]]
    for rec in outcome["candidates"]:
        price = _price_of(rec.get("estimated_costs"))
        tokens = rec["usage"]["prompt_tokens"] + rec["usage"]["completion_tokens"]
        rows.append([str(rec["number"]), rec["status"],
                     "-" if rec["objective"] is None else number(rec["objective"]),
                     {True: "yes", False: "no", None: "-"}[rec.get("aligned")],
                     "-" if rec.get("iterations") is None else str(rec["iterations"]),
                     f"{tokens:,}", "-" if price is None else cli._money(price)])
    cli._table(rows, out)
    print(file=out)
    print(f"All {total} candidates together:", file=out)
    for line in cli._cost_lines(outcome["cost"]):
        print(line, file=out)
    return cli.EXIT_OK if chosen is not None else cli.EXIT_NEGATIVE
