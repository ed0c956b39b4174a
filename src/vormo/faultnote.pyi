from typing import Any

class SemanticError(Exception):
    """Custom exception for semantic errors."""

    message: Any
    lineno: Any
    def __init__(self, message: Any, lineno: Any = None) -> None: ...
