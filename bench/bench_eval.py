"""Wall time of `vormo eval` over six cases, one after the other, in a process pool and on a local
Dask cluster, with the real `openai` library against a fake service on 127.0.0.1 that takes
DELAY seconds per reply (the LLM calls are what a real run waits for).

Run against the installed package:  python bench/bench_eval.py [DELAY]
Each figure is the wall time of one `vormo eval` child process (start-up, the cluster's start-up
and the solver runs included) and its ratio to the one-after-the-other run of the same call.
Nothing is asserted.

Figures on the shared 2-core build machine at a load average of 11 (so the CPU-bound parts, the
interpreters' start-up and the solver child processes, weigh far more than on a free machine):

    6 cases, 2 replies each          1 s per reply        5 s per reply
    one after the other              27.4 s  1.00 x       77.7 s  1.00 x
    process pool, --jobs 2           24.6 s  0.90 x       53.8 s  0.69 x
    process pool, --jobs 3           25.9 s  0.95 x       49.2 s  0.63 x
    Dask LocalCluster, --jobs 2      36.6 s  1.34 x       68.0 s  0.87 x
"""

import json
import os
import subprocess
import sys
import tempfile
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

MODEL = """{string} Goods = ...;
float profit[Goods] = ...;
float hours[Goods] = ...;
float capacity = ...;
dvar float+ benchmade[Goods];
maximize total: sum(g in Goods) profit[g] * benchmade[g];
subject to { bench: sum(g in Goods) hours[g] * benchmade[g] <= capacity; }
"""
DATA = 'Goods = {"stool", "shelf"};\nprofit = [3, 5];\nhours = [1, 2];\ncapacity = 10;\n'
CASES = 6


def reply(text):
    return {"id": "resp_1", "object": "response", "created_at": 0, "status": "completed", "model": "gpt-5",
            "output": [{"type": "message", "id": "m", "status": "completed", "role": "assistant",
                        "content": [{"type": "output_text", "text": text, "annotations": []}]}],
            "parallel_tool_calls": True, "tool_choice": "auto", "tools": [],
            "usage": {"input_tokens": 11, "output_tokens": 7, "total_tokens": 18,
                      "input_tokens_details": {"cached_tokens": 0}, "output_tokens_details": {"reasoning_tokens": 0}}}


def serve(delay):
    pair = "```json\n" + json.dumps({"model": MODEL, "data": DATA}) + "\n```"
    verdict = json.dumps({"aligned": True, "assessment": "Matches."})

    class Handler(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, *args):
            pass

        def do_POST(self):
            body = json.loads(self.rfile.read(int(self.headers.get("Content-Length") or 0)) or b"{}")
            time.sleep(delay)
            # The alignment prompt shows the pair; a generation prompt does not yet.
            text = verdict if "dvar float+ benchmade" in str(body.get("input")) else pair
            data = json.dumps(reply(text)).encode()
            self.send_response(200)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            self.wfile.write(data)

    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def run(folder, url, name, extra):
    env = {**os.environ, "OPENAI_BASE_URL": url, "OPENAI_API_KEY": "sk-bench", "HF_HUB_OFFLINE": "1"}
    start = time.perf_counter()
    done = subprocess.run([sys.executable, "-m", "vormo", "-q", "eval", "cases.jsonl", "--no-few-shot",
                           "--out", f"{name}.jsonl", "--json", *extra], cwd=folder, env=env,
                          capture_output=True, text=True, timeout=900)
    seconds = time.perf_counter() - start
    if done.returncode != 0:
        raise SystemExit(done.stderr)
    return seconds, json.loads(done.stdout)["accuracy"]


def main():
    delay = float(sys.argv[1]) if len(sys.argv) > 1 else 1.0
    server = serve(delay)
    url = f"http://127.0.0.1:{server.server_address[1]}/v1"
    with tempfile.TemporaryDirectory() as folder:
        Path(folder, "cases.jsonl").write_text("".join(
            json.dumps({"question": f"Workshop {i}: stools earn 3 for 1 hour, shelves 5 for 2; 10 hours.",
                        "answer": 30}) + "\n" for i in range(CASES)))
        rows = [("one after the other", "seq", []), ("process pool, --jobs 2", "pool2", ["--jobs", "2"]),
                ("process pool, --jobs 3", "pool3", ["--jobs", "3"]),
                ("Dask LocalCluster, --jobs 2", "dask2", ["--dask", "local", "--jobs", "2"])]
        print(f"{CASES} cases, 2 replies each, {delay:g} s per reply")
        base = None
        for label, name, extra in rows:
            try:
                seconds, accuracy = run(folder, url, name, extra)
            except SystemExit as err:
                print(f"{label:30s} failed: {str(err).strip().splitlines()[-1]}")
                continue
            base = base or seconds
            print(f"{label:30s} {seconds:6.1f} s   {seconds / base:4.2f} x   accuracy {accuracy:.0%}")
    server.shutdown()


if __name__ == "__main__":
    main()
