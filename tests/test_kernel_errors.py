"""The compiler rejects faulty models and data with one precise, actionable error."""

import pytest

from vormo.vormo_kernel import SemanticError, VormoCompiler, VormoSyntaxError

BASE = """range I = 1..3;
{string} P = ...;
float c[P] = ...;
dvar float+ x[P];
"""
BASE_DATA = 'P = {"a", "b"};\nc = [1, 2];\n'


def compile_pair(model, data=""):
    return VormoCompiler().compile_model(model, data)


# One case per kind of semantic fault: (model, data, reported line, words the message must hold).
SEMANTIC_CASES = {
    "undeclared name": (
        BASE + "minimize cost:\n  sum(p in P) capacity[p] * x[p];\n", BASE_DATA, 6,
        "'capacity' is used but not declared; declare it, e.g. float capacity[P] = ...;"),
    "undeclared set in a loop": (
        BASE + "subject to {\n  forall(q in Q) x[q] <= 1;\n}\n", BASE_DATA, 6,
        "'Q' is used as a set but not declared"),
    "used before its declaration": (
        "int n = m + 1;\nint m = 2;\n", "", 1, "before its declaration on line 2"),
    "data item missing from the data file": (
        BASE + "float cap = ...;\n", BASE_DATA, 5,
        "'cap' takes its value from the data file, but the data file does not set it"),
    "data item the model does not declare": (
        BASE, BASE_DATA + "\n\ncost = 4;\n", 5,
        "in the data file, 'cost' is set but the model does not declare it"),
    "data item the model sets inline": (
        "int n = 3;\n", "// one item\nn = 4;\n", 2, "already gives its value on line 1"),
    "array length versus its index set": (
        BASE, 'P = {"a", "b"};\nc = [1, 2, 3];\n', 2,
        "in the data file, 'c' has 3 values but its index set P has 2 members"),
    "inner array length": (
        "range I = 1..2;\nrange J = 1..3;\nfloat d[I][J] = ...;\n", "d = [[1, 2, 3],\n     [4, 5]];\n",
        2, "'d[2]' has 2 values but its index set J has 3 members"),
    "tuple arity in the data file": (
        "tuple Arc { string i; string j; float cost; }\n{Arc} Arcs = ...;\n",
        'Arcs = {<"a", "b", 1>,\n        <"b", "c">};\n', 2,
        "a member of 'Arcs' has 2 fields but tuple type Arc has 3 (i, j, cost)"),
    "string where a number is due": (
        BASE, 'P = {"a", "b"};\nc = [1, "2"];\n', 2, "needs a number, but is the string \"2\""),
    "number where a string is due": (
        "{string} P = ...;\n", "P = {\"a\", 7};\n", 1, "needs a string in double quotes"),
    "wrong subscript count": (
        "range I = 1..2;\ndvar float y[I][I];\nminimize\n  y[1];\n", "", 4,
        "'y' has 2 index sets ([I][I]) but is used with 1 subscript; write y[i][j]"),
    "decision variable in a data initializer": (
        "dvar float z;\nfloat half = z / 2;\n", "", 2,
        "'z' is a decision variable and cannot be used to compute the data 'half'"),
    "product of two decision variables": (
        BASE + "dvar float y[P];\nsubject to {\n  forall(p in P)\n    x[p] * y[p] <= 1;\n}\n", BASE_DATA,
        8, "multiplies two decision variables"),
    "duplicate declaration": (
        BASE + "dvar int x[P];\n", BASE_DATA, 5, "'x' is declared twice (first on line 4)"),
    "duplicate label": (
        BASE + "subject to {\n  lim: x[\"a\"] <= 1;\n  forall(p in P)\n    lim: x[p] <= c[p];\n}\n",
        BASE_DATA, 8, "the label 'lim' is used twice (first on line 6)"),
    "subscript outside its index set": (
        "int T = ...;\nrange Periods = 1..T;\ndvar float+ s[Periods];\nsubject to {\n"
        "  forall(t in Periods)\n    s[t - 1] <= s[t];\n}\n", "T = 4;\n", 6,
        "'s[t - 1]' uses the subscript 0 (when t = 1), which is not in the index set Periods = 1..4"),
    "subscript outside a set of four": (
        '{string} P = {"a", "b", "c", "d"};\ndvar float x[P];\nminimize x["e"];\n', "", 3,
        'which is not in the index set P = {"a", "b", "c", "d"} of \'x\''),
    "mod of a fraction": ("float a = 2.5;\nint b = a mod 2;\n", "", 2,
                          "'a mod 2' needs integers on both sides of 'mod', but 'a' is 2.5"),
    "div by zero": ("int n = 0;\nint a = 5 div n;\n", "", 2, "'5 div n' divides by zero"),
    "mod of a decision variable": ("dvar int x;\nminimize\n  x mod 2;\n", "", 3,
                                   "'x mod 2' applies mod to a decision variable"),
    "floor of a decision variable": ("dvar float x;\nminimize floor(x);\n", "", 2,
                                     "floor(...) applies only to data, but 'x' contains a decision variable"),
    "conditional on a decision variable": (
        "dvar float x;\nminimize (x >= 1 ? 1 : 2) * x;\n", "", 2,
        "the comparison 'x >= 1' uses a decision variable; comparisons and filters may use only data"),
    "conditional of two types": ('float a = 1 > 0 ? 2 : "s";\n', "", 1,
                                 "gives a number or a string; both values of a conditional must have the same type"),
    "range test on a string": ('string s = "a";\nint b = s in 1..3;\n', "", 2,
                               "'s' is a string, but 's in 1..3' needs a number"),
    "set expression of two kinds": ('{string} C = {"a"};\n{int} S = asSet(1..2) union C;\n', "", 2,
                                    "the set 'S' holds numbers, but 'C' holds strings"),
    "filtered set of the wrong kind": ('{string} C = {"a"};\n{int} S = {c | c in C};\n', "", 2,
                                       "the set 'S' holds numbers, but 'c' is a string"),
    "set expression of an undeclared set": ("{int} S = asSet(1..2) diff Q;\n", "", 1,
                                            "'Q' is used as a set but not declared"),
    "computed set with a fraction": ("{int} S = {k / 2 | k in 1..3};\n", "", 1,
                                     "a member of 'S' needs an integer (int), but is 0.5"),
    "per-element bound outside its index set": (
        "range I = 1..3;\nrange J = 1..2;\nfloat cap[J] = [1, 2];\ndvar float x[i in I] in 0..cap[i];\n", "", 4,
        "'cap[i]' uses the subscript 3 (when i = 3), which is not in the index set J = 1..2 of 'cap'"),
    "decision variable in a per-element bound": (
        "range I = 1..2;\ndvar float y;\ndvar float x[i in I] in 0..y;\n", "", 3,
        "'y' is a decision variable and cannot be used in the bounds of 'x'"),
    "subscript outside a set of five": (
        '{int} P = {5, 4, 3, 2, 1};\ndvar float x[P];\nminimize x[6];\n', "", 3,
        "which is not in the index set P = {5, 4, 3, 2, ...} of 'x'"),
}


