import logging as logging
from typing import Any

from .emitcore import SciPyCodeGeneratorBase as SciPyCodeGeneratorBase
from .emitsparse import SciPyCSCCodeGenerator as SciPyCSCCodeGenerator
from .faultnote import SemanticError as SemanticError

logger: logging.Logger

class SciPyCodeGenerator:
    def __new__(cls, ast: Any, data_dict: Any = None, mode: str = "csc") -> SciPyCSCCodeGenerator: ...  # type: ignore[misc]

__all__ = ["SciPyCodeGenerator", "SciPyCSCCodeGenerator", "SciPyCodeGeneratorBase", "SemanticError"]
