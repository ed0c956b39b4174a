"""Revise an existing model and data file with the LLM, safely: never over the originals.

``revise_files("plan.mod", "plan.dat", "add a budget of 500")`` asks the LLM for a revision through
``modelsmith.generative_feedback``, compiles what comes back and, while the compiler has findings,
sends them back with the request (as the generation loop does) up to ``iterations`` attempts. The
result is written as the next free version beside the originals (``plan.v2.mod``/``plan.v2.dat``,
then ``v3``, ...; a file is created only if it does not exist yet), with a unified diff of what
changed. Nothing is written when the LLM proposes no change.

The same module keeps the small record of what vormo last wrote (``.vormo-written.json`` in the
folder of each file: file name -> SHA-256 of its text), so that ``vormo solve`` can tell a pair it
wrote itself from one edited by hand since, and refuse to overwrite the latter.
"""

from __future__ import annotations

import difflib
import hashlib
import json
import os
import re
import tempfile
from pathlib import Path
from typing import Any, Callable

__all__ = ["revise_files", "next_version", "unified_diff", "record_written", "edited_since_written",
           "digests", "RECORD_NAME", "FOLLOW_UP"]

RECORD_NAME = ".vormo-written.json"

# The request sent again, with the compiler's findings, when a revision does not compile.
FOLLOW_UP = ("{request}\n\nThe model and data below are your previous revision for this request, and the "
             "model compiler reports:\n{findings}\nCorrect them and return the complete revised model and "
             "data.")


# ----------------------------------------------------------------------------------------------
# What vormo last wrote
# ----------------------------------------------------------------------------------------------

def _digest(path: Path) -> str | None:
    try:
        if not path.is_file():  # a folder, a FIFO or a device is never read (it may block)
            return None
        return hashlib.sha256(path.read_bytes()).hexdigest()
    except OSError:
        return None


def digests(*paths: str | os.PathLike[str]) -> dict[str, str | None]:
    """SHA-256 of each file's bytes (None for a missing file), by path."""
    return {str(p): _digest(Path(p)) for p in paths}


def _record_path(path: Path) -> Path:
    return path.parent / RECORD_NAME


def _read_record(folder_record: Path) -> dict[str, str]:
    try:
        record = json.loads(folder_record.read_text(encoding="utf-8"))
    except (OSError, ValueError):
        return {}
    return {str(k): str(v) for k, v in record.items()} if isinstance(record, dict) else {}


def record_written(*paths: str | os.PathLike[str]) -> None:
    """Note the current text of each existing file as written by vormo (best effort)."""
    for raw in paths:
        path = Path(raw)
        digest = _digest(path)
        if digest is None:
            continue
        record_file = _record_path(path)
        record = _read_record(record_file)
        record[path.name] = digest
        try:
            record_file.write_text(json.dumps(record, indent=1, sort_keys=True) + "\n", encoding="utf-8")
        except OSError:
            pass


def edited_since_written(*paths: str | os.PathLike[str]) -> list[str]:
    """The existing files among ``paths`` whose text is not what vormo last wrote there."""
    edited = []
    for raw in paths:
        path = Path(raw)
        digest = _digest(path)
        if digest is None:
            continue
        if _read_record(_record_path(path)).get(path.name) != digest:
            edited.append(str(raw))
    return edited


# ----------------------------------------------------------------------------------------------
# Versions and diffs
# ----------------------------------------------------------------------------------------------

_VERSION = re.compile(r"^(?P<stem>.*)\.v(?P<n>[0-9]+)$")


def _base(path: Path) -> tuple[str, int]:
    """(stem without a '.vN' suffix, N or 1)."""
    match = _VERSION.match(path.stem)
    if match:
        return match.group("stem"), int(match.group("n"))
    return path.stem, 1


def next_version(model_path: str | os.PathLike[str], data_path: str | os.PathLike[str]) -> tuple[Path, Path, int]:
    """The first version number above the originals' for which neither file exists yet.

    ``plan.mod`` -> ``plan.v2.mod``; ``plan.v2.mod`` -> ``plan.v3.mod``.
    """
    model_path, data_path = Path(model_path), Path(data_path)
    (model_stem, model_n), (data_stem, data_n) = _base(model_path), _base(data_path)
    number = max(model_n, data_n) + 1
    while True:
        model_target = model_path.with_name(f"{model_stem}.v{number}{model_path.suffix}")
        data_target = data_path.with_name(f"{data_stem}.v{number}{data_path.suffix}")
        if not model_target.exists() and not data_target.exists():
            return model_target, data_target, number
        number += 1


def unified_diff(old: str, new: str, old_name: str, new_name: str) -> str:
    """Unified diff text of two file texts ('' when they are equal)."""
    lines = difflib.unified_diff(old.splitlines(keepends=True), new.splitlines(keepends=True),
                                 fromfile=old_name, tofile=new_name)
    return "".join(line if line.endswith("\n") else line + "\n\\ No newline at end of file\n" for line in lines)


