"""Constructs of the Vormo language compile to the documented syntax-tree and data shapes."""
import json

import pytest

import vormo.faultnote
from vormo import vormo_kernel
from vormo.vormo_kernel import SemanticError, VormoCompiler, VormoSyntaxError


def compile_pair(model, data=""):
    return VormoCompiler().compile_model(model, data)


def declaration(compiled, name):
    return next(d for d in compiled["declarations"] if d["name"] == name)


RANGE6 = "range I = 1..6;\nfloat v[I] = [2.7, 2.1, 2.5, -2.5, -2.4, -0.5];\n"
SETS = '{string} C = {"a", "b", "c", "d"};\n{string} P = {"d", "b", "e"};\n'

# Small models that exercise one construct each; every one must compile.
VALID = {
    "comments": ("// line\n/* block\n comment */ float a = 1; // tail\n", ""),
    "short form data": ("float a;\nint n;\n", "a = 2.5;\nn = -3;\n"),
    "inline data of earlier data": ("int n = ...;\nrange I = 1..n;\nfloat h = n / 2 + card(I);\n",
                                    "n = 4;"),
    "range from zero": ("range T = 0..3;\ndvar float s[T];\nsubject to { s[0] == 1; }\n", ""),
    "inline int set": ("{int} S = {1, 2, 3};\ndvar float x[S];\nminimize sum(s in S) s * x[s];\n", ""),
    "strings with blanks and digits": ('{string} P = ...;\n', 'P = {"old town", "06-10", "12"};\n'),
    "boolean data as number": ("range I = 1..2;\nboolean cov[I][I] = ...;\ndvar boolean y[I];\n"
                               "subject to { forall(i in I) sum(j in I: cov[i][j] == 1) cov[i][j] * y[j] >= 1; }\n",
                               "cov = [[1, 0], [1, 1]];\n"),
    "domains and bounds": ("int n = 4;\ndvar float a;\ndvar float+ b in 0..n * 2;\ndvar int c in -5..maxint;\n"
                           "dvar int+ d in 0..infinity;\ndvar boolean e;\nminimize a + b + c + d + e;\n", ""),
    "multi-dimensional generic array": ("range I = 1..3;\nrange J = 1..2;\n"
                                        "float d[i in I][j in J] = abs(i - j);\n", ""),
    "inline array literal": ("range I = 1..2;\nfloat c[I][I] = [[1, 2], [3, 4]];\n", ""),
    "dexpr and indexed dexpr": ("range I = 1..2;\ndvar float x[I];\ndexpr float t = sum(i in I) x[i];\n"
                                "dexpr float twice[i in I] = 2 * x[i];\nmaximize t + twice[1];\n"
                                "subject to { forall(i in I) x[i] <= 1; }\n", ""),
    "feasibility model": ("dvar float x;\nsubject to { x >= 1; }\n", ""),
    "no constraints": ("dvar float+ x;\nminimize x;\n", ""),
    "unlabelled objective": ("dvar float x;\nmaximize 3 * x - 1;\nsubject to { x <= 4; }\n", ""),
    "label on next line": ("dvar float x;\nsubject to {\n  cap:\n    x <= 4;\n}\n", ""),
    "nested forall and blocks": ("range I = 1..2;\ndvar float x[I][I];\nsubject to {\n"
                                 "  forall(i in I) { forall(j in I: i != j) { x[i][j] <= 1; x[j][i] >= 0; } }\n"
                                 "  { x[1][1] == 0; }\n}\n", ""),
    "label inside forall": ("range I = 1..2;\ndvar float x[I];\nsubject to { forall(i in I) lim: x[i] <= i; }\n", ""),
    "logical filters": ("range I = 1..4;\ndvar float x[I];\nminimize sum(i in I: (i > 1 && i < 4) || !(i == 2)) x[i];\n", ""),
    "unary minus everywhere": ("float m = ...;\ndvar float x;\nminimize -x;\n"
                               "subject to { -(x + 1) <= 3; x >= -m; -sum(i in 1..2) x >= -10; }\n", "m = 4;"),
    "loop over inline range": ("int n = 3;\ndvar float x;\nsubject to { forall(k in 1..n) k * x <= 10; }\n", ""),
    "tuple sets with fields and patterns": (
        "tuple Arc { string i; string j; float cost; }\n{Arc} Arcs = ...;\n{string} N = ...;\n"
        "dvar float+ f[Arcs];\nminimize sum(a in Arcs) a.cost * f[a];\n"
        "subject to {\n  forall(n in N) sum(<i, j, c> in Arcs: j == n) f[<i, j, c>] >= 1;\n"
        "  forall(<i, j, c> in Arcs: !(<j, i, c> in Arcs)) f[<i, j, c>] <= 5;\n}\n",
        'N = {"a", "b"};\nArcs = {<"a", "b", 1.5>, <"b", "a", 2>};\n'),
    "array indexed by tuple set": ("tuple P { int a; int b; }\n{P} Ps = ...;\nfloat w[Ps] = ...;\n"
                                   "dvar float x[Ps];\nminimize sum(p in Ps) w[p] * x[p];\n",
                                   "Ps = {<1, 2>, <2, 1>};\nw = [3, 4];\n"),
    "subscript expressions": ("int T = 3;\nrange P = 1..T;\nstring first = \"a\";\n{string} S = {\"a\", \"b\"};\n"
                              "dvar float s[P];\ndvar float y[S];\nsubject to {\n"
                              "  forall(t in P: t > 1) s[t - 1] <= s[t];\n  y[first] == 1;\n}\n", ""),
    "min max abs of data in constraints": ("range I = 1..3;\nfloat c[I] = ...;\ndvar float x[I];\n"
                                           "subject to { forall(i in I) x[i] <= max(j in I) c[j] - min(c[i], 2) + abs(c[i]); }\n",
                                           "c = [1, -2, 3];"),
    "data file of comments only": ("float a = 1;\n", "// nothing to set\n/* really */\n"),
    "unused data": ("float a = ...;\ndvar float x;\nminimize x;\n", "a = 1;"),
    "exponent numbers": ("float eps = 1e-6;\nfloat big = 2.5E3;\n", ""),
    "string escapes": ('string s = "say \\"hi\\"";\n', ""),
    "set membership filter": ("{int} S = {2, 3};\nrange I = 1..4;\ndvar float x[I];\n"
                              "minimize sum(i in I: i in S) x[i];\n", ""),
    "empty set": ("{string} P = ...;\ndvar float x[P];\nminimize sum(p in P) x[p];\n", "P = {};"),
    "per-element bounds": ("tuple Arc { string i; string j; }\n{Arc} Arcs = ...;\nfloat cap[Arcs] = ...;\n"
                           "range I = 1..2;\nrange J = 1..3;\nint lo[I] = [0, 1];\nint hi[I][J] = [[1, 2, 3], [4, 5, 6]];\n"
                           "dvar float flow[a in Arcs] in 0..cap[a];\ndvar int+ y[i in I][j in J] in lo[i]..hi[i][j];\n"
                           "maximize sum(a in Arcs) flow[a] + sum(i in I, j in J) y[i][j];\n",
                           'Arcs = {<"a", "b">};\ncap = [3];\n'),
    "conditional over variables": ("range T = 1..3;\nfloat init = 5;\ndvar float+ s[T];\nsubject to {\n"
                                   "  forall(t in T) bal: s[t] == (t == 1 ? init : s[t - 1]) + 1;\n}\n", ""),
    "number times a parenthesised sum": ("float share = 0.3;\ndvar float x;\ndvar float y;\n"
                                         "minimize share * (x + y) + (1 - share) * x;\n", ""),
    "indexed dexpr with a string subscript": (
        '{string} M = {"m1", "m2"};\ndvar float+ y[M];\ndexpr float load[m in M] = 2 * y[m];\n'
        'minimize load["m1"];\nsubject to { forall(m in M) cap: load[m] <= 4; }\n', ""),
    "labels apart from declared names": ("range I = 1..2;\nfloat cap[I] = [3, 4];\ndvar float x[I];\n"
                                         "maximize x: sum(i in I) x[i];\n"
                                         "subject to { forall(i in I) cap: x[i] <= cap[i]; }\n", ""),
    "filters that select nothing": ('{string} M = {"m1"};\ndvar float+ y[M];\nsubject to {\n'
                                    '  forall(m in M: m == "zz") y[m] <= 1;\n  none: sum(m in M: m == "zz") y[m] <= 0;\n}\n', ""),
}


