"""The ``vormo`` command line: a thin layer that parses, calls the package's operations and prints.

Each subcommand is one small function below. Output is meant for a person by default and for a
program with ``--json`` (one JSON object on standard output). Progress goes to standard error.

Exit status: 0 success; 1 a negative answer (a compile finding, a pair that does not compile or
solve); 2 an error the user can fix (missing key or library, unreadable file, unusable LLM reply,
unknown provider), printed as one line naming the fix; 130 interrupted (Ctrl-C). A reader that
goes away (``vormo run ... | head -1``) does not change the status.

Whatever reaches the terminal is shown safely: control characters and escape sequences from model
text, findings or LLM replies appear escaped (``\x1b``), characters the output encoding lacks appear
as escapes, and ``--json`` output is ASCII with every non-finite number given as null and a note.
"""

from __future__ import annotations

import argparse
import json
import logging
import os
import re
import sys
import time
import types
from collections.abc import Callable, Iterator, Mapping, Sequence
from contextlib import contextmanager
from pathlib import Path
from typing import Any, TextIO

from . import cliguard as guard
from . import progress as _progress
from .cliguard import UsageError

__all__ = ["main", "build_parser", "UsageError"]

PROG = "vormo"
EXIT_OK, EXIT_NEGATIVE, EXIT_USAGE, EXIT_INTERRUPTED = 0, 1, 2, 130
EXIT_INTERNAL = 1
EXIT_BROKEN_PIPE = 141  # 128 + SIGPIPE, as a shell reports a writer whose reader went away

PROVIDER_HELP = "openai, google (alias gemini) or ollama"
EXTRAS = {"openai": "openai", "google.generativeai": "gemini", "ollama": "ollama",
          "sentence-transformers": "embeddings", "sentence_transformers": "embeddings",
          "numpy": "solve", "scipy": "solve"}


# ----------------------------------------------------------------------------------------------
# Small helpers: progress, tables, file access
# ----------------------------------------------------------------------------------------------

class Progress:
    """Progress callback: each message as one line on standard error with the elapsed seconds."""

    def __init__(self, stream: TextIO | None = None, enabled: bool = True) -> None:
        self.start = time.monotonic()
        self.stream = stream
        self.enabled = enabled

    def __call__(self, msg: str) -> None:
        if self.enabled:
            out = self.stream or sys.stderr
            line = f"[{time.monotonic() - self.start:6.1f}s] {_progress.money_line(str(msg))}"
            with _progress.HEARTBEAT.paused():  # a waiting line on the terminal gives way to this one
                print(line, file=out, flush=True)


def _table(rows: Sequence[Sequence[str]], out: TextIO) -> None:
    """Print rows as columns aligned on the widest cell (the last column is not padded)."""
    if not rows:
        return
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]) - 1)]
    for row in rows:
        cells = [cell.ljust(w) for cell, w in zip(row, widths)] + [row[-1]]
        print("  ".join(cells).rstrip(), file=out)


def _number(value: Any) -> str:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return str(value)
    if isinstance(value, float) and value.is_integer() and abs(value) < 1e15:
        return str(int(value))
    return format(value, ".10g") if isinstance(value, float) else str(value)


def _money(value: float) -> str:
    from .costs import format_money

    return format_money(value)


def _read_text(path: str, what: str = "file") -> str:
    try:
        return Path(path).read_text(encoding="utf-8")
    except UnicodeDecodeError:
        raise UsageError(f"cannot read {what} {path}: it is not UTF-8 text") from None
    except OSError as err:
        raise UsageError(f"cannot read {what} {path}: {err.strerror or err}; check the path") from None


def _emit_json(obj: Any, out: TextIO) -> None:
    """One JSON document, ASCII only (undecodable file names included), strictly valid: a
    non-finite number becomes null, and a top-level object then lists each in "notes"."""
    notes: list[str] = []
    safe = guard.finite_json(obj, "", notes)
    if notes and isinstance(safe, dict):
        earlier = safe.get("notes")
        safe["notes"] = (list(earlier) if isinstance(earlier, list) else []) + notes
    print(json.dumps(safe, indent=2, ensure_ascii=True, allow_nan=False, default=str), file=out)


@contextmanager
def _environment(**values: str | None) -> Iterator[None]:
    """Set (or, for None, remove) environment variables for the duration of a block."""
    saved = {name: os.environ.get(name) for name in values}
    try:
        for name, value in values.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value
        yield
    finally:
        for name, value in saved.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value


@contextmanager
def _pricing(source: str | None) -> Iterator[None]:
    """Price with another pricing table (path or address) for the duration of a block."""
    if not source:
        try:
            yield
        finally:
            if "vormo.costs" in sys.modules:
                sys.modules["vormo.costs"].restore_table()
        return
    from . import tokenledger

    saved = tokenledger.PRICING_URL
    tokenledger.PRICING_URL = source
    try:
        yield
    finally:
        tokenledger.PRICING_URL = saved


def _grammar(name: str) -> Any:
    from . import modelsmith

    return getattr(modelsmith.Grammar, name.upper())


def _check_provider(name: str | None) -> None:
    """Refuse a provider name that the provider choice would silently ignore.

    The package itself falls back to the model name for an unknown provider; on the command line a
    mistyped --provider is almost always a mistake, so it is reported. A name is recognised when the
    choice no longer depends on the model name.
    """
    if name is None:
        return
    from . import modelsmith

    if not name.strip() or modelsmith._infer_provider(name, "gemini") != modelsmith._infer_provider(name, "llama"):
        raise UsageError(f"unknown provider {name!r}: use --provider {PROVIDER_HELP}")


# Model families that run on Ollama rather than on the OpenAI service.
LOCAL_FAMILIES = ("gemma", "phi", "deepseek", "qwen", "llama", "mistral", "mixtral", "codellama", "tinyllama",
                  "llava", "starcoder", "granite", "smollm", "olmo", "command-r", "gpt-oss", "nemotron")
KEY_VARIABLES = {"openai": "OPENAI_API_KEY", "google": "GEMINI_API_KEY"}


def _looks_local(model_name: str) -> bool:
    name = model_name.lower().rsplit("/", 1)[-1]
    return ":" in name or name.startswith(LOCAL_FAMILIES)


def _check_key(args: argparse.Namespace) -> None:
    """The provider's API key, checked before the worked examples are ranked (which takes a while)."""
    from . import modelsmith

    model = args.model_name or modelsmith.MODEL_NAME
    provider = modelsmith._infer_provider(args.provider, model).value
    variable = KEY_VARIABLES.get(provider)
    if variable is None or os.environ.get(variable):
        return
    if provider == "openai" and _looks_local(model):
        raise UsageError(f"{model} looks like a local model, but it would go to the OpenAI service and "
                         f"{variable} is not set: add --provider ollama (or export {variable}=<your key>)")
    hint = " (or run 'vormo demo', which needs no key)" if variable == "OPENAI_API_KEY" else ""
    raise UsageError(f"{variable} is not set: export {variable}=<your key>{hint}")


