"""Price numbers are read by a linear scan: same tables as the backtracking patterns it replaced."""

import re

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import vormo.tokenledger as tl

# The reader as it was written with backtracking patterns, kept as the reference for the scan.
_NUMBER = re.compile(r"\$?([\d,]*\.?\d+)")
_PER_K = re.compile(r"/\s*1\s*[kK]\b|per\s+1\s*[kK]\b")
_PER_M = re.compile(r"/\s*1\s*[mM]\b|per\s+1\s*[mM]\b")
_UNIT_K = re.compile(r"1\s*[kK]")
_UNIT_M = re.compile(r"1\s*[mM]")
_SEPARATOR = re.compile(r":?-{3,}:?")
_FREE_LINE = re.compile(r"(?P<model>[\w\-\._/:@]+)\s*[:\-]\s*(?P<rest>.*)", re.IGNORECASE)
_GREEDY = {w: re.compile(w + r"[^$]*\$?([\d,]*\.?\d+[^,]*)", re.IGNORECASE) for w in ("prompt", "completion")}
_FIRST = {w: re.compile(w + r"[^$]*?([\d,]*\.?\d+[^,]*)", re.IGNORECASE) for w in ("prompt", "completion")}


def _commas_group_thousands(number):
    """A comma only separates thousands: three digits after it, then a comma, a point or the end."""
    for i, ch in enumerate(number):
        if ch != ",":
            continue
        j = i + 1
        while j < len(number) and number[j].isdigit():
            j += 1
        if i == 0 or j - i - 1 != 3 or (j < len(number) and number[j] not in ",."):
            return False
    return True


def reference_cell(cell, default_unit=None):
    if not cell:
        return None
    m = _NUMBER.search(cell)
    if not m or not _commas_group_thousands(m.group(1)):
        return None
    val = float(m.group(1).replace(",", ""))
    if _PER_K.search(cell):
        return val * 1000.0
    if _PER_M.search(cell):
        return val
    return val * 1000.0 if default_unit == "1k" else val


def reference_free_price(word, rest):
    m = _GREEDY[word].search(rest)
    if not m:
        return None
    if "$" not in rest[m.start():]:
        m = _FIRST[word].match(rest, m.start()) or m
    return reference_cell(m.group(1))


def reference_unit(cell):
    return "1k" if _UNIT_K.search(cell) else "1m" if _UNIT_M.search(cell) else None


def reference_parse(txt):
    rates, units = {}, {"prompt": None, "completion": None}
    for line in txt.splitlines():
        s = line.strip()
        if not s or s.startswith("#"):
            continue
        if s.startswith("|"):
            cols = [c.strip() for c in s.strip("|").split("|")]
            if len(cols) >= 3:
                if all(_SEPARATOR.fullmatch(c) for c in cols[:3]):
                    continue
                c0, c1, c2 = (c.lower() for c in cols[:3])
                if "model" in c0 and any(w in c for c in (c1, c2) for w in ("prompt", "completion")):
                    units = {"prompt": reference_unit(cols[1]), "completion": reference_unit(cols[2])}
                    continue
                p = reference_cell(cols[1], units["prompt"])
                c = reference_cell(cols[2], units["completion"])
                if p is not None or c is not None:
                    rates[c0] = {"prompt_per_1M": p, "completion_per_1M": c}
                continue
        m = _FREE_LINE.match(s)
        if not m:
            continue
        p = reference_free_price("prompt", m.group("rest"))
        c = reference_free_price("completion", m.group("rest"))
        if p is not None or c is not None:
            rates[m.group("model").lower()] = {"prompt_per_1M": p, "completion_per_1M": c}
    return rates


@pytest.fixture
def parse(tmp_path):
    counter = iter(range(10**9))

    def run(text):
        path = tmp_path / f"doc{next(counter)}.md"
        path.write_text(text, encoding="utf8", newline="")
        tl.clear_pricing_cache()
        return list(tl._parse_pricing(str(path)).items())

    yield run
    tl.clear_pricing_cache()


