"""Explanation and diagnosis with real HiGHS on small problems worked out by hand."""

import math
import re
from types import SimpleNamespace

import pytest

np = pytest.importorskip("numpy")
sp = pytest.importorskip("scipy.sparse")
pytest.importorskip("highspy")

from vormo import insight  # noqa: E402

INF = math.inf


def problem(rows, names, c, sense, lower=None, upper=None, integer=None, labels=None, dexprs=(),
            objective_name=None):
    """A sparse problem as the solver script builds it: rows are (name, lower, upper, {col: coef}, line)."""
    n = len(names)
    A = sp.csr_array(np.array([[terms.get(j, 0.0) for j in range(n)] for _, _, _, terms, _ in rows], dtype=float)
                     .reshape(len(rows), n))
    info = []
    for r, (name, _, _, _, line) in enumerate(rows):
        label = (labels or {}).get(r, name.split("[")[0])
        info.append([name, label, line, []])
    return SimpleNamespace(
        names=list(names), columns=[[name, []] for name in names],
        col_lower=np.array(lower if lower is not None else [0.0] * n, dtype=float),
        col_upper=np.array(upper if upper is not None else [INF] * n, dtype=float),
        integrality=np.array(integer if integer is not None else [0] * n, dtype=np.uint8),
        sense=sense, objective_name=objective_name, objective_constant=0.0, c=np.array(c, dtype=float), A=A,
        row_lower=np.array([lo for _, lo, _, _, _ in rows], dtype=float),
        row_upper=np.array([up for _, _, up, _, _ in rows], dtype=float),
        row_info=info, dexprs=list(dexprs), time_limit=20.0)


def textbook():
    """max 3x + 5y  s.t.  x <= 4, 2y <= 12, 3x + 2y <= 18: optimum x=2, y=6, profit 36."""
    return problem([("plant[1]", -INF, 4, {0: 1}, 7), ("plant[2]", -INF, 12, {1: 2}, 8),
                    ("plant[3]", -INF, 18, {0: 3, 1: 2}, 9)],
                   ["x", "y"], [3, 5], -1, dexprs=[["revenue", 1.0, [0, 3.0, 1, 5.0]]], objective_name="profit")


def by_name(records):
    return {record["name"]: record for record in records}


def test_textbook_lp_duals_slacks_and_ranges():
    result = insight.explain(textbook())
    assert result["status"] == "optimal" and result["objective"] == pytest.approx(36)
    assert result["fixed_integers"] is False and result["sense"] == "maximise"
    rows = by_name(result["rows"])
    assert [rows[f"plant[{k}]"]["dual"] for k in (1, 2, 3)] == pytest.approx([0, 1.5, 1])
    assert [rows[f"plant[{k}]"]["slack"] for k in (1, 2, 3)] == pytest.approx([2, 0, 0])
    assert [rows[f"plant[{k}]"]["binding"] for k in (1, 2, 3)] == [False, True, True]
    assert rows["plant[3]"]["label"] == "plant" and rows["plant[3]"]["line"] == 9
    assert rows["plant[3]"]["activity"] == pytest.approx(18)
    assert rows["plant[1]"]["lower"] is None and rows["plant[1]"]["upper"] == 4
    # 2y can move between 6 and 18 and 3x + 2y between 12 and 24 before the dual changes.
    assert rows["plant[2]"]["bound_range"] == pytest.approx([6, 18])
    assert rows["plant[3]"]["bound_range"] == pytest.approx([12, 24])
    assert rows["plant[1]"]["bound_range"] is None
    variables = by_name(result["variables"])
    assert variables["x"]["value"] == pytest.approx(2) and variables["y"]["value"] == pytest.approx(6)
    # The vertex stays optimal while 0 <= c_x <= 7.5 and c_y >= 2.
    assert variables["x"]["cost_range"] == pytest.approx([0, 7.5])
    assert variables["y"]["cost_range"][0] == pytest.approx(2) and variables["y"]["cost_range"][1] is None
    assert variables["x"]["at_bound"] is None and variables["x"]["reduced_cost"] == pytest.approx(0)
    assert result["dexprs"] == {"revenue": pytest.approx(37)}


