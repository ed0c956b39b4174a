"""MPS and LP export: what a solver reads back is the problem the runner solves, under readable names.

Hand-made sparse problems cover the rules one by one (bounds, row kinds, sense, constant,
integrality, names); the corpus round trip checks the whole path against ``vormo run``.
"""

import json
import math
import types
from pathlib import Path

import pytest

from vormo import export

np = pytest.importorskip("numpy")
sp = pytest.importorskip("scipy.sparse")
highspy = pytest.importorskip("highspy")
from scipy.optimize import Bounds, LinearConstraint, milp  # noqa: E402

INF = math.inf


def problem(A, c, col_lower, col_upper, row_lower, row_upper, *, integer=None, sense=1, constant=0.0,
            columns=None, row_info=None, objective_name="cost"):
    """A sparse problem in the shape the runner's build returns."""
    n, m = len(c), len(row_lower)
    columns = columns or [["x", [j + 1]] for j in range(n)]
    return types.SimpleNamespace(
        names=[f"{v}[{']['.join(map(str, idx))}]" if idx else v for v, idx in columns], columns=columns,
        col_lower=np.array(col_lower, dtype=float), col_upper=np.array(col_upper, dtype=float),
        integrality=np.array(integer or [0] * n, dtype=np.uint8), sense=sense, objective_name=objective_name,
        objective_constant=constant, c=np.array(c, dtype=float),
        A=sp.csr_array(np.array(A, dtype=float).reshape(m, n)),
        row_lower=np.array(row_lower, dtype=float), row_upper=np.array(row_upper, dtype=float),
        row_info=row_info or [[f"c{i}", "c", 10 + i, [i]] for i in range(m)], dexprs=[], time_limit=60.0)


def reference(p):
    """(status, objective in the model's sense) from scipy's milp on the arrays themselves."""
    sense = p.sense or 1
    constraints = [LinearConstraint(p.A.toarray(), p.row_lower, p.row_upper)] if len(p.row_lower) else []
    res = milp(sense * p.c if p.sense else np.zeros(len(p.c)), integrality=p.integrality,
               bounds=Bounds(p.col_lower, p.col_upper), constraints=constraints)
    if res.status != 0:
        return "not optimal", None
    return "optimal", (float(sense * res.fun + p.objective_constant) if p.sense else None)


def read_back(path):
    h = highspy.Highs()
    h.setOptionValue("output_flag", False)
    assert h.readModel(str(path)) == highspy.HighsStatus.kOk
    h.run()
    status = h.getModelStatus()
    return h, ("optimal" if status == highspy.HighsModelStatus.kOptimal else "not optimal")


def optimum(path):
    h, status = read_back(path)
    return status, (h.getInfo().objective_function_value if status == "optimal" else None)


CASES = {
    "max with a constant": problem([[1, 1], [1, -1]], [3, 2], [0, 0], [INF, INF], [-INF, -INF], [4, 2],
                                   sense=-1, constant=7.5),
    "min, '>=' rows, an equation": problem([[1, 2], [1, 1]], [1, 1], [0, 0], [INF, INF], [3, 2], [INF, 2]),
    "ranged row": problem([[1, 1]], [-1, -2], [0, 0], [INF, INF], [2], [5]),
    "free, fixed and negative columns": problem([[1, 1, 1]], [1, 1, -1], [-INF, 3, -5], [INF, 3, -2],
                                                [-4], [INF]),
    "integer without an upper bound": problem([[2, 3]], [1, 1], [0, 0], [INF, INF], [7.5], [INF],
                                              integer=[1, 1]),
    "binary choice": problem([[4, 5, 3]], [-5, -6, -4], [0, 0, 0], [1, 1, 1], [-INF], [8],
                             integer=[1, 1, 1]),
    "integer with a negative lower bound": problem([[1, 1]], [1, 1], [-3, 0], [2, INF], [-10], [INF],
                                                   integer=[1, 0]),
    "column in no row": problem([[1, 0]], [1, 2], [1, 0.5], [INF, 4], [2], [INF]),
    "no objective": problem([[1, 1]], [0, 0], [0, 0], [1, 1], [1], [1], sense=0, objective_name=None),
    "fractional numbers": problem([[0.1, 1e-7], [1 / 3, 2.5e6]], [1 / 7, 3.25], [0, 0], [INF, INF],
                                  [0.3, 1], [INF, INF]),
    "a row without terms": problem([[0, 0], [1, 1]], [1, 1], [0, 0], [INF, INF], [-INF, 1], [5, INF]),
}


@pytest.mark.parametrize("writer", ["mps", "lp"])
@pytest.mark.parametrize("case", list(CASES), ids=list(CASES))
def test_reading_back_gives_the_same_optimum(tmp_path, writer, case):
    p = CASES[case]
    path = tmp_path / f"p.{writer}"
    (export.write_mps if writer == "mps" else export.write_lp)(p, path)
    status, value = optimum(path)
    expected_status, expected = reference(p)
    assert status == expected_status
    if expected is None:
        assert p.sense == 0 or value is None
    else:
        assert value == pytest.approx(expected, rel=1e-9, abs=1e-9)


