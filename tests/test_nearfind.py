"""Example retrieval with stand-in embedding and tensor libraries: corpus reading, the model
cache, the ranking rules and the command line."""

import logging
import math
import os
import pathlib
import sys
import types

import pytest

import vormo
from vormo import nearfind

DEFAULT_MODEL = "sentence-transformers/all-MiniLM-L6-v2"
ENCODE_OPTIONS = {"convert_to_tensor": True, "normalize_embeddings": True, "show_progress_bar": False}
WORDS = ["cargo", "route", "shift", "blend"]
SHIPPED = pathlib.Path(vormo.__file__).resolve().parent / "vormo_models"


def embed(text):
    """Unit vector of word counts over WORDS (a text without any of them points along the first)."""
    counts = [text.lower().count(w) for w in WORDS]
    if text.startswith("NAN"):
        return [math.nan] * len(WORDS)
    norm = math.sqrt(sum(c * c for c in counts)) or 1.0
    return [c / norm for c in counts] if any(counts) else [1.0] + [0.0] * (len(WORDS) - 1)


class Vector:
    def __init__(self, values):
        self.values = list(values)

    def cpu(self):
        return self

    def tolist(self):
        return list(self.values)


class Matrix:
    def __init__(self, rows):
        self.rows = rows

    def __getitem__(self, i):
        return Vector(self.rows[i])


class Fakes:
    """Records what ranking asks of the two libraries."""

    def __init__(self):
        self.constructed = []
        self.encoded = []
        self.matmul_args = []
        self.fail_with = None

    def install(self, monkeypatch):
        fakes = self

        class SentenceTransformer:
            def __init__(self, *args, **kwargs):
                fakes.constructed.append((args, kwargs))
                if fakes.fail_with is not None:
                    raise fakes.fail_with

            def encode(self, texts, **kwargs):
                fakes.encoded.append((list(texts), kwargs))
                return Matrix([embed(t) for t in texts])

        def matmul(a, b):
            fakes.matmul_args.append((a, b))
            return Vector(sum(x * y for x, y in zip(row, b.values)) for row in a.rows)

        st = types.ModuleType("sentence_transformers")
        st.SentenceTransformer = SentenceTransformer
        torch = types.ModuleType("torch")
        torch.matmul = matmul
        monkeypatch.setitem(sys.modules, "sentence_transformers", st)
        monkeypatch.setitem(sys.modules, "torch", torch)


@pytest.fixture
def fakes(monkeypatch):
    monkeypatch.setattr(nearfind, "_MODEL_CACHE", {})
    f = Fakes()
    f.install(monkeypatch)
    return f


def write(root, files):
    for name, content in files.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        if isinstance(content, bytes):
            path.write_bytes(content)
        else:
            path.write_text(content, encoding="utf-8", newline="")
    return root


# --- argument checks ------------------------------------------------------------------------------


class Text(str):
    pass


@pytest.mark.parametrize(
    "kwargs, name, expected, got",
    [
        ({"query": None}, "query", "str", "NoneType"),
        ({"query": b"cargo"}, "query", "str", "bytes"),
        ({"query": Text("cargo")}, "query", "str", "Text"),
        ({"top_k": True}, "top_k", "int", "bool"),
        ({"top_k": 3.0}, "top_k", "int", "float"),
        ({"top_k": None}, "top_k", "int", "NoneType"),
        ({"model_name": None}, "model_name", "str", "NoneType"),
        ({"model_name": Text("m")}, "model_name", "str", "Text"),
    ],
)
def test_argument_types_are_checked_before_any_work(fakes, tmp_path, kwargs, name, expected, got):
    call = {"query": "cargo", "models_dir": tmp_path / "missing", **kwargs}
    with pytest.raises(TypeError) as err:
        nearfind.rank_problem_descriptions(**call)
    assert str(err.value) == f"Argument '{name}' has incorrect type (expected {expected}, got {got})"
    assert fakes.constructed == []


