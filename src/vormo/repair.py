"""Repair from the solver's word: revise a model that solves to no optimum, using its diagnosis.

``repair(description, model_file, data_file, result, solve=..., rounds=2, ...)`` takes a solve
result whose status is infeasible, unbounded or refused (its ``"diagnosis"`` says why) and makes
up to ``rounds`` further requests to the LLM. The first asks it to fix the model in the light of
the diagnosis (``build_repair_prompt``, the one place the request is worded); a revised pair that
does not compile goes back with the compiler's findings as in the generation loop; a pair that
compiles is written over the files (so they always hold the last attempt) and solved again.

The returned record says what happened: ``rounds`` (requests made), ``result`` (the last solve),
``history`` (one entry per round), ``usage`` and ``cost`` of the repair requests, ``changed``
(whether the files were rewritten) and ``aligned``: the alignment verdict on the repaired pair when
the check is on and the pair changed (None otherwise). ``AlignmentWatch`` reads the generation loop's progress lines to learn the
verdict on the pair that loop ended with.
"""

import json
import types
from pathlib import Path

__all__ = ["repair", "needs_repair", "build_repair_prompt", "AlignmentWatch", "REPAIRABLE"]

# Diagnosis kinds (and solve statuses) a repair round is made for.
REPAIRABLE = ("infeasible", "unbounded", "refused")
# Characters of the diagnosis record sent along with its summary.
_DIAGNOSIS_CHARS = 6000

_TASK = {
    "infeasible": "The model compiles, but the solver proves that no plan satisfies all of its constraints together.",
    "unbounded": "The model compiles, but the solver finds that its objective improves without limit.",
    "refused": "The model compiles, but the solver refuses it: some coefficients or bounds are not finite "
               "numbers or are far too large.",
}

_REPAIR_PROMPT = """<role>
You are an expert in mathematical optimization and Vormo.
</role>

<task>
{task}
The solver's diagnosis below names the constraints, bounds or variables involved, with their model lines.
Find the modelling mistake behind it (a wrong sign or direction, a missing or wrong bound, a constraint the
description does not ask for, a wrong data value or unit) and fix the model and data so that they describe the
problem faithfully and the solver can find an optimum. Do not drop a constraint that the description asks for
merely to make the model solvable; if the description itself cannot be satisfied, relax as little as possible and
say so in a comment in the model.
Keep constraint labels, comments and everything that is right; change only what is necessary.
Use the following Vormo syntax implementation as a reference for valid Vormo syntax.
</task>

<grammar_reference>
--- BEGIN VORMO SYNTAX IMPLEMENTATION ---
{grammar}
--- END VORMO SYNTAX IMPLEMENTATION ---
</grammar_reference>

<problem_description>
{description}
</problem_description>

<previous_attempt>
<model>
{model}
</model>

<data>
{data}
</data>
</previous_attempt>

<solver_diagnosis>
{summary}

Details (JSON):
{details}
</solver_diagnosis>

<output_requirements>
- Return ONLY a JSON object with exactly two keys: "model" (the Vormo model) and "data" (the matching data file).
- The values must be single JSON strings; escape double quotes and backslashes; encode newlines as \\n.
- Return complete model and data strings; do not return diffs. No commentary outside the JSON.
</output_requirements>
"""


def _kind(result):
    """The repairable kind of a solve result, or None."""
    if not isinstance(result, dict):
        return None
    diagnosis = result.get("diagnosis")
    if isinstance(diagnosis, dict) and diagnosis.get("kind") in REPAIRABLE:
        return diagnosis["kind"]
    status = result.get("status")
    return status if status in REPAIRABLE else None


def needs_repair(result):
    """True when the result is an infeasible, unbounded or refused model."""
    return _kind(result) is not None


def _diagnosis_text(result):
    from . import insight

    diagnosis = result.get("diagnosis") if isinstance(result.get("diagnosis"), dict) else None
    if diagnosis is None:
        message = str(result.get("message") or "").strip()
        return f"The solver reports the status {result.get('status')!r}." + (f" Its words: {message}" if message else ""), "{}"
    summary = "\n".join(insight.diagnosis_lines(diagnosis, limit=20))
    details = json.dumps(diagnosis, ensure_ascii=False, default=str)
    if len(details) > _DIAGNOSIS_CHARS:
        details = details[:_DIAGNOSIS_CHARS] + " ... (cut)"
    return summary, details


def build_repair_prompt(description, grammar_implementation, model_code, data_code, result):
    """The request to fix a model whose solve ``result`` carries a diagnosis."""
    summary, details = _diagnosis_text(result)
    return _REPAIR_PROMPT.format(task=_TASK.get(_kind(result), _TASK["infeasible"]), grammar=grammar_implementation,
                                 description=description, model=model_code, data=data_code, summary=summary,
                                 details=details)


class AlignmentWatch:
    """A progress callback that forwards every line and remembers the last alignment verdict.

    ``aligned`` is True after "Aligned ✓", False after "Not aligned" or after a later attempt that
    does not compile (no verdict covers it), and None while no verdict was given.
    """

    def __init__(self, progress=None):
        self.progress = progress
        self.aligned = None

    def __call__(self, message):
        text = str(message)
        if text.startswith("Aligned"):
            self.aligned = True
        elif text.startswith("Not aligned"):
            self.aligned = False
        elif text.startswith("Syntax/semantic errors found") and self.aligned is not None:
            self.aligned = False
        if self.progress is not None:
            self.progress(message)


def _notify(progress, message):
    if progress is not None:
        progress(message)