@pytest.mark.parametrize("sense, c, rows, duals, reduced", [
    # min 2x + 3y, x + y >= 4: one more unit of demand costs 2; y stays at 0 with reduced cost 1.
    (1, [2, 3], [("demand", 4, INF, {0: 1, 1: 1}, 3)], [2], {"x": 0, "y": 1}),
    # the same as a maximisation of -2x - 3y: the dual keeps the model's own sense.
    (-1, [-2, -3], [("demand", 4, INF, {0: 1, 1: 1}, 3)], [-2], {"x": 0, "y": -1}),
    # max x + y, x + y <= 5 as an equality row: raising the right-hand side is worth 1.
    (-1, [1, 1], [("total", 5, 5, {0: 1, 1: 1}, 2), ("cap", -INF, 3, {0: 1}, 4)], [1, 0], None),
])
def test_dual_and_reduced_cost_signs(sense, c, rows, duals, reduced):
    result = insight.explain(problem(rows, ["x", "y"], c, sense))
    assert [row["dual"] for row in result["rows"]] == pytest.approx(duals)
    assert all(row["binding"] for row in result["rows"] if abs(row["dual"]) > 1e-9)
    if reduced is not None:
        got = {v["name"]: v["reduced_cost"] for v in result["variables"]}
        assert got == pytest.approx(reduced)
        assert by_name(result["variables"])["y"]["at_bound"] == "lower"


def test_milp_is_explained_with_integers_fixed():
    # max 5x + 4y + z, 6x + 4y + z <= 25, x + 2y <= 6, z <= 1.5, x, y integer: x=4, y=0, z=1, 21.
    milp = problem([("cap", -INF, 25, {0: 6, 1: 4, 2: 1}, 5), ("mix", -INF, 6, {0: 1, 1: 2}, 6)],
                   ["x", "y", "z"], [5, 4, 1], -1, upper=[INF, INF, 1.5], integer=[1, 1, 0])
    result = insight.explain(milp)
    assert result["fixed_integers"] is True
    assert result["objective"] == pytest.approx(21)
    assert result["mip_gap"] == pytest.approx(0, abs=1e-6) and result["mip_bound"] == pytest.approx(21)
    variables = by_name(result["variables"])
    assert [variables[k]["value"] for k in "xyz"] == pytest.approx([4, 0, 1])
    assert variables["x"]["at_bound"] == "fixed"
    rows = by_name(result["rows"])
    assert rows["cap"]["dual"] == pytest.approx(1) and rows["cap"]["binding"]
    assert rows["mix"]["slack"] == pytest.approx(2) and rows["mix"]["dual"] == pytest.approx(0)
    # A solver result given: the integers are fixed at its values without a new MIP solve.
    given = insight.explain(milp, {"status": "optimal", "variables": {"x": 4, "z": 1}})
    assert given["objective"] == pytest.approx(21) and given["fixed_integers"] is True


def five_rows():
    """min x + y + z: demand x + y >= 10, x <= 3, y has upper bound 4; three rows unrelated."""
    return problem([("demand", 10, INF, {0: 1, 1: 1}, 4), ("supply", -INF, 3, {0: 1}, 5),
                    ("floor", 1, INF, {2: 1}, 6), ("pair[1]", -INF, 20, {1: 1, 2: 1}, 7),
                    ("pair[2]", -INF, 20, {0: 1, 2: 1}, 7)],
                   ["x", "y", "z"], [1, 1, 1], 1, upper=[INF, 4, INF])


def test_infeasible_conflict_is_two_rows_and_a_bound():
    diagnosis = insight.diagnose(five_rows(), {"status": "infeasible"})
    assert diagnosis["kind"] == "infeasible" and diagnosis["complete"]
    conflict = {(e["kind"], e["name"], e["bound"]) for e in diagnosis["conflict"]}
    assert conflict == {("row", "demand", "lower"), ("row", "supply", "upper"), ("bound", "y", "upper")}
    demand = next(e for e in diagnosis["conflict"] if e["name"] == "demand")
    assert demand["line"] == 4 and demand["lower"] == 10 and demand["terms"] == {"x": 1, "y": 1}
    # Three units short: the relaxation moves one of them by 3 in total.
    moves = diagnosis["relaxation"]
    assert moves and sum(abs(m["by"]) for m in moves) == pytest.approx(3)
    assert {m["name"] for m in moves} <= {"demand", "supply", "y"}
    for move in moves:
        # A lower bound is relaxed downwards, an upper bound upwards.
        assert move["to"] - move["from"] == pytest.approx(move["by"])
        assert (move["by"] < 0) == (move["bound"] == "lower")
    assert "demand (line 4)" in diagnosis["statement"]


def test_explain_of_infeasible_model_returns_its_diagnosis():
    assert insight.explain(five_rows())["kind"] == "infeasible"


