// generative_feedback: the LLM's critical answer to a question about an existing model and data
// file, possibly with revised versions of both. One LLM call; nothing is compiled or written.
#include "modelsmith/workflow.hpp"

namespace modelsmith {
namespace {

using workflow::cat;
using workflow::report;
using workflow::text;

py::object generative_feedback(py::object prompt, py::object model_file, py::object data_file, py::object model_name,
                               py::object mode, py::object temperature, py::object stop, py::object llm_provider,
                               py::object progress) {
    workflow::check_request_args(prompt, model_file, data_file, model_name, temperature, stop, llm_provider);

    py::object provider = home.call("_infer_provider", llm_provider, model_name);
    py::object grammar_implementation = home.call("_get_grammar_implementation", mode);
    py::object model_code = workflow::read_text_file(model_file);
    py::object data_code = workflow::read_text_file(data_file);
    report(progress, py::str("Generating feedback from LLM"));
    py::object user_prompt = home.call("_build_feedback_prompt", prompt, grammar_implementation, model_code, data_code);

    py::object reply = home.attr("_llm_generate_text")(
        py::arg("provider") = provider, py::arg("model_name") = model_name, py::arg("input_text") = user_prompt,
        py::arg("max_tokens") = home.attr("MAX_OUTPUT_TOKENS"),
        py::arg("temperature") = temperature.is_none() ? py::object(py::none()) : py::float_(0.0),
        py::arg("stop") = stop, py::arg("progress") = progress, py::arg("capture_usage") = false);
    if (!reply.is_none() && !PyUnicode_CheckExact(reply.ptr())) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "str", Py_TYPE(reply.ptr())->tp_name);
        throw py::error_already_set();
    }
    if (!hostkit::truthy(reply)) hostkit::raise(PyExc_RuntimeError, py::str("Empty model response."));

    py::object answer;
    py::object error;
    bool parsed = hostkit::guard_ordinary(
        [&] {
            report(progress, py::str("Feedback received; parsing"));
            answer = home.call("_json_loads_relaxed", reply);
        },
        &error);
    if (!parsed)
        workflow::raise_from(PyExc_RuntimeError,
                             cat({py::str("Failed to parse feedback response as JSON: "), text(error),
                                  py::str("\nResponse: "), reply}),
                             error);
    return answer;
}

}  // namespace

void define_feedback(py::module_ m) {
    // Defaults named after a setting take its value now, when the module loads.
    m.def("generative_feedback", &generative_feedback, py::arg("prompt"), py::arg("model_file"), py::arg("data_file"),
          py::arg("model_name") = m.attr("MODEL_NAME"), py::arg("mode") = m.attr("Grammar").attr("BNF"),
          py::arg("temperature") = py::none(), py::arg("stop") = py::none(),
          py::arg("llm_provider") = m.attr("LLM_PROVIDER"), py::arg("progress") = py::none(),
          "Ask the LLM for critical feedback on a model file and data file, answering `prompt`.\n\n"
          "Returns the parsed JSON reply: \"feedback\" and, when changes are proposed, \"revised_model\"\n"
          "and \"revised_data\". Neither file is modified.");
}

}  // namespace modelsmith
