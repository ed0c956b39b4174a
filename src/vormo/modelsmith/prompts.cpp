// The prompt texts sent to the LLM: generation, the two revisions, the alignment check, the final
// assessment and the feedback question. Every builder is a pure function: it checks its arguments,
// lays out fixed texts and inserted values in order and joins them once. Inserted values are
// carried verbatim (no trimming, no escaping), so any str, lone surrogates included, survives.
#include "modelsmith/building_blocks.hpp"

#include <string_view>

#include "hostkit/hostkit.hpp"

namespace modelsmith {
namespace py = pybind11;

namespace {

// A fixed text of a prompt. The str object is made once, when the module loads, and kept for the
// life of the interpreter (never released, so no static destructor touches the host at exit).
struct Segment {
    std::string_view text;
    PyObject* str = nullptr;
};

// ---- Generation, syntax revision, alignment revision ----

Segment gen_open{R"TXT(<role>
You are an expert in mathematical optimization and Vormo.
</role>

<task>
Generate a valid Vormo model (.mod) and a matching data file (.dat) for the given problem description.
Ensure the model decision variables, objective function, and constraints fully align with the provided problem description.
Infer from the problem context whether decision variables should be integer, binary, or continuous.
Label all constraints and the objective function meaningfully; thoroughly comment the model to explain the purpose of variables, parameters, objective, and constraints; match these explanations to the problem description by following the predicaments of literate programming.
If data are missing, create a small, plausible mock instance consistent with the model.
Use the following Vormo syntax implementation as a reference for valid Vormo syntax.
You are also provided with a few-shot examples section; use it only as guidance and produce a solution tailored to the new problem.
</task>

<grammar_reference>
--- BEGIN VORMO SYNTAX IMPLEMENTATION ---
)TXT"};
Segment gen_grammar_close{R"TXT(
--- END VORMO SYNTAX IMPLEMENTATION ---
</grammar_reference>

)TXT"};
Segment gen_problem_open{R"TXT(<problem_description>
)TXT"};
Segment gen_close{R"TXT(
</problem_description>

<output_requirements>
- Return ONLY a JSON object with exactly two keys: "model" (the Vormo model) and "data" (the matching data file).
- The values must be single JSON strings (no arrays/objects inside them).
- Escape all double quotes and backslashes; encode newlines as \n.
- No trailing commas. No additional keys. No commentary.
- Optional: you MAY wrap the JSON in a ```json fenced block; if you do, the fence must contain only the JSON.
</output_requirements>

<json_schema>
{
  "type": "object",
  "additionalProperties": false,
  "required": ["model", "data"],
  "properties": {
    "model": {"type": "string"},
    "data":  {"type": "string"}
  }
}
</json_schema>

<example_output>
{
  "model": "float a;\nfloat b;\ndvar float x;\nminimize z: a*x;\nsubject to { b*x >= 0; }",  "data":  "a = 10;\nb= 5;"
}
</example_output>
)TXT"};

Segment syn_open{R"TXT(<role>
You are an expert in mathematical optimization and Vormo.
</role>

<task>
The previous attempt to generate a Vormo model and data file failed due to syntax errors.
Revise the model and data to fix the errors while retaining alignment with the problem description.
Change only what is necessary to fix the errors.
Label all constraints and the objective function meaningfully; thoroughly comment the model to explain the purpose of variables, parameters, objective, and constraints; match these explanations to the problem description by following the predicaments of literate programming.
Use the following Vormo syntax implementation as a reference for valid Vormo syntax.
You are also provided with a few-shot examples section; use it only as guidance and produce a solution tailored to the new problem.
</task>

<grammar_reference>
--- BEGIN VORMO SYNTAX IMPLEMENTATION ---
)TXT"};
Segment syn_grammar_close{R"TXT(
--- END VORMO SYNTAX IMPLEMENTATION ---
</grammar_reference>

)TXT"};
Segment syn_problem_open{R"TXT(<problem_description>
)TXT"};
Segment syn_model_open{R"TXT(
</problem_description>

<previous_attempt>
<model>
)TXT"};
Segment syn_data_open{R"TXT(
</model>

<data>
)TXT"};
Segment syn_errors_open{R"TXT(
</data>
</previous_attempt>

<errors>
)TXT"};
Segment syn_close{R"TXT(
</errors>

<revision_guidelines>
- Fix the listed syntax/semantic errors.
- Preserve the original modeling intent and structure when possible.
- Ensure the model compiles with the data under the given implementation.
- Return complete model and data strings; do not return diffs.
</revision_guidelines>

<output_requirements>
- Return ONLY a JSON object with exactly two keys: "model" (the Vormo model) and "data" (the matching data file).
- The values must be single JSON strings (no arrays/objects inside them).
- Escape all double quotes and backslashes; encode newlines as \n.
- No trailing commas. No additional keys. No commentary.
- Optional: you MAY wrap the JSON in a ```json fenced block; if you do, the fence must contain only the JSON.
</output_requirements>

<json_schema>
{
  "type": "object",
  "additionalProperties": false,
  "required": ["model", "data"],
  "properties": {
    "model": {"type": "string"},
    "data":  {"type": "string"}
  }
}
</json_schema>

<example_output>
{
  "model": "float a;\nfloat b;\ndvar float x;\nminimize z: a*x;\nsubject to { b*x >= 0; }",  "data":  "a = 10;\nb= 5;"
}
</example_output>
)TXT"};

Segment arev_open{R"TXT(<role>
You are an expert in mathematical optimization and Vormo.
</role>

<task>
The previous attempt produced a syntactically valid Vormo model and data, but they are NOT fully aligned with the problem description.
<assessment>
)TXT"};
Segment arev_grammar_open{R"TXT(
</assessment>
Revise the model and data so that they fully align with the problem description while preserving syntactic validity.
Change only what is necessary to achieve alignment (objective, constraints, variables, sets/parameters, and data consistency).
Label all constraints and the objective function meaningfully; thoroughly comment the model to explain the purpose of variables, parameters, objective, and constraints; match these explanations to the problem description by following the predicaments of literate programming.
Use the following Vormo syntax implementation as a reference for valid Vormo syntax.
You are also provided with a few-shot examples section; use it only as guidance and produce a solution tailored to the new problem.
</task>

<grammar_reference>
--- BEGIN VORMO SYNTAX IMPLEMENTATION ---
)TXT"};
Segment arev_grammar_close{R"TXT(
--- END VORMO SYNTAX IMPLEMENTATION ---
</grammar_reference>

)TXT"};
Segment arev_problem_open{R"TXT(<problem_description>
)TXT"};
Segment arev_model_open{R"TXT(
</problem_description>

<previous_attempt>
<model>
)TXT"};
Segment arev_data_open{R"TXT(
</model>

<data>
)TXT"};
Segment arev_close{R"TXT(
</data>
</previous_attempt>

<revision_guidelines>
- Ensure the objective, constraints, indices, and variable domains reflect the problem description.
- Make the minimal set of changes necessary to correct misalignment.
- Keep syntax strictly valid.
- Return complete model and data strings; do not return diffs.
</revision_guidelines>

<output_requirements>
- Return ONLY a JSON object with exactly two keys: "model" (the Vormo model) and "data" (the matching data file).
- The values must be single JSON strings (no arrays/objects inside them).
- Escape all double quotes and backslashes; encode newlines as \n.
- No trailing commas. No additional keys. No commentary.
- Optional: you MAY wrap the JSON in a ```json fenced block; if you do, the fence must contain only the JSON.
</output_requirements>

<json_schema>
{
  "type": "object",
  "additionalProperties": false,
  "required": ["model", "data"],
  "properties": {
    "model": {"type": "string"},
    "data":  {"type": "string"}
  }
}
</json_schema>

<example_output>
{
  "model": "float a;\nfloat b;\ndvar float x;\nminimize z: a*x;\nsubject to { b*x >= 0; }",  "data":  "a = 10;\nb= 5;"
}
</example_output>
)TXT"};

// ---- Alignment check, final assessment, feedback ----

Segment align_open{R"TXT(<role>
You are an expert in mathematical optimization and Vormo.
</role>

<task>
Assess whether the generated Vormo model and data fully align with the problem description.
Alignment means the objective, constraints, decision variables, and data match the problem description.
Be critical and specific about modeling choices, feasibility, and consistency.
Use the following Vormo syntax implementation as a reference for valid Vormo syntax.
</task>

<grammar_reference>
--- BEGIN VORMO SYNTAX IMPLEMENTATION ---
)TXT"};
Segment align_problem_open{R"TXT(
--- END VORMO SYNTAX IMPLEMENTATION ---
</grammar_reference>

<inputs>
<problem_description>
)TXT"};
Segment align_model_open{R"TXT(
</problem_description>

<model>
)TXT"};
Segment align_data_open{R"TXT(
</model>

<data>
)TXT"};
Segment align_close{R"TXT(
</data>
</inputs>

<assessment_focus>
- Objective and constraints reflect the prompt intent.
- Decision variables have correct domains and indices.
- Data is consistent with sets/parameters used by the model.
- Signs, units, and indexing are correct; no missing links.
- Any syntax error raised by the compiler.
- Most impactful improvements if misaligned.
</assessment_focus>

<output_requirements>
- Return ONLY a JSON object with exactly two keys: "aligned" (boolean) and "assessment" (string).
- If issues exist, mention the most critical fixes in "assessment", a single short paragraph (3–6 sentences) of plain text.
- No Markdown. No bullet lists. No commentary. No additional keys. No trailing commas.
- Optional: you MAY wrap the JSON in a ```json fenced block; if you do, the fence must contain only the JSON.
</output_requirements>

<json_schema>
{
  "type": "object",
  "additionalProperties": false,
  "required": ["aligned", "assessment"],
  "properties": {
    "aligned": {"type": "boolean"},
    "assessment": {"type": "string"}
  }
}
</json_schema>

<example_output>
{ "aligned": false, "assessment": "The model objective function does not include fixed costs." }
</example_output>
)TXT"};

Segment final_open{R"TXT(<role>
You are an expert in mathematical optimization and Vormo.
</role>

<task>
Assess how well the generated Vormo model and data align with the problem description.
Be critical and specific about modeling choices, feasibility, and consistency.
If you believe the problem description is incomplete or ambiguous, point this out in your assessment.
Use the following Vormo syntax implementation as a reference for valid Vormo syntax.
</task>

<grammar_reference>
--- BEGIN VORMO SYNTAX IMPLEMENTATION ---
)TXT"};
Segment final_problem_open{R"TXT(
--- END VORMO SYNTAX IMPLEMENTATION ---
</grammar_reference>

<inputs>
<problem_description>
)TXT"};
Segment final_model_open{R"TXT(
</problem_description>

<model>
)TXT"};
Segment final_data_open{R"TXT(
</model>

<data>
)TXT"};
Segment final_data_close{R"TXT(
</data>

)TXT"};
Segment final_close{R"TXT(</inputs>

<assessment_focus>
- Objective and constraints reflect the prompt intent.
- Decision variables have correct domains and indices.
- Data is consistent with sets/parameters used by the model.
- Signs, units, and indexing are correct; no missing links.
- Any syntax error raised by the compiler.
- Most impactful improvements if misaligned.
</assessment_focus>

<output_requirements>
- Return a single short paragraph (3–6 sentences) of plain text.
- No Markdown, no bullet lists, no code fences.
- If issues exist, mention the most critical fixes.
</output_requirements>
)TXT"};

Segment fb_open{R"TXT(<role>
You are an expert in mathematical optimization and Vormo.
</role>

<task>
Answer the user's question about the provided Vormo model and data.
Provide critical, specific feedback. If revisions are necessary for correctness,
semantics, or consistency with the grammar reference, propose minimal changes.
Only change what is necessary.
Label all constraints and the objective function meaningfully; thoroughly comment the changes to explain the purpose of variables, parameters, objective, and constraints; match these explanations to user's question by following the predicaments of literate programming.
Use the following Vormo syntax implementation as a reference for valid Vormo syntax.
</task>

<grammar_reference>
--- BEGIN VORMO SYNTAX IMPLEMENTATION ---
)TXT"};
Segment fb_question_open{R"TXT(
--- END VORMO SYNTAX IMPLEMENTATION ---
</grammar_reference>

<inputs>
<question>
)TXT"};
Segment fb_model_open{R"TXT(
</question>

<model>
)TXT"};
Segment fb_data_open{R"TXT(
</model>

<data>
)TXT"};
Segment fb_close{R"TXT(
</data>
</inputs>

<output_requirements>
- Return ONLY a JSON object with 1 required key and up to 2 optional keys:
  "feedback" (required), "revised_model" (optional), "revised_data" (optional).
- Each value must be a single JSON string. Escape all double quotes and backslashes;
  encode newlines as \n.
- If no changes are needed, omit "revised_model" and "revised_data".
- If changes are needed, return complete model and data strings; do not return diffs.
- No trailing commas. No additional keys. No commentary.
- Optional: you MAY wrap the JSON in a ```json fenced block; if you do, the fence must contain only the JSON.
</output_requirements>

<json_schema>
{
  "type": "object",
  "additionalProperties": false,
  "required": ["feedback"],
  "properties": {
    "feedback": {"type": "string"},
    "revised_model": {"type": "string"},
    "revised_data": {"type": "string"}
  }
}
</json_schema>

<example_output>
{
  "feedback": "The model was missing coefficients a and b.",
  "revised_model": "// minimal fix\nfloat a;\nfloat b;\ndvar float x;\nminimize z: a*x;\nsubject to { b*x >= 0; }",  "revised_data":  "a = 10;\nb= 5;"
}
</example_output>
)TXT"};
// ---- Few-shot section: header, one block per worked example, footer ----

Segment shots_header{R"TXT(<few_shot_examples>
Use the following exemplars as guidance for structure and syntax only. Do not copy variable names unless appropriate to the new problem.
)TXT"};
Segment shots_footer{R"TXT(</few_shot_examples>

)TXT"};
Segment shot_index_open{R"TXT(<example index=")TXT"};
Segment shot_desc_open{R"TXT(">
<description path=")TXT"};
Segment shot_path_close{R"TXT(">
)TXT"};
Segment shot_desc_close{R"TXT(
</description>

)TXT"};
Segment shot_model_open{R"TXT(<model_file path=")TXT"};
Segment shot_model_close{R"TXT(
</model_file>

)TXT"};
Segment shot_data_open{R"TXT(<data_file path=")TXT"};
Segment shot_data_close{R"TXT(
</data_file>
</example>
)TXT"};

// ---- Error block of the final assessment ----

Segment errors_header{"SYNTAX ERRORS:\n"};
Segment errors_close{"\n\n"};

Segment* const kAllSegments[] = {
    &gen_open,        &gen_grammar_close,  &gen_problem_open,   &gen_close,
    &syn_open,        &syn_grammar_close,  &syn_problem_open,   &syn_model_open,     &syn_data_open,
    &syn_errors_open, &syn_close,          &arev_open,          &arev_grammar_open,  &arev_grammar_close,
    &arev_problem_open, &arev_model_open,  &arev_data_open,     &arev_close,         &align_open,
    &align_problem_open, &align_model_open, &align_data_open,   &align_close,        &final_open,
    &final_problem_open, &final_model_open, &final_data_open,   &final_data_close,   &final_close,
    &fb_open,         &fb_question_open,   &fb_model_open,      &fb_data_open,       &fb_close,
    &shots_header,    &shots_footer,       &shot_index_open,    &shot_desc_open,     &shot_path_close,
    &shot_desc_close, &shot_model_open,    &shot_model_close,   &shot_data_open,     &shot_data_close,
    &errors_header,   &errors_close,
};

void make_segment_strings() {
    for (Segment* seg : kAllSegments) {
        if (seg->str) continue;
        seg->str = PyUnicode_DecodeUTF8(seg->text.data(), static_cast<Py_ssize_t>(seg->text.size()), "strict");
        if (!seg->str) throw py::error_already_set();
    }
}

// The pieces of one prompt, in order; `join` makes the result in one pass, sized once.
class Pieces {
public:
    void add(const Segment& seg) { append(seg.str); }
    void add(py::handle value) { append(value.ptr()); }
    // str(value): the ordinary string form (a str is carried as it is).
    void add_text_of(py::handle value) {
        PyObject* text = PyObject_Str(value.ptr());
        if (!text) throw py::error_already_set();
        auto owned = py::reinterpret_steal<py::object>(text);
        append(owned.ptr());
    }
    py::str join() const {
        PyObject* joined = PyUnicode_Join(empty().ptr(), parts_.ptr());
        if (!joined) throw py::error_already_set();
        return py::reinterpret_steal<py::str>(joined);
    }

private:
    void append(PyObject* piece) {
        if (PyList_Append(parts_.ptr(), piece) < 0) throw py::error_already_set();
    }
    static py::str empty() { return py::str(""); }
    py::list parts_;
};

// record[key] with the host's KeyError when the entry is missing.
py::object required_entry(py::handle record, const char* key) {
    PyObject* value = PyObject_GetItem(record.ptr(), py::str(key).ptr());
    if (!value) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(value);
}

// record.get(key, ""): the path entries may be left out.
py::object optional_entry(py::handle record, const char* key) { return record.attr("get")(key, ""); }

// The worked examples: header, blocks numbered from 1, footer. Nothing at all for None or [].
// Entries are read in the order they appear in a block, so the first missing one is reported.
void add_few_shot_section(Pieces& out, py::handle few_shots) {
    if (few_shots.is_none() || PyList_GET_SIZE(few_shots.ptr()) == 0) return;
    out.add(shots_header);
    // Indexed walk re-reading the size: a record's __str__ or __getitem__ may change the list.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(few_shots.ptr()); ++i) {
        auto record = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(few_shots.ptr(), i));
        out.add(shot_index_open);
        out.add_text_of(py::int_(i + 1));
        out.add(shot_desc_open);
        out.add_text_of(optional_entry(record, "desc_path"));
        out.add(shot_path_close);
        out.add_text_of(required_entry(record, "description"));
        out.add(shot_desc_close);
        out.add(shot_model_open);
        out.add_text_of(optional_entry(record, "model_path"));
        out.add(shot_path_close);
        out.add_text_of(required_entry(record, "model"));
        out.add(shot_model_close);
        out.add(shot_data_open);
        out.add_text_of(optional_entry(record, "data_path"));
        out.add(shot_path_close);
        out.add_text_of(required_entry(record, "data"));
        out.add(shot_data_close);
    }
    out.add(shots_footer);
}

// Compiler findings in the host's list notation: str() of a list is its repr, so each finding
// is quoted and escaped exactly as the host writes it; a plain str is inserted as it is, and
// any other value shows its ordinary string form.
void add_findings(Pieces& out, py::handle syntax_errors) { out.add_text_of(syntax_errors); }

py::str build_generation_prompt(py::object prompt, py::object grammar_implementation, py::object few_shots) {
    hostkit::check_str(prompt, "prompt");
    hostkit::check_str(grammar_implementation, "grammar_implementation");
    hostkit::check_opt_list(few_shots, "few_shots");
    Pieces out;
    out.add(gen_open);
    out.add(grammar_implementation);
    out.add(gen_grammar_close);
    add_few_shot_section(out, few_shots);
    out.add(gen_problem_open);
    out.add(prompt);
    out.add(gen_close);
    return out.join();
}

py::str build_revision_prompt_syntax(py::object prompt, py::object grammar_implementation, py::object model_code,
                                     py::object data_code, py::object syntax_errors, py::object few_shots) {
    hostkit::check_str(prompt, "prompt");
    hostkit::check_str(grammar_implementation, "grammar_implementation");
    hostkit::check_str(model_code, "model_code");
    hostkit::check_str(data_code, "data_code");
    hostkit::check_opt_list(few_shots, "few_shots");
    Pieces out;
    out.add(syn_open);
    out.add(grammar_implementation);
    out.add(syn_grammar_close);
    add_few_shot_section(out, few_shots);
    out.add(syn_problem_open);
    out.add(prompt);
    out.add(syn_model_open);
    out.add(model_code);
    out.add(syn_data_open);
    out.add(data_code);
    out.add(syn_errors_open);
    add_findings(out, syntax_errors);
    out.add(syn_close);
    return out.join();
}

py::str build_revision_prompt_alignment(py::object prompt, py::object grammar_implementation,
                                        py::object assessment_text, py::object model_code, py::object data_code,
                                        py::object few_shots) {
    hostkit::check_str(prompt, "prompt");
    hostkit::check_str(grammar_implementation, "grammar_implementation");
    hostkit::check_str(assessment_text, "assessment_text");
    hostkit::check_str(model_code, "model_code");
    hostkit::check_str(data_code, "data_code");
    hostkit::check_opt_list(few_shots, "few_shots");
    Pieces out;
    out.add(arev_open);
    out.add(assessment_text);
    out.add(arev_grammar_open);
    out.add(grammar_implementation);
    out.add(arev_grammar_close);
    add_few_shot_section(out, few_shots);
    out.add(arev_problem_open);
    out.add(prompt);
    out.add(arev_model_open);
    out.add(model_code);
    out.add(arev_data_open);
    out.add(data_code);
    out.add(arev_close);
    return out.join();
}

py::str build_alignment_prompt(py::object prompt, py::object grammar_implementation, py::object model_code,
                               py::object data_code) {
    hostkit::check_str(prompt, "prompt");
    hostkit::check_str(grammar_implementation, "grammar_implementation");
    hostkit::check_str(model_code, "model_code");
    hostkit::check_str(data_code, "data_code");
    Pieces out;
    out.add(align_open);
    out.add(grammar_implementation);
    out.add(align_problem_open);
    out.add(prompt);
    out.add(align_model_open);
    out.add(model_code);
    out.add(align_data_open);
    out.add(data_code);
    out.add(align_close);
    return out.join();
}

py::str build_final_assessment_prompt(py::object prompt, py::object grammar_implementation, py::object model_code,
                                      py::object data_code, py::object syntax_errors) {
    hostkit::check_str(prompt, "prompt");
    hostkit::check_str(grammar_implementation, "grammar_implementation");
    hostkit::check_str(model_code, "model_code");
    hostkit::check_str(data_code, "data_code");
    Pieces out;
    out.add(final_open);
    out.add(grammar_implementation);
    out.add(final_problem_open);
    out.add(prompt);
    out.add(final_model_open);
    out.add(model_code);
    out.add(final_data_open);
    out.add(data_code);
    out.add(final_data_close);
    // The error block appears only when there are findings (any false-like value means none).
    if (hostkit::truthy(syntax_errors)) {
        out.add(errors_header);
        add_findings(out, syntax_errors);
        out.add(errors_close);
    }
    out.add(final_close);
    return out.join();
}

py::str build_feedback_prompt(py::object user_prompt_text, py::object grammar_implementation, py::object model_code,
                              py::object data_code) {
    hostkit::check_str(user_prompt_text, "user_prompt_text");
    hostkit::check_str(grammar_implementation, "grammar_implementation");
    hostkit::check_str(model_code, "model_code");
    hostkit::check_str(data_code, "data_code");
    Pieces out;
    out.add(fb_open);
    out.add(grammar_implementation);
    out.add(fb_question_open);
    out.add(user_prompt_text);
    out.add(fb_model_open);
    out.add(model_code);
    out.add(fb_data_open);
    out.add(data_code);
    out.add(fb_close);
    return out.join();
}

}  // namespace

void define_prompts(py::module_ m) {
    make_segment_strings();
    m.def("_build_generation_prompt", &build_generation_prompt, py::arg("prompt"), py::arg("grammar_implementation"),
          py::arg("few_shots") = py::none());
    m.def("_build_revision_prompt_syntax", &build_revision_prompt_syntax, py::arg("prompt"),
          py::arg("grammar_implementation"), py::arg("model_code"), py::arg("data_code"), py::arg("syntax_errors"),
          py::arg("few_shots") = py::none());
    m.def("_build_revision_prompt_alignment", &build_revision_prompt_alignment, py::arg("prompt"),
          py::arg("grammar_implementation"), py::arg("assessment_text"), py::arg("model_code"), py::arg("data_code"),
          py::arg("few_shots") = py::none());
    m.def("_build_alignment_prompt", &build_alignment_prompt, py::arg("prompt"), py::arg("grammar_implementation"),
          py::arg("model_code"), py::arg("data_code"));
    m.def("_build_final_assessment_prompt", &build_final_assessment_prompt, py::arg("prompt"),
          py::arg("grammar_implementation"), py::arg("model_code"), py::arg("data_code"), py::arg("syntax_errors"));
    m.def("_build_feedback_prompt", &build_feedback_prompt, py::arg("user_prompt_text"),
          py::arg("grammar_implementation"), py::arg("model_code"), py::arg("data_code"));
}

}  // namespace modelsmith
