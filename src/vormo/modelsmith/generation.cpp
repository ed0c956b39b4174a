// generative_solve: from a plain-language problem description to a Vormo model file and data file.
//
// The LLM writes a model and its data; the compiler checks them; findings go back to the LLM for a
// revision; a clean pair is (optionally) checked against the description and revised when it does
// not match. Both files are written after every attempt. Afterwards the files are read back, a
// final assessment is asked for when the result is not known to be valid and aligned, and the
// token usage is priced.
//
// Every sibling operation, setting and import-time name is read from the module when it is used,
// so a host can replace any of them (the LLM call, the compiler, the prompt builders...).
#include <climits>

#include "modelsmith/workflow.hpp"

namespace modelsmith {
namespace {

using workflow::cat;
using workflow::debug;
using workflow::report;
using workflow::text;

// Running totals of the usage records of every LLM call of one operation.
struct TokenTotals {
    py::object prompt = py::int_(0);
    py::object completion = py::int_(0);

    // usage.get(key, 0) for both counts; a call that reports no usage at all counts nothing.
    void add(py::handle usage) {
        if (usage.is_none()) return;
        prompt = sum(prompt, usage.attr("get")("prompt_tokens", 0));
        completion = sum(completion, usage.attr("get")("completion_tokens", 0));
    }

