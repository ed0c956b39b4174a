"""The generation loop driven end to end with a scripted LLM: progress messages, prompt choice,
temperatures, token totals, files, statistics, errors and the compiler contract."""

import logging
import pathlib

import pytest

import vormo.modelsmith as ms
from scripted_llm import PROVIDER, RecordingCompiler, ScriptedLLM, pair, reply, verdict
from vormo.faultnote import SemanticError
from vormo.vormo_kernel import VormoCompiler

CORPUS = pathlib.Path(ms.__file__).parent / "vormo_models"
GOOD_MODEL = (CORPUS / "knapsack" / "knapsack.mod").read_text()
GOOD_DATA = (CORPUS / "knapsack" / "knapsack.dat").read_text()
BAD_MODEL = GOOD_MODEL.replace("value[i] * load[i]", "value[i] * loadz[i]")
BUILDERS = ["_build_generation_prompt", "_build_revision_prompt_syntax", "_build_alignment_prompt",
            "_build_revision_prompt_alignment", "_build_final_assessment_prompt"]


class Run:
    """One generative_solve set-up: scripted LLM, recorded builders, estimate and progress."""

    def __init__(self, monkeypatch, tmp_path):
        self.monkeypatch = monkeypatch
        self.model_file = str(tmp_path / "out" / "model.mod")
        self.data_file = str(tmp_path / "out" / "model.dat")
        self.messages = []
        self.builders = []
        self.estimates = []
        monkeypatch.setattr(ms, "_get_grammar_implementation", lambda mode: "GRAMMAR")
        monkeypatch.setattr(ms, "_infer_provider", lambda llm_provider, model_name: PROVIDER, raising=False)
        monkeypatch.setattr(ms, "_estimate_costs", self.estimate)
        monkeypatch.setattr(ms, "rag_rank", self.no_ranking)
        for name in BUILDERS:
            monkeypatch.setattr(ms, name, self.recorded(name, getattr(ms, name)))

    def recorded(self, name, builder):
        def wrapper(*args, **kwargs):
            self.builders.append((name, args, kwargs))
            return builder(*args, **kwargs)
        return wrapper

    def estimate(self, args, usage):
        self.estimates.append((args.model, dict(usage)))
        return {"total_cost": 0.25}

    @staticmethod
    def no_ranking(**kwargs):
        raise FileNotFoundError("Models directory not found: nowhere")

    def script(self, *replies):
        self.llm = ScriptedLLM(*replies)
        self.monkeypatch.setattr(ms, "_llm_generate_text", self.llm, raising=False)
        return self.llm

    def compiler(self, *outcomes):
        compiler = RecordingCompiler(outcomes)
        self.monkeypatch.setattr(ms, "VormoCompiler", compiler)
        return compiler

    def __call__(self, prompt="Load the relief flight.", **kwargs):
        kwargs.setdefault("model_name", "m")
        kwargs.setdefault("progress", self.messages.append)
        kwargs.setdefault("few_shot", False)
        return ms.generative_solve(prompt, self.model_file, self.data_file, **kwargs)

    @property
    def chosen(self):
        return [name for name, _, _ in self.builders]

    def files(self):
        return (pathlib.Path(self.model_file).read_text(), pathlib.Path(self.data_file).read_text())


@pytest.fixture
def run(monkeypatch, tmp_path):
    return Run(monkeypatch, tmp_path)


def real_finding(model, data):
    try:
        VormoCompiler().compile_model(model, data)
    except SemanticError as e:
        return str(e)
    except Exception as e:
        return f"{type(e).__name__}: {e}"
    raise AssertionError("expected a compile finding")


# ---- The whole loop ----

