"""A service that refuses or cannot be reached ends the command with one line naming the fix: the
key's variable, --model-name with 'vormo models', or the address that was tried. The real vendor
libraries talk to the fake servers."""

import os
import subprocess
import sys
import textwrap

import pytest

import vormo.tokenledger as tl
from servers import (FAKE_GEMINI_KEY, FAKE_OPENAI_KEY, Reply, fake_server, gemini_models, gemini_server,  # noqa: F401
                     ollama_server, openai_error, openai_server)
from test_cli_polish import PRICING
from vormo import cli

GEMINI_GENERATE = "/v1beta/models/gemini-test:generateContent"
MODEL = {"openai": "gpt-9", "google": "gemini-test", "ollama": "llama9"}
FIXTURE = {"openai": "openai_server", "google": "gemini_server", "ollama": "ollama_server"}


@pytest.fixture(autouse=True)
def local_pricing(monkeypatch, sleeps):
    tl.clear_pricing_cache()
    monkeypatch.setattr(tl, "PRICING_URL", PRICING)
    yield
    tl.clear_pricing_cache()


def script(provider, kind, server):
    if provider == "openai":
        if kind == "key":
            refusal = openai_error(401, "Incorrect API key provided: sk-te****5678.", code="invalid_api_key")
            server.script("POST", "/v1/responses", refusal)
            server.script("GET", "/v1/models", refusal)
        else:
            server.script("POST", "/v1/responses", openai_error(
                404, "The model `gpt-9` does not exist or you do not have access to it.", code="model_not_found"))
    elif provider == "google":
        if kind == "key":
            server.script("POST", GEMINI_GENERATE, Reply(400, {"error": {
                "code": 400, "message": "API key not valid. Please pass a valid API key.", "status": "INVALID_ARGUMENT",
                "details": [{"@type": "type.googleapis.com/google.rpc.ErrorInfo", "reason": "API_KEY_INVALID"}]}}))
            server.script("GET", "/v1beta/models", Reply(401, {"error": {
                "code": 401, "message": "Request had invalid authentication credentials.", "status": "UNAUTHENTICATED"}}))
        else:
            server.script("POST", GEMINI_GENERATE, Reply(404, {"error": {
                "code": 404, "message": "models/gemini-test is not found for API version v1beta.",
                "status": "NOT_FOUND"}}))
    elif kind == "key":
        server.script("POST", "/api/generate", Reply(401, {"error": "unauthorized"}))
        server.script("GET", "/api/tags", Reply(401, {"error": "unauthorized"}))
    else:
        server.script("POST", "/api/generate", Reply(404, {"error": "model 'llama9' not found, try pulling it first"}))


def command(name, provider, tmp_path):
    if name == "models":
        return ["models", "--provider", provider]
    return ["solve", "Bake bread.", "-m", tmp_path / "p.mod", "-d", tmp_path / "p.dat", "--model-name", MODEL[provider],
            "--provider", provider, "--no-few-shot", "--no-alignment"]