    py::dict summary() const {
        py::dict d;
        d["prompt_tokens"] = prompt;
        d["completion_tokens"] = completion;
        return d;
    }

private:
    static py::object sum(py::handle a, py::handle b) {
        PyObject* r = PyNumber_Add(a.ptr(), b.ptr());
        if (!r) throw py::error_already_set();
        return py::reinterpret_steal<py::object>(r);
    }
};

// The normalised iteration count: int(iterations), at least 1; MAX_ITERATIONS when the value
// cannot be converted. The loop always runs at least once, also for a setting below 1.
struct IterationCount {
    py::object shown;     // the count as a host int, for messages and the statistics
    long long count = 1;  // the same, for the loop (huge counts saturate)
};

IterationCount normalise_iterations(py::handle iterations) {
    py::object value;
    bool converted = hostkit::guard_ordinary([&] {
        PyObject* n = PyNumber_Long(iterations.ptr());
        if (!n) throw py::error_already_set();
        value = py::reinterpret_steal<py::object>(n);
    });
    if (!converted) {
        PyObject* n = PyNumber_Index(home.attr("MAX_ITERATIONS").ptr());
        if (!n) throw py::error_already_set();
        value = py::reinterpret_steal<py::object>(n);
    }
    IterationCount result;
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (n == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow > 0) {
        result.shown = value;
        result.count = LLONG_MAX;
    } else {
        result.count = (overflow < 0 || n < 1) ? 1 : n;
        result.shown = py::int_(result.count);
    }
    return result;
}

// One call of the LLM layer, all arguments by name. Returns the reply text; usage goes to `totals`
// before the reply is looked at.
py::object ask_llm(py::handle provider, py::handle model_name, py::handle input_text, py::handle temperature,
                   py::handle stop, py::handle progress, TokenTotals& totals) {
    py::object reply = home.attr("_llm_generate_text")(
        py::arg("provider") = provider, py::arg("model_name") = model_name, py::arg("input_text") = input_text,
        py::arg("max_tokens") = home.attr("MAX_OUTPUT_TOKENS"), py::arg("temperature") = temperature,
        py::arg("stop") = stop, py::arg("progress") = progress, py::arg("capture_usage") = true);
    auto [content, usage] = workflow::unpack_pair(reply);
    totals.add(usage);
    return content;
}

// result[key] of a generation reply; the entry must be text (the files are written from it).
py::object text_entry(py::handle result, const char* key) {
    PyObject* value = PyObject_GetItem(result.ptr(), py::str(key).ptr());
    if (!value) throw py::error_already_set();
    auto owned = py::reinterpret_steal<py::object>(value);
    if (!PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "str", Py_TYPE(value)->tp_name);
        throw py::error_already_set();
    }
    return owned;
}

// The model compiler as a validity check: a fresh compiler per attempt; returns the findings
// (empty when compile_model returns normally, whatever it returns). A SemanticError is its text;
// any other ordinary error is "TypeName: text"; interrupts are not caught.
py::list compile_findings(py::handle model_code, py::handle data_code) {
    py::object compiler = home.attr("VormoCompiler")();
    py::list findings;
    try {
        compiler.attr("compile_model")(model_code, data_code);
    } catch (py::error_already_set& e) {
        if (e.matches(home.attr("SemanticError"))) {
            py::str finding = text(e.value());
            findings.append(finding);
            debug([&] { return cat({py::str("Semantic error in model: "), finding}); });
        } else if (e.matches(PyExc_Exception)) {
            py::object type_name = py::type::handle_of(e.value()).attr("__name__");
            findings.append(cat({text(type_name), py::str(": "), text(e.value())}));
        } else {
            throw;
        }
    }
    return findings;
}

// Model and data files are UTF-8 whatever the locale, so a pair written here reads back the same
// in every other part of the package.
py::object default_text_encoding() { return py::str("utf-8"); }

void make_parent_dirs(py::module_& os_path, py::handle path) {
    py::object folder = os_path.attr("dirname")(path);
    if (hostkit::truthy(folder)) py::module_::import("os").attr("makedirs")(folder, py::arg("exist_ok") = true);
}

void write_text_file(py::handle path, py::handle content) {
    py::object file = py::module_::import("builtins").attr("open")(path, "w", py::arg("encoding") = "utf-8");
    hostkit::with_resource(file, [&](py::object f) { return f.attr("write")(content); });
}

// Writes one attempt to both files, creating missing folders. Both texts are encoded first, so a
// text UTF-8 cannot hold (a lone surrogate) fails before either file is truncated: the files never
// hold half an attempt.
void write_attempt(py::handle model_file, py::handle model_code, py::handle data_file, py::handle data_code,
                   py::handle encoding) {
    model_code.attr("encode")(encoding);
    data_code.attr("encode")(encoding);
    py::module_ os_path = py::module_::import("os.path");
    make_parent_dirs(os_path, model_file);
    make_parent_dirs(os_path, data_file);
    write_text_file(model_file, model_code);
    write_text_file(data_file, data_code);
}

// A usable alignment verdict: a map whose "aligned" is a boolean and "assessment" is text.
bool valid_verdict(py::handle verdict) {
    if (!PyDict_Check(verdict.ptr())) return false;
    py::object aligned = verdict.attr("get")("aligned");
    py::object assessment = verdict.attr("get")("assessment");
    return PyBool_Check(aligned.ptr()) && PyUnicode_Check(assessment.ptr());
}

// The price of the run from the module's `_estimate_costs`; any ordinary error, or a result that
// is not a map, leaves it empty.
py::dict estimated_costs(py::handle model_name, py::handle usage_summary) {
    py::dict estimate;
    hostkit::guard_ordinary([&] {
        py::object record = py::module_::import("types").attr("SimpleNamespace")(py::arg("model") = model_name);
        py::object result = home.attr("_estimate_costs")(record, usage_summary);
        if (!hostkit::truthy(result)) return;
        if (!PyDict_Check(result.ptr())) throw py::type_error("estimate is not a map");
        estimate = py::reinterpret_borrow<py::dict>(result);
    });
    return estimate;
}

py::object generative_solve(py::object prompt, py::object model_file, py::object data_file, py::object model_name,
                            py::object mode, py::object iterations_arg, py::object return_statistics,
                            py::object alignment_check, py::object temperature, py::object stop,
                            py::object llm_provider, py::object progress, py::object few_shot) {
    workflow::check_request_args(prompt, model_file, data_file, model_name, temperature, stop, llm_provider);

    // Preparing.
    py::object grammar_implementation = home.call("_get_grammar_implementation", mode);
    const IterationCount iterations = normalise_iterations(iterations_arg);
    const bool do_alignment =
        alignment_check.is_none() ? hostkit::truthy(home.attr("ALIGNMENT_CHECK")) : hostkit::truthy(alignment_check);
    py::object provider = home.call("_infer_provider", llm_provider, model_name);
    py::str shown_iterations = text(iterations.shown);
    report(progress, cat({py::str("Generating with provider="), text(provider.attr("value")), py::str(" model="),
                          model_name, py::str(" iterations="), shown_iterations, py::str(" alignment="),
                          py::str(do_alignment ? "on" : "off")}));

    py::object few_shots = py::list();
    if (hostkit::truthy(few_shot)) {
        few_shots = home.attr("_gather_few_shots")(prompt, py::arg("k") = home.attr("FEW_SHOT_TOP_K"),
                                                   py::arg("models_dir") = py::none(), py::arg("progress") = progress);
        if (!few_shots.is_none() && !PyList_CheckExact(few_shots.ptr())) {
            PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "list", Py_TYPE(few_shots.ptr())->tp_name);
            throw py::error_already_set();
        }
    }

