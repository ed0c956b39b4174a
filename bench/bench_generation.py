"""The generation loop's own cost per iteration, with an instant LLM and compiler.

Run against the installed package:  python bench/bench_generation.py
The LLM layer, the compiler, provider choice, example gathering and the cost estimate are
replaced on the module by instant stand-ins, so what is timed is the loop itself: prompt
building (40 KB grammar text, three 5 KB worked examples), reply parsing, the compile call, two
file writes and progress reporting. The per-iteration figure is the difference between a run of
many iterations and a run of one, divided by the extra iterations. Nothing is asserted.

The files are timed twice: in memory (tmpfs, /dev/shm), which shows the loop's own cost, and in
the system's temporary folder. On ext4 the second figure is dominated by the file system, which
writes a truncated-and-rewritten file out to disk when it is closed.
"""

import json
import pathlib
import tempfile
import types

from timing import best_of

import vormo.modelsmith as ms

EXTRA = 50


def text_of_size(seed, size):
    line = f"// {seed}: capacity constraint over items ä, ß and € prices {{ i in Items }}\n"
    return (line * (size // len(line) + 1))[:size]


GRAMMAR = text_of_size("grammar", 40_000)
SHOTS = [{"description": text_of_size(f"desc {i}", 5_000), "model": text_of_size(f"model {i}", 5_000),
          "data": text_of_size(f"data {i}", 5_000), "desc_path": f"/corpus/ex{i}/ex{i}.txt",
          "model_path": f"/corpus/ex{i}/ex{i}.mod", "data_path": f"/corpus/ex{i}/ex{i}.dat"} for i in range(3)]
USAGE = {"prompt_tokens": 12_000, "completion_tokens": 1_500}
PAIR = json.dumps({"model": text_of_size("model", 5_000), "data": text_of_size("data", 2_000)})
NOT_ALIGNED = json.dumps({"aligned": False, "assessment": "The capacity constraint is missing."})


class Failing:
    def compile_model(self, model_code, data_code):
        raise ValueError("line 3: unexpected token ';'")


class Passing:
    def compile_model(self, model_code, data_code):
        return None


def install(compiler, replies):
    """Replace the outside pieces by instant stand-ins; `replies` cycles for the LLM."""
    state = {"n": 0}

    def llm(**kwargs):
        text = replies[state["n"] % len(replies)]
        state["n"] += 1
        return text, USAGE

    ms._llm_generate_text = llm
    ms._infer_provider = lambda llm_provider, model_name: types.SimpleNamespace(value="openai")
    ms._get_grammar_implementation = lambda mode: GRAMMAR
    ms._gather_few_shots = lambda prompt, k, models_dir, progress: [dict(s) for s in SHOTS]
    ms._estimate_costs = lambda args, usage: {"total_cost": 0.0}
    ms.VormoCompiler = compiler


def per_iteration(folder, progress, alignment):
    model_file, data_file = str(folder / "m.mod"), str(folder / "m.dat")

    def run(n):
        return lambda: ms.generative_solve("Pack the plane.", model_file, data_file, model_name="m", iterations=n,
                                           alignment_check=alignment, progress=progress, few_shot=True)
    one = best_of(run(1), repeat=7, number=20)
    many = best_of(run(1 + EXTRA), repeat=15, number=1)
    return one, (many - one) / EXTRA


def main():
    saved = {name: getattr(ms, name, None) for name in
             ["_llm_generate_text", "_infer_provider", "_get_grammar_implementation", "_gather_few_shots",
              "_estimate_costs", "VormoCompiler"]}
    sink = []
    places = [("memory", "/dev/shm"), ("temp dir", None)]
    try:
        print("generative_solve with an instant LLM and compiler (40 KB grammar, three 5 KB examples, 7 KB reply)")
        print(f"  {'path per iteration':44} {'files':>9} {'progress':>9} {'one run ms':>11} {'us/iteration':>13}")
        for label, compiler, replies, alignment in [
            ("compile finding -> syntax revision", Failing, [PAIR], False),
            ("clean -> not aligned -> alignment revision", Passing, [PAIR, NOT_ALIGNED], True),
        ]:
            install(compiler, replies)
            for where, base in places:
                if base is not None and not pathlib.Path(base).is_dir():
                    continue
                with tempfile.TemporaryDirectory(dir=base) as tmp:
                    for shown, progress in [("log", None), ("callback", sink.append)]:
                        one, each = per_iteration(pathlib.Path(tmp), progress, alignment)
                        sink.clear()
                        print(f"  {label:44} {where:>9} {shown:>9} {one * 1e3:11.3f} {each * 1e6:13.1f}")
    finally:
        for name, value in saved.items():
            if value is None:
                delattr(ms, name)
            else:
                setattr(ms, name, value)


if __name__ == "__main__":
    main()
