"""Time from `vormo solve` starting to its first LLM request, warm and cold, and where it goes.

Run against the installed package after `vormo-setup-models`:

    python bench/bench_first_request.py [--runs N] [--with-library]

Each run starts the real command line in a fresh process (`python -c` running `vormo.cli.main`),
with the real `openai` client sent to a local stand-in server (tests/servers.py) that notes when
the first request arrives and answers with the recorded demo conversation, so the run goes on to
a valid model and data pair. Printed, each as the best and the median of the runs:

* time to first request with the corpus-embedding cache warm, and cold (an empty cache folder
  through VORMO_CACHE_DIR, with the shipped examples' embeddings and without them, as for a folder
  of one's own examples; the model files dropped from the page cache with posix_fadvise, or the
  whole page cache with --drop-all-caches where /proc/sys/vm/drop_caches is writable), for the
  current start-up and for the previous, serial one (the background preparations switched off in
  the same child), runs of the two alternating, as a ratio;
* the same with the published pricing table slow to answer (a stand-in that takes 1 s);
* peak resident memory of the whole run (wait4's ru_maxrss);
* a breakdown measured in fresh processes: Python start, `import vormo.cli`, the imports of
  openai, numpy and tokenizers, the first client construction, the retrieval warm and cold, and
  the prompt building, each as a share of the serial warm time to first request.

`--with-library` also embeds the corpus with the embedding library (torch) for comparison.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

from servers import FakeServer, Reply, openai_response  # noqa: E402

import vormo  # noqa: E402
from vormo import replay  # noqa: E402

PACKAGE = pathlib.Path(vormo.__file__).resolve().parent
DESCRIPTION = PACKAGE / "demo" / "bakery.txt"
SLOW_PRICING_SECONDS = 1.0

# The child: optionally the serial start (no background preparations), optionally another
# published pricing address, then the command line itself.
CHILD = """
import os, sys
if os.environ.get("BENCH_SERIAL"):
    import contextlib
    from vormo import startup
    startup.solve_start = lambda args: contextlib.nullcontext()
if os.environ.get("BENCH_NO_SHIPPED"):
    from vormo import quickrank
    quickrank.SHIPPED_EMBEDDINGS = None
if os.environ.get("BENCH_PRICING_URL"):
    from vormo import tokenledger
    tokenledger.PRICING_URL = os.environ["BENCH_PRICING_URL"]
from vormo.cli import main
sys.exit(main(sys.argv[1:]))
"""


def model_files() -> list[pathlib.Path]:
    from vormo import quickrank

    folder = quickrank.model_folder(quickrank.MODEL_NAME)
    if folder is None:
        sys.exit("the embedding model is not in the local cache: run vormo-setup-models")
    return [p for p in folder.rglob("*") if p.is_file()]


def drop_from_page_cache(paths: list[pathlib.Path]) -> bool:
    """Ask the kernel to forget the files' cached pages (clean pages of files nobody maps)."""
    done = False
    for path in paths:
        try:
            fd = os.open(path, os.O_RDONLY)
        except OSError:
            continue
        try:
            os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
            done = True
        except (OSError, AttributeError):
            pass
        finally:
            os.close(fd)
    return done


def can_drop_all_caches() -> bool:
    return os.access("/proc/sys/vm/drop_caches", os.W_OK)


class Stand:
    """The stand-in OpenAI service (and a slow pricing document)."""

    def __init__(self) -> None:
        self.server = FakeServer()
        self.replies = replay.load_conversation()["replies"]
        table = (PACKAGE / "demo" / "pricing_table.md").read_text(encoding="utf-8")
        self.server.script("GET", "/pricing_table.md", Reply(200, table, delay=SLOW_PRICING_SECONDS))

    def reset(self) -> None:
        self.server.requests.clear()
        queue = [openai_response(r["text"], input_tokens=r["input_tokens"], output_tokens=r["output_tokens"])
                 for r in self.replies]
        # A new conversation for every run; its last reply repeats.
        self.server.script_with("POST", "/v1/responses", lambda recorded: queue.pop(0) if len(queue) > 1 else queue[0])

    def first_request(self) -> float | None:
        posts = [r for r in self.server.requests if r.method == "POST"]
        return posts[0].started if posts else None


