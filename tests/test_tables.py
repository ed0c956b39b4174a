"""The solution as a table: `vormo run --csv`, the constraint-row table and `runner.result_frame`."""

import csv
import json
from pathlib import Path

import pytest

from vormo import cli, tables

CUBE_MODEL = """// Three-index shipments: from a depot, in a week, of a product.
{string} Depots = ...;
range Weeks = 1..2;
{string} Products = ...;
float weight[Products] = ...;

dvar float+ ship[Depots][Weeks][Products] in 0..10;

maximize value: sum(d in Depots, w in Weeks, p in Products) w * weight[p] * ship[d][w][p];

subject to {
  forall(d in Depots)
    capacity: sum(w in Weeks, p in Products) ship[d][w][p] <= 5;
}
"""
CUBE_DATA = 'Depots = {"North Gate", "Quay"};\nProducts = {"pipes", "valves"};\nweight = [1, 0.5];\n'


def run(capsys, *argv):
    code = cli.main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return code, out, err


def read_csv(path):
    with open(path, newline="", encoding="utf-8") as handle:
        return list(csv.reader(handle))


@pytest.fixture
def cube(tmp_path):
    pytest.importorskip("scipy")
    (tmp_path / "cube.mod").write_text(CUBE_MODEL)
    (tmp_path / "cube.dat").write_text(CUBE_DATA)
    return tmp_path / "cube.mod", tmp_path / "cube.dat"


def test_run_csv_has_one_row_per_entry_and_one_column_per_index_position(capsys, cube, tmp_path):
    code, _, err = run(capsys, "run", *cube, "--csv", tmp_path / "plan.csv")
    assert code == 0, err
    rows = read_csv(tmp_path / "plan.csv")
    assert rows[0] == ["variable", "index1", "index2", "index3", "value"]
    assert len(rows) == 1 + 2 * 2 * 2  # zeros included
    assert rows[1] == ["ship", "North Gate", "1", "pipes", "0.0"]
    nonzero = [r for r in rows[1:] if float(r[-1])]
    assert nonzero == [["ship", "North Gate", "2", "pipes", "5.0"], ["ship", "Quay", "2", "pipes", "5.0"]]
    assert not (tmp_path / "plan.rows.csv").exists()
    assert f"wrote {tmp_path / 'plan.csv'}" in err


def test_run_csv_nonzero_and_json_structured_entries(capsys, cube, tmp_path):
    code, out, _ = run(capsys, "run", *cube, "--csv", tmp_path / "nz.csv", "--nonzero", "--json")
    assert code == 0
    assert [r[:4] for r in read_csv(tmp_path / "nz.csv")[1:]] == [["ship", "North Gate", "2", "pipes"],
                                                                 ["ship", "Quay", "2", "pipes"]]
    result = json.loads(out)
    assert result["variables"] == {"ship[North Gate][2][pipes]": 5.0, "ship[Quay][2][pipes]": 5.0}
    assert {"name": "ship", "index": ["Quay", 2, "pipes"], "value": 5.0} in result["entries"]
    assert len(result["entries"]) == 8


def test_result_frame_has_the_index_positions_as_columns(cube):
    pytest.importorskip("pandas")
    from vormo import runner

    result = runner.solve_files(*cube)
    frame = runner.result_frame(result)
    assert list(frame.columns) == ["variable", "index1", "index2", "index3", "value"]
    assert frame.shape == (8, 5)
    best = frame[frame.value > 0]
    assert best[["index1", "index2", "index3"]].values.tolist() == [["North Gate", 2, "pipes"], ["Quay", 2, "pipes"]]
    assert runner.result_frame(result, nonzero=True).shape == (2, 5)


ENTRIES = {"entries": [
    {"name": "flow", "index": [["A", "B"]], "value": 2.5},
    {"name": "x", "index": [1, "a", 3], "value": 0.0},
    {"name": "t", "index": [], "value": 1},
]}


def test_tables_of_mixed_arities_and_tuple_members():
    header, rows = tables.result_table(ENTRIES)
    assert header == ["variable", "index1", "index2", "index3", "value"]
    assert rows == [["flow", "<A,B>", "", "", 2.5], ["x", 1, "a", 3, 0.0], ["t", "", "", "", 1]]
    assert [r[0] for r in tables.result_table(ENTRIES, nonzero=True)[1]] == ["flow", "t"]
    with pytest.raises(ValueError, match="no structured entries"):
        tables.result_table({"status": "optimal", "variables": {}})


def test_result_frame_keeps_tuple_members_as_tuples():
    pytest.importorskip("pandas")
    frame = tables.result_frame(ENTRIES)
    assert frame.loc[0, "index1"] == ("A", "B")
    assert frame.loc[2, "index1"] is None


