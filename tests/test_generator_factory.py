import logging

import pytest

from vormo import emitcore, emitselect, emitsparse, faultnote
from vormo.emitselect import SciPyCodeGenerator


def test_exports():
    assert emitselect.__all__ == ["SciPyCodeGenerator", "SciPyCSCCodeGenerator", "SciPyCodeGeneratorBase",
                                  "SemanticError"]
    assert emitselect.SciPyCodeGeneratorBase is emitcore.SciPyCodeGeneratorBase
    assert emitselect.SemanticError is faultnote.SemanticError
    assert emitselect.SciPyCSCCodeGenerator is emitsparse.SciPyCSCCodeGenerator
    assert emitselect.logger.name == "vormo.emitselect"
    names = list(vars(emitselect))
    order = ["logging", "SciPyCodeGeneratorBase", "SciPyCSCCodeGenerator", "SemanticError", "logger",
             "SciPyCodeGenerator", "__all__"]
    assert [n for n in names if n in order] == order


def test_csc_returns_exactly_what_the_bound_constructor_makes(monkeypatch):
    made = []

    class Fake:
        def __init__(self, *args, **kwargs):
            made.append(self)
            self.args, self.kwargs = args, kwargs

    monkeypatch.setattr(emitselect, "SciPyCSCCodeGenerator", Fake)
    ast = {"declarations": []}
    gen = SciPyCodeGenerator(ast)
    assert made == [gen] and gen.args == (ast, None) and gen.kwargs == {}
    data = {"n": 1}
    gen2 = SciPyCodeGenerator(ast, data, "csc")
    assert gen2.args[1] is data
    assert SciPyCodeGenerator(ast=ast, data_dict=data, mode="csc").args == (ast, data)


def test_real_csc_generator():
    gen = SciPyCodeGenerator({"declarations": []}, {"a": 1})
    assert type(gen) is emitsparse.SciPyCSCCodeGenerator
    assert not isinstance(gen, SciPyCodeGenerator)
    assert isinstance(gen, emitcore.SciPyCodeGeneratorBase)
    assert gen.data_dict == {"a": 1}
    assert "milp" in gen.generate_code()


def test_dense_is_retired(caplog):
    caplog.set_level(logging.DEBUG, logger="vormo.emitselect")
    with pytest.raises(NotImplementedError) as info:
        SciPyCodeGenerator({}, None, "dense")
    assert str(info.value) == "SciPyDenseCodeGenerator is deprecated and cannot be used."
    records = [r for r in caplog.records if r.name == "vormo.emitselect"]
    assert [(r.levelno, r.getMessage()) for r in records] == [(logging.ERROR, "SciPyDenseCodeGenerator is deprecated")]


@pytest.mark.parametrize("mode, text", [("CSC", "CSC"), (None, "None"), ("", ""), (3, "3"), ("csc ", "csc ")])
def test_unknown_modes(mode, text):
    with pytest.raises(ValueError) as info:
        SciPyCodeGenerator({}, None, mode)
    assert str(info.value) == "Unknown mode: " + text


def test_constructor_errors_propagate(monkeypatch):
    def broken(ast, data_dict):
        raise KeyError("declarations")

    monkeypatch.setattr(emitselect, "SciPyCSCCodeGenerator", broken)
    with pytest.raises(KeyError):
        SciPyCodeGenerator({})


def test_class_shape():
    assert SciPyCodeGenerator.__bases__ == (object,)
    assert SciPyCodeGenerator.__doc__ is None
    assert SciPyCodeGenerator.__module__ == "vormo.emitselect"
    with pytest.raises(TypeError):
        SciPyCodeGenerator()
