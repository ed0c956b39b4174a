"""The GBNF grammar of the Vormo model language, and the recognizer that checks it.

The grammar must load under the rules local LLM servers apply to GBNF files, accept every
model of the worked-example corpus and every construct of the language, and reject models
with plain faults at the line of the fault, so that constrained decoding cannot produce them.
"""

import importlib.resources
import re
import sys
import time
from pathlib import Path

import pytest

try:
    import gbnf_recognizer
except ImportError:  # test modules imported without their folder on sys.path
    sys.path.insert(0, str(Path(__file__).resolve().parent))
    import gbnf_recognizer

from gbnf_recognizer import GBNFError, Recognizer, count_readings, parse_gbnf

PACKAGE = importlib.resources.files("vormo")


def _grammar_text():
    return (PACKAGE / "grammars" / "Vormo_GBNF").read_bytes().decode("utf-8", errors="strict")


def _corpus_models():
    root = PACKAGE / "vormo_models"
    if not root.is_dir():
        return []
    found = []
    for family in root.iterdir():
        if family.is_dir():
            found.extend(f for f in family.iterdir() if f.name.endswith(".mod"))
    return sorted(found, key=lambda f: f.name)


CORPUS = _corpus_models()


@pytest.fixture(scope="module")
def vormo():
    return Recognizer(_grammar_text())


def assert_accepted(recognizer, text):
    result = recognizer.recognize(text)
    assert result, f"{result.message()}\n--- text ---\n{text}"


# ---------------------------------------------------------------------------------------------
# The grammar file
# ---------------------------------------------------------------------------------------------

def test_grammar_file_loads_with_a_root_and_no_dead_rules():
    grammar = parse_gbnf(_grammar_text())
    refs = grammar.references()
    reachable, stack = {"root"}, ["root"]
    while stack:
        for name in refs[stack.pop()]:
            if name not in reachable:
                reachable.add(name)
                stack.append(name)
    assert set(grammar.rules) - reachable == set()


# ---------------------------------------------------------------------------------------------
# The corpus
# ---------------------------------------------------------------------------------------------

def test_corpus_is_present():
    assert len(CORPUS) >= 40


@pytest.mark.parametrize("model", CORPUS, ids=[f.name for f in CORPUS])
def test_corpus_model_is_accepted(vormo, model):
    assert_accepted(vormo, model.read_text(encoding="utf-8"))


# Blanks, comments and expressions read one way only: an ambiguous grammar makes a
# constrained decoder track every reading at once.
@pytest.mark.parametrize("model", CORPUS, ids=[f.name for f in CORPUS])
def test_corpus_model_has_exactly_one_reading(vormo, model):
    assert count_readings(vormo, model.read_text(encoding="utf-8")) == 1


def test_whole_corpus_is_recognized_quickly(vormo):
    texts = [f.read_text(encoding="utf-8") for f in CORPUS]
    start = time.perf_counter()
    assert all(vormo.accepts(t) for t in texts)
    # About 0.7 s for 53 models (94,000 characters) on a 2-core development machine; the
    # bound leaves room for a busy one.
    assert time.perf_counter() - start < 30


# ---------------------------------------------------------------------------------------------
# Constructs of the language, one small complete model each
# ---------------------------------------------------------------------------------------------