def test_load_model_and_read_text_check_their_types(fakes, tmp_path):
    with pytest.raises(TypeError, match="Argument 'model_name' has incorrect type"):
        nearfind._load_model(b"m")
    with pytest.raises(TypeError, match="Argument 'max_chars' has incorrect type"):
        nearfind._read_text(tmp_path / "a.txt", 10.0)


def test_positional_and_keyword_arguments(fakes, tmp_path):
    write(tmp_path, {"a.txt": "cargo", "b.txt": "route"})
    by_position = nearfind.rank_problem_descriptions("cargo", str(tmp_path), 1, "m1")
    by_keyword = nearfind.rank_problem_descriptions(model_name="m1", top_k=1, models_dir=str(tmp_path), query="cargo")
    assert by_position == by_keyword and len(by_position) == 1
    with pytest.raises(TypeError):
        nearfind.rank_problem_descriptions("cargo", str(tmp_path), 1, "m1", "extra")
    with pytest.raises(TypeError):
        nearfind.rank_problem_descriptions("cargo", limit=3)


# --- ranking --------------------------------------------------------------------------------------


def test_calls_made_on_the_libraries(fakes, tmp_path):
    write(tmp_path, {"b.txt": "  route route \n", "a.txt": "cargo", "c.txt": "   ", "d/e.txt": "cargo route"})
    out = nearfind.rank_problem_descriptions("cargo", str(tmp_path), model_name="my/model")
    assert fakes.constructed == [(("my/model",), {})]
    # one batched call for the kept descriptions (trimmed, file order), one for the query
    assert fakes.encoded == [(["cargo", "route route", "cargo route"], ENCODE_OPTIONS), (["cargo"], ENCODE_OPTIONS)]
    (docs, query), = fakes.matmul_args
    assert isinstance(docs, Matrix) and query.values == embed("cargo")
    assert [r["path"] for r in out] == [str(tmp_path / p) for p in ("a.txt", "d/e.txt", "b.txt")]


def test_result_records(fakes, tmp_path, monkeypatch):
    write(tmp_path / "corpus", {"x.txt": "cargo\nroute", "y.txt": "blend"})
    monkeypatch.chdir(tmp_path)
    out = nearfind.rank_problem_descriptions("cargo route", "corpus")
    assert [list(r) for r in out] == [["path", "score", "preview"]] * 2
    assert out[0] == {"path": os.path.join("corpus", "x.txt"), "score": pytest.approx(1.0), "preview": "cargo route"}
    assert out[1]["path"] == os.path.join("corpus", "y.txt") and out[1]["score"] == 0.0
    assert all(type(r["score"]) is float and type(r["path"]) is str for r in out)


def test_equal_scores_keep_path_order_by_components(fakes, tmp_path):
    # "a-b.txt" < "a/z.txt" as strings, but the directory "a" sorts before the name "a-b.txt"
    write(tmp_path, {"b.txt": "route", "a-b.txt": "route", "a/z.txt": "route", "a/c.txt": "cargo", "0.txt": "blend"})
    out = nearfind.rank_problem_descriptions("route", str(tmp_path), top_k=0)
    names = [os.path.relpath(r["path"], tmp_path) for r in out]
    assert names == ["a/z.txt", "a-b.txt", "b.txt", "0.txt", "a/c.txt"]


def test_scores_that_are_not_numbers_sort_last(fakes, tmp_path):
    write(tmp_path, {"a.txt": "NAN cargo", "b.txt": "route", "c.txt": "cargo"})
    out = nearfind.rank_problem_descriptions("cargo", str(tmp_path))
    assert [pathlib.Path(r["path"]).name for r in out] == ["c.txt", "b.txt", "a.txt"]
    assert math.isnan(out[-1]["score"])


@pytest.mark.parametrize(
    "top_k, count", [(1, 1), (2, 2), (3, 3), (4, 3), (10**30, 3), (0, 3), (-1, 3), (-(10**30), 3)]
)
def test_top_k(fakes, tmp_path, top_k, count):
    write(tmp_path, {"a.txt": "cargo", "b.txt": "route", "c.txt": "cargo route"})
    out = nearfind.rank_problem_descriptions("cargo", str(tmp_path), top_k=top_k)
    assert len(out) == count
    everything = nearfind.rank_problem_descriptions("cargo", str(tmp_path), top_k=0)
    assert out == everything[:count]


