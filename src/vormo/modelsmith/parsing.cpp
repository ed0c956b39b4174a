// Tolerant reading of LLM replies that should be one JSON object but may come fenced in a
// Markdown code block or surrounded by prose. JSON itself is always read by the host's decoder.
#include "hostkit/hostkit.hpp"
#include "modelsmith/building_blocks.hpp"
#include "modelsmith/home.hpp"

namespace modelsmith {
namespace py = pybind11;

namespace {

// Both made once at load and kept for the life of the interpreter.
PyObject* g_fence_pattern = nullptr;  // compiled: fenced block holding an object
PyObject* g_json = nullptr;           // the host's json module; loads is looked up per call

py::object json_loads(py::handle text) { return py::reinterpret_borrow<py::object>(g_json).attr("loads")(text); }

// The first balanced {...} span from the first "{", counting every brace (a brace inside a JSON
// string counts too). Returns null when there is no "{" or the braces never balance.
py::object balanced_braces(py::handle text) {
    hostkit::CodePoints cps(text);
    const Py_ssize_t start = cps.find(U'{');
    if (start < 0) return py::object();
    Py_ssize_t depth = 0;
    for (Py_ssize_t i = start; i < cps.size(); ++i) {
        const Py_UCS4 c = cps[i];
        if (c == U'{') {
            ++depth;
        } else if (c == U'}') {
            if (--depth == 0) return cps.slice(start, i + 1);
        }
    }
    return py::object();
}

// Where a fenced match would have to end: just past the "```" that follows, after optional white
// space, the last "}" of the text; -1 when no "}" is followed that way. Each white-space run is
// looked at once, so this is linear.
Py_ssize_t closing_fence_end(const hostkit::CodePoints& cps) {
    const Py_ssize_t n = cps.size();
    for (Py_ssize_t i = n - 1; i >= 0; --i) {
        if (cps[i] != U'}') continue;
        Py_ssize_t j = i + 1;
        while (j < n && Py_UNICODE_ISSPACE(cps[j])) ++j;  // the pattern's \s for str
        if (j + 3 <= n && cps[j] == U'`' && cps[j + 1] == U'`' && cps[j + 2] == U'`') return j + 3;
    }
    return -1;
}

py::object extract_json_from_markdown(py::object text) {
    hostkit::check_str(text, "text");
    // A fenced block: from the first "{" after the opening fence to the last "}" before a
    // closing fence (greedy, so two fenced blocks are spanned as one). Every match of the pattern
    // ends at the same closing fence, so the search is confined to the text up to it: the result
    // is the same, and the pattern cannot backtrack over the rest of the text again for every
    // opening fence after that point (replies full of "```{" would otherwise cost quadratic time).
    const Py_ssize_t end = closing_fence_end(hostkit::CodePoints(text));
    if (end >= 0) {
        py::object match = py::reinterpret_borrow<py::object>(g_fence_pattern).attr("search")(text, 0, end);
        if (!match.is_none()) return match.attr("group")(1);
    }
    py::object span = balanced_braces(text);
    return span ? span : text;
}

// The decoder gives up on very deep nesting with RecursionError; for a reply that is a fault of
// the document, reported as the decoder's error kind like every other malformed reply.
[[noreturn]] void raise_too_deep(py::handle document, py::error_already_set& cause) {
    py::object error_type = py::reinterpret_borrow<py::object>(g_json).attr("JSONDecodeError");
    py::object error = error_type("Document nested too deeply", document, 0);
    PyException_SetCause(error.ptr(), cause.value().inc_ref().ptr());
    PyErr_SetObject(error_type.ptr(), error.ptr());
    throw py::error_already_set();
}

// Whether arrays and objects in a JSON text nest deeper than the C stack safely holds, counting
// every bracket outside strings. The decoder recurses once per level and relies on the host's
// recursion limit alone, which a program may raise far beyond what the stack holds: deeper
// documents are refused before it sees them, with the RecursionError it would give at the limit.
bool nested_too_deeply(py::handle text) {
    hostkit::CodePoints cps(text);
    int depth = 0;
    bool in_string = false;
    for (Py_ssize_t i = 0; i < cps.size(); ++i) {
        const Py_UCS4 c = cps[i];
        if (in_string) {
            if (c == U'\\')
                ++i;
            else if (c == U'"')
                in_string = false;
        } else if (c == U'"') {
            in_string = true;
        } else if (c == U'[' || c == U'{') {
            if (++depth > hostkit::RecursionGuard::kMaxDepth) return true;
        } else if ((c == U']' || c == U'}') && depth > 0) {
            --depth;
        }
    }
    return false;
}

[[noreturn]] void raise_recursion_error() {
    PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while decoding a JSON document");
    throw py::error_already_set();
}

bool is_object_or_null(py::handle value) { return value.is_none() || PyDict_Check(value.ptr()); }

py::object json_loads_relaxed(py::object text) {
    hostkit::check_str(text, "text");
    // Fast path: the reply is the object itself. Any ordinary failure here only means "try the
    // extraction"; interrupts pass through.
    py::object parsed;
    bool done = hostkit::guard_ordinary([&] {
        if (nested_too_deeply(text)) raise_recursion_error();
        py::object value = json_loads(text);
        if (!is_object_or_null(value)) throw py::value_error("not a JSON object");
        parsed = std::move(value);
    });
    if (done) return parsed;
    // Fallback: the decoder's own error (json.JSONDecodeError) reaches the caller. The extraction
    // is the module's public operation, looked up at each call like every sibling.
    py::object candidate = home.call("extract_json_from_markdown", text);
    py::object value;
    try {
        if (nested_too_deeply(candidate)) raise_recursion_error();
        value = json_loads(candidate);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_RecursionError)) throw;
        raise_too_deep(candidate, e);
    }
    if (!is_object_or_null(value)) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "dict", Py_TYPE(value.ptr())->tp_name);
        throw py::error_already_set();
    }
    return value;
}

}  // namespace

void define_parsing(py::module_ m) {
    if (!g_json) {
        py::module_ re = py::module_::import("re");
        py::object pattern = re.attr("compile")(R"(```(?:json)?\s*(\{.*\})\s*```)", re.attr("DOTALL"));
        g_fence_pattern = pattern.release().ptr();
        g_json = py::module_::import("json").release().ptr();
    }
    m.def("extract_json_from_markdown", &extract_json_from_markdown, py::arg("text"),
          "Return the most likely JSON object text of an LLM reply: the object inside a ```json fence,\n"
          "else the first balanced {...} span, else the text unchanged.");
    m.def("_json_loads_relaxed", &json_loads_relaxed, py::arg("text"));
}

}  // namespace modelsmith
