"""`vormo describe` on corpus examples: what a user checks first on a generated pair."""

import importlib.resources
import json
from pathlib import Path

import pytest

from vormo import cli, describe

MODELS = Path(str(importlib.resources.files("vormo") / "vormo_models"))
RATIONS = (MODELS / "diet" / "expedition_rations.mod", MODELS / "diet" / "expedition_rations.dat")
VOLUNTEERS = (MODELS / "assignment" / "fair_volunteers.mod", MODELS / "assignment" / "fair_volunteers.dat")


def run(capsys, *argv):
    code = cli.main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return code, out, err


def by_name(items):
    return {item.get("name") or item.get("label"): item for item in items}


def test_rations_structure():
    record = describe.describe_files(*RATIONS, counts=False)
    sets = by_name(record["sets"])
    assert {k: (v["kind"], v["size"]) for k, v in sets.items()} == {"Packets": ("set", 5), "Nutrients": ("set", 3)}
    params = by_name(record["parameters"])
    assert params["supplies"]["indices"] == ["Packets", "Nutrients"] and params["supplies"]["entries"] == 15
    assert params["personDays"]["value"] == 6 and params["personDays"]["source"] == "inline"
    assert params["fatCeiling"]["value"] == 220 and params["fatCeiling"]["line"] == 25
    assert [(v["name"], v["kind"], v["indices"]) for v in record["variables"]] == [("buy", "int+", ["Packets"])]
    assert [(c["label"], c["line"], c["op"], c["over"]) for c in record["constraints"]] == [
        ("enough", 46, ">=", ["Nutrients"]), ("fatLimit", 49, "<=", [])]
    assert record["objective"] == {"sense": "minimize", "label": "packWeight", "line": 41, "terms": None}
    assert record["totals"] is None and record["counts_note"]


def test_volunteers_structure():
    record = describe.describe_files(*VOLUNTEERS, counts=False)
    sets = by_name(record["sets"])
    assert (sets["Acceptable"]["kind"], sets["Acceptable"]["element_type"], sets["Acceptable"]["size"]) == \
        ("tuple set", "Pairing", 9)
    assert record["tuple_types"] == [{"name": "Pairing", "fields": ["volunteer", "booth"], "line": 17}]
    assert by_name(record["parameters"])["parentA"]["value"] == "Lea"
    assert record["objective"] is None
    assert [c["label"] for c in record["constraints"]] == ["boothStaffed", "oneBoothAtMost", "onlyAgreed", "childcare"]
    assert record["constraints"][2]["over"] == ["Volunteers", "Booths"]


@pytest.fixture
def counted():
    pytest.importorskip("vormo.sparseproblem")


def test_rations_counts_from_the_sparse_build(counted):
    record = describe.describe_files(*RATIONS)
    assert record["counts_note"] is None
    assert record["variables"][0]["columns"] == 5
    assert record["variables_by_kind"] == {"int+": {"declarations": 1, "columns": 5}}
    assert [c["rows"] for c in record["constraints"]] == [3, 1]
    assert record["objective"]["terms"] == 5
    assert record["totals"] == {"columns": 5, "integer_columns": 5, "rows": 4, "nonzeros": 20}


def test_volunteers_counts_from_the_sparse_build(counted):
    record = describe.describe_files(*VOLUNTEERS)
    assert record["variables"][0]["columns"] == 20
    assert by_name(record["constraints"])["boothStaffed"]["rows"] == 4
    assert by_name(record["constraints"])["oneBoothAtMost"]["rows"] == 5
    assert record["totals"]["integer_columns"] == 20


def test_describe_prints_a_readable_summary(capsys):
    code, out, _ = run(capsys, "describe", *RATIONS, "--no-counts")
    assert code == 0
    assert "  minimize packWeight (line 41)" in out
    lines = out.splitlines()
    assert any(line.split() == ["Packets", "set", "of", "string", "5", "member(s)", "line", "10"] for line in lines)
    assert any(line.split()[:4] == ["supplies[Packets][Nutrients]", "float", "15", "entries"] for line in lines)
    assert any(line.split()[:3] == ["personDays", "int", "="] and "computed in the model" in line for line in lines)
    assert any(line.split()[:3] == ["enough", "forall", "[Nutrients]"] for line in lines)


def test_describe_json_and_a_finding(capsys, tmp_path):
    code, out, _ = run(capsys, "describe", *VOLUNTEERS, "--json", "--no-counts")
    assert code == 0 and json.loads(out)["model_file"] == str(VOLUNTEERS[0])
    (tmp_path / "bad.mod").write_text("dvar float x\nminimize z: x;\n")
    (tmp_path / "bad.dat").write_text("")
    code, out, _ = run(capsys, "describe", tmp_path / "bad.mod", tmp_path / "bad.dat")
    assert code == 1 and "line" in out


def test_families_on_one_line_and_unlabelled_rows_are_counted_apart(counted, tmp_path):
    (tmp_path / "m.mod").write_text(
        "{string} S = ...;\ndvar float+ x[S];\nminimize t: sum(s in S) x[s];\n"
        "subject to {\n  forall(s in S) { lo: x[s] >= 1; hi: x[s] <= 5; }\n  sum(s in S) x[s] <= 10;\n}\n")
    (tmp_path / "m.dat").write_text('S = {"a", "b", "c"};\n')
    record = describe.describe_files(tmp_path / "m.mod", tmp_path / "m.dat")
    assert [(c["label"], c["line"], c["rows"]) for c in record["constraints"]] == [
        ("lo", 5, 3), ("hi", 5, 3), (None, 6, 1)]
