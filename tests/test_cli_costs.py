"""Money on the command line: the table that prices a run and the row that priced it, the shipped
table when the published one cannot be read, the cost of a run before it is sent, the budget that
stops it, and the usage of a run that ends early. The openai library talks to a fake server."""

import json
import logging
import pathlib

import pytest

import vormo.modelsmith as ms
import vormo.tokenledger as tl
from servers import Reply, fake_server, ollama_server, openai_server, openai_response  # noqa: F401
from vormo import cli, costs, replay

CHECKOUT = pathlib.Path(__file__).resolve().parent.parent
PRICING = str(CHECKOUT / "pricing_table.md")
REPLIES = replay.load_conversation()["replies"]


def recorded_pair(number):
    obj = ms._json_loads_relaxed(REPLIES[number - 1]["text"])
    return obj["model"], obj["data"]


def pair_reply(pair, **usage):
    return openai_response("```json\n" + json.dumps({"model": pair[0], "data": pair[1]}) + "\n```", **usage)


@pytest.fixture(autouse=True)
def local_pricing(monkeypatch):
    tl.clear_pricing_cache()
    monkeypatch.setattr(tl, "PRICING_URL", PRICING)
    monkeypatch.setitem(costs._state, "announced", False)
    yield
    tl.clear_pricing_cache()


def run(capsys, *argv):
    status = cli.main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return status, out, err


# ---- Which row priced the model ----------------------------------------------------------------

@pytest.mark.parametrize("model, fields, total_text", [
    ("gpt-5", {"priced": True, "priced_as": "gpt-5"}, "$0.002250"),
    ("GPT-5-mini-2025-08-07", {"priced": True, "priced_as": "gpt-5-mini"}, "$0.000450 (priced as gpt-5-mini)"),
    ("my-own-model", {"priced": False}, "unpriced"),
    ("llama3.1:8b", {"priced": True, "local": True}, "$0 (local)"),
    ("qwen2.5", {"priced": True, "local": True}, "$0 (local)"),
])
def test_every_cost_names_its_row(capsys, model, fields, total_text):
    code, out, _ = run(capsys, "cost", "--model", model, "--prompt-tokens", 1000, "--completion-tokens", 100,
                       "--json")
    record = json.loads(out)
    assert code == 0
    assert {k: record[k] for k in ("priced", "priced_as", "local") if k in record} == fields
    code, out, _ = run(capsys, "cost", "--model", model, "--prompt-tokens", 1000, "--completion-tokens", 100)
    total = [line for line in out.splitlines() if line.startswith("total")][0]
    assert total.split(None, 1)[1].strip() == total_text
    assert "$0.0000" not in out


# ---- The shipped table when the published one cannot be read ----------------------------------

def test_an_unreadable_table_gives_way_to_the_shipped_one_said_once(capsys, fake_server, monkeypatch):
    unreadable = fake_server().url + "/pricing_table.md"  # every path answers 404
    monkeypatch.setattr(tl, "PRICING_URL", unreadable)
    code, out, err = run(capsys, "cost", "--model", "gpt-5", "--prompt-tokens", 1_000_000, "--completion-tokens", 0)
    assert code == 0 and "$1.2500" in out
    notes = [line for line in err.splitlines() if "shipped with vormo" in line]
    assert notes == [f"vormo: the pricing table {unreadable} cannot be read; "
                     "prices from the table shipped with vormo, dated 2026-12-08"]
    assert "Failed to load pricing" not in err
    assert tl.PRICING_URL == unreadable  # the command's choice ends with the command
    code, out, err = run(capsys, "cost", "--model", "gpt-5", "--prompt-tokens", 1_000_000, "--completion-tokens", 0)
    assert "$1.2500" in out and "shipped with vormo" not in err


def test_a_table_given_with_pricing_is_never_replaced(capsys, tmp_path):
    code, out, err = run(capsys, "--pricing", tmp_path / "missing.md", "cost", "--model", "gpt-5",
                         "--prompt-tokens", 10, "--completion-tokens", 0)
    assert code == 0 and "unpriced" in out and "could not be read" in out
    assert "shipped with vormo" not in err


