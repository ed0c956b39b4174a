"""The tables a solver script builds without solving, and the SparseProblem read from them: the
contract the explanation and export code rely on."""

import contextlib
import io
import json
import math
import runpy
import subprocess
import sys

import pytest

from test_corpus import DESCRIPTIONS, IDS, _compile
from vormo import emitselect, runner, sparseproblem
from vormo.vormo_kernel import VormoCompiler

np = pytest.importorskip("numpy")
pytest.importorskip("scipy.sparse")

MODEL = """
tuple Arc { string src; string dst; }
{Arc} Arcs = ...;
{string} Nodes = ...;
range T = 1..2;
float cap[Arcs] = ...;
dvar float+ flow[Arcs][T] in 0..50;
dvar int+ open[Nodes];
dexpr float sent[t in T] = sum(a in Arcs) flow[a][t];
dexpr float twice = 2 * sent[1] + 1;
maximize total: sum(t in T) sent[t] - open["b"] + 4;
subject to {
  forall(a in Arcs, t in T)
    limit: flow[a][t] <= cap[a];
  forall(<s, d> in Arcs)
    flow[<s, d>][1] >= 1;
  forall(n in Nodes)
    open[n] == 1;
  open["a"] + flow[<"a", "b">][2] >= -infinity;
}
"""
DATA = """
Arcs = {<"a", "b">, <"b", "c">};
Nodes = {"a", "b"};
cap = [3, 4];
"""


@pytest.fixture(scope="module")
def built(tmp_path_factory):
    path = tmp_path_factory.mktemp("script") / "vormo_solve.py"
    path.write_text(runner.generate_script(MODEL, DATA, time_limit=12.5, model_name="arcs.mod"))
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        namespace = runpy.run_path(str(path), run_name="vormo_problem")
    assert out.getvalue() == ""  # built, not solved
    return path, namespace


def test_columns_and_objective_tables(built):
    _, ns = built
    assert ns["NAMES"] == ['flow[<"a","b">][1]', 'flow[<"a","b">][2]', 'flow[<"b","c">][1]',
                           'flow[<"b","c">][2]', "open[a]", "open[b]"]
    assert ns["COLUMNS"][0] == ["flow", [["a", "b"], 1]] and ns["COLUMNS"][5] == ["open", ["b"]]
    assert ns["LOWER"] == [0, 0, 0, 0, 0, 0] and ns["UPPER"] == [50] * 4 + [math.inf] * 2
    assert ns["INTEGER"] == [0, 0, 0, 0, 1, 1]
    assert (ns["SENSE"], ns["OBJECTIVE_NAME"], ns["OBJECTIVE_CONSTANT"]) == (-1, "total", 4.0)
    objective = dict(zip(ns["OBJECTIVE"][0::2], ns["OBJECTIVE"][1::2]))
    assert objective == {0: 1.0, 1: 1.0, 2: 1.0, 3: 1.0, 5: -1.0}  # the model's own sense
    assert ns["TIME_LIMIT"] == 12.5


def test_rows_in_the_models_own_sense_with_names_and_lines(built):
    _, ns = built
    rows = [(lo, up, dict(zip(t[0::2], t[1::2]))) for lo, up, t in ns["ROWS"]]
    info = ns["ROW_INFO"]
    assert [r[0] for r in info] == [
        'limit[<"a","b">][1]', 'limit[<"a","b">][2]', 'limit[<"b","c">][1]', 'limit[<"b","c">][2]',
        'c16[<"a","b">]', 'c16[<"b","c">]', "c18[a]", "c18[b]", "c19"]
    assert info[0] == ['limit[<"a","b">][1]', "limit", 14, [["a", "b"], 1]]
    assert info[4] == ['c16[<"a","b">]', None, 16, [["a", "b"]]]
    assert info[8] == ["c19", None, 19, []]
    assert rows[3] == (-math.inf, 4.0, {3: 1.0})           # <=: no lower bound
    assert rows[4] == (1.0, math.inf, {0: 1.0})            # >=: no upper bound
    assert rows[6] == (1.0, 1.0, {4: 1.0})                 # ==: both
    assert rows[8] == (-math.inf, math.inf, {4: 1.0, 1: 1.0})


def test_dexpr_instances(built):
    _, ns = built
    dexprs = {name: (constant, dict(zip(t[0::2], t[1::2]))) for name, constant, t in ns["DEXPRS"]}
    assert dexprs == {"sent[1]": (0.0, {0: 1.0, 2: 1.0}), "sent[2]": (0.0, {1: 1.0, 3: 1.0}),
                      "twice": (1.0, {0: 2.0, 2: 2.0})}


def test_sparse_problem_arrays(built):
    path, _ = built
    problem = sparseproblem.load_script(path)
    assert (problem.n_rows, problem.n_cols, problem.sense) == (9, 6, -1)
    assert problem.A.format == "csr" and problem.A.shape == (9, 6)
    assert problem.A.toarray()[8].tolist() == [0, 1, 0, 0, 1, 0]
    assert problem.c.tolist() == [1, 1, 1, 1, 0, -1]
    assert problem.row_lower[0] == -np.inf and problem.row_upper[4] == np.inf
    assert problem.integrality.dtype == np.uint8 and problem.integrality.tolist() == [0] * 4 + [1] * 2
    assert problem.col_upper.tolist() == [50] * 4 + [np.inf] * 2
    x = np.array([3, 4, 1, 0, 1, 1.0])
    assert problem.dexpr_values(x) == {"sent[1]": 4, "sent[2]": 4, "twice": 9}
    assert problem.row_names[4] == 'c16[<"a","b">]' and problem.objective_name == "total"


