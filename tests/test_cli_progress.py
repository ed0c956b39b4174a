"""Progress people can follow: a heartbeat on a terminal while a reply is awaited (and nothing extra
anywhere else), each compiler finding in one line when it goes back to the LLM, money shown one way
in every output, and --max-cost holding the repair rounds too."""

import json
import os
import re
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from servers import fake_server, openai_response, openai_server  # noqa: F401
from test_cli_costs import PRICING, local_pricing, pair_reply, recorded_pair, run  # noqa: F401
from vormo import candidates, cli, evaluate, progress


# ---- The heartbeat -----------------------------------------------------------------------------

DRIVER = textwrap.dedent("""
    import sys
    from vormo import cli, progress
    progress.INTERVAL = 0.02   # beat often, so that a short wait shows it
    sys.exit(cli.main(sys.argv[1:]))
""")


def _read_all(fd, into, seen):
    while True:
        try:
            chunk = os.read(fd, 4096)
        except OSError:  # the terminal's other side closed
            return
        if not chunk:
            return
        into.extend(chunk)
        if b"waiting for the LLM's reply: " in into:
            seen.set()


@pytest.mark.parametrize("stderr_kind", ["pty", "pipe"])
def test_a_heartbeat_on_a_terminal_and_nothing_in_a_pipe(fake_server, tmp_path, stderr_kind):
    server = fake_server()
    release, seen = threading.Event(), threading.Event()
    replies = iter([pair_reply(recorded_pair(2)), openai_response("Fits the description.")])

    def answer(recorded):
        if not release.is_set():
            release.wait(120)  # the first reply waits for the test's word
        return next(replies)

    server.script_with("POST", "/v1/responses", answer)
    env = dict(os.environ, OPENAI_BASE_URL=server.url + "/v1", OPENAI_API_KEY="sk-test-heartbeat",
               NO_PROXY="127.0.0.1", no_proxy="127.0.0.1")
    argv = [sys.executable, "-c", DRIVER, "solve", "Bake bread.", "-m", str(tmp_path / "p.mod"), "-d",
            str(tmp_path / "p.dat"), "--no-few-shot", "--no-alignment", "--pricing", PRICING]
    captured = bytearray()
    if stderr_kind == "pty":
        master, slave = os.openpty()
        child = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=slave, env=env)
        os.close(slave)
        reader = threading.Thread(target=_read_all, args=(master, captured, seen), daemon=True)
        reader.start()
        assert seen.wait(180), bytes(captured)  # the heartbeat shows while the reply is held
    else:
        child = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
        reader = threading.Thread(target=_read_all, args=(child.stderr.fileno(), captured, seen), daemon=True)
        reader.start()
        while not server.calls("POST", "/v1/responses") and child.poll() is None:
            time.sleep(0.05)
        time.sleep(1.0)  # held for fifty beats: plenty of time to show one, were it wrongly on
    release.set()
    out, _ = child.communicate(timeout=300)
    reader.join(60)
    if stderr_kind == "pty":
        os.close(master)
    err = bytes(captured).decode("utf-8", "replace").replace("\r\n", "\n")
    assert child.returncode == 0, err
    assert b"Estimated cost: " in out
    if stderr_kind == "pipe":
        assert "\r" not in err and "waiting for" not in err and not seen.is_set()
        return
    # What stays on the screen: each line as the last carriage return left it.
    screen = [segment.rsplit("\r", 1)[-1] for segment in err.split("\n")]
    assert all(line.startswith("[") for line in screen if line.strip()), screen
    assert not any("waiting for" in line for line in screen)
    assert re.search(r"\r  waiting for the LLM's reply: \d+s", err)
    assert any("[LLM] OpenAI: response received" in line for line in screen)


def _drain(fd):
    os.set_blocking(fd, False)
    chunks = []
    while True:
        try:
            chunk = os.read(fd, 4096)
        except BlockingIOError:
            return b"".join(chunks).decode()
        chunks.append(chunk)


@pytest.mark.parametrize("enabled, terminal, shown", [(True, True, True), (False, True, False), (True, False, False)])
def test_the_heartbeat_needs_a_terminal_and_no_quiet(monkeypatch, enabled, terminal, shown):
    master, slave = os.openpty()
    elsewhere = os.open(os.devnull, os.O_WRONLY)
    try:
        stream = open(slave if terminal else elsewhere, "w", closefd=False)
        monkeypatch.setattr(sys, "stderr", stream)
        monkeypatch.setattr(progress, "INTERVAL", 0.01)
        beat = progress.Heartbeat()
        beat.enabled = enabled
        with beat.waiting("solving"):
            deadline = time.monotonic() + 30
            while enabled and terminal and not beat._shown and time.monotonic() < deadline:
                time.sleep(0.01)
        stream.flush()
        written = _drain(master) if shown else ""
        assert (beat._shown == 0) and ("solving: " in written) is shown
        if shown:  # cleared after: the last thing written blanks the line and returns to its start
            assert re.search(r"\r +\r$", written)
    finally:
        for fd in (master, slave, elsewhere):
            os.close(fd)