@pytest.mark.parametrize("writer", ["mps", "lp"])
def test_bounds_sense_and_integrality_are_kept(tmp_path, writer):
    p = CASES["integer with a negative lower bound"]
    p2 = problem([[1, 1, 1, 1]], [1, -1, 0, 2], [-3, -INF, 0, 2], [2, INF, -1, 2], [-10], [INF],
                 integer=[1, 0, 1, 0], sense=-1, constant=-4)
    for q in (p, p2):
        path = tmp_path / f"q.{writer}"
        (export.write_mps if writer == "mps" else export.write_lp)(q, path)
        h, _ = read_back(path)
        lp = h.getLp()
        order = [lp.col_names_.index(name) for name in export.make_names(q).columns]
        assert [lp.col_lower_[k] for k in order] == q.col_lower.tolist()
        assert [lp.col_upper_[k] for k in order] == q.col_upper.tolist()
        kinds = [int(lp.integrality_[k]) if len(lp.integrality_) else 0 for k in order]
        assert kinds == q.integrality.tolist()
        assert lp.sense_ == (highspy.ObjSense.kMaximize if q.sense == -1 else highspy.ObjSense.kMinimize)
        assert lp.offset_ == q.objective_constant


@pytest.mark.parametrize("writer", ["mps", "lp"])
def test_inverted_row_bounds_stay_infeasible(tmp_path, writer):
    p = problem([[1, 1]], [1, 1], [0, 0], [INF, INF], [5], [3])
    path = tmp_path / f"p.{writer}"
    (export.write_mps if writer == "mps" else export.write_lp)(p, path)
    assert optimum(path)[0] == "not optimal"


# ---- names --------------------------------------------------------------------------------

NAME_CASES = [
    # (variable, index values, exported name)
    ("x", [], "x"),
    ("x", ["a", 2], "x(a,2)"),
    ("servings", ["pemmican bar"], "servings(pemmican_bar)"),
    ("flow", [["A", "B"]], "flow((A,B))"),
    ("y", [1, 3], "y(1,3)"),
    ("y", [2.5, -1], "y(2.5,_1)"),
    ("ship", ["Zürich", "café-bar"], "ship(Zurich,cafe_bar)"),
    ("x", ["a:b", "c[d]", "e<=f", "g+h*i^j"], "x(a_b,c_d_,e__f,g_h_i_j)"),
    ("x", ["(a,b)"], "x(_a_b_)"),
    ("x", ["€"], "x(_)"),
    ("x", [""], "x(_)"),
    ("e1", [], "_e1"),
    ("E9x", ["a"], "_E9x(a)"),
    ("end", [], "_end"),
    ("free", [], "_free"),
    ("Inf", [], "_Inf"),
    ("st", [], "_st"),
    ("eggs", [], "eggs"),
    ("x", ["line\nbreak", "tab\there"], "x(line_break,tab_here)"),
]


@pytest.mark.parametrize("variable, index, expected", NAME_CASES)
def test_column_names(variable, index, expected):
    p = problem([[1]], [1], [0], [1], [0], [1], columns=[[variable, index]])
    assert export.make_names(p).columns == [expected]


def test_names_collide_into_numbered_variants_and_stay_short():
    long = "w" * 300
    columns = [["x", ["a b"]], ["x", ["a_b"]], ["x", ["a-b"]], ["y", [long]], ["y", [long + "z"]]]
    p = problem([[1] * 5], [1] * 5, [0] * 5, [1] * 5, [0], [1], columns=columns)
    names = export.make_names(p).columns
    assert names[:3] == ["x(a_b)", "x(a_b)~2", "x(a_b)~3"]
    assert len(set(names)) == 5 and all(len(n) <= export.MAX_NAME_LENGTH for n in names)


def test_row_names_come_from_labels_and_share_one_namespace_with_the_objective():
    info = [["cap[a b]", "cap", 3, ["a b"]], ["cap[a_b]", "cap", 4, ["a_b"]], ["c7", None, 7, []],
            ["cost", "cost", 9, []], ["c7[1]", None, 7, [1]]]
    p = problem([[1]] * 5, [1], [0], [1], [0] * 5, [1] * 5, row_info=info, objective_name="cost")
    names = export.make_names(p)
    assert names.objective == "cost"
    assert names.rows == ["cap(a_b)", "cap(a_b)~2", "c7", "cost~2", "c7(1)"]


AWKWARD = [["x", ["pemmican bar", 1]], ["x", ["é-1", 2]], ["flow", [["A", "B"]]], ["end", []], ["e1", []],
           ["x", ["pemmican_bar", 1]], ["st", ["a:b"]], ["y", ["inf"]]]


