"""Grammar modes, the reference readers, the tolerant capped reader and the model/data pair lookup."""

import enum
import importlib.resources
import os
import pathlib
import pickle

import pytest

import vormo.modelsmith as ms

Grammar = ms.Grammar


# ---- Grammar ----

def test_grammar_is_a_plain_enumeration():
    assert issubclass(Grammar, enum.Enum) and not issubclass(Grammar, int)
    assert [(g.name, g.value) for g in Grammar] == [("NONE", 1), ("BNF", 2), ("CODE", 3)]
    assert (Grammar.__module__, Grammar.__qualname__) == ("vormo.modelsmith", "Grammar")
    assert pickle.loads(pickle.dumps(Grammar.CODE)) is Grammar.CODE


@pytest.fixture
def fake_readers(monkeypatch):
    calls = []
    monkeypatch.setattr(ms, "_read_vormo_grammar", lambda: calls.append("grammar") or "GRAMMAR TEXT")
    monkeypatch.setattr(ms, "_read_vormo_code", lambda: calls.append("code") or "CODE TEXT")
    return calls


@pytest.mark.parametrize("mode, text, reads", [
    (Grammar.NONE, "", []),
    (Grammar.BNF, "GRAMMAR TEXT", ["grammar"]),
    (Grammar.CODE, "CODE TEXT", ["code"]),
])
def test_grammar_modes(fake_readers, mode, text, reads):
    assert ms._get_grammar_implementation(mode) == text
    assert fake_readers == reads


@pytest.mark.parametrize("mode, message", [
    ("BNF", "Invalid mode: BNF"),
    (2, "Invalid mode: 2"),
    (None, "Invalid mode: None"),
    ("Grammar.BNF", "Invalid mode: Grammar.BNF"),
    (enum.Enum("Grammar", ["NONE", "BNF", "CODE"]).BNF, "Invalid mode: Grammar.BNF"),
])
def test_grammar_mode_must_be_a_member(fake_readers, mode, message):
    with pytest.raises(ValueError) as info:
        ms._get_grammar_implementation(mode)
    assert str(info.value) == message
    assert fake_readers == []


def test_grammar_mode_reads_enumeration_at_call_time(monkeypatch, fake_readers):
    Other = enum.Enum("Grammar", ["NONE", "BNF", "CODE"])
    monkeypatch.setattr(ms, "Grammar", Other)
    assert ms._get_grammar_implementation(Other.BNF) == "GRAMMAR TEXT"
    with pytest.raises(ValueError):
        ms._get_grammar_implementation(Grammar.BNF)


def test_grammar_missing_file_propagates(monkeypatch, tmp_path):
    monkeypatch.setattr(ms, "__file__", str(tmp_path / "modelsmith.so"))
    with pytest.raises(FileNotFoundError):
        ms._get_grammar_implementation(Grammar.CODE)


# ---- Reference readers ----

def package_text(*parts):
    return importlib.resources.files("vormo").joinpath(*parts).read_text(encoding="utf-8")


@pytest.mark.parametrize("reader, parts", [
    (ms._read_vormo_grammar, ("grammars", "Vormo grammar.md")),
    (ms._read_vormo_GBNF, ("grammars", "Vormo_GBNF")),
])
def test_package_resources(reader, parts):
    assert reader() == package_text(*parts)


def test_grammar_through_the_mode():
    assert ms._get_grammar_implementation(Grammar.BNF) == package_text("grammars", "Vormo grammar.md")


def test_compiler_source_beside_the_module():
    source = pathlib.Path(ms.__file__).with_name("vormo_kernel.py")
    with open(source) as f:
        assert ms._read_vormo_code() == f.read()
    assert ms._get_grammar_implementation(Grammar.CODE) == ms._read_vormo_code()


def test_compiler_source_goes_through_read_file(monkeypatch):
    seen = []
    monkeypatch.setattr(ms, "_read_file", lambda path: seen.append(path) or "SRC")
    assert ms._read_vormo_code() == "SRC"
    assert seen == [os.path.join(os.path.dirname(ms.__file__), "vormo_kernel.py")]


# ---- _read_file ----

