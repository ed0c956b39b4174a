"""What the command line says about money: which pricing table it uses, which row of it priced a
model, what a run spent (on every way out of it), what a run would cost before it is sent, and
the budget that stops a run before its next request.

The package's own cost record (``tokenledger.estimate_costs``) is left as it is; the records made
here are the command line's and carry the extra fields: ``priced_as`` (the table row that priced
the model), ``priced`` (False when no row did) and ``local`` (an Ollama model, $0 by definition).
"""

from __future__ import annotations

import math
import re
import sys
import threading
import types
from collections.abc import Iterator, Mapping
from contextlib import contextmanager
from typing import Any, TextIO

__all__ = ["BudgetSpent", "Meter", "ensure_table", "format_money", "price", "price_text", "shipped_table"]

SHIPPED_TABLE = ("demo", "pricing_table.md")
ASSUMED_REPLY_TOKENS = 1500  # a model and data file as the worked examples have them

_DATED = re.compile(r"^\s*dated\s+(\S+?)[\s.:;,(]", re.IGNORECASE | re.MULTILINE)
_state: dict[str, Any] = {"announced": False, "saved_url": None}


class BudgetSpent(RuntimeError):
    """--max-cost: the next request would take the run past its budget."""


def format_money(value: float) -> str:
    """Dollars the one way the command line shows them: four decimals, six below a cent."""
    return f"${value:.6f}" if 0 < abs(value) < 0.01 else f"${value:.4f}"


# ----------------------------------------------------------------------------------------------
# The table
# ----------------------------------------------------------------------------------------------

def shipped_table() -> str:
    """The path of the pricing table installed with the package."""
    from importlib.resources import files

    return str(files("vormo").joinpath(*SHIPPED_TABLE))


def table_date(path: str) -> str:
    try:
        with open(path, encoding="utf-8") as handle:
            head = handle.read(4096)
    except OSError:
        return "undated"
    found = _DATED.search(head + "\n")
    return found.group(1) if found else "undated"


def ensure_table(stream: TextIO | None = None) -> str:
    """The pricing table in use: the configured one when it can be read, else the table shipped
    with the package (said once per process on ``stream``, standard error by default)."""
    from . import tokenledger

    current = tokenledger.PRICING_URL
    # The fallback below says what happened in one line; the reader's own warning would repeat it.
    logger = tokenledger.logger
    saved_disabled = logger.disabled
    logger.disabled = True
    try:
        readable = bool(tokenledger._parse_pricing(current))
    finally:
        logger.disabled = saved_disabled
    if readable:
        return current
    shipped = shipped_table()
    if _state["saved_url"] is None:
        _state["saved_url"] = current
    tokenledger.PRICING_URL = shipped
    if not _state["announced"]:
        _state["announced"] = True
        print(f"vormo: the pricing table {current} cannot be read; "
              f"prices from the table shipped with vormo, dated {table_date(shipped)}",
              file=stream or sys.stderr, flush=True)
    return shipped


def defer_table(choose: Any) -> None:
    """Choose the table with ``choose()`` just before the next price rather than now (the start of
    a run does not wait for a table fetched over the network)."""
    _state["deferred"] = choose


def settle_table() -> None:
    """Make the choice a ``defer_table`` put off, once."""
    choose = _state.pop("deferred", None)
    if choose is not None:
        choose()


def drop_deferred_table(choose: Any) -> None:
    """Forget a deferred choice that no price asked for."""
    if _state.get("deferred") is choose:
        del _state["deferred"]


def restore_table() -> None:
    """Put back the table address ensure_table replaced (the end of one command)."""
    saved = _state["saved_url"]
    if saved is not None:
        from . import tokenledger

        tokenledger.PRICING_URL = saved
        _state["saved_url"] = None


def _row_for(table: Mapping[str, Any], model: str) -> str | None:
    """The table row that prices a model name, chosen as the estimate chooses it: the exact name,
    else the first row (in table order) that contains the name or is contained in it."""
    key = model.lower()
    if key in table:
        return key
    return next((row for row in table if row in key or key in row), None)


def _is_local(model: str, provider: str | None) -> bool:
    from . import modelsmith

    try:
        return bool(modelsmith._infer_provider(provider, model) == modelsmith.LLMProvider.OLLAMA)
    except Exception:  # noqa: BLE001 - an unknown provider is reported elsewhere
        return False


def price(model: str, usage: Mapping[str, Any], provider: str | None = None,
          estimate: Mapping[str, Any] | None = None) -> dict[str, Any]:
    """The command line's cost record of some usage of one model (with the amounts of `estimate`,
    a run's own estimate, when given)."""
    from . import tokenledger

    settle_table()
    prompt = int(usage.get("prompt_tokens") or 0)
    completion = int(usage.get("completion_tokens") or 0)
    record: dict[str, Any] = {"model": model, "usage": {"prompt_tokens": prompt, "completion_tokens": completion}}
    if _is_local(model, provider):
        record.update(local=True, priced=True, total_cost=0.0)
        return record
    table = tokenledger._parse_pricing(tokenledger.PRICING_URL)
    row = _row_for(table, model)
    est = estimate if isinstance(estimate, Mapping) and estimate else \
        tokenledger.estimate_costs(types.SimpleNamespace(model=model), record["usage"])
    if row is None or not {"prompt_cost", "completion_cost"} & set(est):
        record.update(priced=False)
        return record
    record.update(priced=True, priced_as=row, **{k: float(v) for k, v in est.items()})
    return record


