"""The sparse solver-script generator and the runner: scripts solve the corpus to its known
optima, report infeasible, unbounded and feasibility models, name variables as a model writes
them, keep integrality, cannot be steered into running model text, and refuse what they cannot
translate with the line of the construct."""

import array
import ast as pyast
import contextlib
import fractions
import io
import json
import re
import subprocess
import sys
import weakref

import pytest

from test_corpus import DESCRIPTIONS, EXPECTED_OPTIMUM, IDS, ReferenceProgram, _compile
from vormo import emitselect, emitsparse, runner, solvechild, vormo_kernel
from vormo.faultnote import SemanticError
from vormo.vormo_kernel import VormoCompiler

pytest.importorskip("numpy")
pytest.importorskip("scipy.optimize")


def script_of(compiled, **fields):
    generator = emitselect.SciPyCodeGenerator(compiled, compiled.get("data"), "csc")
    for name, value in fields.items():
        setattr(generator, name, value)
    return generator.generate_code()


def run_in_process(script):
    """Run a generated script in this interpreter (numpy and scipy are loaded once)."""
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        exec(compile(script, "<solver script>", "exec"), {"__name__": "__main__"})
    return json.loads(out.getvalue().strip().splitlines()[-1])


def solve_model(model, data):
    return run_in_process(script_of(VormoCompiler().compile_model(model, data)))


# ----------------------------------------------------------------------------------------------
# The corpus


@pytest.mark.parametrize("desc", DESCRIPTIONS, ids=IDS)
def test_corpus_example_solves_to_its_optimum(desc):
    compiled = _compile(desc)
    result = run_in_process(script_of(compiled, model_name=desc.name))
    assert result["status"] == "optimal"
    expected = EXPECTED_OPTIMUM.get(desc.stem, "unpinned")
    if expected == "unpinned":
        expected = ReferenceProgram(_compile(desc)).solve()
    if expected is None:
        assert result["objective"] is None
    else:
        assert result["objective"] == pytest.approx(expected, rel=1e-6)


def test_runner_solves_a_corpus_pair_from_files():
    desc = next(d for d in DESCRIPTIONS if d.stem == "transportation")
    result = runner.solve_files(desc.with_suffix(".mod"), desc.with_suffix(".dat"))
    assert result["status"] == "optimal"
    assert result["objective"] == pytest.approx(5630, rel=1e-6)
    assert all(name.startswith("haul[") for name in result["variables"])


# ----------------------------------------------------------------------------------------------
# The constructs of the language's second round, each in a small model whose optimum is worked
# out by hand: (model, data, optimum).

