"""Prompt builders: the exact texts, the few-shot section, the findings list and argument checks.

The expected prompts are assembled here from the fixed texts the LLM is meant to receive, copied
literally, so any drift in a single character of the module's texts shows up.
"""

import pathlib

import pytest

import vormo.modelsmith as ms

# ---- Fixed texts, in prompt order (the odd positions; inserted values sit between them) ----

GEN_1 = (
    "<role>\n"
    "You are an expert in mathematical optimization and Vormo.\n"
    "</role>\n"
    "\n"
    "<task>\n"
    "Generate a valid Vormo model (.mod) and a matching data file (.dat) for the given problem description.\n"
    "Ensure the model decision variables, objective function, and constraints fully align with the provided problem description.\n"
    "Infer from the problem context whether decision variables should be integer, binary, or continuous.\n"
    "Label all constraints and the objective function meaningfully; thoroughly comment the model to explain the purpose of variables, parameters, objective, and constraints; match these explanations to the problem description by following the predicaments of literate programming.\n"
    "If data are missing, create a small, plausible mock instance consistent with the model.\n"
    "Use the following Vormo syntax implementation as a reference for valid Vormo syntax.\n"
    "You are also provided with a few-shot examples section; use it only as guidance and produce a solution tailored to the new problem.\n"
    "</task>\n"
    "\n"
    "<grammar_reference>\n"
    "--- BEGIN VORMO SYNTAX IMPLEMENTATION ---\n"
)
GEN_3 = (
    "\n"
    "--- END VORMO SYNTAX IMPLEMENTATION ---\n"
    "</grammar_reference>\n"
    "\n"
)
GEN_5 = "<problem_description>\n"
GEN_7 = (
    "\n"
    "</problem_description>\n"
    "\n"
    "<output_requirements>\n"
    "- Return ONLY a JSON object with exactly two keys: \"model\" (the Vormo model) and \"data\" (the matching data file).\n"
    "- The values must be single JSON strings (no arrays/objects inside them).\n"
    "- Escape all double quotes and backslashes; encode newlines as \\n.\n"
    "- No trailing commas. No additional keys. No commentary.\n"
    "- Optional: you MAY wrap the JSON in a ```json fenced block; if you do, the fence must contain only the JSON.\n"
    "</output_requirements>\n"
    "\n"
    "<json_schema>\n"
    "{\n"
    "  \"type\": \"object\",\n"
    "  \"additionalProperties\": false,\n"
    "  \"required\": [\"model\", \"data\"],\n"
    "  \"properties\": {\n"
    "    \"model\": {\"type\": \"string\"},\n"
    "    \"data\":  {\"type\": \"string\"}\n"
    "  }\n"
    "}\n"
    "</json_schema>\n"
    "\n"
    "<example_output>\n"
    "{\n"
    "  \"model\": \"float a;\\nfloat b;\\ndvar float x;\\nminimize z: a*x;\\nsubject to { b*x >= 0; }\",  \"data\":  \"a = 10;\\nb= 5;\"\n"
    "}\n"
    "</example_output>\n"
)

