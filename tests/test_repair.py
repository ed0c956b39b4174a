"""Repair from the solver's word and the alignment verdict, through the command line with the real
openai library talking to the fake service: an infeasible first pair, its diagnosis in the next
request, the fixed pair solved to its optimum; a run that ends not aligned says so and exits 1."""

import json
import pathlib
import re

import pytest

from servers import openai_response
from servers import fake_server, openai_server  # noqa: F401 - fixtures
from vormo import cli, repair

pytest.importorskip("scipy")
pytest.importorskip("highspy")

DESCRIPTION = "A bakery bakes bread (profit 3) and cake (profit 5). It must bake at least 4 trays in total, " \
              "and the oven holds 3 trays. Maximise profit."

MODEL = """{string} P = ...;
float profit[P] = ...;
float oven = ...;
dvar float+ x[P];
maximize total: sum(p in P) profit[p] * x[p];
subject to {
  need: sum(p in P) x[p] >= 4;
  capacity: sum(p in P) x[p] <= oven;
}
"""
DATA = 'P = {"bread", "cake"};\nprofit = [3, 5];\noven = 3;\n'
FIXED_MODEL = MODEL.replace("  need: sum(p in P) x[p] >= 4;\n", "  need: sum(p in P) x[p] >= 2;\n")


def pair(model, data, **tokens):
    return openai_response(json.dumps({"model": model, "data": data}), **tokens)


def verdict(aligned, assessment="Matches the description.", **tokens):
    return openai_response(json.dumps({"aligned": aligned, "assessment": assessment}), **tokens)


def run(capsys, *argv):
    status = cli.main(list(argv))
    out, err = capsys.readouterr()
    return status, out, err


def requests_text(server):
    return [json.dumps(call.json) for call in server.calls("POST", "/v1/responses")]


def test_infeasible_pair_is_repaired_from_its_diagnosis(openai_server, capsys, tmp_path):
    model, data = tmp_path / "bake.mod", tmp_path / "bake.dat"
    openai_server.script("POST", "/v1/responses",
                         pair(MODEL, DATA, input_tokens=100, output_tokens=50),
                         verdict(True, input_tokens=80, output_tokens=10),
                         pair(FIXED_MODEL, DATA, input_tokens=300, output_tokens=60),
                         verdict(True, input_tokens=90, output_tokens=12))
    status, out, err = run(capsys, "solve", DESCRIPTION, "-m", str(model), "-d", str(data), "--run", "--json",
                           "--explain", "--no-few-shot", "--pricing", str(tmp_path / "none.md"))
    assert status == 0, err
    record = json.loads(out)
    assert record["solve"]["status"] == "optimal" and record["solve"]["objective"] == pytest.approx(15)
    assert record["aligned"] is True
    # The repaired optimum is explained: x[cake] = 3 against the oven, one more tray is worth 5.
    assert {r["name"]: r["dual"] for r in record["solve"]["explain"]["rows"]} == pytest.approx(
        {"need": 0, "capacity": 5})
    assert record["repair"]["rounds"] == 1 and record["repair"]["changed"] is True
    assert record["repair"]["usage"] == {"prompt_tokens": 390, "completion_tokens": 72}
    assert set(record) >= {"iterations", "assessment", "syntax_errors", "cost"}
    # The generation loop's own tally is untouched by the repair.
    assert record["cost"]["usage"] == {"prompt_tokens": 180, "completion_tokens": 60}
    sent = requests_text(openai_server)
    assert len(sent) == 4
    repair_request = sent[2]
    assert "solver_diagnosis" in repair_request and "infeasible" in repair_request
    # The conflict names both rows with their model lines.
    assert "need (line 7)" in repair_request and "capacity (line 8)" in repair_request
    assert model.read_text() == FIXED_MODEL and data.read_text() == DATA
    assert "Repair round 1/2: asking the LLM to fix the infeasible model" in err
    assert "Repair round 1/2: optimal" in err


def test_repair_sends_compiler_findings_back_and_stops_at_the_limit(openai_server, capsys, tmp_path):
    model, data = tmp_path / "bake.mod", tmp_path / "bake.dat"
    broken = FIXED_MODEL.replace("maximize", "maximise")
    openai_server.script("POST", "/v1/responses", pair(MODEL, DATA), openai_response("Fits."), pair(broken, DATA),
                         pair(MODEL, DATA))
    status, out, err = run(capsys, "solve", DESCRIPTION, "-m", str(model), "-d", str(data), "--run",
                           "--no-alignment", "--no-few-shot", "--iterations", "1", "--repair", "2",
                           "--pricing", str(tmp_path / "none.md"))
    assert status == 1
    sent = requests_text(openai_server)
    # generation, final assessment, repair, then the compiler's findings on the broken pair.
    assert len(sent) == 4
    assert "solver_diagnosis" in sent[2] and "maximise" in sent[3] and "<errors>" in sent[3]
    assert model.read_text() == MODEL  # the last attempt is on disk
    assert "Repair rounds: 2 of 2 (" in out and "Aligned: not checked" in out
    assert re.search(r"^status\s+infeasible$", out, re.M)


