"""Mistakes that writers used to other modelling languages or to Python make: each finding names
the line and the Vormo form to write instead."""
import pytest

from vormo.vormo_kernel import VormoCompiler, VormoSyntaxError

HEAD = "{string} P = ...;\nfloat c[P] = ...;\nfloat u = 5;\ndvar float+ x[P];\n"  # lines 1-4
DATA = 'P = {"a", "b"};\nc = [1, 2];\n'
BLOCK = HEAD + "subject to {\n  forall(p in P) %s;\n}\n"  # the constraint is on line 6

# (model, data, line of the finding, words of its hint)
MISTAKES = {
    "set keyword": ("set P;\n", "", 1, "write {string} P = ...; instead"),
    "range as a set": ("int n = 3;\n{int} Days = 1..n;\n", "", 2, "write asSet(1..n) instead"),
    "param keyword": ("param cost{P};\n", "", 1, "write float cost[P] = ...; instead"),
    "param over two sets": ("param d{i in P, j in Q};\n", "", 1, "write float d[P][Q] = ...;"),
    "var keyword": ("var x{P} >= 0;\n", "", 1, "write dvar float+ x[P]; instead"),
    "var binary": ("\nvar y{P} binary;\n", "", 2, "write dvar boolean y[P]; instead"),
    "var integer": ("var z integer >= 0;\n", "", 1, "write dvar int+ z; instead"),
    "s.t.": (HEAD + "s.t. cap{p in P}: x[p] <= c[p];\n", DATA, 5, "subject to { ... }"),
    "st": (HEAD + "st cap: x[\"a\"] <= 1;\n", DATA, 5, "subject to { ... }"),
    "integer declaration": (HEAD + "integer n;\n", DATA, 5, "write dvar int n; instead"),
    "binary declaration": (HEAD + "binary open;\n", DATA, 5, "write dvar boolean open; instead"),
    "dvar integer": ("dvar integer k;\n", "", 1, "write dvar int instead of dvar integer"),
    "dvar binary": ("dvar binary b;\n", "", 1, "write dvar boolean instead of dvar binary"),
    "max for maximize": (HEAD + "max: sum(p in P) c[p] * x[p];\n", DATA, 5,
                         "write maximize sum(p in P) c[p] * x[p]; instead"),
    "min with a name": (HEAD + "min total = sum(p in P) x[p];\n", DATA, 5,
                        "write minimize total: sum(p in P) x[p]; instead"),
    "British minimise": (HEAD + "minimise sum(p in P) x[p];\n", DATA, 5, "write minimize instead"),
    "British maximise": (HEAD + "maximise sum(p in P) x[p];\n", DATA, 5, "write maximize instead"),
    "solve statement": (HEAD + "minimize sum(p in P) x[p];\nsolve;\n", DATA, 6, "remove the solve statement"),
    "display statement": (HEAD + "display x;\n", DATA, 5, "remove the display statement"),
    "print statement": (HEAD + "print(x);\n", DATA, 5, "remove the print statement"),
    "script block": (HEAD + "execute {\n  writeln(x);\n}\n", DATA, 5, "remove the script block"),
    "constraint outside the block": (HEAD + "cap: x[\"a\"] <= 1;\n", DATA, 5,
                                     'write subject to { cap: x["a"] <= 1; } instead'),
    "comprehension in sum": (HEAD + "minimize sum(c[p] * x[p] for p in P);\n", DATA, 5,
                             "write sum(p in P) c[p] * x[p] instead"),
    "comprehension with a condition": (
        HEAD + "minimize sum(c[p] * x[p] + 1 for p in P if c[p] > 1);\n", DATA, 5,
        "write sum(p in P: c[p] > 1) (c[p] * x[p] + 1) instead"),
    "comprehension over pairs": (
        HEAD + "minimize sum(x[p] for (p, q) in Arcs);\n", DATA, 5, "write sum(<p, q> in Arcs) x[p] instead"),
    "comprehension in max": (HEAD + "float m = max(c[p] for p in P);\n", DATA, 5,
                             "write max(p in P) c[p] instead"),
    "lower bound after dvar": ("{string} P = ...;\ndvar float x[P] >= 0;\n", 'P = {"a"};\n', 2,
                               "write dvar float+ x[P]; instead"),
    "upper bound after dvar": ("{string} P = ...;\nfloat u = 5;\ndvar float+ x[P] <= u;\n", 'P = {"a"};\n',
                               3, "write dvar float x[P] in 0..u; instead"),
    "upper bound on a free dvar": ("float u = 5;\ndvar int k <= u + 1;\n", "", 2,
                                   "write dvar int k in -infinity..u + 1; instead"),
    "other lower bound": ("dvar float k >= 2;\n", "", 1, "write dvar float k in 2..infinity; instead"),
    "sum with braces": (HEAD + "minimize sum{p in P} c[p] * x[p];\n", DATA, 5, "write sum(p in P) instead"),
    "forall without parentheses": (BLOCK.replace("forall(p in P) %s", "forall p in P: x[p] <= c[p]"),
                                   DATA, 6, "write forall(p in P) instead"),
    "forall with braces": (BLOCK.replace("forall(p in P) %s", "forall{p in P} x[p] <= c[p]"), DATA, 6,
                           "write forall(p in P) instead"),
    "single equals": (BLOCK % "x[p] = c[p]", DATA, 6, "write x[p] == c[p]; instead"),
    "=<": (BLOCK % "x[p] =< c[p]", DATA, 6, "write x[p] <= c[p]; instead"),
    "=>": (BLOCK % "2 * x[p] => c[p] + 1", DATA, 6, "write 2 * x[p] >= c[p] + 1; instead"),
    "strict less": (BLOCK % "x[p] < c[p]", DATA, 6, "write x[p] <= c[p]; instead"),
    "strict greater": (BLOCK % "x[p] > c[p]", DATA, 6, "write x[p] >= c[p]; instead"),
    "label without colon": (BLOCK % "cap x[p] <= c[p]", DATA, 6, "write cap: x[p] <= c[p]; instead"),
    "objective name without colon": (HEAD + "minimize cost sum(p in P) c[p] * x[p];\n", DATA, 5,
                                     "write minimize cost: sum(p in P) c[p] * x[p]; instead"),
    "objective name with equals": (HEAD + "maximize cost = sum(p in P) x[p];\n", DATA, 5,
                                   "write maximize cost: sum(p in P) x[p]; instead"),
}