@pytest.mark.parametrize("model, data, line, words", list(SEMANTIC_CASES.values()),
                         ids=list(SEMANTIC_CASES))
def test_semantic_fault_names_line_and_fix(model, data, line, words):
    with pytest.raises(SemanticError) as caught:
        compile_pair(model, data)
    error = caught.value
    assert error.lineno == line
    assert words in error.message
    assert str(error) == f"Semantic Error (Line {line}): {error.message}"


def test_data_file_faults_say_so():
    for name in ("array length versus its index set", "tuple arity in the data file",
                 "data item the model does not declare", "string where a number is due"):
        model, data, _, _ = SEMANTIC_CASES[name]
        with pytest.raises(SemanticError, match="in the data file"):
            compile_pair(model, data)


@pytest.mark.parametrize("model, data, source, line, column, expected, found", [
    ("float a = 1 2;\n", "", "model", 1, 13, "';' after the declaration of 'a'", "the number 2"),
    ("dvar float x;\nsubject to {\n  x => 1;\n}\n", "", "model", 3, 5, "'<=', '>=' or '=='", "'='"),
    ("float a = ...;\n", "a = 1 2;\n", "data", 1, 7, "';' after the value of 'a'", "the number 2"),
    ("{string} P = ...;\n", "P = {\"a\" \"b\"};\n", "data", 1, 10, "',' or '}'", 'the string "b"'),
    ("range I = 1...3;\n", "", "model", 1, 12, "'..' between the bounds", "'...'"),
    ("float a = ...;\n", "a = abc;\n", "data", 1, 5, "a number", "'abc'"),
])
def test_syntax_error_gives_file_line_column_expected_found(model, data, source, line, column,
                                                             expected, found):
    with pytest.raises(VormoSyntaxError) as caught:
        compile_pair(model, data)
    error = caught.value
    assert isinstance(error, SyntaxError)
    assert (error.source, error.lineno, error.offset) == (source, line, column)
    assert expected in error.expected and error.found == found
    text = str(error)
    assert text.startswith(f"line {line}, column {column} of the {source} file: expected ")
    assert found in text


