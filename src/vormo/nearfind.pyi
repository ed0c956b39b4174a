from os import PathLike
from typing import Any

def rank_problem_descriptions(
    query: str,
    models_dir: str | PathLike[str] | None = None,
    top_k: int = 10,
    model_name: str = "sentence-transformers/all-MiniLM-L6-v2",
) -> list[dict[str, Any]]: ...