@pytest.mark.parametrize(
    "files",
    [
        {},
        {"notes.md": "cargo", "data.dat": "route"},
        {"a.txt": "", "b/c.txt": " \n\t \r\n "},
        {"dir.txt/inner.md": "cargo"},
        {"a.txt": b"\xff\xfe\xff"},
    ],
    ids=["nothing", "no-txt", "blank", "directory-named-txt", "undecodable-only"],
)
def test_empty_corpus_gives_empty_list_without_loading_a_model(fakes, tmp_path, files):
    fakes.fail_with = RuntimeError("must not be loaded")
    write(tmp_path, files)
    assert nearfind.rank_problem_descriptions("cargo", str(tmp_path)) == []
    assert fakes.constructed == [] and nearfind._MODEL_CACHE == {}


def test_missing_directory(fakes, tmp_path):
    missing = tmp_path / "nowhere"
    with pytest.raises(FileNotFoundError) as err:
        nearfind.rank_problem_descriptions("cargo", missing)
    assert str(err.value) == f"Models directory not found: {missing}"
    assert fakes.constructed == []


@pytest.mark.parametrize("models_dir", [None, ""])
def test_default_directory_is_the_shipped_corpus(fakes, models_dir):
    out = nearfind.rank_problem_descriptions("cargo", models_dir, top_k=0)
    expected = [str(p) for p in nearfind._iter_description_files(SHIPPED)]
    assert sorted(r["path"] for r in out) == sorted(expected)
    assert len(out) == len(expected) > 30
    assert all(os.path.isabs(r["path"]) for r in out)


def test_description_cap_applies_before_trimming_and_embedding(fakes, tmp_path):
    body = "   " + "x" * 99_990 + "cargo" + "route"
    write(tmp_path, {"big.txt": body})
    out = nearfind.rank_problem_descriptions("cargo", str(tmp_path))
    (texts, _), _query = fakes.encoded
    assert texts == ["x" * 99_990 + "cargo" + "ro"]
    assert len(texts[0]) == 99_997 and out[0]["preview"] == "x" * 300


@pytest.mark.parametrize(
    "text, preview",
    [
        ("short\ntext", "short text"),
        ("a\r\nb\rc", "a b c"),
        ("line\n" * 100, "line " * 60),
        ("é" * 299 + "\n" + "z", "é" * 299 + " "),
        ("y" * 301, "y" * 300),
    ],
    ids=["newline", "other-line-endings", "many-lines", "break-at-the-edge", "long"],
)
def test_previews(fakes, tmp_path, text, preview):
    write(tmp_path, {"a.txt": text})
    (record,) = nearfind.rank_problem_descriptions("cargo", str(tmp_path))
    assert record["preview"] == preview
    assert len(record["preview"]) <= 300 and "\n" not in record["preview"]


# --- the model cache -----------------------------------------------------------------------------


def test_model_is_loaded_once_per_name(fakes, tmp_path):
    write(tmp_path, {"a.txt": "cargo"})
    for _ in range(3):
        nearfind.rank_problem_descriptions("cargo", str(tmp_path), model_name="one")
    nearfind.rank_problem_descriptions("cargo", str(tmp_path), model_name="two")
    assert fakes.constructed == [(("one",), {}), (("two",), {})]
    assert nearfind._load_model("one") is nearfind._MODEL_CACHE["one"] is nearfind._load_model("one")