def test_repair_zero_turns_it_off(openai_server, capsys, tmp_path):
    openai_server.script("POST", "/v1/responses", pair(MODEL, DATA), verdict(True))
    status, out, _ = run(capsys, "solve", DESCRIPTION, "-m", str(tmp_path / "a.mod"), "-d", str(tmp_path / "a.dat"),
                         "--run", "--repair", "0", "--json", "--no-few-shot", "--pricing", str(tmp_path / "x.md"))
    record = json.loads(out)
    assert status == 1 and "repair" not in record and record["solve"]["status"] == "infeasible"
    assert len(openai_server.calls("POST", "/v1/responses")) == 2


@pytest.mark.parametrize("replies, options, aligned, code, warned", [
    ([pair(FIXED_MODEL, DATA), verdict(True)], [], True, 0, False),
    ([pair(FIXED_MODEL, DATA), verdict(False, "The oven size is wrong.")], ["--iterations", "1"], False, 1, True),
    ([pair(FIXED_MODEL, DATA), openai_response("Looks fine.")], ["--no-alignment"], None, 0, False),
    # A verdict on an earlier pair does not cover a later one that does not compile.
    ([pair(FIXED_MODEL, DATA), verdict(False), pair("dvar float x", ""), openai_response("No.")],
     ["--iterations", "2"], False, 1, True),
])
def test_alignment_is_never_hidden(openai_server, fake_server, monkeypatch, capsys, tmp_path, replies, options,
                                   aligned, code, warned):
    openai_server.script("POST", "/v1/responses", *replies)
    argv = ["solve", DESCRIPTION, "-m", str(tmp_path / "a.mod"), "-d", str(tmp_path / "a.dat"), "--no-few-shot",
            "--pricing", str(tmp_path / "x.md"), *options]
    status, out, err = run(capsys, *argv, "--json")
    assert status == code and json.loads(out)["aligned"] is aligned
    warnings = [line for line in err.splitlines() if "not aligned with the description" in line]
    assert len(warnings) == (1 if warned else 0)
    again = fake_server().script("POST", "/v1/responses", *replies)
    monkeypatch.setenv("OPENAI_BASE_URL", again.url + "/v1")
    status, out, _ = run(capsys, *argv)
    assert f"Aligned: {cli._ALIGNED_TEXT[aligned]}" in out and status == code


@pytest.mark.parametrize("messages, aligned", [
    ([], None),
    (["Aligned \u2713 Stopping."], True),
    (["Not aligned; revising per assessment"], False),
    (["Not aligned; revising per assessment", "Aligned \u2713 Stopping."], True),
    (["Aligned \u2713 Stopping.", "Syntax/semantic errors found: 2; revising..."], False),
    (["Syntax/semantic errors found: 1; revising...", "Checking alignment with original prompt..."], None),
])
def test_alignment_watch_reads_the_verdict_and_forwards(messages, aligned):
    seen = []
    watch = repair.AlignmentWatch(seen.append)
    for message in messages:
        watch(message)
    assert watch.aligned is aligned and seen == messages


@pytest.mark.parametrize("result, wanted", [
    ({"status": "infeasible"}, True),
    ({"status": "unbounded"}, True),
    ({"status": "error", "diagnosis": {"kind": "refused"}}, True),
    ({"status": "optimal"}, False),
    ({"status": "time_limit", "diagnosis": {"kind": "time_limit"}}, False),
    ({"status": "compile_error"}, False),
])
def test_which_results_are_repaired(result, wanted):
    assert repair.needs_repair(result) is wanted


def test_repair_prompt_carries_description_model_and_diagnosis():
    diagnosis = {"kind": "unbounded", "statement": "The objective grows without limit along x[cake]: no "
                                                   "constraint limits them.", "ray": [{"name": "x[cake]", "direction": 1.0}]}
    prompt = repair.build_repair_prompt(DESCRIPTION, "GRAMMAR", MODEL, DATA, {"status": "unbounded",
                                                                              "diagnosis": diagnosis})
    for part in (DESCRIPTION, "GRAMMAR", MODEL, DATA, "improves without limit", "x[cake] +1", '"ray"'):
        assert part in prompt


def test_rounds_must_be_whole_and_not_negative(tmp_path, capsys):
    with pytest.raises(SystemExit):
        cli.main(["solve", "x", "-m", "a.mod", "-d", "a.dat", "--repair", "-1"])
    assert "0 or more" in capsys.readouterr().err
    with pytest.raises(ValueError):
        repair.repair("x", tmp_path / "a", tmp_path / "b", {"status": "infeasible"}, solve=None, rounds=True)
    assert pathlib.Path(tmp_path / "a").exists() is False


def test_a_repaired_pair_the_check_rejects_ends_not_aligned(openai_server, capsys, tmp_path):
    openai_server.script("POST", "/v1/responses", pair(MODEL, DATA), verdict(True), pair(FIXED_MODEL, DATA),
                         verdict(False, "The minimum of 4 trays is gone."))
    status, out, err = run(capsys, "solve", DESCRIPTION, "-m", str(tmp_path / "a.mod"), "-d", str(tmp_path / "a.dat"),
                           "--run", "--json", "--no-few-shot", "--pricing", str(tmp_path / "x.md"))
    record = json.loads(out)
    assert status == 1 and record["solve"]["status"] == "optimal"
    assert record["aligned"] is False and record["repair"]["assessment"] == "The minimum of 4 trays is gone."
    assert len([line for line in err.splitlines() if "not aligned" in line and "warning" in line]) == 1
