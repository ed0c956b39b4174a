"""Timings of the prompt builders and of the relaxed reply parser.

Run against the installed package:  python bench/bench_prompts_parsing.py
Prints the best of several repeats per operation; nothing is asserted. The reply parser is also
timed side by side with a plain-Python rendering of the same behaviour (strict parse, then the
fence pattern or the brace scan and a second parse), printed as a speed ratio: above 1.0 the
extension is the faster.
"""

import json
import re
import sys

from timing import best_of, side_by_side

import vormo.modelsmith as ms



def text_of_size(seed, size):
    line = f"// {seed}: capacity constraint over items ä, ß and € prices {{ i in Items }}\n"
    return (line * (size // len(line) + 1))[:size]


def bench_builders():
    grammar = text_of_size("grammar", 40_000)
    shots = [{"description": text_of_size(f"desc {i}", 5_000), "model": text_of_size(f"model {i}", 5_000),
              "data": text_of_size(f"data {i}", 5_000), "desc_path": f"/corpus/ex{i}/ex{i}.txt",
              "model_path": f"/corpus/ex{i}/ex{i}.mod", "data_path": f"/corpus/ex{i}/ex{i}.dat"}
             for i in range(3)]
    prompt, model, data = text_of_size("prompt", 2_000), text_of_size("model", 5_000), text_of_size("data", 2_000)
    findings = [f"line {i}: unexpected token ';'" for i in range(20)]
    cases = [
        ("_build_generation_prompt", lambda: ms._build_generation_prompt(prompt, grammar, shots)),
        ("_build_revision_prompt_syntax", lambda: ms._build_revision_prompt_syntax(
            prompt, grammar, model, data, findings, shots)),
        ("_build_revision_prompt_alignment", lambda: ms._build_revision_prompt_alignment(
            prompt, grammar, "assessment", model, data, shots)),
        ("_build_alignment_prompt", lambda: ms._build_alignment_prompt(prompt, grammar, model, data)),
        ("_build_final_assessment_prompt", lambda: ms._build_final_assessment_prompt(
            prompt, grammar, model, data, findings)),
        ("_build_feedback_prompt", lambda: ms._build_feedback_prompt(prompt, grammar, model, data)),
    ]
    print("Prompt builders (40 KB grammar text; the first three with three 5 KB examples)")
    print(f"  {'builder':34} {'chars':>9} {'us/call':>9} {'MB/s':>8}")
    for name, fn in cases:
        size = len(fn())
        t = best_of(fn, number=2_000)
        print(f"  {name:34} {size:9d} {t * 1e6:9.1f} {size / t / 1e6:8.0f}")
    # For scale: the host joining the same pieces itself.
    pieces = ["x" * 2000, grammar, "y" * 300, prompt, "z" * 1700]
    t = best_of(lambda: "".join(pieces), number=2_000)
    print(f"  {'(host join of 5 pieces, same size)':34} {sum(map(len, pieces)):9d} {t * 1e6:9.1f}")


def reply_of_size(size):
    model = text_of_size("model", size)
    return json.dumps({"model": model, "data": "a = 10;\nb = 5;"}, ensure_ascii=False)


SHAPES = {
    "bare": lambda j: j,
    "fenced": lambda j: "Here is the result:\n```json\n" + j + "\n```\nLet me know if you need changes.",
    "prose-wrapped": lambda j: "Here is the result: " + j + " Let me know if you need changes.",
}


def bench_parsing():
    print()
    print("_json_loads_relaxed (reply = one JSON object of the given size)")
    print(f"  {'shape':15} {'100 KB ms':>10} {'1 MB ms':>10} {'ratio':>7}")
    for shape, wrap in SHAPES.items():
        times = []
        for size, number in ((100_000, 200), (1_000_000, 20)):
            text = wrap(reply_of_size(size))
            assert ms._json_loads_relaxed(text)["data"] == "a = 10;\nb = 5;"
            times.append(best_of(lambda: ms._json_loads_relaxed(text), number=number))
        print(f"  {shape:15} {times[0] * 1e3:10.3f} {times[1] * 1e3:10.3f} {times[1] / times[0]:7.1f}")

    print()
    print("extract_json_from_markdown alone (the fence search and the brace scan)")
    print(f"  {'input':32} {'100 KB ms':>10} {'1 MB ms':>10} {'ratio':>7}")
    inputs = {
        "prose-wrapped object": lambda n: SHAPES["prose-wrapped"](reply_of_size(n)),
        "fenced object": lambda n: SHAPES["fenced"](reply_of_size(n)),
        "unbalanced (scan to the end)": lambda n: "Result: {" + text_of_size("x", n),
        "non-ASCII, brace-dense": lambda n: ("{\u00e4{\U0001f600}}" * (n // 6 + 1))[:n] + "{",
        'many opening fences "```{"': lambda n: "```{" * (n // 4),
        'closed early, then "```json {"': lambda n: "{}```" + ("```json {" * (n // 9)),
    }
    for name, make in inputs.items():
        times = []
        for size, number in ((100_000, 200), (1_000_000, 20)):
            text = make(size)
            times.append(best_of(lambda: ms.extract_json_from_markdown(text), number=number))
        print(f"  {name:32} {times[0] * 1e3:10.3f} {times[1] * 1e3:10.3f} {times[1] / times[0]:7.1f}")


_FENCE = re.compile(r"```(?:json)?\s*(\{.*\})\s*```", re.DOTALL)


def py_extract_json_from_markdown(text):
    """The extraction written in plain Python."""
    match = _FENCE.search(text)
    if match:
        return match.group(1)
    start = text.find("{")
    if start == -1:
        return text
    depth = 0
    for i in range(start, len(text)):
        ch = text[i]
        if ch == "{":
            depth += 1
        elif ch == "}":
            depth -= 1
            if depth == 0:
                return text[start : i + 1]
    return text


def py_json_loads_relaxed(text):
    """The relaxed parse written in plain Python."""
    try:
        value = json.loads(text)
        if value is None or isinstance(value, dict):
            return value
        raise ValueError("not a JSON object")
    except Exception:
        pass
    value = json.loads(py_extract_json_from_markdown(text))
    if value is None or isinstance(value, dict):
        return value
    raise TypeError(f"Expected dict, got {type(value).__name__}")


def bench_against_python():
    print()
    print("_json_loads_relaxed against the plain-Python rendering, same replies, same run")
    print(f"  {'shape':15} {'size':>8} {'python ms':>10} {'ext ms':>10} {'speed ratio':>12}   (recursion limit {sys.getrecursionlimit()})")
    for limit in (sys.getrecursionlimit(), 10**5):
        saved = sys.getrecursionlimit()
        sys.setrecursionlimit(limit)
        if limit != saved:
            print(f"  -- under a raised recursion limit ({limit}), where the nesting pre-scan runs --")
        for shape, wrap in SHAPES.items():
            for size, number in ((100_000, 400), (1_000_000, 60)):
                text = wrap(reply_of_size(size))
                assert ms._json_loads_relaxed(text) == py_json_loads_relaxed(text)
                # One call per round and many rounds: the best single call of each, alternating,
                # is the figure least disturbed by other work on the machine.
                t_py, t_ext = side_by_side(lambda: py_json_loads_relaxed(text), lambda: ms._json_loads_relaxed(text),
                                           rounds=number)
                print(f"  {shape:15} {size // 1000:6d}KB {t_py * 1e3:10.3f} {t_ext * 1e3:10.3f} {t_py / t_ext:11.2f}x")
        sys.setrecursionlimit(saved)


def structured_reply(size):
    """A reply of many small values: rows of numbers, short names and flags."""
    rows, total, i = [], 0, 0
    while total < size:
        row = [i, i * 0.25 - 3.5, f"item_{i}", i % 3 == 0, None, {"cost": 1e-3 * i, "tags": ["a", "b"]}]
        rows.append(row)
        total += len(json.dumps(row))
        i += 1
    return json.dumps({"model": "m", "data": rows})


def escaped_reply(size, ensure_ascii):
    """A reply whose text is dense in escapes: quotes, tabs and, with ensure_ascii, \\u escapes."""
    line = 'set S := {"a\tb", ä€😀}; # "quoted"\n'
    return json.dumps({"model": (line * (size // len(line) + 1))[:size], "data": ""}, ensure_ascii=ensure_ascii)


def bench_other_replies_against_python():
    print()
    print("_json_loads_relaxed against the plain-Python rendering on other bare replies, same run")
    print(f"  {'reply':28} {'size':>8} {'python ms':>10} {'ext ms':>10} {'speed ratio':>12}")
    replies = {
        "many small values": structured_reply,
        "escape-dense, non-ASCII": lambda n: escaped_reply(n, False),
        "escape-dense, ASCII-only": lambda n: escaped_reply(n, True),
    }
    for name, make in replies.items():
        text = make(100_000)
        assert ms._json_loads_relaxed(text) == py_json_loads_relaxed(text)
        t_py, t_ext = side_by_side(lambda: py_json_loads_relaxed(text), lambda: ms._json_loads_relaxed(text),
                                   rounds=200)
        print(f"  {name:28} {len(text) // 1000:6d}KB {t_py * 1e3:10.3f} {t_ext * 1e3:10.3f} {t_py / t_ext:11.2f}x")


if __name__ == "__main__":
    bench_builders()
    bench_parsing()
    bench_against_python()
    bench_other_replies_against_python()
