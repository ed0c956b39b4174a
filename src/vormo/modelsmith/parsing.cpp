// Tolerant reading of LLM replies that should be one JSON object but may come fenced in a
// Markdown code block or surrounded by prose. JSON is read by the reader in json_reader.cpp where it
// stands in for the host's default decoder; every text it does not accept, and every text when
// json.loads or the default decoder has been replaced, is read by the host's decoder.
#include <bit>
#include <cstring>
#include <cwchar>

#include "hostkit/hostkit.hpp"
#include "modelsmith/building_blocks.hpp"
#include "modelsmith/home.hpp"
#include "modelsmith/json_reader.hpp"

namespace modelsmith {
namespace py = pybind11;

namespace {

// Both made once at load and kept for the life of the interpreter.
PyObject* g_fence_pattern = nullptr;  // compiled: fenced block holding an object
PyObject* g_json = nullptr;           // the host's json module; loads is looked up per call
PyObject* g_loads = nullptr;          // json.loads as the module defines it
PyObject* g_decoder = nullptr;        // json._default_decoder as the module defines it
PyObject* g_scan_once = nullptr;      // that decoder's scanner

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

// The first position at or after `from` holding `c`, or `n`. Bytes and 4-byte code points are
// searched by the C library (memchr, wmemchr); 2-byte code points through memchr for the low
// byte, checked at even offsets against the high byte.
template <typename Char>
Py_ssize_t find_char(const Char* s, Py_ssize_t from, Py_ssize_t n, Char c) {
    if (from >= n) return n;
    if constexpr (sizeof(Char) == 1) {
        const void* p = std::memchr(s + from, c, static_cast<size_t>(n - from));
        return p ? static_cast<const Char*>(p) - s : n;
    } else if constexpr (sizeof(Char) == sizeof(wchar_t)) {
        const wchar_t* w = reinterpret_cast<const wchar_t*>(s);
        const wchar_t* p = std::wmemchr(w + from, static_cast<wchar_t>(c), static_cast<size_t>(n - from));
        return p ? p - w : n;
    } else if constexpr (sizeof(Char) == 2 && std::endian::native == std::endian::little) {
        const unsigned char* bytes = reinterpret_cast<const unsigned char*>(s);
        const unsigned char low = static_cast<unsigned char>(c & 0xFF), high = static_cast<unsigned char>(c >> 8);
        size_t at = static_cast<size_t>(from) * 2;
        const size_t end = static_cast<size_t>(n) * 2;
        while (at < end) {
            const void* p = std::memchr(bytes + at, low, end - at);
            if (!p) return n;
            const size_t hit = static_cast<size_t>(static_cast<const unsigned char*>(p) - bytes);
            if (hit % 2 == 0 && bytes[hit + 1] == high) return static_cast<Py_ssize_t>(hit / 2);
            at = hit + 1;
        }
        return n;
    } else {
        for (Py_ssize_t i = from; i < n; ++i)
            if (s[i] == c) return i;
        return n;
    }
}

// Whether brackets outside strings nest deeper than `limit`, over one storage width of the text.
// The scan jumps from quote to quote through string bodies, where the bulk of a reply is; a quote
// ends the string unless an odd run of backslashes stands right before it.
template <typename Char>
bool deeper_than(const Char* s, Py_ssize_t n, int limit) {
    int depth = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Char c = s[i];
        if (c == '"') {
            const Py_ssize_t body = i + 1;
            Py_ssize_t q = body;
            for (;;) {
                q = find_char(s, q, n, Char('"'));
                if (q >= n) return false;  // the string runs to the end: nothing after it counts
                Py_ssize_t back = q;
                while (back > body && s[back - 1] == '\\') --back;
                if (((q - back) & 1) == 0) break;
                ++q;
            }
            i = q;
        } else if (c == '[' || c == '{') {
            if (++depth > limit) return true;
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return false;
}

// Whether arrays and objects in a JSON text nest deeper than the C stack safely holds, counting
// every bracket outside strings. The decoder recurses once per level and relies on the host's
// recursion limit alone, which a program may raise far beyond what the stack holds: deeper
// documents are refused before it sees them, with the RecursionError it would give at the limit.
// Under a limit no higher than that depth the decoder stops itself, with the same error, before
// the stack is at risk, and the scan is skipped: an ordinary reply is read once, by the decoder.
bool nested_too_deeply(py::handle text) {
    constexpr int limit = hostkit::RecursionGuard::kMaxDepth;
    if (Py_GetRecursionLimit() <= limit) return false;
    PyObject* s = text.ptr();
    if (!PyUnicode_Check(s)) return false;  // a replaced extraction's non-str: json.loads judges it
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(s) < 0) throw py::error_already_set();
#endif
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    switch (PyUnicode_KIND(s)) {
        case PyUnicode_1BYTE_KIND: return deeper_than(PyUnicode_1BYTE_DATA(s), n, limit);
        case PyUnicode_2BYTE_KIND: return deeper_than(PyUnicode_2BYTE_DATA(s), n, limit);
        default: return deeper_than(PyUnicode_4BYTE_DATA(s), n, limit);
    }
}

[[noreturn]] void raise_recursion_error() {
    PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while decoding a JSON document");
    throw py::error_already_set();
}

bool is_object_or_null(py::handle value) { return value.is_none() || PyDict_Check(value.ptr()); }

bool json_space(Py_UCS4 c) { return c == U' ' || c == U'\t' || c == U'\n' || c == U'\r'; }

// json.loads(text) as the host's json module computes it when neither json.loads nor its default
// decoder has been replaced: skip the decoder's white space, run the default decoder's scanner,
// skip white space again, and require the end of the text. The value, or a null object for any
// failure (the host error left set). It spares the strict attempt the Python-level layers of
// json.loads and the construction of a decode error that would be thrown away.
py::object decode_directly(py::handle text) {
    hostkit::CodePoints cps(text);
    const Py_ssize_t n = cps.size();
    if (n > 0 && cps[0] == 0xFEFF) {  // json.loads refuses a byte-order mark
        PyErr_SetString(PyExc_ValueError, "Unexpected UTF-8 BOM");
        return py::object();
    }
    Py_ssize_t start = 0;
    while (start < n && json_space(cps[start])) ++start;
    PyObject* index = PyLong_FromSsize_t(start);
    if (!index) return py::object();
    PyObject* args[] = {text.ptr(), index};
    PyObject* pair = PyObject_Vectorcall(g_scan_once, args, 2, nullptr);
    Py_DECREF(index);
    if (!pair) return py::object();
    py::object result = py::reinterpret_steal<py::object>(pair);
    if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
        PyErr_SetString(PyExc_ValueError, "unexpected scanner result");
        return py::object();
    }
    Py_ssize_t end = PyLong_AsSsize_t(PyTuple_GET_ITEM(pair, 1));
    if (end == -1 && PyErr_Occurred()) return py::object();
    while (end < n && json_space(cps[end])) ++end;
    if (end != n) {
        PyErr_SetString(PyExc_ValueError, "Extra data");
        return py::object();
    }
    return py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(pair, 0));
}

