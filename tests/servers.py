"""Small scripted HTTP servers on 127.0.0.1 that stand in for the LLM services in tests.

The real vendor client libraries (``openai``, ``ollama``, ``google.generativeai`` over REST) talk to
these servers, so the tests exercise the libraries' own request building, response parsing, error
classes and retry logic.

API
---
``Reply(status=200, body=None, headers=None, delay=0.0)``
    One scripted answer. ``body`` may be a dict/list (sent as JSON), a str or bytes; ``delay`` is
    the seconds the server waits before answering (other requests are served meanwhile).

``FakeServer()``
    Starts at once on a free port of 127.0.0.1 in a daemon thread. Use it as a context manager or
    call ``close()``; the fixtures below close it by themselves.

    ``server.url``                  "http://127.0.0.1:PORT" (no trailing slash)
    ``server.script(method, path, *replies)``
                                    queue replies for requests whose method matches and whose path
                                    (without query) equals ``path``. Replies are used in order; the
                                    last one is repeated once the queue is down to it. A request
                                    without a scripted reply gets 404 with a JSON error body.
    ``server.script_with(method, path, choose)``
                                    answer the requests of a route with ``choose(recorded)``, a
                                    callable returning a Reply; it is called under the server's
                                    lock, one request at a time (e.g. ``Conversations``).
    ``server.requests``             every request received, in order, as ``Recorded``:
                                    ``method``, ``path``, ``query`` (dict of lists), ``headers``
                                    (dict, lower-case names), ``body`` (bytes), ``json`` (parsed body
                                    or None), ``started`` and ``finished`` (``time.monotonic()`` when
                                    the request was read and when its reply was sent).
    ``server.calls(method, path)``  the recorded requests to one route.

``Conversations(replies_by_marker)``
    A ``choose`` for ``script_with`` that holds several scripted conversations at once, e.g. one
    per concurrent client. ``replies_by_marker`` maps a marker text to that conversation's replies.
    A request whose body contains a marker gets the next reply of that conversation; a request
    without any marker starts the next conversation not yet started (in the mapping's order). So
    each conversation's replies should carry its marker in text the client sends back later (the
    model code of a generation reply does). The last reply of a conversation repeats;
    ``conversations.order`` lists the markers in the order the conversations started.

Reply builders for the shapes the services answer with:
    ``openai_response(text, input_tokens=..., output_tokens=..., model=...)``   Responses API result
    ``openai_error(status, message, param=None, code=None, retry_after_ms=None)``
    ``openai_models(ids)``                         GET /v1/models list
    ``ollama_generate(text, prompt_eval_count=..., eval_count=..., model=...)``  /api/generate
    ``ollama_tags(names)``                         GET /api/tags
    ``gemini_content(*texts, prompt_tokens=..., candidates_tokens=...)``   generateContent result
    ``gemini_models(entries)``                     GET /v1beta/models; entries are (name, methods)

Fixtures (import them into a test module: ``from servers import openai_server``):
    ``fake_server``     factory: ``fake_server()`` returns a started FakeServer, closed at teardown.
    ``openai_server``   a FakeServer with OPENAI_BASE_URL set to ``url + "/v1"`` and OPENAI_API_KEY
                        set to ``FAKE_OPENAI_KEY``; skips when ``openai`` is not installed.
    ``ollama_server``   a FakeServer with OLLAMA_HOST set to its url; the ``ollama`` package is
                        dropped from ``sys.modules`` so the next import reads the address (the
                        library fixes it when first imported); skips when ``ollama`` is missing.
    ``gemini_server``   a FakeServer for ``google.generativeai`` over REST: GEMINI_API_KEY is set to
                        ``FAKE_GEMINI_KEY`` and the library's ``configure`` is wrapped so that the
                        code under test still calls ``configure(api_key=...)`` alone while the real
                        library is sent to the server. ``server.configure_calls`` records the
                        keyword arguments of every such call. Skips when the library is missing.

Replies for a route are used in order and the last one stays: script all replies of a route
before the requests are made.
"""

from __future__ import annotations

import importlib.util
import json
import sys
import threading
import time
import warnings
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, urlsplit

import pytest

FAKE_OPENAI_KEY = "sk-test-KEY-4f9c2e1d7a"
FAKE_GEMINI_KEY = "AIza-test-KEY-8b3e6d2c1f"


