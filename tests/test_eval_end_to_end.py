"""`vormo eval` in a child process, with the real `openai` library talking to a fake service on 127.0.0.1.

Three cases in two public layouts: one is answered right, one solves to a wrong optimum, one never
compiles. The service answers each request by the case named in its prompt, so the cases may run in
any order and at the same time (a process pool, a local Dask cluster).
"""

import json
import os
import pathlib
import signal
import subprocess
import sys
import threading
import time

import pytest

from servers import FakeServer, Reply, openai_response

CHECKOUT = pathlib.Path(__file__).resolve().parent.parent
PRICING = str(CHECKOUT / "pricing_table.md")
CALL_COST = 1.25 * 11 / 1e6 + 10.0 * 7 / 1e6     # one reply of 11 prompt and 7 completion tokens, gpt-5

MODEL = """{string} Goods = ...;
float profit[Goods] = ...;
float hours[Goods] = ...;
float capacity = ...;
dvar float+ make[Goods];
maximize total: sum(g in Goods) profit[g] * make[g];
subject to { bench: sum(g in Goods) hours[g] * make[g] <= capacity; }
"""
DATA = 'Goods = {"stool", "shelf"};\nprofit = [3, 5];\nhours = [1, 2];\ncapacity = %d;\n'
BROKEN = MODEL.replace("dvar float+ make[Goods];", "dvar float make[Goods] >= 0;")


def pair(model, data):
    return openai_response("```json\n" + json.dumps({"model": model, "data": data}) + "\n```")


ALIGNED = openai_response(json.dumps({"aligned": True, "assessment": "Matches the description."}))
# Replies per case, in the order its requests come (generation, then alignment or revision).
SCRIPT = {
    "Stoolmaker Ada": [pair(MODEL, DATA % 10), ALIGNED],                      # optimum 30: right
    "Shelfmaker Ben": [pair(MODEL, DATA % 8), ALIGNED],                       # optimum 24, expected 30
    "Carver Cleo": [pair(BROKEN, DATA % 10), pair(BROKEN, DATA % 10),         # never compiles
                    openai_response("The model declares bounds the wrong way.")],
}
LINES = [
    {"question": "Stoolmaker Ada has 10 bench hours; a stool earns 3 for 1 hour, a shelf 5 for 2 hours.",
     "answer": 30},
    {"id": "ben", "en_question": "Shelfmaker Ben has 10 bench hours; stools earn 3 (1 h), shelves 5 (2 h).",
     "en_answer": "30.0"},
    {"question": "Carver Cleo has 10 bench hours; stools earn 3 (1 h), shelves 5 (2 h).", "answer": 30},
    {"question": "How many stools should Dana make?", "answer": "about thirty"},     # skipped
]
IDS = {"Stoolmaker Ada": "1", "Shelfmaker Ben": "ben", "Carver Cleo": "3"}


class CaseServer(FakeServer):
    """Answers each Responses request with the next reply scripted for the case its prompt names."""

    def __init__(self, script, delays=None):
        super().__init__()
        self.queues = {name: list(replies) for name, replies in script.items()}
        self.delays = dict(delays or {})

    def _next_reply(self, rec):
        text = (rec.json or {}).get("input") or ""
        name = next((n for n in self.queues if n in str(text)), None)
        with self._lock:
            self.requests.append(rec)
            if name is None or rec.path != "/v1/responses":
                return Reply(404, {"error": {"message": "no scripted reply"}})
            queue = self.queues[name]
            reply = queue.pop(0) if len(queue) > 1 else queue[0]
        time.sleep(self.delays.get(name, 0))
        return reply

    def sent(self, name):
        return [r for r in self.requests if name in str((r.json or {}).get("input"))]


@pytest.fixture
def service():
    pytest.importorskip("openai")
    pytest.importorskip("scipy")
    servers = []

    def start(delays=None):
        server = CaseServer(SCRIPT, delays)
        servers.append(server)
        return server

    yield start
    for server in servers:
        server.close()


def env_for(server):
    return {**os.environ, "OPENAI_BASE_URL": server.url + "/v1", "OPENAI_API_KEY": "sk-test-eval",
            "HF_HUB_OFFLINE": "1", "NO_PROXY": "127.0.0.1,localhost"}