# At least thirty small broken models, each with the kind of error it must raise.
BROKEN = [
    ("missing semicolon", "float a = 2\n", "", VormoSyntaxError),
    ("unclosed comment", "/* note\nfloat a = 2;\n", "", VormoSyntaxError),
    ("unterminated string", 'string s = "abc;\n', "", VormoSyntaxError),
    ("comma subscripts", "range I = 1..2;\ndvar float x[I][I];\nminimize x[1, 2];\n", "",
     VormoSyntaxError),
    ("strict inequality", "dvar float x;\nsubject to { x < 3; }\n", "", VormoSyntaxError),
    ("chained comparison", "dvar float x;\nsubject to { 0 <= x <= 3; }\n", "", VormoSyntaxError),
    ("label before forall", "range I = 1..2;\ndvar float x[I];\nsubject to { c: forall(i in I) x[i] <= 1; }\n",
     "", VormoSyntaxError),
    ("reserved word as name", "float sum = 3;\n", "", VormoSyntaxError),
    ("unknown character", "float a = 3 $ 4;\n", "", VormoSyntaxError),
    ("boolean plus domain", "dvar boolean+ b;\n", "", VormoSyntaxError),
    ("mixed dvar index forms", "range I = 1..2;\ndvar float x[i in I][I];\n", "", VormoSyntaxError),
    ("conditional without its second value", "float a = 1 > 0 ? 2;\n", "", VormoSyntaxError),
    ("asSet outside a set declaration", "float a = card(asSet(1..3));\n", "", VormoSyntaxError),
    ("set operator in an expression", '{int} S = {1};\nint a = card(S union S);\n', "", VormoSyntaxError),
    ("floor with two arguments", "float a = floor(1, 2);\n", "", VormoSyntaxError),
    ("new reserved word as a name", "float diff = 3;\n", "", VormoSyntaxError),
    ("filtered set without iterator", "{int} S = {k | k};\n", "", VormoSyntaxError),
    ("indexed data with expression", "range I = 1..2;\nfloat c[I] = 3;\n", "", VormoSyntaxError),
    ("unclosed constraint block", "dvar float x;\nsubject to { x >= 1;\n", "", VormoSyntaxError),
    ("data value without quotes", "string s = ...;\n", "s = hello;\n", VormoSyntaxError),
    ("data file missing equals", "float a = ...;\n", "a 3;\n", VormoSyntaxError),
    ("empty tuple type", "tuple T { }\n", "", VormoSyntaxError),
    ("min with one argument", "float a = min(3);\n", "", VormoSyntaxError),
    ("undeclared index set", "float c[Q] = ...;\n", "c = [1];\n", SemanticError),
    ("index by scalar", "int n = 3;\nfloat c[n] = ...;\n", "c = [1];\n", SemanticError),
    ("set used as value", "range I = 1..2;\nfloat a = I + 1;\n", "", SemanticError),
    ("scalar with subscript", "float a = 2;\nfloat b = a[1];\n", "", SemanticError),
    ("string in arithmetic", 'string s = "k";\nfloat a = s * 2;\n', "", SemanticError),
    ("variable divided by variable", "dvar float x;\ndvar float y;\nminimize x / y;\n", "",
     SemanticError),
    ("abs of variable", "dvar float x;\nminimize abs(x);\n", "", SemanticError),
    ("max over variables", "range I = 1..2;\ndvar float x[I];\nminimize max(i in I) x[i];\n", "",
     SemanticError),
    ("variable in filter", "range I = 1..2;\ndvar float x[I];\nminimize sum(i in I: x[i] >= 1) x[i];\n",
     "", SemanticError),
    ("variable in bound", "dvar float x;\ndvar float y in 0..x;\n", "", SemanticError),
    ("variable as subscript", "range I = 1..2;\ndvar int k;\ndvar float x[I];\nminimize x[k];\n", "",
     SemanticError),
    ("two objectives", "dvar float x;\nminimize x;\nmaximize x;\n", "", SemanticError),
    ("loop variable shadows data", "range I = 1..2;\nint i = 1;\ndvar float x[I];\n"
     "subject to { forall(i in I) x[i] <= 1; }\n", "", SemanticError),
    ("nested loop reuses variable", "range I = 1..2;\ndvar float x[I];\n"
     "subject to { forall(i in I) forall(i in I) x[i] <= 1; }\n", "", SemanticError),
    ("unknown tuple field", "tuple A { string s; float v; }\n{A} As = ...;\ndvar float x;\n"
     "minimize sum(a in As) a.weight * x;\n", 'As = {<"p", 1>};\n', SemanticError),
    ("pattern arity", "tuple A { string s; float v; }\n{A} As = ...;\ndvar float x;\n"
     "minimize sum(<s> in As) x;\n", 'As = {<"p", 1>};\n', SemanticError),
    ("tuple literal arity in subscript", "tuple A { string s; float v; }\n{A} As = ...;\n"
     "dvar float f[As];\nminimize f[<\"p\">];\n", 'As = {<"p", 1>};\n', SemanticError),
    ("string subscript on range", 'range I = 1..2;\ndvar float x[I];\nminimize x["a"];\n', "",
     SemanticError),
    ("constant subscript outside", "range I = 1..2;\ndvar float x[I];\nminimize x[3];\n", "",
     SemanticError),
    ("member outside set", '{string} P = {"a", "b"};\ndvar float x[P];\nminimize x["c"];\n', "",
     SemanticError),
    ("int given a fraction", "int n = ...;\n", "n = 2.5;\n", SemanticError),
    ("boolean given 2", "boolean b = ...;\n", "b = 2;\n", SemanticError),
    ("set given as array", "{int} S = ...;\n", "S = [1, 2];\n", SemanticError),
    ("array given as scalar", "range I = 1..2;\nfloat c[I] = ...;\n", "c = 3;\n", SemanticError),
    ("scalar given as array", "float a = ...;\n", "a = [3];\n", SemanticError),
    ("duplicate set member", "{string} P = ...;\n", 'P = {"a", "a"};\n', SemanticError),
    ("data item set twice", "float a = ...;\n", "a = 1;\na = 2;\n", SemanticError),
    ("decision variable in data file", "dvar float x;\n", "x = 1;\n", SemanticError),
    ("division by zero in data", "float a = 1 / 0;\n", "", SemanticError),
    ("self reference", "int n = n + 1;\n", "", SemanticError),
    ("pattern over plain set", '{string} P = {"a"};\ndvar float x;\nminimize sum(<a, b> in P) x;\n', "",
     SemanticError),
    ("non-integer range bound", "range I = 1..2.5;\n", "", SemanticError),
    ("tuple type missing", "{Arc} Arcs = ...;\n", "Arcs = {};\n", SemanticError),
    ("comparing string with number", '{string} P = {"a"};\ndvar float x[P];\n'
     "minimize sum(p in P: p > 3) x[p];\n", "", SemanticError),
    ("min over empty data", "{int} S = {};\nint m = min(s in S) s;\n", "", SemanticError),
    ("superscript digit", "float a = \u00b2;\n", "", VormoSyntaxError),
    ("circled digit", "float a = \u2460;\n", "", VormoSyntaxError),
    ("superscript digits in data", "float a = ...;\n", "a = \u00b9\u00b2;\n", VormoSyntaxError),
    ("Arabic-Indic digit", "int n = \u0663;\n", "", VormoSyntaxError),
    ("superscript inside a name", "float x\u00b2 = 1;\n", "", VormoSyntaxError),
    ("range bound beyond the integers", "range I = 1..1e300;\nint n = card(I);\n", "", SemanticError),
    ("integer product then division", "int a = maxint*maxint*maxint*maxint*maxint*maxint;\n"
     "float b = a/1;\n", "", SemanticError),
    ("squaring chain", "".join(f"int a{k} = a{k - 1}*a{k - 1};\n" if k else "int a0 = maxint*maxint;\n"
                                for k in range(22)), "", SemanticError),
    ("float literal too large", "float a = 1e999;\n", "", SemanticError),
    ("float literal too large in data", "float a = ...;\n", "a = 1e999;\n", SemanticError),
    ("float literal too large in a data list", "range I = 1..2;\nfloat a[I] = ...;\n",
     "a = [1, 1e999];\n", SemanticError),
    ("float product overflows", "float a = 1e300 * 1e300;\n", "", SemanticError),
    ("float sum overflows", "range I = 1..3;\nfloat a = sum(i in I) 1e308;\n", "", SemanticError),
    ("no numeric value", "float a = infinity - infinity;\n", "", SemanticError),
    ("int data beyond the integers", "int n = ...;\n", "n = 1e300;\n", SemanticError),
    ("loop range beyond the integers", "dvar float x;\nsubject to { forall(k in 1..1e300) x <= k; }\n",
     "", SemanticError),
]


