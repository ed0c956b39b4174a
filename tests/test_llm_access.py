"""LLM access with stand-in vendor libraries placed in sys.modules: provider choice, clients,
generation on each provider, the OpenAI retry, answer text and model listing."""

import sys
import types
from types import SimpleNamespace as NS

import pytest

import vormo.modelsmith as ms

KEY = "sk-fake-SECRET-1234567890"


class FakeResponses:
    def __init__(self, outcomes):
        self.outcomes = list(outcomes)
        self.calls = []

    def create(self, **kwargs):
        self.calls.append(kwargs)
        outcome = self.outcomes.pop(0) if len(self.outcomes) > 1 else self.outcomes[0]
        if isinstance(outcome, BaseException):
            raise outcome
        return outcome


class FakeClient:
    def __init__(self, outcomes=(NS(output_text="ok"),), models=None):
        self.responses = FakeResponses(outcomes)
        self.models = NS(list=models or (lambda: NS(data=[])))


def fake_openai(monkeypatch, client_factory=FakeClient):
    made = []

    class OpenAI:
        def __init__(self, **kwargs):
            made.append(kwargs)
            self.__dict__.update(vars(client_factory()))

    module = types.ModuleType("openai")
    module.OpenAI = OpenAI
    monkeypatch.setitem(sys.modules, "openai", module)
    return made


def fake_ollama(monkeypatch, generate=None, listing=None):
    calls = []
    module = types.ModuleType("ollama")

    def gen(**kwargs):
        calls.append(kwargs)
        return generate(**kwargs) if callable(generate) else generate

    module.generate = gen
    module.list = listing
    monkeypatch.setitem(sys.modules, "ollama", module)
    return calls


def fake_genai(monkeypatch, response=None, models=None):
    record = {"configure": [], "models": [], "generate": []}
    genai = types.ModuleType("google.generativeai")
    genai.configure = lambda **kw: record["configure"].append(kw)

    class GenerativeModel:
        def __init__(self, *args, **kwargs):
            record["models"].append((args, kwargs))

        def generate_content(self, *args, **kwargs):
            record["generate"].append((args, kwargs))
            return response

    genai.GenerativeModel = GenerativeModel
    genai.list_models = models
    google = types.ModuleType("google")
    google.generativeai = genai
    monkeypatch.setitem(sys.modules, "google", google)
    monkeypatch.setitem(sys.modules, "google.generativeai", genai)
    return record


# ---- provider choice --------------------------------------------------------------------------

@pytest.mark.parametrize("provider, model, expected", [
    ("  OpenAI  ", "gemini-2.5-pro", "OPENAI"), ("oai", "llama3", "OPENAI"), ("GEMINI", "gpt-5", "GOOGLE"),
    ("genai", "x", "GOOGLE"), ("google.generativeai", "x", "GOOGLE"), ("\tOllama\n", "gpt-5", "OLLAMA"),
    ("acme", "llama3", "OLLAMA"), ("", "qwen2.5", "OLLAMA"), (None, "mistral-nemo", "OLLAMA"),
    (None, "gpt-oss:20b", "OLLAMA"), (None, "my-gpt-oss", "OLLAMA"), (None, "gemini-pro-gpt-oss", "GOOGLE"),
    (None, "gpt-5", "OPENAI"), (None, "o3-mini", "OPENAI"), (None, "Gemini-Pro", "OPENAI"),
    (None, "models/gemini-1.5-pro", "OPENAI"), (None, "my-llama", "OPENAI"), (None, " llama3", "OPENAI"),
])
def test_infer_provider(provider, model, expected):
    assert ms._infer_provider(provider, model) is getattr(ms.LLMProvider, expected)


def test_provider_enumeration():
    assert [(m.name, m.value) for m in ms.LLMProvider] == [("OPENAI", "openai"), ("GOOGLE", "google"),
                                                          ("OLLAMA", "ollama")]
    assert str(ms.LLMProvider.OPENAI) == "LLMProvider.OPENAI"
    assert not isinstance(ms.LLMProvider.OPENAI, str)
    assert ms.LLMProvider.OPENAI != "openai"