@contextmanager
def _key_before_examples(args: argparse.Namespace) -> Iterator[None]:
    """Check the API key when the worked examples are about to be ranked (which takes a while), so
    that a missing key is reported before that wait and not after it; a key missing with no examples
    to rank is reported by the first request, with the same line."""
    from . import modelsmith

    original = modelsmith._gather_few_shots

    def gather(*a: Any, **k: Any) -> Any:
        _check_key(args)
        return original(*a, **k)

    modelsmith._gather_few_shots = gather
    try:
        yield
    except RuntimeError as err:
        if "OPENAI_API_KEY environment variable not set" in str(err):
            _check_key(args)
        raise
    finally:
        if modelsmith._gather_few_shots is gather:
            modelsmith._gather_few_shots = original


@contextmanager
def _offline_first(wanted: bool) -> Iterator[None]:
    """Rank with the embedding model from the local cache without asking the hub; only a model that
    is not there is fetched, and that is said in one line."""
    if not wanted or os.environ.get("HF_HUB_OFFLINE"):
        yield
        return
    from . import setup_models

    snapshot = setup_models.current_snapshot(setup_models.repo_folder(setup_models.hub_cache_dir()))
    if snapshot is not None and any(snapshot.glob("*.json")):
        with _environment(HF_HUB_OFFLINE="1"):
            yield
        return
    print(f"{PROG}: the embedding model {setup_models.MODEL_NAME} is not in the local cache: fetching it from the "
          "hub (run 'vormo-setup-models' once to install it for offline use)", file=sys.stderr, flush=True)
    yield


def _solve_result(model_file: str, data_file: str, time_limit: float, explain: bool = False) -> dict[str, Any]:
    guard.check_time_limit(time_limit)
    try:
        from . import runner
    except ImportError as err:
        raise UsageError(f"the solver runner cannot be loaded ({err}): pip install 'vormo[solve]'") from None
    extra = {"explain": True} if explain else {}
    with _progress.HEARTBEAT.waiting(_progress.SOLVER_WAIT):
        result: dict[str, Any] = runner.solve_files(model_file, data_file, time_limit=time_limit, **extra)
    if result.get("missing_extra"):
        # Nothing was solved: an installation the user can fix, not a verdict on the model.
        raise UsageError(str(result.get("message")))
    return result


def _print_solve_result(result: Mapping[str, Any], out: TextIO) -> None:
    rows = [["status", str(result.get("status"))]]
    if result.get("objective") is not None:
        rows.append(["objective", _number(result["objective"])])
    for key in ("message", "finding", "error"):
        if result.get(key):
            rows.append([key, str(result[key]).strip().splitlines()[0]])
    _table(rows, out)
    variables = result.get("variables") or {}
    if variables:
        print(file=out)
        _table([["variable", "value"]] + [[str(k), _number(v)] for k, v in variables.items()], out)
    elif result.get("status") == "optimal":
        print("(every variable is zero)", file=out)
    from . import insight

    lines = insight.result_lines(result)
    if lines:
        print(file=out)
        print("\n".join(lines), file=out)


def _write_csv(args: argparse.Namespace, result: Mapping[str, Any]) -> None:
    if getattr(args, "csv", None):
        from . import cliexport

        cliexport.write_solution_tables(result, args.csv, args.nonzero)


def _cost_lines(cost: Mapping[str, Any], provider: str | None = None) -> list[str]:
    from . import costs

    return costs.cost_lines(costs.price(str(cost.get("model")), cost.get("usage") or {}, provider))


def _table_for_prices(args: argparse.Namespace) -> None:
    """Without --pricing, a published table that cannot be read gives way to the shipped one."""
    if not getattr(args, "pricing", None):
        from . import costs

        costs.ensure_table()


# ----------------------------------------------------------------------------------------------
# Subcommands
# ----------------------------------------------------------------------------------------------

def cmd_solve(args: argparse.Namespace, out: TextIO) -> int:
    """Generate a model and data file from a description; optionally solve the result."""
    if args.file is not None:
        if args.description is not None:
            raise UsageError("give the description either as text or with -f FILE, not both")
        description = guard.read_stdin() if args.file == "-" else _read_text(args.file, "description file")
    elif args.description is not None:
        description = guard.text_argument(args.description)
    else:
        raise UsageError("no problem description: give it as text or with -f FILE")
    description = description.removeprefix("\ufeff")  # a byte-order mark some editors write
    if not description.strip():
        raise UsageError("the problem description is empty")
    if args.csv and not args.run:
        raise UsageError("--csv writes the solution: add --run")
    if args.csv and args.candidates is not None:
        raise UsageError("--csv is not available with --candidates: run 'vormo run MODEL DATA --csv FILE' "
                         "on the chosen pair")
    _check_provider(args.provider)
    guard.check_time_limit(args.time_limit)
    from . import costs

    costs.check_budget(args.max_cost)
    from . import startup

    with startup.solve_start(args), _examples_from(args.examples_dir), _offline_first(not args.no_few_shot):
        if args.dry_run:
            return _dry_run(args, description, out)
        return run_generation(args, description, out)


@contextmanager
def _examples_from(folder: str | None) -> Iterator[None]:
    """Take the worked examples from FOLDER for one run (the retrieval's own models_dir)."""
    if folder is None:
        yield
        return
    if not Path(folder).is_dir():
        raise UsageError(f"--examples-dir {folder} is not a folder: give the folder of your worked examples")
    from . import modelsmith

    original = modelsmith._gather_few_shots

    def gather(problem_description: str, k: Any = None, models_dir: Any = None, progress: Any = None) -> Any:
        extra = {} if k is None else {"k": k}
        return original(problem_description, models_dir=models_dir or folder, progress=progress, **extra)

    modelsmith._gather_few_shots = gather
    try:
        yield
    finally:
        if modelsmith._gather_few_shots is gather:
            modelsmith._gather_few_shots = original


def _dry_run(args: argparse.Namespace, description: str, out: TextIO) -> int:
    """``solve --dry-run``: the first prompt and the cost range of the run; nothing is sent."""
    from . import costs, modelsmith

    _table_for_prices(args)
    model = args.model_name or modelsmith.MODEL_NAME
    iterations = args.iterations if args.iterations is not None else modelsmith.MAX_ITERATIONS
    record = costs.dry_run(description, model, args.provider, _grammar(args.grammar), not args.no_few_shot,
                           int(iterations), progress=Progress(enabled=not args.quiet))
    if args.json:
        _emit_json(record, out)
    else:
        costs.print_dry_run(record, out)
    return EXIT_OK