def test_read_file_whole(tmp_path):
    p = tmp_path / "m.mod"
    p.write_text("  dvar float x;\nminimize z: x;\n\n", encoding="utf-8")
    assert ms._read_file(str(p)) == "  dvar float x;\nminimize z: x;\n\n"


@pytest.mark.parametrize("path, type_name", [(None, "NoneType"), (b"/x", "bytes"), (3, "int"),
                                             (pathlib.Path("/x"), "PosixPath")])
def test_read_file_takes_exactly_str(path, type_name):
    with pytest.raises(TypeError) as info:
        ms._read_file(path)
    assert str(info.value) == f"Argument 'path' has incorrect type (expected str, got {type_name})"


@pytest.mark.parametrize("make, error", [
    (lambda d: str(d / "missing.mod"), FileNotFoundError),
    (lambda d: str(d), IsADirectoryError),
])
def test_read_file_errors(tmp_path, make, error):
    with pytest.raises(error):
        ms._read_file(make(tmp_path))


def test_read_file_decoding_is_strict(tmp_path, monkeypatch):
    p = tmp_path / "bad.mod"
    p.write_bytes(b"ok \xff\xfe\xfa")
    import locale
    if locale.getpreferredencoding(False).lower().replace("-", "") != "utf8":
        pytest.skip("platform default encoding is not UTF-8")
    with pytest.raises(UnicodeDecodeError):
        ms._read_file(str(p))


# ---- _safe_read_text ----

@pytest.mark.parametrize("content, max_chars, expected", [
    (b"  abcdefgh", 5, "abc"),
    (b"  abcdefgh  ", 100, "abcdefgh"),
    (b"\n\t text \r\n", None, "text"),
    (b"abc", 3, "abc"),
    (b"abc", 0, ""),
    (b"abcdef", -2, ""),
    (b"abcdef", 10**30, "abcdef"),
    (b"abcdef", -10**30, ""),
    ("\u00e4\u00f6\u00fc\u00df xyz".encode(), 4, "\u00e4\u00f6\u00fc\u00df"),
    (b"ok\xff\xfe bytes \xc3", None, "ok bytes"),
    ("\U0001f600ab".encode(), 2, "\U0001f600a"),
    (b"", None, ""),
])
def test_safe_read_text(tmp_path, content, max_chars, expected):
    p = tmp_path / "ex.txt"
    p.write_bytes(content)
    got = ms._safe_read_text(p) if max_chars is None else ms._safe_read_text(p, max_chars)
    assert got == expected and type(got) is str


@pytest.mark.parametrize("make", [
    lambda d: d / "missing.txt",
    lambda d: d,
    lambda d: None,
    lambda d: 3,
    lambda d: str(d / "ex.txt"),
])
def test_safe_read_text_gives_empty_text_on_problems(tmp_path, make):
    (tmp_path / "ex.txt").write_text("content")
    assert ms._safe_read_text(make(tmp_path)) == ""


@pytest.mark.parametrize("error", [PermissionError, UnicodeError, OSError, RuntimeError, MemoryError])
def test_safe_read_text_swallows_ordinary_errors(error):
    class Failing:
        def read_text(self, **kwargs):
            raise error("cannot read")

    assert ms._safe_read_text(Failing()) == ""


def test_safe_read_text_refuses_a_non_text_result():
    class Odd:
        def read_text(self, **kwargs):
            return b"bytes"

    assert ms._safe_read_text(Odd()) == ""


@pytest.mark.parametrize("bad, type_name", [("5", "str"), (5.0, "float"), (True, "bool"), (None, "NoneType")])
def test_safe_read_text_cap_must_be_int(tmp_path, bad, type_name):
    with pytest.raises(TypeError) as info:
        ms._safe_read_text(tmp_path / "missing.txt", bad)
    assert str(info.value) == f"Argument 'max_chars' has incorrect type (expected int, got {type_name})"


def test_safe_read_text_default_cap_is_bound_at_load(tmp_path, monkeypatch):
    p = tmp_path / "ex.txt"
    p.write_text("abcdef")
    monkeypatch.setattr(ms, "FEW_SHOT_MAX_CHARS", 2)
    assert ms._safe_read_text(p) == "abcdef"
    assert ms._safe_read_text(p, max_chars=2) == "ab"