def test_integer_infeasible_families_found_by_deletion_filter():
    # x + y in [2.5, 2.8] has fractional solutions only; the two bound rows are innocent.
    milp = problem([("low", 2.5, INF, {0: 1, 1: 1}, 4), ("high", -INF, 2.8, {0: 1, 1: 1}, 5),
                    ("room[1]", -INF, 4, {0: 1}, 6), ("room[2]", -INF, 4, {1: 1}, 6)],
                   ["x", "y"], [1, 1], -1, integer=[1, 1])
    diagnosis = insight.diagnose(milp, {"status": "infeasible"})
    assert diagnosis["kind"] == "infeasible" and diagnosis["method"] == "deletion_filter"
    assert {e["name"] for e in diagnosis["conflict"]} == {"low", "high"} and diagnosis["complete"]
    # Without time to test any family, all of them stay and the answer says it is not minimal.
    rushed = insight.diagnose(milp, {"status": "infeasible"}, budget=1e-9)
    assert {e["name"] for e in rushed["conflict"]} == {"low", "high", "room"} and not rushed["complete"]


def test_unbounded_ray_and_statement():
    # max x + y with x - y <= 2 only: both grow together without limit.
    diagnosis = insight.diagnose(problem([("gap", -INF, 2, {0: 1, 1: -1}, 3)], ["x", "y"], [1, 1], -1),
                                 {"status": "unbounded"})
    assert diagnosis["kind"] == "unbounded"
    ray = {e["name"]: e["direction"] for e in diagnosis["ray"]}
    assert set(ray) == {"x", "y"} and all(d > 0 for d in ray.values())
    assert "no constraint limits them" in diagnosis["statement"]


@pytest.mark.parametrize("coefficient, bound, shown", [
    (float("nan"), 4.0, "nan"),
    (float("inf"), 4.0, "inf"),
    (1e16, 4.0, 1e16),
    (1.0, 1e17, None),
])
def test_refused_model_names_the_offending_rows(coefficient, bound, shown):
    bad = problem([("fine", -INF, 4, {0: 1}, 3), ("broken[2]", -INF, bound, {0: coefficient, 1: 1}, 5)],
                  ["x", "y"], [1, 1], -1, upper=[10, 10])
    diagnosis = insight.diagnose(bad, {"status": "error"})
    assert diagnosis["kind"] == "refused"
    assert [(r["name"], r["line"]) for r in diagnosis["rows"]] == [("broken[2]", 5)]
    if shown is None:
        assert diagnosis["rows"][0]["upper"] == 1e17 and diagnosis["rows"][0]["coefficients"] == {}
    else:
        assert diagnosis["rows"][0]["coefficients"] == {"x": shown}
    assert "broken[2] (line 5)" in diagnosis["statement"]


def test_summary_names_the_best_lever():
    lines = insight.summary_lines(insight.explain(textbook()))
    text = "\n".join(lines)
    assert "One more unit of `plant[2]` is worth +1.5 profit." in text
    assert "  plant[3]  line 9  +1 profit per unit  (bound 18, holds from 12 to 24)" in lines
    assert "plant[1]" not in text


def test_diagnosis_lines_show_conflict_and_relaxation():
    text = "\n".join(insight.diagnosis_lines(insight.diagnose(five_rows())))
    assert "demand (line 4): +1 x +1 y >= 10" in text
    assert "upper bound of y: 4" in text
    assert "Smallest change that makes it feasible:" in text


# ----------------------------------------------------------------------------------------------
# Through the runner's child and the command line: the model's own names, labels and lines

from vormo import cli, runner  # noqa: E402

BAKERY = """// Bread and cake on two lines and one oven.
{string} Lines = ...;
float profit[Lines] = ...;
float hours[Lines] = ...;
float ovenHours = ...;
dvar float+ make[Lines];
dexpr float revenue = sum(l in Lines) profit[l] * make[l];
maximize gain: revenue;
subject to {
  forall(l in Lines) capacity: hours[l] * make[l] <= ovenHours;
  oven: sum(l in Lines) make[l] <= 10;
}
"""
BAKERY_DATA = 'Lines = {"bread", "cake"};\nprofit = [3, 5];\nhours = [1, 2];\novenHours = 12;\n'

FIVE_ROWS = """{string} Pairs = ...;
float need = ...;
dvar float+ x;
dvar float+ y in 0..4;
dvar float+ z;
minimize cost: x + y + z;
subject to {
  demand: x + y >= need;
  supply: x <= 3;
  least: z >= 1;
  forall(p in Pairs) pair: y + z <= 20;
}
"""
FIVE_ROWS_DATA = 'Pairs = {"north", "south"};\nneed = 10;\n'


