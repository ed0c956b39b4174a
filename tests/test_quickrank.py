"""The torch-free ranker: the same records as nearfind's ranking, embeddings that agree with the
embedding library's, and a corpus cache that follows the files it was made from.

The real model comes from the local cache that vormo-setup-models fills; nothing reaches the network."""

import os

os.environ["HF_HUB_OFFLINE"] = "1"

import json
import pathlib
import random
import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("numpy", reason="the fastrank extra is not installed")
pytest.importorskip("tokenizers", reason="the fastrank extra is not installed")

import vormo
from vormo import nearfind, quickrank

MODEL = "sentence-transformers/all-MiniLM-L6-v2"
SHIPPED = pathlib.Path(vormo.__file__).resolve().parent / "vormo_models"


@pytest.fixture(autouse=True)
def own_cache(tmp_path_factory, monkeypatch):
    """Every test writes its cache files to a folder of its own."""
    folder = tmp_path_factory.mktemp("cache")
    monkeypatch.setenv("VORMO_CACHE_DIR", str(folder))
    return folder


@pytest.fixture(scope="module")
def encoder():
    found = quickrank.load_encoder(MODEL)
    assert found is not None, "the bundled model is not in the local cache: run vormo-setup-models"
    return found


class CorpusOnce:
    """The real model, with each distinct batch embedded once: nearfind's ranking embeds the
    unchanged corpus again at every call."""

    def __init__(self, model):
        self.model = model
        self.memo = {}

    def encode(self, texts, **kwargs):
        key = (tuple(texts), tuple(sorted(kwargs.items())))
        if key not in self.memo:
            self.memo[key] = self.model.encode(texts, **kwargs)
        return self.memo[key]


@pytest.fixture(scope="module")
def reference():
    pytest.importorskip("sentence_transformers", reason="the embeddings extra is not installed")
    loaded = nearfind._load_model(MODEL)
    assert loaded is not None, "the bundled model is not in the local cache: run vormo-setup-models"
    with pytest.MonkeyPatch.context() as mp:
        mp.setitem(nearfind._MODEL_CACHE, MODEL, CorpusOnce(loaded))
        yield loaded


@pytest.fixture(scope="module")
def shared_cache(tmp_path_factory):
    return tmp_path_factory.mktemp("shared-cache")


def other_texts():
    """100 texts unlike the stored descriptions: short and long (past the 256-token cut), empty,
    white space, accents, other scripts, emoji, numbers, code, shouting, repetition."""
    rnd = random.Random(19)
    words = ("truck depot shift nurse budget yield route crate oven pallet cable warehouse client tariff "
             "minimise maximise weekly capacity demand supplier ≤ ≥ naïve café Zürich 東京 데이터 😀 1,250.75 "
             "x[i,j] sum{i in I} -> :: ; ( ) ' \"").split()
    fixed = ["", " ", "\n\t  \n", "a", "OK", "THE QUICK BROWN FOX JUMPS OVER THE LAZY DOG",
             "Ünïcödé façade — naïve café, Zürich", "東京から大阪までの最短経路", "🚚📦🚚📦", "0 1 2 3 4 5 6 7 8 9 " * 30,
             "var x{i in I} >= 0;\nminimize cost: sum{i in I} c[i]*x[i];", "word " * 400,
             "  leading and trailing white space  ", "tabs\tand\nnew\nlines", "repeat repeat repeat " * 20]
    texts = list(fixed)
    while len(texts) < 100:
        n = rnd.choice([1, 3, 8, 20, 60, 150, 300])
        texts.append(" ".join(rnd.choice(words) for _ in range(n)))
    return texts


def cosines(a, b):
    import numpy as np

    a, b = np.asarray(a, dtype=np.float64), np.asarray(b, dtype=np.float64)
    return (a * b).sum(1) / (np.linalg.norm(a, axis=1) * np.linalg.norm(b, axis=1))