NEW_CONSTRUCTS = {
    "per-element bounds over a tuple set": (
        'tuple Arc { string i; string j; }\n{Arc} Arcs = ...;\nfloat cap[Arcs] = ...;\n'
        "dvar float flow[a in Arcs] in 0..cap[a];\nmaximize total: sum(a in Arcs) flow[a];\n"
        "subject to { lim: sum(a in Arcs) flow[a] <= 100; }\n",
        'Arcs = {<"a", "b">, <"b", "c">};\ncap = [3, 4.5];\n', 7.5),
    "per-element bounds over two indices": (  # y11 + y21 - y12 - y22 = 1 + 2 - 4 - 6
        "range I = 1..2;\nint lo[I] = [1, 2];\nint hi[I][I] = [[3, 4], [5, 6]];\n"
        "dvar int+ y[i in I][j in I] in lo[i]..hi[i][j];\n"
        "minimize m: sum(i in I, j in I) (j == 1 ? 1 : -1) * y[i][j];\n", "", -7),
    "bound from a conditional": (
        "range I = 1..2;\ndvar float x[i in I] in 0..(i == 1 ? 2 : 5);\nmaximize v: sum(i in I) x[i];\n",
        "", 7),
    "mod and div on the right-hand side": (  # (3 + 0) + (0 + 1) + (1 + 1) + (2 + 2)
        "range I = 1..4;\ndvar float+ x[I];\nminimize s: sum(i in I) x[i];\n"
        "subject to { forall(i in I) lo: x[i] >= (i + 2) mod 4 + i div 2; }\n", "", 10),
    "cyclic successor as a subscript": (  # x2 >= 1, x3 >= 2, x1 >= 3
        "int n = 3;\nrange I = 1..n;\ndvar float+ x[I];\nminimize s: sum(i in I) i * x[i];\n"
        "subject to { forall(i in I) link: x[i mod n + 1] >= i; }\n", "", 11),
    "conditional over variables": (  # s = 6, 7, 8
        "range T = 1..3;\nfloat init = 5;\ndvar float+ s[T];\nminimize last: s[3];\n"
        "subject to { forall(t in T) bal: s[t] == (t == 1 ? init : s[t - 1]) + 1; }\n", "", 8),
    "data functions": (  # 2 + 3 + 3 - 2 + 1 + 2 + 3
        "dvar float x;\nminimize v: x;\nsubject to {\n"
        "  lo: x >= floor(2.7) + ceil(2.1) + round(2.5) + round(-1.5) + abs(-1) + min(4, 2) + max(1, 3);\n}\n",
        "", 12),
    "range tests in filters": (
        "range I = 1..6;\ndvar float x[I] in 0..1;\n"
        "maximize v: sum(i in I: i in 2..4) x[i] - sum(i in I: !(i in 2..4)) x[i];\n", "", 3),
    "set expressions": (  # x[a] >= 1, x[c] >= 2, x[b] >= 2, x[e] >= 2
        "{string} C = ...;\n{string} P = ...;\n{string} D = C diff P;\n{string} U = C union P;\n"
        '{string} B = {c | c in U: c != "a"};\ndvar float+ x[U];\nminimize v: sum(u in U) x[u];\n'
        "subject to {\n  forall(d in D) need: x[d] >= 1;\n  forall(b in B) more: x[b] >= 2;\n}\n",
        'C = {"a", "b", "c"};\nP = {"b", "e"};\n', 7),
    "range as a set and a boolean table": (  # rows of follows: 0 1 1, 0 0 1, 0 0 0
        "int n = 3;\n{int} Days = asSet(1..n);\nfloat st[Days] = [0, 2, 4];\nfloat en[Days] = [2, 4, 5];\n"
        "boolean follows[i in Days][j in Days] = en[i] <= st[j];\ndvar float+ x[Days];\n"
        "minimize v: sum(d in Days) x[d];\n"
        "subject to { forall(i in Days) cnt: x[i] >= sum(j in Days) follows[i][j]; }\n", "", 3),
    "infinity from the data file": (
        "float cap = ...;\ndvar float x in 0..cap;\nmaximize v: -x;\nsubject to { lo: x >= 2; }\n",
        "cap = infinity;\n", -2),
    "mod and div of negative numbers": (  # 3 + -4
        "dvar float x;\nminimize v: x;\nsubject to { lo: x >= -7 mod 5 + -7 div 2; }\n", "", -1),
    "int over int is real division": (
        "dvar float x;\nminimize v: x;\nsubject to { lo: x >= 7 / 2; }\n", "", 3.5),
}


@pytest.mark.parametrize("model, data, optimum", list(NEW_CONSTRUCTS.values()), ids=list(NEW_CONSTRUCTS))
def test_new_construct_solves_to_its_hand_worked_optimum(model, data, optimum):
    result = runner.solve_texts(model, data, time_limit=20)
    assert result["status"] == "optimal", result
    assert result["objective"] == pytest.approx(optimum)
    assert ReferenceProgram(VormoCompiler().compile_model(model, data)).solve() == pytest.approx(optimum)


# ----------------------------------------------------------------------------------------------
# Statuses

_SMALL = """
{string} P = ...;
float c[P] = ...;
dvar %s x[P];
%s
subject to {
  %s
}
"""
_SMALL_DATA = 'P = {"a", "b"}; c = [2, 5];'