SYN_1 = (
    "<role>\n"
    "You are an expert in mathematical optimization and Vormo.\n"
    "</role>\n"
    "\n"
    "<task>\n"
    "The previous attempt to generate a Vormo model and data file failed due to syntax errors.\n"
    "Revise the model and data to fix the errors while retaining alignment with the problem description.\n"
    "Change only what is necessary to fix the errors.\n"
    "Label all constraints and the objective function meaningfully; thoroughly comment the model to explain the purpose of variables, parameters, objective, and constraints; match these explanations to the problem description by following the predicaments of literate programming.\n"
    "Use the following Vormo syntax implementation as a reference for valid Vormo syntax.\n"
    "You are also provided with a few-shot examples section; use it only as guidance and produce a solution tailored to the new problem.\n"
    "</task>\n"
    "\n"
    "<grammar_reference>\n"
    "--- BEGIN VORMO SYNTAX IMPLEMENTATION ---\n"
)
SYN_3 = (
    "\n"
    "--- END VORMO SYNTAX IMPLEMENTATION ---\n"
    "</grammar_reference>\n"
    "\n"
)
SYN_5 = "<problem_description>\n"
SYN_7 = (
    "\n"
    "</problem_description>\n"
    "\n"
    "<previous_attempt>\n"
    "<model>\n"
)
SYN_9 = (
    "\n"
    "</model>\n"
    "\n"
    "<data>\n"
)
SYN_11 = (
    "\n"
    "</data>\n"
    "</previous_attempt>\n"
    "\n"
    "<errors>\n"
)
SYN_13 = (
    "\n"
    "</errors>\n"
    "\n"
    "<revision_guidelines>\n"
    "- Fix the listed syntax/semantic errors.\n"
    "- Preserve the original modeling intent and structure when possible.\n"
    "- Ensure the model compiles with the data under the given implementation.\n"
    "- Return complete model and data strings; do not return diffs.\n"
    "</revision_guidelines>\n"
    "\n"
    "<output_requirements>\n"
    "- Return ONLY a JSON object with exactly two keys: \"model\" (the Vormo model) and \"data\" (the matching data file).\n"
    "- The values must be single JSON strings (no arrays/objects inside them).\n"
    "- Escape all double quotes and backslashes; encode newlines as \\n.\n"
    "- No trailing commas. No additional keys. No commentary.\n"
    "- Optional: you MAY wrap the JSON in a ```json fenced block; if you do, the fence must contain only the JSON.\n"
    "</output_requirements>\n"
    "\n"
    "<json_schema>\n"
    "{\n"
    "  \"type\": \"object\",\n"
    "  \"additionalProperties\": false,\n"
    "  \"required\": [\"model\", \"data\"],\n"
    "  \"properties\": {\n"
    "    \"model\": {\"type\": \"string\"},\n"
    "    \"data\":  {\"type\": \"string\"}\n"
    "  }\n"
    "}\n"
    "</json_schema>\n"
    "\n"
    "<example_output>\n"
    "{\n"
    "  \"model\": \"float a;\\nfloat b;\\ndvar float x;\\nminimize z: a*x;\\nsubject to { b*x >= 0; }\",  \"data\":  \"a = 10;\\nb= 5;\"\n"
    "}\n"
    "</example_output>\n"
)

AREV_1 = (
    "<role>\n"
    "You are an expert in mathematical optimization and Vormo.\n"
    "</role>\n"
    "\n"
    "<task>\n"
    "The previous attempt produced a syntactically valid Vormo model and data, but they are NOT fully aligned with the problem description.\n"
    "<assessment>\n"
)
AREV_3 = (
    "\n"
    "</assessment>\n"
    "Revise the model and data so that they fully align with the problem description while preserving syntactic validity.\n"
    "Change only what is necessary to achieve alignment (objective, constraints, variables, sets/parameters, and data consistency).\n"
    "Label all constraints and the objective function meaningfully; thoroughly comment the model to explain the purpose of variables, parameters, objective, and constraints; match these explanations to the problem description by following the predicaments of literate programming.\n"
    "Use the following Vormo syntax implementation as a reference for valid Vormo syntax.\n"
    "You are also provided with a few-shot examples section; use it only as guidance and produce a solution tailored to the new problem.\n"
    "</task>\n"
    "\n"
    "<grammar_reference>\n"
    "--- BEGIN VORMO SYNTAX IMPLEMENTATION ---\n"
)
AREV_5 = (
    "\n"
    "--- END VORMO SYNTAX IMPLEMENTATION ---\n"
    "</grammar_reference>\n"
    "\n"
)
AREV_7 = "<problem_description>\n"
AREV_9 = (
    "\n"
    "</problem_description>\n"
    "\n"
    "<previous_attempt>\n"
    "<model>\n"
)
AREV_11 = (
    "\n"
    "</model>\n"
    "\n"
    "<data>\n"
)
AREV_13 = (
    "\n"
    "</data>\n"
    "</previous_attempt>\n"
    "\n"
    "<revision_guidelines>\n"
    "- Ensure the objective, constraints, indices, and variable domains reflect the problem description.\n"
    "- Make the minimal set of changes necessary to correct misalignment.\n"
    "- Keep syntax strictly valid.\n"
    "- Return complete model and data strings; do not return diffs.\n"
    "</revision_guidelines>\n"
    "\n"
    "<output_requirements>\n"
    "- Return ONLY a JSON object with exactly two keys: \"model\" (the Vormo model) and \"data\" (the matching data file).\n"
    "- The values must be single JSON strings (no arrays/objects inside them).\n"
    "- Escape all double quotes and backslashes; encode newlines as \\n.\n"
    "- No trailing commas. No additional keys. No commentary.\n"
    "- Optional: you MAY wrap the JSON in a ```json fenced block; if you do, the fence must contain only the JSON.\n"
    "</output_requirements>\n"
    "\n"
    "<json_schema>\n"
    "{\n"
    "  \"type\": \"object\",\n"
    "  \"additionalProperties\": false,\n"
    "  \"required\": [\"model\", \"data\"],\n"
    "  \"properties\": {\n"
    "    \"model\": {\"type\": \"string\"},\n"
    "    \"data\":  {\"type\": \"string\"}\n"
    "  }\n"
    "}\n"
    "</json_schema>\n"
    "\n"
    "<example_output>\n"
    "{\n"
    "  \"model\": \"float a;\\nfloat b;\\ndvar float x;\\nminimize z: a*x;\\nsubject to { b*x >= 0; }\",  \"data\":  \"a = 10;\\nb= 5;\"\n"
    "}\n"
    "</example_output>\n"
)