VALID = {
    "comments_everywhere": (
        "/* header\n * block ** comment */\n"
        "int/*a*/n // size\n= /* value */ 5 ; // done\n"
        "dvar/**/float x;\n"
        "subject to {//open\n  c1 /*label*/ : x/**/<=//x\n n;\n}\n"
        "// last line without a newline"),
    "only_comments": "// nothing here yet\n/* still nothing */\n",
    "empty": "",
    "scalar_data": (
        'int n = ...;\nfloat a;\nstring city = "old town";\nboolean on = ...;\n'
        "int m = 2 * n - 1;\nfloat rate = 1.5e-3;\nfloat big = 2.5E+3;\n"
        'string esc = "say \\"hi\\"";\n'),
    "ranges": "int n = 4;\nrange I = 1..n;\nrange T = 0..2*n - 1;\n",
    "sets": (
        "{string} P = ...;\n{int} S = {1, 2, 3};\n{float} F = {0.5, -1};\n{string} Q;\n"
        '{string} C = {"a b", "06-10"};\n{int} E = {};\nint k = card(S);\n'),
    "tuples": (
        "tuple Arc { string i; string j; float cost; }\n"
        "tuple Pair {\n  int a;\n  int b;\n};\n"
        '{Arc} Arcs = ...;\n{Pair} Pairs = {<1, 2>, <2, -3>};\n'
        '{Arc} Few = {<"a", "b", 3.5>};\n'),
    "arrays": (
        "{string} P = ...;\nrange I = 1..3;\nrange J = 1..2;\n"
        "float c[P] = ...;\nfloat d[I][J] = ...;\nint e[I];\n"
        "float w[i in I] = 2*i;\nfloat g[i in I][j in J] = abs(i - j);\n"
        "float lit[I] = [1, 2, 3];\nfloat m[I][J] = [[1, 2], [3, 4], [5, 6]];\n"
        "boolean adj[i in I][j in I] = i != j;\n"),
    "decision_variables": (
        "range I = 1..3;\nint cap = 10;\n"
        "dvar float x;\ndvar float+ y[I];\ndvar int+ n[I];\ndvar boolean z[I][I];\n"
        "dvar int k in 0..maxint;\ndvar float+ u[I] in 0..cap * 2;\n"
        "dvar float v in -infinity..infinity;\ndvar float+w;\ndvar int + q in 1..5;\n"),
    "dexpr": (
        "range I = 1..3;\nfloat c[I] = ...;\ndvar float+ x[I];\n"
        "dexpr float total = sum(i in I) c[i] * x[i];\n"
        "dexpr int twice[i in I] = 2 * x[i];\n"
        "minimize total;\n"),
    "objective_labelled": (
        "dvar float+ x;\nmaximize\n  profit: 3 * x - 2;\nsubject to { cap: x <= 4; }\n"),
    "objective_after_dexpr_and_dexpr_after_objective": (
        "dvar float+ x;\ndexpr float a = 2 * x;\nminimize a;\ndexpr float b = a + 1;\n"
        "subject to { b >= 3; }\n"),
    "feasibility_model": "dvar int x in 0..3;\nsubject to {\n  x >= 2;\n  x == 2;\n}\n",
    "forall_forms": (
        "range I = 1..3;\nrange J = 1..3;\ndvar float+ x[I][J];\nfloat c[I] = ...;\n"
        "subject to {\n"
        "  forall(i in I) cap: sum(j in J) x[i][j] <= c[i];\n"
        "  forall(i in I, j in J: i != j) {\n    off:\n      x[i][j] <= 1;\n    x[j][i] >= 0;\n  }\n"
        "  forall(i in I)\n    forall(j in J: j > i && (i == 1 || !(j == 3)))\n"
        "      { { x[i][j] + x[j][i] <= 2; } }\n"
        "  forall(t in 2..3) x[t][t - 1] >= x[t - 1][t];\n"
        "}\n"),
    "tuple_iteration_and_membership": (
        "tuple Arc { string i; string j; float cost; }\n{Arc} Arcs = ...;\n{string} N = ...;\n"
        'string source = "s";\n'
        "dvar float+ flow[Arcs];\n"
        "minimize sum(a in Arcs) a.cost * flow[a];\n"
        "subject to {\n"
        "  forall(n in N: n != source)\n"
        "    balance: sum(<i, j, c> in Arcs: j == n) flow[<i, j, c>] - sum(e in Arcs: e.i == n) flow[e] == 0;\n"
        "  forall(i in N, j in N: !(<i, j> in Arcs) && i in N) 0 <= 1;\n"
        "}\n"),
    "expressions": (
        "range I = 1..4;\nfloat a[I] = ...;\nfloat maxLoss = ...;\nint pos[I] = ...;\n"
        "dvar float x[I];\n"
        "maximize -sum(i in I) a[i] * x[i] / 2 + sum(i in I) (x[i] + 1) - -x[1];\n"
        "subject to {\n"
        "  x[pos[2]] >= -maxLoss;\n"
        "  -(x[1] - x[2]) <= max(i in I) a[i] - min(i in I: i > 1) abs(a[i]);\n"
        "  x[3] <= min(a[1], a[2], 7) * max(1, 2) + card(I);\n"
        "  2 * sum(i in I) sum(j in I: j < i) a[j] * x[i] <= 100;\n"
        '  x[1] * 0.5 - 1e2 == 3 / (a[1] + 1);\n'
        "}\n"),
    "set_expressions": (
        '{string} Cities = ...;\n{string} Ports = ...;\nfloat pop[Cities] = ...;\nint n = 3;\n'
        "{string} Inland = Cities diff Ports;\n{string} All = Cities union Ports inter (Ports diff {\"x\"});\n"
        "{int} Days = asSet(1..n);\nrange R = 1..n;\n{int} Copy = asSet(R);\n"
        "{string} Big = {c | c in Cities: pop[c] >= 1000 && c in Ports};\n"
        "tuple Arc { string i; string j; }\n{Arc} Arcs = ...;\n{Arc} Back = {<j, i> | <i, j> in Arcs};\n"
        "{string} Origins = {a.i | a in Arcs};\n"),
    "per_element_bounds": (
        "tuple Arc { string i; string j; }\n{Arc} Arcs = ...;\nfloat cap[Arcs] = ...;\nrange I = 1..2;\n"
        "int lo[I] = ...;\nint hi[I][I] = ...;\n"
        "dvar float flow[a in Arcs] in 0..cap[a];\ndvar int+ y[i in I][j in I] in lo[i]..hi[i][j];\n"
        "dvar float z[i in I];\n"),
    "mod_div_and_data_functions": (
        "int n = 4;\nrange S = 1..n;\nfloat v[S] = ...;\n"
        "int nxt[s in S] = (s + 1 - 1) mod n + 1;\nint half = n div 2;\n"
        "int f[s in S] = floor(v[s]) + ceil(v[s]) * round(v[s]) mod 3;\n"
        "float m = abs(min(v[1], v[2])) + max(v[1], 2);\n"),
    "conditionals_and_range_tests": (
        "range T = 1..4;\nfloat d[T] = ...;\nfloat init = 5;\n"
        "float p[t in T] = t > 1 ? d[t - 1] : 0;\nint k[t in T] = t == 1 ? 5 : t == 2 ? 6 : 7;\n"
        "boolean mid[t in T] = d[t] <= init;\nboolean inner[t in T] = t mod 4 in 2..3;\n"
        "boolean listed[t in T] = t in T;\n"
        "dvar float+ s[T];\nsubject to {\n"
        "  forall(t in T) bal: s[t] == (t == 1 ? init : s[t - 1]) + d[t];\n"
        "  forall(t in T: t in 2..3 && !(t in 1..1)) s[t] <= (d[t] > 2 ? d[t] : 2);\n}\n"),
    "string_subscripts": (
        '{string} N = ...;\nfloat d[N][N] = ...;\ndvar float+ f[N][N];\n'
        'subject to { out: sum(j in N) f["s"][j] <= d["s"]["t"]; }\n'),
}