@pytest.mark.parametrize("domain, objective, rows, status, optimum", [
    ("float+", "maximize v: sum(p in P) c[p] * x[p];", "forall(p in P) cap: x[p] <= 3;",
     "optimal", 21),
    ("float+", "minimize v: sum(p in P) c[p] * x[p];", "need: sum(p in P) x[p] >= 4;", "optimal", 8),
    ("float+", "minimize v: sum(p in P) c[p] * x[p];",
     "need: sum(p in P) x[p] >= 4; top: sum(p in P) x[p] <= 3;", "infeasible", None),
    ("float+", "maximize v: sum(p in P) c[p] * x[p];", "low: x[\"a\"] >= 1;", "unbounded", None),
    ("int+", "maximize v: sum(p in P) c[p] * x[p];", "low: x[\"a\"] >= 1;", "unbounded", None),
    ("int+", "minimize v: sum(p in P) c[p] * x[p];", "half: 2 * x[\"a\"] == 1;", "infeasible", None),
    ("int+", "maximize v: sum(p in P) c[p] * x[p];", "forall(p in P) cap: 2 * x[p] <= 7;",
     "optimal", 21),
    ("float+", "", "need: sum(p in P) x[p] == 4;", "optimal", None),
    ("float", "minimize v: sum(p in P) c[p] * x[p] + 10;", "forall(p in P) fix: x[p] == -1;",
     "optimal", 3),
])
def test_status_and_objective(domain, objective, rows, status, optimum):
    result = runner.solve_texts(_SMALL % (domain, objective, rows), _SMALL_DATA, time_limit=20)
    assert result["status"] == status
    if optimum is None:
        assert result["objective"] is None
    else:
        assert result["objective"] == pytest.approx(optimum)
    if status != "optimal":
        assert result["variables"] == {} and result["message"]


@pytest.mark.parametrize("domain, bound, values", [
    ("float+", "", {'x[a]': 3.5, 'x[b]': 3.5}),
    ("int+", "", {'x[a]': 3, 'x[b]': 3}),
    ("int", "in -5..2", {'x[a]': 2, 'x[b]': 2}),
    ("float", "in -5..2.5", {'x[a]': 2.5, 'x[b]': 2.5}),
    ("boolean", "", {'x[a]': 1, 'x[b]': 1}),
])
def test_integrality_and_bounds(domain, bound, values):
    model = _SMALL.replace("x[P];", "x[P] %s;" % bound) % (
        domain, "maximize v: sum(p in P) x[p];", "forall(p in P) cap: 2 * x[p] <= 7;")
    result = solve_model(model, _SMALL_DATA)
    assert result["variables"] == values
    assert all(type(v) is (int if domain in ("int", "int+", "boolean") else float)
               for v in result["variables"].values())


@pytest.mark.parametrize("domain, values", [
    ("float", {'x[a]': 2.0, 'x[b]': 3.5}),
    ("int", {'x[a]': 2, 'x[b]': 3}),
])
def test_bounds_per_element_in_the_script(domain, values):
    model = _SMALL.replace("x[P];", "x[p in P] in 0..c[p];") % (
        domain, "maximize v: sum(p in P) x[p];", "forall(p in P) cap: 2 * x[p] <= 7;")
    script = script_of(VormoCompiler().compile_model(model, _SMALL_DATA))
    assert run_in_process(script)["variables"] == values


# ----------------------------------------------------------------------------------------------
# Variable names and a three-dimensional model over a tuple set

_ROUTES = """
tuple Lane { string src; string dst; float cost; }
{Lane} Lanes = ...;
{string} Goods = ...;
range T = 1..2;
string depot = "D";
float demand[Goods][T] = ...;
dvar float+ ship[Lanes][Goods][T];
dvar boolean open[Lanes];
dexpr float moved[t in T] = sum(l in Lanes, g in Goods) ship[l][g][t];
minimize cost: sum(l in Lanes, g in Goods, t in T) l.cost * ship[l][g][t]
             + sum(l in Lanes) 10 * open[l];
subject to {
  // Only lanes into the depot "D" deliver, and only in periods with demand.
  forall(g in Goods, t in T: demand[g][t] > 0)
    deliver: sum(<s, d, k> in Lanes: d == depot) ship[<s, d, k>][g][t] >= demand[g][t];
  forall(l in Lanes, g in Goods, t in T)
    useLane: ship[l][g][t] <= 100 * open[l];
  total: sum(t in T) moved[t] <= 1000;
  noDirect: ship[<"A", depot, 3>]["grain"][1] <= 0;
}
"""
_ROUTES_DATA = """
Lanes = {<"A", "D", 3>, <"B", "D", 2>, <"A", "B", 1>};
Goods = {"grain", "salt"};
demand = [[5, 0], [0, 7]];
"""