# ---- Compiler findings, one line each ----------------------------------------------------------

DATA_FAULT = ("float a = ...;\ndvar float+ x;\nminimize z: a * x;\n", "a = ;\n")
MODEL_FAULT = ("float a = ...;\ndvar float+ x;\nminimize z: a *\n  y;\n", "a = 2;\n")


def test_each_finding_goes_to_the_progress_lines_as_it_goes_back(capsys, openai_server, tmp_path):
    openai_server.script("POST", "/v1/responses", pair_reply(DATA_FAULT), pair_reply(MODEL_FAULT),
                         pair_reply(recorded_pair(2)), openai_response("Fine."))
    model, data = tmp_path / "p.mod", tmp_path / "p.dat"
    code, _, err = run(capsys, "solve", "Bake.", "-m", model, "-d", data, "--no-few-shot", "--no-alignment")
    assert code == 0
    shown = [line.split("] ", 1)[1] for line in err.splitlines() if "finding " in line]
    assert [s.split(": ", 1)[0] for s in shown] == ["  finding 1/1", "  finding 1/1"]
    assert shown[0].startswith(f"  finding 1/1: {data}:1:5: expected a number")
    assert shown[1].startswith(f"  finding 1/1: {model}:4: 'y' is used but not declared")
    # Each is the finding the next request carries back to the LLM.
    sent = [json.dumps(call.json) for call in openai_server.calls("POST", "/v1/responses")]
    assert "expected a number" in sent[1] and "'y' is used but not declared" in sent[2]


@pytest.mark.parametrize("finding, line", [
    ("line 2, column 16 of the model file: expected a value", "m.mod:2:16: expected a value"),
    ("VormoSyntaxError: line 1, column 5 of the data file: found ';'", "m.dat:1:5: found ';'"),
    ("Semantic Error (Line 3): 'y' is used\n  but not declared", "m.mod:3: 'y' is used but not declared"),
    ("line 7: unexpected end", "m.mod:7: unexpected end"),
    ("RecursionError: too deep", "RecursionError: too deep"),
    ("x" * 500, "x" * 239 + "\u2026"),
])
def test_a_finding_in_one_line(finding, line):
    assert progress.finding_line(finding, "m.mod", "m.dat") == line


# ---- Money, one way everywhere -----------------------------------------------------------------

def _amounts_well_formed(text):
    """Every dollar amount: four decimals, six below a cent; "$0" only as "$0 (local)"."""
    for found in re.finditer(r"\$[0-9][0-9.,eE+-]*", text):
        amount = found.group().rstrip(".,")
        if amount == "$0":
            assert text[found.end():].startswith(" (local)"), text
            continue
        whole, _, decimals = amount[1:].partition(".")
        value = float(amount[1:])
        assert whole.isdigit() and decimals.isdigit() and len(decimals) == (6 if 0 < value < 0.01 else 4), \
            (amount, text)


def _solve(request, capsys, tmp_path, *extra, replies=None):
    server = request.getfixturevalue("openai_server")
    server.script("POST", "/v1/responses", *(replies or [pair_reply(recorded_pair(2), input_tokens=1200,
                                                                     output_tokens=300)]))
    _, out, err = run(capsys, "solve", "Bake bread.", "-m", tmp_path / "p.mod", "-d", tmp_path / "p.dat",
                      "--no-few-shot", "--no-alignment", *extra)
    return out + err


def _feedback(request, capsys, tmp_path):
    server = request.getfixturevalue("openai_server")
    (tmp_path / "p.mod").write_text(recorded_pair(2)[0])
    (tmp_path / "p.dat").write_text(recorded_pair(2)[1])
    server.script("POST", "/v1/responses", openai_response(json.dumps({"feedback": "Fine."}), input_tokens=90000))
    _, out, err = run(capsys, "feedback", "Why?", "-m", tmp_path / "p.mod", "-d", tmp_path / "p.dat")
    return out + err


def _candidates_budget(request, capsys, tmp_path):
    shared = candidates._Run(2, False, 0.5, "gpt-5")
    shared.spent = 0.51
    with pytest.raises(candidates.BudgetSpent) as info:
        candidates._Candidate(shared, 1).before_request()
    return str(info.value)


def _eval_summary(request, capsys, tmp_path):
    evaluate.print_summary(evaluate.summarize([{"case": "a", "cost": 0.00123, "tokens": 10},
                                               {"case": "b", "cost": 0.5, "tokens": 10}]), sys.stdout)
    return capsys.readouterr().out


def _repaired(request, capsys, tmp_path, *extra):
    pytest.importorskip("scipy")
    pytest.importorskip("highspy")
    server = request.getfixturevalue("openai_server")
    _script_repair(server)
    _, out, err = run(capsys, "solve", DESCRIPTION, "-m", tmp_path / "p.mod", "-d", tmp_path / "p.dat",
                      "--no-few-shot", "--run", *extra)
    return out + err