def run_solve(stand: Stand, cache: pathlib.Path, serial: bool, slow_pricing: bool,
              shipped: bool = True) -> tuple[float, float]:
    """Seconds from the start of the child to the first request, and the child's peak MB."""
    stand.reset()
    env = {**os.environ, "HF_HUB_OFFLINE": "1", "OPENAI_API_KEY": "sk-bench", "OPENAI_BASE_URL": stand.server.url + "/v1",
           "VORMO_CACHE_DIR": str(cache)}
    env.pop("BENCH_SERIAL", None)
    env.pop("BENCH_NO_SHIPPED", None)
    if not shipped:
        env["BENCH_NO_SHIPPED"] = "1"
    if serial:
        env["BENCH_SERIAL"] = "1"
    if slow_pricing:
        env["BENCH_PRICING_URL"] = stand.server.url + "/pricing_table.md"
    with tempfile.TemporaryDirectory() as out:
        argv = [sys.executable, "-c", CHILD, "solve", "-f", str(DESCRIPTION), "-m", f"{out}/p.mod", "-d", f"{out}/p.dat",
                "--quiet"]
        start = time.monotonic()
        child = subprocess.Popen(argv, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        err = child.stderr.read() if child.stderr else b""
        _, status, usage = os.wait4(child.pid, 0)
        child.returncode = os.waitstatus_to_exitcode(status)
    arrived = stand.first_request()
    if child.returncode != 0 or arrived is None:
        sys.exit(f"the run failed ({child.returncode}): {err.decode(errors='replace')[-800:]}")
    return arrived - start, usage.ru_maxrss / 1024


def series(stand: Stand, runs: int, cold: bool, slow_pricing: bool = False,
           drop_all: bool = False, shipped: bool = True) -> dict[bool, tuple[list[float], float]]:
    """Runs of the serial and the current start, alternating so that both see the same load."""
    found: dict[bool, tuple[list[float], float]] = {True: ([], 0.0), False: ([], 0.0)}
    cache = pathlib.Path(tempfile.mkdtemp(prefix="vormo-bench-cache-"))
    files = model_files()
    try:
        if not cold:
            run_solve(stand, cache, False, slow_pricing)  # fills the cache
        for _ in range(runs):
            for serial in (True, False):
                if cold:
                    shutil.rmtree(cache, ignore_errors=True)
                    if drop_all:
                        with open("/proc/sys/vm/drop_caches", "w") as f:
                            f.write("1\n")
                    else:
                        drop_from_page_cache(files)
                seconds, mb = run_solve(stand, cache, serial, slow_pricing, shipped)
                times, peak = found[serial]
                times.append(seconds)
                found[serial] = (times, max(peak, mb))
    finally:
        shutil.rmtree(cache, ignore_errors=True)
    return found


def in_child(code: str, env: dict[str, str] | None = None, fresh_cache: bool = False) -> float:
    """Seconds a snippet reports (it prints one number) in a fresh process, best of three; with
    `fresh_cache` each process gets an empty corpus-embedding cache."""
    best = float("inf")
    for _ in range(3):
        extra = dict(env or {})
        empty = tempfile.mkdtemp(prefix="vormo-bench-cache-") if fresh_cache else None
        if empty:
            extra["VORMO_CACHE_DIR"] = empty
        try:
            done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                                  env={**os.environ, "HF_HUB_OFFLINE": "1", **extra}, check=True)
        finally:
            if empty:
                shutil.rmtree(empty, ignore_errors=True)
        best = min(best, float(done.stdout.strip().splitlines()[-1]))
    return best


def wall_of_child(code: str) -> float:
    best = float("inf")
    for _ in range(5):
        start = time.perf_counter()
        subprocess.run([sys.executable, "-c", code], check=True)
        best = min(best, time.perf_counter() - start)
    return best