def test_three_dimensional_variables_over_a_tuple_set_with_filters():
    compiled = VormoCompiler().compile_model(_ROUTES, _ROUTES_DATA)
    result = run_in_process(script_of(compiled))
    assert result["status"] == "optimal"
    # Cheapest: lane B->D (2 per unit) for both goods, plus opening it once.
    assert result["objective"] == pytest.approx(2 * (5 + 7) + 10)
    assert result["variables"] == {
        'ship[<"B","D",2>][grain][1]': 5.0, 'ship[<"B","D",2>][salt][2]': 7.0,
        'open[<"B","D",2>]': 1}


@pytest.mark.parametrize("name, key, text", [
    ("x", (), "x"),
    ("x", ("Bread",), "x[Bread]"),
    ("y", (1, 3), "y[1][3]"),
    ("flow", (("A", "B"),), 'flow[<"A","B">]'),
    ("w", (2.5, "old town"), "w[2.5][old town]"),
    ("z", (("a", 1, 0.5),), 'z[<"a",1,0.5>]'),
    ("q", ("a][b",), 'q["a][b"]'),
    ("q", ("a,b",), 'q["a,b"]'),
    ("q", ("<a>",), 'q["<a>"]'),
    ("q", ('say "hi"',), 'q["say \\"hi\\""]'),
    ("q", ("",), 'q[""]'),
    ("q", ("line\nbreak",), 'q["line\\nbreak"]'),
])
def test_display_names(name, key, text):
    assert emitsparse.display_name(name, key) == text


def test_generator_fills_the_base_fields():
    compiled = VormoCompiler().compile_model(_ROUTES, _ROUTES_DATA)
    generator = emitselect.SciPyCodeGenerator(compiled, compiled["data"])
    generator.generate_code()
    assert len(generator.var_names) == 3 * 2 * 2 + 3
    assert generator.var_names[0] == 'ship[<"A","D",3>][grain][1]'
    assert generator.var_indices[("open", (("A", "B", 1),))] == len(generator.var_names) - 1
    assert generator.integrality == [0] * 12 + [1] * 3
    assert generator.bounds[-1] == (0, 1)
    # deliver: two rows (grain in period 1, salt in period 2), stored negated as <= rows.
    assert generator.b_ub[:2] == [-5, -7]
    assert sorted(coef for _, coef in generator.A_ub[0]) == [-1.0, -1.0]
    assert len(generator.A_ub) == 2 + 12 + 1 + 1 and generator.A_eq == []
    assert generator.A_ub[-1] == [(0, 1.0)] and generator.b_ub[-1] == 0
    assert generator.tuple_types == {"Lane": ["src", "dst", "cost"]}
    # Generating twice gives the same script.
    assert generator.generate_code() == generator.generate_code()


# ----------------------------------------------------------------------------------------------
# The script: readable, sparse, importing only json, numpy and scipy


SCRIPT_IMPORTS = {"itertools", "json", "math", "numpy", "scipy"}


def _imports(script):
    names = set()
    for node in pyast.walk(pyast.parse(script)):
        if isinstance(node, pyast.Import):
            names.update(a.name.split(".")[0] for a in node.names)
        elif isinstance(node, pyast.ImportFrom):
            names.add(node.module.split(".")[0])
    return names


