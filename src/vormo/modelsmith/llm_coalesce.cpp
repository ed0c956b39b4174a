// The answer text of an OpenAI Responses result, from the most convenient place to the most raw:
// the ready-made output_text, the walk over every output item's content blocks, and last the
// first block of the first item. A missing or malformed place never fails the call.
//
// A response may carry hundreds of blocks, so the walk avoids the costs a naive binding adds per
// block: attribute names are made once, and a missing attribute is asked about without the host
// building an AttributeError that is thrown away at once.
#include "modelsmith/llm.hpp"

namespace modelsmith {
namespace py = pybind11;

namespace {

// Interned once at load, kept for the life of the interpreter.
PyObject* g_output_text = nullptr;
PyObject* g_output = nullptr;
PyObject* g_content = nullptr;
PyObject* g_text = nullptr;
PyObject* g_get = nullptr;

// getattr(obj, name) when it exists, a null object when reading it reports a missing attribute;
// any other error passes. The same question `hasattr` asks.
py::object lookup(py::handle obj, PyObject* name) {
    PyObject* value = nullptr;
#if PY_VERSION_HEX >= 0x030D0000
    int found = PyObject_GetOptionalAttr(obj.ptr(), name, &value);
#else
    int found = _PyObject_LookupAttr(obj.ptr(), name, &value);
#endif
    if (found < 0) throw py::error_already_set();
    return found ? py::reinterpret_steal<py::object>(value) : py::object();
}

py::object read(py::handle obj, PyObject* name) {
    PyObject* value = PyObject_GetAttr(obj.ptr(), name);
    if (!value) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(value);
}

[[noreturn]] void expected_str(py::handle value) {
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "str", Py_TYPE(value.ptr())->tp_name);
    throw py::error_already_set();
}

// `value or ""`
py::object or_empty(py::object value) { return hostkit::truthy(value) ? value : py::str(""); }

void append(py::list& chunks, py::handle value) {
    if (PyList_Append(chunks.ptr(), value.ptr()) < 0) throw py::error_already_set();
}

// `block.get("text")` of a dictionary block; a derived dictionary's own get is honoured.
py::object dict_text(py::handle block) {
    if (PyDict_CheckExact(block.ptr())) {
        PyObject* value = PyDict_GetItemWithError(block.ptr(), g_text);
        if (!value && PyErr_Occurred()) throw py::error_already_set();
        return value ? py::reinterpret_borrow<py::object>(value) : py::none();
    }
    PyObject* value = PyObject_CallMethodOneArg(block.ptr(), g_get, g_text);
    if (!value) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(value);
}

// The walk over all output items; a null object when it collected nothing.
py::object walk_output(py::handle resp) {
    py::object output = lookup(resp, g_output);
    if (!output || !hostkit::truthy(output)) return py::object();
    py::list chunks;
    for (py::handle item : output) {
        py::object content = lookup(item, g_content);
        if (!content || content.is_none()) {
            if (lookup(item, g_text)) append(chunks, or_empty(read(item, g_text)));
            continue;
        }
        for (py::handle block : content) {
            if (lookup(block, g_text)) {
                append(chunks, or_empty(read(block, g_text)));
            } else if (PyDict_Check(block.ptr())) {
                py::object text = dict_text(block);
                if (llm::is_str(text)) append(chunks, text);
            }
        }
    }
    if (PyList_GET_SIZE(chunks.ptr()) == 0) return py::object();
    PyObject* joined = PyUnicode_Join(py::str("").ptr(), chunks.ptr());
    if (!joined) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(joined);
}

// The text of the first content block of the first output item; null when that place fails.
py::object first_block(py::handle resp) {
    py::object output = lookup(resp, g_output);
    py::object first = (output ? output : py::list()).attr("__getitem__")(0);
    py::object content = lookup(first, g_content);
    py::object first_content = (content ? content : py::list()).attr("__getitem__")(0);
    if (!lookup(first_content, g_text)) return py::object();
    py::object text = or_empty(read(first_content, g_text));
    if (!llm::is_str(text)) expected_str(text);
    return text;
}

py::object coalesce_response_text(py::object resp) {
    py::object ready = lookup(resp, g_output_text);
    if (ready && hostkit::truthy(ready)) {
        py::object text = or_empty(read(resp, g_output_text));
        if (!llm::is_str(text)) expected_str(text);
        return text;
    }
    py::object text;
    hostkit::guard_ordinary([&] { text = walk_output(resp); });
    if (text) return text;
    hostkit::guard_ordinary([&] { text = first_block(resp); });
    if (text) return text;
    return py::str("");
}

PyObject* interned(const char* name) {
    PyObject* s = PyUnicode_InternFromString(name);
    if (!s) throw py::error_already_set();
    return s;
}

}  // namespace

void define_llm_coalesce(py::module_ m) {
    if (!g_text) {
        g_output_text = interned("output_text");
        g_output = interned("output");
        g_content = interned("content");
        g_get = interned("get");
        g_text = interned("text");
    }
    m.def("_coalesce_response_text", &coalesce_response_text, py::arg("resp"),
          "The answer text of an OpenAI response, or the empty text when none can be found.");
}

}  // namespace modelsmith