def price_text(record: Mapping[str, Any]) -> str:
    """A cost record in words: "$0.0123 (priced as gpt-5)", "$0 (local)" or "unpriced"."""
    if record.get("local"):
        return "$0 (local)"
    if not record.get("priced"):
        return "unpriced"
    shown = format_money(float(record.get("total_cost") or 0.0))
    if record.get("priced_as") != str(record.get("model", "")).lower():
        return f"{shown} (priced as {record.get('priced_as')})"
    return shown


def cost_lines(record: Mapping[str, Any]) -> list[str]:
    usage = record.get("usage") or {}
    prompt = int(usage.get("prompt_tokens") or 0)
    completion = int(usage.get("completion_tokens") or 0)
    tokens = f"Tokens: {prompt:,} prompt + {completion:,} completion = {prompt + completion:,} ({record.get('model')})"
    if record.get("priced") or record.get("local"):
        return [tokens, f"Estimated cost: {price_text(record)}"]
    return [tokens, f"Estimated cost: unpriced (no row for {record.get('model')!r} in the pricing table)"]


def json_fields(record: Mapping[str, Any]) -> dict[str, Any]:
    """The fields a JSON output adds about its price."""
    if record.get("local"):
        return {"priced": True, "local": True}
    if record.get("priced"):
        return {"priced": True, "priced_as": record.get("priced_as")}
    return {"priced": False}


# ----------------------------------------------------------------------------------------------
# The meter: usage of every request of one run, and the budget
# ----------------------------------------------------------------------------------------------

def _input_text(args: tuple[Any, ...], kwargs: Mapping[str, Any]) -> str:
    text = kwargs.get("input_text", args[2] if len(args) > 2 else "")
    return text if isinstance(text, str) else ""


class Meter:
    """Counts the tokens of every LLM request of one run and refuses a request that would take the
    run past ``max_cost`` dollars. Installed on ``modelsmith._llm_generate_text`` for the run."""

    def __init__(self, model: str, provider: str | None = None, max_cost: float | None = None) -> None:
        self.model = model
        self.provider = provider
        self.max_cost = max_cost
        self.prompt_tokens = 0
        self.completion_tokens = 0
        self.requests = 0
        self.lock = threading.Lock()
        self.unpriced_warned = False

    @property
    def usage(self) -> dict[str, int]:
        return {"prompt_tokens": self.prompt_tokens, "completion_tokens": self.completion_tokens}

    def record(self) -> dict[str, Any]:
        return price(self.model, self.usage, self.provider)

    def spent(self) -> float:
        return float(self.record().get("total_cost") or 0.0)

    def before_request(self, input_text: str) -> None:
        if self.max_cost is None:
            return
        from . import tokenledger

        prompt_cost = price(self.model, {"prompt_tokens": tokenledger._count_openai_tokens(input_text, self.model)},
                            self.provider)
        if not (prompt_cost.get("priced") or prompt_cost.get("local")):
            if not self.unpriced_warned:
                self.unpriced_warned = True
                import logging

                logging.getLogger(__name__).warning(
                    "no price for %r in the pricing table: --max-cost cannot be applied", self.model)
            return
        spent = self.spent()
        projected = spent + float(prompt_cost.get("total_cost") or 0.0)
        if projected > self.max_cost:
            what = "the prompt alone" if self.requests == 0 else "the next request's prompt"
            raise BudgetSpent(f"--max-cost {format_money(self.max_cost)} reached: {format_money(spent)} spent in "
                              f"{self.requests} request(s); {what} would take the run to {format_money(projected)}")

    def add(self, usage: Any) -> None:
        if isinstance(usage, Mapping):
            with self.lock:
                self.prompt_tokens += int(usage.get("prompt_tokens") or 0)
                self.completion_tokens += int(usage.get("completion_tokens") or 0)

    @contextmanager
    def installed(self) -> Iterator[Meter]:
        from . import modelsmith
        from .cliguard import replaced

        original = modelsmith._llm_generate_text
        meter = self

        def metered(*args: Any, **kwargs: Any) -> Any:
            meter.before_request(_input_text(args, kwargs))
            wanted = bool(kwargs.get("capture_usage", args[7] if len(args) > 7 else False))
            if len(args) > 7:
                args = args[:7] + (True,) + args[8:]
            else:
                kwargs["capture_usage"] = True
            reply = original(*args, **kwargs)
            meter.requests += 1
            if isinstance(reply, tuple) and len(reply) == 2:
                meter.add(reply[1])
                return reply if wanted else reply[0]
            return reply

        with replaced(modelsmith, "_llm_generate_text", metered):
            yield self