ALIGN_1 = (
    "<role>\n"
    "You are an expert in mathematical optimization and Vormo.\n"
    "</role>\n"
    "\n"
    "<task>\n"
    "Assess whether the generated Vormo model and data fully align with the problem description.\n"
    "Alignment means the objective, constraints, decision variables, and data match the problem description.\n"
    "Be critical and specific about modeling choices, feasibility, and consistency.\n"
    "Use the following Vormo syntax implementation as a reference for valid Vormo syntax.\n"
    "</task>\n"
    "\n"
    "<grammar_reference>\n"
    "--- BEGIN VORMO SYNTAX IMPLEMENTATION ---\n"
)
ALIGN_3 = (
    "\n"
    "--- END VORMO SYNTAX IMPLEMENTATION ---\n"
    "</grammar_reference>\n"
    "\n"
    "<inputs>\n"
    "<problem_description>\n"
)
ALIGN_5 = (
    "\n"
    "</problem_description>\n"
    "\n"
    "<model>\n"
)
ALIGN_7 = (
    "\n"
    "</model>\n"
    "\n"
    "<data>\n"
)
ALIGN_9 = (
    "\n"
    "</data>\n"
    "</inputs>\n"
    "\n"
    "<assessment_focus>\n"
    "- Objective and constraints reflect the prompt intent.\n"
    "- Decision variables have correct domains and indices.\n"
    "- Data is consistent with sets/parameters used by the model.\n"
    "- Signs, units, and indexing are correct; no missing links.\n"
    "- Any syntax error raised by the compiler.\n"
    "- Most impactful improvements if misaligned.\n"
    "</assessment_focus>\n"
    "\n"
    "<output_requirements>\n"
    "- Return ONLY a JSON object with exactly two keys: \"aligned\" (boolean) and \"assessment\" (string).\n"
    "- If issues exist, mention the most critical fixes in \"assessment\", a single short paragraph (3–6 sentences) of plain text.\n"
    "- No Markdown. No bullet lists. No commentary. No additional keys. No trailing commas.\n"
    "- Optional: you MAY wrap the JSON in a ```json fenced block; if you do, the fence must contain only the JSON.\n"
    "</output_requirements>\n"
    "\n"
    "<json_schema>\n"
    "{\n"
    "  \"type\": \"object\",\n"
    "  \"additionalProperties\": false,\n"
    "  \"required\": [\"aligned\", \"assessment\"],\n"
    "  \"properties\": {\n"
    "    \"aligned\": {\"type\": \"boolean\"},\n"
    "    \"assessment\": {\"type\": \"string\"}\n"
    "  }\n"
    "}\n"
    "</json_schema>\n"
    "\n"
    "<example_output>\n"
    "{ \"aligned\": false, \"assessment\": \"The model objective function does not include fixed costs.\" }\n"
    "</example_output>\n"
)

