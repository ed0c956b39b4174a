"""Several candidates for one description: the real openai library against the fake server, with
one scripted conversation per candidate (two agree, one lacks a constraint, one never compiles)."""

import json
import os
import pathlib
import re
import threading

import pytest

from servers import Conversations, openai_response
from servers import fake_server, openai_server  # noqa: F401 - fixtures
from test_cli_end_to_end import PRICING, REPLIES, needs_runner, recorded_pair, vormo
from vormo import candidates as cand
from vormo import cli, tokenledger
import vormo.modelsmith as ms

MODEL, DATA = recorded_pair(2)
BROKEN_MODEL, BROKEN_DATA = recorded_pair(1)
WITHOUT_PROMISE = MODEL.replace("    promised: bake[p] >= minOrder[p];\n", "")
ALIGNED = REPLIES[2]["text"]
GPT5 = (1.25, 10.0)   # dollars per million prompt and completion tokens in the pricing table


def pair_text(model, data, marker):
    return "```json\n" + json.dumps({"model": f"// {marker}\n{model}", "data": data}) + "\n```"


def reply(text, tokens, delay):
    answer = openai_response(text, input_tokens=tokens, output_tokens=tokens // 10)
    answer.delay = delay
    return answer


def four_conversations(delay=1.0):
    """Marker -> replies, and the tokens each conversation is charged (prompt, completion)."""
    script = {
        "agree-first-try": [pair_text(MODEL, DATA, "agree-first-try"), ALIGNED],
        "agree-after-fix": [pair_text(BROKEN_MODEL, BROKEN_DATA, "agree-after-fix"),
                            pair_text(MODEL, DATA, "agree-after-fix"), ALIGNED],
        "no-promise": [pair_text(WITHOUT_PROMISE, DATA, "no-promise"), ALIGNED],
        # Two attempts and the final assessment (the last reply repeats).
        "never-compiles": [pair_text(BROKEN_MODEL, BROKEN_DATA, "never-compiles")],
    }
    tokens = {"agree-first-try": 1000, "agree-after-fix": 2000, "no-promise": 3000, "never-compiles": 4000}
    requests = {"agree-first-try": 2, "agree-after-fix": 3, "no-promise": 2, "never-compiles": 3}
    replies = {m: [reply(t, tokens[m], delay) for t in texts] for m, texts in script.items()}
    prompt = sum(tokens[m] * requests[m] for m in script)
    return replies, (prompt, prompt // 10), sum(requests.values())


def marker_of(path):
    return pathlib.Path(path).read_text().splitlines()[0][3:]


def test_four_candidates_on_the_command_line(openai_server, tmp_path):
    needs_runner()
    replies, (prompt, completion), request_count = four_conversations(delay=1.0)
    conversations = Conversations(replies)
    openai_server.script_with("POST", "/v1/responses", conversations)
    done = vormo("solve", "Plan the bakery's week.", "-m", "out/plan.mod", "-d", "out/plan.dat", "--run",
                 "--candidates", "4", "--iterations", "2", "--no-few-shot", "--pricing", PRICING, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    out = done.stdout

    # Every candidate has its own folder; which conversation it had shows in its model's first line.
    folder = tmp_path / "out/plan.candidates"
    assert all((folder / str(n) / "plan.mod").exists() for n in range(1, 5)), out + done.stderr
    number = {marker_of(folder / str(n) / "plan.mod"): n for n in range(1, 5)}
    assert sorted(number) == sorted(replies) and all((folder / str(n) / "plan.dat").exists() for n in range(1, 5))
    first, fixed, differs, broken = (number[m] for m in ("agree-first-try", "agree-after-fix", "no-promise",
                                                         "never-compiles"))

    # The agreeing pair that needed one attempt is the answer.
    assert out.startswith("2 of 4 candidates agree on 706.5\n")
    assert f"Chosen: candidate {first} → out/plan.mod, out/plan.dat" in out
    assert (tmp_path / "out/plan.mod").read_text() == f"// agree-first-try\n{MODEL}"
    assert (tmp_path / "out/plan.dat").read_text() == DATA
    # The group that differs says how; the one that never compiled gives its finding.
    assert f"1 candidate gives 840 (#{differs}):\n  constraints only in #{first}: promised\n" in out
    assert re.search(rf"^1 candidate does not compile \(#{broken}\):\n  VormoSyntaxError: line 32\b.*'bake'", out, re.M)
    rows = {line.split()[0]: line.split()[1:] for line in out.splitlines() if re.match(r"^\d\s", line)}
    assert rows[str(fixed)][:4] == ["optimal", "706.5", "yes", "2"]
    assert rows[str(broken)][:4] == ["compile_error", "-", "-", "2"]

    # The costs of all candidates, the failed one included, are summed.
    assert f"Tokens: {prompt:,} prompt + {completion:,} completion = {prompt + completion:,} (gpt-5)" in out
    cost = (GPT5[0] * prompt + GPT5[1] * completion) / 1e6
    assert f"Estimated cost: ${cost:.4f}" in out
    requests = openai_server.calls("POST", "/v1/responses")
    assert len(requests) == request_count

    # Concurrency: the four generation prompts (the requests that carry no model yet) were all
    # waiting for their 1 s replies at the same moment, so the candidates ran side by side.
    opening = [r for r in requests if not any(m in r.body.decode() for m in replies)]
    assert len(opening) == 4
    assert max(r.started for r in opening) < min(r.finished for r in opening)
    assert "[#1] Iteration 1/2: prompting model" in done.stderr


# ---- The Python operation ---------------------------------------------------------------------

EXAMPLES = sorted(pathlib.Path(cand.__file__).parent.joinpath("vormo_models").glob("*/*.txt"))[:5]


def opening_prompts(server, markers):
    """The generation prompts (requests with no model in them yet), in the order they arrived."""
    return [r.json["input"] for r in server.calls("POST", "/v1/responses")
            if not any(m in r.body.decode() for m in markers)]


@pytest.mark.parametrize("vary", [True, False])
def test_each_candidate_sees_its_own_window_of_the_examples(openai_server, tmp_path, monkeypatch, vary):
    needs_runner()
    asked = []

    def ranking(query, models_dir=None, top_k=10):
        asked.append((threading.current_thread().name, top_k))
        return [{"path": str(p), "score": 1.0 - i / 10, "preview": ""} for i, p in enumerate(EXAMPLES)][:top_k]

    monkeypatch.setattr(ms, "rag_rank", ranking)
    llm = ms._llm_generate_text
    replies, _, _ = four_conversations(delay=0.0)
    del replies["never-compiles"]
    conversations = Conversations(replies)
    openai_server.script_with("POST", "/v1/responses", conversations)
    outcome = cand.solve_candidates("Plan the bakery's week.", str(tmp_path / "plan.mod"), str(tmp_path / "plan.dat"),
                                    3, vary_examples=vary, iterations=2, model_name="gpt-5")

    # One ranking for all three, deep enough for every window.
    assert [k for _, k in asked] == [5 if vary else 3]
    number = {marker_of(r["model_file"]): r["number"] for r in outcome["candidates"]}
    for marker, prompt in zip(conversations.order, opening_prompts(openai_server, replies)):
        start = number[marker] - 1 if vary else 0
        seen = [p for p in EXAMPLES if p.read_text()[:80] in prompt]
        assert seen == EXAMPLES[start:start + 3]
    # The workflow's own names are back in place.
    assert ms.rag_rank is ranking and ms._llm_generate_text is llm

    agreement = outcome["agreement"]
    assert {k: agreement[k] for k in ("candidates", "agreeing", "objective")} == {
        "candidates": 3, "agreeing": 2, "objective": pytest.approx(706.5)}
    chosen = number["agree-first-try"]
    assert agreement["chosen"] == chosen
    assert [(g["status"], g["members"]) for g in agreement["groups"]] == [
        ("optimal", sorted([chosen, number["agree-after-fix"]])), ("optimal", [number["no-promise"]])]
    assert agreement["groups"][1]["differences"] == [f"constraints only in #{chosen}: promised"]
    for record in outcome["candidates"]:
        assert set(record["statistics"]) == {"iterations", "assessment", "syntax_errors", "cost"}
        assert record["usage"] == record["statistics"]["cost"]["usage"]
    assert (tmp_path / "plan.mod").read_text() == f"// agree-first-try\n{MODEL}"


def test_the_budget_stops_every_candidate_before_its_next_request(openai_server, tmp_path, monkeypatch):
    monkeypatch.setattr(tokenledger, "PRICING_URL", PRICING)
    replies = {m: [reply(pair_text(BROKEN_MODEL, BROKEN_DATA, m), 1000, 0.0)] for m in ("broken-1", "broken-2")}
    openai_server.script_with("POST", "/v1/responses", Conversations(replies))
    outcome = cand.solve_candidates("Bake.", str(tmp_path / "plan.mod"), str(tmp_path / "plan.dat"), 2,
                                    max_cost=0.0001, iterations=5, few_shot=False, model_name="gpt-5")
    # Both first requests went out before anything was spent; nothing after.
    assert len(openai_server.calls("POST", "/v1/responses")) == 2
    assert [r["status"] for r in outcome["candidates"]] == ["budget", "budget"]
    assert "the budget of $0.000100 is spent" in outcome["candidates"][0]["error"]
    assert outcome["cost"]["usage"] == {"prompt_tokens": 2000, "completion_tokens": 200}
    assert outcome["agreement"]["chosen"] is None and not (tmp_path / "plan.mod").exists()


def test_every_candidate_failing_the_same_way_is_one_error(monkeypatch, tmp_path, capsys):
    pytest.importorskip("openai")
    monkeypatch.setenv("OPENAI_API_KEY", "")
    status = cli.main(["-q", "solve", "Bake.", "-m", str(tmp_path / "p.mod"), "-d", str(tmp_path / "p.dat"),
                       "--run", "--candidates", "3", "--no-few-shot"])
    assert status == 2
    assert capsys.readouterr().err.strip().splitlines()[-1].startswith(
        "vormo: error: OPENAI_API_KEY is not set")


@pytest.mark.parametrize("argv, message", [
    (["--candidates", "1", "--run"], "--candidates needs at least 2, not 1"),
    (["--candidates", "3"], "--candidates compares the candidates' optima: add --run"),
    (["--candidates", "2", "--run", "--tolerance", "-1"], "--tolerance must be a finite number of at least 0"),
    (["--candidates", "2", "--run", "-d", "other/plan.mod"], "-m and -d need different file names"),
    (["--candidates", "2", "--run", "--time-limit", "0"], "--time-limit must be a number of seconds above 0"),
])
def test_command_line_refusals(tmp_path, capsys, argv, message):
    base = ["-q", "solve", "Bake.", "-m", "plan.mod", "-d", "plan.dat", "--no-few-shot"]
    os.chdir(tmp_path)
    assert cli.main(base + argv) == 2
    assert capsys.readouterr().err.startswith(f"vormo: error: {message}")
    assert not list(tmp_path.iterdir())


# ---- Agreement --------------------------------------------------------------------------------

# (status, objective, aligned, iterations) per candidate, numbered from 1 -> members of each group,
# the winning group first.
@pytest.mark.parametrize("records, tolerance, expected", [
    ([("optimal", 706.5, True, 1), ("optimal", 706.5000001, True, 1), ("optimal", 706.6, True, 1)],
     1e-6, [[1, 2], [3]]),
    ([("optimal", 706.5, True, 1), ("optimal", 706.5000001, True, 1), ("optimal", 706.6, True, 1)],
     1e-3, [[1, 2, 3]]),
    ([("optimal", 0.0, True, 1), ("optimal", 1e-9, True, 1), ("optimal", -1e-3, True, 1)], 1e-6, [[1, 2], [3]]),
    ([("optimal", -5e6, True, 1), ("optimal", -5.000001e6, True, 1)], 1e-6, [[1, 2]]),
    ([("infeasible", None, None, 1), ("infeasible", None, None, 1), ("optimal", 5.0, True, 3)],
     1e-6, [[3], [1, 2]]),
    ([("optimal", 10.0, False, 1), ("optimal", 20.0, True, 3)], 1e-6, [[2], [1]]),
    ([("optimal", 10.0, True, 3), ("optimal", 20.0, True, 1)], 1e-6, [[2], [1]]),
    ([("optimal", 10.0, True, 2), ("optimal", 20.0, True, 2)], 1e-6, [[1], [2]]),
    ([("optimal", None, True, 1), ("optimal", 3.0, True, 1), ("optimal", None, False, 1)], 1e-6, [[1, 3], [2]]),
    ([("compile_error", None, None, 5), ("optimal", 1.0, True, 1), ("compile_error", None, None, 5),
      ("error", None, None, None)], 1e-6, [[2], [1, 3], [4]]),
])
def test_grouping(records, tolerance, expected):
    recs = [{"number": n, "status": s, "objective": o, "aligned": a, "iterations": i}
            for n, (s, o, a, i) in enumerate(records, 1)]
    assert [g["members"] for g in cand.group_candidates(recs, tolerance)] == expected


# ---- What differs -----------------------------------------------------------------------------

@pytest.mark.parametrize("change, expected", [
    (("model", "    promised: bake[p] >= minOrder[p];\n", ""), ["constraints only in #1: promised"]),
    (("model", "promised:", "ordered:"), ["constraints only in #1: promised", "constraints only in #2: ordered"]),
    (("model", "promised:", ""), ["constraints only in #1: promised", "unlabelled constraints: 0 in #1, 1 in #2"]),
    (("model", "dvar int+ bake", "dvar float+ bake"), ["variable bake: int+[Products] in #1, float+[Products] in #2"]),
    (("data", "minOrder = [0, 100, 0, 0];", "minOrder = [0, 150, 0, 0];"),
     ["data minOrder: [0, 100, 0, 0] in #1, [0, 150, 0, 0] in #2"]),
    (("model", "maximize weeklyProfit", "minimize weeklyProfit"), ["objective: maximize in #1, minimize in #2"]),
    (("model", "bake[p] <= maxSales[p]", "bake[p] <= 2 * maxSales[p]"),
     ["same constraint labels, variables and data; the expressions differ"]),
    (("model", "dvar int+ bake[Products];", "dvar int+ bake[Products] >= 0;"), None),
])
def test_model_differences(change, expected):
    where, old, new = change
    model, data = MODEL, DATA
    assert (model if where == "model" else data).count(old) == 1
    if where == "model":
        model = model.replace(old, new)
    else:
        data = data.replace(old, new)
    lines = cand.model_differences((MODEL, DATA), (model, data))
    if expected is None:   # a pair that does not compile says so, with the compiler's finding
        assert len(lines) == 1 and re.match(r"#2 does not compile: line 31\b", lines[0])
    else:
        assert lines == expected


def test_long_differences_are_cut_short():
    data = DATA
    for name in ("maxSales = [400, 600, 60, 20];", "minOrder = [0, 100, 0, 0];", "available = [2400, 4200, 500];",
                 "profit = [2.4, 1.1, 9.5, 18];"):
        data = data.replace(name, name.replace("0", "7"))
    model = MODEL.replace("promised:", "ordered:").replace("maximize", "minimize")
    lines = cand.model_differences((MODEL, DATA), (model, data), limit=4)
    assert lines[:3] == ["objective: maximize in #1, minimize in #2", "constraints only in #1: promised",
                         "constraints only in #2: ordered"]
    assert lines[3] == "… and 3 more differences"   # maxSales, minOrder, available


def test_ctrl_c_ends_the_candidates_without_waiting_for_their_replies(openai_server, tmp_path):
    import signal
    import subprocess
    import sys
    import time

    replies = {m: [reply(pair_text(MODEL, DATA, m), 1000, 0.0), reply(ALIGNED, 1000, 120.0)]
               for m in ("slow-1", "slow-2")}
    openai_server.script_with("POST", "/v1/responses", Conversations(replies))
    env = {**os.environ, "HF_HUB_OFFLINE": "1"}
    child = subprocess.Popen([sys.executable, "-m", "vormo", "solve", "Bake.", "-m", "plan.mod", "-d", "plan.dat",
                              "--run", "--candidates", "2", "--no-few-shot", "--pricing", PRICING],
                             cwd=tmp_path, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        # Both candidates wait for their slow alignment replies.
        deadline = time.monotonic() + 60
        while len(openai_server.requests) < 4 and time.monotonic() < deadline and child.poll() is None:
            time.sleep(0.05)
        assert len(openai_server.requests) == 4
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=60)
    finally:
        if child.poll() is None:
            child.kill()
    assert child.returncode == 130, err
    assert "vormo: interrupted; the candidates' files so far are kept in plan.candidates/" in err
    assert "Traceback" not in err
    slow = [r for r in openai_server.requests if b"Assess whether the generated Vormo model" in r.body]
    assert len(slow) == 2 and all(r.finished is None for r in slow)   # the slow replies were not awaited
    for n in (1, 2):
        assert (tmp_path / f"plan.candidates/{n}/plan.mod").read_text().endswith(MODEL)
    assert not (tmp_path / "plan.mod").exists()


def test_json_carries_the_agreement_and_every_candidates_statistics(openai_server, tmp_path, capsys):
    needs_runner()
    replies, _, _ = four_conversations(delay=0.0)
    replies = {m: replies[m] for m in ("agree-first-try", "never-compiles")}
    openai_server.script_with("POST", "/v1/responses", Conversations(replies))
    status = cli.main(["-q", "--pricing", PRICING, "solve", "Bake.", "-m", str(tmp_path / "plan.mod"),
                       "-d", str(tmp_path / "plan.dat"), "--run", "--candidates", "2", "--iterations", "2",
                       "--no-few-shot", "--json"])
    assert status == 0
    record = json.loads(capsys.readouterr().out)
    agreement = record["agreement"]
    numbers = {marker_of(c["model_file"]): c["number"] for c in record["candidates"]}
    good, bad = numbers["agree-first-try"], numbers["never-compiles"]
    assert {k: agreement[k] for k in ("candidates", "agreeing", "objective", "chosen")} == {
        "candidates": 2, "agreeing": 1, "objective": 706.5, "chosen": good}
    assert [(g["status"], g["members"]) for g in agreement["groups"]] == [("optimal", [good]), ("compile_error", [bad])]
    assert re.match(r"VormoSyntaxError: line 32\b", agreement["groups"][1]["differences"][0])
    by_number = {c["number"]: c for c in record["candidates"]}
    assert by_number[good]["statistics"]["iterations"] == 1
    assert by_number[bad]["statistics"]["syntax_errors"] and by_number[bad]["solve"] is None
    assert record["solve"]["objective"] == 706.5
    assert record["cost"]["usage"] == {"prompt_tokens": 2 * 1000 + 3 * 4000, "completion_tokens": 200 + 1200}
    assert record["cost"]["estimated_costs"]["total_cost"] == pytest.approx(
        sum(c["estimated_costs"]["total_cost"] for c in record["candidates"]))


def test_no_optimum_writes_nothing_and_says_so(openai_server, tmp_path, capsys):
    replies = {m: [reply(pair_text(BROKEN_MODEL, BROKEN_DATA, m), 1000, 0.0)] for m in ("broken-1", "broken-2")}
    openai_server.script_with("POST", "/v1/responses", Conversations(replies))
    status = cli.main(["-q", "--pricing", PRICING, "solve", "Bake.", "-m", str(tmp_path / "plan.mod"),
                       "-d", str(tmp_path / "plan.dat"), "--run", "--candidates", "2", "--iterations", "1",
                       "--no-few-shot"])
    out = capsys.readouterr().out
    assert status == 1
    assert out.startswith(f"None of the 2 candidates reached an optimum; {tmp_path / 'plan.mod'} and "
                          f"{tmp_path / 'plan.dat'} are not written\n")
    assert "2 candidates do not compile (#1, #2):\n  VormoSyntaxError: line 32" in out
    assert not (tmp_path / "plan.mod").exists()


def test_an_unpriced_model_warns_that_the_budget_cannot_apply(openai_server, tmp_path, monkeypatch, caplog):
    monkeypatch.setattr(tokenledger, "PRICING_URL", PRICING)
    replies = {m: [reply(pair_text(BROKEN_MODEL, BROKEN_DATA, m), 1000, 0.0)] for m in ("broken-1", "broken-2")}
    openai_server.script_with("POST", "/v1/responses", Conversations(replies))
    outcome = cand.solve_candidates("Bake.", str(tmp_path / "plan.mod"), str(tmp_path / "plan.dat"), 2,
                                    max_cost=0.0001, iterations=2, few_shot=False, model_name="house-model-7")
    assert [r["status"] for r in outcome["candidates"]] == ["compile_error", "compile_error"]
    warnings = [r.getMessage() for r in caplog.records if "budget" in r.getMessage()]
    assert warnings == ["no price for 'house-model-7' in the pricing table: the budget of $0.000100 cannot be applied"]


def test_without_numpy_the_candidates_name_the_extra(openai_server, tmp_path, monkeypatch, capsys):
    fake = tmp_path / "shadow" / "numpy"
    fake.mkdir(parents=True)
    (fake / "__init__.py").write_text("raise ModuleNotFoundError(\"No module named 'numpy'\", name='numpy')\n")
    monkeypatch.setenv("PYTHONPATH", os.pathsep.join([str(tmp_path / "shadow"), os.environ.get("PYTHONPATH", "")]))
    replies, _, _ = four_conversations(delay=0.0)
    openai_server.script_with("POST", "/v1/responses", Conversations(
        {m: replies[m] for m in ("agree-first-try", "no-promise")}))
    status = cli.main(["-q", "--pricing", PRICING, "solve", "Bake.", "-m", str(tmp_path / "plan.mod"),
                       "-d", str(tmp_path / "plan.dat"), "--run", "--candidates", "2", "--no-few-shot"])
    assert status == 2
    assert "pip install 'vormo[solve]'" in capsys.readouterr().err
    assert not (tmp_path / "plan.mod").exists()