@pytest.mark.parametrize("kind", ["fifo", "folder", "device"])
def test_safe_read_text_reads_regular_files_only(tmp_path, kind):
    # A FIFO with no writer would block an ordinary open() for ever.
    if kind == "fifo":
        path = tmp_path / "ex.dat"
        os.mkfifo(path)
    elif kind == "folder":
        path = tmp_path
    else:
        path = pathlib.Path("/dev/zero")
    assert ms._safe_read_text(path, 10) == ""


def _bytes_read():
    with open("/proc/self/io") as f:
        return int(next(line for line in f if line.startswith("rchar:")).split()[1])


@pytest.mark.skipif(not os.path.exists("/proc/self/io"), reason="needs the process I/O counters")
def test_safe_read_text_reads_no_further_than_the_cap(tmp_path):
    path = tmp_path / "big.txt"
    path.write_text("x" * 4_000_000)
    before = _bytes_read()
    assert ms._safe_read_text(path, 5) == "xxxxx"
    assert _bytes_read() - before < 1_000_000


def test_safe_read_text_lets_interrupts_through():
    class Interrupting:
        def read_text(self, **kwargs):
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        ms._safe_read_text(Interrupting())


# ---- _find_pair_in_folder ----

def make_folder(root, entries):
    for name in entries:
        if name.endswith("/"):
            (root / name.rstrip("/")).mkdir()
        elif name.endswith("|"):
            os.mkfifo(root / name.rstrip("|"))
        else:
            (root / name).write_text(name)
    return root


@pytest.mark.parametrize("entries, expected", [
    (["knapsack.txt", "knapsack.mod", "knapsack.dat", "a.mod", "a.dat"], ("knapsack.mod", "knapsack.dat")),
    (["knapsack.txt", "b.mod", "a.mod", "z.dat"], ("a.mod", "z.dat")),
    (["knapsack.txt", "knapsack.mod", "other.dat"], ("knapsack.mod", "other.dat")),
    (["knapsack.txt", "B.mod", "a.mod", "Z.dat", "a.dat"], ("B.mod", "Z.dat")),  # ordinal, case-sensitive
    (["knapsack.txt"], (None, None)),
    (["knapsack.txt", "knapsack.dat"], (None, "knapsack.dat")),
    # only regular files are paired: a folder or a FIFO named like a model or data file is passed over
    (["knapsack.txt", "x.mod/", "knapsack.dat"], (None, "knapsack.dat")),
    (["knapsack.txt", "knapsack.mod/", "y.mod", "knapsack.dat"], ("y.mod", "knapsack.dat")),
    (["knapsack.txt", "knapsack.mod/", "knapsack.dat/"], (None, None)),
    (["knapsack.txt", "knapsack.mod", "knapsack.dat|", "z.dat"], ("knapsack.mod", "z.dat")),
    (["knapsack.txt", "knapsack.mod", "a.dat|"], ("knapsack.mod", None)),
    (["knapsack.txt", "sub/", "knapsack.model", "mod", "data.dat.bak"], (None, None)),
])
def test_pair_lookup(tmp_path, entries, expected):
    folder = make_folder(tmp_path, entries)
    if "sub/" in entries:
        (folder / "sub" / "deep.mod").write_text("x")
    before = sorted(p.name for p in folder.iterdir())
    got = ms._find_pair_in_folder(folder / "knapsack.txt")
    assert type(got) is tuple and len(got) == 2
    assert got == tuple(None if name is None else folder / name for name in expected)
    assert all(p is None or isinstance(p, pathlib.Path) for p in got)
    assert sorted(p.name for p in folder.iterdir()) == before


def test_pair_lookup_stem_drops_only_the_last_extension(tmp_path):
    folder = make_folder(tmp_path, ["prob.v2.txt", "prob.v2.mod", "prob.v2.dat", "a.mod", "a.dat"])
    assert ms._find_pair_in_folder(folder / "prob.v2.txt") == (folder / "prob.v2.mod", folder / "prob.v2.dat")


def test_pair_lookup_missing_folder(tmp_path):
    assert ms._find_pair_in_folder(tmp_path / "nowhere" / "x.txt") == (None, None)
    assert not (tmp_path / "nowhere").exists()


def test_pair_lookup_needs_a_path_object():
    with pytest.raises(AttributeError):
        ms._find_pair_in_folder("knapsack.txt")
