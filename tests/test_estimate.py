"""Cost estimates from the pricing table, the demonstration and the command-line entry."""

import ast
import importlib.metadata
import logging
import pathlib
import subprocess
import sys
from types import SimpleNamespace as NS

import pytest

import vormo.tokenledger as tl

SHIPPED = pathlib.Path(__file__).parent / ".." / "pricing_table.md"


@pytest.fixture(autouse=True)
def no_network(monkeypatch, tmp_path):
    """Every estimate here reads a local document; the default address is never fetched."""
    tl.clear_pricing_cache()
    monkeypatch.setattr(tl, "PRICING_URL", str(tmp_path / "unset.md"))
    yield
    tl.clear_pricing_cache()


@pytest.fixture
def table(monkeypatch, tmp_path):
    """Point PRICING_URL at a document holding the given rows (model, prompt, completion)."""

    def use(*rows, name="pricing.md"):
        lines = ["| Model | Prompt per 1M | Completion per 1M |", "|---|---|---|"]
        lines += [f"| {m} | {'' if p is None else p} | {'' if c is None else c} |" for m, p, c in rows]
        path = tmp_path / name
        path.write_text("\n".join(lines) + "\n", encoding="utf8")
        monkeypatch.setattr(tl, "PRICING_URL", str(path))
        return str(path)

    return use


def test_gpt4o_example(table):
    table(("gpt-4o", 2.5, 10.0))
    est = tl.estimate_costs(NS(model="GPT-4o"), {"prompt_tokens": 1_000_000, "completion_tokens": 500_000})
    assert list(est.items()) == [("prompt_cost", 2.5), ("completion_cost", 5.0), ("total_cost", 7.5)]


def test_costs_are_not_rounded(table):
    table(("gpt-4.1", 2.0, 8.0))
    est = tl.estimate_costs(NS(model="gpt-4.1"), {"prompt_tokens": 21549, "completion_tokens": 7091})
    assert est["prompt_cost"] == 2.0 * (21549 / 1_000_000)
    assert est["completion_cost"] == 8.0 * (7091 / 1_000_000)
    assert est["total_cost"] == est["prompt_cost"] + est["completion_cost"]
    # A single token at a small rate keeps its tiny cost.
    table(("nano", 0.05, 0.4))
    tl.clear_pricing_cache()
    tiny = tl.estimate_costs(NS(model="nano"), {"prompt_tokens": 1, "completion_tokens": 3})
    p, c = 0.05 * (1 / 1_000_000), 0.4 * (3 / 1_000_000)
    assert tiny == {"prompt_cost": p, "completion_cost": c, "total_cost": p + c}


@pytest.mark.parametrize(
    "rows, model, expected_prompt",
    [
        ([("gpt-4o", 2.5, 10)], "gpt-4o-2024-08-06", 2.5),  # the name contains a key
        ([("gpt-4", 30, 60), ("gpt-4o", 2.5, 10)], "gpt-4o-2024-08-06", 30.0),  # the earlier key wins
        ([("gpt-4", 30, 60), ("gpt-4o", 2.5, 10)], "gpt-4o", 2.5),  # an exact key beats document order
        ([("x-gpt-4o", 7, 7), ("gpt-4o", 2.5, 10)], "gpt", 7.0),  # a part of a key: first such key
        ([("a", 1, 1), ("b", 2, 2)], "", 1.0),  # every key contains the empty name
        ([("gemini-2.5-pro", 1.25, 10)], "GEMINI-2.5-PRO", 1.25),
        ([("a", 1, 1)], "unknown", None),
    ],
)
def test_model_lookup(table, rows, model, expected_prompt):
    table(*rows)
    est = tl.estimate_costs(NS(model=model), {"prompt_tokens": 1_000_000, "completion_tokens": 0})
    if expected_prompt is None:
        assert est == {"total_cost": 0.0}
    else:
        assert est["prompt_cost"] == expected_prompt


@pytest.mark.parametrize(
    "rates, usage, expected",
    [
        ((None, 4.0), {"prompt_tokens": 10, "completion_tokens": 500_000}, {"completion_cost": 2.0, "total_cost": 2.0}),
        ((3.0, None), {"prompt_tokens": 1_000_000, "completion_tokens": 9}, {"prompt_cost": 3.0, "total_cost": 3.0}),
        ((3.0, 4.0), {"completion_tokens": 500_000}, {"total_cost": 0.0}),  # no prompt count: no costs
        ((3.0, 4.0), {"prompt_tokens": None, "completion_tokens": 5}, {"total_cost": 0.0}),
        ((3.0, 4.0), {"prompt_tokens": 1_000_000}, {"prompt_cost": 3.0, "total_cost": 3.0}),
        ((3.0, 4.0), {"prompt_tokens": 0, "completion_tokens": 0},
         {"prompt_cost": 0.0, "completion_cost": 0.0, "total_cost": 0.0}),
        ((3.0, 4.0), {}, {"total_cost": 0.0}),
    ],
)
def test_partial_rates_and_counts(table, rates, usage, expected):
    table(("m", *rates))
    est = tl.estimate_costs(NS(model="m"), usage)
    assert est == expected
    assert list(est)[-1] == "total_cost"
    assert all(type(v) is float for v in est.values())


def test_failed_pricing_load_gives_zero_total(caplog):
    caplog.set_level(logging.WARNING, logger="vormo.tokenledger")
    usage = {"prompt_tokens": 5, "completion_tokens": 5}
    assert tl.estimate_costs(NS(model="gpt-4o"), usage) == {"total_cost": 0.0}
    assert tl.estimate_costs(NS(model="gpt-4o"), usage) == {"total_cost": 0.0}
    assert [r.msg for r in caplog.records] == ["Failed to load pricing from %s: %s"]


