"""The Vormo model compiler (see the module's documentation for the shapes it returns)."""

from typing import Any

from .faultnote import SemanticError as SemanticError

__all__ = ["VormoCompiler", "VormoSyntaxError", "SemanticError"]

class VormoSyntaxError(SyntaxError):
    source: str
    expected: str
    found: str
    hint: str
    def __init__(
        self, source: str, lineno: int, column: int, expected: str, found: str, hint: str = ""
    ) -> None: ...

class VormoCompiler:
    def compile_model(self, model_code: str, data_code: str) -> dict[str, Any]: ...
