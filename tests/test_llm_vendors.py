"""LLM access through the real vendor libraries, talking to scripted servers on 127.0.0.1."""

import pytest

import vormo.modelsmith as ms
from servers import (FAKE_GEMINI_KEY, FAKE_OPENAI_KEY, Reply, fake_server, gemini_content, gemini_models,  # noqa: F401
                     gemini_server, ollama_generate, ollama_server, ollama_tags, openai_error, openai_models,
                     openai_response, openai_server)

P = ms.LLMProvider


def bodies(server, path="/v1/responses"):
    return [r.json for r in server.calls("POST", path)]


# ---- OpenAI ---------------------------------------------------------------------------------------

def test_openai_request_answer_and_usage(openai_server, lines, sleeps):
    openai_server.script("POST", "/v1/responses", openai_response("the answer", input_tokens=21, output_tokens=8))
    text, usage = ms._llm_generate_text(P.OPENAI, "gpt-5", "the prompt", max_tokens=64, temperature=0.2,
                                        stop=["END"], capture_usage=True)
    assert (text, usage) == ("the answer", {"prompt_tokens": 21, "completion_tokens": 8})
    [request] = openai_server.calls("POST", "/v1/responses")
    # create() declares neither response_format nor stop: the pre-filter drops both, silently.
    assert request.json == {"model": "gpt-5", "input": "the prompt", "max_output_tokens": 64, "temperature": 0.2}
    assert request.headers["authorization"] == f"Bearer {FAKE_OPENAI_KEY}"
    assert lines == ["[LLM] OpenAI \u2022 gpt-5: sending request", "[LLM] OpenAI: response received"]
    assert sleeps == []


def test_openai_answer_from_output_items_and_counted_usage(openai_server, lines, monkeypatch):
    output = [{"type": "message", "id": "m", "status": "completed", "role": "assistant",
               "content": [{"type": "output_text", "text": "Hello ", "annotations": []},
                           {"type": "output_text", "text": "World", "annotations": []}]}]
    openai_server.script("POST", "/v1/responses",
                         openai_response(output=output, input_tokens=None, output_tokens=None))
    monkeypatch.setattr(ms, "_extract_openai_usage", lambda *a: {"args": a[1:]})
    text, usage = ms._llm_generate_text(P.OPENAI, "gpt-5", "p", capture_usage=True)
    assert text == "Hello World"
    assert usage == {"args": ("p", "Hello World", "gpt-5")}


def test_openai_empty_answer(openai_server, lines):
    openai_server.script("POST", "/v1/responses", openai_response(output=[]))
    with pytest.raises(RuntimeError) as info:
        ms._llm_generate_text(P.OPENAI, "gpt-5", "p")
    assert str(info.value).startswith("Empty OpenAI response: Response(") and str(info.value).endswith(".")


def test_openai_400_naming_a_parameter_retries_without_it(openai_server, lines, sleeps):
    refusal = "Unsupported parameter: 'temperature' is not supported with this model."
    openai_server.script("POST", "/v1/responses", openai_error(400, refusal, param="temperature"),
                         openai_response("fine"))
    assert ms._llm_generate_text(P.OPENAI, "o3", "p", temperature=0.7) == "fine"
    first, second = bodies(openai_server)
    assert first["temperature"] == 0.7 and "temperature" not in second
    assert lines[1].startswith("[LLM] OpenAI: Error code: 400 - ") and refusal in lines[1]
    assert lines[2] == "[LLM] OpenAI: retrying without unsupported parameters"
    assert sleeps == []


def test_openai_429_library_retries_then_our_back_off(openai_server, lines, sleeps):
    limited = openai_error(429, "Rate limit reached", code="rate_limit_exceeded", retry_after_ms=3)
    openai_server.script("POST", "/v1/responses", limited, limited, limited, openai_response("later"))
    assert ms._llm_generate_text(P.OPENAI, "gpt-5", "p") == "later"
    # The library tried three times on its own, honouring retry-after-ms, before giving up.
    assert len(bodies(openai_server)) == 4
    assert sleeps[:2] == [0.003, 0.003] and sleeps[2:] == [1.5]
    assert lines[2].startswith("[LLM] OpenAI: retry 1/3 after error: Error code: 429 - ")