@dataclass
class Reply:
    status: int = 200
    body: object = None
    headers: dict = field(default_factory=dict)
    delay: float = 0.0

    def encode(self) -> tuple[bytes, str]:
        if isinstance(self.body, bytes):
            return self.body, "application/octet-stream"
        if isinstance(self.body, str):
            return self.body.encode("utf-8"), "text/plain; charset=utf-8"
        return json.dumps(self.body if self.body is not None else {}).encode("utf-8"), "application/json"


@dataclass
class Recorded:
    method: str
    path: str
    query: dict
    headers: dict
    body: bytes
    started: float = 0.0
    finished: float | None = None

    @property
    def json(self):
        try:
            return json.loads(self.body) if self.body else None
        except ValueError:
            return None


class FakeServer:
    def __init__(self):
        self.requests: list[Recorded] = []
        self._routes: dict[tuple[str, str], list[Reply]] = {}
        self._choosers: dict[tuple[str, str], object] = {}
        self._lock = threading.Lock()
        server = self

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):  # keep test output quiet
                pass

            def _handle(self):
                length = int(self.headers.get("Content-Length") or 0)
                body = self.rfile.read(length) if length else b""
                parts = urlsplit(self.path)
                rec = Recorded(self.command, parts.path, parse_qs(parts.query),
                               {k.lower(): v for k, v in self.headers.items()}, body, time.monotonic())
                reply = server._next_reply(rec)
                if reply.delay:
                    time.sleep(reply.delay)
                data, ctype = reply.encode()
                self.send_response(reply.status)
                headers = {"Content-Type": ctype, **reply.headers}
                for name, value in headers.items():
                    self.send_header(name, str(value))
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                self.wfile.write(data)
                self.wfile.flush()
                rec.finished = time.monotonic()

            do_GET = do_POST = do_DELETE = do_PUT = _handle

        self._httpd = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self._httpd.daemon_threads = True
        self._thread = threading.Thread(target=self._httpd.serve_forever, kwargs={"poll_interval": 0.05},
                                        daemon=True)
        self._thread.start()

    @property
    def url(self) -> str:
        host, port = self._httpd.server_address[:2]
        return f"http://{host}:{port}"

    def script(self, method: str, path: str, *replies: Reply) -> "FakeServer":
        with self._lock:
            self._routes.setdefault((method.upper(), path), []).extend(replies)
        return self

    def script_with(self, method: str, path: str, choose) -> "FakeServer":
        with self._lock:
            self._choosers[(method.upper(), path)] = choose
        return self

    def calls(self, method: str, path: str) -> list[Recorded]:
        return [r for r in self.requests if r.method == method.upper() and r.path == path]

    def _next_reply(self, rec: Recorded) -> Reply:
        with self._lock:
            self.requests.append(rec)
            choose = self._choosers.get((rec.method, rec.path))
            if choose is not None:
                return choose(rec)
            queue = self._routes.get((rec.method, rec.path))
            if not queue:
                return Reply(404, {"error": {"message": f"no scripted reply for {rec.method} {rec.path}"}})
            return queue.pop(0) if len(queue) > 1 else queue[0]

    def close(self):
        self._httpd.shutdown()
        self._httpd.server_close()
        self._thread.join(timeout=5)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class Conversations:
    def __init__(self, replies_by_marker):
        self._replies = {marker: list(replies) for marker, replies in replies_by_marker.items()}
        self.order: list[str] = []

    def __call__(self, rec: Recorded) -> Reply:
        text = rec.body.decode("utf-8", "replace")
        marker = next((m for m in self.order if m in text), None)
        if marker is None:
            waiting = [m for m in self._replies if m not in self.order]
            if not waiting:
                return Reply(404, {"error": {"message": "every scripted conversation has started"}})
            marker = waiting[0]
            self.order.append(marker)
        queue = self._replies[marker]
        return queue.pop(0) if len(queue) > 1 else queue[0]


# ---- reply builders -------------------------------------------------------------------------