TIMED = "import time; t = time.perf_counter(); {body}; print(time.perf_counter() - t)"
RETRIEVAL = ("from vormo import quickrank; q = open({path!r}, encoding='utf-8').read(); "
             "quickrank.rank_problem_descriptions(q, top_k=3)")
NO_SHIPPED = "from vormo import quickrank; quickrank.SHIPPED_EMBEDDINGS = None; "
PROMPT = ("import time; from vormo import modelsmith, quickrank; "
          "q = open({path!r}, encoding='utf-8').read(); modelsmith.rag_rank = quickrank.rank_problem_descriptions; "
          "t = time.perf_counter(); shots = modelsmith._gather_few_shots(q, k=modelsmith.FEW_SHOT_TOP_K); "
          "t2 = time.perf_counter(); "
          "p = modelsmith._build_generation_prompt(q, modelsmith._get_grammar_implementation(modelsmith.Grammar.BNF), "
          "few_shots=shots); print(time.perf_counter() - t2)")


def breakdown(serial_warm: float | None) -> None:
    print()
    print("breakdown, fresh processes (best of several)"
          + ("; share of the serial warm time to first request" if serial_warm else ""))
    start = wall_of_child("pass")
    rows = [("python start (wall of `python -c pass`)", start)]
    base = in_child(TIMED.format(body="pass"))
    for name, body in (("import vormo.cli", "import vormo.cli"), ("import openai", "import openai"),
                       ("import numpy", "import numpy"), ("import tokenizers", "import tokenizers"),
                       ("openai client, first construction (after import)",
                        "pass\nimport openai\nt = time.perf_counter(); openai.OpenAI(api_key='x')")):
        rows.append((name, in_child(TIMED.format(body=body)) - base))
    cache = tempfile.mkdtemp(prefix="vormo-bench-cache-")
    try:
        cold = in_child(TIMED.format(body=RETRIEVAL.format(path=str(DESCRIPTION))), fresh_cache=True)
        unshipped = in_child(TIMED.format(body=NO_SHIPPED + RETRIEVAL.format(path=str(DESCRIPTION))), fresh_cache=True)
        warm = in_child(TIMED.format(body=RETRIEVAL.format(path=str(DESCRIPTION))), {"VORMO_CACHE_DIR": cache})
        rows.append(("retrieval, warm cache (numpy, tokenizers, encoder, query)", warm))
        rows.append(("retrieval, cold cache (shipped examples' embeddings read)", cold))
        rows.append(("retrieval, cold cache, no shipped table (corpus embedded)", unshipped))
        rows.append(("prompt building (examples read, prompt put together)",
                     in_child(PROMPT.format(path=str(DESCRIPTION)), {"VORMO_CACHE_DIR": cache})))
    finally:
        shutil.rmtree(cache, ignore_errors=True)
    for name, seconds in rows:
        share = f"{seconds / serial_warm:6.1%}" if serial_warm else ""
        print(f"  {name:58} {seconds * 1e3:8.1f} ms  {share}")


