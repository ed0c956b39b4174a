"""Timings of the local work around one LLM request: answer-text extraction, the request
parameters, the signature pre-filter with one parameter removal, and the model listing.

Run against the installed package:  python bench/bench_llm_access.py
Prints one line per measurement (best of several runs); stand-in clients, no network.
"""

from types import SimpleNamespace as NS

from timing import best_of

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


if __name__ == "__main__":
    main()