@pytest.mark.parametrize("model, data, kind", [case[1:] for case in BROKEN],
                         ids=[case[0] for case in BROKEN])
def test_broken_model_is_rejected_with_its_kind(model, data, kind):
    with pytest.raises(kind) as caught:
        compile_pair(model, data)
    assert type(caught.value) is kind
    if kind is SemanticError:
        assert caught.value.lineno


def test_first_fault_only_and_in_text_order():
    model = "float a = 1;\nfloat a = 2;\nfloat b = zz;\n"
    with pytest.raises(SemanticError) as caught:
        compile_pair(model, "")
    assert caught.value.lineno == 2


@pytest.mark.parametrize("model, data", [
    ("float a = " + "(" * 5000 + "1" + ")" * 5000 + ";\n", ""),
    ("float a = " + "-" * 5000 + "1;\n", ""),
    ("float a = " + " + ".join(["1"] * 5000) + ";\n", ""),
    ("range I = 1..2;\ndvar float x[I];\nsubject to {" + "forall(i in I) {" * 3000 + "}", ""),
    ("float a = ...;\n", "a = " + "[" * 5000 + "]" * 5000 + ";\n"),
    ("float a = " + "abs(" * 3000 + "1" + ")" * 3000 + ";\n", ""),
], ids=["parentheses", "unary minus", "long sum", "forall blocks", "data arrays", "calls"])
def test_hostile_nesting_is_a_syntax_error_not_a_crash(model, data):
    with pytest.raises(VormoSyntaxError):
        compile_pair(model, data)


