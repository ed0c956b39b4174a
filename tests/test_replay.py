"""The recorded-reply server behind `vormo demo`: order, routes, the end of the recording, and the
recording itself (first reply a compile fault, then the corrected pair, then the verdict)."""

import json
import urllib.error
import urllib.request

import pytest

import vormo.modelsmith as ms
from vormo import replay
from vormo.vormo_kernel import VormoCompiler

CONVERSATION = replay.load_conversation()


def call(server, method, path, body=None):
    data = None if body is None else (body if isinstance(body, bytes) else json.dumps(body).encode())
    req = urllib.request.Request(server.base_url.removesuffix("/v1") + path, data=data, method=method,
                                 headers={"Content-Type": "application/json"})
    try:
        with urllib.request.urlopen(req, timeout=10) as resp:
            return resp.status, json.load(resp)
    except urllib.error.HTTPError as err:
        return err.code, json.load(err)


@pytest.mark.parametrize("method, path, body, status, message", [
    ("POST", "/v1/responses", {"model": "m", "input": "x"}, 200, None),
    ("POST", "/v1/responses/", {"model": "m", "input": "x"}, 200, None),
    ("GET", "/v1/models", None, 200, None),
    ("POST", "/v1/chat/completions", {"model": "m"}, 404, "no such path"),
    ("GET", "/v1/responses", None, 404, "no such path"),
    ("POST", "/v1/responses", b"{not json", 400, "not JSON"),
])
def test_routes(method, path, body, status, message):
    with replay.ReplayServer([{"text": "hello", "input_tokens": 3, "output_tokens": 2}], model="rec") as server:
        code, payload = call(server, method, path, body)
    assert code == status
    if message:
        assert message in payload["error"]["message"]


def test_replies_in_order_then_a_clear_end():
    replies = [{"text": f"reply {n}", "input_tokens": n, "output_tokens": 10 * n, "label": f"r{n}"} for n in (1, 2)]
    announced = []
    with replay.ReplayServer(replies, on_reply=lambda n, r: announced.append((n, r["label"]))) as server:
        got = [call(server, "POST", "/v1/responses", {"model": "asked", "input": str(n)}) for n in range(3)]
        assert [b["input"] for b in server.requests] == ["0", "1", "2"]
        assert server.served == 2
    texts = [p["output"][0]["content"][0]["text"] for _, p in got[:2]]
    assert texts == ["reply 1", "reply 2"]
    assert [p["usage"]["total_tokens"] for _, p in got[:2]] == [11, 22]
    assert got[0][1]["model"] == "asked"
    assert got[2][0] == 410 and "no reply 3: only 2 were recorded" in got[2][1]["error"]["message"]
    assert announced == [(1, "r1"), (2, "r2")]


def test_base_url_only_while_running():
    server = replay.ReplayServer([])
    with pytest.raises(RuntimeError, match="not running"):
        server.base_url
    with server:
        assert server.base_url.startswith("http://127.0.0.1:")
    with pytest.raises(RuntimeError):
        server.base_url


def pair(number):
    obj = ms._json_loads_relaxed(CONVERSATION["replies"][number - 1]["text"])
    return obj["model"], obj["data"]


def test_recording_first_reply_has_a_compile_fault_second_compiles():
    with pytest.raises(SyntaxError):
        VormoCompiler().compile_model(*pair(1))
    VormoCompiler().compile_model(*pair(2))
    verdict = json.loads(CONVERSATION["replies"][2]["text"])
    assert verdict["aligned"] is True and verdict["assessment"].strip()


def test_recorded_pair_solves_to_the_stated_optimum():
    pytest.importorskip("scipy")
    from vormo import runner

    result = runner.solve_texts(*pair(2), time_limit=30)
    assert result["status"] == "optimal"
    assert result["objective"] == pytest.approx(706.5)
    assert result["variables"] == {"bake[baguette]": 100, "bake[croissant tray]": 59, "bake[cake]": 2}


def test_demo_pricing_snapshot_matches_the_published_table():
    import pathlib
    from importlib.resources import files

    checkout = pathlib.Path(__file__).resolve().parent.parent
    shipped = (files("vormo") / replay.DEMO_DIR / "pricing_table.md").read_text(encoding="utf-8")
    assert shipped == (checkout / "pricing_table.md").read_text(encoding="utf-8")