# provider x what went wrong x command -> what the line must name
@pytest.mark.parametrize("provider, kind, name, names", [
    ("openai", "key", "solve", ["OPENAI_API_KEY", "did not accept the API key"]),
    ("openai", "key", "models", ["OPENAI_API_KEY"]),
    ("openai", "model", "solve", ["--model-name", "'vormo models --provider openai'", "gpt-9"]),
    ("openai", "refused", "solve", ["cannot reach the OpenAI service at {address}/v1"]),
    ("openai", "refused", "models", ["cannot reach the OpenAI service at {address}/v1"]),
    ("google", "key", "solve", ["GEMINI_API_KEY", "API key not valid"]),
    ("google", "key", "models", ["GEMINI_API_KEY"]),
    ("google", "model", "solve", ["--model-name", "'vormo models --provider google'", "gemini-test"]),
    ("google", "refused", "solve", ["cannot reach the Gemini service at {address}"]),
    ("google", "refused", "models", ["cannot reach the Gemini service at {address}"]),
    ("ollama", "key", "solve", ["OLLAMA_API_KEY"]),
    ("ollama", "key", "models", ["OLLAMA_API_KEY"]),
    ("ollama", "model", "solve", ["--model-name", "'vormo models --provider ollama'", "'ollama pull llama9'"]),
    ("ollama", "refused", "solve", ["cannot reach the Ollama server at {address}", "OLLAMA_HOST"]),
    ("ollama", "refused", "models", ["cannot reach the Ollama server at {address}", "OLLAMA_HOST"]),
])
def test_a_provider_error_names_its_fix(request, capsys, tmp_path, provider, kind, name, names):
    server = request.getfixturevalue(FIXTURE[provider])
    if kind == "refused":
        server.close()  # nothing listens there any more
    else:
        script(provider, kind, server)
    status = cli.main([str(a) for a in command(name, provider, tmp_path)])
    out, err = capsys.readouterr()
    errors = [line for line in err.splitlines() if line.startswith("vormo: error: ")]
    assert status == 2 and len(errors) == 1, err
    for fragment in names:
        assert fragment.format(address=server.url) in errors[0]
    assert "check the network, the API key and the model name" not in errors[0]
    assert FAKE_OPENAI_KEY not in out + err and FAKE_GEMINI_KEY not in out + err


@pytest.mark.parametrize("error, expected", [
    # A Gemini error that repeated the key arrives redacted, as text: it is still read for its status.
    (RuntimeError("Gemini request failed: 403 POST http://h/v1beta/models/g:generateContent: Permission denied"),
     "set GEMINI_API_KEY"),
    # An OpenAI 404 that is not about a model points at the address, not at the model name.
    (RuntimeError("OpenAI request failed after 3 attempts: Error code: 404 - Not Found"),
     "the OpenAI service at https://api.openai.com/v1 answered 404"),
    # A forbidden model is not a key problem.
    (RuntimeError("OpenAI request failed after 3 attempts: Error code: 403 - Project does not have access"),
     "OpenAI request failed: Error code: 403"),
    (RuntimeError("Failed to list Gemini models: HTTPSConnectionPool(host='g.example', port=443): Max retries"),
     "cannot reach the Gemini service at https://g.example:443"),
])
def test_vendor_texts_are_read_for_their_fix(monkeypatch, error, expected):
    monkeypatch.delenv("OPENAI_BASE_URL", raising=False)
    assert expected in cli.explain(error)


DRIVER = textwrap.dedent("""
    import os, sys
    import vormo.modelsmith as ms
    from vormo import cli

    def client():
        # The real library, imported during the command as the package does, sent to the fake server.
        import google.generativeai as genai
        genai.configure(api_key=os.environ["GEMINI_API_KEY"], transport="rest",
                        client_options={"api_endpoint": os.environ["FAKE_GEMINI_URL"]})
        return genai

    ms._google_client = client
    sys.exit(cli.main(sys.argv[1:]))
""")


@pytest.mark.parametrize("debug, shown", [([], False), (["--debug"], True)])
def test_the_gemini_librarys_future_warnings_only_with_debug(fake_server, debug, shown):
    pytest.importorskip("google.generativeai")
    server = fake_server()
    server.script("GET", "/v1beta/models", gemini_models([("models/gemini-test", ["generateContent"])]))
    env = {k: v for k, v in os.environ.items() if k != "PYTHONWARNINGS"}
    env.update(GEMINI_API_KEY=FAKE_GEMINI_KEY, FAKE_GEMINI_URL=server.url)
    done = subprocess.run([sys.executable, "-c", DRIVER, *debug, "models", "--provider", "google"],
                          capture_output=True, text=True, env=env, timeout=300)
    assert done.returncode == 0 and done.stdout == "gemini-test\n", done.stderr
    assert ("FutureWarning" in done.stderr) is shown