def test_embeddings_agree_with_the_embedding_library(encoder, reference):
    corpus = [nearfind._read_text(p) for p in nearfind._iter_description_files(SHIPPED)]
    texts = corpus + other_texts()
    ours = encoder.embed(texts)
    theirs = reference.encode(texts, convert_to_tensor=False, normalize_embeddings=True, show_progress_bar=False)
    agreement = cosines(ours, theirs)
    worst = int(agreement.argmin())
    assert agreement.min() >= 0.9999, (worst, texts[worst][:80], agreement.min())
    assert abs(float((ours * ours).sum(1).max()) - 1.0) < 1e-5


QUERIES = ["plan delivery rounds for two vans with limited space, starting and ending at the bakery",
           "cheapest set of meals that meets daily nutrition targets",
           "", "x", "order the jobs on our equipment so that late deliveries are minimised"]


@pytest.mark.parametrize("query", QUERIES)
def test_ranking_matches_nearfind(query, reference, shared_cache, monkeypatch):
    monkeypatch.setenv("VORMO_CACHE_DIR", str(shared_cache))
    theirs = nearfind.rank_problem_descriptions(query, top_k=0)
    ours = quickrank.rank_problem_descriptions(query, top_k=0)
    assert [r["path"] for r in ours] == [r["path"] for r in theirs]
    assert [r["preview"] for r in ours] == [r["preview"] for r in theirs]
    assert all(type(r["score"]) is float and list(r) == ["path", "score", "preview"] for r in ours)
    assert max(abs(a["score"] - b["score"]) for a, b in zip(ours, theirs)) < 1e-4
    # A second call reads the corpus from the cache and gives the same records.
    assert quickrank.rank_problem_descriptions(query, top_k=0) == ours


# ----------------------------------------------------------------------------------------------
# The contract shared with nearfind's ranking
# ----------------------------------------------------------------------------------------------

def write(folder, name, text):
    path = folder / name
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(text, encoding="utf-8")
    return path


@pytest.fixture
def small(tmp_path):
    folder = tmp_path / "corpus"
    write(folder, "a/knapsack.txt", "Pick valuable items for a backpack\nwithout exceeding its weight limit.")
    write(folder, "b/diet.txt", "Choose foods to meet daily nutrient needs at the lowest cost.")
    write(folder, "c/routes.txt", "Plan delivery routes for vans leaving and returning to one depot.")
    return folder


@pytest.mark.parametrize("args, kwargs", [
    ((None,), {}), ((b"q",), {}), ((type("S", (str,), {})("q"),), {}),
    (("q",), {"top_k": True}), (("q",), {"top_k": 2.0}), (("q",), {"top_k": None}),
    (("q",), {"model_name": None}), (("q",), {"model_name": pathlib.Path("m")}),
])
def test_wrong_argument_types_are_refused_as_nearfind_does(args, kwargs, small):
    with pytest.raises(TypeError) as theirs:
        nearfind.rank_problem_descriptions(*args, models_dir=str(small), **kwargs)
    with pytest.raises(TypeError) as ours:
        quickrank.rank_problem_descriptions(*args, models_dir=str(small), **kwargs)
    assert str(ours.value) == str(theirs.value)


def test_missing_folder_and_empty_corpus(tmp_path, monkeypatch):
    missing = tmp_path / "nowhere"
    with pytest.raises(FileNotFoundError, match="^Models directory not found: " + str(missing) + "$"):
        quickrank.rank_problem_descriptions("q", str(missing))
    # Blank files and a folder named like a description: nothing to rank, the model is not loaded.
    write(tmp_path / "c", "blank.txt", " \n\t ")
    (tmp_path / "c" / "dir.txt").mkdir()
    monkeypatch.setattr(quickrank, "load_encoder", lambda name: pytest.fail("model loaded"))
    assert quickrank.rank_problem_descriptions("q", str(tmp_path / "c")) == []