@pytest.mark.parametrize("model, data", list(VALID.values()), ids=list(VALID))
def test_valid_construct_compiles_to_plain_json(model, data):
    compiled = compile_pair(model, data)
    assert set(compiled) == {"declarations", "objective", "constraints", "data"}
    json.dumps(compiled)  # only plain dicts, lists, strings and numbers
    for decl in compiled["declarations"]:
        assert {"name", "type", "lineno"} <= set(decl)


# Values that inline data compute: (model, data file, name of the item, its value in the data dict).
DATA_VALUES = {
    "filter keeps its lower boundary": ("range I = 1..4;\nint s = sum(i in I: i >= 2) i;\n", "", "s", 9),
    "filter keeps its upper boundary": ("range I = 1..4;\nint s = sum(i in I: i <= 3) i;\n", "", "s", 6),
    "comparisons at equality": ("range I = 1..3;\nint c[i in I] = (i >= 2) + 2 * (i <= 2) + 4 * (i > 2)"
                                " + 8 * (i < 2);\n", "", "c", [10, 3, 5]),
    "backslash escape": ('string s = "a\\\\b";\n', "", "s", "a\\b"),
    "quote and tab escapes": ('string s = "\\"q\\"\\t";\n', "", "s", '"q"\t'),
    "int over int is real division": ("float h = 7 / 2;\n", "", "h", 3.5),
    "leading zeros": ("int n = 007 + 00.50 * 2;\n", "", "n", 8),
    "cyclic successor with mod": ("int n = 4;\nrange S = 1..n;\nint nxt[s in S] = (s + 1 - 1) mod n + 1;\n",
                                  "", "nxt", [2, 3, 4, 1]),
    "mod takes the sign of the divisor": ("range I = 1..4;\nint v[I] = [-7, 7, -2, 0];\n"
                                          "int m[i in I] = v[i] mod 5;\n", "", "m", [3, 2, 3, 0]),
    "div rounds down": ("range I = 1..4;\nint v[I] = [-7, 7, -2, 0];\nint d[i in I] = v[i] div 2;\n",
                        "", "d", [-4, 3, -1, 0]),
    "mod and div bind like * and /": ("int a = 5 div 2 * 2 + 2 * 5 mod 3;\n", "", "a", 5),
    "conditional": ("range I = 1..4;\nfloat c[i in I] = i <= 2 ? 10 : i * 1.5;\n", "", "c", [10, 10, 4.5, 6.0]),
    "conditional chain": ("range I = 1..3;\nint c[i in I] = i == 1 ? 5 : i == 2 ? 6 : 7;\n", "", "c", [5, 6, 7]),
    "conditional evaluates only its branch": (
        "range I = 1..3;\nint v[I] = [4, 5, 6];\nint p[i in I] = i > 1 ? v[i - 1] : 0;\n", "", "p", [0, 4, 5]),
    "floor": (RANGE6 + "int f[i in I] = floor(v[i]);\n", "", "f", [2, 2, 2, -3, -3, -1]),
    "ceil": (RANGE6 + "int f[i in I] = ceil(v[i]);\n", "", "f", [3, 3, 3, -2, -2, 0]),
    "round halves away from zero": (RANGE6 + "int f[i in I] = round(v[i]);\n", "", "f", [3, 2, 3, -3, -2, -1]),
    "abs min max of data": ("float a = abs(-1.5) + min(4, 2, 3) + max(1, 7);\n", "", "a", 10.5),
    "range test in a filter": ("range I = 1..6;\nint s = sum(i in I: i in 2..4) i;\n", "", "s", 9),
    "negated range test": ("range I = 1..6;\nint s = sum(i in I: !(i in 2..5)) i;\n", "", "s", 7),
    "boolean from a comparison": (
        "range T = 1..3;\nfloat st[T] = [0, 2, 4];\nfloat en[T] = [2, 4, 5];\n"
        "boolean follows[i in T][j in T] = en[i] <= st[j];\n", "", "follows", [[0, 1, 1], [0, 0, 1], [0, 0, 0]]),
    "diff keeps the order": (SETS + "{string} D = C diff P;\n", "", "D", ["a", "c"]),
    "union": (SETS + "{string} D = C union P;\n", "", "D", ["a", "b", "c", "d", "e"]),
    "inter": (SETS + "{string} D = P inter C;\n", "", "D", ["d", "b"]),
    "set operators from left to right": ("{int} S = asSet(1..5) diff {2} union {2, 9};\n", "", "S", [1, 3, 4, 5, 2, 9]),
    "parentheses in set expressions": ("{int} S = asSet(1..5) diff ({2} union {4});\n", "", "S", [1, 3, 5]),
    "range as a set": ("int n = 3;\n{int} Days = asSet(1..n);\n", "", "Days", [1, 2, 3]),
    "range name as a set": ("range R = 0..2;\n{float} F = asSet(R);\n", "", "F", [0, 1, 2]),
    "filtered set": ('{string} C = ...;\nfloat pop[C] = ...;\n{string} Big = {c | c in C: pop[c] >= 1000};\n',
                     'C = {"a", "b", "c"};\npop = [500, 1000, 2000];\n', "Big", ["b", "c"]),
    "filtered set of fields, once each": (
        'tuple Arc { string i; string j; }\n{Arc} A = {<"a", "b">, <"b", "c">, <"a", "c">};\n'
        "{string} Origins = {a.i | a in A};\n", "", "Origins", ["a", "b"]),
    "filtered set of tuples": (
        'tuple Arc { string i; string j; }\n{Arc} A = {<"a", "b">, <"b", "c">};\n'
        "{Arc} Back = {<j, i> | <i, j> in A: i != \"z\"};\n", "", "Back", [["b", "a"], ["c", "b"]]),
    "infinity in the data file": ("float cap = ...;\n", "cap = infinity;\n", "cap", float("inf")),
    "minus infinity in the data file": ("float low = ...;\n", "low = -infinity;\n", "low", float("-inf")),
    "maxint in the data file": ("int m = ...;\n", "m = maxint;\n", "m", 2 ** 31 - 1),
}


