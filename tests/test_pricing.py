"""The pricing table: reading Markdown price documents from files and over HTTP, and the memo."""

import http.server
import io
import logging
import math
import os
import pathlib
import tempfile
import threading
import urllib.error
import urllib.request

import pytest
from hypothesis import given, settings, strategies as st

import vormo.tokenledger as tl

SHIPPED = pathlib.Path(__file__).parent / ".." / "pricing_table.md"
HEADER_1M = "| Model | Prompt Cost (USD) per 1M tokens | Completion Cost (USD) per 1M tokens |"
SEPARATOR = "|---|---|---|"


@pytest.fixture(autouse=True)
def fresh_cache():
    tl.clear_pricing_cache()
    yield
    tl.clear_pricing_cache()


@pytest.fixture
def parse(tmp_path):
    """Write a document to a fresh file and parse it; returns the table as a list of items."""
    counter = iter(range(10**6))

    def run(text):
        path = tmp_path / f"doc{next(counter)}.md"
        path.write_text(text, encoding="utf8", newline="")
        return [(k, (v["prompt_per_1M"], v["completion_per_1M"])) for k, v in tl._parse_pricing(str(path)).items()]

    return run


DOCUMENTS = {
    "header-per-1M": (
        [HEADER_1M, SEPARATOR, "| GPT-4o | $2.50 | $10.00 |"],
        [("gpt-4o", (2.5, 10.0))],
    ),
    "header-per-1K-and-1M": (
        ["| Model | Prompt per 1K tokens | Completion per 1M tokens |", SEPARATOR, "| GPT-4o | $2.50 | $10.00 |"],
        [("gpt-4o", (2500.0, 10.0))],
    ),
    "cell-unit-wins": (
        ["| Model | Prompt per 1K | Completion per 1K |", "| a | $0.0025 / 1K | $3 per 1M |",
         "| b | 2 /1m | 4 per  1 K |"],
        [("a", (2.5, 3.0)), ("b", (2.0, 4000.0))],
    ),
    "cell-unit-without-header": (
        ["| a | $0.002 / 1k | 0.004 per 1K tokens |", "| b | 2 Per 1K | 5 per1K |", "| c | 7 /1Kb | 8 / 1 M |"],
        # "Per" and "per1K" are no markers; "1Kb" has no word boundary after the K
        [("a", (2.0, 4.0)), ("b", (2.0, 5.0)), ("c", (7.0, 8.0))],
    ),
    "numbers": (
        ["| a | 1,250.5 | .5 |", "| b |  | n/a |", "| c | n/a | $ 3 |", "| d | 12abc | USD 0.40 |"],
        # b has no readable price: no entry
        [("a", (1250.5, 0.5)), ("c", (None, 3.0)), ("d", (12.0, 0.4))],
    ),
    "extra-cells-and-aligned-separator": (
        ["| Model | Prompt | Completion | Notes |", "|:---:|:----|----:|---|", "| a | 1 | 2 | 1000 per 1K |"],
        [("a", (1.0, 2.0))],
    ),
    "row-before-header-is-per-million": (
        ["| early | 3 | 4 |", "| Model | Prompt per 1K | Completion per 1K |", "| late | 3 | 4 |"],
        [("early", (3.0, 4.0)), ("late", (3000.0, 4000.0))],
    ),
    "next-header-resets-units": (
        ["| Model | prompt /1k | completion /1k |", "| a | 1 | 1 |", "| Model | prompt | completion |", "| b | 1 | 1 |"],
        [("a", (1000.0, 1000.0)), ("b", (1.0, 1.0))],
    ),
    "header-needs-prompt-or-completion": (
        ["| Model | Input per 1K | Output per 1K |", "| model x | 1 | 2 |", "| Name | Prompt 1k | Completion 1k |"],
        # neither row is a header: both are read as data rows (the first with its own "per 1K")
        [("model", (1000.0, 1000.0)), ("model x", (1.0, 2.0)), ("name", (1.0, 1.0))],
    ),
    "header-by-third-cell-only": (
        ["| The MODEL | unit 1K | Completion |", "| a | 2 | 3 |"],
        [("a", (2000.0, 3.0))],
    ),
    "free-form-with-dollars": (
        ["gpt-4: prompt $0.03 / 1K tokens, completion $0.06 / 1K tokens",
         "m2: prompt $0.5 per 1M",
         "m3 - completion $4",
         "Claude/X@v1: prompt 5 tokens at $0.03 / 1K"],
        [("gpt-4", (30.0, 60.0)), ("m2", (0.5, None)), ("m3", (None, 4.0)), ("claude/x@v1", (30.0, None))],
    ),
    "free-form-without-dollars": (
        ["m1: prompt 0.5 per 1M",
         "gpt-4o: prompt 2.5, completion 10",
         "m4: Prompt 0.002 per 1K, COMPLETION 0.008 per 1K",
         "m5: completion .75 then 9"],
        [("m1", (0.5, None)), ("gpt-4o", (2.5, 10.0)), ("m4", (2.0, 8.0)), ("m5", (None, 0.75))],
    ),
    "ignored-lines": (
        ["# Prices", "", "   ", "  # | a | 1 | 2 |", "| x |", "|| y ||", "plain prose without prices",
         "note: nothing to see", "|---|---|---|"],
        [],
    ),
    "later-line-wins-and-keeps-position": (
        ["| a | 1 | 2 |", "| b | 3 | 4 |", "A: prompt $5, completion $6"],
        [("a", (5.0, 6.0)), ("b", (3.0, 4.0))],
    ),
    "keys-lower-cased-and-stripped": (
        ["|   GPT-ÄÖ Mini   | 1 | 2 |", "||| İx | 3 | 4 |||"],
        [("gpt-äö mini", (1.0, 2.0)), ("i̇x", (3.0, 4.0))],
    ),
}


