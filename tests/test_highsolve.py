"""The child's solve with HiGHS directly against the script's solve with scipy's milp, and the
explanation read from the solved instance against the one that solves again."""

import math
import sys

import pytest

np = pytest.importorskip("numpy")
pytest.importorskip("scipy")
pytest.importorskip("highspy")

from vormo import highsolve, insight, solvechild  # noqa: E402

from test_insight import BAKERY, BAKERY_DATA, by_name, problem, textbook  # noqa: E402

INF = math.inf


def child(engine, model, data="", edit=None, explain=True, time_limit=20.0, monkeypatch=None):
    """The child's result with the given engine, the built tables changed by edit first, and
    whether HiGHS solved directly."""
    monkeypatch.setattr(solvechild, "ENGINE", engine)
    request = {"model": model, "data": data, "time_limit": time_limit, "explain": explain}
    namespace, finding = solvechild._build(request)
    assert finding is None, finding
    if edit is not None:
        edit(namespace)
    report, outcome, problem_ = solvechild._solve(namespace)
    if outcome is not None:
        from vormo.tables import add_entries

        add_entries(report, namespace, outcome)
    direct = problem_ is not None  # the arrays HiGHS solves from
    result = solvechild._consult(request, namespace, report, outcome, problem_)
    insight.expand(result.get("explain"))  # as the runner does
    return result, direct


def approx_records(a, b):
    """Two lists of records alike: the same keys and texts, numbers within a tolerance."""
    assert len(a) == len(b)
    for x, y in zip(a, b):
        assert x.keys() == y.keys()
        for key in x:
            if isinstance(x[key], (int, float)) and not isinstance(x[key], bool) or isinstance(x[key], list) \
                    and all(isinstance(v, (int, float)) for v in x[key]):
                assert x[key] == pytest.approx(y[key], abs=1e-7), (key, x, y)
            else:
                assert x[key] == y[key], (key, x, y)


def same_result(old, new):
    assert old.keys() == new.keys()
    assert old["status"] == new["status"]
    assert old["objective"] == pytest.approx(new["objective"])
    assert old["variables"].keys() == new["variables"].keys()
    assert old["variables"] == pytest.approx(new["variables"])
    if "message" in old:
        # The primal status HiGHS names after the model status may differ between its versions.
        assert old["message"].split("; primal_status")[0] == new["message"].split("; primal_status")[0]
    if "entries" in old:
        approx_records(old["entries"], new["entries"])
    if "explain" in old:
        a, b = old["explain"], new["explain"]
        assert a.keys() == b.keys()
        for key in ("fixed_integers", "sense", "objective_name", "ranging"):
            assert a[key] == b[key]
        assert a["objective"] == pytest.approx(new["objective"])  # with the objective's constant
        assert a["mip_gap"] == pytest.approx(b["mip_gap"], abs=1e-9) and a["mip_bound"] == pytest.approx(b["mip_bound"])
        approx_records(a["rows"], b["rows"])
        approx_records(a["variables"], b["variables"])
        assert a["dexprs"] == pytest.approx(b["dexprs"])
    if "diagnosis" in old:
        assert old["diagnosis"]["kind"] == new["diagnosis"]["kind"]


def _set(path, value):
    def edit(namespace):
        *keys, last = path
        if keys and not hasattr(namespace[keys[0]], "__setitem__"):
            namespace[keys[0]] = list(namespace[keys[0]])  # a compact table is read-only: edit it as a list
        target = namespace
        for key in keys:
            target = target[key]
        target[last] = value
    return edit


_TIME = {"TIME_LIMIT": 1e-9}
_MILP = BAKERY.replace("dvar float+ make", "dvar int+ make").replace("<= 10;", "<= 9.5;")
# An integer transportation problem on 30 x 30 routes: more than nothing to search.
_ROUTES = """range R = 1..30;
float cost[R][R] = ...;
dvar int+ ship[R][R];
minimize total: sum(i in R, j in R) cost[i][j] * ship[i][j];
subject to {
  forall(i in R) out: sum(j in R) ship[i][j] <= 30.5;
  forall(j in R) need: sum(i in R) ship[i][j] >= 20;
}
"""
_ROUTES_DATA = "cost = [" + ",\n".join("[" + ", ".join(str((7 * i + 13 * j) % 17 + 1) for j in range(30)) + "]"
                                       for i in range(30)) + "];\n"


