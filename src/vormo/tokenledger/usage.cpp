// Usage records read from a vendor's response, with local counts for whatever it does not report.
#include "hostkit/hostkit.hpp"
#include "tokenledger/ledger.hpp"

namespace tokenledger {
namespace {

// getattr(obj, name, None): only a missing attribute reads as None; other errors propagate.
py::object attr_or_none(py::handle obj, const char* name) {
    PyObject* value = PyObject_GetAttrString(obj.ptr(), name);
    if (value) return py::reinterpret_steal<py::object>(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    return py::none();
}

// A value of a usage part that may be a dictionary (or derived from one) or an object.
py::object lookup(py::handle obj, const char* key) {
    if (obj.is_none()) return py::none();
    if (PyDict_Check(obj.ptr())) return obj.attr("get")(key);
    return attr_or_none(obj, key);
}

// The usage part of a response: its attribute, else its dictionary entry.
py::object usage_part(py::handle resp, const char* name) {
    py::object usage = attr_or_none(resp, name);
    if (usage.is_none() && PyDict_Check(resp.ptr())) usage = resp.attr("get")(name);
    return usage;
}

}  // namespace

py::dict usage_dict(py::object prompt_tokens, py::object completion_tokens) {
    hostkit::check_opt_int(prompt_tokens, "prompt_tokens");
    hostkit::check_opt_int(completion_tokens, "completion_tokens");
    py::dict record;
    record["prompt_tokens"] = hostkit::truthy(prompt_tokens) ? prompt_tokens : py::int_(0);
    record["completion_tokens"] = hostkit::truthy(completion_tokens) ? completion_tokens : py::int_(0);
    return record;
}

py::object extract_openai_usage(py::object resp, py::object input_text, py::object output_text,
                                py::object model_name) {
    hostkit::check_str(input_text, "input_text");
    hostkit::check_str(output_text, "output_text");
    hostkit::check_str(model_name, "model_name");
    py::object prompt = py::none();
    py::object completion = py::none();
    hostkit::guard_ordinary([&] {
        py::object usage = usage_part(resp, "usage");
        // The newer names first; a zero report counts as missing and the older name decides.
        py::object p = lookup(usage, "input_tokens");
        prompt = hostkit::truthy(p) ? p : lookup(usage, "prompt_tokens");
        py::object c = lookup(usage, "output_tokens");
        completion = hostkit::truthy(c) ? c : lookup(usage, "completion_tokens");
    });
    if (prompt.is_none()) prompt = home.call("_count_openai_tokens", input_text, model_name);
    if (completion.is_none()) completion = home.call("_count_openai_tokens", output_text, model_name);
    return home.call("_usage_dict", prompt, completion);
}

py::object extract_gemini_usage(py::object resp, py::object input_text, py::object output_text) {
    hostkit::check_str(input_text, "input_text");
    hostkit::check_str(output_text, "output_text");
    py::object prompt = py::none();
    py::object completion = py::none();
    hostkit::guard_ordinary([&] {
        py::object usage = usage_part(resp, "usage_metadata");
        prompt = lookup(usage, "prompt_token_count");
        completion = lookup(usage, "candidates_token_count");
    });
    // Only an absent count is replaced: a reported zero stays zero.
    if (prompt.is_none()) prompt = home.call("_approx_token_count", input_text);
    if (completion.is_none()) completion = home.call("_approx_token_count", output_text);
    return home.call("_usage_dict", prompt, completion);
}

}  // namespace tokenledger