def test_pricing_url_is_read_at_each_call(table):
    usage = {"prompt_tokens": 1_000_000, "completion_tokens": 0}
    table(("m", 1.0, 1.0), name="one.md")
    assert tl.estimate_costs(NS(model="m"), usage)["prompt_cost"] == 1.0
    table(("m", 2.0, 1.0), name="two.md")
    assert tl.estimate_costs(NS(model="m"), usage)["prompt_cost"] == 2.0


def test_table_is_read_through_the_module(monkeypatch):
    seen = []
    fake = {"m": {"prompt_per_1M": 1.0, "completion_per_1M": 2.0}}
    monkeypatch.setattr(tl, "_parse_pricing", lambda path: seen.append(path) or fake)
    monkeypatch.setattr(tl, "PRICING_URL", "somewhere")
    est = tl.estimate_costs(NS(model="M"), {"prompt_tokens": 1_000_000, "completion_tokens": 1_000_000})
    assert est == {"prompt_cost": 1.0, "completion_cost": 2.0, "total_cost": 3.0}
    assert seen == ["somewhere"]


@pytest.mark.parametrize(
    "args, usage",
    [
        (NS(name="gpt-4o"), {}),  # no model attribute
        (NS(model=42), {}),  # a model that is not text has no lower()
        (NS(model="m"), ["prompt_tokens"]),  # usage without a lookup
    ],
)
def test_bad_inputs_raise_attribute_error(table, args, usage):
    table(("m", 1, 1))
    with pytest.raises(AttributeError):
        tl.estimate_costs(args, usage)


@pytest.mark.parametrize(
    "model, entry_text",
    [
        ("GPT-4o", "{'prompt_per_1M': 2.5, 'completion_per_1M': 10.0}"),
        ("Other %s", "None"),
    ],
)
def test_debug_line_names_model_and_entry(table, caplog, model, entry_text):
    table(("gpt-4o", 2.5, 10.0))
    caplog.set_level(logging.DEBUG, logger="vormo.tokenledger")
    tl.estimate_costs(NS(model=model), {"prompt_tokens": 1})
    [rec] = [r for r in caplog.records if r.levelno == logging.DEBUG]
    assert rec.name == "vormo.tokenledger"
    assert rec.getMessage() == f"Estimating costs for model '{model}' using pricing entry: {entry_text}"


@pytest.mark.parametrize(
    "model, expected",
    [
        ("gpt-5-mini-2025-08-07", (0.25, 2.0)),
        ("gpt-5", (1.25, 10.0)),
        ("gpt-4o-mini-2024-07-18", (0.15, 0.6)),
        ("gpt-4.1-nano", (0.1, 0.4)),
        ("o3-2025-04-16", (2.0, 8.0)),
        ("o4-mini", (1.1, 4.4)),
        ("gemini-2.5-flash-lite", (0.1, 0.4)),
        ("gemini-2.5-flash-preview-05-20", (0.3, 2.5)),
        ("models/gemini-2.5-pro", (1.25, 10.0)),
    ],
)
def test_shipped_table_prices_dated_and_prefixed_names(monkeypatch, model, expected):
    monkeypatch.setattr(tl, "PRICING_URL", str(SHIPPED))
    est = tl.estimate_costs(NS(model=model), {"prompt_tokens": 1_000_000, "completion_tokens": 1_000_000})
    assert (est["prompt_cost"], est["completion_cost"]) == pytest.approx(expected)


# --- demonstration and entry point ------------------------------------------------------------


@pytest.mark.parametrize("model, shown", [(None, "gpt-4.1"), ("", "gpt-4.1"), (5, "gpt-4.1"), ("gpt-4o", "gpt-4o")])
def test_exercise_prints_one_estimate(table, capsys, model, shown):
    table(("gpt-4.1", 2.0, 8.0), ("gpt-4o", 2.5, 10.0))
    assert tl.exercise_estimate_costs(model) is None
    out = capsys.readouterr().out
    assert out.count("\n") == 1
    record = ast.literal_eval(out)
    assert list(record) == ["model", "usage", "estimated_costs"]
    assert record["model"] == shown
    assert record["usage"] == {"prompt_tokens": 21549, "completion_tokens": 7091}
    rates = {"gpt-4.1": (2.0, 8.0), "gpt-4o": (2.5, 10.0)}[shown]
    assert record["estimated_costs"]["prompt_cost"] == rates[0] * (21549 / 1_000_000)


def test_exercise_goes_through_estimate_costs(monkeypatch, capsys):
    calls = []
    monkeypatch.setattr(tl, "estimate_costs", lambda args, usage: calls.append(args.model) or {"total_cost": 1.5})
    tl.exercise_estimate_costs("x")
    assert calls == ["x"]
    assert "'estimated_costs': {'total_cost': 1.5}" in capsys.readouterr().out


@pytest.mark.parametrize("argv", [None, [], ["--anything", "else"]])
def test_main_prints_the_demonstration_and_returns_zero(table, capsys, argv):
    table(("gpt-4.1", 2.0, 8.0))
    assert (tl.main() if argv is None else tl.main(argv)) == 0
    assert "'model': 'gpt-4.1'" in capsys.readouterr().out


def test_console_script_points_at_main():
    [ep] = [e for e in importlib.metadata.entry_points(group="console_scripts") if e.name == "vormo-tokenledger"]
    assert ep.value == "vormo.tokenledger:main"
    assert ep.load() is tl.main


def test_import_loads_no_tokenizer_and_no_http_client():
    code = (
        "import sys, vormo.tokenledger\n"
        "print(sorted(m for m in ('tiktoken', 'urllib.request', 'http.client') if m in sys.modules))"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True, cwd="/")
    assert out.stdout.strip() == "[]"
