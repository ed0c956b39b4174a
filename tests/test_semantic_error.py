import pickle

import pytest

from vormo.faultnote import SemanticError


@pytest.mark.parametrize(
    "args, kwargs, text, lineno",
    [
        (("m", 12), {}, "Semantic Error (Line 12): m", 12),
        (("m",), {}, "Semantic Error: m", None),
        (("m", None), {}, "Semantic Error: m", None),
        ((), {"message": "m", "lineno": 3}, "Semantic Error (Line 3): m", 3),
        (("m", 0), {}, "Semantic Error: m", 0),  # 0 is false: no line in the text, kept on the error
        (("m", "7"), {}, "Semantic Error (Line 7): m", "7"),
        ((42,), {}, "Semantic Error: 42", None),
        (("naïve \udc80 <x>",), {}, "Semantic Error: naïve \udc80 <x>", None),
    ],
)
def test_displayed_text_and_attributes(args, kwargs, text, lineno):
    err = SemanticError(*args, **kwargs)
    assert str(err) == text
    assert err.args == (text,)
    assert err.lineno == lineno
    assert err.message == (args[0] if args else kwargs["message"])


def test_message_is_kept_unconverted():
    payload = {"k": 1}
    err = SemanticError(payload, 2)
    assert err.message is payload
    assert str(err) == "Semantic Error (Line 2): {'k': 1}"


def test_text_is_fixed_at_construction():
    err = SemanticError("a", 1)
    err.message, err.lineno = "b", 2
    assert str(err) == "Semantic Error (Line 1): a"


def test_is_an_ordinary_exception_class():
    assert SemanticError.__mro__[1:] == (Exception, BaseException, object)
    assert SemanticError.__module__ == "vormo.faultnote"
    assert SemanticError.__qualname__ == "SemanticError"
    assert SemanticError.__doc__ == "Custom exception for semantic errors."
    with pytest.raises(Exception) as info:
        raise SemanticError("boom", 4)
    assert info.value.lineno == 4


def test_subclass_and_attributes():
    class Located(SemanticError):
        def __init__(self, message, lineno=None, column=None):
            super().__init__(message, lineno)
            self.column = column

    err = Located("bad", 5, column=9)
    assert (str(err), err.column, err.lineno) == ("Semantic Error (Line 5): bad", 9, 5)
    assert isinstance(err, SemanticError)


def test_str_failure_of_message_propagates():
    class Unprintable:
        def __str__(self):
            raise RuntimeError("no text")

    with pytest.raises(RuntimeError, match="no text"):
        SemanticError(Unprintable())


def test_wrong_arguments_are_type_errors():
    with pytest.raises(TypeError):
        SemanticError()
    with pytest.raises(TypeError):
        SemanticError("m", 1, 2)
    with pytest.raises(TypeError):
        SemanticError("m", line=1)


def test_pickles_with_its_attributes():
    err = pickle.loads(pickle.dumps(SemanticError("m", 3)))
    assert (type(err), err.message, err.lineno) == (SemanticError, "m", 3)
