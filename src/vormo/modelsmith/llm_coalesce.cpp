// The answer text of an OpenAI Responses result, from the most convenient place to the most raw:
// the ready-made output_text, the walk over every output item's content blocks, and last the
// first block of the first item. A missing or malformed place never fails the call.
#include <vector>

#include "modelsmith/llm.hpp"

namespace modelsmith {
namespace py = pybind11;

namespace {

using llm::optional_attr;

[[noreturn]] void expected_str(py::handle value) {
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "str", Py_TYPE(value.ptr())->tp_name);
    throw py::error_already_set();
}

// `value or ""`
py::object or_empty(py::object value) { return hostkit::truthy(value) ? value : py::str(""); }

// The walk over all output items; a null object when it collected nothing.
py::object walk_output(py::handle resp) {
    py::object output = optional_attr(resp, "output");
    if (!output || !hostkit::truthy(output)) return py::object();
    py::list chunks;
    for (py::handle item : output) {
        py::object content = optional_attr(item, "content");
        if (!content || content.is_none()) {
            if (optional_attr(item, "text")) chunks.append(or_empty(item.attr("text")));
            continue;
        }
        for (py::handle block : content) {
            if (optional_attr(block, "text")) {
                chunks.append(or_empty(block.attr("text")));
            } else if (PyDict_Check(block.ptr())) {
                py::object text = block.attr("get")("text");
                if (llm::is_str(text)) chunks.append(text);
            }
        }
    }
    if (py::len(chunks) == 0) return py::object();
    return py::str("").attr("join")(chunks);
}

// The text of the first content block of the first output item; null when that place fails.
py::object first_block(py::handle resp) {
    py::object output = optional_attr(resp, "output");
    py::object first = (output ? output : py::list()).attr("__getitem__")(0);
    py::object content = optional_attr(first, "content");
    py::object first_content = (content ? content : py::list()).attr("__getitem__")(0);
    if (!optional_attr(first_content, "text")) return py::object();
    py::object text = or_empty(first_content.attr("text"));
    if (!llm::is_str(text)) expected_str(text);
    return text;
}

py::object coalesce_response_text(py::object resp) {
    py::object ready = optional_attr(resp, "output_text");
    if (ready && hostkit::truthy(ready)) {
        py::object text = or_empty(resp.attr("output_text"));
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

}  // namespace

void define_llm_coalesce(py::module_ m) {
    m.def("_coalesce_response_text", &coalesce_response_text, py::arg("resp"),
          "The answer text of an OpenAI response, or the empty text when none can be found.");
}

}  // namespace modelsmith
