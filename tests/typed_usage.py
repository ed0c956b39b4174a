"""A small program that uses the package's public operations with full annotations.

It is never run; the tests type-check it with mypy --strict against the installed package, so the
shipped stubs must describe every operation it calls.
"""

from __future__ import annotations

import types
from pathlib import Path
from typing import Any

from vormo import cli, modelsmith, nearfind, replay, runner, tokenledger
from vormo.faultnote import SemanticError
from vormo.vormo_kernel import VormoCompiler, VormoSyntaxError


def generate(description: str, folder: Path) -> tuple[str, float]:
    messages: list[str] = []
    stats = modelsmith.generative_solve(
        description, str(folder / "plan.mod"), str(folder / "plan.dat"),
        model_name=modelsmith.MODEL_NAME, mode=modelsmith.Grammar.BNF, iterations=3,
        return_statistics=True, temperature=0.2, llm_provider="openai", progress=messages.append,
        few_shot=False)
    assessment: str = stats["assessment"]
    total: float = stats["cost"]["estimated_costs"].get("total_cost", 0.0)
    text: str = modelsmith.generative_solve(description, "a.mod", "a.dat", alignment_check=False)
    return assessment + text, total


def ask(question: str) -> str:
    reply = modelsmith.generative_feedback(question, "plan.mod", "plan.dat", temperature=0.5)
    if reply is None:
        return ""
    feedback: str = reply.get("feedback", "")
    return feedback


def providers() -> list[str]:
    chosen: modelsmith.LLMProvider = modelsmith._infer_provider(None, "llama3")
    names = modelsmith.list_models(llm_provider=chosen.value)
    names += modelsmith.list_openai_models() + modelsmith.list_gemini_models(None) + modelsmith.list_ollama_models("q")
    return sorted(names)


def examples(query: str) -> list[tuple[str, float]]:
    return [(str(hit["path"]), float(hit["score"])) for hit in
            nearfind.rank_problem_descriptions(query, models_dir=Path("corpus"), top_k=3)]


def price(model: str, prompt_tokens: int, completion_tokens: int) -> float:
    tokenledger.PRICING_URL = "pricing_table.md"
    tokenledger.clear_pricing_cache()
    est: dict[str, float] = tokenledger.estimate_costs(
        types.SimpleNamespace(model=model), {"prompt_tokens": prompt_tokens, "completion_tokens": completion_tokens})
    return est["total_cost"]


def check(model_code: str, data_code: str) -> str | None:
    try:
        compiled: dict[str, Any] = VormoCompiler().compile_model(model_code, data_code)
    except VormoSyntaxError as err:
        return f"{err.lineno}: {err.expected} / {err.found}"
    except SemanticError as err:
        return str(err.message)
    return None if compiled else "empty"


def fenced(text: str) -> str:
    return modelsmith.extract_json_from_markdown(text)


def command_line(argv: list[str]) -> int:
    with replay.ReplayServer(replay.load_conversation()["replies"]) as server:
        base: str = server.base_url
    return cli.main(argv) if base else 2


def solve(folder: Path) -> float | None:
    result = runner.solve_files(folder / "plan.mod", folder / "plan.dat", time_limit=30)
    if result["status"] != "optimal":
        return None
    again = runner.solve_texts("dvar float+ x;\nminimize z: x;\n", "", time_limit=5.0)
    objective: float = result["objective"]
    return objective if again["status"] == "optimal" else None