def test_generation_revision_alignment_scenario(run):
    """Compile finding from the real compiler, syntax revision, not aligned, alignment revision,
    aligned: messages, prompts, temperatures, tokens and statistics."""
    revised_data = GOOD_DATA.replace("capacity = 400;", "capacity = 380;")
    llm = run.script(
        pair(BAD_MODEL, GOOD_DATA, prompt_tokens=100, completion_tokens=10),
        pair(GOOD_MODEL, GOOD_DATA, prompt_tokens=200, completion_tokens=20),
        verdict(False, "  The payload limit is 380 kg.  ", prompt_tokens=300, completion_tokens=30),
        pair(GOOD_MODEL, revised_data, prompt_tokens=400, completion_tokens=40),
        verdict(True, " Matches the description. ", prompt_tokens=500, completion_tokens=50),
    )
    stats = run(iterations=3, temperature=0.7, return_statistics=True)

    wrote = f"Wrote files: {run.model_file} \u2022 {run.data_file}"
    attempt = ["LLM response parsed (model + data)", "Compiling model and data", wrote]
    assert run.messages == [
        "Generating with provider=openai model=m iterations=3 alignment=on",
        "Iteration 1/3: prompting model", *attempt, "Syntax/semantic errors found: 1; revising...",
        "Iteration 2/3: prompting model", *attempt, "Checking alignment with original prompt...",
        "Not aligned; revising per assessment",
        "Iteration 3/3: prompting model", *attempt, "Checking alignment with original prompt...",
        "Aligned \u2713 Stopping.",
        "Generation complete",
        "[LLM] Estimated costs: {'model': 'm', 'usage': {'prompt_tokens': 1500, 'completion_tokens': 150}, "
        "'estimated_costs': {'total_cost': 0.25}}",
    ]
    assert run.chosen == ["_build_generation_prompt", "_build_revision_prompt_syntax", "_build_alignment_prompt",
                          "_build_revision_prompt_alignment", "_build_alignment_prompt"]
    assert llm.temperatures == [0.7, 0.7, 0.0, 0.7, 0.0]
    finding = real_finding(BAD_MODEL, GOOD_DATA)
    assert "loadz" in finding
    _, syntax_args, syntax_kwargs = run.builders[1]
    assert syntax_args == ("Load the relief flight.", "GRAMMAR", BAD_MODEL, GOOD_DATA, [finding])
    assert syntax_kwargs == {"few_shots": []}
    _, alignment_args, _ = run.builders[3]
    assert alignment_args[2] == "The payload limit is 380 kg."
    # Each request goes out as the prompt the previous step built.
    assert llm.calls[1]["input_text"].startswith("<role>") and "<errors>\n" + repr([finding]) in llm.calls[1]["input_text"]
    assert stats == {
        "iterations": 3,
        "assessment": "Matches the description.",
        "syntax_errors": [],
        "cost": {"model": "m", "usage": {"prompt_tokens": 1500, "completion_tokens": 150},
                 "estimated_costs": {"total_cost": 0.25}},
    }
    assert list(stats) == ["iterations", "assessment", "syntax_errors", "cost"]
    assert run.estimates == [("m", {"prompt_tokens": 1500, "completion_tokens": 150})]
    assert run.files() == (GOOD_MODEL, revised_data)


def test_every_llm_call_names_all_its_arguments(run, monkeypatch):
    monkeypatch.setattr(ms, "MAX_OUTPUT_TOKENS", 321)
    llm = run.script(pair("m", "d"), reply("Fine."))
    run.compiler(None)
    stop = ["END"]
    run(alignment_check=False, temperature=0.5, stop=stop, iterations=1)
    for call, temperature in zip(llm.calls, [0.5, 0.2]):
        assert set(call) == {"provider", "model_name", "input_text", "max_tokens", "temperature", "stop",
                             "progress", "capture_usage"}
        assert call["provider"] is PROVIDER and call["model_name"] == "m" and call["max_tokens"] == 321
        assert call["stop"] is stop and call["capture_usage"] is True and call["temperature"] == temperature
        assert call["progress"] == run.messages.append


@pytest.mark.parametrize("temperature, expected", [
    (0.7, [0.7, 0.0, 0.7, 0.0, 0.2]),
    (None, [None, None, None, None, None]),
])
def test_temperatures_of_generation_alignment_and_final_assessment(run, temperature, expected):
    llm = run.script(pair("m", "d"), verdict(False, "a"), pair("m", "d"), verdict(False, "b"), reply("final"))
    run.compiler(None, None)
    # Out of iterations while not aligned: no final assessment, the last verdict is kept.
    assert run(iterations=2, temperature=temperature) == "b"
    assert llm.temperatures == expected[:4]


