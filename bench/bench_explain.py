"""Benchmark of the explanation next to the solve, on synthetic transportation models.

For each size the script builds the solver script's tables once (vormo.sparseproblem) and times,
in this process (best of several rounds, the rounds of one size alternating so that all see the
same machine load):

* scipy    - the script's own solve() (scipy's milp, HiGHS): the solve before the child solved
             with HiGHS directly, and the baseline of the ratios;
* child    - the child's solve step now: the problem's arrays made from the built tables
             (vormo.sparseproblem), vormo.highsolve and the script's solve_report;
* highs    - the same on arrays made once beforehand: HiGHS and the report alone (what the
             child's step comes to when the tables arrive as arrays);
* explain  - insight.explain handed the solved HiGHS instance: ranging from the solve's basis and
             one record per row and column, no second solve;
* columns  - the same as the child calls it (columns=True): the variables as one list per field;
* handover - carrying that explanation from the child to the runner: writing it as JSON to a file,
             and the runner's reading it back and making the variables' records (insight.expand);
             the end-to-end cost of an explanation is columns + handover;
* warm     - insight.explain given only the solve's point (the explanation after a scipy solve):
             a new HiGHS instance warm-started from the point, then the records;
* json     - writing the records' explanation as JSON (what the handover would cost without columns
             is about three times this).

and then the whole child process (runner.solve_texts) without and with explain=True, which adds
compiling, building, the JSON hand-over and reading it back. The load average is printed before
and after: on a shared machine the figures move with it, the ratios less so.

Last (not with --quick), the solver's child on the 1000 x 1000 model twice with each engine, each
run in a fresh process: seconds spent building and solving, and the process's peak memory.

Run: python bench/bench_explain.py [--quick] [--engines-only] [--size N]
"""

import json
import os
import runpy
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from bench_solve import TRANSPORT_MODEL, transport_data  # noqa: E402

from vormo import highsolve, insight, runner  # noqa: E402
from vormo.sparseproblem import BUILD_NAME, from_namespace  # noqa: E402


def interleaved(functions, rounds):
    """Best seconds per call of each function, the functions timed in turn round after round."""
    best = {name: float("inf") for name in functions}
    for _ in range(rounds):
        for name, fn in functions.items():
            started = time.perf_counter()
            fn()
            best[name] = min(best[name], time.perf_counter() - started)
    return best


def load():
    return "load average " + " ".join(f"{v:.2f}" for v in os.getloadavg())


def measure(n, rounds, child_rounds):
    data = transport_data(n)
    script = runner.generate_script(TRANSPORT_MODEL, data, time_limit=600)
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "vormo_solve.py"
        path.write_text(script, encoding="utf-8")
        namespace = runpy.run_path(str(path), run_name=BUILD_NAME)
    problem = from_namespace(namespace)
    for name in ("A", "c", "col_lower", "col_upper", "integrality", "row_lower", "row_upper"):
        getattr(problem, name)  # the arrays are built once, outside the timings

    def highs_solve(problem=problem):
        outcome = highsolve.solve(problem, 600)
        return namespace["solve_report"](outcome, lambda: highsolve.feasibility(problem, 600)), outcome

    def child_solve():
        return highs_solve(from_namespace(namespace))

    old_report, old_outcome = namespace["solve"]()
    report, outcome = highs_solve()
    assert report["status"] == old_report["status"] == "optimal"
    assert abs(report["objective"] - old_report["objective"]) <= 1e-6 * max(1.0, abs(report["objective"]))
    solution = dict(report, x=outcome.x.tolist())
    old_solution = dict(old_report, x=old_outcome.x.tolist())
    explanation = insight.explain(problem, solution, highs=outcome.highs)
    assert abs(explanation["objective"] - report["objective"]) <= 1e-6 * max(1.0, abs(report["objective"]))
    compact = insight.explain(problem, solution, highs=outcome.highs, columns=True)

    handed = Path(tempfile.mkdtemp(prefix="bench-explain-")) / "result.json"

    def handover():
        # As the child writes its result and the runner reads it (runner._load_result expands).
        handed.write_text(json.dumps({"explain": compact}, allow_nan=False, check_circular=False,
                                     separators=(",", ":")), encoding="utf-8")
        return runner._load_result(handed)["explain"]

    assert handover() == explanation
    best = interleaved({
        "scipy": lambda: namespace["solve"](),
        "child": child_solve,
        "highs": highs_solve,
        "explain": lambda: insight.explain(problem, solution, highs=outcome.highs),
        "columns": lambda: insight.explain(problem, solution, highs=outcome.highs, columns=True),
        "handover": handover,
        "warm": lambda: insight.explain(problem, old_solution),
        "json": lambda: json.dumps(explanation, allow_nan=False, check_circular=False, separators=(",", ":")),
    }, rounds)
    size = len(json.dumps(explanation, separators=(",", ":"))) / 1e6

    child = interleaved({
        "plain": lambda: runner.solve_texts(TRANSPORT_MODEL, data, time_limit=600),
        "explained": lambda: runner.solve_texts(TRANSPORT_MODEL, data, time_limit=600, explain=True),
    }, child_rounds)
    scipy, solve, highs, explain = best["scipy"], best["child"], best["highs"], best["explain"]
    print(f"{n:>4}x{n:<4} {n * n:>9,} cols  scipy {scipy:6.3f}s  child {solve:6.3f}s ({solve / scipy:4.2f}x)  "
          f"highs {highs:6.3f}s ({highs / scipy:4.2f}x)  explain {explain:6.3f}s ({explain / scipy:4.2f}x of scipy, "
          f"{explain / solve:4.2f}x of child, {explain / highs:4.2f}x of highs)  columns {best['columns']:6.3f}s + "
          f"handover {best['handover']:6.3f}s ({(best['columns'] + best['handover']) / solve:4.2f}x of child)  "
          f"warm {best['warm']:6.3f}s ({best['warm'] / scipy:4.2f}x)  json {best['json']:6.3f}s {size:5.1f} MB  "
          f"| child {child['plain']:5.2f}s, explained {child['explained']:5.2f}s "
          f"(+{child['explained'] - child['plain']:4.2f}s, {child['explained'] / child['plain']:4.2f}x)", flush=True)


