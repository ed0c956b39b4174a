"""Benchmark of the sparse solver-script generator and the scripts it writes.

Prints, for the largest corpus example and for synthetic transportation models of growing size
(up to 300 x 300 = 90,000 variables): compile time, generation time, script size, the time the
script takes to read its literals and assemble its sparse matrices, and the time of the whole
script run in a child process (start-up, assembly, HiGHS, report). The per-non-zero columns show
whether generation and assembly grow linearly with the number of non-zeros.

Run: python bench/bench_solve.py [--quick]
"""

import contextlib
import importlib.resources
import io
import random
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


def measure(name, model, data, repeat):
    start = time.perf_counter()
    compiled = VormoCompiler().compile_model(model, data)
    compile_s = time.perf_counter() - start

    def generate():
        return SciPyCodeGenerator(compiled, compiled["data"], "csc").generate_code()

    generate_s = best_of(generate, repeat=repeat)
    generator = SciPyCodeGenerator(compiled, compiled["data"], "csc")
    script = generator.generate_code()
    nonzeros = sum(map(len, generator.A_ub)) + sum(map(len, generator.A_eq))

    # The script up to the solver call: parsing its literals and assembling the matrices.
    assembly = script[:script.index(f"\n{generator.results_varname} = milp(")]

    def assemble():
        exec(compile(assembly, "<assembly>", "exec"), {"__name__": "__bench__"})

    assemble_s = best_of(assemble, repeat=repeat)

    def whole():
        with contextlib.redirect_stdout(io.StringIO()):
            exec(compile(script, "<script>", "exec"), {"__name__": "__bench__"})

    # HiGHS and the report: the whole script in this process minus its assembly.
    solve_s = max(best_of(whole, repeat=min(repeat, 2)) - assemble_s, 0.0)

    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "script.py"
        path.write_text(script)
        start = time.perf_counter()
        done = subprocess.run([sys.executable, str(path)], capture_output=True, text=True, check=True)
        run_s = time.perf_counter() - start
    status = done.stdout.strip().splitlines()[-1][:60]
    print(f"{name:<26} {len(generator.var_names):>7} {nonzeros:>8} {compile_s:>8.3f} {generate_s:>8.3f} "
          f"{1e6 * generate_s / max(nonzeros, 1):>7.2f} {assemble_s:>8.3f} "
          f"{1e6 * assemble_s / max(nonzeros, 1):>7.2f} {solve_s:>7.3f} {run_s:>7.2f} {len(script) / 1e6:>6.2f}  {status}")


def main():
    quick = "--quick" in sys.argv
    print(f"{'model':<26} {'vars':>7} {'nonzero':>8} {'compile':>8} {'generate':>8} {'us/nz':>7} "
          f"{'assemble':>8} {'us/nz':>7} {'solve':>7} {'run':>7} {'MB':>6}  result")
    mod = largest_corpus_example()
    measure(f"corpus {mod.stem}", mod.read_text(), mod.with_suffix(".dat").read_text(), repeat=5)
    sizes = [25, 50, 100] if quick else [25, 50, 100, 200, 300]
    for n in sizes:
        measure(f"transportation {n}x{n}", TRANSPORT_MODEL, transport_data(n),
                repeat=3 if n <= 100 else 1)
    print("times in seconds; us/nz: microseconds per constraint non-zero (flat = linear growth);\n"
          "assemble: reading the script's literals and building the CSC matrices; solve: HiGHS and\n"
          "the report; run: the whole script in a child process, including interpreter start-up.")


if __name__ == "__main__":
    main()
