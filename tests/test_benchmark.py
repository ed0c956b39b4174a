"""The shipped starter benchmark: every case's optimum is that of a hand-written reference model.

The reference models live here, beside the tests, and are not shipped: a benchmark must not carry
its own answer key where the LLM's few-shot retrieval could find it.
"""

import json
import pathlib
import re
from collections import Counter
from importlib.resources import files

import pytest

from vormo import evaluate

STARTER = pathlib.Path(str(files("vormo") / "benchmarks" / "starter"))
REFS = pathlib.Path(__file__).resolve().parent / "benchmark_refs"
CORPUS = pathlib.Path(str(files("vormo") / "vormo_models"))
NAMES = sorted(p.stem for p in STARTER.glob("*.txt"))


def answer(name):
    return json.loads((STARTER / f"{name}.json").read_text())


@pytest.mark.parametrize("name", NAMES)
def test_reference_model_solves_to_the_shipped_optimum(name):
    pytest.importorskip("scipy")
    from vormo import runner

    result = runner.solve_files(REFS / f"{name}.mod", REFS / f"{name}.dat", time_limit=60)
    assert result["status"] == "optimal", result.get("message")
    assert evaluate.is_correct(result["objective"], answer(name)["objective"], 1e-6)


def test_the_benchmark_is_complete_and_spread():
    assert len(NAMES) >= 30
    assert sorted(p.stem for p in REFS.glob("*.mod")) == NAMES == sorted(p.stem for p in REFS.glob("*.dat"))
    cases, skipped = evaluate.load_cases(STARTER)
    assert (len(cases), skipped) == (len(NAMES), 0)
    families = Counter(answer(n)["family"] for n in NAMES)
    corpus_families = {p.name for p in CORPUS.iterdir() if p.is_dir()}
    assert set(families) <= corpus_families
    assert len(families) >= len(corpus_families) - 1
    levels = Counter(answer(n)["difficulty"] for n in NAMES)
    assert set(levels) == {"easy", "medium", "hard"} and min(levels.values()) >= 5
    with_tables = [n for n in NAMES if re.search(r"^\|.*\|\s*$", (STARTER / f"{n}.txt").read_text(), re.M)]
    assert len(with_tables) * 3 >= len(NAMES)


def shingles(text, size=8):
    words = re.findall(r"[a-z0-9]+", text.lower())
    return {" ".join(words[i:i + size]) for i in range(len(words) - size + 1)}


def test_no_description_is_shared_with_the_worked_examples():
    corpus = set()
    for path in CORPUS.glob("*/*.txt"):
        corpus |= shingles(path.read_text(encoding="utf-8"))
    for name in NAMES:
        shared = shingles((STARTER / f"{name}.txt").read_text()) & corpus
        assert not shared, (name, sorted(shared)[:3])


def test_no_reference_model_is_shipped():
    assert not list(STARTER.glob("*.mod")) and not list(STARTER.glob("*.dat"))
