"""Time and peak memory of the Vormo model compiler on large and pathological inputs.

Run against the installed package:  python bench/bench_compiler.py [case ...]
Each case runs in a fresh interpreter so that its peak resident memory can be read; the figures
are the compile time (best of the repeats; wall clock and CPU time, the latter steadier on a busy
machine) and the peak resident set of that interpreter, the texts included (building a 79 MB
text takes much of the 10^7 case's memory). Nothing is asserted.

Figures on the shared 2-core build machine under heavy load (CPU seconds; peak MB):

    case                               before              after
    maxint chain, 22 lines             111 s wall (*)      0.00 s, fails on line 3
    flat data array, 10^6 floats       5.41 s; 449 MB      0.24 s; 89 MB
    data matrix, 1000 x 1000 ints      5.46 s; 431 MB      0.23 s; 50 MB
    flat data array, 10^7 floats       57.1 s; 4309 MB     2.41 s; 777 MB
    model of 5 MB (constraints)        11.4 s; 784 MB      8.96 s; 511 MB
    model of 5 MB (inline array)       6.68 s; 482 MB      0.97 s; 339 MB
    model with a 10^5 inline array     0.77 s; 80 MB       0.10 s; 58 MB

    (*) time triples per line; 12 lines took 0.03 s.
"""

import json
import resource
import subprocess
import sys
import time


def maxint_chain(lines):
    model = ["int a0 = maxint*maxint;"]
    model += [f"int a{k} = a{k - 1}*a{k - 1};" for k in range(1, lines)]
    return "\n".join(model) + "\n", ""


def flat_array(n):
    model = f"range I = 1..{n};\nfloat d[I] = ...;\n"
    values = ", ".join(f"{k % 997}.{k % 7}5" for k in range(n))
    return model, f"d = [{values}];\n"


def int_matrix(rows, cols):
    model = f"range I = 1..{rows};\nrange J = 1..{cols};\nint m[I][J] = ...;\n"
    row = "[" + ", ".join(str(k * 37 % 1000) for k in range(cols)) + "]"
    return model, "m = [\n  " + ",\n  ".join([row] * rows) + "\n];\n"


def long_model(size):
    head = ("range I = 1..100;\nfloat c[I] = ...;\ndvar float+ x[I];\ndvar float+ y[I];\n"
            "minimize cost: sum(i in I) c[i] * x[i];\nsubject to {\n")
    body, k = [], 0
    total = len(head)
    while total < size:
        line = (f"  row{k}: {k % 9 + 1} * x[{k % 100 + 1}] + {k % 5}.5 * y[{(k * 7) % 100 + 1}] "
                f"- c[{k % 100 + 1}] * x[{(k * 3) % 100 + 1}] <= {k % 1000};\n")
        body.append(line)
        total += len(line)
        k += 1
    data = "c = [" + ", ".join(str(k % 13 + 1) for k in range(100)) + "];\n"
    return head + "".join(body) + "}\n", data


def inline_array_model(n):
    values = ", ".join(f"{k % 997}.5" for k in range(n))
    return f"range I = 1..{n};\nfloat d[I] = [{values}];\n", ""


CASES = {
    "maxint chain, 12 lines": lambda: maxint_chain(12),
    "maxint chain, 22 lines": lambda: maxint_chain(22),
    "flat data array, 10^6 floats": lambda: flat_array(10 ** 6),
    "data matrix, 1000 x 1000 ints": lambda: int_matrix(1000, 1000),
    "flat data array, 10^7 floats": lambda: flat_array(10 ** 7),
    "model of 5 MB (constraints)": lambda: long_model(5_000_000),
    "model with a 10^5 inline array": lambda: inline_array_model(10 ** 5),
    "model of 5 MB (inline array)": lambda: inline_array_model(730_000),
}


def run_case(name, repeat):
    """Runs in the child: compile the case and print its figures as JSON."""
    from vormo.vormo_kernel import SemanticError, VormoCompiler, VormoSyntaxError

    model, data = CASES[name]()
    wall, cpu, outcome = float("inf"), float("inf"), ""
    for _ in range(repeat):
        start, start_cpu = time.perf_counter(), time.process_time()
        try:
            VormoCompiler().compile_model(model, data)
            outcome = "compiled"
        except (SemanticError, VormoSyntaxError) as error:
            outcome = f"{type(error).__name__}: {str(error)[:60]}"
        wall = min(wall, time.perf_counter() - start)
        cpu = min(cpu, time.process_time() - start_cpu)
    peak_mb = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(json.dumps({"seconds": wall, "cpu": cpu, "peak_mb": peak_mb,
                      "size": len(model) + len(data), "outcome": outcome}))


def main(names):
    print(f"  {'case':34} {'MB text':>8} {'seconds':>8} {'CPU s':>8} {'peak MB':>8}  outcome")
    for name in names:
        repeat = 1 if "10^7" in name or "chain" in name else 3
        child = subprocess.run([sys.executable, __file__, "--child", name, str(repeat)],
                               capture_output=True, text=True)
        if child.returncode:
            print(f"  {name:34} failed: {child.stderr.strip().splitlines()[-1:]}")
            continue
        figures = json.loads(child.stdout)
        print(f"  {name:34} {figures['size'] / 1e6:8.2f} {figures['seconds']:8.2f} "
              f"{figures['cpu']:8.2f} {figures['peak_mb']:8.0f}  {figures['outcome']}", flush=True)


if __name__ == "__main__":
    if sys.argv[1:2] == ["--child"]:
        run_case(sys.argv[2], int(sys.argv[3]))
    else:
        main(sys.argv[1:] or list(CASES))
