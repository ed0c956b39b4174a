"""The command line under careless and hostile use: nothing overwritten, every check made before the
first paid request, honest exit statuses on a closed pipe, output that is safe for the terminal and
valid JSON, UTF-8 files whatever the locale, and vendor errors shown as one line to act on."""

import io
import json
import math
import os
import pathlib
import re
import subprocess
import sys

import pytest

import vormo.modelsmith as ms
import vormo.tokenledger as tl
from servers import FAKE_GEMINI_KEY, Reply, ollama_generate, openai_response  # noqa: F401
from servers import fake_server, gemini_server, ollama_server, openai_server  # noqa: F401 - fixtures
from vormo import cli, cliguard as guard, replay

CHECKOUT = pathlib.Path(__file__).resolve().parent.parent
PRICING = str(CHECKOUT / "pricing_table.md")
REPLIES = replay.load_conversation()["replies"]
INFEASIBLE = ("dvar float+ x;\nminimize z: x;\nsubject to { c: x <= -1; }\n", "")


def recorded_pair(number):
    obj = ms._json_loads_relaxed(REPLIES[number - 1]["text"])
    return obj["model"], obj["data"]


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


def vormo_child(*argv, cwd, env=None, stdout=subprocess.PIPE, stdin_text=None, timeout=180):
    full_env = {**os.environ, "HF_HUB_OFFLINE": "1", **(env or {})}
    return subprocess.run([sys.executable, "-m", "vormo", *map(str, argv)], cwd=cwd, env=full_env, stdout=stdout,
                          stderr=subprocess.PIPE, timeout=timeout,
                          input=None if stdin_text is None else stdin_text.encode("utf-8"))


class Recorder:
    """Stands in for a paid operation: records each call and writes the given pair."""

    def __init__(self, pair=None, result=None):
        self.calls = []
        self.pair = pair or recorded_pair(2)
        self.result = result

    def solve(self, prompt, model_file, data_file, **kwargs):
        self.calls.append((prompt, model_file, data_file))
        pathlib.Path(model_file).write_text(self.pair[0], encoding="utf-8")
        pathlib.Path(data_file).write_text(self.pair[1], encoding="utf-8")
        kwargs["progress"]("Wrote files: " + model_file + " \u2022 " + data_file)
        return {"iterations": 1, "assessment": "Fits.", "syntax_errors": [],
                "cost": {"model": "gpt-5", "usage": {}, "estimated_costs": {}}}

    def feedback(self, question, model_file, data_file, **kwargs):
        self.calls.append((question, model_file, data_file))
        return dict(self.result or {"feedback": "Looks fine."})


@pytest.fixture
def paid(monkeypatch):
    recorder = Recorder()
    monkeypatch.setattr(ms, "generative_solve", recorder.solve, raising=False)
    monkeypatch.setattr(ms, "generative_feedback", recorder.feedback, raising=False)
    return recorder


def make_pair(folder, name="plan", pair=None):
    model, data = pair or recorded_pair(2)
    folder.mkdir(parents=True, exist_ok=True)
    (folder / f"{name}.mod").write_text(model)
    (folder / f"{name}.dat").write_text(data)
    return folder / f"{name}.mod", folder / f"{name}.dat"


# ---- Inputs and outputs never overwritten; every check before the first request --------------

def _same_file_case(tmp_path, case):
    """argv (after "solve") naming one file twice, in the way the case says."""
    (tmp_path / "in").mkdir()
    desc = tmp_path / "in" / "problem.txt"
    desc.write_text("Bake bread and cakes.")
    out = tmp_path / "out"
    out.mkdir()
    if case == "model is data":
        return ["x", "-m", out / "a.mod", "-d", out / "a.mod"]
    if case == "model is data through ..":
        return ["x", "-m", out / "a.mod", "-d", out / ".." / "out" / "a.mod"]
    if case == "data is the description":
        return ["-f", desc, "-m", out / "a.mod", "-d", tmp_path / "in" / "." / "problem.txt"]
    if case == "model is a symlink to the description":
        (out / "link.mod").symlink_to(desc)
        return ["-f", desc, "-m", out / "link.mod", "-d", out / "a.dat"]
    if case == "model in a symlinked folder":
        (tmp_path / "alias").symlink_to(tmp_path / "in")
        return ["-f", desc, "-m", tmp_path / "alias" / "problem.txt", "-d", out / "a.dat"]
    if case == "data is a hard link to the model":
        (out / "a.mod").write_text("")
        os.link(out / "a.mod", out / "hard.dat")
        return ["x", "-m", out / "a.mod", "-d", out / "hard.dat"]
    raise AssertionError(case)