@pytest.mark.parametrize("model, data, name, value", list(DATA_VALUES.values()), ids=list(DATA_VALUES))
def test_inline_data_values(model, data, name, value):
    found = compile_pair(model, data)["data"]
    assert found[name] == value and type(found[name]) is type(value)
    if isinstance(value, list) and value and not isinstance(value[0], list):
        assert [type(v) for v in found[name]] == [type(v) for v in value]


def test_semantic_error_is_the_package_type():
    assert vormo_kernel.SemanticError is vormo.faultnote.SemanticError
    assert issubclass(VormoSyntaxError, SyntaxError)


@pytest.mark.parametrize("expr, expected", [
    # aggregates bind like a prefix operator: the body is one product term
    ("sum(i in I) a[i] * x[i] - sum(j in I) x[j]",
     ("-", ("sum", ("*", "a[i]", "x[i]")), ("sum", "x[j]"))),
    ("sum(i in I) x[i] + 1", ("+", ("sum", "x[i]"), "1")),
    ("sum(i in I) (x[i] + 1)", ("sum", ("+", "x[i]", "1"))),
    ("2 * sum(i in I) x[i] * 3", ("*", "2", ("sum", ("*", "x[i]", "3")))),
    ("1 - 2 - x[1]", ("-", ("-", "1", "2"), "x[1]")),
    ("1 + 2 * x[1] / 4", ("+", "1", ("/", ("*", "2", "x[1]"), "4"))),
    ("-x[1] * 2", ("*", ("neg", "x[1]"), "2")),
    ("-sum(i in I) x[i] + 1", ("+", ("neg", ("sum", "x[i]")), "1")),
])
def test_operator_precedence(expr, expected):
    model = f"range I = 1..2;\nfloat a[I] = [1, 2];\ndvar float x[I];\nminimize {expr};\n"
    tree = compile_pair(model)["objective"]["expr"]

    def shape(node):
        kind = node["type"]
        if kind == "binop":
            return (node["op"], shape(node["left"]), shape(node["right"]))
        if kind == "unary":
            return ("neg", shape(node["operand"]))
        if kind == "aggregate":
            return (node["op"], shape(node["body"]))
        return vormo_kernel.expr_text(node)

    assert shape(tree) == expected


