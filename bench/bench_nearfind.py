"""Timings of example retrieval with the real embedding model, offline.

Run against the installed package, after `vormo-setup-models`:  python bench/bench_nearfind.py
Prints the first call (library import and model load), a warm call over the shipped corpus and over
synthetic corpora of 100 and 1,000 descriptions, each split into reading, corpus embedding, query
embedding and scoring (dot products, records and sort).

Then the torch-free ranker (vormo.quickrank) against that path, each figure as a ratio measured in
the same run: agreement of the embeddings with the embedding library's, in-process ranking calls,
and, in fresh processes as a user meets them, `vormo rank` (wall time and peak memory) and the time
from `vormo solve` starting to its first request reaching a local stand-in server, with the corpus
cache warm and cold. `python bench/bench_nearfind.py fast` runs only this second part.
"""

import os

os.environ.setdefault("HF_HUB_OFFLINE", "1")

import pathlib
import random
import sys
import tempfile
import time

from timing import best_of, side_by_side

import vormo
from vormo import nearfind

MODEL = "sentence-transformers/all-MiniLM-L6-v2"
QUERY = "plan delivery rounds for two vans with limited space, starting and ending at the bakery"
OPTIONS = {"convert_to_tensor": True, "normalize_embeddings": True, "show_progress_bar": False}

SUBJECTS = ["warehouse", "bakery", "clinic", "refinery", "school", "farm", "print shop", "depot", "airline",
            "hospital ward", "quarry", "paper mill", "cafe", "utility", "charity", "orchard"]
THINGS = ["trucks", "nurses", "orders", "crates", "machines", "rooms", "pipelines", "courses", "shifts",
          "pallets", "products", "routes", "suppliers", "stores", "servers", "batches"]
GOALS = ["keep the total cost as low as possible", "earn as much profit as we can", "finish as early as possible",
         "use as few vehicles as we can", "meet every demand without running out of stock",
         "spread the work fairly across the team"]
RULES = ["each {a} can handle at most {n} {b} per week", "every {a} needs at least {n} {b}",
         "the {a} costs {n} euros per unit of {b}", "no more than {n} {b} may share one {a}",
         "a {a} that is used at all costs a fixed {n} euros", "{b} must arrive within {n} hours"]


def description(rnd):
    subject = rnd.choice(SUBJECTS)
    parts = [f"I run the planning for a {subject} and need help with our {rnd.choice(THINGS)}."]
    while sum(len(p.split()) for p in parts) < 150:
        rule = rnd.choice(RULES).format(a=rnd.choice(THINGS)[:-1], b=rnd.choice(THINGS), n=rnd.randint(2, 900))
        parts.append(rule[0].upper() + rule[1:] + ".")
    parts.append(f"We want to {rnd.choice(GOALS)}.")
    return " ".join(parts)


def synthetic_corpus(root, count, seed=11):
    rnd = random.Random(seed)
    for i in range(count):
        path = root / f"family_{i % 25:02d}" / f"example_{i:04d}.txt"
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(description(rnd), encoding="utf-8")
    return root


def split(model, folder, repeat):
    """Best-of timings of the parts of one warm ranking call."""
    import torch

    files = nearfind._iter_description_files(folder)
    texts = [nearfind._read_text(p) for p in files]
    reading = best_of(lambda: [nearfind._read_text(p) for p in nearfind._iter_description_files(folder)], repeat=repeat)
    embedding = best_of(lambda: model.encode(texts, **OPTIONS), repeat=repeat)
    query = best_of(lambda: model.encode([QUERY], **OPTIONS)[0], repeat=repeat)
    docs = model.encode(texts, **OPTIONS)
    q = model.encode([QUERY], **OPTIONS)[0]
    scoring = best_of(lambda: torch.matmul(docs, q).cpu().tolist(), repeat=max(repeat, 20))
    total = best_of(lambda: nearfind.rank_problem_descriptions(QUERY, str(folder), top_k=0), repeat=repeat)
    return len(files), reading, embedding, query, scoring, total


def report(label, figures):
    count, reading, embedding, query, scoring, total = figures
    rest = max(total - reading - embedding - query - scoring, 0.0)
    print(f"{label:<28} {count:5d} descriptions: call {total * 1e3:9.1f} ms = reading {reading * 1e3:7.1f}"
          f" + corpus embedding {embedding * 1e3:9.1f} + query {query * 1e3:6.1f} + scoring {scoring * 1e3:6.2f}"
          f" + records/sort {rest * 1e3:6.1f} ms   ({total / count * 1e3:6.2f} ms/description)")