@pytest.mark.parametrize("alignment_check, setting, aligned", [
    (None, True, True), (None, False, False), (False, True, False), (True, False, True),
    (0, True, False), ("yes", False, True),
])
def test_alignment_flag_and_setting(run, monkeypatch, alignment_check, setting, aligned):
    monkeypatch.setattr(ms, "ALIGNMENT_CHECK", setting)
    run.script(pair("m", "d"), verdict(True, "ok") if aligned else reply("  Final words.  "))
    run.compiler(None)
    result = run(alignment_check=alignment_check, temperature=0.3)
    assert run.messages[0].endswith("alignment=" + ("on" if aligned else "off"))
    if aligned:
        assert result == "ok" and run.chosen == ["_build_generation_prompt", "_build_alignment_prompt"]
    else:
        assert result == "Final words."
        assert "Syntax OK; alignment check disabled. Stopping." in run.messages
        assert run.messages[-3] == "Requesting final assessment"
        assert run.chosen == ["_build_generation_prompt", "_build_final_assessment_prompt"]
        assert run.llm.temperatures == [0.3, 0.2]


@pytest.mark.parametrize("iterations, runs", [
    ("3", 3), (0, 1), (-2, 1), ("many", 5), (None, 5), (2.9, 2), (True, 1), (10**40, 4), ([], 5),
])
def test_iteration_count_normalisation(run, iterations, runs):
    n = 4 if iterations == 10**40 else runs
    llm = run.script(*[pair(f"m{i}", f"d{i}") for i in range(n)], reply("assessment"))
    run.compiler(*[ValueError(f"bad {i}") for i in range(n)])
    if iterations == 10**40:
        llm.replies[-1] = KeyboardInterrupt()  # a huge count runs until stopped
        with pytest.raises(KeyboardInterrupt):
            run(iterations=iterations)
        assert run.messages[0] == f"Generating with provider=openai model=m iterations={10**40} alignment=on"
        return
    stats = run(iterations=iterations, return_statistics=True)
    assert len(llm.calls) == runs + 1
    assert f"Iteration {runs}/{runs}: prompting model" in run.messages
    assert stats["iterations"] == runs
    assert stats["syntax_errors"] == [f"ValueError: bad {runs - 1}"]
    assert stats["assessment"] == "assessment"
    assert run.files() == (f"m{runs - 1}", f"d{runs - 1}")


@pytest.mark.parametrize("setting, runs", [(2, 2), (0, 1), (-3, 1)])
def test_fallback_iteration_count_is_read_at_call_time(run, monkeypatch, setting, runs):
    monkeypatch.setattr(ms, "MAX_ITERATIONS", setting)
    llm = run.script(*[pair("m", "d")] * runs, reply("x"))
    run.compiler(*[ValueError("no")] * runs)
    assert run(iterations="many", return_statistics=True)["iterations"] == runs
    assert len(llm.calls) == runs + 1


def test_compile_failure_every_time_ends_with_final_assessment(run):
    llm = run.script(pair("m1", "d1"), pair("m2", "d2"), reply("   Still broken.\n"))
    run.compiler(SemanticError("first"), SemanticError("second", 7))
    stats = run(iterations=2, temperature=0.1, return_statistics=True)
    assert stats["iterations"] == 2 and stats["assessment"] == "Still broken."
    assert stats["syntax_errors"] == [str(SemanticError("second", 7))]
    name, args, _ = run.builders[-1]
    assert name == "_build_final_assessment_prompt" and args[-1] == stats["syntax_errors"]
    assert llm.temperatures == [0.1, 0.1, 0.2]


def test_final_assessment_uses_the_files_as_read_back(run):
    run.script(pair("model\r\ntext", "data"), reply(None))
    run.compiler(None)
    assert run(alignment_check=False) == ""
    _, args, _ = run.builders[-1]
    # Written as text and read back as text: the host's newline handling applies.
    assert args[2:4] == ("model\ntext", "data")


# ---- The compiler contract ----