# ---- argument checks ----------------------------------------------------------------------------

@pytest.mark.parametrize("call, name, expected, got", [
    (lambda: ms._infer_provider("openai", None), "model_name", "str", "NoneType"),
    (lambda: ms._infer_provider(1, "gpt-5"), "llm_provider", "str", "int"),
    (lambda: ms._llm_generate_text(ms.LLMProvider.OPENAI, "m", "p", temperature=1), "temperature", "float", "int"),
    (lambda: ms._llm_generate_text(ms.LLMProvider.OPENAI, "m", "p", temperature=0), "temperature", "float", "int"),
    (lambda: ms._llm_generate_text(ms.LLMProvider.OPENAI, "m", "p", stop=("x",)), "stop", "list", "tuple"),
    (lambda: ms._llm_generate_text(ms.LLMProvider.OLLAMA, "m", "p", max_tokens=True), "max_tokens", "int", "bool"),
    (lambda: ms._ollama_generate_text("m", "p", num_predict="5"), "num_predict", "int", "str"),
    (lambda: ms._build_create_params("m", b"p"), "input_text", "str", "bytes"),
    (lambda: ms._call_openai_with_retry(None, [("model", "m")]), "create_params", "dict", "list"),
    (lambda: ms._call_openai_with_retry(None, {}, retries=3.0), "retries", "int", "float"),
    (lambda: ms._call_openai_with_retry(None, {}, backoff_sec="1"), "backoff_sec", "float", "str"),
    (lambda: ms.list_openai_models(1), "prefix", "str", "int"),
    (lambda: ms.list_models(model_name=None), "model_name", "str", "NoneType"),
])
def test_argument_checks_refuse_before_any_request(monkeypatch, lines, call, name, expected, got):
    fake_openai(monkeypatch)  # a request would be made if the check came too late
    calls = fake_ollama(monkeypatch, generate={"response": "x"})
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == f"Argument '{name}' has incorrect type (expected {expected}, got {got})"
    assert lines == [] and calls == []


# ---- clients --------------------------------------------------------------------------------------

FACTORIES = [
    ("_openai_client", "openai", "OPENAI_API_KEY", "openai is not installed. pip install openai"),
    ("_google_client", "google.generativeai", "GEMINI_API_KEY",
     "google.generativeai is not installed. pip install google-generativeai"),
]


@pytest.mark.parametrize("factory, library, variable, missing", FACTORIES)
@pytest.mark.parametrize("key", [None, "", KEY])
def test_missing_library_is_reported_before_the_key(monkeypatch, factory, library, variable, missing, key):
    monkeypatch.setitem(sys.modules, library, None)
    if key is None:
        monkeypatch.delenv(variable, raising=False)
    else:
        monkeypatch.setenv(variable, key)
    with pytest.raises(RuntimeError) as info:
        getattr(ms, factory)()
    assert str(info.value) == missing
    assert isinstance(info.value.__cause__, ImportError)


@pytest.mark.parametrize("factory, library, variable, missing", FACTORIES)
@pytest.mark.parametrize("key", [None, ""])
def test_missing_key(monkeypatch, factory, library, variable, missing, key):
    fake_openai(monkeypatch)
    fake_genai(monkeypatch)
    if key is None:
        monkeypatch.delenv(variable, raising=False)
    else:
        monkeypatch.setenv(variable, key)
    with pytest.raises(RuntimeError) as info:
        getattr(ms, factory)()
    assert str(info.value) == f"{variable} environment variable not set."
    assert info.value.__cause__ is None


def test_openai_client_reads_the_key_afresh_and_is_new_every_call(monkeypatch):
    made = fake_openai(monkeypatch)
    monkeypatch.setenv("OPENAI_API_KEY", "first-key-123")
    a = ms._openai_client()
    monkeypatch.setenv("OPENAI_API_KEY", "second-key-456")
    b = ms._openai_client()
    assert a is not b
    assert made == [{"api_key": "first-key-123"}, {"api_key": "second-key-456"}]