@pytest.mark.parametrize("lines, expected", DOCUMENTS.values(), ids=DOCUMENTS.keys())
def test_document_parsing(parse, lines, expected):
    assert parse("\n".join(lines) + "\n") == expected


@pytest.mark.parametrize("sep", ["\r\n", "\r", "\u2028", "\x0c", "\x85"])
def test_line_boundaries_of_the_host(parse, sep):
    doc = sep.join([HEADER_1M, SEPARATOR, "| a | 1 | 2 |", "b: prompt $3"])
    assert parse(doc) == [("a", (1.0, 2.0)), ("b", (3.0, None))]


def test_shipped_pricing_table():
    table = tl._parse_pricing(str(SHIPPED))
    expected = {
        "gpt-5-pro": (15.0, 120.0),
        "gpt-5-mini": (0.25, 2.0),
        "gpt-5-nano": (0.05, 0.4),
        "gpt-5": (1.25, 10.0),
        "gpt-4.1-mini": (0.4, 1.6),
        "gpt-4.1-nano": (0.1, 0.4),
        "gpt-4.1": (2.0, 8.0),
        "gpt-4o-mini": (0.15, 0.6),
        "gpt-4o": (2.5, 10.0),
        "o1-pro": (150.0, 600.0),
        "o1-mini": (1.1, 4.4),
        "o1": (15.0, 60.0),
        "o3-pro": (20.0, 80.0),
        "o3-mini": (1.1, 4.4),
        "o3": (2.0, 8.0),
        "o4-mini": (1.1, 4.4),
        "gemini-2.5-pro": (1.25, 10.0),
        "gemini-2.5-flash-lite": (0.1, 0.4),
        "gemini-2.5-flash": (0.3, 2.5),
        "gemini-2.0-flash-lite": (0.075, 0.3),
        "gemini-2.0-flash": (0.1, 0.4),
    }
    assert [(k, (v["prompt_per_1M"], v["completion_per_1M"])) for k, v in table.items()] == list(expected.items())


