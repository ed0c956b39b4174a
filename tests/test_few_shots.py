"""Worked examples for the prompts: ranking through the module's rag_rank, pairing and reading of
each candidate, skipped candidates, failed retrieval and the default example directory."""

import importlib.resources
import logging
import pathlib

import pytest

import vormo.modelsmith as ms

INSTALLED = pathlib.Path(str(importlib.resources.files("vormo").joinpath("vormo_models")))


class Ranking:
    """Replaces rag_rank: records its arguments and returns the given paths as ranking records."""

    def __init__(self, *paths, error=None):
        self.paths = [str(p) for p in paths]
        self.error = error
        self.calls = []

    def __call__(self, **kwargs):
        self.calls.append(kwargs)
        if self.error is not None:
            raise self.error
        return [{"path": p, "score": 1.0 - i / 10, "description": "..."} for i, p in enumerate(self.paths)]


@pytest.fixture
def ranking(monkeypatch):
    def install(*paths, error=None):
        rank = Ranking(*paths, error=error)
        monkeypatch.setattr(ms, "rag_rank", rank)
        return rank
    return install


@pytest.fixture
def log(caplog):
    caplog.set_level(logging.DEBUG, logger="vormo.modelsmith")
    return lambda: [r.getMessage() for r in caplog.records if r.name == "vormo.modelsmith"]


def example(folder, stem, description="A problem.", model="dvar float x;", data="n = 1;", pair=(True, True)):
    folder.mkdir(parents=True, exist_ok=True)
    (folder / f"{stem}.txt").write_text(description)
    if pair[0]:
        (folder / f"{stem}.mod").write_text(model)
    if pair[1]:
        (folder / f"{stem}.dat").write_text(data)
    return folder / f"{stem}.txt"


def test_ranks_the_shipped_corpus(ranking):
    """The real reading and pairing over the installed examples, ranked by a replaced rag_rank."""
    names = ["knapsack", "diet", "assignment"]
    rank = ranking(*(INSTALLED / n / f"{n}.txt" for n in names))
    messages = []
    shots = ms._gather_few_shots("Pack a plane.", progress=messages.append)
    assert rank.calls == [{"query": "Pack a plane.", "models_dir": str(INSTALLED), "top_k": 3}]
    assert messages == ["Retrieving few-shot examples (k=3)",
                        "Found 3 few-shot candidates: ['knapsack.txt', 'diet.txt', 'assignment.txt']"]
    assert [pathlib.Path(s["desc_path"]).stem for s in shots] == names
    for shot, name in zip(shots, names):
        assert list(shot) == ["description", "model", "data", "desc_path", "model_path", "data_path"]
        assert all(type(v) is str and v for v in shot.values())
        model_path, data_path = ms._find_pair_in_folder(pathlib.Path(shot["desc_path"]))
        assert (shot["model_path"], shot["data_path"]) == (str(model_path), str(data_path))
        for key, path_key in [("description", "desc_path"), ("model", "model_path"), ("data", "data_path")]:
            assert shot[key] == pathlib.Path(shot[path_key]).read_text().strip()
    # The records render as the prompts' worked examples.
    prompt = ms._build_generation_prompt("Pack a plane.", "", few_shots=shots)
    assert prompt.count("<example index=") == 3 and shots[0]["model"] in prompt


def test_skipped_candidates_are_not_replaced(ranking, tmp_path, log):
    first = example(tmp_path / "one", "first")
    second = example(tmp_path / "two", "second", pair=(True, False))
    third = example(tmp_path / "three", "third")
    fourth = example(tmp_path / "four", "fourth")
    ranking(first, second, third)
    shots = ms._gather_few_shots("q", 3, tmp_path)
    assert [s["desc_path"] for s in shots] == [str(first), str(third)]
    assert str(fourth) not in str(shots)
    assert not any(m.startswith("Skipping example") for m in log())


@pytest.mark.parametrize("content", [
    {"description": "   "}, {"model": "\n"}, {"data": ""},
])
def test_empty_texts_skip_the_candidate(ranking, tmp_path, content):
    kwargs = {"description": "d", "model": "m", "data": "x", **content}
    bad = example(tmp_path / "bad", "bad", **kwargs)
    good = example(tmp_path / "good", "good")
    ranking(bad, good)
    assert [s["desc_path"] for s in ms._gather_few_shots("q", 5, tmp_path)] == [str(good)]


@pytest.mark.parametrize("k, expected", [(0, 1), (-4, 1), (1, 1), (2, 2), (5, 3)])
def test_k_bounds_the_result(ranking, tmp_path, k, expected):
    paths = [example(tmp_path / n, n) for n in "abc"]
    rank = ranking(*paths)
    assert len(ms._gather_few_shots("q", k, str(tmp_path))) == expected
    assert rank.calls[0]["top_k"] == k