def test_openai_failure_messages_never_show_the_key(openai_server, lines, sleeps):
    echo = openai_error(401, f"Incorrect API key provided: {FAKE_OPENAI_KEY}.", code="invalid_api_key")
    openai_server.script("POST", "/v1/responses", echo)
    openai_server.script("GET", "/v1/models", echo)
    with pytest.raises(RuntimeError) as info:
        ms._llm_generate_text(P.OPENAI, "gpt-5", "p")
    assert str(info.value).startswith("OpenAI request failed after 3 attempts: Error code: 401")
    with pytest.raises(RuntimeError) as listing:
        ms.list_models()
    assert str(listing.value).startswith("Failed to list OpenAI models: Error code: 401")
    for text in [str(info.value), str(listing.value), *lines]:
        assert FAKE_OPENAI_KEY not in text
    assert sleeps == [1.5, 3.0, 6.0]


def test_openai_listing(openai_server):
    openai_server.script("GET", "/v1/models",
                         openai_models(["gpt-4o", "gpt-4o", "o3-mini", "gpt-4.1", "dall-e-3"]))
    assert ms.list_models() == ["gpt-4.1", "gpt-4o"]
    assert ms.list_openai_models(None) == ["dall-e-3", "gpt-4.1", "gpt-4o", "o3-mini"]


# ---- Ollama ---------------------------------------------------------------------------------------

@pytest.mark.parametrize("max_tokens, options", [(None, {}), (32, {"num_predict": 32})])
def test_ollama_generation(ollama_server, lines, max_tokens, options):
    ollama_server.script("POST", "/api/generate", ollama_generate("local answer", prompt_eval_count=12, eval_count=30))
    result = ms._llm_generate_text(P.OLLAMA, "llama3", "p", max_tokens=max_tokens, temperature=0.1,
                                   capture_usage=True)
    assert result == ("local answer", {"prompt_tokens": 12, "completion_tokens": 30})
    [request] = ollama_server.calls("POST", "/api/generate")
    assert request.json["model"] == "llama3" and request.json["prompt"] == "p"
    assert request.json["options"] == options
    assert lines == ["[LLM] Ollama \u2022 llama3: generating", "[LLM] Ollama: response received"]


# The server's default window is 2048 tokens; a prompt estimated beyond it (one token per three
# characters) asks for room for itself and the output limit, in whole kibi-tokens.
@pytest.mark.parametrize("prompt_chars, max_tokens, num_ctx", [
    (10, 64, None),
    (6144, 64, None),            # 2048 estimated tokens: still fits
    (6145, 64, 3072),            # 2049 + 64
    (6145, None, 5120),          # 2049 + 2048 kept for an answer without a limit
    (30000, 8000, 18432),        # 10000 + 8000
    (30000, 0, 12288),           # no positive limit: the reserve
    (6145, 10**30, None),        # beyond any window: still a number (checked below)
])
def test_ollama_context_window_for_long_prompts(ollama_server, lines, prompt_chars, max_tokens, num_ctx):
    ollama_server.script("POST", "/api/generate", ollama_generate("ok"))
    prompt = "y" * prompt_chars
    assert ms._llm_generate_text(P.OLLAMA, "llama3", prompt, max_tokens=max_tokens) == "ok"
    [request] = ollama_server.calls("POST", "/api/generate")
    options = request.json["options"]
    assert request.json["prompt"] == prompt
    if max_tokens is not None:
        assert options.pop("num_predict") == max_tokens
    if max_tokens == 10**30:
        assert options["num_ctx"] > 2048 and options["num_ctx"] % 1024 == 0
    else:
        assert options == ({} if num_ctx is None else {"num_ctx": num_ctx})


def test_ollama_answer_without_counters(ollama_server, lines):
    ollama_server.script("POST", "/api/generate", ollama_generate(""))
    assert ms._ollama_generate_text("llama3", "p", return_usage=True) == ("", {"prompt_tokens": 0,
                                                                              "completion_tokens": 0})


def test_ollama_server_error(ollama_server, lines):
    ollama_server.script("POST", "/api/generate", Reply(404, {"error": "model 'nope' not found"}))
    ollama_server.script("GET", "/api/tags", Reply(500, {"error": "disk on fire"}))
    import ollama

    with pytest.raises(ollama.ResponseError, match="model 'nope' not found"):
        ms._llm_generate_text(P.OLLAMA, "nope", "p")
    with pytest.raises(RuntimeError, match="^Failed to list Ollama models: disk on fire"):
        ms.list_models("ollama")


