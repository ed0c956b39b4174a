"""Token counting: the character approximation and the tokenizer count with its fallbacks."""

import sys
import types

import pytest

import vormo.tokenledger as tl


class StrSub(str):
    pass


@pytest.mark.parametrize(
    "text, expected",
    [
        ("", 0),
        ("a", 1),
        ("abcd", 1),
        ("abcde", 2),
        ("x" * 4000, 1000),
        ("x" * 4001, 1001),
        ("éèê", 1),  # three characters, six UTF-8 bytes
        ("😀" * 5, 2),  # astral code points count once each
        ("\ud800abc", 1),  # a lone surrogate is still one character
    ],
)
def test_approx_counts_started_groups_of_four_code_points(text, expected):
    assert tl._approx_token_count(text) == expected
    assert type(tl._approx_token_count(text)) is int


@pytest.mark.parametrize(
    "call, name, given",
    [
        (lambda: tl._approx_token_count(None), "text", "NoneType"),
        (lambda: tl._approx_token_count(b"abc"), "text", "bytes"),
        (lambda: tl._approx_token_count(StrSub("abc")), "text", "StrSub"),
        (lambda: tl._count_openai_tokens(3, "gpt-4o"), "text", "int"),
        (lambda: tl._count_openai_tokens("abc", None), "model_name", "NoneType"),
    ],
)
def test_non_text_arguments_are_refused(call, name, given):
    with pytest.raises(TypeError) as err:
        call()
    assert str(err.value) == f"Argument '{name}' has incorrect type (expected str, got {given})"


def test_keywords_are_accepted(monkeypatch):
    monkeypatch.setitem(sys.modules, "tiktoken", None)
    assert tl._approx_token_count(text="abcdefgh") == 2
    assert tl._count_openai_tokens(text="abcdefghi", model_name="m") == 3


@pytest.mark.parametrize("text", ["", "a", "hello world", "é" * 9, "x" * 10_001])
def test_without_the_tokenizer_the_count_is_the_approximation(monkeypatch, text):
    monkeypatch.setitem(sys.modules, "tiktoken", None)  # import fails with ImportError
    assert tl._count_openai_tokens(text, "gpt-4o") == tl._approx_token_count(text)


class FakeEncoding:
    def __init__(self, name, log, per_char=1, fail=False, result=None):
        self.name, self.log, self.per_char, self.fail, self.result = name, log, per_char, fail, result

    def encode(self, text):
        self.log.append(("encode", self.name))
        if self.fail:
            raise ValueError("cannot encode")
        if self.result is not None:
            return self.result
        return [0] * (len(text) * self.per_char)


def fake_tiktoken(log, *, model_ok=True, o200k_ok=True, cl100k_ok=True, encode_fail=False, result=None):
    """A stand-in tokenizer library; each encoding counts characters times its own factor."""
    mod = types.ModuleType("tiktoken")

    def encoding_for_model(name):
        log.append(("encoding_for_model", name))
        if not model_ok:
            raise KeyError(name)
        return FakeEncoding("model", log, per_char=2, fail=encode_fail, result=result)

    def get_encoding(name):
        log.append(("get_encoding", name))
        ok = {"o200k_base": o200k_ok, "cl100k_base": cl100k_ok}[name]
        if not ok:
            raise ValueError(f"unknown encoding {name}")
        factor = 3 if name == "o200k_base" else 5
        return FakeEncoding(name, log, per_char=factor, fail=encode_fail, result=result)

    mod.encoding_for_model = encoding_for_model
    mod.get_encoding = get_encoding
    return mod


@pytest.mark.parametrize(
    "options, expected, calls",
    [
        ({}, 2 * 7, [("encoding_for_model", " GPT-4o "), ("encode", "model")]),
        (
            {"model_ok": False},
            3 * 7,
            [("encoding_for_model", " GPT-4o "), ("get_encoding", "o200k_base"), ("encode", "o200k_base")],
        ),
        (
            {"model_ok": False, "o200k_ok": False},
            5 * 7,
            [
                ("encoding_for_model", " GPT-4o "),
                ("get_encoding", "o200k_base"),
                ("get_encoding", "cl100k_base"),
                ("encode", "cl100k_base"),
            ],
        ),
        (
            {"model_ok": False, "o200k_ok": False, "cl100k_ok": False},
            2,  # the approximation of seven characters
            [("encoding_for_model", " GPT-4o "), ("get_encoding", "o200k_base"), ("get_encoding", "cl100k_base")],
        ),
        ({"encode_fail": True}, 2, [("encoding_for_model", " GPT-4o "), ("encode", "model")]),
        ({"result": object()}, 2, [("encoding_for_model", " GPT-4o "), ("encode", "model")]),  # no len()
    ],
    ids=["model-encoding", "o200k", "cl100k", "all-fail", "encode-fails", "unsized-result"],
)
def test_encoding_choice_and_fallbacks(monkeypatch, options, expected, calls):
    log = []
    monkeypatch.setitem(sys.modules, "tiktoken", fake_tiktoken(log, **options))
    # The model name reaches the library unchanged: no trimming, no lower-casing.
    assert tl._count_openai_tokens("seven c", " GPT-4o ") == expected
    assert log == calls


def test_tokenizer_loaded_at_call_time(monkeypatch):
    log = []
    monkeypatch.setitem(sys.modules, "tiktoken", None)
    assert tl._count_openai_tokens("abcdefgh", "m") == 2
    monkeypatch.setitem(sys.modules, "tiktoken", fake_tiktoken(log))
    assert tl._count_openai_tokens("abcdefgh", "m") == 16


@pytest.mark.parametrize("where", ["encoding_for_model", "encode"])
def test_interrupts_pass_through(monkeypatch, where):
    log = []
    mod = fake_tiktoken(log)
    if where == "encoding_for_model":

        def boom(name):
            raise KeyboardInterrupt

        mod.encoding_for_model = boom
    else:
        enc = types.SimpleNamespace(encode=lambda text: (_ for _ in ()).throw(KeyboardInterrupt()))
        mod.encoding_for_model = lambda name: enc
    monkeypatch.setitem(sys.modules, "tiktoken", mod)
    with pytest.raises(KeyboardInterrupt):
        tl._count_openai_tokens("abc", "m")


def test_fallback_goes_through_the_module_namespace(monkeypatch):
    monkeypatch.setitem(sys.modules, "tiktoken", None)
    monkeypatch.setattr(tl, "_approx_token_count", lambda text: 99)
    assert tl._count_openai_tokens("abc", "m") == 99