def test_google_client_configures_the_key_every_call(monkeypatch):
    record = fake_genai(monkeypatch)
    monkeypatch.setenv("GEMINI_API_KEY", "g-one-123")
    assert ms._google_client() is sys.modules["google.generativeai"]
    monkeypatch.setenv("GEMINI_API_KEY", "g-two-456")
    ms._google_client()
    assert record["configure"] == [{"api_key": "g-one-123"}, {"api_key": "g-two-456"}]


# ---- answer text --------------------------------------------------------------------------------

class Raising:
    def __init__(self, **values):
        self.__dict__.update(values)

    @property
    def content(self):
        raise ValueError("broken content")


@pytest.mark.parametrize("resp, expected", [
    (NS(output_text="ready", output=[NS(text="other")]), "ready"),
    (NS(output_text="", output=[NS(content=[NS(text="walk")])]), "walk"),
    (NS(output_text=None, output=[NS(content=[NS(text="Hello"), NS(text="")]), NS(content=[{"text": "World"}])]),
     "HelloWorld"),
    (NS(output=[NS(text="t1"), NS(content=[], text="ignored"), NS(content=None, text=None)]), "t1"),
    (NS(output=[NS(content=[{"text": 5}, {"other": "x"}, {"text": "kept"}])]), "kept"),
    (NS(output=[NS(content=[NS(text="first"), NS(text=5)])]), "first"),
    (NS(output=[NS(content=[NS(text=5), NS(text="second")])]), ""),
    (NS(output=[Raising(text="x")]), ""),
    (NS(output=[NS(content=[NS(text="a")]), Raising()]), "a"),
    (NS(output=[NS(content=[NS(text="")])]), ""),
    ({"output_text": "dict"}, ""),
    (None, ""),
    ("plain text", ""),
    (NS(output=None), ""),
])
def test_coalesce_response_text(resp, expected):
    assert ms._coalesce_response_text(resp) == expected


def test_coalesce_refuses_a_truthy_non_text_output_text():
    with pytest.raises(TypeError):
        ms._coalesce_response_text(NS(output_text=42))


def test_coalesce_does_not_swallow_interrupts():
    class Stop:
        @property
        def output(self):
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        ms._coalesce_response_text(Stop())


# ---- request parameters and retry -----------------------------------------------------------------

@pytest.mark.parametrize("kwargs, expected", [
    ({}, {"model": "m", "input": "p", "response_format": {"type": "json"}}),
    ({"max_tokens": 0, "temperature": 0.0, "stop": []},
     {"model": "m", "input": "p", "response_format": {"type": "json"}, "max_output_tokens": 0, "temperature": 0.0}),
    ({"max_tokens": 9, "stop": ["END"]},
     {"model": "m", "input": "p", "response_format": {"type": "json"}, "max_output_tokens": 9, "stop": ["END"]}),
])
def test_build_create_params(kwargs, expected):
    params = ms._build_create_params(model_name="m", input_text="p", **kwargs)
    assert params == expected and list(params) == list(expected)


FULL = {"model": "m", "input": "p", "response_format": {"type": "json"}, "max_output_tokens": 5,
        "temperature": 0.5, "stop": ["x"], "reasoning": {"effort": "low"}}


@pytest.mark.parametrize("message, removed", [
    ("Unsupported parameter: 'temperature' is not supported with this model.", {"temperature"}),
    ("create() got an unexpected keyword argument 'response_format'", {"response_format"}),
    ("Unsupported parameter: 'max_output_tokens'", {"max_output_tokens"}),
    ("UNSUPPORTED PARAMETER:   'max_output_tokens'", {"max_output_tokens"}),
    ("Parameter 'max_output_tokens' is not supported", {"max_output_tokens"}),
    ("the server will stop accepting requests", {"stop"}),
    ("Reasoning and Temperature are both wrong", {"reasoning", "temperature"}),
    ("Unsupported parameter: 'model'; parameter 'input' is not supported", {"model", "input"}),
])
def test_error_text_removes_parameters_without_waiting(lines, sleeps, message, removed):
    client = FakeClient([ValueError(message), "done"])
    assert ms._call_openai_with_retry(client, dict(FULL), progress=None) == "done"
    assert set(client.responses.calls[1]) == set(FULL) - removed
    assert sleeps == []
    assert lines == [f"[LLM] OpenAI: {message}", "[LLM] OpenAI: retrying without unsupported parameters"]


