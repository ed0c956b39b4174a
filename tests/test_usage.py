"""Usage records from vendor responses, with local counts for whatever is not reported."""

import enum
from types import SimpleNamespace as NS

import pytest

import vormo.tokenledger as tl


USAGE_NAMES = {"usage", "usage_metadata", "input_tokens", "output_tokens", "prompt_tokens", "completion_tokens",
               "prompt_token_count", "candidates_token_count"}


class Boom:
    """An object whose usage-related attributes (other than the given values) fail to read."""

    def __init__(self, error, **values):
        self._error = error
        self.__dict__.update(values)

    def __getattr__(self, name):
        if name in USAGE_NAMES:
            raise self._error
        raise AttributeError(name)


class DictSub(dict):
    pass


class Color(enum.IntEnum):
    RED = 3


@pytest.fixture
def counters(monkeypatch):
    """Replace both local counters by recorders that make their use visible."""
    calls = []

    def openai_count(text, model_name):
        calls.append(("openai", text, model_name))
        return 1000 + len(text)

    def approx(text):
        calls.append(("approx", text))
        return 2000 + len(text)

    monkeypatch.setattr(tl, "_count_openai_tokens", openai_count)
    monkeypatch.setattr(tl, "_approx_token_count", approx)
    return calls


@pytest.mark.parametrize(
    "prompt, completion, expected",
    [
        (None, 7, (0, 7)),
        (0, 0, (0, 0)),
        (5, None, (5, 0)),
        (10**30, 1, (10**30, 1)),
        (-4, 2, (-4, 2)),
    ],
)
def test_usage_dict(prompt, completion, expected):
    record = tl._usage_dict(prompt, completion)
    assert list(record.items()) == [("prompt_tokens", expected[0]), ("completion_tokens", expected[1])]
    assert all(type(v) is int for v in record.values())


@pytest.mark.parametrize(
    "prompt, completion, name, given",
    [
        (True, 1, "prompt_tokens", "bool"),
        (1, False, "completion_tokens", "bool"),
        (1.0, 1, "prompt_tokens", "float"),
        (1, "3", "completion_tokens", "str"),
        (Color.RED, 1, "prompt_tokens", "Color"),
    ],
)
def test_usage_dict_refuses_non_integers(prompt, completion, name, given):
    with pytest.raises(TypeError) as err:
        tl._usage_dict(prompt, completion)
    assert str(err.value) == f"Argument '{name}' has incorrect type (expected int, got {given})"


OPENAI_CASES = [
    # (response, expected usage; None means "counted locally")
    ({"usage": {"prompt_tokens": 12, "completion_tokens": 30}}, (12, 30)),
    (NS(usage=NS(input_tokens=5, output_tokens=9, prompt_tokens=77, completion_tokens=88)), (5, 9)),
    (NS(usage={"input_tokens": 4, "output_tokens": 6}), (4, 6)),
    ({"usage": NS(prompt_tokens=3, completion_tokens=8)}, (3, 8)),
    (DictSub(usage={"input_tokens": 1, "output_tokens": 2}), (1, 2)),
    ({"usage": {"input_tokens": 0}}, (None, None)),  # zero reads as missing, no older name
    ({"usage": {"input_tokens": 0, "prompt_tokens": 0, "output_tokens": 0, "completion_tokens": 0}}, (0, 0)),
    ({"usage": {"input_tokens": 0, "prompt_tokens": 11, "output_tokens": 0, "completion_tokens": 13}}, (11, 13)),
    ({"usage": {"output_tokens": 9}}, (None, 9)),
    ({"usage": None}, (None, None)),
    (None, (None, None)),
    ("a text response", (None, None)),
    (NS(text="no usage"), (None, None)),
    ({"usage": 42}, (None, None)),  # usage of an unexpected type
    (Boom(RuntimeError("broken")), (None, None)),
    (NS(usage=Boom(ValueError("bad"), input_tokens=5)), (5, None)),  # counts found before the error stay
]


@pytest.mark.parametrize("resp, expected", OPENAI_CASES)
def test_extract_openai_usage(counters, resp, expected):
    record = tl._extract_openai_usage(resp, "input text", "output", "gpt-4o")
    want_p = 1000 + len("input text") if expected[0] is None else expected[0]
    want_c = 1000 + len("output") if expected[1] is None else expected[1]
    assert record == {"prompt_tokens": want_p, "completion_tokens": want_c}
    local = [c for c in counters if c[0] == "openai"]
    assert len(local) == [expected[0], expected[1]].count(None)
    assert all(c[2] == "gpt-4o" for c in local)