@pytest.mark.parametrize("model, data, edit, status", [
    (BAKERY, BAKERY_DATA, None, "optimal"),
    (BAKERY.replace("maximize gain: revenue;", "maximize gain: revenue - 7.5;"), BAKERY_DATA, None, "optimal"),
    (_MILP, BAKERY_DATA, None, "optimal"),
    (BAKERY.replace("<= 10;", ">= 11;").replace("<= ovenHours", "<= 4"), BAKERY_DATA, None, "infeasible"),
    ("dvar float x;\ndvar float+ y;\nminimize v: x - y;\nsubject to {\n  a: x >= 1;\n}\n", "", None, "unbounded"),
    # HiGHS cannot tell these two apart at first; without the objective it can.
    ("dvar int+ x;\nmaximize v: x;\nsubject to {\n  a: x >= 1;\n}\n", "", None, "unbounded"),
    (BAKERY, BAKERY_DATA, _set(("ROWS", 2, 2, 1), 1e16), "error"),
    (BAKERY, BAKERY_DATA, _set(("OBJECTIVE", 1), math.nan), "error"),
    (BAKERY, BAKERY_DATA, lambda ns: ns.update(_TIME), "time_limit"),
    (_ROUTES, _ROUTES_DATA, lambda ns: ns.update(_TIME), "time_limit"),
    ("float a = ...;\nsubject to {\n  c: a >= 0;\n}\n", "a = 1;", None, "optimal"),
    ("float a = ...;\nsubject to {\n  c: a >= 2;\n}\n", "a = 1;", None, "infeasible"),
    ("range R = 1..3;\ndvar float+ x[R];\nsubject to {\n  c: sum(i in R) x[i] == 4;\n  d: x[2] >= 1;\n}\n", "",
     None, "optimal"),
], ids=["lp", "lp-constant", "milp", "infeasible", "unbounded", "unbounded-or-infeasible", "refused-coefficient",
        "nan-objective", "lp-time-limit", "milp-time-limit", "no-variables", "no-variables-infeasible",
        "no-objective"])
def test_direct_solve_reports_as_the_scripts_solve(monkeypatch, model, data, edit, status):
    old, old_direct = child("scipy", model, data, edit, monkeypatch=monkeypatch)
    new, new_direct = child("highs", model, data, edit, monkeypatch=monkeypatch)
    assert (old_direct, new_direct) == (False, True)
    assert new["status"] == status
    same_result(old, new)


@pytest.mark.parametrize("sense, integer", [(-1, [0, 0]), (1, [0, 0]), (-1, [1, 1]), (1, [1, 0])])
def test_outcome_has_the_fields_of_scipys_milp(sense, integer):
    from scipy.optimize import Bounds, LinearConstraint, milp

    # x + y <= 4.5, x - y >= -1.5, 0 <= x <= 3; objective 2x + 3y (+5), minimised or maximised.
    p = problem([("cap", -INF, 4.5, {0: 1, 1: 1}, 1), ("gap", -1.5, INF, {0: 1, 1: -1}, 2)], ["x", "y"],
                [2, 3], sense, upper=[3, INF], integer=integer)
    p.objective_constant = 5.0
    outcome = highsolve.solve(p, 10)
    expected = milp(sense * p.c, integrality=p.integrality, bounds=Bounds(p.col_lower, p.col_upper),
                    constraints=[LinearConstraint(p.A, p.row_lower, p.row_upper)])
    assert (outcome.status, outcome.message) == (expected.status, expected.message)
    assert outcome.fun == pytest.approx(expected.fun) and outcome.x == pytest.approx(expected.x)
    if any(integer):
        assert outcome.mip_gap == pytest.approx(expected.mip_gap, abs=1e-9)
        assert outcome.mip_dual_bound == pytest.approx(expected.mip_dual_bound)
    else:
        assert outcome.mip_gap is None
    # The instance holds the model in its own sense, without the constant.
    assert outcome.highs.getInfo().objective_function_value == pytest.approx(sense * expected.fun)


def _no_new_instance(*args, **kwargs):
    raise AssertionError("the explanation built a HiGHS instance of its own")


def test_lp_explained_from_the_solved_instance_without_solving_again(monkeypatch):
    p = textbook()
    outcome = highsolve.solve(p, 10)
    iterations = outcome.highs.getInfo().simplex_iteration_count
    monkeypatch.setattr(insight, "_highs", _no_new_instance)
    result = insight.explain(p, {"x": outcome.x.tolist()}, highs=outcome.highs)
    assert outcome.highs.getInfo().simplex_iteration_count == iterations
    assert result["objective"] == pytest.approx(36) and result["ranging"] is True
    rows = by_name(result["rows"])
    assert [rows[f"plant[{k}]"]["dual"] for k in (1, 2, 3)] == pytest.approx([0, 1.5, 1])
    assert rows["plant[3]"]["bound_range"] == pytest.approx([12, 24])
    variables = by_name(result["variables"])
    assert variables["x"]["cost_range"] == pytest.approx([0, 7.5])
    # Both are basic: strictly between their bounds, with no bound range.
    assert [variables[k]["at_bound"] for k in "xy"] == [None, None]
    assert [variables[k]["bound_range"] for k in "xy"] == [None, None]


