"""Guards of the ``vormo`` command line: what it checks before the first paid request and how it
writes to the terminal.

- Paths and options: the files a generation writes must differ from each other and from the
  description (however the paths are spelt), be writable, and be held by one run at a time (a lock
  file beside each); ``--write-revised`` never writes over an original or twice to one path;
  ``--time-limit`` is a finite number of seconds in (0, 1e9].
- Output: control characters are shown escaped, characters the output encoding lacks become
  escapes, a reader that goes away ends the output quietly, and JSON documents are strict (a
  non-finite number becomes null).
- Text: arguments and standard input are read as UTF-8 whatever the locale.

Only the standard library is imported here, so loading the command line stays light.
"""

from __future__ import annotations

import argparse
import io
import math
import os
import re
import sys
import warnings
from collections.abc import Iterator, Mapping
from contextlib import contextmanager
from pathlib import Path
from typing import Any, TextIO

__all__ = ["UsageError", "MAX_TIME_LIMIT", "Terminal", "safe_terminal", "finite_json", "escape_controls", "redact",
           "check_time_limit", "same_file", "check_outputs", "revised_targets", "write_replacing", "output_lock",
           "text_argument", "read_stdin", "quiet_vendor_warnings"]

MAX_TIME_LIMIT = 1e9    # seconds; "no limit" in practice


class UsageError(Exception):
    """An error the user can fix; its text is the one line shown (it names the fix)."""