def run_generation(args: argparse.Namespace, description: str, out: TextIO) -> int:
    """The solve path shared by ``vormo solve`` and ``vormo demo``."""
    from . import cliexport

    # The paths are checked (regular files or new names, writable folders) before anything reads
    # them; the lock keeps a second run off the pair while this one writes and records it.
    if getattr(args, "candidates", None) is not None:
        from . import candidates

        candidates.check_cli(args)
    guard.check_outputs(args)
    with guard.output_lock(args.model, args.data), \
            cliexport.guarded_pair(args.model, args.data, getattr(args, "force", False)):
        if getattr(args, "candidates", None) is not None:
            from . import candidates

            return candidates.run_cli(args, description, out)
        from . import modelsmith, startup

        with startup.table_for_prices(args, _table_for_prices):
            return _generate(modelsmith, args, description, out)


def _generate(modelsmith: Any, args: argparse.Namespace, description: str, out: TextIO) -> int:
    from . import repair

    progress = Progress(enabled=not args.quiet)
    watch = repair.AlignmentWatch(progress)
    kwargs: dict[str, Any] = {
        "mode": _grammar(args.grammar),
        "return_statistics": True,
        "alignment_check": False if args.no_alignment else None,
        "temperature": args.temperature,
        # Without --provider the model name decides.
        "llm_provider": args.provider,
        "progress": watch,
        "few_shot": not args.no_few_shot,
    }
    if args.model_name is not None:
        kwargs["model_name"] = args.model_name
    if args.iterations is not None:
        kwargs["iterations"] = args.iterations
    from . import costs

    meter = costs.Meter(args.model_name or modelsmith.MODEL_NAME, args.provider, getattr(args, "max_cost", None))
    with _spending(meter, args, out), _key_before_examples(args), \
            _progress.findings_shown(watch, args.model, args.data):
        stats = modelsmith.generative_solve(description, args.model, args.data, **kwargs)
    result: dict[str, Any] | None = None
    explain = bool(getattr(args, "explain", False))
    repaired: dict[str, Any] | None = None
    aligned = None if args.no_alignment else watch.aligned
    if args.run and not stats.get("syntax_errors"):
        progress("Solving the final model")
        result = _solve_result(args.model, args.data, args.time_limit, explain)
        rounds = getattr(args, "repair", 0) or 0
        if rounds > 0 and repair.needs_repair(result):
            # The repair's requests count against --max-cost like the generation's.
            with _spending(meter, args, out), _progress.findings_shown(progress, args.model, args.data):
                repaired = repair.repair(
                    description, args.model, args.data, result, rounds=rounds,
                    solve=lambda m, d: _solve_result(m, d, args.time_limit, explain),
                    model_name=args.model_name or modelsmith.MODEL_NAME, llm_provider=args.provider,
                    mode=kwargs["mode"], temperature=args.temperature, alignment_check=aligned is not None,
                    progress=progress)
            result = repaired.pop("result")
            if repaired["changed"] and aligned is not None:
                aligned = repaired["aligned"]
        _write_csv(args, result)
    elif args.run:
        progress("The final model does not compile; not solving it")
        result = {"status": "compile_error", "objective": None, "variables": {},
                  "finding": "; ".join(map(str, stats["syntax_errors"]))}

    priced = costs.price(str((stats.get("cost") or {}).get("model") or meter.model),
                         (stats.get("cost") or {}).get("usage") or {}, args.provider,
                         (stats.get("cost") or {}).get("estimated_costs"))
    if args.json:
        record: dict[str, Any] = dict(stats)
        record["model_file"], record["data_file"] = args.model, args.data
        record.update(costs.json_fields(priced))
        if args.run:
            record["solve"] = result
        record["aligned"] = aligned
        if repaired is not None:
            record["repair"] = repaired
            run_total = meter.record()
            record["run_cost"] = {"usage": run_total["usage"], "total_cost": run_total.get("total_cost"),
                                  **costs.json_fields(run_total)}
        _emit_json(record, out)
    else:
        print(f"Model: {args.model}\nData:  {args.data}", file=out)
        if stats.get("syntax_errors"):
            print(f"The last attempt does not compile ({len(stats['syntax_errors'])} finding(s)):", file=out)
            for finding in stats["syntax_errors"]:
                print(f"  {finding}", file=out)
        print(f"Iterations: {stats.get('iterations')}", file=out)
        print(f"Aligned: {_ALIGNED_TEXT[aligned]}", file=out)
        if repaired is not None:
            print(_repair_line(repaired, args.provider), file=out)
        if stats.get("assessment"):
            print("\nAssessment:", file=out)
            print(_indent(stats["assessment"]), file=out)
        print(file=out)
        for line in costs.cost_lines(priced):
            print(line, file=out)
        if repaired is not None and repaired["rounds"]:
            print(f"Run total, generation and repair: {costs.price_text(meter.record())}", file=out)
        if result is not None:
            print(file=out)
            _print_solve_result(result, out)
    if aligned is False:
        print(f"{PROG}: warning: the final model is not aligned with the description "
              "(see the assessment)", file=sys.stderr)
    if stats.get("syntax_errors") or aligned is False:
        return EXIT_NEGATIVE
    if result is not None and result.get("status") != "optimal":
        return EXIT_NEGATIVE
    return EXIT_OK


_ALIGNED_TEXT = {True: "yes", False: "NO", None: "not checked"}


def _repair_line(repaired: Mapping[str, Any], provider: str | None = None) -> str:
    from . import costs

    usage, cost = repaired["usage"], repaired["cost"]
    shown = costs.price_text(costs.price(str(cost["model"]), usage, provider, cost.get("estimated_costs")))
    return (f"Repair rounds: {repaired['rounds']} of {repaired['limit']} ({usage['prompt_tokens']:,} prompt + "
            f"{usage['completion_tokens']:,} completion tokens, estimated {shown})")


def _indent(text: str, prefix: str = "  ") -> str:
    return "\n".join(prefix + line if line.strip() else line for line in str(text).splitlines())


@contextmanager
def _spending(meter: Any, args: argparse.Namespace, out: TextIO) -> Iterator[None]:
    """Count (and hold to --max-cost) the LLM requests of a block; a block that ends early says
    what the run spent, and the files of the last attempt stay."""
    from . import costs

    try:
        with meter.installed():
            yield
    except KeyboardInterrupt:
        _interrupted_note(args.model, args.data)
        _spent_note(meter, args, None, out)
        raise
    except Exception as err:
        if isinstance(err, costs.BudgetSpent):
            _interrupted_note(args.model, args.data)
        _spent_note(meter, args, err, out)
        raise