@pytest.mark.parametrize("text", VALID.values(), ids=VALID.keys())
def test_construct_is_accepted(vormo, text):
    assert_accepted(vormo, text)


@pytest.mark.parametrize("text", VALID.values(), ids=VALID.keys())
def test_construct_has_exactly_one_reading(vormo, text):
    assert count_readings(vormo, text) == 1


@pytest.mark.parametrize("text", VALID.values(), ids=VALID.keys())
def test_compiler_finds_no_syntax_error_where_the_grammar_accepts(text):
    kernel = pytest.importorskip("vormo.vormo_kernel")
    try:
        kernel.VormoCompiler().compile_model(text, "")
    except kernel.VormoSyntaxError as err:
        pytest.fail(f"compiler reports a syntax error the grammar does not: {err}")
    except kernel.SemanticError:
        pass  # these snippets come without data; only the syntax matters here


def _reference_models():
    """The complete models in the grammar reference that goes into prompts."""
    try:
        text = (PACKAGE / "grammars" / "Vormo grammar.md").read_text(encoding="utf-8")
    except FileNotFoundError:
        return []
    return re.findall(r"```vormo\n(.*?)```", text, flags=re.S)


REFERENCE_MODELS = _reference_models()


@pytest.mark.parametrize("text", REFERENCE_MODELS,
                         ids=[f"reference_model_{k}" for k in range(len(REFERENCE_MODELS))])