@pytest.mark.parametrize("top_k, count", [(0, 3), (-1, 3), (1, 1), (2, 2), (50, 3)])
def test_top_k(small, encoder, top_k, count):
    out = quickrank.rank_problem_descriptions("vans and a depot", str(small), top_k)
    assert len(out) == count
    assert out[0]["path"] == str(small / "c" / "routes.txt")


def test_records_ties_and_previews(tmp_path, encoder):
    text = "Line one\nline two " + "x" * 400
    write(tmp_path, "z.txt", text)
    write(tmp_path, "a.txt", text)
    write(tmp_path, "m/other.txt", "Schedule nurses over the week.")
    out = quickrank.rank_problem_descriptions("line one line two", str(tmp_path), 0)
    assert [r["path"] for r in out[:2]] == [str(tmp_path / "a.txt"), str(tmp_path / "z.txt")]
    assert out[0]["score"] == out[1]["score"]
    assert out[0]["preview"] == text[:300].replace("\n", " ")
    # Relative folders give relative paths, as nearfind's ranking does.
    os.chdir(tmp_path)
    assert quickrank.rank_problem_descriptions("nurses", "m")[0]["path"] == os.path.join("m", "other.txt")


# ----------------------------------------------------------------------------------------------
# The corpus cache
# ----------------------------------------------------------------------------------------------

@pytest.fixture
def counted(monkeypatch, encoder):
    """Counts the texts the encoder embeds (the query included)."""
    seen = []
    real = quickrank.Encoder.embed

    def embed(self, texts):
        seen.append(list(texts))
        return real(self, texts)

    monkeypatch.setattr(quickrank.Encoder, "embed", embed)
    return seen


def corpus_batches(seen, query):
    return [batch for batch in seen if batch != [query]]


def test_cache_is_used_and_follows_the_files(small, counted, own_cache):
    q = "vans"
    first = quickrank.rank_problem_descriptions(q, str(small))
    assert sorted(len(b) for b in corpus_batches(counted, q)) == [3]
    assert len(list(own_cache.iterdir())) == 1

    counted.clear()
    assert quickrank.rank_problem_descriptions(q, str(small)) == first
    assert corpus_batches(counted, q) == []

    # An edited file, an added file: only those are embedded again.
    write(small, "b/diet.txt", "Choose foods to meet daily nutrient needs at the lowest cost, and snacks.")
    write(small, "d/new.txt", "Assign teachers to classrooms.")
    counted.clear()
    out = quickrank.rank_problem_descriptions(q, str(small), 0)
    assert sorted(map(sorted, corpus_batches(counted, q))) == [sorted([
        "Choose foods to meet daily nutrient needs at the lowest cost, and snacks.", "Assign teachers to classrooms."])]
    assert len(out) == 4

    # A removed file: nothing to embed, and the ranking no longer has it.
    (small / "d" / "new.txt").unlink()
    counted.clear()
    assert len(quickrank.rank_problem_descriptions(q, str(small), 0)) == 3
    assert corpus_batches(counted, q) == []
    # The file was rewritten without the removed entry: the next call only reads.
    header = read_header(next(own_cache.iterdir()))
    assert len(header["entries"]) == 3


def test_same_size_and_time_but_other_text_is_embedded_again(small, counted):
    path = small / "a" / "knapsack.txt"
    quickrank.rank_problem_descriptions("q", str(small))
    stat = path.stat()
    path.write_text(path.read_text().replace("backpack", "rucksack"), encoding="utf-8")
    os.utime(path, ns=(stat.st_atime_ns, stat.st_mtime_ns))
    assert path.stat().st_size == stat.st_size
    counted.clear()
    quickrank.rank_problem_descriptions("q", str(small))
    assert [len(b) for b in corpus_batches(counted, "q")] == [1]


def read_header(path):
    data = path.read_bytes()
    assert data[:8] == quickrank.CACHE_MAGIC
    size = int.from_bytes(data[8:16], "little")
    return json.loads(data[16:16 + size])


