"""Progress a person can follow while the command line waits.

- ``HEARTBEAT``: while an LLM reply or the solver is awaited, the elapsed seconds on one line of
  the terminal, rewritten in place (``\\r``) about once a second and cleared when the wait ends.
  Nothing at all is written when standard error is not a terminal (a pipe, a file, a CI log).
  Progress lines printed meanwhile clear the line first, so that they never land after it.
- ``findings_shown``: each compiler finding that goes back to the LLM as one progress line, in the
  ``FILE:LINE:COLUMN: message`` form of ``vormo compile``.

Only the standard library is imported here.
"""

from __future__ import annotations

import re
import sys
import threading
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import Any, TextIO

__all__ = ["HEARTBEAT", "Heartbeat", "INTERVAL", "beating", "findings_shown", "finding_line", "money_line"]

INTERVAL = 1.0          # seconds between two redraws of the heartbeat line
LLM_WAIT = "waiting for the LLM's reply"
SOLVER_WAIT = "solving"
FINDING_CHARS = 240     # a finding longer than this is cut, so that it stays one terminal line or two


def _raw_stderr() -> TextIO | None:
    """Standard error as the terminal sees it, or None when it is not a terminal. The command
    line's safe wrapper (which shows control characters escaped) is stepped over: the carriage
    returns written here are our own and must reach the terminal as they are."""
    stream = sys.stderr
    stream = getattr(stream, "stream", stream) if type(stream).__name__ == "Terminal" else stream
    try:
        return stream if stream is not None and stream.isatty() else None
    except (AttributeError, ValueError, OSError):
        return None


class Heartbeat:
    """One heartbeat line for the whole process, shared by every wait (the candidates wait for
    several replies at once: the line then counts from the oldest wait still running)."""

    def __init__(self) -> None:
        self.enabled = True
        self._lock = threading.Lock()
        self._waits: dict[int, tuple[str, float]] = {}
        self._next = 0
        self._shown = 0                     # characters of the line now on the terminal
        self._stream: TextIO | None = None
        self._wake = threading.Event()
        self._thread: threading.Thread | None = None

    @contextmanager
    def waiting(self, label: str) -> Iterator[None]:
        """Show the heartbeat while the block runs (on a terminal, when enabled)."""
        stream = _raw_stderr() if self.enabled else None
        if stream is None:
            yield
            return
        with self._lock:
            token = self._next
            self._next += 1
            self._waits[token] = (label, time.monotonic())
            self._stream = stream
            self._wake.clear()
            if self._thread is None or not self._thread.is_alive():
                self._thread = threading.Thread(target=self._run, name="vormo-heartbeat", daemon=True)
                self._thread.start()
        try:
            yield
        finally:
            with self._lock:
                del self._waits[token]
                if not self._waits:
                    self._wake.set()
                    self._clear_locked()

    def clear(self) -> None:
        """Take the heartbeat off the terminal; the next beat redraws it."""
        if self._shown:
            with self._lock:
                self._clear_locked()

    @contextmanager
    def paused(self) -> Iterator[None]:
        """Print a line in the block: the heartbeat is taken off the terminal first and cannot come
        back before the line is written."""
        with self._lock:
            self._clear_locked()
            yield

    def _clear_locked(self) -> None:
        if self._shown and self._stream is not None:
            self._write("\r" + " " * self._shown + "\r")
            self._shown = 0

    def _write(self, text: str) -> None:
        try:
            self._stream.write(text)  # type: ignore[union-attr]
            self._stream.flush()  # type: ignore[union-attr]
        except (OSError, ValueError):
            self._shown = 0

    def _run(self) -> None:
        while True:
            self._wake.wait(INTERVAL)
            with self._lock:
                if not self._waits:
                    self._thread = None
                    return
                label, started = min(self._waits.values(), key=lambda wait: wait[1])
                count = len(self._waits)
                text = f"  {label}{f' ({count} at once)' if count > 1 else ''}: {time.monotonic() - started:.0f}s"
                self._write("\r" + text.ljust(self._shown))
                self._shown = max(len(text), self._shown)


HEARTBEAT = Heartbeat()


