// LLM access: provider choice and vendor clients, one-prompt generation on each provider, the
// OpenAI request with parameter removal and back-off, answer-text extraction and model listing.
// Small helpers shared by those files live here too.
#pragma once

#include <pybind11/pybind11.h>

#include "hostkit/hostkit.hpp"
#include "modelsmith/home.hpp"

namespace modelsmith {
namespace py = pybind11;

// LLMProvider, _infer_provider, _openai_client, _google_client.
void define_llm_providers(py::module_ m);
// _coalesce_response_text.
void define_llm_coalesce(py::module_ m);
// _build_create_params, _call_openai_with_retry.
void define_llm_openai_retry(py::module_ m);
// _llm_generate_text, _ollama_generate_text. Reads MAX_OUTPUT_TOKENS for its defaults.
void define_llm_generate(py::module_ m);
// list_openai_models, list_gemini_models, list_ollama_models, list_models. Reads MODEL_NAME.
void define_llm_listing(py::module_ m);

namespace llm {

// getattr(obj, name, <absent>): only AttributeError means "not there"; any other error while
// reading propagates. Returns a null object when the attribute is missing.
inline py::object optional_attr(py::handle obj, const char* name) {
    PyObject* value = PyObject_GetAttrString(obj.ptr(), name);
    if (value) return py::reinterpret_steal<py::object>(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    return py::object();
}

// getattr(obj, name, None)
inline py::object attr_or_none(py::handle obj, const char* name) {
    py::object value = optional_attr(obj, name);
    return value ? value : py::none();
}

inline bool is_str(py::handle v) { return PyUnicode_Check(v.ptr()); }

// A progress line, handed to the module's reporter together with the caller's callback.
inline void report(py::handle progress, py::handle message) { home.call("_notify", progress, message); }

// Vendor error texts may echo the credentials they were sent with. Every message this module
// builds from such a text has the current API keys replaced first, so a key never reaches a
// progress line, a log record or an exception text.
inline py::str redact_keys(py::handle text) {
    py::str result = py::str(text);
    py::object environ = py::module_::import("os").attr("environ");
    for (const char* var : {"OPENAI_API_KEY", "GEMINI_API_KEY"}) {
        py::object key = environ.attr("get")(var);
        // Very short values are not credentials; replacing them would garble the message.
        if (!is_str(key) || PyUnicode_GetLength(key.ptr()) < 6) continue;
        if (hostkit::contains(result, key)) result = result.attr("replace")(key, "[redacted]");
    }
    return result;
}

// Raises RuntimeError(message) whose __context__ (not __cause__) is the error being handled, as
// a `raise` inside an `except` block of the host does.
[[noreturn]] inline void raise_with_context(py::error_already_set& handled, py::handle message) {
    py::object error = py::reinterpret_borrow<py::object>(PyExc_RuntimeError)(message);
    py::object context = handled.value();
    PyException_SetContext(error.ptr(), context.inc_ref().ptr());
    PyErr_SetObject(PyExc_RuntimeError, error.ptr());
    throw py::error_already_set();
}

}  // namespace llm
}  // namespace modelsmith