def test_script_layout():
    compiled = VormoCompiler().compile_model(_ROUTES, _ROUTES_DATA)
    script = script_of(compiled, model_name="routes.mod", results_varname="outcome")
    assert script.startswith("# Solver script for the Vormo model 'routes.mod'\n")
    assert _imports(script) == SCRIPT_IMPORTS
    for label in ("deliver", "useLane", "total", "noDirect"):
        assert f"# Constraint '{label}', model line" in script
    assert "# Objective 'cost'" in script
    assert "# 'open': 'boolean', model line 9, columns 12 to 14\n" \
           'add_variables(\'open\', [\'Lanes\'], json.loads(r"""[\n' \
           '"open[<\\"A\\",\\"D\\",3>]",\n' in script
    assert ']"""), 0, 1, 1)\n' in script
    assert "csc_array(" in script and "toarray" not in script and "todense" not in script
    assert "outcome = milp(" in script and "outcome.x" in script


def test_empty_model_writes_a_runnable_script():
    result = run_in_process(script_of({"declarations": []}))
    assert result == {"status": "optimal", "objective": None, "variables": {}}


@pytest.mark.parametrize("varname", ["", "1x", "a b", "import", None, "x; import os"])
def test_results_name_must_be_an_identifier(varname):
    with pytest.raises(ValueError):
        script_of({"declarations": []}, results_varname=varname)


