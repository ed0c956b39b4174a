"""Benchmark of the sparse solver-script generator and the scripts it writes.

Prints, for the largest corpus example and for synthetic transportation models of growing size
(up to 300 x 300 = 90,000 variables): compile time, generation time and its ratio to the
generator before this design (loaded from git in the same run) and to the script's solve (HiGHS), the time
the script takes to build its tables, and the whole script run in a child process. The
per-non-zero column shows whether generation grows linearly with the number of non-zeros. Last,
the runner end to end on a 1000 x 1000 model (time and the child's peak memory).

Run: python bench/bench_solve.py [--quick] [--no-old] [--old REV]
"""

import importlib.resources
import importlib.util
import json
import random
import resource
import runpy
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from timing import best_of  # noqa: E402

from vormo.emitselect import SciPyCodeGenerator  # noqa: E402
from vormo.vormo_kernel import VormoCompiler  # noqa: E402

TRANSPORT_MODEL = """
// Synthetic transportation model for the benchmark.
{string} Sources = ...;
{string} Sinks = ...;
float supply[Sources] = ...;
float demand[Sinks] = ...;
float cost[Sources][Sinks] = ...;
dvar float+ ship[Sources][Sinks];
minimize total: sum(s in Sources, t in Sinks) cost[s][t] * ship[s][t];
subject to {
  forall(s in Sources) out: sum(t in Sinks) ship[s][t] <= supply[s];
  forall(t in Sinks) need: sum(s in Sources) ship[s][t] >= demand[t];
}
"""


def transport_data(n, seed=1):
    rng = random.Random(seed)
    sources = ", ".join(f'"S{i}"' for i in range(n))
    sinks = ", ".join(f'"T{j}"' for j in range(n))
    demand = [rng.randint(10, 50) for _ in range(n)]
    supply = [d + rng.randint(0, 20) for d in demand]
    rows = ",\n".join("[" + ", ".join(str(rng.randint(1, 99)) for _ in range(n)) + "]"
                      for _ in range(n))
    return (f"Sources = {{{sources}}};\nSinks = {{{sinks}}};\nsupply = {supply};\n"
            f"demand = {demand};\ncost = [\n{rows}\n];\n")


def largest_corpus_example():
    root = Path(str(importlib.resources.files("vormo") / "vormo_models"))
    best = None
    for mod in sorted(root.rglob("*.mod")):
        compiled = VormoCompiler().compile_model(mod.read_text(), mod.with_suffix(".dat").read_text())
        generator = SciPyCodeGenerator(compiled, compiled["data"], "csc")
        generator.generate_code()
        size = sum(map(len, generator.A_ub)) + sum(map(len, generator.A_eq)) + len(generator.var_names)
        if best is None or size > best[0]:
            best = (size, mod)
    return best[1]


# The generator before the named tables and the compiled expressions, for the old/new ratio;
# `--old REV` measures another revision (e.g. main).
OLD_REVISION = "470e60d"


def old_generator(revision):
    """The generator of a git revision, loaded as a module beside the new one (None when git or
    the revision is not at hand)."""
    try:
        text = subprocess.run(["git", "show", f"{revision}:src/vormo/emitsparse.py"], capture_output=True, text=True,
                              check=True, cwd=Path(__file__).resolve().parent).stdout
    except (OSError, subprocess.CalledProcessError):
        return None
    folder = Path(tempfile.mkdtemp(prefix="bench-old-"))
    path = folder / "emitsparse_main.py"
    path.write_text(text)
    found = importlib.util.spec_from_file_location("vormo._emitsparse_main", path)
    module = importlib.util.module_from_spec(found)
    module.__package__ = "vormo"
    found.loader.exec_module(module)
    return module.SciPyCSCCodeGenerator


def measure(name, model, data, repeat, old):
    start = time.perf_counter()
    compiled = VormoCompiler().compile_model(model, data)
    compile_s = time.perf_counter() - start

    def generate():
        return SciPyCodeGenerator(compiled, compiled["data"], "csc").generate_code()

    generate_s = best_of(generate, repeat=repeat)
    old_s = best_of(lambda: old(compiled, compiled["data"]).generate_code(), repeat=repeat) if old else None
    generator = SciPyCodeGenerator(compiled, compiled["data"], "csc")
    script = generator.generate_code()
    nonzeros = sum(map(len, generator.A_ub)) + sum(map(len, generator.A_eq))

    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "script.py"
        path.write_text(script)
        # Building the tables (reading the script) and the solve (assembly and HiGHS), in this process.
        build_s = best_of(lambda: runpy.run_path(str(path), run_name="bench"), repeat=repeat)
        namespace = runpy.run_path(str(path), run_name="bench")
        solve_s = best_of(lambda: namespace["solve"](), repeat=min(repeat, 2))
        start = time.perf_counter()
        done = subprocess.run([sys.executable, str(path)], capture_output=True, text=True, check=True)
        run_s = time.perf_counter() - start
    status = json.loads(done.stdout.strip().splitlines()[-1])["status"]
    old_text = f"{old_s:>8.3f} {generate_s / old_s:>7.2f}" if old_s else f"{'-':>8} {'-':>7}"
    print(f"{name:<26} {len(generator.var_names):>7} {nonzeros:>8} {compile_s:>8.3f} {generate_s:>8.3f} "
          f"{1e6 * generate_s / max(nonzeros, 1):>7.2f} {old_text} {build_s:>7.3f} {solve_s:>7.3f} "
          f"{generate_s / solve_s:>7.2f} {run_s:>7.2f} {len(script) / 1e6:>6.2f}  {status}")


def end_to_end(n):
    """vormo's runner on the n x n model: one child compiles, generates, builds and solves."""
    from vormo import runner

    data = transport_data(n)
    before = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    start = time.perf_counter()
    result = runner.solve_texts(TRANSPORT_MODEL, data, time_limit=600)
    wall = time.perf_counter() - start
    peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    print(f"runner.solve_texts, transportation {n}x{n}: {wall:.2f} s, child peak memory "
          f"{max(peak, before) / 1024:.0f} MB, status {result['status']}")


def main():
    quick = "--quick" in sys.argv
    revision = sys.argv[sys.argv.index("--old") + 1] if "--old" in sys.argv else OLD_REVISION
    old = None if "--no-old" in sys.argv else old_generator(revision)
    print(f"{'model':<26} {'vars':>7} {'nonzero':>8} {'compile':>8} {'generate':>8} {'us/nz':>7} "
          f"{'old gen':>8} {'new/old':>7} {'build':>7} {'solve':>7} {'gen/sol':>7} {'run':>7} {'MB':>6}  result")
    mod = largest_corpus_example()
    measure(f"corpus {mod.stem}", mod.read_text(), mod.with_suffix(".dat").read_text(), repeat=5, old=old)
    sizes = [25, 50, 100] if quick else [25, 50, 100, 200, 300]
    for n in sizes:
        measure(f"transportation {n}x{n}", TRANSPORT_MODEL, transport_data(n),
                repeat=3 if n <= 100 else 1, old=old)
    print("times in seconds; us/nz: microseconds of generation per constraint non-zero (flat = linear\n"
          "growth); old gen: the generator of the old revision on the same compiled model; build: running the\n"
          "script's table code; solve: the script's solve() (assembly and HiGHS); gen/sol: generation\n"
          "time over solve time; run: the whole script in a child process, including start-up.")
    if not quick:
        end_to_end(1000)


if __name__ == "__main__":
    main()