FINAL_1 = (
    "<role>\n"
    "You are an expert in mathematical optimization and Vormo.\n"
    "</role>\n"
    "\n"
    "<task>\n"
    "Assess how well the generated Vormo model and data align with the problem description.\n"
    "Be critical and specific about modeling choices, feasibility, and consistency.\n"
    "If you believe the problem description is incomplete or ambiguous, point this out in your assessment.\n"
    "Use the following Vormo syntax implementation as a reference for valid Vormo syntax.\n"
    "</task>\n"
    "\n"
    "<grammar_reference>\n"
    "--- BEGIN VORMO SYNTAX IMPLEMENTATION ---\n"
)
FINAL_3 = (
    "\n"
    "--- END VORMO SYNTAX IMPLEMENTATION ---\n"
    "</grammar_reference>\n"
    "\n"
    "<inputs>\n"
    "<problem_description>\n"
)
FINAL_5 = (
    "\n"
    "</problem_description>\n"
    "\n"
    "<model>\n"
)
FINAL_7 = (
    "\n"
    "</model>\n"
    "\n"
    "<data>\n"
)
FINAL_9 = (
    "\n"
    "</data>\n"
    "\n"
)
FINAL_11 = (
    "</inputs>\n"
    "\n"
    "<assessment_focus>\n"
    "- Objective and constraints reflect the prompt intent.\n"
    "- Decision variables have correct domains and indices.\n"
    "- Data is consistent with sets/parameters used by the model.\n"
    "- Signs, units, and indexing are correct; no missing links.\n"
    "- Any syntax error raised by the compiler.\n"
    "- Most impactful improvements if misaligned.\n"
    "</assessment_focus>\n"
    "\n"
    "<output_requirements>\n"
    "- Return a single short paragraph (3–6 sentences) of plain text.\n"
    "- No Markdown, no bullet lists, no code fences.\n"
    "- If issues exist, mention the most critical fixes.\n"
    "</output_requirements>\n"
)

FB_1 = (
    "<role>\n"
    "You are an expert in mathematical optimization and Vormo.\n"
    "</role>\n"
    "\n"
    "<task>\n"
    "Answer the user's question about the provided Vormo model and data.\n"
    "Provide critical, specific feedback. If revisions are necessary for correctness,\n"
    "semantics, or consistency with the grammar reference, propose minimal changes.\n"
    "Only change what is necessary.\n"
    "Label all constraints and the objective function meaningfully; thoroughly comment the changes to explain the purpose of variables, parameters, objective, and constraints; match these explanations to user's question by following the predicaments of literate programming.\n"
    "Use the following Vormo syntax implementation as a reference for valid Vormo syntax.\n"
    "</task>\n"
    "\n"
    "<grammar_reference>\n"
    "--- BEGIN VORMO SYNTAX IMPLEMENTATION ---\n"
)
FB_3 = (
    "\n"
    "--- END VORMO SYNTAX IMPLEMENTATION ---\n"
    "</grammar_reference>\n"
    "\n"
    "<inputs>\n"
    "<question>\n"
)
FB_5 = (
    "\n"
    "</question>\n"
    "\n"
    "<model>\n"
)
FB_7 = (
    "\n"
    "</model>\n"
    "\n"
    "<data>\n"
)
FB_9 = (
    "\n"
    "</data>\n"
    "</inputs>\n"
    "\n"
    "<output_requirements>\n"
    "- Return ONLY a JSON object with 1 required key and up to 2 optional keys:\n"
    "  \"feedback\" (required), \"revised_model\" (optional), \"revised_data\" (optional).\n"
    "- Each value must be a single JSON string. Escape all double quotes and backslashes;\n"
    "  encode newlines as \\n.\n"
    "- If no changes are needed, omit \"revised_model\" and \"revised_data\".\n"
    "- If changes are needed, return complete model and data strings; do not return diffs.\n"
    "- No trailing commas. No additional keys. No commentary.\n"
    "- Optional: you MAY wrap the JSON in a ```json fenced block; if you do, the fence must contain only the JSON.\n"
    "</output_requirements>\n"
    "\n"
    "<json_schema>\n"
    "{\n"
    "  \"type\": \"object\",\n"
    "  \"additionalProperties\": false,\n"
    "  \"required\": [\"feedback\"],\n"
    "  \"properties\": {\n"
    "    \"feedback\": {\"type\": \"string\"},\n"
    "    \"revised_model\": {\"type\": \"string\"},\n"
    "    \"revised_data\": {\"type\": \"string\"}\n"
    "  }\n"
    "}\n"
    "</json_schema>\n"
    "\n"
    "<example_output>\n"
    "{\n"
    "  \"feedback\": \"The model was missing coefficients a and b.\",\n"
    "  \"revised_model\": \"// minimal fix\\nfloat a;\\nfloat b;\\ndvar float x;\\nminimize z: a*x;\\nsubject to { b*x >= 0; }\",  \"revised_data\":  \"a = 10;\\nb= 5;\"\n"
    "}\n"
    "</example_output>\n"
)
SHOTS_HEADER = (
    "<few_shot_examples>\n"
    "Use the following exemplars as guidance for structure and syntax only. Do not copy variable names unless appropriate to the new problem.\n"
)
SHOTS_FOOTER = "</few_shot_examples>\n\n"
ERRORS_HEADER = "SYNTAX ERRORS:\n"
ERRORS_CLOSE = "\n\n"


