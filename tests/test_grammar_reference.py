"""The grammar reference placed in prompts is small, and every code block in it compiles.

Convention of the reference: a fenced block marked ``ebnf`` is grammar; a block marked ``vormo`` is a
complete model and must be followed directly by a ``vormo-data`` block holding its data file.
No other kinds of fenced blocks are used.
"""
import re
from importlib.resources import files

import pytest

from vormo import vormo_kernel
from vormo.vormo_kernel import VormoCompiler

FENCE = re.compile(r"^```([\w-]*)\n(.*?)^```\s*$", re.S | re.M)


def reference_text():
    return (files("vormo") / "grammars" / "Vormo grammar.md").read_text(encoding="utf-8")


def blocks():
    return FENCE.findall(reference_text())


def model_pairs():
    found = blocks()
    pairs = []
    for k, (kind, body) in enumerate(found):
        if kind == "vormo":
            assert k + 1 < len(found) and found[k + 1][0] == "vormo-data", \
                "a vormo block must be followed by its vormo-data block"
            pairs.append((body, found[k + 1][1]))
    return pairs


def test_reference_fits_in_prompts():
    assert len(reference_text()) < 14_000


def test_every_fence_follows_the_convention():
    text = reference_text()
    kinds = [kind for kind, _ in blocks()]
    assert set(kinds) <= {"ebnf", "vormo", "vormo-data"}
    assert kinds.count("vormo") == kinds.count("vormo-data") >= 1
    assert text.count("```") == 2 * len(kinds), "an unmatched or unrecognised fence"


@pytest.mark.parametrize("index", range(len(model_pairs())))
def test_example_model_compiles_with_its_data(index):
    model, data = model_pairs()[index]
    compiled = VormoCompiler().compile_model(model, data)
    assert compiled["declarations"]


def test_reserved_words_match_the_compiler():
    match = re.search(r"Reserved words: ([^;]*);", reference_text())
    listed = set(" ".join(match.group(1).replace("`", " ").split()).split())
    assert listed == vormo_kernel.RESERVED_WORDS


def test_grammar_keywords_are_known_to_the_compiler():
    grammar = "\n".join(body for kind, body in blocks() if kind == "ebnf")
    terminals = set(re.findall(r'"([^"\s]+)"', grammar))
    words = {t for t in terminals if t.isalpha()}
    assert words - vormo_kernel.RESERVED_WORDS == {"to"}  # 'to' is only a word after 'subject'
    assert terminals - words <= set(vormo_kernel.OPERATORS)