def test_the_same_script_solves_as_a_program(built):
    path, _ = built
    done = subprocess.run([sys.executable, str(path)], capture_output=True, text=True, check=True)
    assert '"status": "optimal"' in done.stdout


def test_unlabelled_rows_get_unique_names():
    script = runner.generate_script(
        "range R = 1..2;\ndvar float+ x[R];\nsubject to {\n"
        "  forall(r in R) { x[r] <= 3; x[r] >= 1; }\n  c6: x[1] <= 9;\n  x[2] <= 8;\n}\n", "")
    namespace = {"__name__": "vormo_problem"}
    exec(compile(script, "<script>", "exec"), namespace)
    assert [info[0] for info in namespace["ROW_INFO"]] == ["c4[1]", "c4[2]", "c4[1]#2", "c4[2]#2", "c6",
                                                           "c6#2"]


_TABLES = ("NAMES", "COLUMNS", "LOWER", "UPPER", "INTEGER", "SENSE", "OBJECTIVE_NAME", "OBJECTIVE_CONSTANT",
           "OBJECTIVE", "ROWS", "ROW_INFO", "DEXPRS", "TIME_LIMIT")


def _same_tables(compiled, tmp_path):
    """The child's namespace (built without text) holds what the script's text builds."""
    generator = emitselect.SciPyCodeGenerator(compiled, compiled.get("data"), "csc")
    path = tmp_path / "script.py"
    path.write_text(generator.generate_code())
    from_text = runpy.run_path(str(path), run_name="vormo_problem")
    direct = emitselect.SciPyCodeGenerator(compiled, compiled.get("data"), "csc").build_namespace()
    for name in _TABLES:
        assert _listed(name, direct[name]) == _listed(name, from_text[name]), name
    assert direct["solve"]()[0] == from_text["solve"]()[0]


def _listed(name, table):
    """A table as JSON text of plain lists: the compact tables (arrays, sequences made on demand)
    read as the lists the script's text makes, numbers of the number tables as floats."""
    if hasattr(table, "tolist"):
        table = table.tolist()
    elif not isinstance(table, (list, dict, str, int, float, type(None))):
        table = list(table)
    if name in ("LOWER", "UPPER", "OBJECTIVE"):
        table = [float(v) for v in table]
    return json.dumps(table)


def test_the_child_builds_the_tables_the_script_builds(tmp_path):
    _same_tables(VormoCompiler().compile_model(MODEL, DATA), tmp_path)


@pytest.mark.parametrize("desc", DESCRIPTIONS, ids=IDS)
def test_the_child_builds_the_tables_the_script_builds_on_the_corpus(tmp_path, desc):
    _same_tables(_compile(desc), tmp_path)


def test_tables_that_do_not_match_are_refused():
    with pytest.raises(ValueError, match="missing"):
        sparseproblem.from_namespace({"NAMES": []})


# ----------------------------------------------------------------------------------------------
# The child's hooks for vormo.insight


class _Insight:
    """Stands in for vormo.insight: records what the child hands over."""

    def __init__(self):
        self.calls = []

    def explain(self, problem, solution, highs=None, columns=False):
        self.calls.append(("explain", problem, solution))
        return {"rows": problem.n_rows, "x": solution["x"]}

    def diagnose(self, problem, solution):
        self.calls.append(("diagnose", problem, solution))
        return {"kind": solution["status"]}


@pytest.mark.parametrize("rows, explain, key, value", [
    ("c: x >= 2;", True, "explain", {"rows": 1, "x": [2.0]}),
    ("c: x >= 2;", False, None, None),
    ("c: x >= 2; d: x <= 1;", False, "diagnosis", {"kind": "infeasible"}),
    ("c: x >= 2; d: x <= 1;", True, "diagnosis", {"kind": "infeasible"}),
])
def test_the_child_consults_insight_when_asked_or_not_optimal(monkeypatch, rows, explain, key, value):
    from vormo import solvechild

    insight = _Insight()
    monkeypatch.setitem(sys.modules, "vormo.insight", insight)
    request = {"model": f"dvar float+ x;\nminimize v: x;\nsubject to {{ {rows} }}\n", "data": "",
               "time_limit": 20.0, "explain": explain}
    result = solvechild.solve_request(request)
    assert "x" not in result
    if key is None:
        assert insight.calls == [] and "explain" not in result and "diagnosis" not in result
    else:
        assert result[key] == value
        (hook, problem, _), = insight.calls
        assert isinstance(problem, sparseproblem.SparseProblem) and problem.row_names[0] == "c"


def test_without_insight_the_child_adds_nothing(monkeypatch):
    from vormo import solvechild

    monkeypatch.setitem(sys.modules, "vormo.insight", None)  # import fails as for a missing module
    result = solvechild.solve_request({"model": "dvar float+ x;\nminimize v: x;", "data": "",
                                       "time_limit": 20.0, "explain": True})
    result.pop("entries", None)  # the structured column values, not an explanation
    assert result == {"status": "optimal", "objective": 0.0, "variables": {}}
