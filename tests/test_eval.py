"""vormo.evaluate without an LLM: reading benchmarks, scoring optima, the optional steps, the options."""

import hashlib
import json
import re
import subprocess
import sys
import textwrap
import types

import pytest

from vormo import cli, evaluate


def write_jsonl(path, *objects):
    path.write_text("".join((o if isinstance(o, str) else json.dumps(o)) + "\n" for o in objects))
    return path


# Layouts and answers of a JSON-lines benchmark: (line, expected answer or None when skipped).
@pytest.mark.parametrize("line, expected", [
    ({"question": "q", "answer": 12}, 12.0),
    ({"en_question": "q", "en_answer": "12.5"}, 12.5),
    ({"Question": "q", "Answer": "-3e2"}, -300.0),
    ({"question": "q", "answer": " 1,250.75 "}, 1250.75),
    ({"question": "q", "answer": 0}, 0.0),
    ({"question": "q", "answer": "about 12"}, None),
    ({"question": "q", "answer": None}, None),
    ({"question": "q", "answer": True}, None),
    ({"question": "q", "answer": "NaN"}, None),
    ({"question": "q", "answer": float("inf")}, None),
    ({"question": "q"}, None),
    ({"question": "  ", "answer": 3}, None),
    ({"problem": "q", "answer": 3}, None),
])
def test_jsonl_layouts(tmp_path, line, expected):
    path = write_jsonl(tmp_path / "b.jsonl", {"question": "anchor", "answer": 1}, line)
    cases, skipped = evaluate.load_cases(path)
    if expected is None:
        assert (len(cases), skipped) == (1, 1)
    else:
        assert (skipped, cases[1]["expected"], cases[1]["text"]) == (0, expected, "q")


def test_jsonl_ids_come_from_the_line_or_its_number(tmp_path):
    path = write_jsonl(tmp_path / "b.jsonl", {"question": "a", "answer": 1}, "",
                       {"id": "p7", "question": "b", "answer": 2}, {"id": 9, "question": "c", "answer": 3})
    assert [c["id"] for c in evaluate.load_cases(path)[0]] == ["1", "p7", "9"]


@pytest.mark.parametrize("content, fragment", [
    ('{"question": "a", "answer": 1}\nnot json\n', "line 2 of"),
    ('[1, 2]\n', "line 1 of"),
    ('{"id": "x", "question": "a", "answer": 1}\n{"id": "x", "question": "b", "answer": 2}\n', "repeats the case id"),
])
def test_broken_jsonl_is_refused_with_its_line(tmp_path, content, fragment, capsys):
    (tmp_path / "b.jsonl").write_text(content)
    assert cli.main(["-q", "eval", str(tmp_path / "b.jsonl"), "--out", str(tmp_path / "r.jsonl")]) == 2
    assert fragment in capsys.readouterr().err


def test_folder_cases(tmp_path):
    (tmp_path / "a.txt").write_text("Plan a.")
    (tmp_path / "a.json").write_text('{"objective": 4.5}')
    (tmp_path / "b.txt").write_text("Plan b.")
    (tmp_path / "b.json").write_text('{"objective": "n/a"}')
    (tmp_path / "c.txt").write_text("Plan c.")                   # no answer file
    (tmp_path / "d.txt").write_text("Plan d.")
    (tmp_path / "d.json").write_text("{broken")
    (tmp_path / "notes.md").write_text("not a case")
    assert evaluate.load_cases(tmp_path) == ([{"id": "a", "text": "Plan a.", "expected": 4.5}], 3)