def _spent_note(meter: Any, args: argparse.Namespace, err: BaseException | None, out: TextIO) -> None:
    """What a run that ends early spent: tokens and cost on standard error, or with --json one
    object with the error and the usage on standard output."""
    from . import costs

    if meter.requests == 0 and err is not None and not isinstance(err, costs.BudgetSpent):
        return
    record = meter.record()
    if getattr(args, "json", False) and err is not None:
        line = explain(err) or f"{type(err).__name__}: {err}"
        _emit_json({"error": guard.redact(line), "model": record["model"], "usage": record["usage"],
                    "requests": meter.requests, "total_cost": record.get("total_cost"),
                    **costs.json_fields(record)}, out)
        out.flush()
    elif not isinstance(err, costs.BudgetSpent):
        print("Spent before the run ended: " + "; ".join(costs.cost_lines(record)), file=sys.stderr)


def _interrupted_note(model_file: str, data_file: str) -> None:
    kept = [p for p in (model_file, data_file) if os.path.exists(p)]
    if kept:
        print(f"{PROG}: the files of the last attempt are kept: {', '.join(kept)}", file=sys.stderr)


def cmd_feedback(args: argparse.Namespace, out: TextIO) -> int:
    """Ask the LLM about an existing model and data file."""
    from . import modelsmith

    _check_provider(args.provider)
    for path, what in ((args.model, "model file"), (args.data, "data file")):
        _read_text(path, what)  # a clear message before any request is made
    targets = guard.revised_targets(args) if args.write_revised is not None else None
    kwargs: dict[str, Any] = {
        "mode": _grammar(args.grammar),
        "temperature": args.temperature,
        "llm_provider": args.provider,
        "progress": Progress(enabled=not args.quiet),
    }
    if args.model_name is not None:
        kwargs["model_name"] = args.model_name
    from . import costs

    _table_for_prices(args)
    meter = costs.Meter(args.model_name or modelsmith.MODEL_NAME, args.provider)
    try:
        with meter.installed():
            reply = modelsmith.generative_feedback(guard.text_argument(args.question), args.model, args.data, **kwargs)
    except Exception as err:
        _spent_note(meter, args, err, out)
        raise
    priced = meter.record()
    if not isinstance(reply, dict):
        raise UsageError("the LLM's feedback reply is not a JSON object: run again or try another --model-name")
    written: list[str] = []
    for key, (_, target) in zip(("revised_model", "revised_data"), targets or []):
        text = reply.get(key)
        if isinstance(text, str) and text:
            try:
                target.parent.mkdir(parents=True, exist_ok=True)
                guard.write_replacing(target, text)
            except OSError as err:
                raise UsageError(f"cannot write {target}: {err.strerror or err}") from None
            written.append(str(target))
    if args.json:
        record = dict(reply)
        if targets is not None:
            record["written"] = written
        record["cost"] = {"model": priced["model"], "usage": priced["usage"],
                          "total_cost": priced.get("total_cost"), **costs.json_fields(priced)}
        _emit_json(record, out)
        return EXIT_OK
    print(str(reply.get("feedback", "")).strip(), file=out)
    revised = [k for k in ("revised_model", "revised_data") if isinstance(reply.get(k), str) and reply.get(k)]
    if written:
        print("\nRevised files written: " + ", ".join(written), file=out)
    elif revised and targets is None:
        print("\nThe reply proposes a revised " + " and ".join(k.split("_")[1] for k in revised)
              + "; use --write-revised DIR to write them.", file=out)
    elif targets is not None:
        print("\nNo revision was proposed; nothing written.", file=out)
    print(file=out)
    for line in costs.cost_lines(priced):
        print(line, file=out)
    return EXIT_OK


def cmd_models(args: argparse.Namespace, out: TextIO) -> int:
    """List the models a provider offers."""
    from . import modelsmith

    _check_provider(args.provider)
    kwargs: dict[str, Any] = {"llm_provider": args.provider}
    if args.model_name is not None:
        kwargs["model_name"] = args.model_name
    names = modelsmith.list_models(**kwargs)
    if args.json:
        _emit_json(names, out)
    else:
        for name in names:
            print(name, file=out)
    return EXIT_OK


def cmd_rank(args: argparse.Namespace, out: TextIO) -> int:
    """Rank the worked examples by similarity to a query."""
    from . import quickrank

    if not args.query.strip():
        raise UsageError("the query is empty")
    if args.k is not None and args.k < 0:
        raise UsageError(f"-k must be 0 (all) or a positive number, not {args.k}")
    kwargs: dict[str, Any] = {"models_dir": args.models_dir}
    if args.k is not None:
        kwargs["top_k"] = args.k
    with _offline_first(True):
        ranking = quickrank.rank_problem_descriptions(guard.text_argument(args.query), **kwargs)
    if args.json:
        _emit_json(ranking, out)
        return EXIT_OK
    if not ranking:
        print("No descriptions found.", file=out)
        return EXIT_OK
    from importlib.resources import files

    base = Path(args.models_dir or str(files("vormo") / "vormo_models"))
    rows = [["#", "score", "description", "preview"]]
    for number, rec in enumerate(ranking, 1):
        preview = str(rec.get("preview", ""))
        path = Path(str(rec["path"]))
        shown = path.relative_to(base) if path.is_relative_to(base) else path
        rows.append([str(number), f"{float(rec['score']):.4f}", str(shown),
                     preview[:60] + ("…" if len(preview) > 60 else "")])
    print(f"Worked examples in {base}, closest first:", file=out)
    _table(rows, out)
    return EXIT_OK


def cmd_compile(args: argparse.Namespace, out: TextIO) -> int:
    """Compile a model and its data file."""
    from .vormo_kernel import SemanticError, VormoCompiler

    model_code = _read_text(args.model, "model file")
    data_code = _read_text(args.data, "data file")
    try:
        compiled = VormoCompiler().compile_model(model_code, data_code)
    except (SyntaxError, SemanticError) as err:
        where = _finding_place(err, args.model, args.data)
        if args.json:
            _emit_json({"ok": False, "kind": "syntax" if isinstance(err, SyntaxError) else "semantic",
                        "lineno": getattr(err, "lineno", None), "finding": str(err), **where}, out)
        else:
            place = ":".join(str(part) for part in (where["file"], where["line"], where["column"]) if part)
            print(f"{place}: {where['message']}", file=out)
        return EXIT_NEGATIVE
    summary = _compile_summary(compiled)
    if not summary["variables"]:
        print(f"{PROG}: warning: {args.model} declares no decision variables (dvar): there is nothing to decide",
              file=sys.stderr)
    if args.json:
        _emit_json({"ok": True, **summary}, out)
    else:
        print(f"OK: {_summary_line(summary)}", file=out)
    return EXIT_OK