def _compile(model_code, data_code):
    from .faultnote import SemanticError
    from .vormo_kernel import VormoCompiler

    try:
        VormoCompiler().compile_model(model_code, data_code)
    except (SyntaxError, SemanticError) as error:
        return [str(error)]
    return []


def _ask(modelsmith, provider, model_name, prompt, temperature, progress, usage):
    reply = modelsmith._llm_generate_text(provider=provider, model_name=model_name, input_text=prompt,
                                          max_tokens=modelsmith.MAX_OUTPUT_TOKENS, temperature=temperature,
                                          progress=progress, capture_usage=True)
    text, used = reply if isinstance(reply, tuple) else (reply, {})
    for key in ("prompt_tokens", "completion_tokens"):
        usage[key] += int((used or {}).get(key) or 0)
    return text


def _pair(modelsmith, text):
    """The (model, data) texts of a reply, or None when the reply holds no usable pair."""
    try:
        parsed = modelsmith._json_loads_relaxed(text or "")
    except (ValueError, TypeError, RuntimeError):
        return None
    if not isinstance(parsed, dict):
        return None
    model, data = parsed.get("model"), parsed.get("data")
    if not isinstance(model, str) or not isinstance(data, str) or not model.strip():
        return None
    return model, data


def repair(description, model_file, data_file, result, *, solve, rounds=2, model_name="gpt-5",
           llm_provider=None, mode=None, temperature=None, alignment_check=False, progress=None):
    """Revise the pair in ``model_file``/``data_file`` until it solves or ``rounds`` requests are made.

    ``solve(model_file, data_file)`` returns a solve result (with ``"diagnosis"`` when not optimal).
    """
    from . import modelsmith, tokenledger

    if isinstance(rounds, bool) or not isinstance(rounds, int) or rounds < 0:
        raise ValueError(f"rounds must be a whole number of at least 0, not {rounds!r}")
    usage = {"prompt_tokens": 0, "completion_tokens": 0}
    record = {"rounds": 0, "limit": rounds, "result": result, "history": [], "changed": False, "aligned": None,
              "rechecked": False}
    if mode is None:
        mode = modelsmith.Grammar.BNF
    provider = modelsmith._infer_provider(llm_provider, model_name)
    grammar = modelsmith._get_grammar_implementation(mode)
    model_path, data_path = Path(model_file), Path(data_file)
    model_code = model_path.read_text(encoding="utf-8")
    data_code = data_path.read_text(encoding="utf-8")
    findings = []
    changed = False
    for number in range(1, rounds + 1):
        if not findings and not needs_repair(result):
            break
        step = f"Repair round {number}/{rounds}"
        if findings:
            _notify(progress, f"{step}: sending the compiler's findings back")
            prompt = modelsmith._build_revision_prompt_syntax(description, grammar, model_code, data_code, findings)
        else:
            _notify(progress, f"{step}: asking the LLM to fix the {_kind(result)} model")
            prompt = build_repair_prompt(description, grammar, model_code, data_code, result)
        text = _ask(modelsmith, provider, model_name, prompt, temperature, progress, usage)
        record["rounds"] = number
        pair = _pair(modelsmith, text)
        if pair is None:
            _notify(progress, f"{step}: the reply holds no model and data; files unchanged")
            record["history"].append({"round": number, "outcome": "unusable_reply"})
            continue
        model_code, data_code = pair
        model_path.write_text(model_code, encoding="utf-8")
        data_path.write_text(data_code, encoding="utf-8")
        changed = True
        findings = _compile(model_code, data_code)
        if findings:
            _notify(progress, f"{step}: the revised pair does not compile ({len(findings)} finding(s))")
            result = {"status": "compile_error", "objective": None, "variables": {}, "finding": "; ".join(findings)}
            record["history"].append({"round": number, "outcome": "compile_error", "findings": findings})
            continue
        _notify(progress, f"{step}: solving the revised pair")
        result = solve(str(model_path), str(data_path))
        status = result.get("status")
        _notify(progress, f"{step}: {status}" + (" \u2713" if status == "optimal" else ""))
        entry = {"round": number, "outcome": status}
        if isinstance(result.get("diagnosis"), dict):
            entry["diagnosis"] = result["diagnosis"].get("kind")
        record["history"].append(entry)
    record["result"] = result
    record["changed"] = changed
    if changed and alignment_check and findings:
        record["aligned"] = False  # no verdict covers a pair that does not compile
    elif changed and alignment_check:
        record["aligned"] = _check_alignment(modelsmith, provider, model_name, description, grammar, model_code,
                                             data_code, temperature, progress, usage, record)
    record["usage"] = usage
    record["cost"] = {"model": model_name, "usage": dict(usage),
                      "estimated_costs": tokenledger.estimate_costs(types.SimpleNamespace(model=model_name), usage)}
    return record


def _check_alignment(modelsmith, provider, model_name, description, grammar, model_code, data_code, temperature,
                     progress, usage, record):
    """The alignment verdict on the repaired pair (False when the reply holds none)."""
    _notify(progress, "Checking the repaired pair's alignment with the description")
    prompt = modelsmith._build_alignment_prompt(description, grammar, model_code, data_code)
    text = _ask(modelsmith, provider, model_name, prompt, None if temperature is None else 0.0, progress, usage)
    record["rechecked"] = True
    try:
        verdict = modelsmith._json_loads_relaxed(text or "")
    except (ValueError, TypeError, RuntimeError):
        verdict = None
    if isinstance(verdict, dict) and isinstance(verdict.get("aligned"), bool):
        record["assessment"] = str(verdict.get("assessment") or "").strip()
        _notify(progress, "Aligned \u2713" if verdict["aligned"] else "Not aligned after the repair")
        return verdict["aligned"]
    return False