def openai_response(text="", *, input_tokens=11, output_tokens=7, model="gpt-5", output=None):
    """A Responses API result whose one message carries `text` (or the given `output` items)."""
    if output is None:
        output = [{
            "type": "message", "id": "msg_1", "status": "completed", "role": "assistant",
            "content": [{"type": "output_text", "text": text, "annotations": []}],
        }]
    usage = None
    if input_tokens is not None or output_tokens is not None:
        usage = {
            "input_tokens": input_tokens or 0, "output_tokens": output_tokens or 0,
            "total_tokens": (input_tokens or 0) + (output_tokens or 0),
            "input_tokens_details": {"cached_tokens": 0}, "output_tokens_details": {"reasoning_tokens": 0},
        }
    return Reply(200, {
        "id": "resp_1", "object": "response", "created_at": 1700000000, "status": "completed",
        "model": model, "output": output, "parallel_tool_calls": True, "tool_choice": "auto", "tools": [],
        "usage": usage,
    })


def openai_error(status, message, *, param=None, code=None, retry_after_ms=None):
    headers = {"retry-after-ms": str(retry_after_ms)} if retry_after_ms is not None else {}
    return Reply(status, {"error": {"message": message, "type": "invalid_request_error",
                                    "param": param, "code": code}}, headers)


def openai_models(ids):
    return Reply(200, {"object": "list",
                       "data": [{"id": i, "object": "model", "created": 0, "owned_by": "test"} for i in ids]})


def ollama_generate(text, *, prompt_eval_count=None, eval_count=None, model="llama3"):
    body = {"model": model, "created_at": "2024-01-01T00:00:00Z", "response": text, "done": True,
            "done_reason": "stop"}
    if prompt_eval_count is not None:
        body["prompt_eval_count"] = prompt_eval_count
    if eval_count is not None:
        body["eval_count"] = eval_count
    return Reply(200, body)


def ollama_tags(names):
    return Reply(200, {"models": [{"name": n, "model": n, "modified_at": "2024-01-01T00:00:00Z", "size": 1,
                                   "digest": "0" * 12, "details": {}} for n in names]})


def gemini_content(*texts, prompt_tokens=None, candidates_tokens=None):
    body = {"candidates": [{"content": {"role": "model", "parts": [{"text": t} for t in texts]},
                            "finishReason": "STOP", "index": 0}]}
    meta = {}
    if prompt_tokens is not None:
        meta["promptTokenCount"] = prompt_tokens
    if candidates_tokens is not None:
        meta["candidatesTokenCount"] = candidates_tokens
    if meta:
        body["usageMetadata"] = meta
    return Reply(200, body)


def gemini_models(entries):
    return Reply(200, {"models": [{"name": name, "supportedGenerationMethods": list(methods)}
                                  for name, methods in entries]})


# ---- fixtures -------------------------------------------------------------------------------

@pytest.fixture
def fake_server():
    started = []

    def start() -> FakeServer:
        server = FakeServer()
        started.append(server)
        return server

    yield start
    for server in started:
        server.close()


@pytest.fixture
def openai_server(fake_server, monkeypatch):
    if importlib.util.find_spec("openai") is None:
        pytest.skip("openai is not installed")
    server = fake_server()
    monkeypatch.setenv("OPENAI_BASE_URL", server.url + "/v1")
    monkeypatch.setenv("OPENAI_API_KEY", FAKE_OPENAI_KEY)
    return server


@pytest.fixture
def gemini_server(fake_server, monkeypatch):
    if importlib.util.find_spec("google") is None or importlib.util.find_spec("google.generativeai") is None:
        pytest.skip("google-generativeai is not installed")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the library announces its end of support when imported
        import google.generativeai as genai
    server = fake_server()
    server.configure_calls = []
    real_configure = genai.configure

    def configure(**kwargs):
        server.configure_calls.append(dict(kwargs))
        return real_configure(**kwargs, transport="rest", client_options={"api_endpoint": server.url})

    monkeypatch.setattr(genai, "configure", configure)
    monkeypatch.setenv("GEMINI_API_KEY", FAKE_GEMINI_KEY)
    return server


def _drop_modules(monkeypatch, package):
    for name in list(sys.modules):
        if name == package or name.startswith(package + "."):
            monkeypatch.delitem(sys.modules, name)


@pytest.fixture
def ollama_server(fake_server, monkeypatch):
    if importlib.util.find_spec("ollama") is None:
        pytest.skip("ollama is not installed")
    server = fake_server()
    monkeypatch.setenv("OLLAMA_HOST", server.url)
    _drop_modules(monkeypatch, "ollama")
    return server