# Run in a fresh interpreter: the child's build and solve with one engine, timed, and the peak memory.
_ENGINE_RUN = """
import json, resource, sys, time
from vormo import solvechild
solvechild.ENGINE = sys.argv[2]
request = json.loads(open(sys.argv[1], encoding="utf-8").read())
started = time.perf_counter()
namespace, finding = solvechild._build(request)
built = time.perf_counter()
built_peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
report, outcome, problem = solvechild._solve(namespace)
solved = time.perf_counter()
highs = getattr(outcome, "highs", None)
print(json.dumps({"build": built - started, "solve": solved - built, "status": report["status"],
                  "run": None if highs is None else highs.getRunTime(),
                  "objective": report["objective"],
                  "built_mb": built_peak, "peak_mb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024}))
"""


def engines(n, rounds=2):
    """The child's build and solve on the n x n model with scipy's milp and with HiGHS directly,
    the engines in turn, round after round."""
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "request.json"
        path.write_text(json.dumps({"model": TRANSPORT_MODEL, "data": transport_data(n), "time_limit": 3600.0}),
                        encoding="utf-8")
        for engine in ("scipy", "highs") * rounds:
            done = subprocess.run([sys.executable, "-c", _ENGINE_RUN, str(path), engine], capture_output=True,
                                  text=True, check=True)
            figures = json.loads(done.stdout.strip().splitlines()[-1])
            run = "" if figures["run"] is None else f" (HiGHS run {figures['run']:5.2f}s)"
            print(f"child {n}x{n} ({n * n:,} columns), {engine:>5}: build {figures['build']:6.2f}s  solve "
                  f"{figures['solve']:6.2f}s{run}  peak memory {figures['peak_mb']:5.0f} MB (after building "
                  f"{figures['built_mb']:5.0f} MB)  {figures['status']} "
                  f"{figures['objective']}  ({load()})", flush=True)


def main():
    quick = "--quick" in sys.argv
    sizes = [50, 100] if quick else [50, 100, 200, 300]
    if "--size" in sys.argv:  # one size, more rounds of the child runs
        sizes = [int(sys.argv[sys.argv.index("--size") + 1])]
    if "--engines-only" not in sys.argv:
        print(f"transportation n x n, {load()}")
        print("in-process solve (scipy's milp; HiGHS directly) and explanation (best of several), then the child run")
        for n in sizes:
            measure(n, rounds=3 if quick else 5, child_rounds=1 if quick else 5 if "--size" in sys.argv else 2)
        print(load())
    if not quick and "--size" not in sys.argv:
        engines(1000)


if __name__ == "__main__":
    main()