def same_as_reference(parse, text):
    assert parse(text) == list(reference_parse(text).items())


CELLS = [
    "1", ",,.5", "1,2,,", "$,,", "$,,5", "1.2.3", ",,,.", ",.,.7", "$$3", "$ 3", "x$1,000.50 per 1K",
    "\u0663.5", "\u0663\u0664,\u0665", "12abc", "n/a", ".", "5.", ",5,", "$.5/1k", "1,,,2,,,.,3",
    "0.0025 / 1K", "3 per 1M", "7 /1Kb", "\u00b2", "1\u00b2", "$\u00b2 4",
]


@pytest.mark.parametrize("cell", CELLS)
def test_price_cells(parse, cell):
    # each cell in both price columns of a table row, under a per-thousand header
    same_as_reference(parse, f"| Model | Prompt per 1K | Completion |\n| m | {cell} | {cell} x |\n")


FREE_LINES = [
    "m: prompt 0.5 per 1M", "m: prompt $0.5 per 1M", "m: prompt 1 $ 2", "m: prompt 3, x $ ,, completion 4",
    "m: prompt , $x 7", "m: prompt $ ,,, 3 , x", "m: prompt x prompt $5", "m: prompt no $ prompt 9 $",
    "m: PROMPT 2 / 1k, COMPLETION $,,.5,6", "m: completion ., $1.5.5 / 1K, prompt $2", "m: prompt,,,,",
    "m: prompt 4 $ $ 5", "m - prompt .5.5 completion 1,2,,", "m: promptprompt$", "m: prompt \u0663 $x",
    "m: prompt 1,2 $,3", "m: prompt $ prompt 8,9 $ prompt 7", "m: completion", "m:prompt\u00b2 3",
]


@pytest.mark.parametrize("line", FREE_LINES)
def test_free_form_lines(parse, line):
    same_as_reference(parse, line + "\n")


TOKENS = st.sampled_from([
    "|", " | ", " ", "  ", "\t", ":", "-", "---", ":---:", "#", "$", ",", ",,", ".", "/", "0", "1", "2.5", "1,250",
    "07", "\u0663", "k", "K", "M", "1K", "1M", " per 1M", "per 1k", "/1K", " / 1m", "prompt", "Prompt",
    "completion", "COMPLETION", "model", "Model", "gpt-4o", "m1", "n/a", "tokens", "USD", "x",
])
LINES = st.lists(TOKENS, max_size=14).map("".join)
DOCUMENTS = st.lists(LINES, max_size=8).flatmap(
    lambda lines: st.sampled_from(["\n", "\r\n"]).map(lambda end: end.join(lines)))


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(DOCUMENTS)
def test_ordinary_documents_read_as_before(parse, text):
    same_as_reference(parse, text)


@pytest.mark.parametrize("line", [
    "| m | {} | 1 |", "| m | 5{} | {}x |", "m: prompt{}", "m: prompt 1{}$", "m: prompt {}.5 completion $ {}",
    "m: " + "prompt" * 50 + "{}", "| m | $$,{}. | ${},.5 |",
])
def test_long_runs_read_as_before(parse, line):
    # runs short enough for the reference patterns to finish quickly
    same_as_reference(parse, line.replace("{}", "," * 300) + "\n")


@pytest.mark.parametrize("line, expected", [
    ("| m | {} | 1 |", [("m", (None, 1.0))]),
    ("m: prompt{}", []),
    ("m: completion 1{} prompt{}$x", [("m", (None, 1.0))]),
    ("| m | 5{} | 1 |", [("m", (5.0, 1.0))]),
    ("m: prompt {}$.7{}", [("m", (0.7, None))]),
])
def test_long_runs_of_commas_are_read(parse, line, expected):
    # 10^5 commas: the scan answers at once where the backtracking patterns took minutes
    rows = parse(line.replace("{}", "," * 100_000) + "\n")
    assert [(k, (v["prompt_per_1M"], v["completion_per_1M"])) for k, v in rows] == expected