def test_pricing_url_is_the_shipped_file_on_the_repository_page():
    assert tl.PRICING_URL.startswith("https://github.com/")
    assert "/blob/main/" in tl.PRICING_URL
    assert tl.PRICING_URL.endswith("/pricing_table.md")


# --- memo -------------------------------------------------------------------------------------


def write(path, text):
    path.write_text(text, encoding="utf8")
    return str(path)


def test_repeated_call_returns_the_same_table_without_reading(tmp_path):
    path = write(tmp_path / "p.md", "| a | 1 | 2 |\n")
    first = tl._parse_pricing(path)
    write(tmp_path / "p.md", "| a | 9 | 9 |\n")
    assert tl._parse_pricing(path) is first
    assert first["a"]["prompt_per_1M"] == 1.0
    tl.clear_pricing_cache()
    again = tl._parse_pricing(path)
    assert again is not first and again["a"]["prompt_per_1M"] == 9.0


def test_least_recently_used_table_is_evicted(tmp_path):
    paths = [write(tmp_path / f"p{i}.md", f"| m | {i} | 1 |\n") for i in range(10)]
    tables = [tl._parse_pricing(p) for p in paths[:8]]
    assert tl._parse_pricing(paths[0]) is tables[0]  # now the most recently used
    tl._parse_pricing(paths[8])  # a ninth path evicts the least recently used: paths[1]
    assert tl._parse_pricing(paths[0]) is tables[0]
    assert all(tl._parse_pricing(p) is t for p, t in zip(paths[2:8], tables[2:8]))
    reread = tl._parse_pricing(paths[1])
    assert reread is not tables[1] and reread == tables[1]


@pytest.mark.parametrize(
    "make_path, error",
    [
        (lambda d: str(d / "missing.md"), FileNotFoundError),
        (lambda d: str(d), IsADirectoryError),
        (lambda d: (d / "bad.md").write_bytes(b"| a\xff | 1 | 2 |\n") and str(d / "bad.md"), UnicodeDecodeError),
        (lambda d: "nul\0path", ValueError),
    ],
    ids=["missing", "directory", "bad-utf8", "nul-in-path"],
)
def test_failed_load_warns_once_and_is_cached(tmp_path, caplog, make_path, error):
    path = make_path(tmp_path)
    caplog.set_level(logging.WARNING, logger="vormo.tokenledger")
    table = tl._parse_pricing(path)
    assert table == {}
    assert tl._parse_pricing(path) is table
    records = [r for r in caplog.records if r.name == "vormo.tokenledger"]
    assert len(records) == 1
    rec = records[0]
    assert rec.levelno == logging.WARNING
    assert rec.msg == "Failed to load pricing from %s: %s"
    assert rec.args[0] == path and isinstance(rec.args[1], error)
    tl.clear_pricing_cache()
    assert tl._parse_pricing(path) == {}
    assert len([r for r in caplog.records if r.name == "vormo.tokenledger"]) == 2


def test_warning_goes_through_the_module_logger(tmp_path, monkeypatch):
    seen = []
    monkeypatch.setattr(tl, "logger", type("L", (), {"isEnabledFor": lambda s, lvl: True,
                                                    "log": lambda s, *a: seen.append(a)})())
    tl._parse_pricing(str(tmp_path / "nope.md"))
    assert seen and seen[0][0] == logging.WARNING


@pytest.mark.parametrize("bad", [None, b"/tmp/x", 3, pathlib.Path("/tmp/x")])
def test_path_must_be_text(bad):
    with pytest.raises(TypeError, match="Argument 'path' has incorrect type"):
        tl._parse_pricing(bad)


# --- web addresses ----------------------------------------------------------------------------


class FakeResponse(io.BytesIO):
    closed_by_exit = False

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.closed_by_exit = True
        self.close()