def test_back_off_then_exhaustion(lines, sleeps):
    client = FakeClient([RuntimeError("Rate limit reached")])
    params = {"model": "m", "input": "p"}
    with pytest.raises(RuntimeError) as info:
        ms._call_openai_with_retry(client, params)
    assert str(info.value) == "OpenAI request failed after 3 attempts: Rate limit reached"
    assert sleeps == [1.5, 3.0, 6.0]
    assert lines == [
        "[LLM] OpenAI: Rate limit reached", "[LLM] OpenAI: retry 1/3 after error: Rate limit reached",
        "[LLM] OpenAI: Rate limit reached", "[LLM] OpenAI: retry 2/3 after error: Rate limit reached",
        "[LLM] OpenAI: Rate limit reached", "[LLM] OpenAI: retry 3/3 after error: Rate limit reached",
        "[LLM] OpenAI: failed after 3 attempts",
    ]
    assert len(client.responses.calls) == 3


def test_removal_on_every_attempt_exhausts_without_waiting(lines, sleeps):
    client = FakeClient([TypeError("unexpected keyword argument 'stop'"),
                         TypeError("unexpected keyword argument 'temperature'"),
                         TypeError("unexpected keyword argument 'response_format'")])
    with pytest.raises(RuntimeError, match="failed after 3 attempts: .*'response_format'"):
        ms._call_openai_with_retry(client, dict(FULL))
    assert sleeps == []
    assert lines[-1] == "[LLM] OpenAI: failed after 3 attempts"
    assert "response_format" not in client.responses.calls[-1] or len(client.responses.calls) == 3


@pytest.mark.parametrize("retries", [0, -2])
def test_no_attempt_at_all(lines, sleeps, retries):
    client = FakeClient()
    with pytest.raises(RuntimeError) as info:
        ms._call_openai_with_retry(client, {"model": "m"}, retries, 0.25)
    assert str(info.value) == f"OpenAI request failed after {retries} attempts: None"
    assert lines == [f"[LLM] OpenAI: failed after {retries} attempts"]
    assert client.responses.calls == [] and sleeps == []


def test_interrupt_passes_through_at_once(lines, sleeps):
    client = FakeClient([KeyboardInterrupt()])
    with pytest.raises(KeyboardInterrupt):
        ms._call_openai_with_retry(client, {"model": "m"})
    assert len(client.responses.calls) == 1 and lines == []


def test_interrupt_during_the_wait_stops_the_retries(monkeypatch, lines):
    import time

    def interrupted(seconds):
        raise KeyboardInterrupt

    monkeypatch.setattr(time, "sleep", interrupted)
    client = FakeClient([ConnectionError("down")])
    with pytest.raises(KeyboardInterrupt):
        ms._call_openai_with_retry(client, {"model": "m"})
    assert len(client.responses.calls) == 1


def test_progress_lines_go_through_the_reporter_with_the_callers_callback(monkeypatch, sleeps):
    seen = []
    monkeypatch.setattr(ms, "_notify", lambda progress, msg: seen.append((progress, msg)), raising=False)
    callback = object()
    ms._call_openai_with_retry(FakeClient([ValueError("bad stop"), "ok"]), {"stop": ["x"]}, progress=callback)
    assert seen and all(p is callback for p, _ in seen)


def test_signature_prefilter(lines):
    class Strict:
        def create(self, *, model, input):
            return (model, input)

    class Open:
        def create(self, model, **rest):
            return sorted(rest)

    caller = dict(FULL)
    assert ms._call_openai_with_retry(NS(responses=Strict()), caller) == ("m", "p")
    assert caller == FULL  # the caller's dictionary is left alone
    assert ms._call_openai_with_retry(NS(responses=Open()), dict(FULL)) == sorted(set(FULL) - {"model"})
    assert lines == []


# ---- unified generation ---------------------------------------------------------------------------

