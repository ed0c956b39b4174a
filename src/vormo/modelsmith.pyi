import logging
from typing import Any, Callable

from .faultnote import SemanticError as SemanticError
from .nearfind import rank_problem_descriptions as rag_rank
from .tokenledger import _extract_gemini_usage as _extract_gemini_usage
from .tokenledger import _extract_openai_usage as _extract_openai_usage
from .tokenledger import estimate_costs as _estimate_costs
from .vormo_kernel import VormoCompiler as VormoCompiler

logger: logging.Logger

MAX_ITERATIONS: int
MAX_OUTPUT_TOKENS: int | None
LLM_PROVIDER: str
MODEL_NAME: str
ALIGNMENT_CHECK: bool
FEW_SHOT_TOP_K: int
FEW_SHOT_MAX_CHARS: int