def test_the_shipped_table_matches_the_published_copy():
    assert pathlib.Path(costs.shipped_table()).read_text() == pathlib.Path(PRICING).read_text()


# ---- A malformed price cell --------------------------------------------------------------------

@pytest.mark.parametrize("cell, read", [
    ("1,25", None), ("$1,25", None), ("12,5,000", None), (",25", None),
    ("$1,250.00", 1250.0), ("1,250", 1250.0), ("$1,000,000", 1_000_000.0), ("$0.25", 0.25),
])
def test_a_comma_is_read_only_as_a_thousands_separator(tmp_path, caplog, cell, read):
    table = tmp_path / "t.md"
    table.write_text("| Model | Prompt (USD per 1M) | Completion (USD per 1M) |\n|---|---|---|\n"
                     f"| gpt-x | {cell} | $2.00 |\n", encoding="utf-8")
    with caplog.at_level(logging.WARNING):
        rates = tl._parse_pricing(str(table))
    assert rates["gpt-x"] == {"prompt_per_1M": read, "completion_per_1M": 2.0}
    warned = [r for r in caplog.records if "malformed price" in r.getMessage()]
    assert len(warned) == (1 if read is None else 0)


# ---- Before paying: --dry-run and --max-cost ---------------------------------------------------

def test_dry_run_sends_nothing_and_counts_the_first_prompt(capsys, openai_server, tmp_path):
    code, out, _ = run(capsys, "solve", "Bake bread and cakes.", "-m", tmp_path / "p.mod", "-d", tmp_path / "p.dat",
                       "--no-few-shot", "--dry-run", "--json", "--iterations", 3)
    record = json.loads(out)
    assert code == 0 and openai_server.requests == []
    assert not (tmp_path / "p.mod").exists()
    assert "Bake bread and cakes." in record["prompt"]
    assert record["prompt_tokens"] == tl._count_openai_tokens(record["prompt"], "gpt-5")
    assert (record["priced_as"], record["prompt_per_1M"], record["completion_per_1M"]) == ("gpt-5", 1.25, 10.0)
    assert 0 < record["first_prompt_cost"] < record["estimate"]["low"] < record["estimate"]["high"]
    code, out, _ = run(capsys, "solve", "Bake bread and cakes.", "-m", tmp_path / "p.mod", "-d", tmp_path / "p.dat",
                       "--no-few-shot", "--dry-run")
    assert "Price per 1M tokens: $1.2500 prompt, $10.0000 completion" in out
    assert "1 to 5 round(s)" in out and openai_server.requests == []


BAD = ("dvar float+ x;\nmaximize z: x + ;\n", "")


def test_max_cost_stops_before_the_request_that_would_pass_it(capsys, openai_server, tmp_path):
    # The first reply costs 10000 * $1.25/1M + 10000 * $10/1M = $0.1125; the next prompt (about $0.004) would pass $0.115.
    openai_server.script("POST", "/v1/responses", pair_reply(BAD, input_tokens=10_000, output_tokens=10_000),
                         pair_reply(recorded_pair(2)))
    model, data = tmp_path / "p.mod", tmp_path / "p.dat"
    code, out, err = run(capsys, "solve", "Bake.", "-m", model, "-d", data, "--no-few-shot", "--no-alignment",
                         "--max-cost", "0.115")
    assert code == 2 and len(openai_server.calls("POST", "/v1/responses")) == 1
    errors = [line for line in err.splitlines() if line.startswith("vormo: error:")]
    assert len(errors) == 1 and "--max-cost $0.1150 reached: $0.1125 spent in 1 request(s)" in errors[0]
    assert model.read_text() == BAD[0]  # the files of the last attempt stay


def test_max_cost_below_the_first_prompt_sends_nothing(capsys, openai_server, tmp_path):
    code, out, err = run(capsys, "solve", "Bake.", "-m", tmp_path / "p.mod", "-d", tmp_path / "p.dat",
                         "--no-few-shot", "--no-alignment", "--max-cost", "0.0001", "--json")
    assert code == 2 and openai_server.requests == []
    record = json.loads(out)
    assert "the prompt alone would take the run to" in record["error"]
    assert record["usage"] == {"prompt_tokens": 0, "completion_tokens": 0} and record["total_cost"] == 0.0