def test_dictionary_entry_is_used_only_without_a_usage_attribute(counters):
    resp = DictSub(usage={"input_tokens": 100, "output_tokens": 200})
    resp.usage = NS(input_tokens=1, output_tokens=2)
    assert tl._extract_openai_usage(resp, "a", "b", "m") == {"prompt_tokens": 1, "completion_tokens": 2}


GEMINI_CASES = [
    (NS(usage_metadata=NS(prompt_token_count=17, candidates_token_count=4)), (17, 4)),
    (NS(usage_metadata=NS(prompt_token_count=17)), (17, None)),
    (NS(usage_metadata=NS(prompt_token_count=0, candidates_token_count=0)), (0, 0)),  # zero is kept
    ({"usage_metadata": {"prompt_token_count": 8, "candidates_token_count": 2}}, (8, 2)),
    ({"usage_metadata": {"prompt_token_count": None}}, (None, None)),
    ({"usage": {"prompt_tokens": 5}}, (None, None)),  # OpenAI names mean nothing here
    (None, (None, None)),
    ("text", (None, None)),
    (Boom(OSError("io")), (None, None)),
]


@pytest.mark.parametrize("resp, expected", GEMINI_CASES)
def test_extract_gemini_usage(counters, resp, expected):
    record = tl._extract_gemini_usage(resp, "input text", "output")
    want_p = 2000 + len("input text") if expected[0] is None else expected[0]
    want_c = 2000 + len("output") if expected[1] is None else expected[1]
    assert record == {"prompt_tokens": want_p, "completion_tokens": want_c}
    # Gemini never uses the tokenizer count.
    assert not [c for c in counters if c[0] == "openai"]


def test_gemini_fallback_is_the_real_approximation():
    resp = NS(usage_metadata={"prompt_token_count": 3})
    assert tl._extract_gemini_usage(resp, "abc", "x" * 9) == {"prompt_tokens": 3, "completion_tokens": 3}


@pytest.mark.parametrize(
    "extract, resp",
    [
        (lambda r: tl._extract_openai_usage(r, "a", "b", "m"), {"usage": {"input_tokens": 1.5}}),
        (lambda r: tl._extract_openai_usage(r, "a", "b", "m"), {"usage": {"output_tokens": "9"}}),
        (lambda r: tl._extract_openai_usage(r, "a", "b", "m"), {"usage": {"input_tokens": True}}),
        (lambda r: tl._extract_gemini_usage(r, "a", "b"), {"usage_metadata": {"prompt_token_count": 2.0}}),
        (lambda r: tl._extract_gemini_usage(r, "a", "b"), {"usage_metadata": {"candidates_token_count": False}}),
    ],
)
def test_reported_count_of_wrong_type_is_refused(counters, extract, resp):
    with pytest.raises(TypeError, match="has incorrect type"):
        extract(resp)


@pytest.mark.parametrize(
    "extract",
    [
        lambda r: tl._extract_openai_usage(r, "a", "b", "m"),
        lambda r: tl._extract_gemini_usage(r, "a", "b"),
    ],
)
def test_interrupt_while_reading_usage_passes_through(extract):
    with pytest.raises(KeyboardInterrupt):
        extract(Boom(KeyboardInterrupt()))


@pytest.mark.parametrize(
    "call, name",
    [
        (lambda: tl._extract_openai_usage(None, None, "b", "m"), "input_text"),
        (lambda: tl._extract_openai_usage(None, "a", 3, "m"), "output_text"),
        (lambda: tl._extract_openai_usage(None, "a", "b", None), "model_name"),
        (lambda: tl._extract_gemini_usage(None, "a", None), "output_text"),
    ],
)
def test_text_arguments_are_checked(call, name):
    with pytest.raises(TypeError, match=f"Argument '{name}' has incorrect type"):
        call()


def test_extractors_build_the_record_through_the_module(monkeypatch):
    seen = []
    monkeypatch.setattr(tl, "_usage_dict", lambda p, c: seen.append((p, c)) or "record")
    assert tl._extract_openai_usage({"usage": {"prompt_tokens": 1, "completion_tokens": 2}}, "", "", "m") == "record"
    assert tl._extract_gemini_usage({"usage_metadata": {"prompt_token_count": 3}}, "", "abcde") == "record"
    assert seen == [(1, 2), (3, 2)]