def test_models_of_the_grammar_reference_are_accepted(vormo, text):
    assert_accepted(vormo, text)
    assert count_readings(vormo, text) == 1


# ---------------------------------------------------------------------------------------------
# Broken models: (text, line where the grammar must stop)
# ---------------------------------------------------------------------------------------------

BASE = "range I = 1..3;\ndvar float+ x[I];\n"   # lines 1-2 of most cases

BROKEN = {
    "missing_semicolon_after_data": ("int n = 5\nrange I = 1..n;\n", 2),
    "missing_semicolon_after_constraint": (
        BASE + "subject to {\n  x[1] <= 3\n  x[2] <= 4;\n}\n", 5),
    "missing_semicolon_after_objective": (BASE + "minimize sum(i in I) x[i]\nsubject to { }\n", 4),
    "three_dots_in_range": ("int n = 4;\nrange I = 1...n;\n", 2),
    "three_dots_in_bounds": ("dvar float x in 0...10;\n", 1),
    "dvar_without_type": ("range I = 1..3;\ndvar x[I];\n", 2),
    "dvar_with_unknown_type": ("dvar real x;\n", 1),
    "boolean_with_plus": ("dvar boolean+ y;\n", 1),
    "keyword_glued_to_type": ("dvarfloat x;\n", 1),
    "mixed_index_forms_on_dvar": ("range I = 1..3;\ndvar float x[i in I][I];\n", 2),
    "conditional_without_else": ("int a = 1 > 0 ? 2;\n", 1),
    "conditional_unparenthesized_in_constraint": (BASE + "subject to {\n  x[1] <= 1 > 0 ? 2 : 3;\n}\n", 4),
    "mod_glued_to_operand": ("int a = 7mod 2;\n", 1),
    "set_filter_without_iterator": ("{int} S = {k | k};\n", 1),
    "as_set_in_arithmetic": ("int a = asSet(1..3);\n", 1),
    "range_as_index": ("int n = 3;\nfloat c[1..n] = ...;\n", 2),
    "unclosed_subject_to": (BASE + "subject to {\n  x[1] <= 3;\n", 5),
    "unclosed_forall_block": (
        BASE + "subject to {\n  forall(i in I) {\n    x[i] <= 3;\n}\n", 7),
    "extra_closing_brace": (BASE + "subject to {\n  x[1] <= 3;\n}\n}\n", 6),
    "unbalanced_parenthesis": (BASE + "subject to {\n  (x[1] + x[2] <= 3;\n}\n", 4),
    "unbalanced_bracket": (BASE + "subject to {\n  x[1 <= 3;\n}\n", 4),
    "constraint_outside_subject_to": (BASE + "x[1] <= 3;\n", 3),
    "forall_outside_subject_to": (BASE + "forall(i in I) x[i] <= 3;\n", 3),
    "subject_to_without_braces": (BASE + "subject to x[1] <= 3;\n", 3),
    "strict_inequality": (BASE + "subject to {\n  x[1] < 3;\n}\n", 4),
    "assignment_instead_of_equality": (BASE + "subject to {\n  x[1] = 3;\n}\n", 4),
    "chained_comparison": (BASE + "subject to {\n  1 <= x[1] <= 3;\n}\n", 4),
    "logical_operator_in_constraint": (BASE + "subject to {\n  x[1] <= 3 && x[2] <= 3;\n}\n", 4),
    "label_before_forall": (BASE + "subject to {\n  cap: forall(i in I) x[i] <= 3;\n}\n", 4),
    "forall_without_parentheses": (BASE + "subject to {\n  forall i in I: x[i] <= 3;\n}\n", 4),
    "iterator_without_in": (BASE + "subject to {\n  forall(i : I) x[i] <= 3;\n}\n", 4),
    "sum_without_iterator": (BASE + "minimize sum(I) x[I];\n", 3),
    "comma_separated_subscripts": ("range I = 1..3;\ndvar float x[I][I];\nminimize x[1, 2];\n", 3),
    "two_objectives": (BASE + "minimize x[1];\nmaximize x[2];\n", 4),
    "objective_after_constraints": (BASE + "subject to { x[1] <= 3; }\nminimize x[1];\n", 4),
    "empty_objective": (BASE + "minimize;\n", 3),
    "unclosed_block_comment": (BASE + "/* note\nminimize x[1];\n", 5),
    "string_across_lines": ('string s = "ab\ncd";\n', 1),
    "leading_dot_number": ("float a = .5;\n", 1),
    "array_with_scalar_value": ("range I = 1..3;\nfloat c[I] = 5;\n", 2),
    "generic_array_without_value": ("range I = 1..3;\nfloat w[i in I];\n", 2),
    "generic_array_from_data": ("range I = 1..3;\nfloat w[i in I] = ...;\n", 2),
    "set_from_a_range": ("{int} S = 1..3;\n", 1),
    "empty_tuple_type": ("tuple T { }\n", 1),
    "tuple_fields_with_commas": ("tuple T { string a, string b; }\n", 1),
    "tuple_pattern_not_closed": (
        "tuple A { int i; int j; }\n{A} As = ...;\ndvar float y[As];\n"
        "minimize sum(<i, j in As) y[<i, j>];\n", 4),
    "abs_with_two_arguments": (BASE + "minimize abs(x[1], x[2]);\n", 3),
    "min_with_one_argument": (BASE + "minimize min(x[1]);\n", 3),
    "dexpr_without_value": (BASE + "dexpr float t;\n", 3),
}