def test_max_cost_is_passed_to_the_candidates(capsys, monkeypatch, tmp_path):
    from vormo import candidates

    seen = {}

    def fake(prompt, model_file, data_file, count, **kwargs):
        seen.update(kwargs)
        raise KeyError("stop here")

    monkeypatch.setattr(candidates, "solve_candidates", fake)
    monkeypatch.setenv("OPENAI_API_KEY", "sk-test")
    run(capsys, "solve", "Bake.", "-m", tmp_path / "p.mod", "-d", tmp_path / "p.dat", "--candidates", 2, "--run",
        "--max-cost", "0.5")
    assert seen["max_cost"] == 0.5


@pytest.mark.parametrize("value", ["0", "-1", "nan", "inf"])
def test_max_cost_must_be_a_positive_amount(capsys, openai_server, tmp_path, value):
    code, _, err = run(capsys, "solve", "Bake.", "-m", tmp_path / "p.mod", "-d", tmp_path / "p.dat",
                       "--max-cost", value)
    assert code == 2 and "--max-cost must be a number of dollars above 0" in err and openai_server.requests == []


# ---- Usage on every exit path -------------------------------------------------------------------

@pytest.mark.parametrize("json_out", [False, True])
def test_a_run_that_fails_after_paid_requests_reports_them(capsys, openai_server, tmp_path, json_out):
    openai_server.script("POST", "/v1/responses", openai_response("no JSON here", input_tokens=1000,
                                                                  output_tokens=500))
    code, out, err = run(capsys, "solve", "Bake.", "-m", tmp_path / "p.mod", "-d", tmp_path / "p.dat",
                         "--no-few-shot", "--no-alignment", *(["--json"] if json_out else []))
    assert code == 2
    if json_out:
        record = json.loads(out)
        assert record["error"].startswith("the LLM's reply could not be used")
        assert record["usage"] == {"prompt_tokens": 1000, "completion_tokens": 500}
        assert record["total_cost"] == pytest.approx(1000 * 1.25e-6 + 500 * 10e-6)
        assert record["priced_as"] == "gpt-5"
    else:
        assert out == ""
        assert "Tokens: 1,000 prompt + 500 completion = 1,500 (gpt-5)" in err
        assert "Estimated cost: $0.006250" in err


def test_feedback_reports_its_tokens_and_cost(capsys, openai_server, tmp_path):
    model, data = tmp_path / "p.mod", tmp_path / "p.dat"
    model.write_text(recorded_pair(2)[0])
    data.write_text(recorded_pair(2)[1])
    openai_server.script("POST", "/v1/responses",
                         openai_response(json.dumps({"feedback": "Fine."}), input_tokens=800, output_tokens=40))
    code, out, _ = run(capsys, "feedback", "Why?", "-m", model, "-d", data, "--model-name", "gpt-5-mini")
    assert code == 0 and out.startswith("Fine.\n")
    assert "Tokens: 800 prompt + 40 completion = 840 (gpt-5-mini)" in out
    assert "Estimated cost: $0.000280" in out
    code, out, _ = run(capsys, "feedback", "Why?", "-m", model, "-d", data, "--json")
    assert json.loads(out)["cost"]["usage"] == {"prompt_tokens": 800, "completion_tokens": 40}


def test_a_successful_solve_names_its_row(capsys, openai_server, tmp_path):
    openai_server.script("POST", "/v1/responses", pair_reply(recorded_pair(2), input_tokens=100, output_tokens=10))
    code, out, _ = run(capsys, "solve", "Bake.", "-m", tmp_path / "p.mod", "-d", tmp_path / "p.dat",
                       "--no-few-shot", "--no-alignment", "--model-name", "gpt-5-mini-2025-08-07", "--json")
    record = json.loads(out)
    assert code == 0 and record["priced_as"] == "gpt-5-mini" and record["priced"] is True
    assert set(record["cost"]) == {"model", "usage", "estimated_costs"}