@pytest.fixture
def fake_urlopen(monkeypatch):
    calls = []

    def urlopen(req, timeout=None):
        resp = FakeResponse(b"| m | 1 | 2 |\n")
        calls.append((req, timeout, resp))
        return resp

    monkeypatch.setattr(urllib.request, "urlopen", urlopen)
    return calls


@pytest.mark.parametrize(
    "address, fetched",
    [
        ("https://github.com/own/repo/blob/main/dir/pricing_table.md",
         "https://raw.githubusercontent.com/own/repo/main/dir/pricing_table.md"),
        ("HTTP://GitHub.COM/Own/Repo/blob/dev/p.md", "https://raw.githubusercontent.com/Own/Repo/dev/p.md"),
        ("https://raw.githubusercontent.com/own/repo/main/p.md", "https://raw.githubusercontent.com/own/repo/main/p.md"),
        ("https://example.org/own/repo/blob/main/p.md", "https://example.org/own/repo/blob/main/p.md"),
        ("https://github.com/own/repo/tree/main/p.md", "https://github.com/own/repo/tree/main/p.md"),
    ],
)
def test_web_address_fetch(fake_urlopen, address, fetched):
    assert tl._parse_pricing(address) == {"m": {"prompt_per_1M": 1.0, "completion_per_1M": 2.0}}
    [(req, timeout, resp)] = fake_urlopen
    assert req.full_url == fetched
    assert req.get_method() == "GET"
    assert req.header_items() == [("User-agent", "vormo/1.0")]
    assert timeout == 10
    assert resp.closed_by_exit


def test_local_path_is_never_fetched(fake_urlopen, tmp_path):
    path = write(tmp_path / "https-like.md", "| m | 3 | 4 |\n")
    assert tl._parse_pricing(path)["m"]["prompt_per_1M"] == 3.0
    assert fake_urlopen == []


class PricingHandler(http.server.BaseHTTPRequestHandler):
    bodies = {
        "/pricing.md": f"{HEADER_1M}\n{SEPARATOR}\n| GPT-4o | $2.50 | $10.00 |\n".encode(),
        "/latin1.md": b"| m\xe9 | 1 | 2 |\n",
    }

    def do_GET(self):
        self.server.agents.append(self.headers.get("User-Agent"))
        if self.path in ("/endless.md", "/trickle.md"):
            self.stream_for_ever(fast=self.path == "/endless.md")
            return
        body = self.bodies.get(self.path)
        if body is None or self.headers.get("User-Agent") != "vormo/1.0":
            self.send_error(404 if body is None else 403)
            return
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def stream_for_ever(self, fast):
        """A body without a length that never ends: megabytes at once, or one byte at a time."""
        self.send_response(200)
        self.end_headers()
        row = b"| gpt-4o | 2.50 | 10.00 |\n"
        try:
            while not self.server.stopping.is_set():
                self.wfile.write(row * 4096 if fast else row[:1])
                self.wfile.flush()
                if not fast:
                    self.server.stopping.wait(0.5)
        except OSError:  # the reader hung up
            pass

    def log_message(self, *args):
        pass


@pytest.fixture
def server():
    srv = http.server.ThreadingHTTPServer(("127.0.0.1", 0), PricingHandler)
    srv.agents = []
    srv.stopping = threading.Event()
    srv.daemon_threads = True
    thread = threading.Thread(target=srv.serve_forever, daemon=True)
    thread.start()
    yield srv
    srv.stopping.set()
    srv.shutdown()
    srv.server_close()
    thread.join(5)


def base(srv):
    return f"http://127.0.0.1:{srv.server_address[1]}"


def test_http_fetch_sends_the_user_agent(server):
    table = tl._parse_pricing(base(server) + "/pricing.md")
    assert table == {"gpt-4o": {"prompt_per_1M": 2.5, "completion_per_1M": 10.0}}
    assert server.agents == ["vormo/1.0"]
    tl._parse_pricing(base(server) + "/pricing.md")
    assert server.agents == ["vormo/1.0"]  # served from the memo