@contextmanager
def beating(enabled: bool) -> Iterator[None]:
    """For one command: the heartbeat on (or off with --quiet) and shown while each LLM request
    of the package waits for its reply."""
    from . import modelsmith

    saved_enabled = HEARTBEAT.enabled
    original = modelsmith._llm_generate_text

    def awaited(*args: Any, **kwargs: Any) -> Any:
        with HEARTBEAT.waiting(LLM_WAIT):
            return original(*args, **kwargs)

    HEARTBEAT.enabled = enabled
    modelsmith._llm_generate_text = awaited
    try:
        yield
    finally:
        HEARTBEAT.enabled = saved_enabled
        if modelsmith._llm_generate_text is awaited:
            modelsmith._llm_generate_text = original


# ----------------------------------------------------------------------------------------------
# Findings sent back to the LLM
# ----------------------------------------------------------------------------------------------

_ERROR_CLASS = re.compile(r"^\w*(?:Syntax|Semantic)Error: ")
_PLACED = re.compile(r"^line (\d+), column (\d+) of the (model|data) file:\s*(.*)$", re.IGNORECASE | re.DOTALL)
_SEMANTIC = re.compile(r"^Semantic Error \(Line (\d+)\):\s*(.*)$", re.IGNORECASE | re.DOTALL)
_LINE = re.compile(r"^line (\d+)(?::(\d+))?:\s*(.*)$", re.IGNORECASE | re.DOTALL)


def finding_line(finding: Any, model_file: str, data_file: str) -> str:
    """One compiler finding in one line: ``FILE:LINE[:COLUMN]: message`` when its place is known."""
    text = _ERROR_CLASS.sub("", " ".join(str(finding).split()))
    placed = _PLACED.match(text)
    if placed:
        where = data_file if placed.group(3).lower() == "data" else model_file
        text = f"{where}:{placed.group(1)}:{placed.group(2)}: {placed.group(4)}"
    elif _SEMANTIC.match(text):
        found = _SEMANTIC.match(text)
        where = data_file if "in the data file" in text else model_file
        text = f"{where}:{found.group(1)}: {found.group(2)}"  # type: ignore[union-attr]
    elif _LINE.match(text):
        found = _LINE.match(text)
        column = f":{found.group(2)}" if found.group(2) else ""  # type: ignore[union-attr]
        text = f"{model_file}:{found.group(1)}{column}: {found.group(3)}"  # type: ignore[union-attr]
    return text if len(text) <= FINDING_CHARS else text[:FINDING_CHARS - 1] + "\u2026"


@contextmanager
def findings_shown(report: Callable[[str], Any], model_file: str, data_file: str) -> Iterator[None]:
    """Report each finding as one line when a revision request carrying it is built."""
    from . import modelsmith
    from .cliguard import replaced

    original = modelsmith._build_revision_prompt_syntax

    def revision(*args: Any, **kwargs: Any) -> Any:
        findings = list(args[4] if len(args) > 4 else kwargs.get("syntax_errors") or [])
        for number, finding in enumerate(findings, 1):
            report(f"  finding {number}/{len(findings)}: {finding_line(finding, model_file, data_file)}")
        return original(*args, **kwargs)

    with replaced(modelsmith, "_build_revision_prompt_syntax", revision):
        yield


# ----------------------------------------------------------------------------------------------
# Money in progress lines
# ----------------------------------------------------------------------------------------------

_COST_LINE = "[LLM] Estimated costs: "


def money_line(message: str) -> str:
    """The generation loop's closing cost line (a record's repr) with its amount in the command
    line's one format: "$0.0123", "unpriced" or "$0 (local)"."""
    if not message.startswith(_COST_LINE):
        return message
    import ast

    try:
        record = ast.literal_eval(message[len(_COST_LINE):])
        from . import costs

        priced = costs.price(str(record["model"]), record.get("usage") or {}, None, record.get("estimated_costs"))
    except (ValueError, SyntaxError, TypeError, KeyError, AttributeError, MemoryError, RecursionError):
        return message
    usage = priced["usage"]
    return (f"{_COST_LINE}{costs.price_text(priced)} for {usage['prompt_tokens']:,} prompt + "
            f"{usage['completion_tokens']:,} completion tokens ({priced['model']})")
