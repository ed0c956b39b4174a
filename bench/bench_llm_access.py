"""Timings of the local work around one LLM request: answer-text extraction, the request
parameters, the signature pre-filter with one parameter removal, and the model listing.

Run against the installed package:  python bench/bench_llm_access.py
Prints one line per measurement (best of several runs); stand-in clients, no network. The
answer-text coalescing is also timed side by side with a plain-Python rendering of the same
behaviour, printed as a speed ratio: above 1.0 the extension is the faster.
"""

from types import SimpleNamespace as NS

from timing import best_of, side_by_side

import vormo.modelsmith as ms

ms._notify = getattr(ms, "_notify", lambda progress, msg: None)


def report(label, seconds, unit="call"):
    print(f"{label:<58} {seconds * 1e6:10.2f} us/{unit}")


def main():
    big = NS(output_text=None, output=[NS(content=[NS(text="x" * 20) for _ in range(20)]) for _ in range(500)])
    report("coalesce: ready output_text", best_of(lambda: ms._coalesce_response_text(NS(output_text="hi")),
                                                  number=20_000))
    report("coalesce: walk of 500 items x 20 blocks", best_of(lambda: ms._coalesce_response_text(big), number=20))
    report("_build_create_params (all parameters)",
           best_of(lambda: ms._build_create_params("gpt-5", "p", 100, 0.2, ["END"]), number=20_000))

    class Responses:
        def __init__(self):
            self.n = 0

        def create(self, *, model, input, max_output_tokens=None, temperature=None):
            self.n += 1
            if self.n % 2 and temperature is not None:
                raise ValueError("Unsupported parameter: 'temperature' is not supported with this model.")
            return "ok"

    client = NS(responses=Responses())
    params = ms._build_create_params("gpt-5", "p", 100, 0.2, ["END"])
    report("retry: signature pre-filter + one removal + success",
           best_of(lambda: ms._call_openai_with_retry(client, params), number=2_000))
    report("_infer_provider", best_of(lambda: ms._infer_provider(" Gemini ", "gpt-5"), number=50_000))
    ids = [NS(id=f"gpt-{i % 4000}") for i in range(10_000)]
    import sys
    import types
    fake = types.ModuleType("openai")
    fake.OpenAI = lambda api_key: NS(models=NS(list=lambda: NS(data=ids)))
    sys.modules["openai"] = fake
    import os
    os.environ.setdefault("OPENAI_API_KEY", "bench-key")
    report("list_openai_models: 10000 ids, 4000 distinct", best_of(ms.list_openai_models, number=20))


def py_coalesce_response_text(resp):
    """The coalescing written in plain Python."""
    if getattr(resp, "output_text", None):
        text = resp.output_text or ""
        if not isinstance(text, str):
            raise TypeError(f"Expected str, got {type(text).__name__}")
        return text
    try:
        chunks = []
        for item in getattr(resp, "output", None) or []:
            content_blocks = getattr(item, "content", None)
            if content_blocks is None:
                if hasattr(item, "text"):
                    chunks.append(item.text or "")
                continue
            for block in content_blocks:
                if hasattr(block, "text"):
                    chunks.append(block.text or "")
                elif isinstance(block, dict):
                    text = block.get("text")
                    if isinstance(text, str):
                        chunks.append(text)
        if chunks:
            return "".join(chunks)
    except Exception:
        pass
    try:
        first = getattr(resp, "output", [])[0]
        first_content = getattr(first, "content", [])[0]
        if hasattr(first_content, "text"):
            text = first_content.text or ""
            if not isinstance(text, str):
                raise TypeError(f"Expected str, got {type(text).__name__}")
            return text
    except Exception:
        pass
    return ""


def against_python():
    print()
    print("coalescing against the plain-Python rendering, same responses, same run")
    shapes = {
        "400 object blocks in one item": NS(output_text="", output=[NS(content=[NS(text=f"w{i} ") for i in range(400)])]),
        "400 dictionary blocks": NS(output=[NS(content=[{"type": "output_text", "text": f"w{i} "} for i in range(400)])]),
        "400 blocks, half objects, half dicts": NS(output=[NS(content=[NS(text="a") if i % 2 else {"text": "b"}
                                                                        for i in range(400)])]),
        "400 items with text, no content": NS(output=[NS(text=f"w{i} ") for i in range(400)]),
        "400 blocks, some empty or not text": NS(output=[NS(content=[NS(text="") if i % 3 == 0 else {"text": 5}
                                                                    if i % 3 == 1 else NS(text="x")
                                                                    for i in range(400)])]),
        "ready output_text": NS(output_text="hi"),
    }
    print(f"  {'response':40} {'python us':>10} {'ext us':>10} {'speed ratio':>12}")
    for name, resp in shapes.items():
        assert ms._coalesce_response_text(resp) == py_coalesce_response_text(resp)
        number = 20_000 if name.startswith("ready") else 500
        t_py, t_ext = side_by_side(lambda: py_coalesce_response_text(resp), lambda: ms._coalesce_response_text(resp),
                                   number=number // 5, rounds=25)
        print(f"  {name:40} {t_py * 1e6:10.2f} {t_ext * 1e6:10.2f} {t_py / t_ext:11.2f}x")


if __name__ == "__main__":
    against_python()
    main()
