"""The tables a solver script builds without solving, and the SparseProblem read from them: the
contract the explanation and export code rely on."""

import contextlib
import io
import math
import runpy
import subprocess
import sys

import pytest

from vormo import runner, sparseproblem

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


def test_tables_that_do_not_match_are_refused():
    with pytest.raises(ValueError, match="missing"):
        sparseproblem.from_namespace({"NAMES": []})