def test_milp_instance_is_reused_with_its_integers_fixed(monkeypatch):
    milp = problem([("cap", -INF, 25, {0: 6, 1: 4, 2: 1}, 5), ("mix", -INF, 6, {0: 1, 1: 2}, 6)],
                   ["x", "y", "z"], [5, 4, 1], -1, upper=[INF, INF, 1.5], integer=[1, 1, 0])
    milp.objective_constant = 2.0
    outcome = highsolve.solve(milp, 10)
    monkeypatch.setattr(insight, "_highs", _no_new_instance)
    # No gap or bound in the solution: they come from the instance, in the model's sense.
    result = insight.explain(milp, {"x": outcome.x.tolist()}, highs=outcome.highs)
    assert result["fixed_integers"] is True and result["objective"] == pytest.approx(23)
    assert result["mip_bound"] == pytest.approx(23) and result["mip_gap"] == pytest.approx(0, abs=1e-6)
    rows = by_name(result["rows"])
    assert rows["cap"]["dual"] == pytest.approx(1) and rows["mix"]["dual"] == pytest.approx(0)
    variables = by_name(result["variables"])
    assert [variables[k]["at_bound"] for k in "xyz"] == ["fixed", "fixed", None]


@pytest.mark.parametrize("instance", [
    lambda p: highsolve.solve(problem([("one", -INF, 1, {0: 1}, 1)], ["x"], [1], -1), 10).highs,  # another problem
    lambda p: highsolve.instance(p.c, p.col_lower, p.col_upper, p.A, p.row_lower, p.row_upper, sense=-1)[0],  # unsolved
    lambda p: "not an instance",
], ids=["other-problem", "unsolved", "not-an-instance"])
def test_an_instance_that_does_not_fit_is_not_used(instance):
    p = textbook()
    result = insight.explain(p, {"x": [2.0, 6.0]}, highs=instance(p))
    assert result["objective"] == pytest.approx(36)
    assert [row["dual"] for row in result["rows"]] == pytest.approx([0, 1.5, 1])


@pytest.mark.parametrize("dexprs, values", [
    ([], {}),
    ([["fixed", 4.0, []]], {"fixed": 4}),
    ([["twice", 0.0, [0, 2.0, 0, 3.0]], ["y", -1, [1, 1.0]]], {"twice": 10, "y": 5}),
    ([["a", 1, [0, 1.0]], ["b", 0, []], ["c", 0.5, [1, -0.5, 0, 1.0]]], {"a": 3, "b": 0, "c": -0.5}),
])
def test_dexpr_values_at_the_optimum(dexprs, values):
    p = textbook()
    p.dexprs = dexprs
    outcome = highsolve.solve(p, 10)
    assert insight.explain(p, highs=outcome.highs)["dexprs"] == pytest.approx(values)


def test_the_childs_explanation_reads_the_solves_instance(monkeypatch):
    monkeypatch.setattr(solvechild, "ENGINE", "auto")
    monkeypatch.setattr(insight, "_highs", _no_new_instance)
    result = solvechild.solve_request({"model": BAKERY, "data": BAKERY_DATA, "time_limit": 20.0, "explain": True})
    assert "error" not in result["explain"]
    assert by_name(result["explain"]["rows"])["oven"]["dual"] == pytest.approx(3)
    # The variables travel as columns; the runner makes the records.
    assert result["explain"]["variable_columns"]["name"] == ["make[bread]", "make[cake]"]


def _other_interface(*args, **kwargs):
    raise TypeError("passModel(): incompatible function arguments")


@pytest.mark.parametrize("break_highspy", [
    lambda m: m.setitem(sys.modules, "highspy", None),  # import fails as for a missing package
    lambda m: m.setattr(highsolve, "instance", _other_interface),  # a highspy of another interface
], ids=["missing", "other-interface"])
def test_without_a_usable_highspy_the_child_solves_with_the_script(monkeypatch, break_highspy):
    monkeypatch.setattr(solvechild, "ENGINE", "auto")
    break_highspy(monkeypatch)
    result = solvechild.solve_request({"model": BAKERY, "data": BAKERY_DATA, "time_limit": 20.0})
    assert result["status"] == "optimal" and result["objective"] == pytest.approx(42)


def _milp():
    return problem([("cap", -INF, 25, {0: 6, 1: 4, 2: 1}, 5), ("mix", -INF, 6, {0: 1, 1: 2}, 6)],
                   ["x", "y", "z"], [5, 4, 1], -1, upper=[INF, INF, 1.5], integer=[1, 1, 0])


@pytest.mark.parametrize("make", [
    textbook,
    _milp,
    # min 2x + 3y, x + y >= 4: y at its lower bound, infinite ends in the ranges.
    lambda: problem([("demand", 4, INF, {0: 1, 1: 1}, 3)], ["x", "y"], [2, 3], 1),
    # No objective: no ranging at all.
    lambda: problem([("demand", 4, INF, {0: 1, 1: 1}, 3)], ["x", "y"], [0, 0], 0),
], ids=["lp", "milp", "lower-bound", "no-objective"])
def test_variables_handed_over_as_columns_expand_to_the_same_records(make):
    p = make()
    records = insight.explain(p)
    columns = insight.explain(p, columns=True)
    assert "variables" not in columns and isinstance(columns["variable_columns"], dict)
    assert insight.expand(columns) is columns
    assert list(columns) == list(records)  # the keys in their places
    assert columns == records