def test_runner_explains_with_the_models_names_and_lines():
    # max 3 b + 5 c: b <= 12, 2 c <= 12, b + c <= 10 -> b = 4, c = 6, 42.
    result = runner.solve_texts(BAKERY, BAKERY_DATA, time_limit=20, explain=True)
    assert result["status"] == "optimal" and result["objective"] == pytest.approx(42)
    rows = by_name(result["explain"]["rows"])
    assert set(rows) == {"capacity[bread]", "capacity[cake]", "oven"}
    assert rows["capacity[cake]"]["label"] == "capacity" and rows["capacity[cake]"]["line"] == 10
    assert rows["capacity[cake]"]["index"] == ["cake"]
    # One more oven hour for cake lets 1/2 cake replace 1/2 bread: +1 per hour; a tray more is worth 3.
    assert rows["capacity[cake]"]["dual"] == pytest.approx(1) and rows["oven"]["dual"] == pytest.approx(3)
    assert result["explain"]["dexprs"] == {"revenue": pytest.approx(42)}
    assert "explain" not in runner.solve_texts(BAKERY, BAKERY_DATA, time_limit=20)


def test_runner_explains_a_milp_with_the_solvers_gap_and_bound():
    model = BAKERY.replace("dvar float+ make", "dvar int+ make").replace("<= 10;", "<= 9.5;")
    result = runner.solve_texts(model, BAKERY_DATA, time_limit=20, explain=True)
    explanation = result["explain"]
    # Integer plans: b + c <= 9, c <= 6 -> b = 3, c = 6, 39.
    assert result["objective"] == pytest.approx(39) and explanation["fixed_integers"] is True
    assert explanation["mip_bound"] == pytest.approx(39) and explanation["mip_gap"] == pytest.approx(0, abs=1e-6)
    assert all(v["at_bound"] == "fixed" for v in explanation["variables"])


@pytest.mark.parametrize("model, data, kind, names", [
    (FIVE_ROWS, FIVE_ROWS_DATA, "infeasible", {"demand", "supply", "y"}),
    # One direction suffices: more bread alone makes the gain grow without limit.
    (BAKERY.replace("  oven: sum(l in Lines) make[l] <= 10;\n", "").replace("make[l] <=", "make[l] >="),
     BAKERY_DATA, "unbounded", {"make[bread]"}),
    (BAKERY, BAKERY_DATA.replace("hours = [1, 2]", "hours = [1, 2e30]"), "refused", {"capacity[cake]"}),
], ids=["infeasible", "unbounded", "refused"])
def test_runner_diagnoses_what_does_not_solve(model, data, kind, names):
    result = runner.solve_texts(model, data, time_limit=20)
    diagnosis = result["diagnosis"]
    assert diagnosis["kind"] == kind
    listed = diagnosis.get("conflict") or diagnosis.get("ray") or diagnosis.get("rows")
    assert {entry["name"] for entry in listed} == names


def test_run_explain_prints_a_short_summary(tmp_path, capsys):
    (tmp_path / "b.mod").write_text(BAKERY)
    (tmp_path / "b.dat").write_text(BAKERY_DATA)
    assert cli.main(["run", str(tmp_path / "b.mod"), str(tmp_path / "b.dat"), "--explain"]) == 0
    out = capsys.readouterr().out
    assert "One more unit of `oven` is worth +3 gain." in out
    assert re.search(r"^  oven +line 11 +\+3 gain per unit +\(bound 10, holds from", out, re.M)
    assert "capacity[bread]" not in out  # not binding: not in the summary
    assert len(out.splitlines()) < 15


def test_run_prints_the_diagnosis_without_a_flag(tmp_path, capsys):
    (tmp_path / "f.mod").write_text(FIVE_ROWS)
    (tmp_path / "f.dat").write_text(FIVE_ROWS_DATA)
    assert cli.main(["run", str(tmp_path / "f.mod"), str(tmp_path / "f.dat")]) == 1
    out = capsys.readouterr().out
    assert "Diagnosis (infeasible): These constraints and bounds cannot hold together: demand (line 8), " \
           "supply (line 9), the upper bound of y." in out
    assert "  demand (line 8): +1 x +1 y >= 10" in out


@pytest.mark.parametrize("model, data, key, kind", [
    ("subject to {\n}\n", "", "explain", None),
    ("float a = ...;\nsubject to {\n  c: a >= 0;\n}\n", "a = 1;", "explain", None),
    ("float a = ...;\nsubject to {\n  c: a >= 2;\n}\n", "a = 1;", "diagnosis", "infeasible"),
])
def test_models_without_variables(model, data, key, kind):
    result = runner.solve_texts(model, data, time_limit=20, explain=True)
    record = result[key]
    if kind is None:
        assert record["status"] == "optimal" and record["variables"] == []
    else:
        assert record["kind"] == kind and [e["name"] for e in record["conflict"]] == ["c"]
