"""`vormo revise` with the real openai library against the fake server, and `vormo solve`'s refusal
to overwrite a pair edited by hand."""

import importlib.resources
import json
import re
from pathlib import Path

import pytest

import vormo.modelsmith as ms
from servers import openai_response
from servers import fake_server, openai_server  # noqa: F401 - fixtures
from vormo import cli, revise

DIET = Path(str(importlib.resources.files("vormo") / "vormo_models" / "diet"))
MODEL = (DIET / "diet.mod").read_text(encoding="utf-8")
DATA = (DIET / "diet.dat").read_text(encoding="utf-8")
REVISED_DATA = DATA.replace("maxServings = 4;", "maxServings = 3;")
REVISED_MODEL = MODEL.replace("// Most servings of any one food per day.",
                              "// Most servings of any one food per day (lowered for variety).")
BROKEN_MODEL = REVISED_MODEL.replace("float maxServings = ...;", "float maxServings = ...")


def run(capsys, *argv):
    code = cli.main(list(argv))
    out, err = capsys.readouterr()
    return code, out, err


@pytest.fixture
def pair(tmp_path):
    (tmp_path / "plan.mod").write_text(MODEL, encoding="utf-8")
    (tmp_path / "plan.dat").write_text(DATA, encoding="utf-8")
    return tmp_path / "plan.mod", tmp_path / "plan.dat"


def reply(feedback, model=None, data=None):
    body = {"feedback": feedback}
    if model is not None:
        body["revised_model"] = model
    if data is not None:
        body["revised_data"] = data
    return openai_response("```json\n" + json.dumps(body) + "\n```")


def test_revise_sends_findings_back_writes_the_next_version_and_shows_the_diff(capsys, openai_server, pair):
    model, data = pair
    openai_server.script("POST", "/v1/responses",
                         reply("Lowered the cap.", BROKEN_MODEL, REVISED_DATA),
                         reply("Added the missing ';'.", REVISED_MODEL, REVISED_DATA))
    code, out, err = run(capsys, "revise", str(model), str(data), "allow at most 3 servings of a food",
                         "--provider", "openai")
    assert code == 0, err
    requests = openai_server.calls("POST", "/v1/responses")
    assert len(requests) == 2
    assert "allow at most 3 servings of a food" in requests[0].json["input"]
    second = requests[1].json["input"]
    assert "allow at most 3 servings of a food" in second and "model compiler reports" in second
    assert "float maxServings = ...\n" in second  # the broken attempt is what the LLM is asked to mend
    assert model.read_text(encoding="utf-8") == MODEL and data.read_text(encoding="utf-8") == DATA
    v2_model, v2_data = model.with_name("plan.v2.mod"), data.with_name("plan.v2.dat")
    assert v2_model.read_text(encoding="utf-8") == REVISED_MODEL
    assert v2_data.read_text(encoding="utf-8") == REVISED_DATA
    assert out.startswith("Added the missing ';'.")
    assert f"--- {data}\n+++ {v2_data}\n" in out
    assert "\n-maxServings = 4;\n+maxServings = 3;\n" in out
    assert "+// Most servings of any one food per day (lowered for variety).\n" in out
    assert re.search(r"Written: .*plan\.v2\.mod, .*plan\.v2\.dat \(the originals are unchanged\)", out)


def test_revise_never_overwrites_an_existing_version(capsys, openai_server, pair):
    model, data = pair
    model.with_name("plan.v2.mod").write_text("// mine\n")
    openai_server.script("POST", "/v1/responses", reply("Lowered the cap.", None, REVISED_DATA))
    code, out, err = run(capsys, "revise", str(model), str(data), "cap at 3", "--provider", "openai", "--json")
    assert code == 0, err
    record = json.loads(out)
    assert record["version"] == 3 and record["model_file"].endswith("plan.v3.mod")
    assert model.with_name("plan.v2.mod").read_text() == "// mine\n"
    assert Path(record["model_file"]).read_text(encoding="utf-8") == MODEL
    assert Path(record["data_file"]).read_text(encoding="utf-8") == REVISED_DATA
    # Revising the revision continues the numbering.
    assert revise.next_version(record["model_file"], record["data_file"])[2] == 4