def test_failed_retrieval_means_no_examples(ranking, tmp_path, log):
    missing = tmp_path / "absent"
    ranking(error=FileNotFoundError(f"Models directory not found: {missing}"))
    messages = []
    assert ms._gather_few_shots("q", 2, missing, messages.append) == []
    assert messages == ["Retrieving few-shot examples (k=2)", "Few-shot retrieval failed; continuing without examples"]
    assert f"Few-shot retrieval skipped: Models directory not found: {missing}" in log()


@pytest.mark.parametrize("result", [None, 5, [{"score": 1.0}], ["not a record"]])
def test_unreadable_ranking_counts_as_failed_retrieval(monkeypatch, result, log):
    monkeypatch.setattr(ms, "rag_rank", lambda **kw: result)
    messages = []
    assert ms._gather_few_shots("q", progress=messages.append) == []
    assert messages[-1] == "Few-shot retrieval failed; continuing without examples"
    assert any(m.startswith("Few-shot retrieval skipped: ") for m in log())


def test_real_ranking_of_a_missing_directory_is_a_failed_retrieval(tmp_path):
    assert ms._gather_few_shots("q", 1, tmp_path / "absent") == []


@pytest.mark.parametrize("broken", ["pair", "read"])
def test_a_failing_candidate_is_skipped(ranking, monkeypatch, tmp_path, log, broken):
    paths = [example(tmp_path / n, n) for n in "ab"]
    ranking(*paths)
    if broken == "pair":
        real = ms._find_pair_in_folder
        monkeypatch.setattr(ms, "_find_pair_in_folder",
                            lambda p: (1, 2, 3) if p.stem == "a" else real(p))
        error = "too many values to unpack (expected 2)"
    else:
        real = ms._safe_read_text
        monkeypatch.setattr(ms, "_safe_read_text",
                            lambda p: (_ for _ in ()).throw(OSError("disk gone")) if p.stem == "a" else real(p))
        error = "disk gone"
    shots = ms._gather_few_shots("q", 2, tmp_path)
    assert [pathlib.Path(s["desc_path"]).stem for s in shots] == ["b"]
    assert f"Skipping example due to error: {error}" in log()


@pytest.mark.parametrize("interrupt", [KeyboardInterrupt, SystemExit])
@pytest.mark.parametrize("where", ["rank", "read"])
def test_interrupts_pass_through(ranking, monkeypatch, tmp_path, interrupt, where):
    if where == "rank":
        ranking(error=interrupt())
    else:
        ranking(example(tmp_path / "a", "a"))
        monkeypatch.setattr(ms, "_safe_read_text", lambda p: (_ for _ in ()).throw(interrupt()))
    with pytest.raises(interrupt):
        ms._gather_few_shots("q", 1, tmp_path)


def test_raising_progress_never_stops_retrieval(ranking, tmp_path):
    ranking(example(tmp_path / "a", "a"))

    def progress(msg):
        raise RuntimeError("broken sink")
    assert len(ms._gather_few_shots("q", 1, tmp_path, progress)) == 1


@pytest.mark.parametrize("kwargs, message", [
    ({"problem_description": None}, "Argument 'problem_description' has incorrect type (expected str, got NoneType)"),
    ({"problem_description": "q", "k": True}, "Argument 'k' has incorrect type (expected int, got bool)"),
    ({"problem_description": "q", "k": 2.0}, "Argument 'k' has incorrect type (expected int, got float)"),
    ({"problem_description": "q", "k": None}, "Argument 'k' has incorrect type (expected int, got NoneType)"),
])
def test_argument_types(monkeypatch, kwargs, message):
    monkeypatch.setattr(ms, "rag_rank", lambda **kw: pytest.fail("ranked"))
    with pytest.raises(TypeError) as info:
        ms._gather_few_shots(**kwargs)
    assert str(info.value) == message


def test_default_k_is_bound_at_load(ranking, monkeypatch):
    monkeypatch.setattr(ms, "FEW_SHOT_TOP_K", 1)
    rank = ranking()
    assert ms._gather_few_shots("q") == []
    assert rank.calls[0]["top_k"] == 3


def test_directory_beside_the_module_when_resources_fail(ranking, monkeypatch):
    def broken(package):
        raise ModuleNotFoundError(package)
    monkeypatch.setattr(importlib.resources, "files", broken)
    rank = ranking()
    ms._gather_few_shots("q")
    assert rank.calls[0]["models_dir"] == str(pathlib.Path(ms.__file__).parent / "vormo_models")


def test_candidate_message_for_no_hits(ranking):
    messages = []
    ranking()
    assert ms._gather_few_shots("q", 3, "x", messages.append) == []
    assert messages[-1] == "Found 0 few-shot candidates: []"