@pytest.mark.parametrize("outcome, findings", [
    (False, []),
    ("anything", []),
    (SemanticError("Undeclared name 'x'", 4), [str(SemanticError("Undeclared name 'x'", 4))]),
    (ValueError("x"), ["ValueError: x"]),
    (KeyError("k"), ["KeyError: 'k'"]),
    (SyntaxError("unexpected ';'"), ["SyntaxError: unexpected ';'"]),
])
def test_compiler_outcomes(run, outcome, findings):
    run.script(pair("m", "d"), reply("assessed"))
    compiler = run.compiler(outcome)
    stats = run(alignment_check=False, return_statistics=True, iterations=1)
    assert stats["syntax_errors"] == findings
    assert compiler.seen == [("m", "d")]


def test_semantic_error_is_looked_up_on_the_module(run, monkeypatch):
    class Finding(Exception):
        pass
    monkeypatch.setattr(ms, "SemanticError", Finding)
    run.script(pair("m", "d"), reply("x"))
    run.compiler(Finding("plain text"))
    assert run(alignment_check=False, return_statistics=True, iterations=1)["syntax_errors"] == ["plain text"]


def test_fresh_compiler_every_iteration(run):
    run.script(*[pair("m", "d")] * 3, reply("x"))
    compiler = run.compiler(ValueError("a"), ValueError("b"), ValueError("c"))
    run(iterations=3)
    assert compiler.instances == 3


@pytest.mark.parametrize("interrupt", [KeyboardInterrupt, SystemExit])
def test_compiler_interrupt_is_never_caught(run, interrupt):
    run.script(pair("m", "d"))
    run.compiler(interrupt())
    with pytest.raises(interrupt):
        run()
    assert not pathlib.Path(run.model_file).exists()


# ---- Errors ----

@pytest.mark.parametrize("content, message", [
    ("", "Empty model response."),
    (None, "Empty model response."),
    ("not json", "Failed to parse model response as JSON: Expecting value: line 1 column 1 (char 0)\n"
                 "Response: not json"),
    ('{"model": "m"}', "Failed to parse model response as JSON: 'data'\nResponse: {\"model\": \"m\"}"),
    ("[1, 2]", "Failed to parse model response as JSON: Expected dict, got list\nResponse: [1, 2]"),
    ("null", "Failed to parse model response as JSON: 'NoneType' object is not subscriptable\nResponse: null"),
    ('{"model": 1, "data": "d"}',
     "Failed to parse model response as JSON: Expected str, got int\nResponse: {\"model\": 1, \"data\": \"d\"}"),
])
def test_unusable_generation_reply(run, content, message):
    run.script(pair("m0", "d0"), (content, {"prompt_tokens": 1}))
    run.compiler(ValueError("bad"))
    with pytest.raises(RuntimeError) as info:
        run(iterations=2)
    assert str(info.value) == message
    # The first attempt stays on disk; no final assessment and no cost report.
    assert run.files() == ("m0", "d0")
    assert "Generation complete" not in run.messages and len(run.llm.calls) == 2


@pytest.mark.parametrize("content, error, message", [
    ("", RuntimeError, "Empty alignment response."),
    ('{"aligned": "yes", "assessment": "x"}', RuntimeError,
     'Invalid alignment response JSON: {"aligned": "yes", "assessment": "x"}'),
    ('{"aligned": true}', RuntimeError, 'Invalid alignment response JSON: {"aligned": true}'),
    ('{"aligned": 1, "assessment": "x"}', RuntimeError, 'Invalid alignment response JSON: {"aligned": 1, "assessment": "x"}'),
    ("null", RuntimeError, "Invalid alignment response JSON: null"),
    ("[true]", TypeError, "Expected dict, got list"),
    ("nothing", ValueError, "Expecting value: line 1 column 1 (char 0)"),
])
def test_unusable_alignment_reply(run, content, error, message):
    run.script(pair("m", "d"), (content, {}))
    run.compiler(None)
    with pytest.raises(error) as info:
        run()
    assert str(info.value) == message
    assert run.files() == ("m", "d")