@pytest.mark.parametrize(
    "failure, text",
    [
        ("missing-library", "import of sentence_transformers halted; None in sys.modules"),
        (OSError("model files not found"), "model files not found"),
        (ValueError("bad config"), "bad config"),
    ],
)
def test_failed_load_warns_once_and_ranking_says_how_to_fix(fakes, tmp_path, monkeypatch, caplog, failure, text):
    if failure == "missing-library":
        monkeypatch.setitem(sys.modules, "sentence_transformers", None)
    else:
        fakes.fail_with = failure
    write(tmp_path, {"a.txt": "cargo"})
    caplog.set_level(logging.WARNING)
    for _ in range(2):
        with pytest.raises(RuntimeError) as err:
            nearfind.rank_problem_descriptions("cargo", str(tmp_path), model_name="broken")
        assert "'broken' could not be loaded" in str(err.value)
        assert "vormo-setup-models" in str(err.value) and "vormo[embeddings]" in str(err.value)
    warnings = [(r.name, r.levelno, r.getMessage()) for r in caplog.records]
    assert warnings == [("root", logging.WARNING, f"RAG disabled (embedding model load failed): {text}")]
    assert nearfind._MODEL_CACHE == {"broken": None}
    assert len(fakes.constructed) <= 1


@pytest.mark.parametrize("interrupt", [KeyboardInterrupt, SystemExit])
def test_interrupts_while_loading_are_not_swallowed_or_cached(fakes, interrupt):
    fakes.fail_with = interrupt()
    with pytest.raises(interrupt):
        nearfind._load_model("m")
    assert "m" not in nearfind._MODEL_CACHE


def test_missing_tensor_library_fails_the_ranking(fakes, tmp_path, monkeypatch):
    write(tmp_path, {"a.txt": "cargo"})
    monkeypatch.setitem(sys.modules, "torch", None)
    with pytest.raises(ImportError):
        nearfind.rank_problem_descriptions("cargo", str(tmp_path))
    assert len(fakes.encoded) == 2  # the tensor library is needed only for the scores


def test_siblings_are_looked_up_at_call_time(fakes, tmp_path, monkeypatch):
    write(tmp_path, {"a.txt": "ignored", "b.txt": "ignored"})
    seen = []
    monkeypatch.setattr(nearfind, "_read_text", lambda p: seen.append(pathlib.Path(p).name) or "route " + p.name)
    monkeypatch.setattr(nearfind, "_iter_description_files", lambda d: [pathlib.Path(d) / "b.txt", pathlib.Path(d) / "a.txt"])
    out = nearfind.rank_problem_descriptions("cargo", str(tmp_path))
    assert seen == ["b.txt", "a.txt"] and [pathlib.Path(r["path"]).name for r in out] == ["b.txt", "a.txt"]
    monkeypatch.setattr(nearfind, "_load_model", lambda name: None)
    with pytest.raises(RuntimeError):
        nearfind.rank_problem_descriptions("cargo", str(tmp_path))


# --- corpus files ---------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "files, expected",
    [
        ({"b.txt": "", "a.txt": "", "c.md": ""}, ["a.txt", "b.txt"]),
        ({"z/y/x/deep.txt": "", "top.txt": "", "z/mid.txt": ""}, ["top.txt", "z/mid.txt", "z/y/x/deep.txt"]),
        ({"a-b.txt": "", "a/b.txt": "", "a.b.txt": ""}, ["a/b.txt", "a-b.txt", "a.b.txt"]),
        ({"B.txt": "", "a.txt": "", "é.txt": "", "Z.TXT": ""}, ["B.txt", "a.txt", "é.txt"]),
        ({".hidden.txt": "", "d.txt/real.txt": ""}, [".hidden.txt", "d.txt/real.txt"]),
    ],
    ids=["flat", "nested", "components", "code-points-and-case", "hidden-and-dir-named-txt"],
)
def test_description_files(tmp_path, files, expected):
    write(tmp_path, files)
    found = nearfind._iter_description_files(tmp_path)
    assert all(isinstance(p, pathlib.Path) for p in found)
    assert [p.relative_to(tmp_path).as_posix() for p in found] == expected
    assert nearfind._iter_description_files(str(tmp_path)) == found


def test_description_files_through_a_file_link(tmp_path):
    write(tmp_path, {"real.md": "x"})
    (tmp_path / "link.txt").symlink_to(tmp_path / "real.md")
    (tmp_path / "dangling.txt").symlink_to(tmp_path / "gone.md")
    assert [p.name for p in nearfind._iter_description_files(tmp_path)] == ["link.txt"]