def finite_json(value: Any, where: str, notes: list[str]) -> Any:
    if isinstance(value, float) and not math.isfinite(value):
        notes.append(f"{where or 'value'} was {value!r}, which JSON cannot hold; shown as null")
        return None
    if isinstance(value, Mapping):
        return {key: finite_json(item, f"{where}.{key}" if where else str(key), notes) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [finite_json(item, f"{where}[{i}]", notes) for i, item in enumerate(value)]
    return value


# C0 controls but tab and newline, DEL and the C1 controls (a lone 0x9b starts an escape sequence
# on many terminals).
_CONTROL = re.compile("[\x00-\x08\x0b-\x1f\x7f-\x9f]")


def escape_controls(text: str) -> str:
    return _CONTROL.sub(lambda m: repr(m.group())[1:-1], text)


class Terminal(io.TextIOBase):
    """Standard output or error as the command writes to it.

    Control characters are shown escaped, characters the stream's encoding cannot hold become
    backslash escapes, and when the reader goes away (a closed pipe) the rest of the output is
    dropped quietly, so that the command still ends with its own status.
    """

    def __init__(self, stream: TextIO) -> None:
        super().__init__()
        self.stream = stream
        self.reader_gone = False

    @property
    def encoding(self) -> str:  # type: ignore[override]
        return getattr(self.stream, "encoding", None) or "utf-8"

    def writable(self) -> bool:
        return True

    def isatty(self) -> bool:
        return bool(getattr(self.stream, "isatty", lambda: False)())

    def fileno(self) -> int:
        return self.stream.fileno()

    def write(self, text: str) -> int:
        if self.reader_gone:
            return len(text)
        shown = escape_controls(text)
        try:
            shown.encode(self.encoding)
        except UnicodeEncodeError:
            shown = shown.encode(self.encoding, "backslashreplace").decode(self.encoding)
        except LookupError:
            pass
        try:
            self.stream.write(shown)
        except BrokenPipeError:
            self._reader_went_away()
        return len(text)

    def flush(self) -> None:
        if not self.reader_gone:
            try:
                self.stream.flush()
            except BrokenPipeError:
                self._reader_went_away()

    def _reader_went_away(self) -> None:
        self.reader_gone = True
        # The interpreter flushes the stream once more at exit; send that nowhere.
        try:
            devnull = os.open(os.devnull, os.O_WRONLY)
            try:
                os.dup2(devnull, self.stream.fileno())
            finally:
                os.close(devnull)
        except (OSError, ValueError, io.UnsupportedOperation):
            pass


@contextmanager
def safe_terminal() -> Iterator[None]:
    """Route standard output and error through Terminal for one run."""
    saved = sys.stdout, sys.stderr
    sys.stdout, sys.stderr = Terminal(sys.stdout), Terminal(sys.stderr)  # type: ignore[assignment]
    try:
        yield
    finally:
        sys.stdout, sys.stderr = saved


@contextmanager
def quiet_vendor_warnings(debug: bool) -> Iterator[None]:
    """Without --debug, the Gemini library's notices about its own future (end of support, Python
    versions) are not shown: they are about the library, not about the run."""
    with warnings.catch_warnings():
        if not debug:
            warnings.filterwarnings("ignore", category=FutureWarning, module=r"google(\.|$)")
            warnings.filterwarnings("ignore", category=FutureWarning, message=r"(?s).*\bgoogle[.-]")
        yield


def redact(text: str) -> str:
    """The text with the API keys of the environment replaced, as the vendor legs do."""
    for var in ("OPENAI_API_KEY", "GEMINI_API_KEY", "OLLAMA_API_KEY"):
        key = os.environ.get(var) or ""
        if len(key) >= 6:
            text = text.replace(key, "[redacted]")
    return text


# ----------------------------------------------------------------------------------------------
# Checks made before the first paid request
# ----------------------------------------------------------------------------------------------

def check_time_limit(value: float) -> None:
    if not (math.isfinite(value) and 0 < value <= MAX_TIME_LIMIT):
        raise UsageError(f"--time-limit must be a number of seconds above 0 and at most 1e9 "
                         f"(got {value!r})")


def same_file(a: str | Path, b: str | Path) -> bool:
    """Whether two paths name one file: equal once resolved (symlinks, "..") or the same inode."""
    if Path(a).resolve() == Path(b).resolve():
        return True
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def _nearest_existing(path: Path) -> Path:
    current = path.absolute()
    while not os.path.lexists(current) and current != current.parent:
        current = current.parent
    return current


def _check_writable_file(path: str, option: str) -> None:
    """A file to be written: an existing one must be a writable regular file; a new one needs a
    folder that exists or can be made, and may be written."""
    target = Path(path)
    if target.is_dir():
        raise UsageError(f"{option} {path} is a folder: give a file name")
    if os.path.lexists(target):
        if not target.is_file():
            raise UsageError(f"{option} {path} is not a regular file: give another file name")
        if not os.access(target, os.W_OK):
            raise UsageError(f"{option} {path} cannot be written (permission denied): choose another path")
        return
    _check_writable_folder(target.parent, f"the folder of {option} {path}")


def _check_writable_folder(folder: Path, what: str) -> None:
    """A folder that exists or can be made, and may be written to."""
    base = _nearest_existing(folder)
    if not base.is_dir():
        raise UsageError(f"{what} cannot be made: {base} is not a folder")
    if not os.access(base, os.W_OK | os.X_OK):
        raise UsageError(f"{what} cannot be written: {base} is not writable (permission denied)")


def check_outputs(args: argparse.Namespace) -> None:
    """The model and data files of a generation: distinct from each other and from the description
    file, and writable."""
    named = [("-m", args.model), ("-d", args.data)]
    description = getattr(args, "file", None)
    if description not in (None, "-"):
        named.append(("-f", description))
    for i, (option_a, path_a) in enumerate(named):
        for option_b, path_b in named[i + 1:]:
            if same_file(path_a, path_b):
                raise UsageError(f"{option_a} {path_a} and {option_b} {path_b} name the same file: "
                                 "give each its own path")
    _check_writable_file(args.model, "-m")
    _check_writable_file(args.data, "-d")


def revised_targets(args: argparse.Namespace) -> list[tuple[str, Path]]:
    """Where --write-revised puts the revised model and data, checked before any request: a
    folder, two different files, neither of them an original (whatever path names it)."""
    folder = Path(args.write_revised)
    if os.path.lexists(folder) and not folder.is_dir():
        raise UsageError(f"--write-revised {args.write_revised} is not a folder: give a folder for the revised files")
    _check_writable_folder(folder, f"--write-revised {args.write_revised}")
    targets = [(original, folder / Path(original).name) for original in (args.model, args.data)]
    if same_file(targets[0][1], targets[1][1]):
        raise UsageError(f"the model and data files are both named {targets[0][1].name}: --write-revised would "
                         "write both revisions to one path; rename one of them")
    for _, target in targets:
        for original in (args.model, args.data):
            if same_file(target, original):
                raise UsageError(f"--write-revised {args.write_revised} would overwrite the original "
                                 f"{original}: choose another directory")
        if os.path.lexists(target) and (target.is_dir() or not os.access(target, os.W_OK)):
            raise UsageError(f"--write-revised cannot write {target}: it is a folder or not writable")
    return targets


def write_replacing(target: Path, text: str) -> None:
    """Write through a temporary file renamed over the target: a symlink there is replaced, never
    followed, and an interrupted write leaves the old file."""
    partial = target.with_name(f".{target.name}.partial-{os.getpid()}")
    try:
        partial.write_text(text, encoding="utf-8")
        os.replace(partial, target)
    finally:
        partial.unlink(missing_ok=True)


@contextmanager
def output_lock(*paths: str) -> Iterator[None]:
    """Hold "<file>.lock" beside each output file for one run; a second run writing the same file
    is refused instead of interleaving its attempts with the first one's."""
    try:
        import fcntl
    except ImportError:  # no advisory locks on this platform
        yield
        return
    held: list[tuple[Path, int]] = []
    try:
        for path in dict.fromkeys(str(Path(p).resolve()) for p in paths):
            lock = Path(path + ".lock")
            lock.parent.mkdir(parents=True, exist_ok=True)
            fd = os.open(lock, os.O_RDWR | os.O_CREAT, 0o644)
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except OSError:
                os.close(fd)
                raise UsageError(f"another vormo run is writing {Path(path).name} (lock file {lock}): "
                                 "wait for it to finish, or use other -m/-d paths") from None
            held.append((lock, fd))
            os.ftruncate(fd, 0)
            os.write(fd, f"{os.getpid()}\n".encode())
        yield
    finally:
        for lock, fd in reversed(held):
            lock.unlink(missing_ok=True)
            os.close(fd)


def text_argument(value: str) -> str:
    """A text argument (description, question, query) as UTF-8 whatever the locale: under an ASCII
    or other narrow locale the interpreter hands over undecodable bytes as surrogates, which no
    service accepts."""
    if not any("\udc80" <= ch <= "\udcff" for ch in value):
        return value
    raw = os.fsencode(value)
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError:
        raise UsageError("a text argument is neither UTF-8 nor in the locale's encoding: "
                         "pass the text with -f FILE as UTF-8") from None


def read_stdin() -> str:
    """Standard input as UTF-8 text, whatever the locale."""
    raw = getattr(sys.stdin, "buffer", None)
    if raw is None:
        return sys.stdin.read()
    try:
        return bytes(raw.read()).decode("utf-8")
    except UnicodeDecodeError:
        raise UsageError("cannot read the description from standard input: it is not UTF-8 text") from None


@contextmanager
def replaced(module: Any, name: str, replacement: Any) -> Iterator[None]:
    """``module.name`` is ``replacement`` for the block (the late binding is there for this); it is
    put back afterwards unless something else has replaced it meanwhile."""
    original = getattr(module, name)
    setattr(module, name, replacement)
    try:
        yield
    finally:
        if getattr(module, name) is replacement:
            setattr(module, name, original)