def test_the_shipped_benchmark_by_name(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    cases, skipped = evaluate.load_cases("starter")
    assert len(cases) >= 30 and skipped == 0
    (tmp_path / "starter").mkdir()                              # a folder of the user's own wins
    (tmp_path / "starter" / "mine.txt").write_text("Mine.")
    (tmp_path / "starter" / "mine.json").write_text('{"objective": 1}')
    assert [c["id"] for c in evaluate.load_cases("starter")[0]] == ["mine"]


# (objective, expected, tolerance, correct)
@pytest.mark.parametrize("objective, expected, tolerance, correct", [
    (100.0, 100.0, 1e-4, True),
    (100.009, 100.0, 1e-4, True),
    (100.011, 100.0, 1e-4, False),
    (-100.011, -100.0, 1e-4, False),
    (99.0, 100.0, 0.01, True),
    (1e-9, 0.0, 1e-4, True),                 # the absolute floor near 0
    (5e-5, 0.0, 1e-4, True),
    (2e-4, 0.0, 1e-4, False),
    (0.50009, 0.5, 1e-4, True),
    (0.5002, 0.5, 1e-4, False),
    (None, 0.0, 1e-4, False),
    (float("nan"), 0.0, 1e-4, False),
    (True, 1.0, 1e-4, False),
])
def test_correct_within_tolerance(objective, expected, tolerance, correct):
    assert evaluate.is_correct(objective, expected, tolerance) is correct


def test_sample_is_reproducible_and_keeps_file_order():
    cases = [{"id": str(i)} for i in range(20)]
    first = evaluate.select_cases(cases, sample=5, seed=7)
    assert first == evaluate.select_cases(cases, sample=5, seed=7)
    assert [int(c["id"]) for c in first] == sorted(int(c["id"]) for c in first)
    assert len(first) == 5 and first != evaluate.select_cases(cases, sample=5, seed=8)
    assert evaluate.select_cases(cases, sample=5, seed=7, limit=2) == first[:2]
    assert evaluate.select_cases(cases, limit=3) == cases[:3]


# Progress lines of one generation and what they say about the first attempt and the alignment.
START_ON = "Generating with provider=openai model=gpt-5 iterations=3 alignment=on"
START_OFF = "Generating with provider=openai model=gpt-5 iterations=3 alignment=off"
COMPILE, FINDING = "Compiling model and data", "Syntax/semantic errors found: 1; revising..."


@pytest.mark.parametrize("lines, compiled_first, aligned", [
    ([START_ON, COMPILE, "Checking alignment with original prompt...", "Aligned ✓ Stopping."], True, True),
    ([START_ON, COMPILE, FINDING, COMPILE, "Aligned ✓ Stopping."], False, True),
    ([START_ON, COMPILE, "Not aligned; revising per assessment", COMPILE, FINDING], True, False),
    ([START_OFF, COMPILE, "Syntax OK; alignment check disabled. Stopping."], True, None),
    ([START_ON], False, False),
    ([], False, None),
])
def test_what_the_progress_lines_tell(lines, compiled_first, aligned):
    watcher = evaluate._Watcher()
    for line in lines:
        watcher(line)
    assert watcher.compiled_first is compiled_first
    assert (watcher.aligned if watcher.alignment else None) == aligned


# ---- the optional steps --------------------------------------------------------------------------

PAIR_MODEL = "dvar float+ x;\nmaximize z: 2 * x;\nsubject to { cap: x <= 4; }\n"
INFEASIBLE = "dvar float+ x;\nmaximize z: 2 * x;\nsubject to { cap: x <= 4; low: x >= 5; }\n"


@pytest.mark.parametrize("option", ["--repair", "--candidates"])
def test_optional_steps_are_refused_without_their_module(tmp_path, monkeypatch, capsys, option):
    monkeypatch.setitem(sys.modules, "vormo.repair", None)        # import fails as if not installed
    monkeypatch.setitem(sys.modules, "vormo.candidates", None)
    write_jsonl(tmp_path / "b.jsonl", {"question": "q", "answer": 8})
    status = cli.main(["-q", "eval", str(tmp_path / "b.jsonl"), option, "2", "--out", str(tmp_path / "r.jsonl")])
    assert status == 2
    err = capsys.readouterr().err
    assert f"{option} needs vormo." in err and f"leave out {option}" in err
    assert not (tmp_path / "r.jsonl").exists()


def fake_module(monkeypatch, name, **functions):
    module = types.ModuleType(f"vormo.{name}")
    module.__dict__.update(functions)
    monkeypatch.setitem(sys.modules, f"vormo.{name}", module)
    return module


STATS = {"iterations": 2, "assessment": "", "syntax_errors": [],
         "cost": {"model": "gpt-5", "usage": {"prompt_tokens": 10, "completion_tokens": 5},
                  "estimated_costs": {"total_cost": 0.25}}}


def test_repair_is_asked_for_a_model_without_an_optimum(tmp_path, monkeypatch):
    pytest.importorskip("scipy")
    import vormo.modelsmith as ms

    calls = []

    def generative_solve(prompt, model_file, data_file, **kwargs):
        kwargs["progress"](START_ON)
        kwargs["progress"](COMPILE)
        kwargs["progress"]("Aligned ✓ Stopping.")
        open(model_file, "w").write(INFEASIBLE)
        open(data_file, "w").write("")
        return STATS

    # The signature of vormo.repair.repair: the diagnosis-driven rounds, solving with the caller's solve.
    def repair(description, model_file, data_file, result, *, solve, rounds=2, model_name="gpt-5", llm_provider=None,
               mode=None, temperature=None, alignment_check=False, progress=None):
        calls.append((description, result["status"], rounds, model_name, alignment_check))
        open(model_file, "w").write(PAIR_MODEL)
        return {"rounds": 1, "result": solve(model_file, data_file), "changed": True, "aligned": False,
                "cost": {"model": model_name, "usage": {"prompt_tokens": 3, "completion_tokens": 2},
                         "estimated_costs": {"total_cost": 0.5}}}

    monkeypatch.setattr(ms, "generative_solve", generative_solve)
    fake_module(monkeypatch, "repair", repair=repair, needs_repair=lambda r: r["status"] == "infeasible")
    config = evaluate.settings(few_shot=False, repair=1, work_dir=tmp_path)
    record = evaluate.run_case({"id": "c/1", "text": "Make x.", "expected": 8}, config)
    assert calls == [("Make x.", "infeasible", 1, "gpt-5", True)]
    assert {k: record[k] for k in ("case", "compiled", "iterations", "status", "objective", "correct", "tokens",
                                   "cost", "aligned", "repair_rounds")} == {
        "case": "c/1", "compiled": True, "iterations": 2, "status": "optimal", "objective": 8.0, "correct": True,
        "tokens": 20, "cost": 0.75, "aligned": False, "repair_rounds": 1}
    assert [p.name for p in tmp_path.iterdir()] == [f"c_1-{hashlib.sha1(b'c/1').hexdigest()[:8]}"]
    # A solved model is not repaired.
    monkeypatch.setattr(ms, "generative_solve", lambda p, m, d, **k: (open(m, "w").write(PAIR_MODEL),
                                                                      open(d, "w").write(""), STATS)[2])
    record = evaluate.run_case({"id": "ok", "text": "Make x.", "expected": 8}, config)
    assert len(calls) == 1 and "repair_rounds" not in record and record["correct"]


# Candidates as vormo.candidates.solve_candidates reports them: (chosen, members, expected record fields).
@pytest.mark.parametrize("chosen, members, expected", [
    (2, [{"number": 1, "status": "optimal", "objective": 7.0, "aligned": True, "iterations": 1},
         {"number": 2, "status": "optimal", "objective": 8.0, "aligned": True, "iterations": 3},
         {"number": 3, "status": "optimal", "objective": 8.0, "aligned": False, "iterations": 1}],
     {"status": "optimal", "objective": 8.0, "correct": True, "iterations": 3, "compiled_first": False,
      "aligned": True, "agreeing": 2, "error": None}),
    (None, [{"number": 1, "status": "compile_error", "objective": None, "aligned": False, "iterations": 2,
             "error": "line 3: expected ';'"},
            {"number": 2, "status": "infeasible", "objective": None, "aligned": True, "iterations": 1}],
     {"status": "compile_error", "objective": None, "correct": False, "iterations": 2, "compiled_first": True,
      "aligned": False, "agreeing": 0, "error": "line 3: expected ';'"}),
])
def test_candidates_give_the_agreed_optimum(tmp_path, monkeypatch, chosen, members, expected):
    seen = {}

    def solve_candidates(prompt, model_file, data_file, candidates=3, *, tolerance=1e-6, time_limit=60.0,
                         vary_examples=True, max_cost=None, max_workers=None, progress=None, **solve_kwargs):
        seen.update(solve_kwargs, candidates=candidates, time_limit=time_limit)
        for number in (1, 2):   # candidate 2's first attempt needs a revision, candidate 1's does not
            progress(f"[#{number}] {START_ON}")
            progress(f"[#{number}] {COMPILE}")
        progress(f"[#2] {FINDING}")
        return {"candidates": members,
                "agreement": {"candidates": candidates, "chosen": chosen, "agreeing": 2 if chosen else 0,
                              "objective": 8.0 if chosen else None, "groups": []},
                "cost": {"model": "gpt-5", "usage": {"prompt_tokens": 30, "completion_tokens": 12},
                         "estimated_costs": {"total_cost": 0.125}}}

    fake_module(monkeypatch, "candidates", solve_candidates=solve_candidates)
    config = evaluate.settings(few_shot=False, candidates=3, model_name="gpt-5", time_limit=9.0, work_dir=tmp_path)
    record = evaluate.run_case({"id": "k", "text": "Make x.", "expected": 8}, config)
    assert {k: record[k] for k in expected} == expected
    assert (record["tokens"], record["cost"]) == (42, 0.125)
    assert {k: seen[k] for k in ("candidates", "time_limit", "few_shot", "model_name")} == {
        "candidates": 3, "time_limit": 9.0, "few_shot": False, "model_name": "gpt-5"}
    assert "return_statistics" not in seen and "progress" not in seen


# A failing generation: with the alignment check on, the run was not aligned; with it off, nothing is said.
@pytest.mark.parametrize("start, aligned", [(START_ON, False), (START_OFF, None)])
def test_a_failing_generation_becomes_an_error_line(tmp_path, monkeypatch, start, aligned):
    import vormo.modelsmith as ms

    def broken(prompt, model_file, data_file, **kwargs):
        kwargs["progress"](start)
        raise RuntimeError("Failed to parse model response as JSON: Expecting value\nResponse: hello")

    monkeypatch.setattr(ms, "generative_solve", broken)
    record = evaluate.run_case({"id": "x", "text": "t", "expected": 1}, evaluate.settings(work_dir=tmp_path))
    assert record["status"] == "error" and record["correct"] is False and record["aligned"] is aligned
    assert record["error"] == "RuntimeError: Failed to parse model response as JSON: Expecting value"


# ---- options ---------------------------------------------------------------------------------------

@pytest.mark.parametrize("argv, fragment", [
    (["--jobs", "0"], "--jobs must be at least 1"),
    (["--iterations", "0"], "--iterations must be at least 1"),
    (["--limit", "-1"], "--limit must be at least 1"),
    (["--max-cost", "-1"], "--max-cost must be zero or more"),
    (["--candidates", "1"], "--candidates must be at least 2"),
    (["--seed", "3"], "--seed goes with --sample"),
    (["--provider", "acme"], "unknown provider"),
])
def test_options_are_checked_before_any_case(tmp_path, capsys, argv, fragment):
    write_jsonl(tmp_path / "b.jsonl", {"question": "q", "answer": 8})
    assert cli.main(["-q", "eval", str(tmp_path / "b.jsonl"), "--out", str(tmp_path / "r.jsonl"), *argv]) == 2
    assert fragment in capsys.readouterr().err
    assert not (tmp_path / "r.jsonl").exists()


def test_an_unreachable_scheduler_is_one_line(tmp_path):
    pytest.importorskip("dask.distributed")
    import os

    write_jsonl(tmp_path / "b.jsonl", {"question": "q", "answer": 8})
    env = {**os.environ, "DASK_DISTRIBUTED__COMM__TIMEOUTS__CONNECT": "2s"}
    done = subprocess.run([sys.executable, "-m", "vormo", "eval", "b.jsonl", "--dask", "tcp://127.0.0.1:9"],
                          cwd=tmp_path, env=env, capture_output=True, text=True, timeout=120)
    assert done.returncode == 2
    assert done.stderr.splitlines()[-1].startswith("vormo: error: cannot reach the Dask scheduler at tcp://127.0.0.1:9")


def test_compare_needs_two_files(tmp_path, capsys):
    assert cli.main(["eval", "compare", str(tmp_path / "a.jsonl")]) == 2
    assert "compare takes two results files" in capsys.readouterr().err


def test_loading_the_eval_command_stays_light():
    code = textwrap.dedent("""
        import json, sys
        import vormo.evaluate, vormo.cli
        vormo.cli.build_parser()
        print(json.dumps([m for m in ("dask", "distributed", "tqdm", "openai", "numpy", "scipy", "rich")
                          if m in sys.modules]))
    """)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd="/")
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout) == []