@pytest.mark.parametrize("kwargs, message", [
    ({"temperature": 1}, "Argument 'temperature' has incorrect type (expected float, got int)"),
    ({"stop": ("x",)}, "Argument 'stop' has incorrect type (expected list, got tuple)"),
    ({"llm_provider": 5}, "Argument 'llm_provider' has incorrect type (expected str, got int)"),
    ({"prompt": b"p"}, "Argument 'prompt' has incorrect type (expected str, got bytes)"),
    ({"model_name": None}, "Argument 'model_name' has incorrect type (expected str, got NoneType)"),
])
def test_argument_types_are_checked_before_any_work(run, monkeypatch, kwargs, message):
    monkeypatch.setattr(ms, "_get_grammar_implementation", lambda mode: pytest.fail("work was done"))
    run.script()
    with pytest.raises(TypeError) as info:
        run(**kwargs)
    assert str(info.value) == message


def test_paths_must_be_text(run):
    with pytest.raises(TypeError, match="Argument 'model_file' has incorrect type"):
        ms.generative_solve("p", pathlib.Path(run.model_file), run.data_file)


def test_invalid_mode_fails_first(run, monkeypatch):
    monkeypatch.undo()
    run.script()
    monkeypatch.setattr(ms, "_infer_provider", lambda *a: pytest.fail("provider chosen"), raising=False)
    with pytest.raises(ValueError, match="Invalid mode: BNF"):
        ms.generative_solve("p", run.model_file, run.data_file, mode="BNF")


def test_signature_and_defaults_bound_at_load(run, monkeypatch):
    with pytest.raises(TypeError):
        ms.generative_solve("p", "m", "d", "gpt", ms.Grammar.NONE, 1, False, None, None, None, None, None, False, 1)
    with pytest.raises(TypeError):
        ms.generative_solve("p", "m", "d", iteration=2)
    seen = []
    monkeypatch.setattr(ms, "_infer_provider", lambda llm_provider, model_name: seen.append(
        (llm_provider, model_name)) or PROVIDER)
    monkeypatch.setattr(ms, "_get_grammar_implementation", lambda mode: seen.append(mode) or "")
    for name, value in [("MODEL_NAME", "other"), ("LLM_PROVIDER", "google"), ("MAX_ITERATIONS", 1)]:
        monkeypatch.setattr(ms, name, value)
    llm = run.script(*[pair("m", "d")] * 5, reply("x"))
    run.compiler(*[ValueError("e")] * 5)
    ms.generative_solve("p", run.model_file, run.data_file, few_shot=False)
    assert seen == [ms.Grammar.BNF, ("openai", "gpt-5")]
    assert len(llm.calls) == 6 and llm.calls[0]["model_name"] == "gpt-5"


# ---- Progress ----

@pytest.mark.parametrize("where", ["callback", "llm"])
@pytest.mark.parametrize("interrupt", [KeyboardInterrupt, SystemExit])
def test_interrupts_pass_through(run, where, interrupt):
    if where == "callback":
        run.script(pair("m", "d"))

        def progress(msg):
            raise interrupt()
    else:
        run.script(interrupt())
        progress = None
    with pytest.raises(interrupt):
        run(progress=progress)


def test_raising_callback_never_breaks_the_operation(run):
    calls = []

    def progress(msg):
        calls.append(msg)
        raise RuntimeError("callback broke")
    run.script(pair("m", "d"), verdict(True, "ok"))
    run.compiler(None)
    assert run(progress=progress) == "ok"
    assert calls[-2] == "Generation complete"


def test_without_callback_messages_and_steps_go_to_the_debug_log(run, caplog):
    run.script(pair("m", "d"), pair("m", "d"), verdict(False, "off"), reply("x"))
    run.compiler(SemanticError("no"), None)
    with caplog.at_level(logging.DEBUG, logger="vormo.modelsmith"):
        run(progress=None, iterations=2)
    logged = [r.getMessage() for r in caplog.records if r.name == "vormo.modelsmith"]
    assert logged[:5] == ["Generating with provider=openai model=m iterations=2 alignment=on",
                          "Iteration 1/2", "Iteration 1/2: prompting model",
                          "LLM response parsed (model + data)", "Model and data generated."]
    for line in [f"Semantic error in model: {SemanticError('no')}", "Model or data has syntax errors; revising...",
                 "Model and data are syntactically valid but NOT aligned with the prompt. Assessment: off"]:
        assert line in logged
    assert logged.count("Checking alignment with original prompt...") == 2
    assert "Final assessment of model and data alignment..." not in logged