@pytest.mark.parametrize("model", [
    "range I = 1..1000000000;\ndvar float x[I];\nminimize sum(i in I) x[i];\n"
    "subject to { forall(i in I, j in I: i != j) x[i] + x[j] <= 1; }\n",
    "range I = 1..100000000;\nfloat w[i in I] = i * 2;\n",
    "range I = 1..3000;\nint big = sum(i in I, j in I, k in I) 1;\n",
    "range I = 1..100000000;\nfloat w[i in I] = i;\ndvar float x;\nminimize sum(i in 1..3: w[i] > 0) x;\n",
], ids=["pairs of a huge range", "huge generic array", "triple sum", "objective filter over uncomputed data"])
def test_huge_iterations_stop_at_the_evaluation_budget(model):
    # Values whose evaluation would outrun the budget are left out of the data, not computed.
    assert compile_pair(model, "")["data"] == {}


SEED_MODEL = """tuple Arc { string i; string j; float cost; }
{Arc} Arcs = ...;
{string} N = ...;
int T = ...;
range P = 1..T;
float d[N][P] = ...;
float w[t in P] = 2 * t;
dvar float+ f[Arcs] in 0..10;
dvar float s[P];
dexpr float c = sum(a in Arcs) a.cost * f[a];
minimize cost: c - sum(t in P) w[t] * s[t];
subject to {
  forall(n in N, t in P: t > 1)
    bal: sum(<i, j, k> in Arcs: j == n) f[<i, j, k>] + s[t - 1] >= d[n][t] * abs(-1);
  forall(<i, j, k> in Arcs: !(<j, i, k> in Arcs)) f[<i, j, k>] <= max(t in P) w[t];
}
"""
SEED_DATA = """Arcs = {<"a", "b", 1.5>, <"b", "c", 2>};
N = {"a", "b", "c"};
T = 2;
d = [[1, 2], [3, 4], [5, -6]];
"""