_FINDING_PREFIX = re.compile(r"^(?:line \d+(?::\d+)?:\s*|line \d+, column \d+ of the (?:model|data) file:\s*"
                             r"|Semantic Error \(Line \d+\):\s*)", re.IGNORECASE)


def _finding_place(err: BaseException, model_file: str, data_file: str) -> dict[str, Any]:
    """Where a finding is, in the FILE:LINE:COLUMN form editors jump to (the column when known)."""
    source = getattr(err, "source", None) or ("data" if str(err).find("in the data file") >= 0 else "model")
    message = str(getattr(err, "message", None) or err).strip().splitlines()[0] if str(err).strip() else type(err).__name__
    return {"file": data_file if source == "data" else model_file, "line": getattr(err, "lineno", None),
            "column": getattr(err, "offset", None) if isinstance(err, SyntaxError) else None,
            "message": _FINDING_PREFIX.sub("", message)}


def _compile_summary(compiled: Mapping[str, Any]) -> dict[str, Any]:
    kinds: dict[str, int] = {}
    for decl in compiled.get("declarations") or []:
        if decl.get("type") == "dvar":
            kind = str(decl.get("var_type") or "float")
            kinds[kind] = kinds.get(kind, 0) + 1

    def count(statements: Any) -> int:
        total = 0
        for st in statements or []:
            if isinstance(st, Mapping):
                total += 1 if st.get("type") == "constraint" else count(st.get("body"))
        return total

    objective = compiled.get("objective") or None
    return {"variables": kinds, "constraints": count(compiled.get("constraints")),
            "objective": None if objective is None else {"sense": objective.get("sense"),
                                                          "name": objective.get("label")}}


def _summary_line(summary: Mapping[str, Any]) -> str:
    kinds = summary["variables"]
    total = sum(kinds.values())
    variables = (f"{total} variable declaration{'s' if total != 1 else ''} ("
                 + ", ".join(f"{n} {kind}" for kind, n in kinds.items()) + ")") if total else "no variables"
    constraints = summary["constraints"]
    objective = summary["objective"]
    goal = "no objective (feasibility)" if objective is None else \
        f"{objective['sense']} {objective['name'] or '(unnamed)'}"
    return f"{variables}, {constraints} constraint{'s' if constraints != 1 else ''}, {goal}"


def cmd_run(args: argparse.Namespace, out: TextIO) -> int:
    """Compile a model and its data file, solve it and show the result."""
    guard.check_time_limit(args.time_limit)
    for path, what in ((args.model, "model file"), (args.data, "data file")):
        _read_text(path, what)
    result = _solve_result(args.model, args.data, args.time_limit, args.explain)
    _write_csv(args, result)
    if args.json:
        _emit_json(result, out)
    else:
        _print_solve_result(result, out)
    return EXIT_OK if result.get("status") == "optimal" else EXIT_NEGATIVE


def cmd_cost(args: argparse.Namespace, out: TextIO) -> int:
    """Estimate the cost of a number of tokens."""
    from . import tokenledger

    for name in ("prompt_tokens", "completion_tokens"):
        if getattr(args, name) < 0:
            raise UsageError(f"--{name.replace('_', '-')} must not be negative")
    from . import costs

    usage = {"prompt_tokens": args.prompt_tokens, "completion_tokens": args.completion_tokens}
    _table_for_prices(args)
    est = tokenledger.estimate_costs(types.SimpleNamespace(model=args.model), usage)
    priced = costs.price(args.model, usage)
    if args.json:
        _emit_json({"model": args.model, "usage": usage, "estimated_costs": est, **costs.json_fields(priced)}, out)
        return EXIT_OK
    if priced.get("local"):
        _table([["model", args.model, ""], ["total", "", costs.price_text(priced)]], out)
        return EXIT_OK
    shown = args.model if priced.get("priced_as") in (None, args.model.lower()) else \
        f"{args.model} (priced as {priced['priced_as']})"
    rows = [["model", shown, ""],
            ["prompt", f"{args.prompt_tokens:,} tokens", _money(est["prompt_cost"]) if "prompt_cost" in est else "-"],
            ["completion", f"{args.completion_tokens:,} tokens",
             _money(est["completion_cost"]) if "completion_cost" in est else "-"],
            ["total", "", costs.price_text(priced)]]
    _table(rows, out)
    if "prompt_cost" not in est and "completion_cost" not in est:
        if tokenledger._parse_pricing(tokenledger.PRICING_URL):
            print(f"No price for {args.model!r} in the pricing table ({tokenledger.PRICING_URL}).", file=out)
        else:
            print(f"The pricing table could not be read ({tokenledger.PRICING_URL}); "
                  "use --pricing with a local copy.", file=out)
    return EXIT_OK


def cmd_demo(args: argparse.Namespace, out: TextIO) -> int:
    """Run the main job on the shipped sample, with recorded replies unless --live."""
    from importlib.resources import files

    from . import replay, tokenledger

    guard.check_time_limit(args.time_limit)
    conversation = replay.load_conversation()
    sample = (files("vormo") / replay.DEMO_DIR / conversation["sample"]).read_text(encoding="utf-8")
    outdir = Path(args.out)
    if os.path.lexists(outdir) and not outdir.is_dir():
        raise UsageError(f"--out {args.out} is a file: --out expects a folder for the demo's files")
    stem = Path(conversation["sample"]).stem
    solve_args = argparse.Namespace(
        model=str(outdir / f"{stem}.mod"), data=str(outdir / f"{stem}.dat"),
        model_name=args.model_name or (None if args.live else conversation["model"]),
        provider="openai", iterations=None, no_alignment=False, no_few_shot=args.no_few_shot,
        grammar="bnf", temperature=None, run=True, json=args.json, time_limit=args.time_limit,
        quiet=args.quiet, force=args.force)
    note = sys.stderr
    print(f"Sample problem ({conversation['sample']}):", file=note)
    print(_indent(sample.strip()), file=note)
    print(file=note)
    if args.live:
        if not os.environ.get("OPENAI_API_KEY"):
            raise UsageError("--live sends the sample to the OpenAI service and needs OPENAI_API_KEY: "
                             "export OPENAI_API_KEY=<your key>, or drop --live to replay the recording")
        print("Live run: the sample goes to the OpenAI service.\n", file=note)
        return run_generation(solve_args, sample, out)

    print("No request leaves this machine: a local server on 127.0.0.1 replays LLM replies recorded "
          "earlier,\nand the real openai library talks to it. Use --live (with OPENAI_API_KEY) for "
          "the real service.\n", file=note)
    pricing = args.pricing or str(files("vormo") / replay.DEMO_DIR / "pricing_table.md")

    def announce(number: int, reply: Mapping[str, Any]) -> None:
        if not args.quiet:
            with _progress.HEARTBEAT.paused():
                print(f"          (replaying recorded reply {number} of {len(conversation['replies'])}: "
                      f"{reply.get('label', '')})", file=note, flush=True)

    server = replay.ReplayServer(conversation["replies"], model=conversation["model"], on_reply=announce)
    # Nothing leaves the machine: the embedding model is read from the local cache only.
    with server, _environment(OPENAI_BASE_URL=server.base_url, OPENAI_API_KEY="recorded-replies",
                              NO_PROXY=_no_proxy(), no_proxy=_no_proxy(),
                              HF_HUB_OFFLINE=os.environ.get("HF_HUB_OFFLINE") or "1"), _pricing(pricing):
        status = run_generation(solve_args, sample, out)
    finding = _first_finding(conversation["replies"][0]["text"])
    if finding:
        print(f"\nThe compiler's finding on the first recorded reply, sent back to the model:\n  {finding}",
              file=note)
    print(f"\nThe LLM replies above were recorded, not live ({server.served} of "
          f"{len(conversation['replies'])} replayed); prices come from a pricing-table snapshot "
          "shipped with the package.", file=note)
    return status


