"""Files and responses read inside a with-statement: the context manager's __exit__ sees the real
error, and that error (an interrupt included) reaches the caller unchanged."""

import builtins
import http.server
import io
import json
import logging
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time
import urllib.request

import pytest

import vormo.modelsmith as ms
import vormo.tokenledger as tl

TABLE = "| a | 1 | 2 |\n"


@pytest.fixture(autouse=True)
def fresh_cache():
    tl.clear_pricing_cache()
    yield
    tl.clear_pricing_cache()


class Resource:
    """A context manager whose read fails with `error` (or returns TABLE); records __exit__."""

    def __init__(self, error=None, suppress=False):
        self.error, self.suppress, self.exits = error, suppress, []

    def __enter__(self):
        return self

    def __exit__(self, *triple):
        self.exits.append(triple)
        return self.suppress

    def read(self, size=-1):
        # A stream: the table once, then the end (the readers read in bounded chunks).
        if self.error is not None:
            raise self.error
        text, self.served = ("" if getattr(self, "served", False) else TABLE), True
        return text.encode() if self.binary else text

    read1 = read


def read_file(monkeypatch, res):
    res.binary = False
    monkeypatch.setattr(builtins, "open", lambda *a, **k: res)
    return ms._read_file("/any/file.mod")


def pricing_file(monkeypatch, res):
    res.binary = False
    monkeypatch.setattr(builtins, "open", lambda *a, **k: res)
    return tl._parse_pricing("/any/prices.md")


def pricing_fetch(monkeypatch, res):
    res.binary = True
    monkeypatch.setattr(urllib.request, "urlopen", lambda req, timeout=None: res)
    return tl._parse_pricing("https://example.invalid/prices.md")


SITES = {"read_file": read_file, "pricing_file": pricing_file, "pricing_fetch": pricing_fetch}
ERRORS = {
    "OSError": lambda: OSError(5, "Input/output error"),
    "MemoryError": MemoryError,
    "UnicodeDecodeError": lambda: UnicodeDecodeError("utf-8", b"\xff", 0, 1, "invalid start byte"),
    "KeyboardInterrupt": KeyboardInterrupt,
    "SystemExit": lambda: SystemExit(3),
}


@pytest.mark.parametrize("site", SITES)
@pytest.mark.parametrize("kind", ERRORS)
def test_exit_sees_the_error_and_the_error_propagates(monkeypatch, caplog, site, kind):
    caplog.set_level(logging.WARNING, logger="vormo.tokenledger")
    error = ERRORS[kind]()
    res = Resource(error)
    ordinary = isinstance(error, Exception)
    if site.startswith("pricing") and ordinary:
        # an ordinary failure is a failed load: logged, empty and remembered
        assert SITES[site](monkeypatch, res) == {}
        [record] = [r for r in caplog.records if r.name == "vormo.tokenledger"]
        assert record.args[1] is error
        monkeypatch.setattr(builtins, "open", lambda *a, **k: pytest.fail("read again"))
        monkeypatch.setattr(urllib.request, "urlopen", lambda *a, **k: pytest.fail("fetched again"))
        assert SITES[site](monkeypatch, Resource()) == {}
    else:
        with pytest.raises(type(error)) as info:
            SITES[site](monkeypatch, res)
        assert info.value is error
        assert [r for r in caplog.records if r.name == "vormo.tokenledger"] == []
    [(etype, evalue, tb)] = res.exits
    assert etype is type(error) and evalue is error
    assert in_traceback(tb, error.__traceback__)


@pytest.mark.parametrize("site", SITES)
def test_interrupted_load_is_not_remembered(monkeypatch, site):
    with pytest.raises(KeyboardInterrupt):
        SITES[site](monkeypatch, Resource(KeyboardInterrupt()))
    res = Resource()
    result = SITES[site](monkeypatch, res)
    assert result == (TABLE if site == "read_file" else {"a": {"prompt_per_1M": 1.0, "completion_per_1M": 2.0}})
    assert res.exits == [(None, None, None)]


def in_traceback(tb, final):
    """Whether `tb` is the traceback the error had at some point on its way out (frames are only
    ever added in front as it propagates)."""
    while final is not None:
        if final is tb:
            return True
        final = final.tb_next
    return False


def test_error_without_traceback_reaches_exit_as_none(monkeypatch):
    # an error raised by a builtin read called straight from C++ has no traceback entry
    closed = io.StringIO()
    closed.close()
    res = Resource()
    res.read = closed.read
    monkeypatch.setattr(builtins, "open", lambda *a, **k: res)
    with pytest.raises(ValueError, match="closed file") as info:
        ms._read_file("/x")
    assert res.exits == [(ValueError, info.value, None)]


@pytest.mark.parametrize("site", ["read_file", "pricing_file"])
def test_suppressing_exit_gives_none(monkeypatch, site):
    res = Resource(OSError("gone"), suppress=True)
    result = SITES[site](monkeypatch, res)
    # the with-block was left without a value; a pricing table of None is no document
    assert result is None if site == "read_file" else result == {}


