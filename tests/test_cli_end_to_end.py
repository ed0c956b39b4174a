"""The vormo command in a child process, with the real client libraries talking to fake services on
127.0.0.1: a model with a compile fault, the corrected pair, the alignment verdict, then the optimum.
Also Ctrl-C during a slow reply, the demo with its recorded replies, and every error line."""

import json
import os
import pathlib
import re
import signal
import subprocess
import sys
import time

import pytest

from servers import ollama_generate, ollama_tags, openai_response
from servers import fake_server, ollama_server, openai_server  # noqa: F401 - fixtures
from vormo import replay
from vormo.vormo_kernel import VormoCompiler

CHECKOUT = pathlib.Path(__file__).resolve().parent.parent
PRICING = str(CHECKOUT / "pricing_table.md")
CONVERSATION = replay.load_conversation()
REPLIES = CONVERSATION["replies"]
PROMPT_TOKENS = sum(r["input_tokens"] for r in REPLIES)
COMPLETION_TOKENS = sum(r["output_tokens"] for r in REPLIES)
OPTIMUM = 706.5
ELAPSED = r"^\[\s*\d+\.\ds\] "


def vormo(*argv, cwd, env=None, timeout=180):
    """Run `python -m vormo` in a child process with the current environment (plus `env`)."""
    full_env = {**os.environ, "HF_HUB_OFFLINE": "1", **(env or {})}
    return subprocess.run([sys.executable, "-m", "vormo", *argv], cwd=cwd, env=full_env, capture_output=True,
                          text=True, timeout=timeout)


def recorded_pair(number):
    text = REPLIES[number - 1]["text"]
    obj = json.loads(text[text.index("```json") + 7:text.rindex("```")])
    return obj["model"], obj["data"]


def assert_compiles(model_file, data_file):
    VormoCompiler().compile_model(pathlib.Path(model_file).read_text(), pathlib.Path(data_file).read_text())


def needs_runner():
    pytest.importorskip("scipy")


def script_openai(server):
    server.script("POST", "/v1/responses", *[
        openai_response(r["text"], input_tokens=r["input_tokens"], output_tokens=r["output_tokens"])
        for r in REPLIES])


def assert_progress(err, provider_line):
    lines = [line for line in err.splitlines() if re.match(ELAPSED, line)]
    texts = [re.sub(ELAPSED, "", line) for line in lines]
    assert texts[0].startswith("Generating with provider=")
    expected = ["Iteration 1/5: prompting model", provider_line, "LLM response parsed (model + data)",
                "Compiling model and data", "Syntax/semantic errors found: 1; revising...",
                "Iteration 2/5: prompting model", "Checking alignment with original prompt...",
                "Aligned ✓ Stopping.", "Generation complete", "Solving the final model"]
    positions = [next(i for i, t in enumerate(texts) if t.startswith(e)) for e in expected]
    assert positions == sorted(positions)
    assert any(t.startswith("[LLM] Estimated costs: ") for t in texts)


def assert_summary(out, model_name):
    assert f"Tokens: {PROMPT_TOKENS:,} prompt + {COMPLETION_TOKENS:,} completion" in out
    assert f"({model_name})" in out
    table = dict(line.split(None, 1) for line in out.splitlines() if line.startswith(("status", "objective")))
    assert table == {"status": "optimal", "objective": str(OPTIMUM)}
    assert re.search(r"^bake\[croissant tray\]\s+59$", out, re.M)
    assert not re.search(r"^bake\[sourdough\]", out, re.M)   # zero values are not shown