def test_importing_the_generator_loads_neither_numpy_nor_scipy():
    out = subprocess.run(
        [sys.executable, "-c", "import sys, vormo.emitsparse, vormo.runner; "
                               "print(sorted(m for m in ('numpy', 'scipy') if m in sys.modules))"],
        capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "[]"


# ----------------------------------------------------------------------------------------------
# Model and data text never becomes code

NASTY = [
    'quote"d', "single'quote", "back\\slash\\", "new\nline", "carriage\rreturn",
    '__import__("os").system("touch PWNED")', "'''", '"""', "\\\n", "}{", "\x00nul",
    "tab\there", "\u2028sep",
]


def _nasty_model(marker):
    strings = NASTY + [f'";open({str(marker)!r},"w").write("x");"']
    model = VormoCompiler().compile_model(
        '{string} S = ...;\n'
        'dvar float+ x[S] in 0..1;\n'
        'maximize v: sum(s in S) x[s];\n'
        'subject to { forall(s in S) cap: x[s] <= 1; }\n',
        'S = {"a"};')
    model["data"]["S"] = strings
    for decl in model["declarations"]:
        if decl["name"] == "S":
            decl["value"] = strings
    model["objective"]["label"] = 'v\n__import__("os").system("touch PWNED")\n#'
    leaf = model["constraints"][0]["body"][0]
    leaf["label"] = "cap')\nopen('x', 'w')\n#"
    return model, strings


def test_strings_and_labels_cannot_inject_code(tmp_path):
    marker = tmp_path / "written"
    model, strings = _nasty_model(marker)
    script = script_of(model, model_name='m"\nimport os\n#')
    assert _imports(script) == SCRIPT_IMPORTS
    calls = {n.func.id for n in pyast.walk(pyast.parse(script))
             if isinstance(n, pyast.Call) and isinstance(n.func, pyast.Name)}
    assert "__import__" not in calls and "open" not in calls
    result = runner.run_script(script, time_limit=20)
    assert not marker.exists()
    assert result["status"] == "optimal" and result["objective"] == pytest.approx(len(strings))
    assert set(result["variables"]) == {emitsparse.display_name("x", (s,)) for s in strings}


# ----------------------------------------------------------------------------------------------
# What the generator cannot translate


def _model_with(statement, objective="minimize v: x;"):
    compiled = VormoCompiler().compile_model(
        "range R = 1..2;\ndvar float+ x;\ndvar float+ y[R];\n" + objective
        + "\nsubject to {\n  one: x >= 1;\n  two: x <= 5;\n}\n", "")
    statement(compiled)
    return compiled


def _set_op(op):
    def change(compiled):
        compiled["constraints"][1]["op"] = op
    return change


def _wrap_objective(kind):
    def change(compiled):
        inner = compiled["objective"]["expr"]
        if kind == "abs":
            compiled["objective"]["expr"] = {"type": "call", "name": "abs", "args": [inner]}
        elif kind == "max":
            compiled["objective"]["expr"] = {
                "type": "aggregate", "op": "max", "filter": None, "body": {
                    "type": "indexed", "name": "y", "indices": [{"type": "name", "name": "r"}]},
                "iterators": [{"type": "iterator", "var": "r", "set": {"type": "name", "name": "R"}}]}
        elif kind == "product":
            compiled["objective"]["expr"] = {"type": "binop", "op": "*", "left": inner, "right": inner}
        elif kind == "power":
            compiled["objective"]["expr"] = {"type": "binop", "op": "^", "left": inner, "right": inner}
        elif kind == "mystery":
            compiled["objective"]["expr"] = {"type": "mystery"}
    return change


def _replace_constraint(kind):
    def change(compiled):
        compiled["constraints"][1] = {"type": kind, "lineno": 7}
    return change


def _unknown_declaration(compiled):
    compiled["declarations"][1]["type"] = "matrix"


def _unknown_domain(compiled):
    compiled["declarations"][1]["var_type"] = "complex"


def _self_reference(compiled):
    compiled["declarations"].append({"type": "dexpr", "name": "d", "lineno": 9, "indices": [],
                                     "value_type": "float",
                                     "expr": {"type": "name", "name": "d"}})
    compiled["constraints"][1]["left"] = {"type": "name", "name": "d"}


@pytest.mark.parametrize("change, line, words", [
    (_set_op("!="), 7, "Unsupported constraint operator: '!='"),
    (_set_op("<"), 7, "Unsupported constraint operator: '<'"),
    (_wrap_objective("abs"), 4, "abs(...) over decision variables"),
    (_wrap_objective("max"), 4, "max(...) over decision variables"),
    (_wrap_objective("product"), 4, "product of two decision variables"),
    (_wrap_objective("power"), 4, "Unsupported arithmetic operator: '^'"),
    (_wrap_objective("mystery"), 4, "Unsupported expression type: mystery"),
    (_replace_constraint("ifthen"), 7, "Unsupported constraint type: ifthen"),
    (_unknown_declaration, 2, "Unsupported declaration type: matrix"),
    (_unknown_domain, 2, "Unsupported variable type: complex"),
    (_self_reference, 9, "refers to itself"),
])
def test_untranslatable_construct_names_itself_and_its_line(change, line, words):
    with pytest.raises(SemanticError) as info:
        script_of(_model_with(change))
    assert info.value.lineno == line
    assert words in info.value.message
    assert str(info.value).startswith(f"Semantic Error (Line {line}): ")


# ----------------------------------------------------------------------------------------------
# The runner


@pytest.mark.parametrize("model, data, words", [
    ("dvar float+ x\nminimize v: x;", "", "missing ';'"),
    ("dvar float+ x;\nminimize v: y;", "", "'y'"),
    ("float a = ...;\ndvar float+ x;\nminimize v: a * x;", "", "'a'"),
    ("{int} S = {k | k in 1..100000000};\ndvar float+ x;\nminimize v: x;", "",
     "the set 'S' is too large to compute"),
])
def test_compile_findings_are_reported_not_raised(model, data, words):
    result = runner.solve_texts(model, data)
    assert result["status"] == "compile_error"
    assert words in result["message"]
    assert result["objective"] is None and result["variables"] == {}


@pytest.mark.parametrize("limit, error", [
    (0, ValueError), (-1, ValueError), (float("nan"), ValueError), (float("inf"), ValueError),
    (True, TypeError), ("60", TypeError), (None, TypeError),
])
def test_time_limit_is_checked(limit, error):
    with pytest.raises(error):
        runner.solve_texts("dvar float+ x;", "", time_limit=limit)


@pytest.mark.parametrize("model, data", [(b"dvar float+ x;", ""), ("dvar float+ x;", None)])
def test_texts_must_be_str(model, data):
    with pytest.raises(TypeError, match="must be text"):
        runner.solve_texts(model, data)


@pytest.mark.parametrize("script, status, words", [
    ("raise SystemExit(3)", "error", "exit code 3"),
    ("import sys; print('boom', file=sys.stderr); sys.exit(1)", "error", "boom"),
    ("print('not json')", "error", "no JSON result"),
    ("print('[1, 2]')", "error", "unexpected result"),
    ("import time; time.sleep(30)", "time_limit", "did not finish"),
    ('print("noise"); print(\'{"status": "optimal", "objective": 1, "variables": {}}\')',
     "optimal", None),
])
def test_runner_reports_what_the_child_did(monkeypatch, script, status, words):
    monkeypatch.setattr(runner, "GRACE_SECONDS", 2)
    result = runner.run_script(script, time_limit=0.5)
    assert result["status"] == status
    if words:
        assert words in result["message"]


def test_runner_writes_the_time_limit_into_the_script():
    script = runner.generate_script("dvar float+ x;\nminimize v: x;", "", time_limit=7.5,
                                    model_name="tiny.mod")
    assert "TIME_LIMIT = 7.5" in script
    assert "# Solver script for the Vormo model 'tiny.mod'" in script


class _FixedCompiler:
    """Stands in for the compiler: hands out a prepared result or raises a prepared error."""

    outcome = None

    def compile_model(self, model_code, data_code):
        if isinstance(self.outcome, BaseException):
            raise self.outcome
        return self.outcome


@pytest.mark.parametrize("outcome, status, words", [
    (KeyError("declarations"), "error", "the compiler failed: KeyError"),
    (SemanticError("no such set", 3), "compile_error", "Semantic Error (Line 3): no such set"),
    (_model_with(_set_op("!=")), "compile_error",
     "Semantic Error (Line 7): Unsupported constraint operator: '!='"),
])
def test_runner_reports_compiler_faults_and_untranslatable_models(monkeypatch, outcome, status, words):
    # The child compiles; its work is run here so that the compiler can be replaced.
    monkeypatch.setattr(_FixedCompiler, "outcome", outcome)
    monkeypatch.setattr(vormo_kernel, "VormoCompiler", _FixedCompiler)
    result = solvechild.solve_request({"model": "", "data": "", "time_limit": 10.0})
    assert result["status"] == status
    assert result["message"] == words if status == "compile_error" else words in result["message"]


def test_the_solver_starts_without_the_generator_and_its_compiled_model(monkeypatch):
    # The solver's peak memory adds to what is still held when it starts.
    made = []

    class Recorded(emitsparse.SciPyCSCCodeGenerator):
        def __init__(self, *args):
            super().__init__(*args)
            made.append(weakref.ref(self))

    def solve(namespace):
        assert made and made[0]() is None
        return real_solve(namespace)

    real_solve = solvechild._solve
    monkeypatch.setattr(solvechild, "COLLECT_FROM_COLUMNS", 3)
    monkeypatch.setattr(emitsparse, "SciPyCSCCodeGenerator", Recorded)
    monkeypatch.setattr(solvechild, "_solve", solve)
    result = solvechild.solve_request({"model": "range R = 1..3;\ndvar float+ x[R];\nminimize v: sum(i in R) x[i];\n"
                                                "subject to { forall(i in R) x[i] >= i; }", "data": "",
                                       "time_limit": 10.0})
    assert result["status"] == "optimal" and result["objective"] == 6


# ----------------------------------------------------------------------------------------------
# Array data as the compiler may hand it over: nested lists, nested tuples, a flat row-major
# list, or an object with tolist()


class _Packed:
    def __init__(self, values):
        self.values = values

    def tolist(self):
        return list(self.values)


@pytest.mark.parametrize("pack", [
    lambda rows: rows,
    lambda rows: tuple(tuple(r) for r in rows),
    lambda rows: [v for r in rows for v in r],
    lambda rows: _Packed([v for r in rows for v in r]),
    lambda rows: _Packed(rows),
    lambda rows: [array.array("d", r) for r in rows],
    lambda rows: [[fractions.Fraction(v) for v in r] for r in rows],
], ids=["nested", "tuples", "flat", "packed-flat", "packed-nested", "array-rows", "fractions"])
def test_array_data_representations(pack):
    desc = next(d for d in DESCRIPTIONS if d.stem == "transportation")
    compiled = _compile(desc)
    compiled["data"]["costPerTonne"] = pack(compiled["data"]["costPerTonne"])
    assert run_in_process(script_of(compiled))["objective"] == pytest.approx(5630)


@pytest.mark.parametrize("value", [[[8, 6, 10, 9]], [1, 2, 3], 7, [[1, 2], [3, 4], [5, 6]]])
def test_array_data_of_the_wrong_shape(value):
    desc = next(d for d in DESCRIPTIONS if d.stem == "transportation")
    compiled = _compile(desc)
    compiled["data"]["costPerTonne"] = value
    with pytest.raises(SemanticError, match="does not have the shape") as info:
        script_of(compiled)
    assert info.value.lineno == 29


# ----------------------------------------------------------------------------------------------
# Compiled terms: the fast lookups and the paths they fall back to give the same problem

_TERMS = """
range R = 1..4;
{string} S = {"a", "b"};
float w[R] = [1, 2, 3, 4];
float v[S][R] = [[1, 2, 3, 4], [5, 6, 7, 8]];
int k = 2;
dvar float+ x[R] in 0..1;
dvar float+ y[S][R] in 0..1;
"""


@pytest.mark.parametrize("objective, optimum", [
    ("sum(r in R) w[r] * x[r]", 10),                          # range-indexed data, loop subscripts
    ("sum(r in R: r >= 2) w[r] * x[r]", 9),                   # a filter keeps the boundary member
    ("sum(r in 2..4) w[r - 1] * x[r]", 6),                    # computed subscripts
    ("sum(r in R) x[r] * w[r]", 10),                          # the variable on the left
    ("sum(s in S, r in R) v[s][r] * y[s][r]", 36),            # two loops, two-dimensional data
    ("sum(r in R) (w[r] / 2) * x[r] - sum(r in R) -x[r]", 9), # nested arithmetic
    ("sum(r in R: r <= k) w[r] * y[\"b\"][r] + x[k]", 4),     # a scalar and a literal subscript
    ("sum(r in R) 0 * x[r] + x[1]", 1),                       # a zero factor drops the term
])
def test_compiled_terms(objective, optimum):
    result = solve_model(_TERMS + f"maximize v: {objective};\n", "")
    assert result["status"] == "optimal" and result["objective"] == pytest.approx(optimum)


def _shift(side):
    """Change the objective sum(r in R) w[r] * x[r] so that one subscript reads r + 1 (the
    compiler refuses that in a model; a tree handed over directly can hold it)."""
    def change(compiled):
        product = compiled["objective"]["expr"]["body"]
        index = product[side]["indices"]
        index[0] = {"type": "binop", "op": "+", "left": index[0], "right": {"type": "number", "value": 1}}
    return change


@pytest.mark.parametrize("change, words", [
    (_shift("right"), "x[5] is outside the index sets of 'x'"),
    (_shift("left"), "the subscript 5 of 'w' is not in its index set R"),
])
def test_compiled_terms_outside_their_sets(change, words):
    compiled = VormoCompiler().compile_model(_TERMS + "maximize v: sum(r in R) w[r] * x[r];\n", "")
    change(compiled)
    with pytest.raises(SemanticError, match=re.escape(words)) as info:
        script_of(compiled)
    assert info.value.lineno == 9


@pytest.mark.parametrize("pack", [lambda rows: rows, lambda rows: [v for r in rows for v in r]],
                         ids=["nested", "flat"])
def test_string_data_in_filters(pack):
    model = ('{string} S = {"a", "b"};\nrange R = 1..2;\nstring tag[S][R] = ...;\n'
             'dvar float+ x[S][R] in 0..1;\n'
             'maximize v: sum(s in S, r in R: tag[s][r] == "keep") x[s][r];\n')
    compiled = VormoCompiler().compile_model(model, 'tag = [["keep", "drop"], ["drop", "keep"]];')
    compiled["data"]["tag"] = pack([["keep", "drop"], ["drop", "keep"]])
    result = run_in_process(script_of(compiled))
    assert result["variables"] == {"x[a][1]": 1.0, "x[b][2]": 1.0}
