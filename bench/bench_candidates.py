"""Wall time of N concurrent candidates against one generation, with an LLM that answers slowly.

Run against the installed package:  python bench/bench_candidates.py [SECONDS_PER_REPLY]
The real openai library talks to the tests' fake server on 127.0.0.1, which holds every reply for
SECONDS_PER_REPLY (default 1.0) before answering: the corrected pair, then the alignment verdict.
After an untimed warm-up, the baseline is one candidate's work done alone (generate, check, solve) in the same run; then
2, 3 and 5 candidates run through ``solve_candidates``. A ratio near 1 means the candidates
waited for their replies side by side; N would mean one after another. Nothing is asserted.
"""

import json
import os
import pathlib
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

from servers import Conversations, FakeServer, openai_response  # noqa: E402

from vormo import candidates, modelsmith, replay, runner, tokenledger  # noqa: E402

REPLIES = replay.load_conversation()["replies"]


def pair(marker):
    text = REPLIES[1]["text"]
    obj = json.loads(text[text.index("```json") + 7:text.rindex("```")])
    return "```json\n" + json.dumps({"model": f"// {marker}\n{obj['model']}", "data": obj["data"]}) + "\n```"


def script(server, count, delay):
    conversations = {}
    for n in range(count):
        replies = [openai_response(pair(f"bench-{n}")), openai_response(REPLIES[2]["text"])]
        for reply in replies:
            reply.delay = delay
        conversations[f"bench-{n}"] = replies
    server.script_with("POST", "/v1/responses", Conversations(conversations))


def main():
    delay = float(sys.argv[1]) if len(sys.argv) > 1 else 1.0
    server = FakeServer()
    os.environ.update(OPENAI_BASE_URL=server.url + "/v1", OPENAI_API_KEY="sk-bench", HF_HUB_OFFLINE="1")
    try:
        tokenledger.PRICING_URL = str(HERE.parent / "pricing_table.md")
        with tempfile.TemporaryDirectory() as folder:
            script(server, 1, 0.0)   # warm-up: imports and the pricing table, untimed
            modelsmith.generative_solve("Warm up.", f"{folder}/w.mod", f"{folder}/w.dat", few_shot=False)
            script(server, 1, delay)
            start = time.perf_counter()
            modelsmith.generative_solve("Plan the bakery's week.", f"{folder}/one.mod", f"{folder}/one.dat",
                                        few_shot=False, return_statistics=True)
            runner.solve_files(f"{folder}/one.mod", f"{folder}/one.dat")
            baseline = time.perf_counter() - start
            print(f"one generation alone: {baseline:.2f} s ({delay:g} s per reply, 2 replies)")
            for count in (2, 3, 5):
                script(server, count, delay)
                start = time.perf_counter()
                outcome = candidates.solve_candidates("Plan the bakery's week.", f"{folder}/c{count}.mod",
                                                      f"{folder}/c{count}.dat", count, few_shot=False)
                took = time.perf_counter() - start
                agreement = outcome["agreement"]
                print(f"{count} candidates: {took:.2f} s = {took / baseline:.2f} x one "
                      f"({agreement['agreeing']} of {count} agree on {agreement['objective']})")
    finally:
        server.close()


if __name__ == "__main__":
    main()
