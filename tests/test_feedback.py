"""Feedback on an existing model and data file: one LLM call, the parsed reply, and its errors."""

import pathlib

import pytest

import vormo.modelsmith as ms
from scripted_llm import PROVIDER, ScriptedLLM


@pytest.fixture
def files(tmp_path):
    model = tmp_path / "plan.mod"
    data = tmp_path / "plan.dat"
    model.write_text("dvar float+ x;\nmaximize z: x;\n")
    data.write_text("n = 3;\n")
    return str(model), str(data)


@pytest.fixture
def steps(monkeypatch):
    order = []
    monkeypatch.setattr(ms, "_infer_provider", lambda p, m: order.append(("provider", p, m)) or PROVIDER,
                        raising=False)
    monkeypatch.setattr(ms, "_get_grammar_implementation", lambda mode: order.append(("grammar", mode)) or "GR")
    return order


def script(monkeypatch, *replies):
    llm = ScriptedLLM(*replies)
    monkeypatch.setattr(ms, "_llm_generate_text", llm, raising=False)
    return llm


@pytest.mark.parametrize("temperature, sent", [(0.9, 0.0), (0.0, 0.0), (None, None)])
def test_one_call_with_every_argument_by_name(monkeypatch, files, steps, temperature, sent):
    monkeypatch.setattr(ms, "MAX_OUTPUT_TOKENS", 64)
    llm = script(monkeypatch, '{"feedback": "ok"}')
    messages = []
    answer = ms.generative_feedback("Is it right?", *files, model_name="mm", temperature=temperature, stop=["#"],
                                    llm_provider="ollama", progress=messages.append)
    assert answer == {"feedback": "ok"}
    assert steps == [("provider", "ollama", "mm"), ("grammar", ms.Grammar.BNF)]
    [call] = llm.calls
    assert call == {"provider": PROVIDER, "model_name": "mm",
                    "input_text": ms._build_feedback_prompt("Is it right?", "GR", *map(_read, files)),
                    "max_tokens": 64, "temperature": sent, "stop": ["#"], "progress": messages.append,
                    "capture_usage": False}
    assert messages == ["Generating feedback from LLM", "Feedback received; parsing"]


def _read(path):
    return pathlib.Path(path).read_text()


@pytest.mark.parametrize("text, expected", [
    ('{"feedback": "Fine.", "revised_model": "m2", "revised_data": "d2"}',
     {"feedback": "Fine.", "revised_model": "m2", "revised_data": "d2"}),
    ('Here you go:\n```json\n{"feedback": "Fine."}\n```\nBye.', {"feedback": "Fine."}),
    ("```\n{\"feedback\": \"Fine.\"}\n```", {"feedback": "Fine."}),
    ("null", None),
    ('{"other": 1}', {"other": 1}),
])
def test_reply_is_returned_as_parsed_and_files_stay(monkeypatch, files, steps, text, expected):
    before = [_read(f) for f in files]
    script(monkeypatch, text)
    assert ms.generative_feedback("q", *files) == expected
    assert [_read(f) for f in files] == before


@pytest.mark.parametrize("text, error, message", [
    ("", RuntimeError, "Empty model response."),
    (None, RuntimeError, "Empty model response."),
    (("a", {}), TypeError, "Expected str, got tuple"),
    ("[1, 2]", RuntimeError, "Failed to parse feedback response as JSON: Expected dict, got list\nResponse: [1, 2]"),
    ("no json", RuntimeError,
     "Failed to parse feedback response as JSON: Expecting value: line 1 column 1 (char 0)\nResponse: no json"),
])
def test_unusable_reply(monkeypatch, files, steps, text, error, message):
    script(monkeypatch, text)
    with pytest.raises(error) as info:
        ms.generative_feedback("q", *files)
    assert str(info.value) == message


def test_parse_failure_keeps_its_cause(monkeypatch, files, steps):
    script(monkeypatch, "{broken")
    with pytest.raises(RuntimeError) as info:
        ms.generative_feedback("q", *files)
    assert isinstance(info.value.__cause__, ValueError)


def test_missing_file_fails_before_the_llm_call(monkeypatch, files, steps):
    script(monkeypatch)
    with pytest.raises(FileNotFoundError):
        ms.generative_feedback("q", files[0], files[1] + ".missing")
    assert [s[0] for s in steps] == ["provider", "grammar"]


def test_invalid_mode_fails_before_reading(monkeypatch, files):
    monkeypatch.setattr(ms, "_infer_provider", lambda p, m: PROVIDER, raising=False)
    script(monkeypatch)
    with pytest.raises(ValueError, match="Invalid mode: 2"):
        ms.generative_feedback("q", "/no/such.mod", "/no/such.dat", mode=2)


def test_raising_progress_does_not_stop_it(monkeypatch, files, steps):
    script(monkeypatch, '{"feedback": "ok"}')

    def progress(msg):
        raise ValueError("sink down")
    assert ms.generative_feedback("q", *files, progress=progress) == {"feedback": "ok"}


@pytest.mark.parametrize("interrupt", [KeyboardInterrupt, SystemExit])
def test_interrupts_pass_through(monkeypatch, files, steps, interrupt):
    script(monkeypatch, interrupt())
    with pytest.raises(interrupt):
        ms.generative_feedback("q", *files)


@pytest.mark.parametrize("kwargs, message", [
    ({"temperature": 1}, "Argument 'temperature' has incorrect type (expected float, got int)"),
    ({"stop": "x"}, "Argument 'stop' has incorrect type (expected list, got str)"),
    ({"llm_provider": b"openai"}, "Argument 'llm_provider' has incorrect type (expected str, got bytes)"),
    ({"model_name": 3}, "Argument 'model_name' has incorrect type (expected str, got int)"),
])
def test_argument_types(monkeypatch, files, steps, kwargs, message):
    script(monkeypatch)
    with pytest.raises(TypeError) as info:
        ms.generative_feedback("q", *files, **kwargs)
    assert str(info.value) == message
    assert steps == []


def test_defaults_are_bound_at_load(monkeypatch, files, steps):
    monkeypatch.setattr(ms, "MODEL_NAME", "x")
    monkeypatch.setattr(ms, "LLM_PROVIDER", "google")
    script(monkeypatch, '{"feedback": "ok"}')
    ms.generative_feedback("q", *files)
    assert steps[0] == ("provider", "openai", "gpt-5")
    with pytest.raises(TypeError):
        ms.generative_feedback("q", *files, "gpt", ms.Grammar.NONE, None, None, None, None, "extra")
