"""The ``vormo export``, ``describe`` and ``revise`` subcommands, and the solution tables of ``--csv``.

``register(subs, sub, add_llm_options)`` adds the subcommands to the command line's parser; the
bodies below parse nothing themselves and call ``vormo.export``, ``vormo.describe``,
``vormo.revise`` and ``vormo.runner`` as any caller would.
"""

from __future__ import annotations

import argparse
import csv
import sys
from collections.abc import Callable, Iterator, Mapping
from contextlib import contextmanager
from pathlib import Path
from typing import Any, TextIO

__all__ = ["register", "cmd_export", "cmd_describe", "cmd_revise", "write_tables", "write_solution_tables",
           "check_overwrite", "guarded_pair", "add_table_options", "CONSTRAINTS_SUFFIX"]

# The constraint-row table goes next to the variable table: plan.csv -> plan.rows.csv.
CONSTRAINTS_SUFFIX = ".rows"


def _cli() -> Any:
    from . import cli

    return cli


# ----------------------------------------------------------------------------------------------
# export
# ----------------------------------------------------------------------------------------------

def cmd_export(args: argparse.Namespace, out: TextIO) -> int:
    """Write the pair as free MPS and/or CPLEX-LP text."""
    cli = _cli()
    if args.mps is None and args.lp is None:
        raise cli.UsageError("nothing to write: give --mps FILE and/or --lp FILE")
    for path, what in ((args.model, "model file"), (args.data, "data file")):
        cli._read_text(path, what)
    from . import export
    from .faultnote import SemanticError

    try:
        summary = export.export_files(args.model, args.data, mps=args.mps, lp=args.lp)
    except ImportError as err:
        raise cli.UsageError(f"the sparse build cannot be loaded ({err}): pip install 'vormo[solve]'") from None
    except (SyntaxError, SemanticError) as err:
        if args.json:
            cli._emit_json({"ok": False, "finding": str(err)}, out)
        else:
            print(str(err), file=out)
        return cli.EXIT_NEGATIVE
    except OSError as err:
        raise cli.UsageError(f"cannot write {err.filename or 'the file'}: {err.strerror or err}") from None
    if args.json:
        cli._emit_json({"ok": True, **summary}, out)
        return cli.EXIT_OK
    print(f"{summary['columns']:,} columns ({summary['integer_columns']:,} integer), {summary['rows']:,} rows, "
          f"objective: {summary['sense']}", file=out)
    for item in summary["written"]:
        print(f"Wrote {item['file']} ({item['format'].upper()}) and its name map {item['names']}", file=out)
    return cli.EXIT_OK


# ----------------------------------------------------------------------------------------------
# describe
# ----------------------------------------------------------------------------------------------

def cmd_describe(args: argparse.Namespace, out: TextIO) -> int:
    """Summarise what the pair holds."""
    cli = _cli()
    model_code = cli._read_text(args.model, "model file")
    data_code = cli._read_text(args.data, "data file")
    from . import describe
    from .faultnote import SemanticError

    try:
        record = describe.describe_texts(model_code, data_code, counts=not args.no_counts)
    except (SyntaxError, SemanticError) as err:
        if args.json:
            cli._emit_json({"ok": False, "finding": str(err)}, out)
        else:
            print(str(err), file=out)
        return cli.EXIT_NEGATIVE
    record = {"model_file": args.model, "data_file": args.data, **record}
    if args.json:
        cli._emit_json(record, out)
    else:
        describe.format_description(record, out)
    return cli.EXIT_OK


# ----------------------------------------------------------------------------------------------
# revise
# ----------------------------------------------------------------------------------------------

def cmd_revise(args: argparse.Namespace, out: TextIO) -> int:
    """Ask the LLM for a revision and write it as the next version beside the originals."""
    cli = _cli()
    if not args.request.strip():
        raise cli.UsageError("the change request is empty")
    cli._check_provider(args.provider)
    for path, what in ((args.model, "model file"), (args.data, "data file")):
        cli._read_text(path, what)
    if args.iterations is not None and args.iterations < 1:
        raise cli.UsageError("--iterations must be at least 1")
    from . import revise

    options: dict[str, Any] = {"mode": cli._grammar(args.grammar), "temperature": args.temperature,
                               "llm_provider": args.provider}
    if args.model_name is not None:
        options["model_name"] = args.model_name
    record = revise.revise_files(args.model, args.data, args.request, iterations=args.iterations,
                                 progress=cli.Progress(enabled=not args.quiet), run=args.run,
                                 time_limit=args.time_limit, **options)
    if args.json:
        cli._emit_json(record, out)
    else:
        if record["feedback"].strip():
            print(record["feedback"].strip(), file=out)
            print(file=out)
        if record["status"] == "unchanged":
            print("No change was proposed; nothing written.", file=out)
        else:
            print(record["diff"].rstrip("\n"), file=out)
            print(f"\nWritten: {record['model_file']}, {record['data_file']} (the originals are unchanged)", file=out)
            if record["syntax_errors"]:
                print(f"The revision still does not compile after {record['attempts']} attempt(s):", file=out)
                for finding in record["syntax_errors"]:
                    print(f"  {finding}", file=out)
        if args.run and "before" in record:
            print(file=out)
            rows = [["", "status", "objective"]]
            for key, label in (("before", "before"), ("after", "after")):
                result = record[key]
                objective = result.get("objective")
                rows.append([label, str(result.get("status")), "-" if objective is None else cli._number(objective)])
            cli._table(rows, out)
    if record["status"] == "compile_error":
        return cli.EXIT_NEGATIVE
    if args.run and record.get("after", {}).get("status") not in (None, "optimal"):
        return cli.EXIT_NEGATIVE
    return cli.EXIT_OK