NEW_SEED_MODEL = """{string} C = ...;
{string} P = ...;
float pop[C] = ...;
{string} D = C diff P union {"z"};
{string} Big = {c | c in C: pop[c] >= 10};
int n = 4;
{int} Days = asSet(1..n);
int nxt[d in Days] = d mod n + 1;
float w[d in Days] = d in 2..3 ? floor(pop["a"] / d) : round(2.5) div 2;
dvar float+ x[c in C] in 0..(pop[c] > 5 ? pop[c] : infinity);
dvar float s[Days];
minimize cost: sum(c in Big) x[c] + sum(d in Days) w[d] * s[d];
subject to {
  forall(d in Days) link: s[nxt[d]] >= (d == 1 ? 0 : s[d - 1]) - ceil(abs(-1.5));
}
"""
NEW_SEED_DATA = 'C = {"a", "b"};\nP = {"b"};\npop = [12, infinity];\n'


@pytest.mark.parametrize("seed", range(6))
def test_mutated_models_fail_only_with_compiler_errors(seed):
    import random
    import re
    token = re.compile(r'\s+|\w+|"[^"\n]*"|\.\.\.|\.\.|<=|>=|==|!=|&&|\|\||.', re.S)
    rng = random.Random(seed)
    model, data = (SEED_MODEL, SEED_DATA) if seed < 4 else (NEW_SEED_MODEL, NEW_SEED_DATA)
    compile_pair(model, data)
    extra = ["-", "1", "0", '"x"', "[", "]", "{", "}", "<", ">", "x", ",", ";", "sum", "(", ")", "..",
             "?", ":", "|", "mod", "div", "union", "asSet", "floor", "in", "infinity"]
    for _ in range(150):
        texts = [model, data]
        which = rng.random() < 0.3
        pieces = token.findall(texts[which])
        for _ in range(rng.randint(1, 3)):
            k = rng.randrange(len(pieces))
            roll = rng.random()
            if roll < 0.3:
                del pieces[k]
            elif roll < 0.7:
                pieces[k] = rng.choice(pieces)
            else:
                pieces.insert(k, rng.choice(extra))
        texts[which] = "".join(pieces)
        try:
            compile_pair(*texts)
        except (VormoSyntaxError, SemanticError):
            pass