def _create(path: Path, text: str) -> None:
    """Write a new file; never replaces one that appeared in the meantime."""
    with open(path, "x", encoding="utf-8") as handle:
        handle.write(text)


def _write_version(model_path: Path, data_path: Path, model_text: str, data_text: str) -> tuple[Path, Path, int]:
    for _ in range(100):
        model_target, data_target, number = next_version(model_path, data_path)
        try:
            _create(model_target, model_text)
        except FileExistsError:
            continue
        try:
            _create(data_target, data_text)
        except FileExistsError:
            model_target.unlink()
            continue
        return model_target, data_target, number
    raise FileExistsError(f"no free version name next to {model_path}")


# ----------------------------------------------------------------------------------------------
# The revision
# ----------------------------------------------------------------------------------------------

def _findings(model_text: str, data_text: str) -> list[str]:
    from .faultnote import SemanticError
    from .vormo_kernel import VormoCompiler

    try:
        VormoCompiler().compile_model(model_text, data_text)
    except (SyntaxError, SemanticError) as err:
        return [str(err)]
    return []


def _text(value: Any) -> str | None:
    return value if isinstance(value, str) and value.strip() else None


def revise_files(model_path: str | os.PathLike[str], data_path: str | os.PathLike[str], request: str, *,
                 iterations: int | None = None, progress: Callable[[str], Any] | None = None,
                 run: bool = False, time_limit: float = 60.0, **feedback_options: Any) -> dict[str, Any]:
    """Ask for a revision of the pair that does ``request``, write it as the next version, diff it.

    ``feedback_options`` go to ``generative_feedback`` (model_name, mode, temperature, llm_provider).
    ``iterations`` (default: the generation loop's MAX_ITERATIONS) bounds the LLM calls. Returns a
    record: "status" ("revised", "compile_error" when the last attempt still has findings, or
    "unchanged"), "attempts", "feedback" (the LLM's words on the last attempt), "syntax_errors",
    "model_file"/"data_file" (written, or None), "version", "diff", and with ``run`` "before" and
    "after" (the runner's results for the originals and the revision).
    """
    from . import modelsmith

    model_path, data_path = Path(model_path), Path(data_path)
    original_model = model_path.read_text(encoding="utf-8")
    original_data = data_path.read_text(encoding="utf-8")
    limit = modelsmith.MAX_ITERATIONS if iterations is None else iterations
    if isinstance(limit, bool) or not isinstance(limit, int) or limit < 1:
        raise ValueError(f"iterations must be a positive whole number, not {limit!r}")
    options = {k: v for k, v in feedback_options.items() if v is not None or k == "llm_provider"}
    if progress is not None:
        options["progress"] = progress

    current_model, current_data = original_model, original_data
    feedback, findings, attempts = "", [], 0
    prompt = request
    with tempfile.TemporaryDirectory(prefix="vormo-revise-") as folder:
        ask_model, ask_data = model_path, data_path
        while attempts < limit:
            attempts += 1
            reply = modelsmith.generative_feedback(prompt, str(ask_model), str(ask_data), **options)
            reply = reply if isinstance(reply, dict) else {}
            feedback = str(reply.get("feedback") or "")
            new_model = _text(reply.get("revised_model")) or current_model
            new_data = _text(reply.get("revised_data")) or current_data
            if new_model == current_model and new_data == current_data:
                break  # nothing (more) proposed
            current_model, current_data = new_model, new_data
            findings = _findings(current_model, current_data)
            if not findings:
                break
            if progress is not None:
                progress(f"The revision does not compile ({len(findings)} finding(s)); sending them back")
            ask_model = Path(folder) / model_path.name
            ask_data = Path(folder) / data_path.name
            ask_model.write_text(current_model, encoding="utf-8")
            ask_data.write_text(current_data, encoding="utf-8")
            prompt = FOLLOW_UP.format(request=request, findings="\n".join(findings))

    record: dict[str, Any] = {"status": "unchanged", "attempts": attempts, "feedback": feedback,
                              "syntax_errors": findings, "original_model_file": str(model_path),
                              "original_data_file": str(data_path), "model_file": None, "data_file": None,
                              "version": None, "diff": ""}
    if current_model == original_model and current_data == original_data:
        return record
    model_target, data_target, number = _write_version(model_path, data_path, current_model, current_data)
    record_written(model_target, data_target)
    record.update(status="compile_error" if findings else "revised", model_file=str(model_target),
                  data_file=str(data_target), version=number,
                  diff=unified_diff(original_model, current_model, str(model_path), str(model_target))
                  + unified_diff(original_data, current_data, str(data_path), str(data_target)))
    if run:
        from . import runner

        if progress is not None:
            progress("Solving the original pair")
        record["before"] = runner.solve_files(model_path, data_path, time_limit=time_limit)
        if findings:
            record["after"] = {"status": "compile_error", "objective": None, "variables": {},
                               "message": "; ".join(findings)}
        else:
            if progress is not None:
                progress("Solving the revision")
            record["after"] = runner.solve_files(model_target, data_target, time_limit=time_limit)
    return record
