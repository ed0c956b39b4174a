"""Generate, compile, revise and assess Vormo models with an LLM."""

import enum
import logging
from os import PathLike
from pathlib import Path
from typing import Any, Callable, Literal, overload

# ---- Names bound when the module loads ----

from .faultnote import SemanticError as SemanticError
from .nearfind import rank_problem_descriptions as rag_rank
from .tokenledger import _extract_gemini_usage as _extract_gemini_usage
from .tokenledger import _extract_openai_usage as _extract_openai_usage
from .tokenledger import estimate_costs as _estimate_costs
from .vormo_kernel import VormoCompiler as VormoCompiler

logger: logging.Logger

# ---- Module settings ----

MAX_ITERATIONS: int
MAX_OUTPUT_TOKENS: int | None
LLM_PROVIDER: str
MODEL_NAME: str
ALIGNMENT_CHECK: bool
FEW_SHOT_TOP_K: int
FEW_SHOT_MAX_CHARS: int

# ---- Files and grammar resources ----

class Grammar(enum.Enum):
    NONE = 1
    BNF = 2
    CODE = 3

def _get_grammar_implementation(mode: Grammar) -> str: ...
def _read_vormo_grammar() -> str: ...
def _read_vormo_GBNF() -> str: ...
def _read_vormo_code() -> str: ...
def _read_file(path: str) -> str: ...
def _safe_read_text(path: Path, max_chars: int = 2147483647) -> str: ...
def _find_pair_in_folder(desc_path: Path) -> tuple[Path | None, Path | None]: ...

# ---- Prompt texts ----

# An example record: "description", "model", "data" (required) and "desc_path", "model_path",
# "data_path" (optional), all text.
_ExampleRecord = dict[str, str]

def _build_generation_prompt(
    prompt: str, grammar_implementation: str, few_shots: list[_ExampleRecord] | None = None
) -> str: ...
def _build_revision_prompt_syntax(
    prompt: str,
    grammar_implementation: str,
    model_code: str,
    data_code: str,
    syntax_errors: list[str] | str,
    few_shots: list[_ExampleRecord] | None = None,
) -> str: ...
def _build_revision_prompt_alignment(
    prompt: str,
    grammar_implementation: str,
    assessment_text: str,
    model_code: str,
    data_code: str,
    few_shots: list[_ExampleRecord] | None = None,
) -> str: ...
def _build_alignment_prompt(prompt: str, grammar_implementation: str, model_code: str, data_code: str) -> str: ...
def _build_final_assessment_prompt(
    prompt: str, grammar_implementation: str, model_code: str, data_code: str, syntax_errors: list[str] | str
) -> str: ...
def _build_feedback_prompt(
    user_prompt_text: str, grammar_implementation: str, model_code: str, data_code: str
) -> str: ...

# ---- Reply parsing ----

def extract_json_from_markdown(text: str) -> str: ...
def _json_loads_relaxed(text: str) -> dict[str, Any] | None: ...

# ---- LLM access ----

# A usage record: "prompt_tokens" then "completion_tokens".
_Usage = dict[str, int]

class LLMProvider(enum.Enum):
    OPENAI = "openai"
    GOOGLE = "google"
    OLLAMA = "ollama"

def _infer_provider(llm_provider: str | None, model_name: str) -> LLMProvider: ...
def _openai_client() -> Any: ...
def _google_client() -> Any: ...
def _coalesce_response_text(resp: Any) -> str: ...
def _build_create_params(
    model_name: str,
    input_text: str,
    max_tokens: int | None = None,
    temperature: float | None = None,
    stop: list[str] | None = None,
) -> dict[str, Any]: ...
def _call_openai_with_retry(
    client: Any,
    create_params: dict[str, Any],
    retries: int = 3,
    backoff_sec: float = 1.5,
    progress: Callable[[str], Any] | None = None,
) -> Any: ...
def _llm_generate_text(
    provider: LLMProvider,
    model_name: str,
    input_text: str,
    max_tokens: int | None = None,
    temperature: float | None = None,
    stop: list[str] | None = None,
    progress: Callable[[str], Any] | None = None,
    capture_usage: object = False,
) -> str | tuple[str, _Usage]: ...
def _ollama_generate_text(
    model_name: str, prompt: str, num_predict: int | None = None, return_usage: object = False
) -> str | tuple[str, _Usage]: ...

# ---- Model listing ----

def list_openai_models(prefix: str | None = "gpt") -> list[str]: ...
def list_gemini_models(prefix: str | None = "gemini") -> list[str]: ...
def list_ollama_models(prefix: str | None = None) -> list[str]: ...
def list_models(llm_provider: str | None = None, model_name: str = "gpt-5") -> list[str]: ...

# ---- Generation workflow ----

_Progress = Callable[[str], object] | None

# The statistics record: "iterations" (int), "assessment" (str), "syntax_errors" (list of str) and
# "cost" ({"model", "usage", "estimated_costs"}).
_Statistics = dict[str, Any]

def _notify(progress: _Progress, msg: str) -> None: ...
def _gather_few_shots(
    problem_description: str, k: int = 3, models_dir: str | PathLike[str] | None = None, progress: _Progress = None
) -> list[_ExampleRecord]: ...
@overload
def generative_solve(
    prompt: str,
    model_file: str,
    data_file: str,
    model_name: str = "gpt-5",
    mode: Grammar = Grammar.BNF,
    iterations: Any = 5,
    return_statistics: Literal[False] = False,
    alignment_check: object | None = None,
    temperature: float | None = None,
    stop: list[str] | None = None,
    llm_provider: str | None = "openai",
    progress: _Progress = None,
    few_shot: object = True,
) -> str: ...
@overload
def generative_solve(
    prompt: str,
    model_file: str,
    data_file: str,
    model_name: str = "gpt-5",
    mode: Grammar = Grammar.BNF,
    iterations: Any = 5,
    *,
    return_statistics: Literal[True],
    alignment_check: object | None = None,
    temperature: float | None = None,
    stop: list[str] | None = None,
    llm_provider: str | None = "openai",
    progress: _Progress = None,
    few_shot: object = True,
) -> _Statistics: ...
@overload
def generative_solve(
    prompt: str,
    model_file: str,
    data_file: str,
    model_name: str = "gpt-5",
    mode: Grammar = Grammar.BNF,
    iterations: Any = 5,
    return_statistics: object = False,
    alignment_check: object | None = None,
    temperature: float | None = None,
    stop: list[str] | None = None,
    llm_provider: str | None = "openai",
    progress: _Progress = None,
    few_shot: object = True,
) -> str | _Statistics: ...
def generative_feedback(
    prompt: str,
    model_file: str,
    data_file: str,
    model_name: str = "gpt-5",
    mode: Grammar = Grammar.BNF,
    temperature: float | None = None,
    stop: list[str] | None = None,
    llm_provider: str | None = "openai",
    progress: _Progress = None,
) -> dict[str, Any] | None: ...