@pytest.mark.parametrize("case", ["model is data", "model is data through ..", "data is the description",
                                  "model is a symlink to the description", "model in a symlinked folder",
                                  "data is a hard link to the model"])
def test_solve_refuses_one_file_named_twice(capsys, paid, tmp_path, case):
    argv = _same_file_case(tmp_path, case)
    code, out, err = run(capsys, "solve", *argv)
    assert (code, out, paid.calls) == (2, "", [])
    assert err.startswith("vormo: error: ") and "name the same file: give each its own path" in err
    assert (tmp_path / "in" / "problem.txt").read_text() == "Bake bread and cakes."


def _bad_option_case(tmp_path, case):
    good = ["-m", tmp_path / "p.mod", "-d", tmp_path / "p.dat"]
    if case.startswith("time limit "):
        return ["solve", "x", *good, "--run", f"--time-limit={case.split()[-1]}"], "--time-limit must be a number"
    if case == "model is a folder":
        (tmp_path / "m").mkdir()
        return ["solve", "x", "-m", tmp_path / "m", "-d", tmp_path / "p.dat"], "is a folder"
    if case == "data folder is a file":
        (tmp_path / "f").write_text("")
        return ["solve", "x", "-m", tmp_path / "p.mod", "-d", tmp_path / "f" / "sub" / "p.dat"], "is not a folder"
    if case == "data is a FIFO":
        os.mkfifo(tmp_path / "p.dat")
        return ["solve", "x", *good], "is not a regular file"
    raise AssertionError(case)


@pytest.mark.parametrize("case", ["time limit nan", "time limit inf", "time limit -inf", "time limit 0",
                                  "time limit -1", "time limit 1e10", "model is a folder", "data folder is a file",
                                  "data is a FIFO"])
def test_solve_checks_options_and_paths_before_any_request(capsys, paid, tmp_path, case):
    argv, message = _bad_option_case(tmp_path, case)
    code, out, err = run(capsys, *argv)
    assert (code, out, paid.calls) == (2, "", [])
    assert err.startswith("vormo: error: ") and message in err and err.count("\n") == 1


@pytest.mark.skipif(hasattr(os, "geteuid") and os.geteuid() == 0, reason="the superuser may write anywhere")
def test_solve_refuses_an_unwritable_folder(capsys, paid, tmp_path):
    locked = tmp_path / "locked"
    locked.mkdir(mode=0o500)
    code, _, err = run(capsys, "solve", "x", "-m", locked / "p.mod", "-d", tmp_path / "p.dat")
    assert (code, paid.calls) == (2, []) and "not writable" in err


@pytest.mark.parametrize("command", [["run"], ["demo", "--out", "demo-out"]])
@pytest.mark.parametrize("limit", ["nan", "inf", "0", "-5", "1e12"])
def test_other_commands_check_the_time_limit_first(capsys, paid, tmp_path, monkeypatch, command, limit):
    monkeypatch.chdir(tmp_path)
    model, data = make_pair(tmp_path)
    argv = command + ([model, data] if command == ["run"] else []) + [f"--time-limit={limit}"]
    code, out, err = run(capsys, *argv)
    assert (code, out, paid.calls) == (2, "", [])
    assert "--time-limit must be a number of seconds above 0 and at most 1e9" in err
    assert not (tmp_path / "demo-out").exists()


def test_the_largest_time_limit_is_accepted(capsys, paid, tmp_path):
    code, _, err = run(capsys, "solve", "x", "-m", tmp_path / "p.mod", "-d", tmp_path / "p.dat",
                       "--time-limit", "1e9")
    assert code == 0, err
    assert len(paid.calls) == 1