def test_ollama_listing(ollama_server):
    ollama_server.script("GET", "/api/tags", ollama_tags(["qwen2.5", "llama3:8b", "qwen2.5"]))
    assert ms.list_models(None, "llama3") == ["llama3:8b", "qwen2.5"]
    assert ms.list_ollama_models("qwen") == ["qwen2.5"]


# ---- Gemini (the library over REST, sent to the local server) -------------------------------------

GENERATE = "/v1beta/models/gemini-test:generateContent"


def test_gemini_generation(gemini_server, lines):
    gemini_server.script("POST", GENERATE, gemini_content("gen", "erated", prompt_tokens=9, candidates_tokens=4))
    text, usage = ms._llm_generate_text(P.GOOGLE, "gemini-test", "p", max_tokens=512, temperature=0.2,
                                        stop=["x"], capture_usage=True)
    assert "gen" in text and "erated" in text
    assert usage == {"prompt_tokens": 9, "completion_tokens": 4}
    [request] = gemini_server.calls("POST", GENERATE)
    assert request.json["generationConfig"] == {"maxOutputTokens": 512, "temperature": 0.2}
    assert request.json["contents"][0]["parts"] == [{"text": "p"}]
    assert request.headers["x-goog-api-key"] == FAKE_GEMINI_KEY
    assert gemini_server.configure_calls == [{"api_key": FAKE_GEMINI_KEY}]
    assert lines == ["[LLM] Gemini \u2022 gemini-test: sending request", "[LLM] Gemini: response received"]


def test_gemini_without_settings_and_usage(gemini_server, lines):
    gemini_server.script("POST", GENERATE, gemini_content("only text"))
    text, usage = ms._llm_generate_text(P.GOOGLE, "gemini-test", "four", capture_usage=True)
    assert text == "only text"
    # The library's usage_metadata is always there, with zero counts when the service sent none,
    # so the reported zeros stand (no local approximation).
    assert usage == {"prompt_tokens": 0, "completion_tokens": 0}
    assert "generationConfig" not in gemini_server.requests[0].json or \
        gemini_server.requests[0].json["generationConfig"] == {}


@pytest.mark.parametrize("message, shows_key", [
    (f"API key {FAKE_GEMINI_KEY} not valid. Please pass a valid API key.", True),
    ("The model is overloaded.", False),
])
def test_gemini_generation_errors_never_show_the_key(gemini_server, lines, message, shows_key):
    from google.api_core import exceptions

    gemini_server.script("POST", GENERATE, Reply(400, {"error": {"code": 400, "message": message,
                                                                 "status": "INVALID_ARGUMENT"}}))
    with pytest.raises(Exception) as info:
        ms._llm_generate_text(P.GOOGLE, "gemini-test", "p")
    if shows_key:
        # Redacted as on the OpenAI leg, with nothing attached that still holds the key.
        assert type(info.value) is RuntimeError
        assert str(info.value).startswith("Gemini request failed: 400 ")
        assert "API key [redacted] not valid" in str(info.value)
        assert info.value.__cause__ is None and info.value.__context__ is None
    else:
        # Any other error of the library passes through unchanged.
        assert isinstance(info.value, exceptions.BadRequest) and "The model is overloaded." in str(info.value)
    assert FAKE_GEMINI_KEY not in str(info.value) and not any(FAKE_GEMINI_KEY in line for line in lines)


def test_gemini_listing(gemini_server):
    gemini_server.script("GET", "/v1beta/models", gemini_models([
        ("models/gemini-1.5-flash", ["generateContent"]), ("models/embedding-001", ["embedContent"]),
        ("models/gemma-3", ["generateContent"]), ("models/gemini-1.5-flash", ["generateContent"])]))
    assert ms.list_models("gemini") == ["gemini-1.5-flash"]
    assert ms.list_gemini_models("") == ["gemini-1.5-flash", "gemma-3"]


def test_gemini_listing_failure_hides_the_key(gemini_server):
    gemini_server.script("GET", "/v1beta/models",
                         Reply(400, {"error": {"code": 400, "message": f"API key {FAKE_GEMINI_KEY} not valid",
                                               "status": "INVALID_ARGUMENT"}}))
    with pytest.raises(RuntimeError) as info:
        ms.list_gemini_models()
    assert str(info.value).startswith("Failed to list Gemini models: ")
    assert FAKE_GEMINI_KEY not in str(info.value)