def test_http_body_is_decoded_with_replacement(server):
    table = tl._parse_pricing(base(server) + "/latin1.md")
    assert list(table) == ["m\ufffd"]


def test_http_error_status_is_a_failed_load(server, caplog):
    caplog.set_level(logging.WARNING, logger="vormo.tokenledger")
    url = base(server) + "/absent.md"
    assert tl._parse_pricing(url) == {}
    assert tl._parse_pricing(url) == {}
    [rec] = [r for r in caplog.records if r.name == "vormo.tokenledger"]
    assert rec.args[0] == url and isinstance(rec.args[1], urllib.error.HTTPError)


# A server that never stops sending, or sends a byte now and then, holds no run: the whole fetch
# has one 10-second deadline and the document a size cap of 512 KB; either ends in the usual
# warning and the empty table, memoised like any failed load.
@pytest.mark.parametrize("path, error", [("/endless.md", ValueError), ("/trickle.md", TimeoutError)])
def test_endless_or_trickling_server_is_a_failed_load(server, caplog, path, error):
    caplog.set_level(logging.WARNING, logger="vormo.tokenledger")
    url = base(server) + path
    assert tl._parse_pricing(url) == {}
    assert tl._parse_pricing(url) == {}
    [rec] = [r for r in caplog.records if r.name == "vormo.tokenledger"]
    assert rec.getMessage().startswith(f"Failed to load pricing from {url}: ")
    assert isinstance(rec.args[1], error)
    assert server.agents == ["vormo/1.0"]


def test_a_local_document_beyond_the_cap_is_a_failed_load(tmp_path, caplog):
    caplog.set_level(logging.WARNING, logger="vormo.tokenledger")
    row = "| gpt-4o | 2.50 | 10.00 |\n"
    near = write(tmp_path / "near.md", row * (500 * 1024 // len(row)))
    beyond = write(tmp_path / "beyond.md", row * (600 * 1024 // len(row)))
    assert tl._parse_pricing(near) == {"gpt-4o": {"prompt_per_1M": 2.5, "completion_per_1M": 10.0}}
    assert tl._parse_pricing(beyond) == {}
    [rec] = [r for r in caplog.records if r.name == "vormo.tokenledger"]
    assert rec.args[0] == beyond and isinstance(rec.args[1], ValueError)


# --- robustness -------------------------------------------------------------------------------

FRAGMENTS = st.sampled_from(
    ["|", "||", " | ", "---", ":---:", "$", "1", "0.5", ".", ",", "1,2", "1K", "1m", "per 1K", "/ 1M", "Model",
     "prompt", "completion", "Prompt per 1k", ":", "-", "#", "\n", "\r\n", "\u2028", "gpt-4o", "٣", "𝟗", " ", "n/a",
     "9" * 400]
)
DOC_TEXT = st.one_of(
    st.text(),
    st.lists(st.one_of(FRAGMENTS, st.text(max_size=5)), max_size=60).map("".join),
)


@settings(max_examples=300, deadline=None)
@given(DOC_TEXT)
def test_any_document_parses_into_well_formed_entries(text):
    fd, path = tempfile.mkstemp(suffix=".md")
    try:
        with os.fdopen(fd, "w", encoding="utf8", newline="") as f:
            f.write(text)
        tl.clear_pricing_cache()
        table = tl._parse_pricing(path)
    finally:
        os.unlink(path)
    assert type(table) is dict
    for key, entry in table.items():
        assert type(key) is str and key == key.lower()
        assert list(entry) == ["prompt_per_1M", "completion_per_1M"]
        assert all(v is None or type(v) is float for v in entry.values())
        assert not (entry["prompt_per_1M"] is None and entry["completion_per_1M"] is None)
        assert all(v is None or not math.isnan(v) for v in entry.values())