def _revised_case(tmp_path, case):
    """(argv after the question, text expected in the error) for --write-revised."""
    model, data = make_pair(tmp_path / "orig")
    argv = ["-m", model, "-d", data, "--write-revised"]
    if case == "the originals' folder through a symlink":
        (tmp_path / "alias").symlink_to(tmp_path / "orig")
        return argv + [tmp_path / "alias"], "would overwrite the original"
    if case == "the originals' folder as dir/../dir":
        return argv + [tmp_path / "orig" / ".." / "orig"], "would overwrite the original"
    if case == "a revised file is a symlink to an original":
        (tmp_path / "rev").mkdir()
        (tmp_path / "rev" / "plan.dat").symlink_to(data)
        return argv + [tmp_path / "rev"], "would overwrite the original"
    if case == "the model and data share a base name":
        other = tmp_path / "other"
        other.mkdir()
        (other / "plan.mod").write_text(recorded_pair(2)[1])
        return ["-m", model, "-d", other / "plan.mod", "--write-revised", tmp_path / "rev"], "both named plan.mod"
    if case == "the folder is a file":
        (tmp_path / "rev").write_text("")
        return argv + [tmp_path / "rev"], "is not a folder"
    raise AssertionError(case)


@pytest.mark.parametrize("case", ["the originals' folder through a symlink", "the originals' folder as dir/../dir",
                                  "a revised file is a symlink to an original", "the model and data share a base name",
                                  "the folder is a file"])
def test_write_revised_never_overwrites(capsys, paid, tmp_path, case):
    argv, message = _revised_case(tmp_path, case)
    before = {p: p.read_bytes() for p in tmp_path.rglob("*") if p.is_file()}
    paid.result = {"feedback": "Change both.", "revised_model": "REVISED MODEL", "revised_data": "REVISED DATA"}
    code, out, err = run(capsys, "feedback", "Why?", *argv)
    assert (code, out, paid.calls) == (2, "", [])
    assert err.startswith("vormo: error: ") and message in err
    assert {p: p.read_bytes() for p in tmp_path.rglob("*") if p.is_file()} == before


def test_write_revised_replaces_a_symlink_instead_of_writing_through_it(capsys, paid, tmp_path):
    model, data = make_pair(tmp_path / "orig")
    elsewhere = tmp_path / "elsewhere.txt"
    elsewhere.write_text("keep me")
    (tmp_path / "rev").mkdir()
    (tmp_path / "rev" / "plan.mod").symlink_to(elsewhere)
    paid.result = {"feedback": "New model.", "revised_model": "REVISED MODEL"}
    code, out, err = run(capsys, "feedback", "Why?", "-m", model, "-d", data, "--write-revised", tmp_path / "rev")
    assert code == 0, err
    assert elsewhere.read_text() == "keep me"
    assert not (tmp_path / "rev" / "plan.mod").is_symlink()
    assert (tmp_path / "rev" / "plan.mod").read_text() == "REVISED MODEL"
    assert sorted(p.name for p in (tmp_path / "rev").iterdir()) == ["plan.mod"]


def test_a_second_run_on_the_same_outputs_is_refused(capsys, paid, tmp_path):
    model, data = tmp_path / "p.mod", tmp_path / "p.dat"
    with guard.output_lock(str(model), str(data)):
        assert (tmp_path / "p.mod.lock").exists()
        code, out, err = run(capsys, "solve", "x", "-m", model, "-d", tmp_path / "." / "p.dat")
        assert (code, out, paid.calls) == (2, "", [])
        assert "another vormo run is writing p.mod (lock file" in err
    assert not list(tmp_path.glob("*.lock"))
    code, _, err = run(capsys, "solve", "x", "-m", model, "-d", data)
    assert code == 0 and len(paid.calls) == 1, err
    assert not list(tmp_path.glob("*.lock"))


# ---- Exit statuses -----------------------------------------------------------------------------