@pytest.mark.parametrize("writer", ["mps", "lp"])
def test_awkward_names_read_back_under_the_mapped_names(tmp_path, writer):
    n = len(AWKWARD)
    A = [[1] * n, [1, -1] + [0] * (n - 2), [0] * (n - 1) + [1]]
    info = [["sum[a b]", "sum", 5, ["a b"]], ["bin", "bin", 6, []], ["st[<\"A\",\"B\">]", "st", 7, [["A", "B"]]]]
    p = problem(A, list(range(1, n + 1)), [0] * n, [4] * n, [-INF, -2, 1], [20, 2, 3],
                columns=AWKWARD, row_info=info, objective_name="minimize", integer=[1, 0] * (n // 2))
    path = tmp_path / f"awk.{writer}"
    (export.write_mps if writer == "mps" else export.write_lp)(p, path)
    mapping = json.loads(Path(str(path) + ".names.json").read_text(encoding="utf-8"))
    h, status = read_back(path)
    lp = h.getLp()
    assert status == "optimal"
    assert h.getInfo().objective_function_value == pytest.approx(reference(p)[1])
    assert sorted(lp.col_names_) == sorted(c["name"] for c in mapping["columns"])
    exported_rows = [name for r in mapping["rows"] for name in r.get("names", [r["name"]])]
    assert sorted(lp.row_names_) == sorted(exported_rows)
    assert [c["display"] for c in mapping["columns"]] == p.names
    assert [c["index"] for c in mapping["columns"]] == [c[1] for c in AWKWARD]
    assert [r["label"] for r in mapping["rows"]] == ["sum", "bin", "st"]
    assert mapping["objective"]["name"] == "_minimize"


def test_lp_splits_a_two_sided_row_and_the_map_names_both(tmp_path):
    p = CASES["ranged row"]
    record = export.write_lp(p, tmp_path / "r.lp")
    text = (tmp_path / "r.lp").read_text()
    assert " c(0).lo: x(1) + x(2) >= 2" in text and " c(0).hi: x(1) + x(2) <= 5" in text
    assert record["rows"][0]["names"] == ["c(0).lo", "c(0).hi"]
    mps = export.write_mps(p, tmp_path / "r.mps")
    assert "names" not in mps["rows"][0] and "RANGES" in (tmp_path / "r.mps").read_text()


@pytest.mark.parametrize("length", [1, 120, 400])
def test_long_expressions_are_wrapped(tmp_path, length):
    n = 40
    columns = [["v" * length, [j]] for j in range(n)]
    p = problem([[1] * n], [1.5] * n, [0] * n, [1] * n, [1], [INF], columns=columns)
    text = export.lp_text(p)
    assert max(len(line) for line in text.splitlines()) <= 300
    path = tmp_path / "long.lp"
    export.write_lp(p, path)
    assert optimum(path) == ("optimal", pytest.approx(1.5))


# ---- the corpus, against the runner ------------------------------------------------------

def _corpus():
    import importlib.resources

    root = Path(str(importlib.resources.files("vormo") / "vormo_models"))
    return sorted(root.rglob("*.mod"))


@pytest.fixture(scope="module")
def sparse_build():
    pytest.importorskip("vormo.sparseproblem")
    return export.build_problem_files


@pytest.mark.parametrize("model", _corpus(), ids=lambda p: p.stem)
def test_corpus_round_trip_matches_the_runner(tmp_path, sparse_build, model):
    from vormo import runner

    data = model.with_suffix(".dat")
    result = runner.solve_files(model, data, time_limit=60)
    summary = export.export_files(model, data, mps=tmp_path / "m.mps", lp=tmp_path / "m.lp")
    assert summary["columns"] > 0
    mapping = json.loads((tmp_path / "m.mps.names.json").read_text(encoding="utf-8"))
    assert set(result["variables"]) <= {c["display"] for c in mapping["columns"]}
    for path in (tmp_path / "m.mps", tmp_path / "m.lp"):
        status, value = optimum(path)
        assert status == ("optimal" if result["status"] == "optimal" else "not optimal"), path.name
        if result.get("objective") is not None:
            assert value == pytest.approx(result["objective"], rel=1e-6, abs=1e-6), path.name


def test_a_negative_upper_bound_keeps_its_zero_lower_bound_explicit():
    # Readers following the old convention free the lower bound of a column whose upper bound is
    # negative unless the lower bound is given after it.
    p = problem([[1]], [1], [0], [-1], [-INF], [5])
    lines = export.mps_text(p).splitlines()
    assert lines.index(" LO BND  x(1)  0") == lines.index(" UP BND  x(1)  -1") + 1


@pytest.mark.parametrize("writer", ["mps", "lp"])
def test_a_column_used_nowhere_is_still_declared(tmp_path, writer):
    p = problem([[1, 0, 0]], [1, 0, 0], [0, 1, 0], [INF, 4, INF], [1], [INF], integer=[0, 1, 0])
    path = tmp_path / f"p.{writer}"
    (export.write_mps if writer == "mps" else export.write_lp)(p, path)
    h, _ = read_back(path)
    assert sorted(h.getLp().col_names_) == ["x(1)", "x(2)", "x(3)"]