@pytest.mark.parametrize("damage", [
    lambda data: b"",
    lambda data: data[:20],
    lambda data: b"NOTOURS!" + data[8:],
    lambda data: data[:8] + (10 ** 9).to_bytes(8, "little") + data[16:],
    lambda data: data[:-4],
])
def test_a_damaged_cache_file_is_rebuilt(small, counted, own_cache, damage):
    expected = quickrank.rank_problem_descriptions("vans", str(small), 0)
    (cache_file,) = own_cache.iterdir()
    cache_file.write_bytes(damage(cache_file.read_bytes()))
    counted.clear()
    assert quickrank.rank_problem_descriptions("vans", str(small), 0) == expected
    assert [len(b) for b in corpus_batches(counted, "vans")] == [3]
    assert len(read_header(cache_file)["entries"]) == 3


def test_another_model_or_encoder_does_not_reuse_the_rows(small, counted, own_cache, monkeypatch):
    quickrank.rank_problem_descriptions("vans", str(small))
    monkeypatch.setattr(quickrank.load_encoder(MODEL), "fingerprint", "changed model files")
    counted.clear()
    quickrank.rank_problem_descriptions("vans", str(small))
    assert [len(b) for b in corpus_batches(counted, "vans")] == [3]


def test_an_unwritable_cache_folder_still_ranks(small, tmp_path, monkeypatch, encoder):
    blocker = tmp_path / "file"
    blocker.write_text("")
    monkeypatch.setenv("VORMO_CACHE_DIR", str(blocker / "sub"))
    assert len(quickrank.rank_problem_descriptions("vans", str(small), 0)) == 3


def test_concurrent_runs_leave_one_whole_cache_file(small, own_cache):
    code = textwrap.dedent(f"""
        import json, sys
        from vormo import quickrank
        out = quickrank.rank_problem_descriptions("vans", {str(small)!r}, 0)
        print(json.dumps([r["path"] for r in out]))
    """)
    env = {**os.environ, "VORMO_CACHE_DIR": str(own_cache), "HF_HUB_OFFLINE": "1"}
    runs = [subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                             env=env) for _ in range(3)]
    results = [run.communicate(timeout=300) for run in runs]
    assert all(run.returncode == 0 for run in runs), [err for _, err in results]
    assert len({out for out, _ in results}) == 1
    files = list(own_cache.iterdir())
    assert len(files) == 1 and not files[0].name.startswith(".")
    assert len(read_header(files[0])["entries"]) == 3


# ----------------------------------------------------------------------------------------------
# The shipped examples' embeddings
# ----------------------------------------------------------------------------------------------

def shipped_table():
    path = pathlib.Path(quickrank.__file__).resolve().parent / quickrank.SHIPPED_EMBEDDINGS
    return path, read_header(path)


def test_the_shipped_table_holds_every_shipped_description_for_the_installed_model(encoder):
    # Fails when an example is edited without running scripts/ship_embeddings.py.
    _, header = shipped_table()
    assert header["model_digest"] == encoder.content_digest()
    texts = {quickrank._text_digest(t) for t in (nearfind._read_text(p) for p in nearfind._iter_description_files(SHIPPED)) if t}
    assert texts <= {d for (d,) in header["entries"]}


def test_an_empty_cache_takes_the_shipped_rows_and_keeps_them(counted, own_cache):
    first = quickrank.rank_problem_descriptions("vans", top_k=0)
    assert len(first) >= 50 and corpus_batches(counted, "vans") == []
    (cache_file,) = own_cache.iterdir()
    assert len(read_header(cache_file)["entries"]) == len(first)


@pytest.fixture
def borrowed(tmp_path):
    """Three shipped descriptions and one of our own."""
    folder = tmp_path / "borrowed"
    for path in sorted(nearfind._iter_description_files(SHIPPED))[:3]:
        write(folder, path.name, nearfind._read_text(path))
    write(folder, "own.txt", "Assign teachers to classrooms.")
    return folder


def _header_edit(key, value):
    def edit(path):
        data = path.read_bytes()
        size = int.from_bytes(data[8:16], "little")
        header = json.loads(data[16:16 + size])
        header[key] = value
        payload = json.dumps(header).encode()
        path.write_bytes(data[:8] + len(payload).to_bytes(8, "little") + payload + data[16 + size:])
    return edit