@pytest.fixture
def openai_env(monkeypatch):
    monkeypatch.setenv("OPENAI_API_KEY", KEY)
    monkeypatch.setenv("GEMINI_API_KEY", KEY)


def test_openai_leg_text_and_usage(monkeypatch, lines, openai_env):
    resp = NS(output_text="answer")
    fake_openai(monkeypatch, lambda: FakeClient([resp]))
    seen = []
    monkeypatch.setattr(ms, "_extract_openai_usage",
                        lambda *a: seen.append(a) or {"prompt_tokens": 1, "completion_tokens": 2})
    assert ms._llm_generate_text(ms.LLMProvider.OPENAI, "gpt-5", "prompt") == "answer"
    assert seen == []
    text, usage = ms._llm_generate_text(ms.LLMProvider.OPENAI, "gpt-5", "prompt", capture_usage=1)
    assert (text, usage) == ("answer", {"prompt_tokens": 1, "completion_tokens": 2})
    assert seen == [(resp, "prompt", "answer", "gpt-5")]
    assert lines[:2] == ["[LLM] OpenAI \u2022 gpt-5: sending request", "[LLM] OpenAI: response received"]


def test_openai_leg_empty_answer(monkeypatch, lines, openai_env):
    fake_openai(monkeypatch, lambda: FakeClient([NS(output_text="", output=[], tag="R")]))
    with pytest.raises(RuntimeError) as info:
        ms._llm_generate_text(ms.LLMProvider.OPENAI, "gpt-5", "prompt")
    message = str(info.value)
    assert message.startswith("Empty OpenAI response: namespace(") and message.endswith(".")
    assert lines == ["[LLM] OpenAI \u2022 gpt-5: sending request", "[LLM] OpenAI: response received"]


@pytest.mark.parametrize("provider, shown", [("openai", "openai"), (None, "None"), (3, "3")])
def test_unsupported_provider(lines, provider, shown):
    with pytest.raises(ValueError) as info:
        ms._llm_generate_text(provider, "gpt-5", "p")
    assert str(info.value) == f"Unsupported LLM provider: {shown}"


@pytest.mark.parametrize("kwargs, settings", [
    ({}, {}),
    ({"max_tokens": 512, "temperature": 0.2, "stop": ["x"]}, {"max_output_tokens": 512, "temperature": 0.2}),
    ({"temperature": 0.0, "max_tokens": 0}, {"max_output_tokens": 0, "temperature": 0.0}),
])
def test_gemini_settings(monkeypatch, lines, openai_env, kwargs, settings):
    record = fake_genai(monkeypatch, response=NS(text="hi"))
    assert ms._llm_generate_text(ms.LLMProvider.GOOGLE, "gemini-x", "prompt", **kwargs) == "hi"
    assert record["models"] == [(("gemini-x",), {})]
    assert record["generate"] == [(("prompt",), {"generation_config": settings})]
    assert lines == ["[LLM] Gemini \u2022 gemini-x: sending request", "[LLM] Gemini: response received"]


def part(**kw):
    return NS(**kw)


@pytest.mark.parametrize("resp, expected", [
    (NS(candidates=[NS(content=NS(parts=[part(text="ab"), part(text="cd")])), NS(content=NS(parts=[part()]))]),
     "abcd"),
    (NS(text="", candidates=[NS(content=None), NS(content=NS(parts=[part(text=None), part(text="z")]))]), "z"),
    (NS(text=None, candidates=[NS(content=NS(other=1))]), ""),
    (NS(text="direct", candidates=[NS(content=NS(parts=[part(text="no")]))]), "direct"),
    (NS(), ""),
])
def test_gemini_text_assembly(monkeypatch, lines, openai_env, resp, expected):
    fake_genai(monkeypatch, response=resp)
    monkeypatch.setattr(ms, "_extract_gemini_usage", lambda *a: ("usage", a))
    assert ms._llm_generate_text(ms.LLMProvider.GOOGLE, "g", "p") == expected
    assert ms._llm_generate_text(ms.LLMProvider.GOOGLE, "g", "p", capture_usage=True) == \
        (expected, ("usage", (resp, "p", expected)))


