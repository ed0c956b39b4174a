"""The command line's smaller promises: compile findings in the FILE:LINE:COLUMN form with a one-line
summary, refusals of senseless arguments before any work, a byte-order mark dropped, and worked
examples taken from the user's own folder."""

import json
import pathlib

import pytest

import vormo.modelsmith as ms
import vormo.tokenledger as tl
from servers import fake_server, openai_response, openai_server  # noqa: F401
from vormo import cli, replay

CHECKOUT = pathlib.Path(__file__).resolve().parent.parent
PRICING = str(CHECKOUT / "pricing_table.md")
REPLIES = replay.load_conversation()["replies"]


@pytest.fixture(autouse=True)
def local_pricing(monkeypatch):
    tl.clear_pricing_cache()
    monkeypatch.setattr(tl, "PRICING_URL", PRICING)
    yield
    tl.clear_pricing_cache()


def run(capsys, *argv):
    status = cli.main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return status, out, err


def write(folder, name, model, data):
    (folder / f"{name}.mod").write_text(model, encoding="utf-8")
    (folder / f"{name}.dat").write_text(data, encoding="utf-8")
    return folder / f"{name}.mod", folder / f"{name}.dat"


# ---- vormo compile -----------------------------------------------------------------------------

@pytest.mark.parametrize("model, data, where, message", [
    ("dvar float+ x;\nmaximize z: x +;\nsubject to { c: x <= 1; }\n", "", "m.mod:2:", "expected"),
    ("float a = ...;\ndvar float+ x;\nminimize z: a * y;\n", "a = 2;\n", "m.mod:3:", "'y'"),
    ("float a = ...;\ndvar float+ x;\nminimize z: a * x;\n", "a = ;\n", "m.dat:1:5:", "found ';'"),
    ("dvar float+ x;\nminimize z: x;\n", "\nb = 2;\n", "m.dat:2:", "'b'"),
])
def test_a_finding_names_file_line_and_column(capsys, tmp_path, model, data, where, message):
    code, out, _ = run(capsys, "compile", *write(tmp_path, "m", model, data))
    assert code == 1 and len(out.splitlines()) == 1
    place, _, text = out.partition(": ")
    assert (place + ":").startswith(str(tmp_path / where))
    assert message in text and not text.lower().startswith(("line ", "semantic error"))


@pytest.mark.parametrize("model, summary", [
    ("range I = 1..3;\ndvar boolean b[I];\ndvar float+ x;\ndvar int+ n;\nmaximize profit: x + n;\n"
     "subject to { c1: x <= 4; forall(i in I) { c2: b[i] <= 1; c3: n >= 0; } }\n",
     "OK: 3 variable declarations (1 boolean, 1 float+, 1 int+), 3 constraints, maximize profit"),
    ("dvar float x;\nsubject to { only: x >= 1; }\n",
     "OK: 1 variable declaration (1 float), 1 constraint, no objective (feasibility)"),
])
def test_ok_comes_with_a_one_line_summary(capsys, tmp_path, model, summary):
    code, out, err = run(capsys, "compile", *write(tmp_path, "m", model, ""))
    assert (code, out, err) == (0, summary + "\n", "")


def test_a_model_without_decision_variables_is_warned_about(capsys, tmp_path):
    code, out, err = run(capsys, "compile", "--json", *write(tmp_path, "m", "float a = 2;\nminimize z: a;\n", ""))
    assert code == 0 and json.loads(out)["variables"] == {}
    assert err == f"vormo: warning: {tmp_path / 'm.mod'} declares no decision variables (dvar): there is nothing to decide\n"


# ---- Refusals before any work ------------------------------------------------------------------

def test_rank_refuses_a_negative_count(capsys, monkeypatch):
    from vormo import nearfind

    monkeypatch.setattr(nearfind, "rank_problem_descriptions", lambda *a, **k: pytest.fail("ranked"))
    code, _, err = run(capsys, "rank", "parcels in a van", "-k", "-1")
    assert code == 2 and err == "vormo: error: -k must be 0 (all) or a positive number, not -1\n"


def test_demo_out_must_be_a_folder(capsys, tmp_path):
    (tmp_path / "file.txt").write_text("keep me")
    code, _, err = run(capsys, "demo", "--out", tmp_path / "file.txt")
    assert code == 2 and "--out expects a folder" in err
    assert (tmp_path / "file.txt").read_text() == "keep me"


@pytest.mark.parametrize("folder", ["missing", "a-file"])
def test_examples_dir_must_be_a_folder(capsys, openai_server, tmp_path, folder):
    (tmp_path / "a-file").write_text("")
    code, _, err = run(capsys, "solve", "Bake.", "-m", tmp_path / "p.mod", "-d", tmp_path / "p.dat",
                       "--examples-dir", tmp_path / folder)
    assert code == 2 and "--examples-dir" in err and "is not a folder" in err and openai_server.requests == []


# ---- What goes into the prompt ------------------------------------------------------------------