SCENARIOS = {
    "cost": (lambda r, c, t: "".join(run(c, "cost", "--model", "gpt-5", "--prompt-tokens", 1000,
                                         "--completion-tokens", 100)[1:]), ["$0.002250"]),
    "cost unpriced": (lambda r, c, t: "".join(run(c, "cost", "--model", "my-own-model", "--prompt-tokens", 10,
                                                  "--completion-tokens", 1)[1:]), ["unpriced"]),
    "cost local": (lambda r, c, t: "".join(run(c, "cost", "--model", "llama3.1:8b", "--prompt-tokens", 10,
                                               "--completion-tokens", 1)[1:]), ["$0 (local)"]),
    "solve": (lambda r, c, t: _solve(r, c, t), ["Estimated cost: $0.", "[LLM] Estimated costs: $0."]),
    "solve unpriced": (lambda r, c, t: _solve(r, c, t, "--model-name", "my-own-model", "--provider", "openai"),
                       ["Estimated cost: unpriced", "[LLM] Estimated costs: unpriced"]),
    "dry run": (lambda r, c, t: _solve(r, c, t, "--dry-run"), ["Price per 1M tokens: $1.2500 prompt"]),
    "max cost": (lambda r, c, t: _solve(r, c, t, "--max-cost", "0.0001"), ["--max-cost $0.000100 reached"]),
    "feedback": (_feedback, ["Estimated cost: $0.1126"]),
    "candidates budget": (_candidates_budget, ["the budget of $0.5000 is spent ($0.5100 by all candidates)"]),
    "eval summary": (_eval_summary, ["$0.5012"]),
    "repair": (_repaired, ["completion tokens, estimated $0.004500)", "Run total, generation and repair: $0.1295"]),
    "repair unpriced": (lambda r, c, t: _repaired(r, c, t, "--model-name", "my-own-model", "--provider", "openai"),
                        ["completion tokens, estimated unpriced)", "Run total, generation and repair: unpriced"]),
}


@pytest.mark.parametrize("scenario", list(SCENARIOS))
def test_money_is_shown_one_way_in_every_output(request, capsys, tmp_path, scenario):
    produce, expected = SCENARIOS[scenario]
    text = produce(request, capsys, tmp_path)
    for fragment in expected:
        assert fragment in text, text
    _amounts_well_formed(text)
    if "unpriced" in scenario:
        assert "$" not in text


# ---- --max-cost covers the repair rounds --------------------------------------------------------

DESCRIPTION = "A bakery bakes bread (profit 3) and cake (profit 5): at least 4 trays, the oven holds 3."
INFEASIBLE = ('{string} P = ...;\nfloat profit[P] = ...;\ndvar float+ x[P];\nmaximize total: sum(p in P) '
              'profit[p] * x[p];\nsubject to {\n  need: sum(p in P) x[p] >= 4;\n  capacity: sum(p in P) x[p] <= 3;\n}\n')
FIXED = INFEASIBLE.replace(">= 4", ">= 2")
DATA = 'P = {"bread", "cake"};\nprofit = [3, 5];\n'


def _script_repair(server):
    verdict = json.dumps({"aligned": True, "assessment": "Matches."})
    # Generation and its alignment check spend $0.1125 + $0.0125 = $0.1250; the repair round and
    # its check $0.00225 each.
    server.script("POST", "/v1/responses",
                  openai_response(json.dumps({"model": INFEASIBLE, "data": DATA}), input_tokens=10_000,
                                  output_tokens=10_000),
                  openai_response(verdict, input_tokens=2_000, output_tokens=1_000),
                  openai_response(json.dumps({"model": FIXED, "data": DATA}), input_tokens=1000, output_tokens=100),
                  openai_response(verdict, input_tokens=1000, output_tokens=100))


# The repair round's prompt would take the run past $0.1251, not past $1.
@pytest.mark.parametrize("budget, stopped", [("0.1251", True), ("1", False)])
def test_max_cost_holds_the_repair_rounds_too(capsys, openai_server, tmp_path, budget, stopped):
    pytest.importorskip("scipy")
    pytest.importorskip("highspy")
    _script_repair(openai_server)
    model, data = tmp_path / "p.mod", tmp_path / "p.dat"
    code, out, err = run(capsys, "solve", DESCRIPTION, "-m", model, "-d", data, "--no-few-shot", "--run",
                         "--max-cost", budget)
    sent = openai_server.calls("POST", "/v1/responses")
    if stopped:
        assert code == 2 and len(sent) == 2 and out == ""
        errors = [line for line in err.splitlines() if line.startswith("vormo: error:")]
        assert len(errors) == 1 and "--max-cost $0.1251 reached: $0.1250 spent in 2 request(s)" in errors[0]
        assert model.read_text() == INFEASIBLE  # the files of the last attempt stay
        assert "files of the last attempt are kept" in err
    else:
        assert code == 0 and len(sent) == 4 and model.read_text() == FIXED
        assert "Run total, generation and repair: $0.1295" in out