# ---- the driver, with the case runner replaced ---------------------------------------------------

class Terminal:
    """A text stream that says it is a terminal."""

    def __init__(self):
        self.parts = []

    def write(self, text):
        self.parts.append(text)

    def flush(self):
        pass

    def isatty(self):
        return True

    @property
    def text(self):
        return "".join(self.parts)


def scripted_cases(monkeypatch, outcomes):
    def run_case(case, config):
        correct, cost = outcomes[case["id"]]
        return {"case": case["id"], "compiled_first": True, "compiled": True, "iterations": 1, "aligned": True,
                "status": "optimal", "objective": 1.0, "expected": 1.0, "correct": correct, "tokens": 10,
                "cost": cost, "seconds": 0.1, "error": None}
    monkeypatch.setattr(evaluate, "run_case", run_case)
    return [{"id": name, "text": name, "expected": 1.0} for name in outcomes]


@pytest.mark.parametrize("tty", [True, False])
def test_progress_shows_cases_accuracy_and_cost(tmp_path, monkeypatch, tty):
    pytest.importorskip("tqdm")
    cases = scripted_cases(monkeypatch, {"a": (True, 0.5), "b": (False, 0.25)})
    stream = Terminal()
    if not tty:
        stream.isatty = lambda: False
    summary = evaluate.run_eval(cases, evaluate.settings(work_dir=tmp_path), tmp_path / "r.jsonl", stream=stream)
    assert (summary["cases"], summary["accuracy"], summary["cost"]) == (2, 0.5, 0.75)
    if tty:
        assert "2/2" in stream.text and "accuracy 50.0%, cost $0.7500" in stream.text
    else:
        assert stream.text.splitlines() == ["[1/2] a: correct; accuracy 100.0%, cost $0.5000",
                                            "[2/2] b: optimal; accuracy 50.0%, cost $0.7500"]
    quiet = Terminal()
    evaluate.run_eval(cases, evaluate.settings(work_dir=tmp_path), tmp_path / "q.jsonl", stream=quiet, progress=False)
    assert quiet.text == ""