MODEL = """tuple Arc { string i; string j; float cost; }
{Arc} Arcs = ...;
{Arc} Extra = {<"a", "c", 2>};
{string} P = ...;
{int} S = {1, 2};
int n = ...;
range I = 1..n;
float c[P][I] = ...;
float w[i in I] = 2 * i;
boolean on[P] = ...;
dvar float+ x[P][I] in 0..10;
dvar boolean y[Arcs];
dexpr float load = sum(p in P, i in I) c[p][i] * x[p][i];
minimize total: load + sum(a in Arcs) a.cost * y[a];
subject to {
  forall(p in P: on[p] == 1)
    cap: sum(i in I) x[p][i] <= 5;
  pick: y[<"a", "b", 1>] >= 1;
}
"""
DATA = """Arcs = {<"a", "b", 1>, <"b", "a", 2.5>};
P = {"p1", "p2"};
n = 2;
c = [[1, 2], [3, 4.5]];
on = [1, 0];
"""


@pytest.fixture
def compiled():
    return compile_pair(MODEL, DATA)


def test_declaration_shapes(compiled):
    assert [d["type"] for d in compiled["declarations"]] == [
        "tuple", "set_of_tuples", "set_of_tuples", "set", "set", "parameter", "range", "parameter",
        "parameter", "parameter", "dvar", "dvar", "dexpr"]
    assert declaration(compiled, "Arc")["fields"] == [
        {"name": "i", "type": "string"}, {"name": "j", "type": "string"}, {"name": "cost", "type": "float"}]
    arcs = declaration(compiled, "Arcs")
    assert (arcs["tuple_type"], arcs["value"], arcs["lineno"]) == ("Arc", [["a", "b", 1], ["b", "a", 2.5]], 2)
    assert "elements" not in arcs
    assert declaration(compiled, "Extra")["elements"] == [{"type": "tuple_literal", "elements": [
        {"type": "string", "value": "a"}, {"type": "string", "value": "c"}, {"type": "number", "value": 2}]}]
    assert declaration(compiled, "S")["elements"] == [{"type": "number", "value": 1},
                                                      {"type": "number", "value": 2}]
    assert declaration(compiled, "P")["value"] == ["p1", "p2"]
    rng = declaration(compiled, "I")
    assert (rng["low"], rng["high"], rng["end"]) == (1, 2, {"type": "name", "name": "n"})
    c = declaration(compiled, "c")
    assert (c["value_type"], c["indices"], c["source"], c["expr"]) == (
        "float", [{"set": "P"}, {"set": "I"}], "data", None)
    w = declaration(compiled, "w")
    assert (w["indices"], w["source"]) == ([{"var": "i", "set": "I"}], "generic")
    x = declaration(compiled, "x")
    assert (x["var_type"], x["indices"]) == ("float+", [{"set": "P"}, {"set": "I"}])
    assert x["bounds"] == {"low": {"type": "number", "value": 0}, "high": {"type": "number", "value": 10}}
    assert declaration(compiled, "y")["bounds"] is None