@pytest.mark.parametrize(
    "content, max_chars, expected",
    [
        ("  hello world \n", 100_000, "hello world"),
        ("abcdefghij", 5, "abcde"),
        ("   abcdef", 4, "a"),
        ("abc   def", 4, "abc"),
        ("a\r\nb\rc\n", 100, "a\nb\nc"),
        (b"ab\xffcd\xc3", 100, "abcd"),
        ("\u2003 text \u3000", 100, "text"),
        ("é" * 10, 3, "ééé"),
        ("abc", 0, ""),
        ("abcdef", -2, "abcd"),
    ],
    ids=["trim", "cap", "cap-before-trim", "trim-after-cap", "line-endings", "undecodable", "unicode-space",
         "code-points", "zero", "negative-like-a-slice"],
)
def test_read_text(tmp_path, content, max_chars, expected):
    path = write(tmp_path, {"a.txt": content}) / "a.txt"
    assert nearfind._read_text(path, max_chars) == expected


def test_read_text_default_cap_and_unreadable_files(tmp_path):
    path = write(tmp_path, {"a.txt": "q" * 100_001, "d.txt/x": ""}) / "a.txt"
    assert nearfind._read_text(path) == "q" * 100_000
    assert nearfind._read_text(tmp_path / "missing.txt") == ""
    assert nearfind._read_text(tmp_path / "d.txt") == ""
    assert nearfind._read_text(str(path), max_chars=3) == "qqq"


# --- command line ---------------------------------------------------------------------------------


@pytest.fixture
def ranked(monkeypatch):
    calls = []
    results = []

    def rank(query, models_dir=None, top_k=10, model_name=DEFAULT_MODEL):
        calls.append((query, models_dir, top_k, model_name))
        return list(results)

    monkeypatch.setattr(nearfind, "rank_problem_descriptions", rank)
    return calls, results


@pytest.mark.parametrize("argv", [[], [""], ["", ""], ["  ", "\t"]])
def test_main_without_a_query_prints_usage(ranked, capsys, argv):
    assert nearfind.main(argv) == 1
    assert capsys.readouterr().out == 'Usage: python rag "your problem description here"\n'
    assert ranked[0] == []


def test_main_with_an_empty_corpus(ranked, capsys):
    assert nearfind.main(["pack", "the", "van"]) == 0
    assert capsys.readouterr().out == "No descriptions found.\n"
    assert ranked[0] == [("pack the van", None, 10, DEFAULT_MODEL)]


def test_main_prints_numbered_lines(ranked, capsys):
    calls, results = ranked
    results.extend({"path": f"/c/{i}.txt", "score": s, "preview": "p"} for i, s in
                   enumerate([0.987654, 0.5, 0.12345, -0.00004, -1.0, 0.1, 0.1, 0.1, 0.1, 0.0]))
    assert nearfind.main(["pack", " the  van"]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert lines[0] == " 1. /c/0.txt  score=0.9877"
    assert lines[2] == " 3. /c/2.txt  score=0.1235"
    assert lines[3] == " 4. /c/3.txt  score=-0.0000"
    assert lines[4] == " 5. /c/4.txt  score=-1.0000"
    assert lines[9] == "10. /c/9.txt  score=0.0000"
    assert len(lines) == 10 and calls[0][0] == "pack  the  van"


def test_main_reads_the_process_arguments(ranked, capsys, monkeypatch):
    monkeypatch.setattr(sys, "argv", ["vormo-nearfind", "blend", "oils"])
    assert nearfind.main() == 0
    assert ranked[0][0][0] == "blend oils"


def test_main_lets_ranking_errors_through(fakes, monkeypatch, tmp_path):
    monkeypatch.setattr(nearfind, "_load_model", lambda name: None)
    with pytest.raises(RuntimeError, match="could not be loaded"):
        nearfind.main(["cargo"])