@pytest.mark.parametrize("text,line", BROKEN.values(), ids=BROKEN.keys())
def test_broken_model_is_rejected_at_its_fault(vormo, text, line):
    result = vormo.recognize(text)
    assert not result, f"accepted:\n{text}"
    assert result.line == line, result.message()


# The grammar fixes the order declarations, objective, constraints and allows one objective;
# the compiler reads statements in any order and reports a second objective as a semantic
# fault; and it wants blanks around mod and div, which the compiler's tokens do without.  Every
# other broken model is a syntax error to the compiler as well.
STRICTER_THAN_COMPILER = {"two_objectives", "objective_after_constraints", "mod_glued_to_operand"}
COMPILER_SYNTAX = {k: v for k, v in BROKEN.items() if k not in STRICTER_THAN_COMPILER}


@pytest.mark.parametrize("text,line", COMPILER_SYNTAX.values(), ids=COMPILER_SYNTAX.keys())
def test_compiler_also_reports_a_syntax_error(text, line):
    kernel = pytest.importorskip("vormo.vormo_kernel")
    with pytest.raises(kernel.VormoSyntaxError):
        kernel.VormoCompiler().compile_model(text, "")


def test_failure_names_what_would_have_been_accepted(vormo):
    result = vormo.recognize("int n = 5\n")
    assert not result
    assert (result.line, result.column) == (2, 1)
    assert "';'" in result.expected


# ---------------------------------------------------------------------------------------------
# The GBNF reader
# ---------------------------------------------------------------------------------------------

@pytest.mark.parametrize("text,fragment", [
    ('root ::= item\n', "undefined rule 'item'"),
    ('start ::= "a"\n', "no 'root' rule"),
    ('root ::= root "a" | "a"\n', "left-recursive"),
    ('root ::= list\nlist ::= "x"? list "," | "y"\n', "left-recursive"),
    ('root ::= "a"\n  | "b"\n', "expecting a rule name"),
    ('root ::= "a" "b"\n"c"\n', "expecting a rule name"),
    ('root ::= "abc\n', "unterminated literal"),
    ('root ::= [a-\n', "unterminated character class"),
    ('root ::= [z-a]\n', "inverted character range"),
    ('root ::= * "a"\n', "without a preceding element"),
    ('root ::= "\\q"\n', "unknown escape"),
    ('root ::= "\\x4"\n', "hex digits"),
    ('root ::= "a"\nroot ::= "b"\n', "defined twice"),
    ('root ::= ("a" | "b"\n', "expecting ')'"),
    ('root ::= "a"{3,1}\n', "below minimum"),
    ('root := "a"\n', "expecting '::='"),
])
def test_reader_rejects_faulty_grammar(text, fragment):
    with pytest.raises(GBNFError) as info:
        parse_gbnf(text)
    assert fragment in str(info.value)