@pytest.mark.parametrize("subscript, shown", [("infinity", "infinity"), ("-infinity", "-infinity"),
                                              ("2.5", "2.5"), ("2 * 1.5", "3")])
def test_odd_subscript_values_are_reported_readably(subscript, shown):
    with pytest.raises(SemanticError, match=f"uses the subscript {shown},"):
        compile_pair(f"range I = 1..2;\ndvar float x[I];\nminimize x[{subscript}];\n")


@pytest.mark.parametrize("model, line", [
    ("subject to {\n  x >= 1;\n}\ndvar float x;\n", 2),
    ("dvar float y;\nminimize\n  sum(i in I) y;\nrange I = 1..2;\n", 3),
])
def test_names_in_constraints_must_be_declared_above(model, line):
    with pytest.raises(SemanticError, match="before its declaration on line 4") as caught:
        compile_pair(model)
    assert caught.value.lineno == line


@pytest.mark.parametrize("model, data, line, words", [
    ("int n = 2;\nrange I = 1..n * 1e300;\nint c = card(I);\n", "", 2, "beyond 9007199254740992 (2^53)"),
    ("int a = maxint * maxint;\nint b = a * a;\nint c = b * b;\n", "", 3,
     "'b * b' gives an integer beyond 10^40"),
    ("int a = maxint * maxint * maxint * maxint;\nfloat b = a / 1;\n", "", None, None),
    ("float a = 1e300;\n\nfloat b = a * a;\n", "", 3, "'a * a' overflows the range of a float"),
    ("float a = infinity * 2;\nfloat b = -infinity + 1;\n", "", None, None),
    ("float a = 0 * infinity;\n", "", 1, "has no numeric value"),
    ("int n = ...;\n", "\nn = -1e41;\n", 2, "needs an integer (int), but -1e+41 is beyond 10^40"),
    ("int n = ...;\n", "n = -9.9e39;\n", None, None),
    ("int a = 100000000000000000000;\nint b = -a * a;\nint c = a * a;\nint d = -b;\n", "", None, None),
    ("int a = 100000000000000000000;\n\nint b = -a * a - 1;\n", "", 3,
     "'-a * a - 1' gives an integer beyond 10^40"),
    ("range I = -1e300..1;\nint n = card(I);\n", "", 1, "bound '-1e+300' of range 'I' is -1e+300, beyond"),
    ("dvar float x;\nsubject to {\n  forall(k in -1e300..1) x <= k;\n}\n", "", 3,
     "a bound of the loop range '-1e+300..1' is -1e+300, beyond 9007199254740992 (2^53)"),
    ("range I = 1..3;\nint n[I] = ...;\n", "n = [1,\n  2,\n  3e45];\n", 3, "'n[3]' needs an integer"),
    ("float a = ...;\n", "\n\na = -1E400;\n", 3, "in the data file, the number 1E400 is too large"),
    ("tuple T { int a; float b; }\n{T} S = ...;\n", 'S = {<1, "x">};\n', 1,
     "in the data file, field 'b' of a member of 'S' needs a number"),
], ids=["range bound", "integer square", "int within limit divides", "float overflow", "infinity stays",
        "zero times infinity", "negative int data", "int data at the limit",
        "int at both limits", "int beyond the negative limit", "negative range bound",
        "negative loop bound", "int data list",
        "float literal in data", "tuple field"])
def test_values_out_of_range_are_semantic_errors_at_their_line(model, data, line, words):
    if line is None:
        compile_pair(model, data)
        return
    with pytest.raises(SemanticError) as caught:
        compile_pair(model, data)
    assert caught.value.lineno == line
    assert words in caught.value.message


def test_generic_array_over_an_empty_inner_set_spends_the_budget():
    model = "range I = 1..100000000;\nrange E = 1..0;\nfloat w[i in I][j in E] = 1;\n"
    assert "w" not in compile_pair(model)["data"]
    assert compile_pair(model.replace("100000000", "3"))["data"]["w"] == [[], [], []]