@contextmanager
def guarded_pair(model_file: str, data_file: str, force: bool) -> Iterator[None]:
    """Refuse to overwrite a hand-edited pair (see ``check_overwrite``); afterwards, also after a
    failure, note what changed in the block as written by vormo."""
    from . import revise

    check_overwrite(model_file, data_file, force)
    before = revise.digests(model_file, data_file)
    try:
        yield
    finally:
        after = revise.digests(model_file, data_file)
        revise.record_written(*[path for path, digest in after.items() if digest != before[path]])


def check_overwrite(model_file: str, data_file: str, force: bool) -> None:
    """Refuse (UsageError) to overwrite a file vormo did not write, or that changed since it did."""
    if force:
        return
    from . import revise

    edited = revise.edited_since_written(model_file, data_file)
    if edited:
        raise _cli().UsageError(
            f"{' and '.join(edited)} {'exists' if len(edited) == 1 else 'exist'} and "
            f"{'differs' if len(edited) == 1 else 'differ'} from what vormo last wrote (edited by hand?): "
            "use --force to overwrite, or 'vormo revise' to change the pair as a new version")


# ----------------------------------------------------------------------------------------------
# Solution tables
# ----------------------------------------------------------------------------------------------

def write_tables(result: Mapping[str, Any], path: str, nonzero: bool = False) -> list[str]:
    """Write the result's variable table to ``path`` (and the constraint rows next to it).

    Returns the files written. A result without structured entries is a UsageError.
    """
    from . import tables

    written = []
    try:
        header, rows = tables.result_table(result, nonzero=nonzero)
    except ValueError as err:
        raise _cli().UsageError(f"no table written: {err}") from None
    target = Path(path)
    try:
        with open(target, "w", encoding="utf-8", newline="") as handle:
            writer = csv.writer(handle)
            writer.writerow(header)
            writer.writerows(rows)
        written.append(str(target))
        constraint_rows = tables.constraint_table(result)
        if constraint_rows is not None:
            header, rows = constraint_rows
            second = target.with_name(target.stem + CONSTRAINTS_SUFFIX + target.suffix)
            with open(second, "w", encoding="utf-8", newline="") as handle:
                writer = csv.writer(handle)
                writer.writerow(header)
                writer.writerows(rows)
            written.append(str(second))
    except OSError as err:
        raise _cli().UsageError(f"cannot write {err.filename or path}: {err.strerror or err}") from None
    return written


def write_solution_tables(result: Mapping[str, Any], path: str, nonzero: bool) -> None:
    """``--csv``: write the tables when the result has a point, else say why there are none."""
    if result.get("entries") is None:
        print(f"vormo: no table written to {path}: the result has no solution ({result.get('status')})",
              file=sys.stderr)
        return
    for written in write_tables(result, path, nonzero=nonzero):
        print(f"vormo: wrote {written}", file=sys.stderr)


# ----------------------------------------------------------------------------------------------
# Parser
# ----------------------------------------------------------------------------------------------

def register(subs: Any, sub: Callable[..., argparse.ArgumentParser],
             add_llm_options: Callable[[argparse.ArgumentParser], None]) -> None:
    """Add ``export``, ``describe`` and ``revise`` to the command line."""
    p = sub(subs, "export", cmd_export, "write a model and data file as MPS or LP for any solver",
            "vormo export plan.mod plan.dat --mps plan.mps --lp plan.lp")
    p.add_argument("model", metavar="MODEL.mod")
    p.add_argument("data", metavar="DATA.dat")
    p.add_argument("--mps", metavar="FILE", help="write free MPS to FILE (names explained in FILE.names.json)")
    p.add_argument("--lp", metavar="FILE", help="write CPLEX-LP text to FILE (names in FILE.names.json)")
    p.add_argument("--json", action="store_true", help="print a JSON summary")

    p = sub(subs, "describe", cmd_describe, "summarise the sets, parameters, variables and constraints of a pair",
            "vormo describe plan.mod plan.dat")
    p.add_argument("model", metavar="MODEL.mod")
    p.add_argument("data", metavar="DATA.dat")
    p.add_argument("--no-counts", action="store_true", help="skip the sparse build (no column and row counts)")
    p.add_argument("--json", action="store_true", help="print the description as JSON")

    p = sub(subs, "revise", cmd_revise, "have the LLM change a pair; the result is written as the next version",
            'vormo revise plan.mod plan.dat "add a weekly budget of 500" --run')
    p.add_argument("model", metavar="MODEL.mod")
    p.add_argument("data", metavar="DATA.dat")
    p.add_argument("request", metavar="CHANGE", help="what to change, in plain words")
    add_llm_options(p)
    p.add_argument("--iterations", type=int, metavar="N", help="most LLM calls (default: MAX_ITERATIONS, 5)")
    p.add_argument("--run", action="store_true", help="solve the original and the revision; show both objectives")
    p.add_argument("--time-limit", type=float, default=60.0, metavar="S", help="solver time limit with --run")
    p.add_argument("--json", action="store_true", help="print one JSON object instead of text")


def add_table_options(p: argparse.ArgumentParser) -> None:
    """``--csv FILE`` and ``--nonzero`` for the commands that solve."""
    p.add_argument("--csv", metavar="FILE", help="write the solution as a table: one row per variable entry "
                                                 "(constraint rows in FILE.rows.csv when explained)")
    p.add_argument("--nonzero", action="store_true", help="with --csv: only the non-zero entries")