def test_revise_without_a_proposal_writes_nothing(capsys, openai_server, pair):
    model, _ = pair
    openai_server.script("POST", "/v1/responses", reply("The model already does that."))
    code, out, _ = run(capsys, "revise", str(model), str(pair[1]), "cap at 4", "--provider", "openai")
    assert code == 0
    assert "No change was proposed; nothing written." in out
    assert sorted(p.name for p in model.parent.iterdir()) == ["plan.dat", "plan.mod"]


def test_revise_stops_at_the_iteration_limit_with_the_findings(capsys, openai_server, pair):
    model, data = pair
    openai_server.script("POST", "/v1/responses", reply("Lowered the cap.", BROKEN_MODEL, REVISED_DATA))
    code, out, _ = run(capsys, "revise", str(model), str(data), "cap at 3", "--provider", "openai",
                       "--iterations", "2")
    assert code == 1
    assert len(openai_server.calls("POST", "/v1/responses")) == 2
    assert "still does not compile after 2 attempt(s)" in out
    assert model.read_text(encoding="utf-8") == MODEL


def test_revise_run_shows_the_objective_before_and_after(capsys, openai_server, pair):
    pytest.importorskip("scipy")
    from vormo import runner

    model, data = pair
    openai_server.script("POST", "/v1/responses", reply("Lowered the cap.", None, REVISED_DATA))
    code, out, err = run(capsys, "revise", str(model), str(data), "cap at 3", "--provider", "openai", "--run")
    before = runner.solve_texts(MODEL, DATA)["objective"]
    after = runner.solve_texts(MODEL, REVISED_DATA)["objective"]
    assert before != pytest.approx(after)
    assert code == 0, err
    assert re.search(rf"^before\s+optimal\s+{re.escape(cli._number(before))}$", out, re.M)
    assert re.search(rf"^after\s+optimal\s+{re.escape(cli._number(after))}$", out, re.M)


# ---- solve does not overwrite hand edits --------------------------------------------------

def fake_solve(calls):
    def generative_solve(prompt, model_file, data_file, **kwargs):
        calls.append(model_file)
        Path(model_file).write_text(MODEL)
        Path(data_file).write_text(DATA)
        return {"iterations": 1, "assessment": "", "syntax_errors": [],
                "cost": {"model": "gpt-5", "usage": {"prompt_tokens": 1, "completion_tokens": 1},
                         "estimated_costs": {}}}
    return generative_solve


def test_solve_refuses_to_overwrite_a_hand_edit_unless_forced(capsys, monkeypatch, tmp_path):
    calls = []
    monkeypatch.setattr(ms, "generative_solve", fake_solve(calls))
    argv = ["solve", "Plan meals.", "-m", str(tmp_path / "p.mod"), "-d", str(tmp_path / "p.dat")]
    assert run(capsys, *argv)[0] == 0
    assert run(capsys, *argv)[0] == 0  # vormo's own files: overwritten freely
    (tmp_path / "p.dat").write_text(DATA + "// my note\n")
    code, _, err = run(capsys, *argv)
    assert code == 2 and len(calls) == 2
    assert f"{tmp_path / 'p.dat'} exists and differs from what vormo last wrote" in err
    assert "--force" in err
    assert (tmp_path / "p.dat").read_text() == DATA + "// my note\n"
    assert run(capsys, *argv, "--force")[0] == 0 and len(calls) == 3
    assert run(capsys, *argv)[0] == 0  # and the forced result is vormo's again


def test_solve_refuses_files_it_never_wrote(capsys, monkeypatch, tmp_path):
    calls = []
    monkeypatch.setattr(ms, "generative_solve", fake_solve(calls))
    (tmp_path / "p.mod").write_text("// written by a person\n")
    code, _, err = run(capsys, "solve", "Plan.", "-m", str(tmp_path / "p.mod"), "-d", str(tmp_path / "p.dat"))
    assert code == 2 and not calls
    assert "p.mod exists and differs" in err


def test_a_failed_run_still_records_what_the_workflow_wrote(capsys, monkeypatch, tmp_path):
    def failing(prompt, model_file, data_file, **kwargs):
        Path(model_file).write_text("// attempt 1\n")
        Path(data_file).write_text("// attempt 1\n")
        raise RuntimeError("Empty model response.")

    monkeypatch.setattr(ms, "generative_solve", failing)
    argv = ["solve", "Plan.", "-m", str(tmp_path / "p.mod"), "-d", str(tmp_path / "p.dat")]
    assert run(capsys, *argv)[0] == 2
    monkeypatch.setattr(ms, "generative_solve", fake_solve([]))
    assert run(capsys, *argv)[0] == 0
