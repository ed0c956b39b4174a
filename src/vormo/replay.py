"""A local server that replays a recorded LLM conversation through the OpenAI Responses interface.

``vormo demo`` uses it to run the whole generation path on a machine without an API key: the real
``openai`` library is pointed at the server through ``OPENAI_BASE_URL`` and receives, one request
after the other, the replies recorded in a conversation file. The server listens on 127.0.0.1 only,
answers in the order of the recording, whatever the request says, and keeps every request it got.

A conversation file is JSON::

    {"model": "gpt-5",
     "sample": "bakery.txt",
     "replies": [{"label": "...", "text": "...", "input_tokens": 1200, "output_tokens": 300}, ...]}

``text`` is the reply exactly as the model wrote it; the token counts are those reported for it.
A reply may carry ``"delay"`` (seconds to wait before answering, as a slow service would).
"""

from __future__ import annotations

import json
import threading
import time
from collections.abc import Callable, Mapping, Sequence
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from importlib.resources import files
from typing import Any

__all__ = ["DEMO_DIR", "ReplayServer", "load_conversation", "response_body"]

#: Package folder holding the demo's sample description, its recorded conversation and the snapshot
#: of the pricing table the demo prices with.
DEMO_DIR = "demo"


def load_conversation(name: str = "conversation.json") -> dict[str, Any]:
    """Read a recorded conversation shipped in the package's demo folder."""
    text = (files("vormo") / DEMO_DIR / name).read_text(encoding="utf-8")
    conversation: dict[str, Any] = json.loads(text)
    return conversation


def response_body(reply: Mapping[str, Any], number: int, model: str) -> dict[str, Any]:
    """The Responses-interface object that carries one recorded reply."""
    prompt_tokens = int(reply.get("input_tokens", 0))
    completion_tokens = int(reply.get("output_tokens", 0))
    return {
        "id": f"resp_replay_{number}",
        "object": "response",
        "created_at": int(time.time()),
        "status": "completed",
        "model": model,
        "output": [
            {
                "id": f"msg_replay_{number}",
                "type": "message",
                "status": "completed",
                "role": "assistant",
                "content": [{"type": "output_text", "text": reply["text"], "annotations": []}],
            }
        ],
        "parallel_tool_calls": True,
        "tool_choice": "auto",
        "tools": [],
        "usage": {
            "input_tokens": prompt_tokens,
            "input_tokens_details": {"cached_tokens": 0},
            "output_tokens": completion_tokens,
            "output_tokens_details": {"reasoning_tokens": 0},
            "total_tokens": prompt_tokens + completion_tokens,
        },
    }


class ReplayServer:
    """Serve ``replies`` in order on 127.0.0.1 (a free port unless one is given).

    Use as a context manager; ``base_url`` is what ``OPENAI_BASE_URL`` must hold. ``requests`` lists
    the JSON bodies received, ``served`` counts the replies sent. ``on_reply`` is called (on the
    server's thread) with the number and the recorded entry of every reply just before it is sent.
    When the recording is used up, the server answers with an error that says so.
    """

    def __init__(
        self,
        replies: Sequence[Mapping[str, Any]],
        *,
        model: str = "gpt-5",
        port: int = 0,
        on_reply: Callable[[int, Mapping[str, Any]], None] | None = None,
    ) -> None:
        self.replies = list(replies)
        self.model = model
        self.requests: list[dict[str, Any]] = []
        self.served = 0
        self._on_reply = on_reply
        self._lock = threading.Lock()
        self._port = port
        self._httpd: ThreadingHTTPServer | None = None
        self._thread: threading.Thread | None = None

    @property
    def base_url(self) -> str:
        if self._httpd is None:
            raise RuntimeError("the replay server is not running")
        return f"http://127.0.0.1:{self._httpd.server_address[1]}/v1"

    def start(self) -> ReplayServer:
        server = self

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, format: str, *args: Any) -> None:  # noqa: A002 - the base's name
                pass

            def do_GET(self) -> None:
                if self.path.rstrip("/").endswith("/models"):
                    listing = {"object": "list",
                               "data": [{"id": server.model, "object": "model", "created": 0,
                                         "owned_by": "recorded"}]}
                    self._send(200, listing)
                else:
                    self._send(404, _error(f"no such path on the replay server: {self.path}"))

            def do_POST(self) -> None:
                length = int(self.headers.get("Content-Length") or 0)
                raw = self.rfile.read(length) if length else b""
                if not self.path.rstrip("/").endswith("/responses"):
                    self._send(404, _error(f"no such path on the replay server: {self.path}"))
                    return
                try:
                    body = json.loads(raw or b"{}")
                except ValueError:
                    self._send(400, _error("the request body is not JSON"))
                    return
                with server._lock:
                    server.requests.append(body)
                    number = server.served + 1
                    if number > len(server.replies):
                        reply = None
                    else:
                        reply = server.replies[number - 1]
                        server.served = number
                if reply is None:
                    self._send(410, _error(f"the recorded conversation has no reply {number}: "
                                           f"only {len(server.replies)} were recorded"))
                    return
                if server._on_reply is not None:
                    server._on_reply(number, reply)
                delay = float(reply.get("delay", 0) or 0)
                if delay > 0:
                    time.sleep(delay)
                model = body.get("model") if isinstance(body.get("model"), str) else server.model
                self._send(200, response_body(reply, number, model))

            def _send(self, status: int, payload: Mapping[str, Any]) -> None:
                data = json.dumps(payload).encode("utf-8")
                try:
                    self.send_response(status)
                    self.send_header("Content-Type", "application/json")
                    self.send_header("Content-Length", str(len(data)))
                    self.end_headers()
                    self.wfile.write(data)
                except (BrokenPipeError, ConnectionResetError):
                    pass  # the client went away (for example after Ctrl-C)

        self._httpd = ThreadingHTTPServer(("127.0.0.1", self._port), Handler)
        self._httpd.daemon_threads = True
        self._thread = threading.Thread(target=self._httpd.serve_forever, name="vormo-replay", daemon=True)
        self._thread.start()
        return self

    def stop(self) -> None:
        if self._httpd is not None:
            self._httpd.shutdown()
            self._httpd.server_close()
            self._httpd = None
        if self._thread is not None:
            self._thread.join(timeout=5)
            self._thread = None

    def __enter__(self) -> ReplayServer:
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()


def _error(message: str) -> dict[str, Any]:
    return {"error": {"message": message, "type": "invalid_request_error", "param": None, "code": None}}