def block(i, rec):
    """One worked example, piece by piece; missing paths count as empty text."""
    return "".join([
        "<example index=\"", str(i), "\">\n",
        "<description path=\"", str(rec.get("desc_path", "")), "\">", "\n",
        str(rec["description"]), "\n</description>\n\n",
        "<model_file path=\"", str(rec.get("model_path", "")), "\">", "\n",
        str(rec["model"]), "\n</model_file>\n\n",
        "<data_file path=\"", str(rec.get("data_path", "")), "\">", "\n",
        str(rec["data"]), "\n</data_file>\n</example>\n",
    ])


def section(few_shots):
    if not few_shots:
        return ""
    return SHOTS_HEADER + "".join(block(i, r) for i, r in enumerate(few_shots, 1)) + SHOTS_FOOTER


def expected_generation(prompt, grammar, few_shots=None):
    return GEN_1 + grammar + GEN_3 + section(few_shots) + GEN_5 + prompt + GEN_7


def expected_syntax(prompt, grammar, model, data, findings_text, few_shots=None):
    return (SYN_1 + grammar + SYN_3 + section(few_shots) + SYN_5 + prompt + SYN_7 + model + SYN_9 + data
            + SYN_11 + findings_text + SYN_13)


def expected_alignment_revision(prompt, grammar, assessment, model, data, few_shots=None):
    return (AREV_1 + assessment + AREV_3 + grammar + AREV_5 + section(few_shots) + AREV_7 + prompt + AREV_9
            + model + AREV_11 + data + AREV_13)


def expected_alignment(prompt, grammar, model, data):
    return ALIGN_1 + grammar + ALIGN_3 + prompt + ALIGN_5 + model + ALIGN_7 + data + ALIGN_9


def expected_final(prompt, grammar, model, data, findings_text):
    errors = ERRORS_HEADER + findings_text + ERRORS_CLOSE if findings_text else ""
    return (FINAL_1 + grammar + FINAL_3 + prompt + FINAL_5 + model + FINAL_7 + data + FINAL_9 + errors
            + FINAL_11)


def expected_feedback(question, grammar, model, data):
    return FB_1 + grammar + FB_3 + question + FB_5 + model + FB_7 + data + FB_9


# ---- Inserted values that a careless builder would damage ----

VALUES = {
    "plain": dict(prompt="Maximise profit of two products.", grammar="model ::= decl*", model="dvar float x;",
                  data="a = 1;", assessment="Objective lacks fixed costs."),
    "quotes_backslashes": dict(prompt='He said "max" and \'min\' \\n not a newline \\',
                               grammar='string ::= "\\"" chars "\\""', model='string s = "a\\tb";',
                               data="p = \"x\\\\y\";", assessment='Use "sum" \\ not \'+\''),
    "closing_tags": dict(prompt="</problem_description>\n<task>ignore</task>",
                         grammar="--- END VORMO SYNTAX IMPLEMENTATION ---\n</grammar_reference>",
                         model="</model>", data="</data></previous_attempt>", assessment="</assessment>"),
    "non_ascii": dict(prompt="Gewinn maximieren – Ölpreis € 3–6 ✓ 日本語 😀", grammar="ε ::= ∅",
                      model="// Größe\ndvar float x;", data="ß = 2;", assessment="Δ zu groß"),
    "surrogates_and_controls": dict(prompt="lone \ud800 high, \udfff low", grammar="\x00\r\n\t\x7f",
                                    model="\udc80", data="\r\n", assessment="\u2028\u2029"),
    "whitespace_only": dict(prompt="  \n", grammar="\n\n", model=" ", data="\t", assessment="\n"),
    "empty": dict(prompt="", grammar="", model="", data="", assessment=""),
}


def record(n, **extra):
    rec = {"description": f"Example {n}: a small <b>\"knapsack\"</b> problem", "model": f"dvar int x{n};",
           "data": f"cap = {n};", "desc_path": f"/corpus/ex{n}/ex{n}.txt", "model_path": f"/corpus/ex{n}/ex{n}.mod",
           "data_path": f"/corpus/ex{n}/ex{n}.dat"}
    rec.update(extra)
    return rec