def test_objective_and_constraint_shapes(compiled):
    objective = compiled["objective"]
    assert (objective["sense"], objective["label"], objective["lineno"]) == ("minimize", "total", 14)
    term = objective["expr"]["right"]
    assert term["type"] == "aggregate"
    assert term["iterators"] == [{"type": "iterator", "var": "a", "set": {"type": "name", "name": "Arcs"}}]
    assert term["body"]["left"] == {"type": "field", "base": {"type": "name", "name": "a"}, "field": "cost"}
    forall, pick = compiled["constraints"]
    assert (forall["type"], forall["lineno"]) == ("forall", 16)
    assert forall["filter"]["type"] == "compare"
    inner = forall["body"][0]
    assert (inner["type"], inner["label"], inner["op"], inner["lineno"]) == ("constraint", "cap", "<=", 17)
    assert pick["left"] == {"type": "indexed", "name": "y", "indices": [{"type": "tuple_literal", "elements": [
        {"type": "string", "value": "a"}, {"type": "string", "value": "b"}, {"type": "number", "value": 1}]}]}


def test_data_dict_holds_plain_values(compiled):
    assert compiled["data"] == {
        "Arcs": [["a", "b", 1], ["b", "a", 2.5]],
        "Extra": [["a", "c", 2]],
        "P": ["p1", "p2"],
        "S": [1, 2],
        "n": 2,
        "c": [[1, 2], [3, 4.5]],
        "w": [2, 4],
        "on": [1, 0],
    }


def test_tuple_pattern_iterator_shape():
    model = "tuple E { int a; int b; }\n{E} Es = {<1, 2>};\ndvar float x;\nminimize sum(<u, v> in Es) u * x;\n"
    iterator = compile_pair(model)["objective"]["expr"]["iterators"][0]
    assert iterator == {"type": "iterator", "pattern": ["u", "v"], "set": {"type": "name", "name": "Es"}}


def test_calls_repeat_identically_and_keep_no_state():
    compiler = VormoCompiler()
    first = compiler.compile_model(MODEL, DATA)
    with pytest.raises(SemanticError) as failed:
        compiler.compile_model(MODEL, DATA.replace("n = 2;", "n = 3;"))
    again = compiler.compile_model(MODEL, DATA)
    assert first == again and first is not again
    with pytest.raises(SemanticError) as failed_again:
        VormoCompiler().compile_model(MODEL, DATA.replace("n = 2;", "n = 3;"))
    assert str(failed.value) == str(failed_again.value)
    assert vars(compiler) == {}


def test_compiler_is_silent(capsys, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    compile_pair(MODEL, DATA)
    with pytest.raises(SemanticError):
        compile_pair(MODEL, "")
    assert capsys.readouterr() == ("", "")
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("model, data", [(MODEL, None), (b"float a = 1;", "")])
def test_non_text_arguments_are_refused(model, data):
    with pytest.raises(TypeError):
        VormoCompiler().compile_model(model, data)