@pytest.mark.parametrize("change, embedded", [
    (None, ["Assign teachers to classrooms."]),
    ("off", 4),
    (_header_edit("model_digest", "0" * 64), 4),       # made with other model files
    (_header_edit("max_tokens", 128), 4),               # made with another cut
    (_header_edit("model", "owner/other-model"), 4),
    (lambda path: path.write_bytes(path.read_bytes()[:-8]), 4),   # cut short
])
def test_shipped_rows_serve_only_their_texts_and_model(borrowed, counted, tmp_path, monkeypatch, change, embedded):
    expected = quickrank.rank_problem_descriptions("vans", str(borrowed), 0)
    table = tmp_path / "shipped.bin"
    table.write_bytes(shipped_table()[0].read_bytes())
    if change == "off":
        monkeypatch.setattr(quickrank, "SHIPPED_EMBEDDINGS", None)
    else:
        monkeypatch.setattr(quickrank, "SHIPPED_EMBEDDINGS", str(table))
        if change:
            change(table)
    monkeypatch.setenv("VORMO_CACHE_DIR", str(tmp_path / "empty-cache"))
    counted.clear()
    out = quickrank.rank_problem_descriptions("vans", str(borrowed), 0)
    batches = corpus_batches(counted, "vans")
    assert batches == [embedded] if isinstance(embedded, list) else [len(b) for b in batches] == [embedded]
    assert [r["path"] for r in out] == [r["path"] for r in expected]
    assert max(abs(a["score"] - b["score"]) for a, b in zip(out, expected)) < 1e-5


def test_a_table_made_by_ship_embeddings_serves_its_folder(small, counted, tmp_path, monkeypatch):
    expected = quickrank.rank_problem_descriptions("vans", str(small), 0)
    done = quickrank.ship_embeddings(tmp_path / "made.bin", str(small))
    assert done["descriptions"] == 3 and oct(done["path"].stat().st_mode & 0o777) == "0o644"
    monkeypatch.setattr(quickrank, "SHIPPED_EMBEDDINGS", str(done["path"]))
    monkeypatch.setenv("VORMO_CACHE_DIR", str(tmp_path / "empty-cache"))
    counted.clear()
    out = quickrank.rank_problem_descriptions("vans", str(small), 0)
    assert corpus_batches(counted, "vans") == [] and [r["path"] for r in out] == [r["path"] for r in expected]
    assert max(abs(a["score"] - b["score"]) for a, b in zip(out, expected)) < 1e-5


# ----------------------------------------------------------------------------------------------
# When the fast path cannot run, and what it never imports
# ----------------------------------------------------------------------------------------------

@pytest.fixture
def handed_over(monkeypatch):
    calls = []
    monkeypatch.setattr(nearfind, "rank_problem_descriptions", lambda *a: calls.append(a) or ["nearfind's"])
    return calls


def test_a_model_not_in_the_local_cache_is_handed_to_nearfind(small, handed_over, monkeypatch):
    monkeypatch.delitem(quickrank._ENCODERS, "owner/absent-model", raising=False)
    assert quickrank.rank_problem_descriptions("q", str(small), 2, "owner/absent-model") == ["nearfind's"]
    assert handed_over == [("q", str(small), 2, "owner/absent-model")]
    assert quickrank._ENCODERS["owner/absent-model"] is None


def replace(path, data):
    path.unlink()
    path.write_bytes(data)


def edit_json(path, edit):
    replace(path, json.dumps(edit(json.loads(path.read_text()))).encode())