@pytest.mark.parametrize("progress, msg, error", [
    (None, 5, "Argument 'msg' has incorrect type (expected str, got int)"),
    (print, b"x", "Argument 'msg' has incorrect type (expected str, got bytes)"),
])
def test_notify_message_must_be_text(progress, msg, error):
    with pytest.raises(TypeError) as info:
        ms._notify(progress, msg)
    assert str(info.value) == error


class Falsy:
    def __bool__(self):
        return False

    def __call__(self, msg):
        raise AssertionError("a false callback is not called")


class BadTruth:
    def __bool__(self):
        raise ValueError("no truth")


@pytest.mark.parametrize("progress", [None, 0, "", Falsy(), BadTruth(), lambda m: 1 / 0])
def test_notify_never_fails(progress, caplog):
    with caplog.at_level(logging.DEBUG, logger="vormo.modelsmith"):
        assert ms._notify(progress, "50% done") is None
    if progress is None or progress in (0, "") or isinstance(progress, Falsy):
        assert [r.getMessage() for r in caplog.records] == ["50% done"]


# ---- Files ----

def test_directories_are_created_and_a_bare_name_writes_here(run, monkeypatch, tmp_path):
    monkeypatch.chdir(tmp_path)
    run.model_file = "bare.mod"
    run.data_file = str(tmp_path / "a" / "b" / "c.dat")
    (tmp_path / "a").mkdir()
    run.script(pair("m", "d"), verdict(True, "ok"))
    run.compiler(None)
    run()
    assert (tmp_path / "bare.mod").read_text() == "m" and (tmp_path / "a" / "b" / "c.dat").read_text() == "d"


def test_an_unwritable_attempt_leaves_the_previous_one_intact(run):
    run.script(pair("m0", "d0"), pair("m1", "d1\ud800"))
    run.compiler(ValueError("bad"))
    with pytest.raises(UnicodeEncodeError):
        run(iterations=2)
    assert run.files() == ("m0", "d0")


# ---- Few shots and cost ----

def test_few_shot_off_makes_no_retrieval_call(run, monkeypatch):
    monkeypatch.setattr(ms, "_gather_few_shots", lambda *a, **k: pytest.fail("retrieval"))
    run.script(pair("m", "d"), pair("m", "d"), verdict(False, "a"), pair("m", "d"), verdict(True, "b"))
    run.compiler(ValueError("x"))
    run(few_shot=False, iterations=3)
    with_shots = [kw for name, _, kw in run.builders if name != "_build_alignment_prompt"]
    assert with_shots == [{"few_shots": []}] * 3


def test_few_shot_request_and_failed_retrieval(run, monkeypatch):
    seen = []
    real = ms._gather_few_shots
    monkeypatch.setattr(ms, "FEW_SHOT_TOP_K", 2)
    monkeypatch.setattr(ms, "_gather_few_shots", lambda *a, **k: seen.append((a, k)) or real(*a, **k))
    run.script(pair("m", "d"), verdict(True, "ok"))
    run.compiler(None)
    run(few_shot=True)
    assert seen == [(("Load the relief flight.",), {"k": 2, "models_dir": None, "progress": run.messages.append})]
    assert run.messages[1:3] == ["Retrieving few-shot examples (k=2)",
                                 "Few-shot retrieval failed; continuing without examples"]
    assert run.builders[0][2] == {"few_shots": []}