READER_CASES = [
    # grammar, accepted inputs, rejected inputs
    ('root ::= "\\x41\\u00e9\\t\\"\\\\"  # escapes\n', ['A\u00e9\t"\\'], ["A\u00e9"]),
    ('root ::= [^a-c\\]] [\\[-\\]]\n', ["x[", "d]", "\\\\"], ["a[", "]]", "x"]),
    ('root ::= . .\n', ["ab", "\u20ac\n"], ["a", "abc"]),
    ('root ::= "a"{2} "b"{1,2} "c"{2,}\n', ["aabcc", "aabbccc"], ["abcc", "aabbbcc", "aabc"]),
    ('root ::= (\n    "x"   # first\n  | "y"\n)+\n', ["x", "yxy"], ["", "xz"]),
    ('root ::= "x" |\n  "y"\n', ["x", "y"], ["xy"]),
    ('root ::= a b a\na ::= "q"?\nb ::= a* "m"?\n', ["", "q", "qq", "qqqmq", "m"], ["mm", "qmqm"]),
]


@pytest.mark.parametrize("grammar,good,bad", READER_CASES)
def test_reader_features_recognize_as_written(grammar, good, bad):
    rec = Recognizer(grammar)
    assert [s for s in good if not rec.accepts(s)] == []
    assert [s for s in bad if rec.accepts(s)] == []


# ---------------------------------------------------------------------------------------------
# The recognizer on a tiny expression grammar
# ---------------------------------------------------------------------------------------------

TINY = r"""
root ::= sum
sum  ::= prod (ws [-+] ws prod)*
prod ::= atom (ws [*/] ws atom)*
atom ::= [0-9]+ | "(" ws sum ws ")" | "-" atom
ws   ::= [ ]*
"""


@pytest.mark.parametrize("text,ok,column", [
    ("1", True, None),
    ("1 + 2*3", True, None),
    ("((1 + -2)) / (3)", True, None),
    ("", False, 1),
    ("1 +", False, 4),
    ("1 + * 2", False, 5),
    ("(1 + 2", False, 7),
    ("1 + 2)", False, 6),
    ("12a", False, 3),
])
def test_tiny_grammar(text, ok, column):
    result = Recognizer(TINY).recognize(text)
    assert bool(result) is ok
    if not ok:
        assert result.column == column


@pytest.mark.parametrize("grammar,text,readings", [
    ('root ::= x x\nx ::= "a"*\n', "aa", 3),
    ('root ::= ("a" | "a") "b"?\n', "ab", 2),
    ('root ::= "a" root | "a"\n', "aaa", 1),
    ('root ::= ([ ] | "#" [^\\n]* "\\n")* "x"\n', "# a # b\n  x", 1),
    ('root ::= ("a" | "b")\n', "c", 0),
])
def test_count_readings(grammar, text, readings):
    assert count_readings(Recognizer(grammar), text) == readings


@pytest.mark.parametrize("grammar,text", [
    # right recursion and a highly ambiguous repetition stay polynomial
    ('root ::= "a" root | "a"\n', "a" * 1000),
    ('root ::= ("a" | "a" "a" | x)*\nx ::= "a"+\n', "a" * 400),
])
def test_recognizer_handles_long_and_ambiguous_input(grammar, text):
    rec = Recognizer(grammar)
    start = time.perf_counter()
    assert rec.accepts(text)
    assert not rec.accepts(text + "b")
    assert time.perf_counter() - start < 20