    py::object user_prompt =
        home.attr("_build_generation_prompt")(prompt, grammar_implementation, py::arg("few_shots") = few_shots);
    py::object assessment_text = py::str("");
    py::object model_code = py::str("");
    py::object data_code = py::str("");
    py::list syntax_errors;
    TokenTotals totals;
    const py::object alignment_temperature = temperature.is_none() ? py::object(py::none()) : py::float_(0.0);
    const py::object final_temperature = temperature.is_none() ? py::object(py::none()) : py::float_(0.2);
    const py::object encoding = default_text_encoding();
    const py::str files_written = cat({py::str("Wrote files: "), model_file, py::str(" \u2022 "), data_file});

    // Iterating.
    long long iteration = 0;
    for (;; ++iteration) {
        py::str step = cat({text(py::int_(iteration + 1)), py::str("/"), shown_iterations});
        debug([&] { return cat({py::str("Iteration "), step}); });
        report(progress, cat({py::str("Iteration "), step, py::str(": prompting model")}));

        py::object content = ask_llm(provider, model_name, user_prompt, temperature, stop, progress, totals);
        if (!hostkit::truthy(content)) hostkit::raise(PyExc_RuntimeError, py::str("Empty model response."));

        py::object parse_error;
        bool parsed = hostkit::guard_ordinary(
            [&] {
                py::object result = home.call("_json_loads_relaxed", content);
                if (!result.is_none() && !PyDict_Check(result.ptr())) {
                    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "dict", Py_TYPE(result.ptr())->tp_name);
                    throw py::error_already_set();
                }
                py::object model = text_entry(result, "model");
                py::object data = text_entry(result, "data");
                model_code = model;
                data_code = data;
                report(progress, py::str("LLM response parsed (model + data)"));
                debug([] { return py::str("Model and data generated."); });
            },
            &parse_error);
        if (!parsed)
            workflow::raise_from(PyExc_RuntimeError,
                                 cat({py::str("Failed to parse model response as JSON: "), text(parse_error),
                                      py::str("\nResponse: "), text(content)}),
                                 parse_error);

        report(progress, py::str("Compiling model and data"));
        syntax_errors = compile_findings(model_code, data_code);

        write_attempt(model_file, model_code, data_file, data_code, encoding);
        report(progress, files_written);

        const bool last = iteration + 1 >= iterations.count;
        if (!syntax_errors.empty()) {
            report(progress, cat({py::str("Syntax/semantic errors found: "), text(py::int_(syntax_errors.size())),
                                  py::str("; revising...")}));
            debug([] { return py::str("Model or data has syntax errors; revising..."); });
            user_prompt = home.attr("_build_revision_prompt_syntax")(prompt, grammar_implementation, model_code,
                                                                     data_code, syntax_errors,
                                                                     py::arg("few_shots") = few_shots);
            if (last) break;
            continue;
        }
        if (!do_alignment) {
            report(progress, py::str("Syntax OK; alignment check disabled. Stopping."));
            break;
        }