def main():
    import torch

    print(f"python {sys.version.split()[0]}, torch {torch.__version__}, {torch.get_num_threads()} threads")
    shipped = pathlib.Path(vormo.__file__).resolve().parent / "vormo_models"

    start = time.perf_counter()
    nearfind.rank_problem_descriptions(QUERY)
    first = time.perf_counter() - start
    model = nearfind._load_model(MODEL)
    if model is None:
        sys.exit("the embedding model could not be loaded: install the embeddings extra and run vormo-setup-models")
    warm = best_of(lambda: nearfind.rank_problem_descriptions(QUERY), repeat=3)
    print(f"first call (import, model load, ranking): {first:7.2f} s; warm call afterwards: {warm:6.2f} s;"
          f" so loading costs about {first - warm:5.2f} s once per process")

    report("shipped corpus", split(model, shipped, repeat=3))
    with tempfile.TemporaryDirectory() as tmp:
        for count, repeat in ((100, 3), (1000, 1)):
            folder = synthetic_corpus(pathlib.Path(tmp) / f"c{count}", count)
            report("synthetic corpus", split(model, folder, repeat=repeat))


# ------------------------------------------------------------------------------------------------
# The torch-free ranker against the embedding library
# ------------------------------------------------------------------------------------------------

# Runs the command line in a fresh interpreter; with "old" as first argument the command line's
# fast-ranking hook is replaced by a no-op, so the run ranks through nearfind as before.
# The peak memory is the process's own high-water mark (VmHWM), written to the file named by
# VORMO_BENCH_PEAK: the rusage figure of a child would include the parent's size at fork.
CLI_RUNNER = """
import contextlib, os, sys
import vormo.cli as cli
if sys.argv[1] == "old":
    cli._fast_ranking = contextlib.nullcontext
try:
    status = cli.main(sys.argv[2:])
finally:
    peak = [line for line in open("/proc/self/status") if line.startswith("VmHWM:")]
    with open(os.environ["VORMO_BENCH_PEAK"], "w") as f:
        f.write(peak[0].split()[1] if peak else "0")
raise SystemExit(status)
"""


def run_cli(path, args, env):
    """Wall seconds, processor seconds (user + system) and peak resident memory (MB) of one fresh
    command-line run. On a shared machine the processor time is the steadier figure."""
    import resource
    import subprocess

    with tempfile.NamedTemporaryFile("r", suffix=".peak") as peak:
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        start = time.perf_counter()
        subprocess.run([sys.executable, "-c", CLI_RUNNER, path, *args], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, env={**env, "VORMO_BENCH_PEAK": peak.name}, timeout=900)
        elapsed = time.perf_counter() - start
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        kilobytes = int(peak.read() or 0)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return elapsed, cpu, kilobytes / 1024