def _first_finding(reply_text: str) -> str | None:
    """What the compiler says about the pair in a recorded reply (None when it compiles)."""
    from . import modelsmith
    from .vormo_kernel import SemanticError, VormoCompiler

    try:
        pair = json.loads(modelsmith.extract_json_from_markdown(reply_text))
        VormoCompiler().compile_model(pair["model"], pair["data"])
    except (SyntaxError, SemanticError) as err:
        return str(err)
    except (ValueError, KeyError, TypeError):
        return None
    return None


def _no_proxy() -> str:
    current = os.environ.get("NO_PROXY") or os.environ.get("no_proxy") or ""
    return ",".join(p for p in (current, "127.0.0.1", "localhost") if p)


# ----------------------------------------------------------------------------------------------
# Parser
# ----------------------------------------------------------------------------------------------

def _add_llm_options(p: argparse.ArgumentParser) -> None:
    p.add_argument("--model-name", metavar="NAME",
                   help="LLM model (default: the MODEL_NAME setting, gpt-5)")
    p.add_argument("--provider", metavar="NAME",
                   help=f"{PROVIDER_HELP}; without it the model name decides (gemini* → google; "
                        "llama*, qwen*, mistral*, *gpt-oss* → ollama; otherwise openai)")
    p.add_argument("--grammar", choices=["none", "bnf", "code"], default="bnf",
                   help="grammar reference placed in the prompts (default: bnf)")
    p.add_argument("--temperature", type=float, metavar="T", help="sampling temperature (default: the provider's)")


def _add_common(p: argparse.ArgumentParser, top: bool) -> None:
    default: Any = None if top else argparse.SUPPRESS
    p.add_argument("--debug", action="store_true", default=False if top else argparse.SUPPRESS,
                   help="show tracebacks and debug log lines")
    p.add_argument("--pricing", metavar="PATH_OR_URL", default=default,
                   help="pricing table to price tokens with (sets tokenledger.PRICING_URL)")
    p.add_argument("-q", "--quiet", action="store_true", default=False if top else argparse.SUPPRESS,
                   help="no progress lines")


def _sub(subs: Any, name: str, func: Callable[[argparse.Namespace, TextIO], int], help_text: str,
         examples: str) -> argparse.ArgumentParser:
    p: argparse.ArgumentParser = subs.add_parser(
        name, help=help_text, description=help_text,
        epilog="example:\n" + "\n".join("  " + line for line in examples.strip().splitlines()),
        formatter_class=argparse.RawDescriptionHelpFormatter)
    p.set_defaults(func=func)
    _add_common(p, top=False)
    return p