        py::str checking("Checking alignment with original prompt...");
        debug([&] { return checking; });
        report(progress, checking);
        py::object alignment_prompt =
            home.call("_build_alignment_prompt", prompt, grammar_implementation, model_code, data_code);
        py::object alignment_content =
            ask_llm(provider, model_name, alignment_prompt, alignment_temperature, stop, progress, totals);
        if (!hostkit::truthy(alignment_content))
            hostkit::raise(PyExc_RuntimeError, py::str("Empty alignment response."));
        py::object verdict = home.call("_json_loads_relaxed", alignment_content);
        if (!valid_verdict(verdict))
            hostkit::raise(PyExc_RuntimeError, cat({py::str("Invalid alignment response JSON: "), text(alignment_content)}));
        assessment_text = verdict.attr("get")("assessment").attr("strip")();

        if (hostkit::truthy(verdict.attr("get")("aligned"))) {
            report(progress, py::str("Aligned \u2713 Stopping."));
            debug([] { return py::str("Model and data are syntactically valid and aligned with the prompt."); });
            break;
        }
        report(progress, py::str("Not aligned; revising per assessment"));
        debug([&] {
            return cat({py::str("Model and data are syntactically valid but NOT aligned with the prompt. Assessment: "),
                        assessment_text});
        });
        user_prompt = home.attr("_build_revision_prompt_alignment")(prompt, grammar_implementation, assessment_text,
                                                                    model_code, data_code,
                                                                    py::arg("few_shots") = few_shots);
        if (last) break;
    }

    // Closing: the files as they are on disk now are the result.
    model_code = workflow::read_text_file(model_file);
    data_code = workflow::read_text_file(data_file);

    if (!syntax_errors.empty() || !do_alignment) {
        debug([] { return py::str("Final assessment of model and data alignment..."); });
        report(progress, py::str("Requesting final assessment"));
        py::object assessment_prompt = home.call("_build_final_assessment_prompt", prompt, grammar_implementation,
                                                 model_code, data_code, syntax_errors);
        py::object answer = ask_llm(provider, model_name, assessment_prompt, final_temperature, stop, progress, totals);
        assessment_text = hostkit::truthy(answer) ? answer : py::object(py::str(""));
    }

    report(progress, py::str("Generation complete"));

    py::dict usage_summary = totals.summary();
    py::dict cost;
    cost["model"] = model_name;
    cost["usage"] = usage_summary;
    cost["estimated_costs"] = estimated_costs(model_name, usage_summary);
    report(progress, cat({py::str("[LLM] Estimated costs: "), py::repr(cost)}));

    py::object assessment = assessment_text.attr("strip")();
    if (!hostkit::truthy(return_statistics)) return assessment;
    py::dict statistics;
    statistics["iterations"] = py::int_(iteration + 1);
    statistics["assessment"] = assessment;
    statistics["syntax_errors"] = syntax_errors;
    statistics["cost"] = cost;
    return statistics;
}

}  // namespace

void define_generation(py::module_ m) {
    // Defaults named after a setting take its value now, when the module loads.
    m.def("generative_solve", &generative_solve, py::arg("prompt"), py::arg("model_file"), py::arg("data_file"),
          py::arg("model_name") = m.attr("MODEL_NAME"), py::arg("mode") = m.attr("Grammar").attr("BNF"),
          py::arg("iterations") = m.attr("MAX_ITERATIONS"), py::arg("return_statistics") = false,
          py::arg("alignment_check") = py::none(), py::arg("temperature") = py::none(), py::arg("stop") = py::none(),
          py::arg("llm_provider") = m.attr("LLM_PROVIDER"), py::arg("progress") = py::none(),
          py::arg("few_shot") = true,
          "Have an LLM write a Vormo model file and data file for a problem description.\n\n"
          "Each attempt is compiled and written to `model_file` and `data_file`; compiler findings and,\n"
          "when the alignment check is on, a negative verdict on the description lead to a revision.\n"
          "Returns the final assessment text, or with `return_statistics` a map of \"iterations\",\n"
          "\"assessment\", \"syntax_errors\" and \"cost\".");
}

}  // namespace modelsmith