def test_generation_prompt_carries_examples_from_the_shipped_corpus(run, monkeypatch):
    """The real example gathering and pairing over the installed corpus, ranked by a replaced rag_rank."""
    names = ["diet", "knapsack"]
    ranked = []
    monkeypatch.setattr(ms, "rag_rank", lambda **kw: ranked.append(kw) or [
        {"path": str(CORPUS / n / f"{n}.txt"), "score": 0.5} for n in names])
    monkeypatch.setattr(ms, "FEW_SHOT_TOP_K", 2)
    llm = run.script(pair("m", "d"), verdict(True, "ok"))
    run.compiler(None)
    run(few_shot=True)
    assert ranked == [{"query": "Load the relief flight.", "models_dir": str(CORPUS), "top_k": 2}]
    assert run.messages[1:3] == ["Retrieving few-shot examples (k=2)",
                                 "Found 2 few-shot candidates: ['diet.txt', 'knapsack.txt']"]
    shots = run.builders[0][2]["few_shots"]
    assert [pathlib.Path(s["model_path"]).name for s in shots] == ["diet.mod", "knapsack.mod"]
    assert shots[1]["model"] == GOOD_MODEL.strip() and shots[1]["data"] == GOOD_DATA.strip()
    sent = llm.calls[0]["input_text"]
    assert sent.index('<example index="1">') < sent.index('<example index="2">') < sent.index("<problem_description>")
    assert f'<model_file path="{CORPUS / "knapsack" / "knapsack.mod"}">\n{GOOD_MODEL.strip()}\n</model_file>' in sent


@pytest.mark.parametrize("result, error", [
    (None, None), ((), "Expected list, got tuple"), ({}, "Expected list, got dict"),
])
def test_few_shot_result_type(run, monkeypatch, result, error):
    monkeypatch.setattr(ms, "_gather_few_shots", lambda *a, **k: result)
    run.script(pair("m", "d"), verdict(True, "ok"))
    run.compiler(None)
    if error is None:
        assert run(few_shot=True) == "ok"
        assert run.builders[0][2] == {"few_shots": None}
    else:
        with pytest.raises(TypeError) as info:
            run(few_shot=True)
        assert str(info.value) == error


class BrokenEstimate(Exception):
    pass


@pytest.mark.parametrize("estimate, expected", [
    (lambda a, u: None, {}),
    (lambda a, u: {}, {}),
    (lambda a, u: [("total_cost", 1.0)], {}),
    (lambda a, u: (_ for _ in ()).throw(BrokenEstimate("down")), {}),
    (lambda a, u: {"prompt_cost": 0.1, "total_cost": 0.1}, {"prompt_cost": 0.1, "total_cost": 0.1}),
])
def test_cost_estimate_never_breaks_the_run(run, monkeypatch, estimate, expected):
    monkeypatch.setattr(ms, "_estimate_costs", estimate)
    run.script(pair("m", "d", prompt_tokens=7, completion_tokens=3), verdict(True, "ok", prompt_tokens=1))
    run.compiler(None)
    stats = run(return_statistics=True)
    cost = {"model": "m", "usage": {"prompt_tokens": 8, "completion_tokens": 5}, "estimated_costs": expected}
    assert stats["cost"] == cost
    assert run.messages[-1] == "[LLM] Estimated costs: " + repr(cost)


def test_missing_usage_counts_as_zero(run):
    run.script(("{\"model\": \"m\", \"data\": \"d\"}", {"completion_tokens": 4}), (verdict(True, "ok")[0], {}))
    run.compiler(None)
    assert run(return_statistics=True)["cost"]["usage"] == {"prompt_tokens": 0, "completion_tokens": 4}


@pytest.mark.parametrize("bad_reply, error", [
    ("just text", ValueError), (("a", {}, 3), ValueError), (None, TypeError),
])
def test_llm_reply_must_be_a_pair(run, bad_reply, error):
    run.script(bad_reply)
    with pytest.raises(error):
        run()


def test_real_estimate_prices_the_run(run, monkeypatch, tmp_path):
    import vormo.tokenledger as tl
    table = tmp_path / "prices.md"
    table.write_text("| Model | Prompt per 1M | Completion per 1M |\n|---|---|---|\n| m | 2.0 | 8.0 |\n")
    monkeypatch.setattr(tl, "PRICING_URL", str(table))
    tl.clear_pricing_cache()
    monkeypatch.setattr(ms, "_estimate_costs", tl.estimate_costs)
    run.script(pair("m", "d", prompt_tokens=1_000_000, completion_tokens=500_000), verdict(True, "ok", prompt_tokens=0, completion_tokens=0))
    run.compiler(None)
    assert run(return_statistics=True)["cost"]["estimated_costs"] == {
        "prompt_cost": 2.0, "completion_cost": 4.0, "total_cost": 6.0}
    tl.clear_pricing_cache()