def test_the_budget_counts_this_run_only(tmp_path, monkeypatch):
    cases = scripted_cases(monkeypatch, {"a": (True, 0.5), "b": (True, 0.5), "c": (True, 0.5), "d": (True, 0.5)})
    config = evaluate.settings(work_dir=tmp_path)
    out = tmp_path / "r.jsonl"
    first = evaluate.run_eval(cases, config, out, max_cost=0.6, progress=False)
    # 0.5 spent: not past 0.6, so a second case starts; then 1.0 is past it.
    assert (first["cases"], first["not_run"], first["budget_reached"]) == (2, 2, True)
    again = evaluate.run_eval(cases, config, out, max_cost=0.6, resume=True, progress=False)
    assert (again["cases"], again["not_run"]) == (4, 0)
    assert [json.loads(line)["case"] for line in out.read_text().splitlines()] == ["a", "b", "c", "d"]


def test_a_case_that_never_reports_back_becomes_an_error_line(tmp_path, monkeypatch):
    from concurrent.futures import ThreadPoolExecutor

    class Threads(evaluate._Pool):
        def __init__(self, jobs):
            self.executor = ThreadPoolExecutor(jobs)

        def submit(self, case, config):
            return self.executor.submit(work, case)

    def work(case):
        if case["id"] == "b":
            raise OSError("worker lost")
        return dict.fromkeys(evaluate.RECORD_KEYS, None) | {"case": case["id"], "correct": True, "cost": 0.1}

    monkeypatch.setattr(evaluate, "_Pool", Threads)
    cases = [{"id": name, "text": name, "expected": 2.0} for name in "abc"]
    summary = evaluate.run_eval(cases, evaluate.settings(work_dir=tmp_path), tmp_path / "r.jsonl", jobs=2,
                                progress=False)
    lines = {r["case"]: r for r in evaluate.read_results(tmp_path / "r.jsonl")}
    assert sorted(lines) == ["a", "b", "c"] and summary["cases"] == 3
    assert {k: lines["b"][k] for k in ("status", "expected", "correct", "error")} == {
        "status": "error", "expected": 2.0, "correct": False, "error": "OSError: worker lost"}