@pytest.mark.parametrize("change", [
    lambda d: edit_json(d / "config.json", lambda c: {**c, "model_type": "roberta"}),
    lambda d: edit_json(d / "config.json", lambda c: {**c, "hidden_act": "relu"}),
    lambda d: edit_json(d / "1_Pooling" / "config.json", lambda c: {"pooling_mode_cls_token": True}),
    lambda d: edit_json(d / "modules.json", lambda m: m + [{"type": "sentence_transformers.models.Dense"}]),
    lambda d: replace(d / "model.safetensors", b"\x02\x00\x00\x00\x00\x00\x00\x00{}"),
    lambda d: replace(d / "model.safetensors", b"\xff" * 8 + b"{}"),
    lambda d: (d / "tokenizer.json").unlink(),
])
def test_a_model_of_another_kind_is_handed_to_nearfind(small, handed_over, tmp_path, change):
    source = quickrank.model_folder(MODEL)
    assert source is not None, "the bundled model is not in the local cache: run vormo-setup-models"
    folder = tmp_path / "model"
    (folder / "1_Pooling").mkdir(parents=True)
    for item in source.rglob("*"):
        if item.is_file():
            (folder / item.relative_to(source)).symlink_to(item.resolve())
    for name in ("config.json", "modules.json", "1_Pooling/config.json"):
        replace(folder / name, (source / name).read_bytes())
    assert quickrank.Encoder(folder).dimension == 384  # the copy as it is can be used
    change(folder)
    assert quickrank.rank_problem_descriptions("q", str(small), 1, str(folder)) == ["nearfind's"]
    assert handed_over == [("q", str(small), 1, str(folder))]


def run_fresh(code, **env):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          env={**os.environ, "HF_HUB_OFFLINE": "1", **env}, timeout=300)


def test_ranks_without_torch_and_loads_nothing_heavy_at_import(small):
    out = run_fresh(f"""
        import json, sys
        from vormo import quickrank
        loaded_at_import = [m for m in ("numpy", "tokenizers", "torch") if m in sys.modules]
        out = quickrank.rank_problem_descriptions("vans", {str(small)!r}, 1)
        print(json.dumps([loaded_at_import, out[0]["path"],
                          [m for m in ("torch", "sentence_transformers", "transformers") if m in sys.modules]]))
    """)
    assert out.returncode == 0, out.stderr
    assert json.loads(out.stdout) == [[], str(small / "c" / "routes.txt"), []]


def test_without_tokenizers_it_hands_over_to_nearfind(small):
    out = run_fresh(f"""
        import sys
        sys.modules["tokenizers"] = None      # as if the library were not installed
        from vormo import nearfind, quickrank
        nearfind.rank_problem_descriptions = lambda *a: ["handed over", a]
        print(quickrank.rank_problem_descriptions("vans", {str(small)!r}, 1))
    """)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == f"['handed over', ('vans', {str(small)!r}, 1, {MODEL!r})]"


# ----------------------------------------------------------------------------------------------
# The command line
# ----------------------------------------------------------------------------------------------

def test_the_command_line_ranks_with_it_and_restores_the_binding(small, monkeypatch, capsys):
    from vormo import cli, modelsmith

    seen = []

    def rank(*args, **kwargs):
        seen.append(modelsmith.rag_rank is rank)
        return [{"path": str(small / "c" / "routes.txt"), "score": 0.5, "preview": "Plan"}]

    monkeypatch.setattr(quickrank, "rank_problem_descriptions", rank)
    assert cli.main(["rank", "vans", "--models-dir", str(small), "--json"]) == 0
    assert seen == [True]
    assert json.loads(capsys.readouterr().out)[0]["score"] == 0.5
    assert modelsmith.rag_rank is nearfind.rank_problem_descriptions


def test_vormo_rank_end_to_end(small, own_cache):
    out = subprocess.run([sys.executable, "-m", "vormo", "rank", "delivery vans", "--models-dir", str(small), "--json"],
                         capture_output=True, text=True, env={**os.environ, "HF_HUB_OFFLINE": "1"}, timeout=300)
    assert out.returncode == 0, out.stderr
    assert json.loads(out.stdout)[0]["path"] == str(small / "c" / "routes.txt")
    assert len(list(own_cache.iterdir())) == 1