def vormo(server, *argv, cwd, timeout=300):
    return subprocess.run([sys.executable, "-m", "vormo", "eval", *argv], cwd=cwd, env=env_for(server),
                          capture_output=True, text=True, timeout=timeout)


def benchmark(tmp_path):
    path = tmp_path / "bench.jsonl"
    path.write_text("".join(json.dumps(line) + "\n" for line in LINES))
    return path


COMMON = ["--no-few-shot", "--iterations", "2", "--pricing", PRICING]


def results(path):
    return {r["case"]: r for r in map(json.loads, path.read_text().splitlines())}


def assert_three_outcomes(records):
    assert set(records) == {"1", "ben", "3"}
    right, wrong, broken = records["1"], records["ben"], records["3"]
    for record in records.values():
        assert list(record)[:13] == ["case", "compiled_first", "compiled", "iterations", "aligned", "status",
                                     "objective", "expected", "correct", "tokens", "cost", "seconds", "error"]
        assert record["expected"] == 30
    assert {k: right[k] for k in ("compiled_first", "compiled", "iterations", "aligned", "status", "objective",
                                  "correct", "tokens", "error")} == {
        "compiled_first": True, "compiled": True, "iterations": 1, "aligned": True, "status": "optimal",
        "objective": pytest.approx(30), "correct": True, "tokens": 36, "error": None}
    assert right["cost"] == pytest.approx(2 * CALL_COST)
    assert (wrong["status"], wrong["objective"], wrong["correct"], wrong["aligned"]) == ("optimal", pytest.approx(24),
                                                                                         False, True)
    assert {k: broken[k] for k in ("compiled_first", "compiled", "iterations", "aligned", "status", "objective",
                                   "correct", "tokens")} == {
        "compiled_first": False, "compiled": False, "iterations": 2, "aligned": False, "status": "compile_error",
        "objective": None, "correct": False, "tokens": 54}
    assert broken["error"]


def assert_summary(summary):
    assert {k: summary[k] for k in ("cases", "skipped", "correct", "tokens", "not_run")} == {
        "cases": 3, "skipped": 1, "correct": 1, "tokens": 36 + 36 + 54, "not_run": 0}
    assert summary["accuracy"] == pytest.approx(1 / 3)
    assert summary["compiled_first_rate"] == pytest.approx(2 / 3)
    assert summary["compiled_rate"] == pytest.approx(2 / 3)
    assert summary["solved_rate"] == pytest.approx(2 / 3)
    assert summary["mean_iterations"] == pytest.approx(4 / 3)
    assert summary["cost"] == pytest.approx(7 * CALL_COST)