@pytest.mark.parametrize("max_tokens, options", [(None, {}), (256, {"num_predict": 256}), (0, {"num_predict": 0})])
def test_ollama_options(monkeypatch, lines, max_tokens, options):
    calls = fake_ollama(monkeypatch, generate={"response": "out"})
    assert ms._llm_generate_text(ms.LLMProvider.OLLAMA, "llama3", "p", max_tokens=max_tokens,
                                 temperature=0.3, stop=["s"]) == "out"
    assert calls == [{"model": "llama3", "prompt": "p", "options": options}]
    assert lines == ["[LLM] Ollama \u2022 llama3: generating", "[LLM] Ollama: response received"]


@pytest.mark.parametrize("answer, expected", [
    ({"response": "t", "prompt_eval_count": "12", "eval_count": "30"}, ("t", {"prompt_tokens": 12, "completion_tokens": 30})),
    ({"response": "t", "prompt_eval_count": 4, "eval_count": None}, ("t", {"prompt_tokens": 4, "completion_tokens": 0})),
    ({}, ("", {"prompt_tokens": 0, "completion_tokens": 0})),
    ({"response": None, "eval_count": 2.9}, ("", {"prompt_tokens": 0, "completion_tokens": 2})),
])
def test_ollama_text_and_counters(monkeypatch, lines, answer, expected):
    fake_ollama(monkeypatch, generate=answer)
    result = ms._llm_generate_text(ms.LLMProvider.OLLAMA, "m", "p", capture_usage=True)
    assert result == expected and list(result[1]) == ["prompt_tokens", "completion_tokens"]
    assert ms._ollama_generate_text("m", "p") == expected[0]


@pytest.mark.parametrize("error", [TypeError("bad"), KeyError("response")])
def test_ollama_unreadable_response(monkeypatch, error):
    class Answer:
        def get(self, *a):
            raise error

    fake_ollama(monkeypatch, generate=Answer())
    with pytest.raises(RuntimeError) as info:
        ms._ollama_generate_text("m", "p")
    assert str(info.value) == f"Failed to retrieve response text from Ollama response: {error}"
    assert info.value.__cause__ is None and info.value.__context__ is error


def test_ollama_missing(monkeypatch, lines):
    monkeypatch.setitem(sys.modules, "ollama", None)
    for call in (lambda: ms._ollama_generate_text("m", "p"), ms.list_ollama_models):
        with pytest.raises(RuntimeError) as info:
            call()
        assert str(info.value) == "ollama package is not installed. pip install ollama"
        assert isinstance(info.value.__cause__, ImportError)


def test_generation_uses_siblings_from_the_module(monkeypatch, lines):
    seen = []
    monkeypatch.setattr(ms, "_ollama_generate_text", lambda **kw: seen.append(kw) or ("t", {"u": 1}))
    assert ms._llm_generate_text(ms.LLMProvider.OLLAMA, "m", "p", capture_usage=True) == ("t", {"u": 1})
    assert seen == [{"model_name": "m", "prompt": "p", "num_predict": None, "return_usage": True}]


# ---- model listing --------------------------------------------------------------------------------

OPENAI_IDS = [NS(id="gpt-4o"), NS(id="gpt-4o"), NS(id="o3-mini"), NS(id="gpt-4.1"), NS(id="dall-e-3"), NS(id=7)]


@pytest.mark.parametrize("answer, prefix, expected", [
    (NS(data=OPENAI_IDS), "gpt", ["gpt-4.1", "gpt-4o"]),
    (NS(data=OPENAI_IDS), None, ["dall-e-3", "gpt-4.1", "gpt-4o", "o3-mini"]),
    (NS(data=OPENAI_IDS), "", ["dall-e-3", "gpt-4.1", "gpt-4o", "o3-mini"]),
    ([{"id": "gpt-4"}, {"id": None}, {"name": "x"}, {"id": "GPT-Z"}], None, ["GPT-Z", "gpt-4"]),
    (None, None, []),
])
def test_list_openai_models(monkeypatch, openai_env, answer, prefix, expected):
    fake_openai(monkeypatch, lambda: FakeClient(models=lambda: answer))
    assert ms.list_openai_models(prefix) == expected