def test_a_byte_order_mark_is_dropped_from_the_description(capsys, openai_server, tmp_path):
    (tmp_path / "problem.txt").write_bytes("\ufeffBake bread.".encode("utf-8"))
    code, out, _ = run(capsys, "solve", "-f", tmp_path / "problem.txt", "-m", tmp_path / "p.mod",
                       "-d", tmp_path / "p.dat", "--no-few-shot", "--dry-run", "--json")
    prompt = json.loads(out)["prompt"]
    assert code == 0 and "Bake bread." in prompt and "\ufeff" not in prompt


def test_examples_dir_is_where_the_worked_examples_come_from(capsys, openai_server, monkeypatch, tmp_path):
    examples = tmp_path / "mine"
    examples.mkdir()
    seen = []
    original = ms._gather_few_shots

    def recording(problem_description, k=3, models_dir=None, progress=None):
        seen.append(models_dir)
        return [{"description": "My own bakery.", "model": "dvar float+ mine;", "data": ""}]

    monkeypatch.setattr(ms, "_gather_few_shots", recording)
    code, out, _ = run(capsys, "solve", "Bake.", "-m", tmp_path / "p.mod", "-d", tmp_path / "p.dat",
                       "--examples-dir", examples, "--dry-run", "--json")
    assert code == 0 and seen == [str(examples)]
    assert "dvar float+ mine;" in json.loads(out)["prompt"]
    assert ms._gather_few_shots is recording  # put back after the run
    assert original is not recording


# ---- Offline first; the key before the wait -----------------------------------------------------

def _cache(root, complete):
    repo = root / "hub" / "models--sentence-transformers--all-MiniLM-L6-v2"
    (repo / "snapshots" / "abc123").mkdir(parents=True)
    (repo / "refs").mkdir()
    (repo / "refs" / "main").write_text("abc123")
    if complete:
        (repo / "snapshots" / "abc123" / "config.json").write_text("{}")


@pytest.mark.parametrize("cached, offline, says_fetching", [(True, "1", False), (False, None, True)])
def test_a_cached_embedding_model_is_used_without_the_hub(capsys, monkeypatch, tmp_path, cached, offline,
                                                          says_fetching):
    from vormo import nearfind

    monkeypatch.delenv("HF_HUB_OFFLINE", raising=False)
    monkeypatch.delenv("HF_HUB_CACHE", raising=False)
    monkeypatch.delenv("HUGGINGFACE_HUB_CACHE", raising=False)
    monkeypatch.setenv("HF_HOME", str(tmp_path))
    _cache(tmp_path, cached)
    seen = []
    monkeypatch.setattr(nearfind, "rank_problem_descriptions",
                        lambda *a, **k: seen.append(__import__("os").environ.get("HF_HUB_OFFLINE")) or [])
    code, _, err = run(capsys, "rank", "parcels in a van")
    assert code == 0 and seen == [offline]
    assert ("is not in the local cache: fetching it from the hub" in err) == says_fetching
    assert "HF_HUB_OFFLINE" not in __import__("os").environ  # only for the command's own run


def test_a_missing_key_is_reported_before_the_examples_are_ranked(capsys, monkeypatch, tmp_path):
    monkeypatch.delenv("OPENAI_API_KEY", raising=False)
    monkeypatch.setattr(ms, "rag_rank", lambda *a, **k: pytest.fail("ranked before the key was checked"))
    code, _, err = run(capsys, "solve", "Bake.", "-m", tmp_path / "p.mod", "-d", tmp_path / "p.dat")
    assert code == 2 and err.splitlines()[-1].startswith("vormo: error: OPENAI_API_KEY is not set")


@pytest.mark.parametrize("model, few_shot", [("gemma3:4b", False), ("phi4", False), ("deepseek-r1", True),
                                             ("qwen2.5:7b", False)])
def test_a_local_model_sent_to_openai_without_a_key_suggests_ollama(capsys, monkeypatch, tmp_path, model, few_shot):
    monkeypatch.delenv("OPENAI_API_KEY", raising=False)
    monkeypatch.setattr(ms, "rag_rank", lambda *a, **k: pytest.fail("ranked before the key was checked"))
    code, _, err = run(capsys, "solve", "Bake.", "-m", tmp_path / "p.mod", "-d", tmp_path / "p.dat",
                       "--model-name", model, "--provider", "openai", *([] if few_shot else ["--no-few-shot"]))
    assert code == 2
    assert err.splitlines()[-1].startswith(f"vormo: error: {model} looks like a local model")
    assert "add --provider ollama" in err


def test_a_known_model_without_a_key_is_not_sent_to_ollama(capsys, monkeypatch, tmp_path):
    monkeypatch.delenv("OPENAI_API_KEY", raising=False)
    code, _, err = run(capsys, "solve", "Bake.", "-m", tmp_path / "p.mod", "-d", tmp_path / "p.dat",
                       "--model-name", "gpt-5-mini", "--no-few-shot")
    assert code == 2 and "--provider ollama" not in err and "OPENAI_API_KEY is not set" in err