@pytest.mark.parametrize("pair, run_it, status, expected", [
    (recorded_pair(2), True, 0, "optimal"),
    (INFEASIBLE, True, 1, "infeasible"),
    (INFEASIBLE, False, 0, None),
])
@pytest.mark.parametrize("as_json", [False, True])
def test_solve_run_status_follows_the_final_model(capsys, monkeypatch, tmp_path, pair, run_it, status, expected,
                                                  as_json):
    pytest.importorskip("scipy")
    recorder = Recorder(pair=pair)
    monkeypatch.setattr(ms, "generative_solve", recorder.solve, raising=False)
    # --repair 0: the exit status of the pair as generated, without the repair rounds' requests
    argv = ["solve", "x", "-m", tmp_path / "p.mod", "-d", tmp_path / "p.dat", "--repair", "0"] + ["--run"] * run_it
    code, out, err = run(capsys, *argv, *(["--json"] if as_json else []))
    assert code == status, err
    if as_json:
        assert (json.loads(out).get("solve") or {}).get("status") == expected
    elif expected:
        assert re.search(rf"^status\s+{expected}$", out, re.M)


def _pipe_case(tmp_path, case):
    good = make_pair(tmp_path, "good")
    bad = make_pair(tmp_path, "bad", pair=recorded_pair(1))
    infeasible = make_pair(tmp_path, "inf", pair=INFEASIBLE)
    return {
        "compile with a finding": (["compile", *bad], 1),
        "compile that passes": (["compile", *good], 0),
        "run infeasible": (["run", *infeasible], 1),
        "run optimal, long table": (["run", *good], 0),
        "missing file": (["compile", tmp_path / "nowhere.mod", good[1]], 2),
        "json with a finding": (["compile", "--json", *bad], 1),
    }[case]


# The reader of standard output is gone before the command writes (`vormo ... | head -0`).
@pytest.mark.parametrize("case", ["compile with a finding", "compile that passes", "run infeasible",
                                  "run optimal, long table", "missing file", "json with a finding"])
def test_a_closed_pipe_keeps_the_commands_status(tmp_path, case):
    argv, status = _pipe_case(tmp_path, case)
    if case.startswith("run"):
        pytest.importorskip("scipy")
    read_end, write_end = os.pipe()
    os.close(read_end)
    try:
        done = vormo_child(*argv, cwd=tmp_path, stdout=write_end)
    finally:
        os.close(write_end)
    err = done.stderr.decode()
    assert done.returncode == status, err
    assert "Traceback" not in err and "Exception ignored" not in err and "BrokenPipe" not in err


# ---- Output safe for the terminal and valid JSON -----------------------------------------------

@pytest.mark.parametrize("value, shown, notes", [
    ({"objective": math.inf, "status": "optimal"}, {"objective": None, "status": "optimal"}, ["objective was inf"]),
    ({"solve": {"variables": {"x": math.nan, "y": 2.5}}}, {"solve": {"variables": {"x": None, "y": 2.5}}},
     ["solve.variables.x was nan"]),
    ({"bounds": [1.0, -math.inf], "notes": ["earlier"]}, {"bounds": [1.0, None]}, ["earlier", "bounds[1] was -inf"]),
    ({"objective": 1e308, "n": 3}, {"objective": 1e308, "n": 3}, None),
    ([math.nan, 1], [None, 1], None),
])
def test_json_output_is_strict_and_ascii(value, shown, notes):
    buffer = io.StringIO()
    cli._emit_json(value, buffer)
    text = buffer.getvalue()
    assert text.isascii()

    def refuse(token):
        raise AssertionError(f"non-standard JSON token {token}")

    got = json.loads(text, parse_constant=refuse)
    if isinstance(got, dict):
        got_notes = got.pop("notes", None)
        shown = {k: v for k, v in shown.items() if k != "notes"}
        if notes is None:
            assert got_notes is None
        else:
            assert len(got_notes) == len(notes)
            assert all(g.startswith(n) for g, n in zip(got_notes, notes))
    assert got == shown