// Whether the decoder, skipping its white space, meets an array or an object first: only then can
// it recurse. A reply with prose or a fence first cannot take it deep, whatever follows.
bool opens_container(py::handle text) {
    hostkit::CodePoints cps(text);
    for (Py_ssize_t i = 0; i < cps.size(); ++i) {
        const Py_UCS4 c = cps[i];
        if (json_space(c)) continue;
        return c == U'[' || c == U'{';
    }
    return false;
}

// Whether json.loads and its default decoder are still the ones the json module defined: only then
// may the reader stand in for them.
bool host_decoder_in_place() {
    PyObject* loads = PyObject_GetAttrString(g_json, "loads");
    PyObject* decoder = loads ? PyObject_GetAttrString(g_json, "_default_decoder") : nullptr;
    const bool same = loads == g_loads && decoder == g_decoder;
    Py_XDECREF(loads);
    Py_XDECREF(decoder);
    if (!same && PyErr_Occurred()) {  // the reading below meets the same error and handles it
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw py::error_already_set();
        PyErr_Clear();
    }
    return same;
}

// The reader's outcome for `text` read the way `route` reads it, when it may stand in for the
// host's decoder; `declined` otherwise.
json_reader::Outcome read_directly(py::handle text, json_reader::Route route, py::object& value) {
    if (!host_decoder_in_place()) return json_reader::Outcome::declined;
    PyObject* v = nullptr;
    const json_reader::Outcome outcome = json_reader::read(text.ptr(), route, &v);
    if (v) value = py::reinterpret_steal<py::object>(v);
    return outcome;
}