def test_three_cases_then_resume(service, tmp_path):
    server = service()
    bench = benchmark(tmp_path)
    done = vormo(server, str(bench), *COMMON, "--out", "run.jsonl", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert_three_outcomes(results(tmp_path / "run.jsonl"))
    table = {k.strip(): v for k, v in (line.rsplit("  ", 1) for line in done.stdout.splitlines())}
    assert table.pop("time (case seconds)").endswith("s") and table.pop("wall time").endswith("s")
    assert table == {
        "cases run": "3", "compiled, first try": "66.7%", "compiled, final": "66.7%",
        "solved to optimality": "66.7%", "accuracy": "33.3%", "mean iterations": "1.33", "tokens": "126",
        "total cost": f"${7 * CALL_COST:.6f}", "skipped (no numeric optimum)": "1"}
    # Each case generated into its own folder next to the results.
    assert sorted(p.name for p in (tmp_path / "run.cases").iterdir()) == ["1", "3", "ben"]
    assert "Stoolmaker Ada" in (tmp_path / "run.cases/1/problem.txt").read_text()
    assert "capacity = 8;" in (tmp_path / "run.cases/ben/data.dat").read_text()
    sent = len(server.requests)
    assert sent == 7

    # Resuming a finished run asks nothing and summarises the same lines.
    again = vormo(server, str(bench), *COMMON, "--out", "run.jsonl", "--resume", "--json", cwd=tmp_path)
    assert again.returncode == 0, again.stderr
    assert len(server.requests) == sent
    assert_summary(json.loads(again.stdout))
    assert len((tmp_path / "run.jsonl").read_text().splitlines()) == 3

    # Without --resume an existing results file is refused before any request.
    refused = vormo(server, str(bench), *COMMON, "--out", "run.jsonl", cwd=tmp_path)
    assert refused.returncode == 2
    assert "add --resume" in refused.stderr.splitlines()[-1]
    assert len(server.requests) == sent


def test_resume_after_a_cut_line_runs_only_the_missing_cases(service, tmp_path):
    server = service()
    bench = benchmark(tmp_path)
    first = vormo(server, str(bench), *COMMON, "--out", "run.jsonl", "--limit", "1", cwd=tmp_path)
    assert first.returncode == 0, first.stderr
    # An interrupted write left half a line behind.
    with open(tmp_path / "run.jsonl", "a") as handle:
        handle.write('{"case": "ben", "compiled_first": tr')
    done = vormo(server, str(bench), *COMMON, "--out", "run.jsonl", "--resume", "--json", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert len(server.sent("Stoolmaker Ada")) == 2
    assert len(server.sent("Shelfmaker Ben")) == 2
    assert_summary(json.loads(done.stdout))
    assert_three_outcomes(results_skipping_cut(tmp_path / "run.jsonl"))


def results_skipping_cut(path):
    records = {}
    for line in path.read_text().splitlines():
        try:
            record = json.loads(line)
        except ValueError:
            continue
        records[record["case"]] = record
    return records


def test_three_cases_in_a_process_pool(service, tmp_path):
    server = service()
    done = vormo(server, str(benchmark(tmp_path)), *COMMON, "--jobs", "2", "--out", "pool.jsonl", "--json",
                 cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert_three_outcomes(results(tmp_path / "pool.jsonl"))
    assert_summary(json.loads(done.stdout))


def test_three_cases_on_a_local_dask_cluster(service, tmp_path):
    pytest.importorskip("dask.distributed")
    server = service()
    done = vormo(server, str(benchmark(tmp_path)), *COMMON, "--dask", "local", "--jobs", "2", "--out", "dask.jsonl",
                 "--json", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert_three_outcomes(results(tmp_path / "dask.jsonl"))
    assert_summary(json.loads(done.stdout))


def test_the_budget_stops_new_cases(service, tmp_path):
    server = service()
    done = vormo(server, str(benchmark(tmp_path)), *COMMON, "--max-cost", str(CALL_COST), "--out", "b.jsonl",
                 "--json", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    summary = json.loads(done.stdout)
    assert (summary["cases"], summary["not_run"], summary["budget_reached"]) == (1, 2, True)
    assert list(results(tmp_path / "b.jsonl")) == ["1"]
    assert "budget" in done.stderr
    # A budget that is not passed yet lets every case start.
    done = vormo(server, str(benchmark(tmp_path)), *COMMON, "--max-cost", "1", "--out", "all.jsonl", "--json",
                 cwd=tmp_path)
    assert json.loads(done.stdout)["not_run"] == 0


# Ctrl-C while the second case waits for a slow reply: in the driver, and with two processes of a pool
# or of a local Dask cluster (where the third case finishes meanwhile).
@pytest.mark.parametrize("concurrency, finished", [([], ["1"]), (["--jobs", "2"], ["1", "3"]),
                                                   (["--dask", "local", "--jobs", "2"], ["1", "3"])])
def test_ctrl_c_keeps_the_finished_lines_and_resume_completes(service, tmp_path, concurrency, finished):
    if "--dask" in concurrency:
        pytest.importorskip("dask.distributed")
    server = service(delays={"Shelfmaker Ben": 30})
    bench = benchmark(tmp_path)
    out = tmp_path / "run.jsonl"
    child = subprocess.Popen([sys.executable, "-m", "vormo", "eval", str(bench), *COMMON, "--out", str(out),
                              *concurrency],
                             cwd=tmp_path, env=env_for(server), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True, start_new_session=True)
    try:
        deadline = time.monotonic() + 120
        while time.monotonic() < deadline and child.poll() is None and not (
                server.sent("Shelfmaker Ben") and out.exists() and len(out.read_text().splitlines()) == len(finished)):
            time.sleep(0.05)
        assert server.sent("Shelfmaker Ben"), child.stderr.read() if child.poll() is not None else "no request"
        # Ctrl-C on a terminal reaches the whole foreground process group.
        os.killpg(child.pid, signal.SIGINT)
        _, err = child.communicate(timeout=60)
    finally:
        if child.poll() is None:
            os.killpg(child.pid, signal.SIGKILL)
    assert child.returncode == 130, err
    assert "vormo: interrupted" in err and "Traceback" not in err
    assert sorted(results(out)) == finished
    server.delays.clear()
    server.queues["Shelfmaker Ben"] = list(SCRIPT["Shelfmaker Ben"])   # its cut request took the first reply
    done = vormo(server, str(bench), *COMMON, "--out", str(out), "--resume", "--json", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert len(server.sent("Stoolmaker Ada")) == 2 and len(server.sent("Carver Cleo")) == 3
    assert_three_outcomes(results(out))


def test_compare_two_runs(tmp_path):
    def line(case, correct, status="optimal", objective=30.0, cost=0.5, iterations=1):
        return json.dumps({"case": case, "compiled_first": True, "compiled": status != "compile_error",
                           "iterations": iterations, "aligned": True, "status": status, "objective": objective,
                           "expected": 30.0, "correct": correct, "tokens": 100, "cost": cost, "seconds": 1.0,
                           "error": None})
    (tmp_path / "a.jsonl").write_text("\n".join([line("x", True), line("y", False, objective=24.0),
                                                 line("z", False, "compile_error", None)]) + "\n")
    (tmp_path / "b.jsonl").write_text("\n".join([line("x", True, cost=0.25), line("y", True, iterations=3),
                                                 line("w", True)]) + "\n")
    done = subprocess.run([sys.executable, "-m", "vormo", "eval", "compare", "a.jsonl", "b.jsonl", "--json"],
                          cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    result = json.loads(done.stdout)
    assert [(r["case"], r["differs"]) for r in result["cases"]] == [("x", False), ("y", True), ("z", True),
                                                                      ("w", True)]
    assert result["cases"][2]["b"] is None
    assert (result["total"]["a"]["accuracy"], result["total"]["b"]["accuracy"]) == (pytest.approx(1 / 3), 1.0)
    assert result["total"]["b"]["cost"] == pytest.approx(1.25)
    assert {k: result["common"][k] for k in ("cases", "only_a_correct", "only_b_correct")} == {
        "cases": 2, "only_a_correct": 0, "only_b_correct": 1}
    text = subprocess.run([sys.executable, "-m", "vormo", "eval", "compare", "a.jsonl", "b.jsonl"], cwd=tmp_path,
                          capture_output=True, text=True, timeout=120).stdout.splitlines()
    assert text[0].split() == ["case", "a.jsonl", "b.jsonl"]
    assert text[2].split() == ["y", "wrong", "24", "ok", "30", "*"]
    assert text[3].split() == ["z", "compile_error", "-", "*"]
    assert any(row.split()[:3] == ["accuracy", "33.3%", "100.0%"] for row in text)


# A case whose reply cannot be used still counts the request it paid for.
def test_a_failed_case_reports_what_it_spent(tmp_path):
    pytest.importorskip("openai")
    server = CaseServer({"Joiner Dora": [openai_response("Happy to help, but no model today.")]})
    try:
        path = tmp_path / "one.jsonl"
        path.write_text(json.dumps({"question": "Joiner Dora has 10 bench hours.", "answer": 30}) + "\n")
        done = vormo(server, str(path), *COMMON, "--out", "one.out.jsonl", "--json", cwd=tmp_path)
    finally:
        server.close()
    record = results(tmp_path / "one.out.jsonl")["1"]
    assert (record["status"], record["tokens"]) == ("error", 18), done.stderr
    assert record["cost"] == pytest.approx(CALL_COST)
    assert json.loads(done.stdout)["tokens"] == 18