def gm(name, *methods):
    return NS(name=name, supported_generation_methods=list(methods))


GEMINI = [gm("models/gemini-1.5-flash", "generateContent", "countTokens"), gm("models/embedding-001", "embedContent"),
          gm("gemini-no-prefix", "generateContent"), gm("models/gemma-3", "generateContent"),
          gm("models/gemini-1.5-flash", "generateContent"), gm(None, "generateContent")]


@pytest.mark.parametrize("prefix, expected", [
    ("gemini", ["gemini-1.5-flash"]),
    ("gem", ["gemini-1.5-flash", "gemma-3"]),
    (None, ["gemini-1.5-flash", "gemma-3"]),
    ("", ["gemini-1.5-flash", "gemma-3"]),
    ("x", []),
])
def test_list_gemini_models(monkeypatch, openai_env, prefix, expected):
    fake_genai(monkeypatch, models=lambda: iter(GEMINI))
    assert ms.list_gemini_models(prefix) == expected


@pytest.mark.parametrize("answer, prefix, expected", [
    ({"models": [{"model": "llama3:8b"}, {"name": "qwen2.5"}, {"model": "", "name": "b"}, {"model": 3}]}, None,
     ["b", "llama3:8b", "qwen2.5"]),
    ({"models": [{"model": "llama3:8b"}, {"name": "qwen2.5"}]}, "qwen", ["qwen2.5"]),
    (NS(models=[NS(model="m2"), NS(name="m1"), NS(model="m2")]), "", ["m1", "m2"]),
    ({}, None, []),
    (NS(), None, []),
])
def test_list_ollama_models(monkeypatch, answer, prefix, expected):
    fake_ollama(monkeypatch, listing=lambda: answer)
    assert ms.list_ollama_models(prefix) == expected


def failing(*args):
    raise ConnectionError(f"refused for key {KEY}")


@pytest.mark.parametrize("setup, call, head", [
    (lambda mp: fake_openai(mp, lambda: FakeClient(models=failing)), ms.list_openai_models,
     "Failed to list OpenAI models: "),
    (lambda mp: fake_genai(mp, models=failing), ms.list_gemini_models, "Failed to list Gemini models: "),
    (lambda mp: fake_genai(mp, models=lambda: map(failing, [1])), ms.list_gemini_models,
     "Failed to list Gemini models: "),
    (lambda mp: fake_ollama(mp, listing=failing), ms.list_ollama_models, "Failed to list Ollama models: "),
    (lambda mp: fake_ollama(mp, listing=lambda: {"models": 5}), ms.list_ollama_models,
     "Failed to list Ollama models: "),
])
def test_listing_failures_hide_the_key(monkeypatch, openai_env, setup, call, head):
    setup(monkeypatch)
    with pytest.raises(RuntimeError) as info:
        call()
    assert str(info.value).startswith(head)
    assert KEY not in str(info.value)


@pytest.mark.parametrize("provider, model, expected", [
    ("gemini", "gpt-5", ("gemini",)),
    (None, "gpt-5", ("openai",)),
    (None, "llama3", ("ollama",)),
    ("acme", "gemini-2", ("gemini",)),
])
def test_list_models_dispatch(monkeypatch, provider, model, expected):
    for name in ("openai", "gemini", "ollama"):
        monkeypatch.setattr(ms, f"list_{name}_models", lambda *a, _n=name: (_n,) + a)
    assert ms.list_models(provider, model) == expected


def test_list_models_unsupported(monkeypatch):
    monkeypatch.setattr(ms, "_infer_provider", lambda p, m: "other")
    with pytest.raises(ValueError, match="^Unsupported LLM provider: other$"):
        ms.list_models()


def test_retry_messages_hide_the_key(monkeypatch, lines, sleeps, openai_env):
    client = FakeClient([PermissionError(f"Incorrect API key provided: {KEY}")])
    with pytest.raises(RuntimeError) as info:
        ms._call_openai_with_retry(client, {"model": "m"}, retries=2)
    assert KEY not in str(info.value) and all(KEY not in line for line in lines)
    assert "[redacted]" in str(info.value)