def test_solve_run_with_openai(openai_server, tmp_path):
    needs_runner()
    script_openai(openai_server)
    (tmp_path / "problem.txt").write_text(replay_sample())
    done = vormo("solve", "-f", "problem.txt", "-m", "out/plan.mod", "-d", "out/plan.dat", "--run",
                 "--no-few-shot", "--pricing", PRICING, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert_compiles(tmp_path / "out/plan.mod", tmp_path / "out/plan.dat")
    assert ((tmp_path / "out/plan.mod").read_text(), (tmp_path / "out/plan.dat").read_text()) == recorded_pair(2)
    assert_progress(done.stderr, "[LLM] OpenAI • gpt-5: sending request")
    assert_summary(done.stdout, "gpt-5")
    cost = 1.25 * PROMPT_TOKENS / 1e6 + 10.0 * COMPLETION_TOKENS / 1e6
    assert f"Estimated cost: ${cost:.4f}" in done.stdout
    requests = openai_server.calls("POST", "/v1/responses")
    assert len(requests) == 3
    assert "line 31" in requests[1].json["input"]   # the finding went back to the model


def test_solve_run_json(openai_server, tmp_path):
    needs_runner()
    script_openai(openai_server)
    done = vormo("solve", replay_sample(), "-m", "plan.mod", "-d", "plan.dat", "--run", "--json",
                 "--no-few-shot", "--pricing", PRICING, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    record = json.loads(done.stdout)
    assert record["iterations"] == 2 and record["syntax_errors"] == []
    assert record["cost"]["usage"] == {"prompt_tokens": PROMPT_TOKENS, "completion_tokens": COMPLETION_TOKENS}
    assert record["cost"]["estimated_costs"]["total_cost"] == pytest.approx(
        1.25 * PROMPT_TOKENS / 1e6 + 10.0 * COMPLETION_TOKENS / 1e6)
    assert record["solve"]["status"] == "optimal"
    assert record["solve"]["objective"] == pytest.approx(OPTIMUM)
    assert record["solve"]["variables"]["bake[croissant tray]"] == 59


def test_solve_run_with_ollama(ollama_server, tmp_path):
    needs_runner()
    ollama_server.script("POST", "/api/generate", *[
        ollama_generate(r["text"], prompt_eval_count=r["input_tokens"], eval_count=r["output_tokens"])
        for r in REPLIES])
    done = vormo("solve", replay_sample(), "-m", "plan.mod", "-d", "plan.dat", "--provider", "ollama",
                 "--model-name", "llama3.1", "--run", "--no-few-shot", "--pricing", PRICING, cwd=tmp_path,
                 env={"OPENAI_API_KEY": ""})
    assert done.returncode == 0, done.stderr
    assert_compiles(tmp_path / "plan.mod", tmp_path / "plan.dat")
    assert_progress(done.stderr, "[LLM] Ollama • llama3.1: generating")
    assert_summary(done.stdout, "llama3.1")
    assert "Estimated cost: $0 (local)" in done.stdout  # an Ollama model runs on this machine
    sent = ollama_server.calls("POST", "/api/generate")
    assert [r.json["model"] for r in sent] == ["llama3.1"] * 3


def replay_sample():
    from importlib.resources import files
    return (files("vormo") / replay.DEMO_DIR / CONVERSATION["sample"]).read_text(encoding="utf-8")


def test_demo_replays_the_recording(tmp_path):
    needs_runner()
    pytest.importorskip("openai")
    # The walk through the README runs the demo with retrieval; here it is skipped to save time.
    done = vormo("demo", "--out", "demo-out", "--no-few-shot", cwd=tmp_path,
                 env={"OPENAI_API_KEY": "sk-real-looking-KEY-0042"})
    assert done.returncode == 0, done.stderr
    assert "recorded" in done.stderr and "127.0.0.1" in done.stderr
    for number in (1, 2, 3):
        assert f"replaying recorded reply {number} of 3" in done.stderr
    assert "(3 of 3 replayed)" in done.stderr
    assert re.search(r"finding on the first recorded reply, sent back to the model:\n  line 31\b.*'bake'", done.stderr)
    assert_compiles(tmp_path / "demo-out/bakery.mod", tmp_path / "demo-out/bakery.dat")
    assert_summary(done.stdout, "gpt-5")
    assert "Estimated cost: $0.0768" in done.stdout   # priced from the shipped snapshot, offline


def test_demo_live_needs_a_key(tmp_path):
    done = vormo("demo", "--live", cwd=tmp_path, env={"OPENAI_API_KEY": ""})
    assert done.returncode == 2
    assert done.stderr.splitlines()[-1].startswith("vormo: error: --live sends the sample to the OpenAI service "
                                                   "and needs OPENAI_API_KEY")


def test_demo_never_sends_the_users_key_and_restores_the_environment(tmp_path, monkeypatch):
    # In-process, with the workflow replaced by a probe of what it would see.
    import urllib.request

    import vormo.modelsmith as ms
    from vormo import cli

    seen = {}

    def probe(prompt, model_file, data_file, **kwargs):
        seen["key"] = os.environ["OPENAI_API_KEY"]
        seen["base"] = os.environ["OPENAI_BASE_URL"]
        with urllib.request.urlopen(seen["base"] + "/models") as resp:
            seen["models"] = json.load(resp)
        raise KeyboardInterrupt

    import vormo.tokenledger as tl

    pricing = tl.PRICING_URL
    monkeypatch.setenv("OPENAI_API_KEY", "sk-users-own-KEY-77")
    monkeypatch.delenv("OPENAI_BASE_URL", raising=False)
    monkeypatch.setattr(ms, "generative_solve", probe, raising=False)
    assert cli.main(["-q", "demo", "--out", str(tmp_path)]) == 130
    assert seen["key"] == "recorded-replies"
    assert re.fullmatch(r"http://127\.0\.0\.1:\d+/v1", seen["base"])
    assert [m["id"] for m in seen["models"]["data"]] == [CONVERSATION["model"]]
    assert os.environ["OPENAI_API_KEY"] == "sk-users-own-KEY-77"
    assert "OPENAI_BASE_URL" not in os.environ
    assert tl.PRICING_URL == pricing


def test_ctrl_c_during_a_slow_reply_keeps_the_last_attempt(tmp_path):
    pytest.importorskip("openai")
    slow = [REPLIES[0], dict(REPLIES[1], delay=60)]
    with replay.ReplayServer(slow) as server:
        env = {**os.environ, "OPENAI_BASE_URL": server.base_url, "OPENAI_API_KEY": "sk-test",
               "HF_HUB_OFFLINE": "1"}
        child = subprocess.Popen([sys.executable, "-m", "vormo", "solve", "Bake.", "-m", "plan.mod", "-d", "plan.dat",
                                  "--no-few-shot", "--pricing", PRICING], cwd=tmp_path, env=env,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            deadline = time.monotonic() + 60
            while len(server.requests) < 2 and time.monotonic() < deadline and child.poll() is None:
                time.sleep(0.05)
            assert len(server.requests) == 2, child.stderr.read() if child.poll() is not None else "no request"
            time.sleep(0.3)
            child.send_signal(signal.SIGINT)
            out, err = child.communicate(timeout=30)
        finally:
            if child.poll() is None:
                child.kill()
    assert child.returncode == 130, err
    assert "vormo: interrupted" in err and "Traceback" not in err
    assert "the files of the last attempt are kept: plan.mod, plan.dat" in err
    assert ((tmp_path / "plan.mod").read_text(), (tmp_path / "plan.dat").read_text()) == recorded_pair(1)


def test_models_lists_ollama(ollama_server, tmp_path):
    ollama_server.script("GET", "/api/tags", ollama_tags(["qwen2.5", "llama3:8b"]))
    done = vormo("models", "--model-name", "llama3", cwd=tmp_path)
    assert (done.returncode, done.stdout) == (0, "llama3:8b\nqwen2.5\n")


def test_feedback_writes_revisions_elsewhere(openai_server, tmp_path):
    model, data = recorded_pair(2)
    (tmp_path / "plan.mod").write_text(model)
    (tmp_path / "plan.dat").write_text(data)
    revised = data.replace("minOrder = [0, 100, 0, 0];", "minOrder = [0, 150, 0, 0];")
    reply = {"feedback": "Raise the cafe's order in the data.", "revised_data": revised}
    openai_server.script("POST", "/v1/responses", openai_response(json.dumps(reply)))
    done = vormo("feedback", "Can the cafe order grow to 150?", "-m", "plan.mod", "-d", "plan.dat",
                 "--write-revised", "rev", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("Raise the cafe's order in the data.")
    assert (tmp_path / "rev/plan.dat").read_text() == revised
    assert not (tmp_path / "rev/plan.mod").exists()
    assert (tmp_path / "plan.dat").read_text() == data
    # The originals' own folder is refused before any request.
    done = vormo("feedback", "Again?", "-m", "plan.mod", "-d", "plan.dat", "--write-revised", ".", cwd=tmp_path)
    assert done.returncode == 2
    assert "would overwrite the original plan.mod" in done.stderr
    assert len(openai_server.calls("POST", "/v1/responses")) == 1


# Every error row: exit status 2 and one line naming the fix, no traceback.
@pytest.mark.parametrize("case", ["missing key", "missing library", "unreadable file", "unusable reply",
                                  "unusable alignment reply", "unknown provider"])
def test_error_rows(openai_server, tmp_path, case):
    argv = ["solve", "Bake.", "-m", "plan.mod", "-d", "plan.dat", "--no-few-shot", "--pricing", PRICING]
    env = {}
    expected = {
        "missing key": "vormo: error: OPENAI_API_KEY is not set: export OPENAI_API_KEY=<your key>",
        "missing library": "vormo: error: openai is not installed: pip install 'vormo[openai]'",
        "unreadable file": "vormo: error: cannot read description file nowhere.txt: No such file or directory",
        "unusable reply": "vormo: error: the LLM's reply could not be used (Failed to parse model response as JSON",
        "unusable alignment reply": "vormo: error: the LLM's reply could not be used (Invalid alignment response JSON",
        "unknown provider": "vormo: error: unknown provider 'acme': use --provider openai, google (alias gemini) or ollama",
    }[case]
    prefix = []
    if case == "missing key":
        env["OPENAI_API_KEY"] = ""
    elif case == "missing library":
        # The package runs as usual; only the import of the client library fails.
        prefix = ["-c", "import sys; sys.modules['openai'] = None; from vormo.cli import main; "
                        "sys.exit(main(sys.argv[1:]))"]
    elif case == "unreadable file":
        argv = ["solve", "-f", "nowhere.txt"] + argv[2:]
    elif case == "unusable reply":
        openai_server.script("POST", "/v1/responses", openai_response("I would rather talk about the weather."))
    elif case == "unusable alignment reply":
        openai_server.script("POST", "/v1/responses", openai_response(REPLIES[1]["text"]),
                             openai_response('{"aligned": "yes", "assessment": "fine"}'))
    elif case == "unknown provider":
        argv += ["--provider", "acme"]
    if prefix:
        full_env = {**os.environ, **env}
        done = subprocess.run([sys.executable, *prefix, *argv], cwd=tmp_path, env=full_env, capture_output=True,
                              text=True, timeout=120)
    else:
        done = vormo(*argv, cwd=tmp_path, env=env)
    assert done.returncode == 2, done.stderr
    errors = [line for line in done.stderr.splitlines() if line.startswith("vormo: ")]
    assert len(errors) == 1 and errors[0].startswith(expected)
    assert "Traceback" not in done.stderr
    if case in ("unusable reply", "unusable alignment reply"):
        assert "the files of the last attempt are kept" in errors[0]
        assert "Spent before the run ended: Tokens: " in done.stderr  # the paid requests are reported
    if case == "unusable alignment reply":
        assert_compiles(tmp_path / "plan.mod", tmp_path / "plan.dat")


def test_console_script_and_module_entry_agree(tmp_path):
    script = pathlib.Path(sys.executable).parent / "vormo"
    assert script.exists()
    by_script = subprocess.run([str(script), "--version"], capture_output=True, text=True)
    by_module = vormo("--version", cwd=tmp_path)
    assert by_script.stdout == by_module.stdout and re.fullmatch(r"vormo \d+\.\d+\.\d+\n", by_script.stdout)