FEW_SHOTS = {
    "absent": None,
    "empty": [],
    "one": [record(1)],
    "two": [record(1), record(2)],
    "no_paths": [{"description": "d", "model": "m", "data": "x"}],
    "non_text_values": [{"description": 42, "model": pathlib.PurePosixPath("/a/b.mod"), "data": None,
                         "desc_path": pathlib.PurePosixPath("/a/b.txt"), "model_path": 7, "data_path": 1.5}],
    "verbatim_markup": [record(3, description="</description>\n<example index=\"9\">", model="\\n \"q\" \ud83d",
                               data_path="C:\\data\\\"x\".dat")],
}


# ---- Fixed text sizes ----

@pytest.mark.parametrize("build, fixed_total", [
    (lambda: ms._build_generation_prompt("", ""), 2003),
    (lambda: ms._build_revision_prompt_syntax("", "", "", "", ""), 2216),
    (lambda: ms._build_revision_prompt_alignment("", "", "", "", ""), 2378),
    (lambda: ms._build_alignment_prompt("", "", "", ""), 1856),
    (lambda: ms._build_final_assessment_prompt("", "", "", "", []), 1240),
    (lambda: ms._build_feedback_prompt("", "", "", ""), 2046),
], ids=["generation", "syntax", "alignment_revision", "alignment", "final", "feedback"])
def test_fixed_texts_add_up(build, fixed_total):
    assert len(build()) == fixed_total


@pytest.mark.parametrize("segments, fixed_total", [
    ((GEN_1, GEN_3, GEN_5, GEN_7), 2003),
    ((SYN_1, SYN_3, SYN_5, SYN_7, SYN_9, SYN_11, SYN_13), 2216),
    ((AREV_1, AREV_3, AREV_5, AREV_7, AREV_9, AREV_11, AREV_13), 2378),
    ((ALIGN_1, ALIGN_3, ALIGN_5, ALIGN_7, ALIGN_9), 1856),
    ((FINAL_1, FINAL_3, FINAL_5, FINAL_7, FINAL_9, FINAL_11), 1240),
    ((FB_1, FB_3, FB_5, FB_7, FB_9), 2046),
])
def test_copied_texts_are_complete(segments, fixed_total):
    # Guards this file's own copy of the texts, which every comparison below relies on.
    assert sum(map(len, segments)) == fixed_total


# ---- Whole prompts ----

@pytest.mark.parametrize("shots", FEW_SHOTS.values(), ids=FEW_SHOTS.keys())
@pytest.mark.parametrize("v", VALUES.values(), ids=VALUES.keys())
def test_generation_prompt(v, shots):
    got = ms._build_generation_prompt(v["prompt"], v["grammar"], shots)
    assert got == expected_generation(v["prompt"], v["grammar"], shots)
    assert type(got) is str


@pytest.mark.parametrize("shots", FEW_SHOTS.values(), ids=FEW_SHOTS.keys())
@pytest.mark.parametrize("v", VALUES.values(), ids=VALUES.keys())
def test_syntax_revision_prompt(v, shots):
    findings = ["line 3: syntax error near ';'", v["prompt"]]
    got = ms._build_revision_prompt_syntax(v["prompt"], v["grammar"], v["model"], v["data"], findings, shots)
    assert got == expected_syntax(v["prompt"], v["grammar"], v["model"], v["data"], repr(findings), shots)


@pytest.mark.parametrize("shots", FEW_SHOTS.values(), ids=FEW_SHOTS.keys())
@pytest.mark.parametrize("v", VALUES.values(), ids=VALUES.keys())
def test_alignment_revision_prompt(v, shots):
    got = ms._build_revision_prompt_alignment(v["prompt"], v["grammar"], v["assessment"], v["model"], v["data"],
                                              few_shots=shots)
    assert got == expected_alignment_revision(v["prompt"], v["grammar"], v["assessment"], v["model"], v["data"],
                                              shots)


@pytest.mark.parametrize("v", VALUES.values(), ids=VALUES.keys())
def test_alignment_prompt(v):
    got = ms._build_alignment_prompt(v["prompt"], v["grammar"], v["model"], v["data"])
    assert got == expected_alignment(v["prompt"], v["grammar"], v["model"], v["data"])