def test_error_in_exit_replaces_the_body_error_with_it_as_context(monkeypatch):
    body_error = OSError("read failed")

    class FailingExit(Resource):
        def __exit__(self, *triple):
            super().__exit__(*triple)
            raise ValueError("close failed")

    res = FailingExit(body_error)
    with pytest.raises(ValueError) as info:
        read_file(monkeypatch, res)
    assert info.value.__context__ is body_error
    assert len(res.exits) == 1


@pytest.mark.parametrize("missing, message", [
    ("__enter__", "'NoEnter' object does not support the context manager protocol"),
    ("__exit__", "'NoExit' object does not support the context manager protocol (missed __exit__ method)"),
])
def test_not_a_context_manager(monkeypatch, missing, message):
    entered = []
    ns = {"__enter__": lambda self: entered.append(self) or self, "__exit__": lambda self, *a: None,
          "read": lambda self: ""}
    del ns[missing]
    # special methods count on the type only, as in the host's with-statement
    obj = type("NoEnter" if missing == "__enter__" else "NoExit", (), ns)()
    setattr(obj, missing, lambda *a: None)
    monkeypatch.setattr(builtins, "open", lambda *a, **k: obj)
    with pytest.raises(TypeError) as info:
        ms._read_file("/x")
    assert str(info.value) == message
    assert entered == []


@pytest.mark.skipif(not os.path.exists("/proc/self/mem"), reason="needs /proc")
def test_unreadable_proc_file(caplog):
    with pytest.raises(OSError) as info:
        ms._read_file("/proc/self/mem")
    assert type(info.value) is OSError and info.value.errno == 5
    caplog.set_level(logging.WARNING, logger="vormo.tokenledger")
    assert tl._parse_pricing("/proc/self/mem") == {}
    [record] = [r for r in caplog.records if r.name == "vormo.tokenledger"]
    assert isinstance(record.args[1], OSError) and record.args[1].errno == 5


# A child blocks reading a FIFO whose writer stays open (the child holds it), or the body of a
# response whose server stalls, until SIGINT arrives; then it reads the same source once more.
CHILD = textwrap.dedent("""
    import json, logging, os, sys
    import vormo.modelsmith as ms, vormo.tokenledger as tl
    site, source = sys.argv[1], sys.argv[2]
    warnings = []
    logging.getLogger("vormo.tokenledger").addHandler(type("H", (logging.Handler,), {
        "emit": lambda self, record: warnings.append(record.getMessage())})())
    if site != "fetch":
        os.mkfifo(source)
        writer = os.open(source, os.O_RDWR)
    print("ready", flush=True)
    call = ms._read_file if site == "read_file" else tl._parse_pricing
    try:
        call(source)
        outcome = "returned"
    except BaseException as e:
        outcome = type(e).__name__
    if site != "fetch":
        os.close(writer)
        os.unlink(source)
        with open(source, "w", encoding="utf8") as f:
            f.write("| a | 1 | 2 |\\n")
    print(json.dumps({"outcome": outcome, "warnings": warnings, "again": call(source)}), flush=True)
""")


class StallingHandler(http.server.BaseHTTPRequestHandler):
    """The first response stops after part of its body until the test ends; later ones are whole."""

    requests = 0

    def do_GET(self):
        type(self).requests += 1
        body = TABLE.encode()
        self.send_response(200)
        self.send_header("Content-Length", str(len(body) + (1000 if self.requests == 1 else 0)))
        self.end_headers()
        self.wfile.write(body)
        self.wfile.flush()
        if self.requests == 1:
            self.server.release.wait(120)

    def log_message(self, *args):
        pass


@pytest.fixture
def stalling_server():
    handler = type("Handler", (StallingHandler,), {"requests": 0})
    srv = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    srv.daemon_threads = True
    srv.release = threading.Event()
    thread = threading.Thread(target=srv.serve_forever, daemon=True)
    thread.start()
    yield f"http://127.0.0.1:{srv.server_address[1]}/prices.md"
    srv.release.set()
    srv.shutdown()
    srv.server_close()


def blocked(pid):
    with open(f"/proc/{pid}/stat") as f:
        return f.read().rsplit(")", 1)[1].split()[0] == "S"


@pytest.mark.skipif(not hasattr(os, "mkfifo") or not os.path.exists("/proc"), reason="needs FIFOs and /proc")
@pytest.mark.parametrize("site, again", [
    ("read_file", TABLE),
    ("pricing", {"a": {"prompt_per_1M": 1.0, "completion_per_1M": 2.0}}),
    ("fetch", {"a": {"prompt_per_1M": 1.0, "completion_per_1M": 2.0}}),
])
def test_interrupt_during_a_blocking_read(request, tmp_path, site, again):
    source = request.getfixturevalue("stalling_server") if site == "fetch" else str(tmp_path / "fifo")
    child = subprocess.Popen([sys.executable, "-c", CHILD, site, source],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "ready\n"
        deadline = time.monotonic() + 30
        while not blocked(child.pid):
            assert time.monotonic() < deadline
            time.sleep(0.05)
        time.sleep(0.3)
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=60)
    finally:
        child.kill()
        child.wait()
    assert child.returncode == 0, err
    report = json.loads(out)
    # the interrupt came through as itself, nothing was logged and nothing was remembered
    assert report == {"outcome": "KeyboardInterrupt", "warnings": [], "again": again}