// The strict attempt: the decoded value when it is an object or null, else a null object. An
// ordinary error (the decoder's, or nesting too deep to hand to it) is dropped on the spot, without
// carrying it through a C++ exception: a reply with prose first fails here on every call.
py::object strict_attempt(py::handle text) {
    {
        py::object direct;
        switch (read_directly(text, json_reader::Route::scanner, direct)) {
            case json_reader::Outcome::accepted: return is_object_or_null(direct) ? direct : py::object();
            case json_reader::Outcome::too_deep: return py::object();
            case json_reader::Outcome::declined: break;
        }
    }
    if (opens_container(text) && nested_too_deeply(text)) return py::object();
    py::object value;
    PyObject* loads = PyObject_GetAttrString(g_json, "loads");
    PyObject* decoder = loads ? PyObject_GetAttrString(g_json, "_default_decoder") : nullptr;
    if (loads && decoder && loads == g_loads && decoder == g_decoder) {
        value = decode_directly(text);
    } else if (loads && decoder) {
        PyObject* v = PyObject_CallOneArg(loads, text.ptr());
        if (v) value = py::reinterpret_steal<py::object>(v);
    }
    Py_XDECREF(loads);
    Py_XDECREF(decoder);
    if (value) return is_object_or_null(value) ? value : py::object();
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw py::error_already_set();
    PyErr_Clear();
    return py::object();
}

py::object json_loads_relaxed(py::object text) {
    hostkit::check_str(text, "text");
    // Fast path: the reply is the object itself. Any ordinary failure here only means "try the
    // extraction"; interrupts pass through.
    py::object parsed = strict_attempt(text);
    if (parsed) return parsed;
    // Fallback: the decoder's own error (json.JSONDecodeError) reaches the caller. The extraction
    // is the module's public operation, looked up at each call like every sibling.
    py::object candidate = home.call("extract_json_from_markdown", text);
    py::object value;
    try {
        const json_reader::Outcome outcome = read_directly(candidate, json_reader::Route::loads, value);
        if (outcome == json_reader::Outcome::too_deep) raise_recursion_error();
        if (outcome == json_reader::Outcome::declined) {
            if (nested_too_deeply(candidate)) raise_recursion_error();
            value = json_loads(candidate);
        }
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
        py::module_ json = py::module_::import("json");
        g_loads = py::object(json.attr("loads")).release().ptr();
        g_decoder = py::object(json.attr("_default_decoder")).release().ptr();
        g_scan_once = py::object(py::reinterpret_borrow<py::object>(g_decoder).attr("scan_once")).release().ptr();
        json_reader::prepare(g_scan_once);
        g_json = json.release().ptr();
    }
    m.def("extract_json_from_markdown", &extract_json_from_markdown, py::arg("text"),
          "Return the most likely JSON object text of an LLM reply: the object inside a ```json fence,\n"
          "else the first balanced {...} span, else the text unchanged.");
    m.def("_json_loads_relaxed", &json_loads_relaxed, py::arg("text"));
}

}  // namespace modelsmith
