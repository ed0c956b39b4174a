"""Timings of the pricing-document parser and the token counters.

Run against the installed package:  python bench/bench_tokenledger.py
Prints one line per measurement (best of several runs); nothing here touches the network.
"""

import os
import random
import sys
import tempfile

from timing import best_of

import vormo.tokenledger as tl



def pricing_document(lines=10_000, seed=7):
    rnd = random.Random(seed)
    out = ["# Generated prices", "", "| Model | Prompt (USD per 1M tokens) | Completion (USD per 1M tokens) |",
           "|---|---:|---:|"]
    while len(out) < lines:
        i = len(out)
        kind = rnd.randrange(6)
        if kind == 0:
            out.append(f"| Model | Prompt per 1{'KM'[i % 2]} | Completion per 1M |")
        elif kind == 1:
            out.append(f"model-{i}: prompt ${rnd.random():.4f} / 1K tokens, completion ${rnd.random():.4f} / 1K tokens")
        elif kind == 2:
            out.append(f"model-{i} - prompt {rnd.random():.3f} per 1M, completion {rnd.random() * 10:.3f} per 1M")
        elif kind == 3:
            out.append(f"Plain prose line number {i} that names no price at all.")
        else:
            out.append(f"| Model-{i} | ${rnd.random() * 20:,.2f} | {rnd.random() * 80:,.3f} per 1M | note {i} |")
    return "\n".join(out) + "\n"


def main():
    print(f"python {sys.version.split()[0]}")
    fd, path = tempfile.mkstemp(suffix=".md")
    try:
        with os.fdopen(fd, "w", encoding="utf8") as f:
            f.write(pricing_document())

        def parse():
            tl.clear_pricing_cache()
            return tl._parse_pricing(path)

        entries = len(parse())
        t = best_of(parse, repeat=7)
        print(f"_parse_pricing, 10,000-line document ({entries} entries), cache cleared: {t * 1e3:8.2f} ms"
              f"  ({t / 10_000 * 1e6:.2f} us/line)")
        tl._parse_pricing(path)
        t = best_of(lambda: tl._parse_pricing(path), repeat=5, number=100_000)
        print(f"_parse_pricing, memo hit:                                    {t * 1e9:8.1f} ns")
    finally:
        tl.clear_pricing_cache()
        os.unlink(path)

    # Long runs of commas with no price in them: the lines that made backtracking patterns slow.
    for commas in (10_000, 40_000, 100_000):
        for kind, line in (("table row", f"| m | {',' * commas} | 1 |"), ("free-form", f"m: prompt{',' * commas}")):
            fd, path = tempfile.mkstemp(suffix=".md")
            try:
                with os.fdopen(fd, "w", encoding="utf8") as f:
                    f.write(line + "\n")

                def parse_line():
                    tl.clear_pricing_cache()
                    return tl._parse_pricing(path)

                t = best_of(parse_line, repeat=5)
                print(f"_parse_pricing, {kind} with {commas:>7,} commas:          {t * 1e3:8.2f} ms")
            finally:
                tl.clear_pricing_cache()
                os.unlink(path)

    text = ("Gegeben sei ein Transportproblem mit Lagern und Kunden; Kosten je Einheit in €. " * 13_000)[:1_000_000]
    assert len(text) == 1_000_000
    t = best_of(lambda: tl._approx_token_count(text), repeat=5, number=100_000)
    print(f"_approx_token_count, 1 MB text (one call):                   {t * 1e9:8.1f} ns")
    chunks = [text[i:i + 1000] for i in range(0, len(text), 1000)]
    t = best_of(lambda: [tl._approx_token_count(c) for c in chunks], repeat=5, number=10)
    print(f"_approx_token_count, 1 MB as 1,000 texts of 1 kB:            {t * 1e6:8.1f} us")

    # Fallback without the tokenizer: once with the library simply not installed (the import
    # searches sys.path every call), once with the import blocked in sys.modules.
    saved = sys.modules.pop("tiktoken", None)
    try:
        installed = True
        try:
            import tiktoken  # noqa: F401
        except ImportError:
            installed = False
        sys.modules.pop("tiktoken", None)
        if not installed:
            t = best_of(lambda: tl._count_openai_tokens(text, "gpt-4o"), repeat=5, number=200)
            print(f"_count_openai_tokens fallback, 1 MB, tokenizer not installed: {t * 1e6:8.1f} us")
        sys.modules["tiktoken"] = None
        t = best_of(lambda: tl._count_openai_tokens(text, "gpt-4o"), repeat=5, number=2000)
        print(f"_count_openai_tokens fallback, 1 MB, import blocked:         {t * 1e6:8.1f} us")
        t = best_of(lambda: [tl._count_openai_tokens(c, "gpt-4o") for c in chunks], repeat=3, number=1)
        print(f"_count_openai_tokens fallback, 1 MB as 1,000 texts (blocked): {t * 1e3:8.2f} ms")
    finally:
        sys.modules.pop("tiktoken", None)
        if saved is not None:
            sys.modules["tiktoken"] = saved


if __name__ == "__main__":
    main()
