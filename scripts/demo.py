"""The main job until the generation loop lands: exercise what the package offers end to end.

Compiles every worked example with the Vormo compiler, builds the generation prompt for one
description with its worked example as a few-shot record, reads back a fenced LLM-style reply, and
prints a cost estimate priced from the pricing table shipped with this checkout.
"""

import json
import sys
from importlib.resources import files
from pathlib import Path

from vormo import modelsmith, tokenledger
from vormo.vormo_kernel import SemanticError, VormoCompiler


def main(checkout: Path) -> int:
    corpus = Path(str(files("vormo") / "vormo_models"))
    descriptions = sorted(corpus.rglob("*.txt"))
    failures = []
    for desc in descriptions:
        model, data = modelsmith._find_pair_in_folder(desc)
        try:
            VormoCompiler().compile_model(model.read_text(), data.read_text())
        except (SyntaxError, SemanticError) as err:
            failures.append(f"{desc.relative_to(corpus)}: {err}")
    print(f"worked examples compiled: {len(descriptions) - len(failures)} of {len(descriptions)}")
    for line in failures:
        print("  " + line)

    desc = corpus / "knapsack" / "knapsack.txt"
    model, data = modelsmith._find_pair_in_folder(desc)
    record = {
        "description": modelsmith._safe_read_text(desc),
        "model": modelsmith._safe_read_text(model),
        "data": modelsmith._safe_read_text(data),
        "desc_path": str(desc),
        "model_path": str(model),
        "data_path": str(data),
    }
    grammar = modelsmith._get_grammar_implementation(modelsmith.Grammar.BNF)
    problem = "A bakery sells bread at 3 euros and cakes at 8 euros; ovens run 40 hours a week."
    prompt = modelsmith._build_generation_prompt(problem, grammar, [record])
    print(f"generation prompt: {len(prompt)} characters, grammar reference {len(grammar)} characters")

    reply = "Here you go:\n```json\n" + json.dumps({"model": record["model"], "data": record["data"]}) + "\n```"
    answer = modelsmith._json_loads_relaxed(reply)
    VormoCompiler().compile_model(answer["model"], answer["data"])
    print("fenced reply parsed and its model compiled")

    tokenledger.PRICING_URL = str(checkout / "pricing_table.md")
    print("cost estimate (prices from the pricing table of this checkout):")
    tokenledger.exercise_estimate_costs("gpt-4.1")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(Path(__file__).resolve().parent.parent))
