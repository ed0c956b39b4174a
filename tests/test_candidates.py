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
from vormo import cli
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