# ----------------------------------------------------------------------------------------------
# --dry-run
# ----------------------------------------------------------------------------------------------

def _exact_counter(model: str) -> bool:
    try:
        import tiktoken

        try:
            tiktoken.encoding_for_model(model)
        except Exception:  # noqa: BLE001 - the general encoding is used for unknown names
            tiktoken.get_encoding("o200k_base")
        return True
    except Exception:  # noqa: BLE001 - not installed, or its encoding file cannot be had
        return False


def dry_run(description: str, model: str, provider: str | None, grammar: Any, few_shot: bool, iterations: int,
            progress: Any = None) -> dict[str, Any]:
    """The first prompt of a run (worked examples included), its token count and the range of what
    the whole run would cost; nothing is sent."""
    from . import modelsmith, tokenledger

    shots = modelsmith._gather_few_shots(description, k=modelsmith.FEW_SHOT_TOP_K, progress=progress) if few_shot else []
    implementation = modelsmith._get_grammar_implementation(grammar)
    prompt = modelsmith._build_generation_prompt(description, implementation, few_shots=shots)
    tokens = int(tokenledger._count_openai_tokens(prompt, model))
    exact = _exact_counter(model)
    reply = ASSUMED_REPLY_TOKENS
    if shots:
        reply = max(int(tokenledger._count_openai_tokens(s.get("model", "") + s.get("data", ""), model)) for s in shots)
    # One round: the generation prompt and its reply; each later round also carries the previous
    # answer. The alignment check sends the description, grammar and answer, and replies briefly.
    alignment_in = tokens - sum(int(tokenledger._approx_token_count(s.get("model", "") + s.get("data", "")
                                                                      + s.get("description", ""))) for s in shots) + reply

    def usage(rounds: int, alignment: bool) -> dict[str, int]:
        prompt_tokens = rounds * tokens + (rounds - 1) * reply
        completion = rounds * reply
        if alignment:
            prompt_tokens += rounds * max(alignment_in, 0)
            completion += rounds * (reply // 4)
        return {"prompt_tokens": prompt_tokens, "completion_tokens": completion}

    rate = price(model, {"prompt_tokens": 1_000_000, "completion_tokens": 1_000_000}, provider)
    estimates = {}
    for alignment in (False, True):
        for rounds in sorted({1, max(1, iterations)}):
            rec = price(model, usage(rounds, alignment), provider)
            estimates[f"{rounds} round(s){' with' if alignment else ' without'} alignment"] = rec
    low = min(float(r.get("total_cost") or 0.0) for r in estimates.values())
    high = max(float(r.get("total_cost") or 0.0) for r in estimates.values())
    record: dict[str, Any] = {
        "dry_run": True, "model": model, "prompt": prompt, "prompt_tokens": tokens,
        "token_count": "exact" if exact else "approximate", "examples": len(shots),
        "assumed_reply_tokens": reply, "iterations": iterations,
        **json_fields(rate),
    }
    if rate.get("priced") and not rate.get("local"):
        record["prompt_per_1M"] = rate.get("prompt_cost")
        record["completion_per_1M"] = rate.get("completion_cost")
        record["estimate"] = {"low": low, "high": high}
        record["first_prompt_cost"] = float(price(model, {"prompt_tokens": tokens}, provider).get("total_cost") or 0)
    elif rate.get("local"):
        record["estimate"] = {"low": 0.0, "high": 0.0}
    return record


def print_dry_run(record: Mapping[str, Any], out: TextIO) -> None:
    count = "exact, tiktoken" if record["token_count"] == "exact" else "approximate"
    print(f"Dry run: nothing was sent. First prompt: {record['prompt_tokens']:,} tokens ({count}), "
          f"{record['examples']} worked example(s), for {record['model']}", file=out)
    if record.get("local"):
        print("Price: $0 (local)", file=out)
        return
    if not record.get("priced"):
        print(f"Price: unpriced (no row for {record['model']!r} in the pricing table)", file=out)
        return
    per_m = [format_money(float(record.get(k) or 0.0)) for k in ("prompt_per_1M", "completion_per_1M")]
    suffix = "" if record.get("priced_as") == str(record["model"]).lower() else f" (priced as {record['priced_as']})"
    print(f"Price per 1M tokens: {per_m[0]} prompt, {per_m[1]} completion{suffix}", file=out)
    print(f"First request: {format_money(float(record['first_prompt_cost']))} for the prompt", file=out)
    est = record["estimate"]
    print(f"Whole run: {format_money(est['low'])} to {format_money(est['high'])} (1 to {record['iterations']} "
          f"round(s), with and without the alignment check; replies of about "
          f"{record['assumed_reply_tokens']:,} tokens assumed)", file=out)


def check_budget(value: float | None) -> None:
    if value is not None and not (math.isfinite(value) and value > 0):
        from .cli import UsageError

        raise UsageError(f"--max-cost must be a number of dollars above 0 (got {value!r})")