def _rounds(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = -1
    if value < 0:
        raise argparse.ArgumentTypeError(f"expected a whole number of rounds (0 or more), not {text!r}")
    return value


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Generate, check, solve and price Vormo optimisation models with an LLM.",
        epilog="examples:\n"
               "  vormo demo\n"
               "  vormo solve -f problem.txt -m out/plan.mod -d out/plan.dat --run\n"
               "  vormo compile plan.mod plan.dat\n"
               "run 'vormo COMMAND --help' for the options of a command.\n"
               "exit status: 0 done, 1 negative answer (finding, not solved), 2 error to fix, 130 interrupted",
        formatter_class=argparse.RawDescriptionHelpFormatter)
    from . import __version__, cliexport

    parser.add_argument("--version", action="version", version=f"vormo {__version__}")
    _add_common(parser, top=True)
    subs = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    p = _sub(subs, "solve", cmd_solve, "generate a model and data file from a description",
             'vormo solve "A bakery sells bread at 3 and cakes at 8 ..." -m plan.mod -d plan.dat\n'
             "vormo solve -f problem.txt -m out/plan.mod -d out/plan.dat --run --json")
    p.add_argument("description", nargs="?", metavar="DESCRIPTION", help="the problem in plain words")
    p.add_argument("-f", "--file", metavar="FILE", help="read the description from FILE ('-': standard input)")
    p.add_argument("-m", "--model", required=True, metavar="MODEL.mod", help="model file to write")
    p.add_argument("-d", "--data", required=True, metavar="DATA.dat", help="data file to write")
    _add_llm_options(p)
    p.add_argument("--iterations", type=int, metavar="N", help="most attempts (default: MAX_ITERATIONS, 5)")
    p.add_argument("--no-alignment", action="store_true", help="skip the check against the description")
    p.add_argument("--no-few-shot", action="store_true", help="send no worked examples with the prompt")
    p.add_argument("--examples-dir", metavar="DIR",
                   help="take the worked examples from DIR (description .txt with its .mod and .dat)")
    p.add_argument("--run", action="store_true", help="solve the final pair and show the optimum")
    p.add_argument("--time-limit", type=float, default=60.0, metavar="S", help="solver time limit with --run")
    p.add_argument("--explain", action="store_true", help="with --run: explain the optimum (duals, slacks, ranges)")
    p.add_argument("--repair", type=_rounds, default=2, metavar="N",
                   help="with --run: rounds to fix an infeasible, unbounded or refused model (default 2; 0 off)")
    p.add_argument("--json", action="store_true", help="print one JSON object instead of text")
    p.add_argument("--force", action="store_true", help="overwrite files that changed since vormo wrote them")
    cliexport.add_table_options(p)
    p.add_argument("--candidates", type=int, metavar="N",
                   help="with --run: generate N (>= 2) models at the same time and keep the optimum most agree on")
    p.add_argument("--tolerance", type=float, default=1e-6, metavar="REL",
                   help="relative difference within which candidates' optima agree (default 1e-6)")
    p.add_argument("--same-examples", action="store_true",
                   help="with --candidates: every candidate sees the same worked examples")
    p.add_argument("--dry-run", action="store_true",
                   help="build the first prompt, show its tokens and the run's cost range; send nothing")
    p.add_argument("--max-cost", type=float, metavar="USD",
                   help="stop before the request that would take the run's cost past USD dollars (exit 2)")

    p = _sub(subs, "feedback", cmd_feedback, "ask the LLM about an existing model and data file",
             'vormo feedback "Why is the plan infeasible?" -m plan.mod -d plan.dat --write-revised revised/')
    p.add_argument("question", metavar="QUESTION")
    p.add_argument("-m", "--model", required=True, metavar="MODEL.mod", help="existing model file")
    p.add_argument("-d", "--data", required=True, metavar="DATA.dat", help="existing data file")
    _add_llm_options(p)
    p.add_argument("--write-revised", metavar="DIR",
                   help="write proposed revisions to DIR (never over the originals)")
    p.add_argument("--json", action="store_true", help="print the reply as JSON")

    p = _sub(subs, "models", cmd_models, "list the models a provider offers",
             "vormo models --provider ollama")
    p.add_argument("--provider", metavar="NAME", help=PROVIDER_HELP)
    p.add_argument("--model-name", metavar="NAME", help="choose the provider by this model name")
    p.add_argument("--json", action="store_true", help="print a JSON list")

    p = _sub(subs, "rank", cmd_rank, "rank the worked examples by similarity to a query",
             'vormo rank "which parcels fit in the van" -k 3')
    p.add_argument("query", metavar="QUERY")
    p.add_argument("-k", type=int, metavar="N", help="how many (default 10; 0 for all)")
    p.add_argument("--models-dir", metavar="DIR", help="folder of examples (default: the shipped corpus)")
    p.add_argument("--json", action="store_true", help="print the ranking as JSON")

    p = _sub(subs, "compile", cmd_compile, "compile a model and data file (exit 1 on a finding)",
             "vormo compile plan.mod plan.dat")
    p.add_argument("model", metavar="MODEL.mod")
    p.add_argument("data", metavar="DATA.dat")
    p.add_argument("--json", action="store_true", help="print the outcome as JSON")

    p = _sub(subs, "run", cmd_run, "solve a model and data file and show the optimum",
             "vormo run plan.mod plan.dat --time-limit 30")
    p.add_argument("model", metavar="MODEL.mod")
    p.add_argument("data", metavar="DATA.dat")
    p.add_argument("--time-limit", type=float, default=60.0, metavar="S", help="solver time limit (default 60)")
    p.add_argument("--explain", action="store_true", help="explain the optimum (duals, slacks, ranges)")
    p.add_argument("--json", action="store_true", help="print the result as JSON")
    cliexport.add_table_options(p)
    cliexport.register(subs, _sub, _add_llm_options)

    p = _sub(subs, "cost", cmd_cost, "estimate the cost of a number of tokens",
             "vormo cost --model gpt-5 --prompt-tokens 21549 --completion-tokens 7091")
    p.add_argument("--model", required=True, metavar="NAME", help="model name as in the pricing table")
    p.add_argument("--prompt-tokens", type=int, required=True, metavar="N")
    p.add_argument("--completion-tokens", type=int, required=True, metavar="N")
    p.add_argument("--json", action="store_true", help="print the estimate as JSON")

    p = _sub(subs, "demo", cmd_demo, "solve a shipped sample with recorded LLM replies (no API key needed)",
             "vormo demo\nvormo demo --out /tmp/demo --live   # the real service, needs OPENAI_API_KEY")
    p.add_argument("--out", default="vormo-demo", metavar="DIR", help="where the files go (default: ./vormo-demo)")
    p.add_argument("--live", action="store_true", help="send the sample to the OpenAI service instead")
    p.add_argument("--model-name", metavar="NAME", help="model for --live (default: gpt-5)")
    p.add_argument("--no-few-shot", action="store_true", help="send no worked examples with the prompt")
    p.add_argument("--time-limit", type=float, default=60.0, metavar="S", help="solver time limit")
    p.add_argument("--json", action="store_true", help="print one JSON object instead of text")
    p.add_argument("--force", action="store_true", help="overwrite sample files you have edited")

    _add_eval_parser(subs)
    return parser


def cmd_eval(args: argparse.Namespace, out: TextIO) -> int:
    """Run a benchmark of described problems and score the optima (vormo.evaluate does the work)."""
    from . import evaluate

    return evaluate.command(args, out)


def _add_eval_parser(subs: Any) -> None:
    p = _sub(subs, "eval", cmd_eval, "measure generation on a benchmark of problems with known optima",
             "vormo eval starter --model-name gpt-5 --jobs 4 --out gpt5.jsonl\n"
             "vormo eval cases/ --limit 10 --no-few-shot --out nofew.jsonl --resume\n"
             "vormo eval compare gpt5.jsonl nofew.jsonl")
    p.add_argument("cases", metavar="CASES", help="folder of NAME.txt + NAME.json cases, a JSON-lines file, a "
                                                  "shipped benchmark ('starter'), or 'compare' and two results files")
    p.add_argument("more", nargs="*", metavar="RESULTS.jsonl", help=argparse.SUPPRESS)
    _add_llm_options(p)
    p.add_argument("--no-few-shot", action="store_true", help="send no worked examples with the prompt")
    p.add_argument("--no-alignment", action="store_true", help="skip the check against the description")
    p.add_argument("--iterations", type=int, metavar="N", help="most attempts per case (default: MAX_ITERATIONS)")
    p.add_argument("--repair", type=int, metavar="N", help="repair rounds after a failed solve (needs vormo.repair)")
    p.add_argument("--candidates", type=int, metavar="N", help="independent candidates per case (needs vormo.candidates)")
    p.add_argument("--jobs", type=int, default=1, metavar="N", help="cases run at once in a process pool (default 1)")
    p.add_argument("--dask", metavar="ADDRESS", help="run the cases on a Dask cluster (tcp://HOST:8786, or 'local')")
    p.add_argument("--limit", type=int, metavar="N", help="run only the first N cases")
    p.add_argument("--sample", type=int, metavar="N", help="run a random sample of N cases")
    p.add_argument("--seed", type=int, metavar="S", help="seed of --sample")
    p.add_argument("--tolerance", type=float, default=1e-4, metavar="REL",
                   help="relative tolerance of a correct optimum (absolute below 1; default 1e-4)")
    p.add_argument("--max-cost", type=float, metavar="USD", help="start no new case once this much is spent")
    p.add_argument("--time-limit", type=float, default=60.0, metavar="S", help="solver time limit per case")
    p.add_argument("--out", default="results.jsonl", metavar="FILE", help="results file (default: results.jsonl)")
    p.add_argument("--work-dir", metavar="DIR", help="folder of the case folders (default: next to --out)")
    p.add_argument("--resume", action="store_true", help="continue --out, skipping the cases it holds")
    p.add_argument("--json", action="store_true", help="print the summary as one JSON object")