def test_constraint_rows_table_when_explained(tmp_path):
    result = dict(ENTRIES, explain={"rows": [
        {"name": "cap[North Gate]", "label": "cap", "line": 12, "index": ["North Gate"], "activity": 5.0,
         "lower": None, "upper": 5.0, "slack": 0.0, "binding": True, "dual": 2.0},
        {"name": "c14[1][2]", "label": None, "line": 14, "index": [1, 2], "activity": 1.0,
         "lower": 0.0, "upper": None, "slack": 1.0, "binding": False, "dual": 0.0}]})
    assert tables.constraint_table(ENTRIES) is None
    header, rows = tables.constraint_table(result)
    assert header == ["constraint", "index1", "index2", "line", "name", "activity", "lower", "upper", "slack",
                      "binding", "dual"]
    assert rows[0] == ["cap", "North Gate", "", 12, "cap[North Gate]", 5.0, "", 5.0, 0.0, True, 2.0]
    assert rows[1][:3] == ["c14", 1, 2]
    from vormo import cliexport

    written = cliexport.write_tables(result, str(tmp_path / "s.csv"))
    assert written == [str(tmp_path / "s.csv"), str(tmp_path / "s.rows.csv")]
    assert read_csv(tmp_path / "s.rows.csv")[1][:2] == ["cap", "North Gate"]


def test_csv_on_solve_needs_run(capsys, tmp_path):
    code, _, err = run(capsys, "solve", "Plan.", "-m", tmp_path / "p.mod", "-d", tmp_path / "p.dat",
                       "--csv", tmp_path / "p.csv")
    assert code == 2 and "--csv writes the solution: add --run" in err
    assert not Path(tmp_path / "p.mod").exists()


def test_solve_run_csv_writes_the_table_of_the_generated_pair(capsys, monkeypatch, tmp_path):
    pytest.importorskip("scipy")
    import vormo.modelsmith as ms

    def generative_solve(prompt, model_file, data_file, **kwargs):
        Path(model_file).write_text(CUBE_MODEL)
        Path(data_file).write_text(CUBE_DATA)
        return {"iterations": 1, "assessment": "", "syntax_errors": [],
                "cost": {"model": "gpt-5", "usage": {"prompt_tokens": 1, "completion_tokens": 1}, "estimated_costs": {}}}

    monkeypatch.setattr(ms, "generative_solve", generative_solve)
    code, _, err = run(capsys, "solve", "Ship.", "-m", tmp_path / "c.mod", "-d", tmp_path / "c.dat", "--run",
                       "--csv", tmp_path / "c.csv", "--nonzero")
    assert code == 0, err
    assert read_csv(tmp_path / "c.csv") == [["variable", "index1", "index2", "index3", "value"],
                                            ["ship", "North Gate", "2", "pipes", "5.0"],
                                            ["ship", "Quay", "2", "pipes", "5.0"]]


def test_csv_of_an_infeasible_result_says_why_there_is_no_table(capsys, tmp_path):
    pytest.importorskip("scipy")
    (tmp_path / "i.mod").write_text("dvar float+ x;\nminimize z: x;\nsubject to {\n  low: x >= 2;\n  high: x <= 1;\n}\n")
    (tmp_path / "i.dat").write_text("")
    code, out, err = run(capsys, "run", tmp_path / "i.mod", tmp_path / "i.dat", "--csv", tmp_path / "i.csv")
    assert code == 1 and "infeasible" in out
    assert f"no table written to {tmp_path / 'i.csv'}: the result has no solution (infeasible)" in err
    assert not (tmp_path / "i.csv").exists()


# The child hands the entries over packed; the runner's records are those entries_of makes.
@pytest.mark.parametrize("columns, values, integer", [
    ([["x", ["a", 1]], ["x", ["b", 2]], ["y", []], ["x", ["c", 3]]], [1.5, -2.0, 0.0, 7.25], [0, 0, 0, 0]),
    ([["n", [1]], ["n", [2]], ["f", [1]], ["n", [3]]], [2.9999999, 0.4, 0.4, -1.6], [1, 1, 0, 1]),
    ([["route", [["A", "B"], 3]], ["route", [["B", "C"], 1]]], [1e-12, 1e30], [0, 0]),
    ([], [], []),
])
def test_packed_entries_come_back_as_records(columns, values, integer):
    import numpy as np

    packed = json.loads(json.dumps(tables.packed_entries(columns, np.array(values, dtype=float), integer)))
    assert tables.unpacked_entries(packed) == tables.entries_of(columns, values, integer)


def test_a_value_that_is_no_number_comes_back_as_none():
    import numpy as np

    packed = tables.packed_entries([["x", [1]], ["x", [2]]], np.array([np.nan, 1.0]), [0, 1])
    assert [e["value"] for e in tables.unpacked_entries(packed)] == [None, 1]