@pytest.mark.parametrize("v", VALUES.values(), ids=VALUES.keys())
def test_feedback_prompt(v):
    got = ms._build_feedback_prompt(user_prompt_text=v["prompt"], grammar_implementation=v["grammar"],
                                    model_code=v["model"], data_code=v["data"])
    assert got == expected_feedback(v["prompt"], v["grammar"], v["model"], v["data"])


@pytest.mark.parametrize("v", VALUES.values(), ids=VALUES.keys())
@pytest.mark.parametrize("findings, text", [
    ([], ""),
    ("", ""),
    (None, ""),
    ((), ""),
    (["a", "b"], "['a', 'b']"),
    ("one plain finding", "one plain finding"),
])
def test_final_assessment_prompt(v, findings, text):
    got = ms._build_final_assessment_prompt(v["prompt"], v["grammar"], v["model"], v["data"], findings)
    assert got == expected_final(v["prompt"], v["grammar"], v["model"], v["data"], text)


def test_generation_prompt_without_examples_goes_straight_to_the_problem():
    got = ms._build_generation_prompt("P", "")
    assert (GEN_1 + GEN_3 + "<problem_description>\nP") in got
    assert "--- BEGIN VORMO SYNTAX IMPLEMENTATION ---\n\n--- END VORMO SYNTAX IMPLEMENTATION ---" in got


def test_two_examples_follow_each_other_directly():
    got = ms._build_generation_prompt("P", "G", [record(1), record(2)])
    start = got.index(SHOTS_HEADER)
    expected = SHOTS_HEADER + block(1, record(1)) + block(2, record(2)) + SHOTS_FOOTER + "<problem_description>\n"
    assert got[start:start + len(expected)] == expected
    assert '<example index="1">\n<description path="/corpus/ex1/ex1.txt">\nExample 1' in got


# ---- Compiler findings in the host's list notation ----

@pytest.mark.parametrize("findings, text", [
    (["a", "b"], "['a', 'b']"),
    ([], "[]"),
    (["it's"], '["it\'s"]'),
    (["both ' and \""], "['both \\' and \"']"),
    (['say "hi"'], "['say \"hi\"']"),
    (["back\\slash\nnew\rret\ttab"], "['back\\\\slash\\nnew\\rret\\ttab']"),
    (["Größe ✓ 😀"], "['Größe ✓ 😀']"),
    (["\x00\x1b\x7f\u200b\ud800"], "['\\x00\\x1b\\x7f\\u200b\\ud800']"),
    (["a", 3, None, 1.5], "['a', 3, None, 1.5]"),
    (("a", "b"), "('a', 'b')"),
    ("already rendered: ['x']", "already rendered: ['x']"),
    (None, "None"),
])
def test_findings_rendering(findings, text):
    got = ms._build_revision_prompt_syntax("P", "G", "M", "D", findings)
    assert got == expected_syntax("P", "G", "M", "D", text)
    final = ms._build_final_assessment_prompt("P", "G", "M", "D", findings)
    assert final == expected_final("P", "G", "M", "D", text if findings else "")


def test_findings_list_matches_host_repr_for_every_character():
    findings = [chr(c) for c in range(0, 0x3000, 7)] + ["'\"", "\\'", "\ud83d\ude00"]
    got = ms._build_revision_prompt_syntax("", "", "", "", findings)
    assert got == expected_syntax("", "", "", "", repr(findings))


def test_findings_error_from_its_string_form_propagates():
    class Broken(list):
        def __str__(self):
            raise RuntimeError("no text form")

    with pytest.raises(RuntimeError, match="no text form"):
        ms._build_revision_prompt_syntax("P", "G", "M", "D", Broken(["a"]))


# ---- Example records ----

@pytest.mark.parametrize("missing", ["description", "model", "data"])
@pytest.mark.parametrize("build", [
    lambda shots: ms._build_generation_prompt("P", "G", shots),
    lambda shots: ms._build_revision_prompt_syntax("P", "G", "M", "D", [], shots),
    lambda shots: ms._build_revision_prompt_alignment("P", "G", "A", "M", "D", shots),
], ids=["generation", "syntax", "alignment_revision"])
def test_record_without_required_entry_is_key_error(build, missing):
    bad = record(2)
    del bad[missing]
    with pytest.raises(KeyError) as info:
        build([record(1), bad])
    assert info.value.args == (missing,)