# A solved case's alignment as the progress lines tell it: on and agreed, on and never agreed, off.
@pytest.mark.parametrize("lines, aligned", [([START_ON, COMPILE, "Aligned ✓ Stopping."], True),
                                            ([START_ON, COMPILE, "Not aligned; revising per assessment"], False),
                                            ([START_OFF, COMPILE], None)])
def test_a_solved_case_reports_its_alignment(tmp_path, monkeypatch, lines, aligned):
    pytest.importorskip("scipy")
    import vormo.modelsmith as ms

    def generative_solve(prompt, model_file, data_file, **kwargs):
        for line in lines:
            kwargs["progress"](line)
        open(model_file, "w").write(PAIR_MODEL)
        open(data_file, "w").write("")
        return STATS

    monkeypatch.setattr(ms, "generative_solve", generative_solve)
    record = evaluate.run_case({"id": "a", "text": "Make x.", "expected": 8}, evaluate.settings(work_dir=tmp_path))
    assert (record["aligned"], record["correct"], record["compiled_first"]) == (aligned, True, True)


# The summary's total is a price only when the model has one.
@pytest.mark.parametrize("fields, shown", [({"priced": True, "priced_as": "gpt-5"}, "$0.0125"),
                                           ({"priced": True, "local": True}, "$0 (local)"),
                                           ({"priced": False}, "unpriced")])
def test_the_summary_says_when_the_cost_is_no_price(fields, shown):
    import io

    summary = {**evaluate.summarize([{"case": "1", "tokens": 10, "cost": 0.0125}]), **fields}
    out = io.StringIO()
    evaluate.print_summary(summary, out)
    assert [line.split(None, 2)[-1] for line in out.getvalue().splitlines() if line.startswith("total cost")] == \
        [shown]