def test_json_keeps_control_characters_as_json_escapes(capsys, paid, tmp_path):
    model, data = make_pair(tmp_path)
    paid.result = {"feedback": f"Fine.{ESCAPES}\u00e9"}
    code, out, _ = run(capsys, "feedback", "Why?", "-m", model, "-d", data, "--json")
    assert code == 0 and out.isascii()
    assert json.loads(out)["feedback"] == f"Fine.{ESCAPES}\u00e9"


def test_json_names_an_undecodable_file_in_ascii(capsys, paid, tmp_path):
    name = os.fsdecode(b"plan-\xff.mod")
    code, out, _ = run(capsys, "solve", "x", "-m", str(tmp_path / name), "-d", tmp_path / "p.dat", "--json")
    assert code == 0 and out.isascii()
    assert json.loads(out)["model_file"] == str(tmp_path / name)


ESCAPES = "\x1b[2J\x1b]0;owned\x07\r\x9b31m\x00\x7f"
ESCAPED = "\\x1b[2J\\x1b]0;owned\\x07\\r\\x9b31m\\x00\\x7f"


@pytest.mark.parametrize("source", ["LLM feedback reply", "model name in a table", "file name and progress line",
                                    "error line"])
def test_control_characters_are_shown_escaped(capsys, paid, tmp_path, source):
    if source == "LLM feedback reply":
        model, data = make_pair(tmp_path)
        paid.result = {"feedback": f"Fine.{ESCAPES}"}
        argv = ["feedback", "Why?", "-m", model, "-d", data]
    elif source == "model name in a table":
        argv = ["cost", "--model", f"m{ESCAPES}", "--prompt-tokens", "1", "--completion-tokens", "1"]
    elif source == "file name and progress line":
        argv = ["solve", "x", "-m", tmp_path / f"p{ESCAPES.replace(chr(0), '')}.mod", "-d", tmp_path / "p.dat"]
    else:
        argv = ["compile", tmp_path / f"gone{ESCAPES.replace(chr(0), '')}.mod", tmp_path / "x.dat"]
    code, out, err = run(capsys, *argv)
    both = out + err
    assert not any(ch in both for ch in "\x1b\x07\r\x9b\x00\x7f")
    assert ESCAPED.replace("\\x00", "") in both.replace("\\x00", "")
    assert code == (2 if source == "error line" else 0), err


def test_text_output_survives_an_encoding_without_the_characters(tmp_path):
    done = vormo_child("cost", "--model", "\u6a21\u578b-\u2713", "--prompt-tokens", "1", "--completion-tokens", "1",
                       "--pricing", PRICING, cwd=tmp_path, env={"PYTHONIOENCODING": "cp1252"})
    assert done.returncode == 0, done.stderr
    out = done.stdout.decode("cp1252")
    assert "\\u6a21\\u578b-\\u2713" in out


# ---- Vendor errors: one line naming the fix, never the key ---------------------------------------

def test_gemini_error_with_the_key_is_a_redacted_usage_error(capsys, gemini_server, tmp_path):
    gemini_server.script("POST", "/v1beta/models/gemini-test:generateContent",
                         Reply(400, {"error": {"code": 400, "message": f"API key {FAKE_GEMINI_KEY} not valid.",
                                               "status": "INVALID_ARGUMENT"}}))
    code, out, err = run(capsys, "solve", "Bake.", "-m", tmp_path / "p.mod", "-d", tmp_path / "p.dat",
                         "--model-name", "gemini-test", "--no-few-shot", "--no-alignment")
    assert code == 2 and out == ""
    errors = [line for line in err.splitlines() if line.startswith("vormo: ")]
    assert len(errors) == 1 and errors[0].startswith("vormo: error: the Gemini service did not accept the API key (400 ")
    assert errors[0].endswith("set GEMINI_API_KEY to a valid key (export GEMINI_API_KEY=<your key>)")
    assert FAKE_GEMINI_KEY not in out + err