@pytest.mark.parametrize("model, data, line, hint", list(MISTAKES.values()), ids=list(MISTAKES))
def test_mistake_gets_its_line_and_the_vormo_form(model, data, line, hint):
    with pytest.raises(VormoSyntaxError) as caught:
        VormoCompiler().compile_model(model, data)
    error = caught.value
    assert error.lineno == line
    assert hint in error.hint
    text = str(error)
    assert text.startswith(f"line {line}, column {error.offset} of the model file: expected ")
    assert text.endswith(f"; {error.hint}") and f"found {error.found}" in text


# (model, data, line and column just after the statement's last token, message)
MISSING_SEMICOLON = {
    "declaration before the next one": ("float a = 1\nfloat b = 2;\n", "", 1, 12,
                                        "line 1: missing ';' after the declaration of 'a'"),
    "declaration before a comment": ("range I = 1..3;\n\nfloat cap = 4 // spare\n\nfloat d = 1;\n", "", 3, 14,
                                     "line 3: missing ';' after the declaration of 'cap'"),
    "next statement on the same line": ("float cap = 4 float d = 1;\n", "", 1, 14,
                                        "line 1: missing ';' after the declaration of 'cap'"),
    "declaration at the end": ("dvar float x[P]", "", 1, 16, "line 1: missing ';' after the declaration of 'x'"),
    "constraint": (HEAD + "subject to {\n  x[\"a\"] <= 3\n  x[\"b\"] <= 4;\n}\n", DATA, 6, 14,
                   "line 6: missing ';' after the constraint"),
    "objective": (HEAD + "minimize sum(p in P) x[p]\nsubject to { }\n", DATA, 5, 26,
                  "line 5: missing ';' after the objective"),
    "range": ("range I = 1..3\n{int} S = {1};\n", "", 1, 15, "line 1: missing ';' after the range declaration"),
    "tuple field": ("tuple T {\n  int a\n  int b;\n}\n", "", 2, 8, "line 2: missing ';' after the tuple field"),
    "last constraint of a block": (HEAD + "subject to { x[\"a\"] <= 3 }\n", DATA, 5, 25,
                                   "line 5: missing ';' after the constraint"),
    "tuple field before the brace": ("tuple T { int a }\n", "", 1, 16, "line 1: missing ';' after the tuple field"),
    "data item before the next": ("float a = ...;\nfloat b = ...;\n", "a = 1 b = 2;\n", 1, 6,
                                  "line 1 of the data file: missing ';' after the value of 'a'"),
    "data item": ("float a = ...;\nfloat b = ...;\n", "a = 1\nb = 2;\n", 1, 6,
                  "line 1 of the data file: missing ';' after the value of 'a'"),
    "data list at the end": ("range I = 1..2;\nfloat a[I] = ...;\n", "a = [1,\n  2]", 2, 5,
                             "line 2 of the data file: missing ';' after the value of 'a'"),
}


@pytest.mark.parametrize("model, data, line, column, message", list(MISSING_SEMICOLON.values()),
                         ids=list(MISSING_SEMICOLON))
def test_missing_semicolon_is_reported_after_the_statement(model, data, line, column, message):
    with pytest.raises(VormoSyntaxError) as caught:
        VormoCompiler().compile_model(model, data)
    error = caught.value
    assert (error.lineno, error.offset, str(error)) == (line, column, message)
    assert error.expected.startswith("';' after")


@pytest.mark.parametrize("model", [
    "float a = 1 2;\n",                                    # a stray token, not an ended statement
    "range I = 1..3;\ndvar float x[I];\nminimize x[1] x[2];\n",
])
def test_stray_token_on_the_same_line_is_reported_where_it_stands(model):
    with pytest.raises(VormoSyntaxError) as caught:
        VormoCompiler().compile_model(model, "")
    assert "missing" not in str(caught.value)
    assert str(caught.value).startswith(f"line {caught.value.lineno}, column {caught.value.offset} of ")