# ----------------------------------------------------------------------------------------------
# Errors
# ----------------------------------------------------------------------------------------------

def explain(err: BaseException) -> str | None:
    """The one line shown for an error the user can fix, or None for an unexpected one."""
    if isinstance(err, UsageError):
        return str(err)
    text = str(err).strip()
    first = text.splitlines()[0] if text else type(err).__name__
    from . import vendorerrors

    vendor = vendorerrors.explain(err, first)
    if vendor is not None:
        return vendor
    if isinstance(err, OSError):
        name = err.filename
        reason = err.strerror or first
        if name:
            return f"cannot access {name}: {reason}; check the path"
        if first.startswith("Models directory not found"):
            return f"{first}: check --models-dir"
        return reason
    if isinstance(err, ValueError) and first.startswith("Unsupported LLM provider"):
        return f"{first}: use --provider {PROVIDER_HELP}"
    if not isinstance(err, (RuntimeError, ValueError)):
        return None
    if "environment variable not set" in first:
        var = first.split()[0]
        hint = " (or run 'vormo demo', which needs no key)" if var == "OPENAI_API_KEY" else ""
        return f"{var} is not set: export {var}=<your key>{hint}"
    if "is not installed" in first:
        library = first.split()[0]
        extra = EXTRAS.get(library)
        fix = f"pip install 'vormo[{extra}]'" if extra else first.split(". ", 1)[-1]
        return f"{library} is not installed: {fix}"
    unusable = ("Empty model response", "Empty alignment response", "Empty OpenAI response",
                "Failed to parse model response", "Failed to parse feedback response",
                "Invalid alignment response", "Failed to retrieve response text")
    if first.startswith(unusable):
        head = first if len(first) <= 120 else first[:117] + "..."
        return (f"the LLM's reply could not be used ({head}); the files of the last attempt are kept: "
                "run again or try another --model-name")
    if "embedding model" in first.lower() and "pip install" not in first:
        return f"{first}: pip install 'vormo[embeddings]' && vormo-setup-models"
    return first


class _StderrHandler(logging.StreamHandler):  # type: ignore[type-arg]
    """Writes to whatever ``sys.stderr`` is at the moment of each record."""

    def emit(self, record: logging.LogRecord) -> None:
        self.stream = sys.stderr
        with _progress.HEARTBEAT.paused():
            super().emit(record)


@contextmanager
def _logging_to_stderr(debug: bool) -> Iterator[None]:
    """Show warnings (and with --debug every record) on standard error for one run."""
    handler = _StderrHandler()
    handler.setFormatter(logging.Formatter(f"{PROG}: %(levelname)s: %(name)s: %(message)s" if debug
                                           else f"{PROG}: %(levelname)s: %(message)s"))
    handler.setLevel(logging.DEBUG if debug else logging.WARNING)
    root = logging.getLogger()
    saved_level = root.level
    # The vendor libraries' own chatter (debug lines, offline-cache notices, progress bars) is
    # rarely what a user wants to read; --debug shows all but their debug lines.
    quiet = ("httpx", "httpcore", "openai", "urllib3", "filelock", "sentence_transformers", "huggingface_hub",
             "transformers")
    saved_quiet = {name: logging.getLogger(name).level for name in quiet}
    root.addHandler(handler)
    root.setLevel(logging.DEBUG if debug else min(saved_level or logging.WARNING, logging.WARNING))
    for name in quiet:
        logging.getLogger(name).setLevel(logging.INFO if debug else logging.ERROR)
    calm = {} if debug else {
        "HF_HUB_DISABLE_PROGRESS_BARS": os.environ.get("HF_HUB_DISABLE_PROGRESS_BARS") or "1",
        "TRANSFORMERS_VERBOSITY": os.environ.get("TRANSFORMERS_VERBOSITY") or "error",
        "HF_HUB_VERBOSITY": os.environ.get("HF_HUB_VERBOSITY") or "error",
        "TQDM_DISABLE": os.environ.get("TQDM_DISABLE") or "1",
    }
    try:
        with _environment(**calm):
            yield
    finally:
        root.removeHandler(handler)
        root.setLevel(saved_level)
        for name, level in saved_quiet.items():
            logging.getLogger(name).setLevel(level)


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit status."""
    with guard.safe_terminal():
        parser = build_parser()
        args = parser.parse_args(argv)
        debug = bool(getattr(args, "debug", False))
        with _logging_to_stderr(debug), guard.quiet_vendor_warnings(debug):
            return _dispatch(args, debug)


@contextmanager
def _fast_ranking() -> Iterator[None]:
    """Rank the worked examples for this run with the torch-free ranker and its on-disk cache of the
    corpus embeddings (it hands over to the embedding library by itself when it cannot run)."""
    from . import modelsmith, quickrank

    saved = getattr(modelsmith, "rag_rank")
    setattr(modelsmith, "rag_rank", quickrank.rank_problem_descriptions)
    try:
        yield
    finally:
        setattr(modelsmith, "rag_rank", saved)


def _dispatch(args: argparse.Namespace, debug: bool) -> int:
    try:
        # The heartbeat stays off for eval, whose progress bar holds the terminal's last line.
        beat = not getattr(args, "quiet", False) and args.func is not cmd_eval
        with _pricing(getattr(args, "pricing", None)), _fast_ranking(), _progress.beating(beat):
            status: int = args.func(args, sys.stdout)
        sys.stdout.flush()
        return status
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # A pipe other than our own output closed under the command: its outcome is unknown, so
        # the status is the one a shell gives a writer whose reader went away (never 0).
        return EXIT_BROKEN_PIPE
    except Exception as err:
        if debug:
            raise
        line = explain(err)
        if line is None:
            text = str(err).strip()
            detail = f": {text.splitlines()[0]}" if text else ""
            print(guard.redact(f"{PROG}: unexpected error: {type(err).__name__}{detail} "
                          "(run with --debug for the traceback)"), file=sys.stderr)
            return EXIT_INTERNAL
        print(guard.redact(f"{PROG}: error: {line}"), file=sys.stderr)
        return EXIT_USAGE