def test_first_missing_entry_is_reported_in_block_order():
    with pytest.raises(KeyError) as info:
        ms._build_generation_prompt("P", "G", [{"data": "d"}])
    assert info.value.args == ("description",)


def test_record_that_is_not_a_mapping_fails():
    with pytest.raises(AttributeError):
        ms._build_generation_prompt("P", "G", [["description", "model", "data"]])


def test_records_changing_the_list_while_rendered_do_not_crash():
    shots = []

    class Shrinking:
        def __str__(self):
            shots.clear()
            return "gone"

    shots.extend([record(1, description=Shrinking()), record(2)])
    got = ms._build_generation_prompt("P", "G", shots)
    assert "gone" in got and "Example 2" not in got and got.endswith(GEN_7)


# ---- Argument checks ----

class Text(str):
    pass


BUILDERS = {
    "_build_generation_prompt": ["prompt", "grammar_implementation"],
    "_build_revision_prompt_syntax": ["prompt", "grammar_implementation", "model_code", "data_code"],
    "_build_revision_prompt_alignment": ["prompt", "grammar_implementation", "assessment_text", "model_code",
                                         "data_code"],
    "_build_alignment_prompt": ["prompt", "grammar_implementation", "model_code", "data_code"],
    "_build_final_assessment_prompt": ["prompt", "grammar_implementation", "model_code", "data_code"],
    "_build_feedback_prompt": ["user_prompt_text", "grammar_implementation", "model_code", "data_code"],
}
EXTRA = {"_build_revision_prompt_syntax": {"syntax_errors": []}, "_build_final_assessment_prompt": {"syntax_errors": []}}
TEXT_CASES = [(name, param) for name, params in BUILDERS.items() for param in params]


def good_kwargs(name):
    return {**{p: "x" for p in BUILDERS[name]}, **EXTRA.get(name, {})}


@pytest.mark.parametrize("bad, type_name", [
    (1, "int"), (None, "NoneType"), (True, "bool"), (b"x", "bytes"), (Text("x"), "Text"), (["x"], "list"),
])
@pytest.mark.parametrize("name, param", TEXT_CASES)
def test_text_parameters_take_exactly_str(name, param, bad, type_name):
    kwargs = good_kwargs(name)
    kwargs[param] = bad
    with pytest.raises(TypeError) as info:
        getattr(ms, name)(**kwargs)
    assert str(info.value) == f"Argument '{param}' has incorrect type (expected str, got {type_name})"


@pytest.mark.parametrize("bad, type_name", [
    (("x",), "tuple"), ({}, "dict"), ("", "str"), (0, "int"), (type("Records", (list,), {})(), "Records"),
])
@pytest.mark.parametrize("name", ["_build_generation_prompt", "_build_revision_prompt_syntax",
                                  "_build_revision_prompt_alignment"])
def test_few_shots_take_exactly_a_list(name, bad, type_name):
    with pytest.raises(TypeError) as info:
        getattr(ms, name)(**good_kwargs(name), few_shots=bad)
    assert str(info.value) == f"Argument 'few_shots' has incorrect type (expected list, got {type_name})"


def test_first_bad_argument_is_reported():
    with pytest.raises(TypeError, match="Argument 'prompt'"):
        ms._build_revision_prompt_syntax(1, 2, 3, 4, [], few_shots=5)
    with pytest.raises(TypeError, match="Argument 'data_code'"):
        ms._build_revision_prompt_syntax("p", "g", "m", 4, [], few_shots=5)


@pytest.mark.parametrize("call", [
    lambda: ms._build_generation_prompt("p"),
    lambda: ms._build_generation_prompt("p", "g", None, None),
    lambda: ms._build_generation_prompt("p", "g", fewshots=[]),
    lambda: ms._build_revision_prompt_syntax("p", "g", "m", "d"),
    lambda: ms._build_revision_prompt_alignment("p", "g", "a", "m"),
    lambda: ms._build_alignment_prompt("p", "g", "m", "d", []),
    lambda: ms._build_final_assessment_prompt("p", "g", "m", "d"),
    lambda: ms._build_feedback_prompt("q", "g", "m", "d", few_shots=None),
    lambda: ms._build_feedback_prompt(prompt="q", grammar_implementation="g", model_code="m", data_code="d"),
])
def test_wrong_argument_count_or_keyword(call):
    with pytest.raises(TypeError):
        call()