def corpus_embedding(with_library: bool) -> None:
    from vormo import nearfind, quickrank

    print()
    texts = [nearfind._read_text(p) for p in nearfind._iter_description_files(PACKAGE / "vormo_models")]
    encoder = quickrank.load_encoder(quickrank.MODEL_NAME)
    tokens = sum(len(ids) for ids in encoder.token_ids(texts))
    timings = {}
    print(f"corpus embedding: the encoder would use {quickrank.corpus_workers()} thread(s) now (load average "
          f"{os.getloadavg()[0]:.2f})")
    for workers in (1, 2):
        saved = quickrank.WORKERS
        quickrank.WORKERS = workers
        try:
            best = float("inf")
            for _ in range(2):
                start = time.perf_counter()
                encoder.embed(texts)
                best = min(best, time.perf_counter() - start)
        finally:
            quickrank.WORKERS = saved
        timings[workers] = best
    flops = 2 * tokens * encoder.dense_macs_per_token()
    print(f"corpus embedding: {len(texts)} descriptions, {tokens} tokens, {flops / 1e9:.0f} GFLOP in the dense layers")
    for workers, seconds in timings.items():
        print(f"  numpy encoder, {workers} worker(s): {seconds:6.2f} s  ({flops / seconds / 1e9:5.1f} GFLOP/s overall)"
              f"  ratio to 1 worker {timings[1] / seconds:4.2f}x")
    if with_library:
        model = nearfind._load_model(quickrank.MODEL_NAME)
        start = time.perf_counter()
        model.encode(texts, normalize_embeddings=True, show_progress_bar=False)
        seconds = time.perf_counter() - start
        print(f"  embedding library (torch):     {seconds:6.2f} s  ratio to the numpy encoder "
              f"{seconds / min(timings.values()):4.2f}x")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=5, help="runs per figure (default 5)")
    parser.add_argument("--with-library", action="store_true", help="also time the embedding library (torch)")
    parser.add_argument("--breakdown-only", action="store_true", help="only the breakdown and the corpus embedding")
    parser.add_argument("--drop-all-caches", action="store_true",
                        help="cold runs drop the whole page cache (root only; slows everyone on the machine)")
    args = parser.parse_args()
    load = os.getloadavg()
    print(f"load average {load[0]:.2f} {load[1]:.2f} {load[2]:.2f}; {os.cpu_count()} cores; "
          f"page cache: {'drop_caches writable' if can_drop_all_caches() else 'drop_caches not writable here'}; cold runs "
          + ("drop the whole page cache" if args.drop_all_caches else
             "evict the model files with posix_fadvise(DONTNEED) (--drop-all-caches for all of it)"))
    if args.breakdown_only:
        breakdown(None)
        corpus_embedding(args.with_library)
        return
    stand = Stand()
    try:
        figures = {(cold, serial): found for cold in (False, True)
                   for serial, found in series(stand, args.runs if not cold else max(2, args.runs // 2 + 1), cold,
                                               drop_all=args.drop_all_caches).items()}
        slow = series(stand, max(2, args.runs // 2 + 1), False, slow_pricing=True)
        unshipped = series(stand, max(2, args.runs // 2 + 1), True, drop_all=args.drop_all_caches, shipped=False)
    finally:
        stand.server.close()
    print()
    print("time from `vormo solve` start to its first request   best     median   peak MB   ratio (serial / now)")
    for cold in (False, True):
        for serial in (True, False):
            times, peak = figures[cold, serial]
            label = f"{'cold' if cold else 'warm'} cache, {'serial start (previous)' if serial else 'current start'}"
            ratio = "" if serial else f"{min(figures[cold, True][0]) / min(times):6.2f}x"
            print(f"  {label:48} {min(times):6.3f} s {statistics.median(times):6.3f} s {peak:7.0f}   {ratio}")
    for serial in (True, False):
        times, peak = unshipped[serial]
        label = f"cold, no shipped table, {'serial start' if serial else 'current start'}"
        ratio = "" if serial else f"{min(unshipped[True][0]) / min(times):6.2f}x"
        print(f"  {label:48} {min(times):6.3f} s {statistics.median(times):6.3f} s {peak:7.0f}   {ratio}")
    for serial in (True, False):
        times, peak = slow[serial]
        label = f"warm, pricing table takes {SLOW_PRICING_SECONDS:.0f} s, {'serial' if serial else 'current'}"
        ratio = "" if serial else f"{min(slow[True][0]) / min(times):6.2f}x"
        print(f"  {label:48} {min(times):6.3f} s {statistics.median(times):6.3f} s {peak:7.0f}   {ratio}")
    breakdown(min(figures[False, True][0]))
    corpus_embedding(args.with_library)
    load = os.getloadavg()
    print(f"\nload average at the end {load[0]:.2f} {load[1]:.2f} {load[2]:.2f}")


if __name__ == "__main__":
    main()
