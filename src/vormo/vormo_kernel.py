"""Vormo model compiler (placeholder: accepts any non-empty model)."""

from .faultnote import SemanticError

__all__ = ["VormoCompiler", "SemanticError"]


class VormoCompiler:
    """Checks a Vormo model file together with its data file."""

    def compile_model(self, model_code, data_code):
        if not model_code.strip():
            raise SemanticError("the model is empty; write at least one declaration", 1)
        return {"declarations": [], "data": {}}
