"""Benchmark of the explanation next to the solve, on synthetic transportation models.

For each size the script builds the solver script's tables once (vormo.sparseproblem) and times,
in this process:

* solve    - the script's own solve (scipy's milp, HiGHS), the baseline;
* explain  - insight.explain given that solve's point, as the solver's child calls it (a new HiGHS
             solve for the basis, the duals and the ranging, plus one record per row and column);
* alone    - insight.explain without a point: HiGHS solves and explains in one go, what an
             explain-only solve would cost;
* json     - writing the explanation as the child's JSON result.

and then both runs of the whole child process (runner.solve_texts) without and with explain=True,
which adds compiling, building, the JSON hand-over and reading it back. Ratios are against the
solve measured in the same run.

Run: python bench/bench_explain.py [--quick]
"""

import json
import runpy
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from bench_solve import TRANSPORT_MODEL, transport_data  # noqa: E402
from timing import best_of  # noqa: E402

from vormo import insight, runner  # noqa: E402
from vormo.sparseproblem import BUILD_NAME, from_namespace  # noqa: E402


def measure(n, repeat):
    data = transport_data(n)
    script = runner.generate_script(TRANSPORT_MODEL, data, time_limit=600)
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "vormo_solve.py"
        path.write_text(script, encoding="utf-8")
        namespace = runpy.run_path(str(path), run_name=BUILD_NAME)
    problem = from_namespace(namespace)
    problem.A  # noqa: B018 - the arrays are built once, outside the timings

    report, outcome = namespace["solve"]()
    solution = dict(report, x=outcome.x.tolist())
    solve = best_of(lambda: namespace["solve"](), repeat=repeat)
    explain = best_of(lambda: insight.explain(problem, solution), repeat=repeat)
    alone = best_of(lambda: insight.explain(problem), repeat=repeat)
    explanation = insight.explain(problem, solution)
    assert abs(explanation["objective"] - report["objective"]) <= 1e-6 * max(1.0, abs(report["objective"]))
    started = time.perf_counter()
    text = json.dumps(explanation)
    dumps = time.perf_counter() - started

    plain = best_of(lambda: runner.solve_texts(TRANSPORT_MODEL, data, time_limit=600), repeat=max(1, repeat // 2))
    explained = best_of(lambda: runner.solve_texts(TRANSPORT_MODEL, data, time_limit=600, explain=True),
                        repeat=max(1, repeat // 2))
    print(f"{n:>3}x{n:<3} {n * n:>7,} cols  solve {solve:7.3f}s  explain {explain:7.3f}s ({explain / solve:4.2f}x)  "
          f"alone {alone:7.3f}s ({alone / solve:4.2f}x)  json {dumps:6.3f}s {len(text) / 1e6:5.1f} MB  "
          f"| child run {plain:6.2f}s, with explain {explained:6.2f}s ({explained / plain:4.2f}x)", flush=True)


def main():
    quick = "--quick" in sys.argv
    sizes = [50, 100] if quick else [50, 100, 200, 300]
    print("transportation n x n: in-process solve vs explanation (best of several), then the whole child run")
    for n in sizes:
        measure(n, repeat=2 if quick else 3)


if __name__ == "__main__":
    main()
