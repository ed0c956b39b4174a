"""Retrieval of worked examples whose descriptions are closest to a query."""

from collections.abc import Sequence
from os import PathLike
from pathlib import Path
from typing import Any, TypedDict

class RankedDescription(TypedDict):
    path: str
    score: float
    preview: str

_MODEL_CACHE: dict[str, Any | None]

def rank_problem_descriptions(
    query: str,
    models_dir: str | PathLike[str] | None = None,
    top_k: int = 10,
    model_name: str = "sentence-transformers/all-MiniLM-L6-v2",
) -> list[RankedDescription]: ...
def _load_model(model_name: str) -> Any | None: ...
def _iter_description_files(models_dir: str | PathLike[str]) -> list[Path]: ...
def _read_text(path: str | PathLike[str], max_chars: int = 100000) -> str: ...
def main(argv: Sequence[str] | None = None) -> int: ...