class FirstRequest:
    """A local stand-in for the OpenAI endpoint that notes when the first request arrives and
    refuses it, which ends the run."""

    def __init__(self):
        import threading
        from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

        self.arrived = None
        outer = self

        class Handler(BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def do_POST(self):
                if outer.arrived is None:
                    outer.arrived = time.perf_counter()
                body = b'{"error": {"message": "bench stand-in", "type": "invalid_request_error"}}'
                self.send_response(400)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            do_GET = do_POST

        self.httpd = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        threading.Thread(target=self.httpd.serve_forever, daemon=True).start()
        self.url = f"http://127.0.0.1:{self.httpd.server_address[1]}/v1"

    def time_to_first_request(self, path, args, env):
        import subprocess

        self.arrived = None
        start = time.perf_counter()
        subprocess.run([sys.executable, "-c", CLI_RUNNER, path, *args], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, env={**env, "VORMO_BENCH_PEAK": os.devnull}, timeout=900)
        return (self.arrived - start) if self.arrived is not None else float("nan")


def fast_ranker():
    import shutil

    from vormo import quickrank

    print()
    print("torch-free ranker (vormo.quickrank) against nearfind's path, same run")
    encoder = quickrank.load_encoder(MODEL)
    model = nearfind._load_model(MODEL)
    if encoder is None or model is None:
        sys.exit("the embedding model is not in the local cache: run vormo-setup-models")
    shipped = pathlib.Path(vormo.__file__).resolve().parent / "vormo_models"
    texts = [nearfind._read_text(p) for p in nearfind._iter_description_files(shipped)]
    texts += [description(random.Random(n)) for n in range(20)] + [QUERY, "", "x", "Zürich café 東京 😀"]
    ours = encoder.embed(texts)
    theirs = model.encode(texts, convert_to_tensor=False, normalize_embeddings=True, show_progress_bar=False)
    cosine = (ours * theirs).sum(1)
    print(f"  embeddings of {len(texts)} texts: smallest cosine to the embedding library's {cosine.min():.7f}")

    corpus = texts[: len(nearfind._iter_description_files(shipped))]
    t_lib, t_np = side_by_side(lambda: model.encode(corpus, normalize_embeddings=True, show_progress_bar=False),
                               lambda: encoder.embed(corpus), rounds=2)
    print(f"  embedding the {len(corpus)} shipped descriptions: library {t_lib:6.2f} s, numpy {t_np:6.2f} s"
          f"  -> ratio {t_lib / t_np:5.2f}x")
    a = nearfind.rank_problem_descriptions(QUERY, top_k=0)
    b = quickrank.rank_problem_descriptions(QUERY, top_k=0)
    same = [r["path"] for r in a] == [r["path"] for r in b]
    print(f"  ranking of the shipped corpus: same order {same}, largest score difference "
          f"{max(abs(x['score'] - y['score']) for x, y in zip(a, b)):.2e}")
    t_old, t_new = side_by_side(lambda: nearfind.rank_problem_descriptions(QUERY),
                                lambda: quickrank.rank_problem_descriptions(QUERY), rounds=3)
    print(f"  warm in-process call: nearfind {t_old * 1e3:8.1f} ms, quickrank (cache warm) {t_new * 1e3:7.1f} ms"
          f"  -> ratio {t_old / t_new:6.1f}x")

    cache = pathlib.Path(tempfile.mkdtemp(prefix="vormo-bench-cache-"))
    env = {**os.environ, "HF_HUB_OFFLINE": "1", "VORMO_CACHE_DIR": str(cache)}
    rank_args = ["rank", QUERY, "-k", "3"]
    old = run_cli("old", rank_args, env)
    shutil.rmtree(cache, ignore_errors=True)
    cold = run_cli("new", rank_args, env)
    warm = run_cli("new", rank_args, env)
    print("  `vormo rank` in a fresh process    wall s   cpu s  peak MB   ratio (wall, cpu, memory) to nearfind")
    for label, (wall, cpu, peak) in (("nearfind", old), ("quickrank, cold cache", cold), ("quickrank, warm cache", warm)):
        print(f"    {label:30} {wall:7.2f} {cpu:7.2f} {peak:8.0f}   "
              f"{old[0] / wall:5.1f}x {old[1] / cpu:5.1f}x {old[2] / peak:5.1f}x")

    server = FirstRequest()
    env_solve = {**env, "OPENAI_API_KEY": "sk-bench", "OPENAI_BASE_URL": server.url, "OPENAI_MAX_RETRIES": "0"}
    with tempfile.TemporaryDirectory() as out:
        solve_args = ["solve", QUERY, "-m", f"{out}/m.mod", "-d", f"{out}/m.dat"]
        old_first = server.time_to_first_request("old", solve_args, env_solve)
        shutil.rmtree(cache, ignore_errors=True)
        cold_first = server.time_to_first_request("new", solve_args, env_solve)
        warm_first = server.time_to_first_request("new", solve_args, env_solve)
        bare_first = server.time_to_first_request("new", solve_args + ["--no-few-shot"], env_solve)
    shutil.rmtree(cache, ignore_errors=True)
    print(f"  `vormo solve` start to first request: nearfind {old_first:5.2f} s; quickrank cold cache"
          f" {cold_first:5.2f} s ({old_first / cold_first:4.1f}x), warm cache {warm_first:5.2f} s"
          f" ({old_first / warm_first:4.1f}x); without examples at all {bare_first:5.2f} s")


if __name__ == "__main__":
    if sys.argv[1:] != ["fast"]:
        main()
    fast_ranker()