def test_gemini_error_without_the_key_is_a_usage_error_too(capsys, gemini_server, tmp_path):
    gemini_server.script("POST", "/v1beta/models/gemini-test:generateContent",
                         Reply(404, {"error": {"code": 404, "message": "models/gemini-test is not found.",
                                               "status": "NOT_FOUND"}}))
    code, _, err = run(capsys, "solve", "Bake.", "-m", tmp_path / "p.mod", "-d", tmp_path / "p.dat",
                       "--model-name", "gemini-test", "--no-few-shot", "--no-alignment")
    assert code == 2
    assert err.splitlines()[-1].startswith("vormo: error: the Gemini service has no such model (404 ")


@pytest.mark.parametrize("message", ["model 'llama9' not found, try pulling it first",
                                     'model "llama9" not found, try pulling it first'])
def test_an_ollama_model_not_pulled_names_the_pull(capsys, ollama_server, tmp_path, message):
    ollama_server.script("POST", "/api/generate", Reply(404, {"error": message}))
    code, out, err = run(capsys, "solve", "Bake.", "-m", tmp_path / "p.mod", "-d", tmp_path / "p.dat",
                         "--model-name", "llama9", "--no-few-shot", "--no-alignment")
    assert (code, out) == (2, "")
    assert err.splitlines()[-1] == ("vormo: error: the Ollama model llama9 is not available locally: "
                                    "run 'ollama pull llama9', or choose another --model-name "
                                    "('vormo models --provider ollama' lists the models pulled)")


@pytest.mark.parametrize("error", [RuntimeError, KeyError])
def test_error_lines_never_repeat_a_key(capsys, paid, monkeypatch, tmp_path, error):
    key = "sk-live-0123456789abcdef"
    monkeypatch.setenv("OPENAI_API_KEY", key)

    def failing(*args, **kwargs):
        raise error(f"the service said: bad key {key}")

    monkeypatch.setattr(ms, "generative_solve", failing)
    code, _, err = run(capsys, "solve", "x", "-m", tmp_path / "p.mod", "-d", tmp_path / "p.dat")
    assert code in (1, 2) and key not in err and "[redacted]" in err


# ---- UTF-8 whatever the locale -------------------------------------------------------------------

ASCII_LOCALE = {"LC_ALL": "C", "LANG": "C", "PYTHONUTF8": "0", "PYTHONCOERCECLOCALE": "0", "PYTHONIOENCODING": ""}


def test_files_are_utf8_under_an_ascii_locale(openai_server, tmp_path):
    model, data = recorded_pair(2)
    model = "// B\u00e4ckerei caf\u00e9 \u2013 plan\n" + model
    (tmp_path / "in").mkdir()
    (tmp_path / "in" / "plan.mod").write_text(model, encoding="utf-8")
    (tmp_path / "in" / "plan.dat").write_text(data, encoding="utf-8")
    reply = "```json\n" + json.dumps({"model": model, "data": data}) + "\n```"
    openai_server.script("POST", "/v1/responses", openai_response(reply),
                         openai_response(json.dumps({"feedback": "Gr\u00fc\u00dfe."})))
    done = vormo_child("solve", "-f", "-", "-m", "out/plan.mod", "-d", "out/plan.dat", "--no-few-shot",
                       "--no-alignment", "--pricing", PRICING, cwd=tmp_path, env=ASCII_LOCALE,
                       stdin_text="Plan the B\u00e4ckerei's week.")
    assert done.returncode == 0, done.stderr.decode(errors="replace")
    assert "B\u00e4ckerei's week" in json.dumps(openai_server.calls("POST", "/v1/responses")[0].json,
                                                  ensure_ascii=False)
    assert (tmp_path / "out" / "plan.mod").read_bytes().decode("utf-8") == model
    done = vormo_child("feedback", "Sch\u00f6n?", "-m", "in/plan.mod", "-d", "in/plan.dat", "--pricing", PRICING,
                       cwd=tmp_path, env=ASCII_LOCALE)
    assert done.returncode == 0, done.stderr.decode(errors="replace")
    assert done.stdout.decode("ascii").startswith("Gr\\xfc\\xdfe.\n\nTokens: 11 prompt + 7 completion")
    prompt = json.dumps(openai_server.calls("POST", "/v1/responses")[-1].json, ensure_ascii=False)
    assert "B\u00e4ckerei caf\u00e9" in prompt
