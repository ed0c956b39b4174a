// The corpus on disk: the description files below a directory, in a stable order, and the
// trimmed text of one file.
#include <algorithm>
#include <vector>

#include "hostkit/hostkit.hpp"
#include "nearfind/nearfind.hpp"

namespace nearfind {
namespace {

struct Found {
    py::object path;
    py::tuple parts;
};

// Paths compare component by component (each name by code point), so "a/b.txt" sorts before
// "a-b/c.txt" although '-' < '/' as characters.
bool parts_less(const py::tuple& a, const py::tuple& b) {
    Py_ssize_t na = PyTuple_GET_SIZE(a.ptr()), nb = PyTuple_GET_SIZE(b.ptr());
    for (Py_ssize_t i = 0; i < na && i < nb; ++i) {
        PyObject* x = PyTuple_GET_ITEM(a.ptr(), i);
        PyObject* y = PyTuple_GET_ITEM(b.ptr(), i);
        if (!PyUnicode_Check(x) || !PyUnicode_Check(y)) continue;
        int c = PyUnicode_Compare(x, y);
        if (c != 0) return c < 0;
    }
    return na < nb;
}

// str.strip() with no argument: the host's notion of white space, at both ends.
py::str strip(const py::str& text) {
    hostkit::CodePoints cp(text);
    Py_ssize_t start = 0, end = cp.size();
    while (start < end && Py_UNICODE_ISSPACE(cp[start])) ++start;
    while (end > start && Py_UNICODE_ISSPACE(cp[end - 1])) --end;
    if (start == 0 && end == cp.size()) return text;
    return cp.slice(start, end);
}

}  // namespace

py::list iter_description_files(py::object models_dir) {
    // The walk itself is the host's recursive glob: hidden names match, symbolic links to
    // directories are not followed and unreadable subdirectories are passed over.
    py::object base = py::module_::import("pathlib").attr("Path")(models_dir);
    std::vector<Found> found;
    for (py::handle item : base.attr("rglob")(kDescriptionPattern)) {
        py::object path = py::reinterpret_borrow<py::object>(item);
        if (!hostkit::truthy(path.attr("is_file")())) continue;  // a directory named "x.txt"
        found.push_back({path, py::tuple(path.attr("parts"))});
    }
    std::stable_sort(found.begin(), found.end(),
                     [](const Found& a, const Found& b) { return parts_less(a.parts, b.parts); });
    py::list out(found.size());
    for (size_t i = 0; i < found.size(); ++i) out[i] = found[i].path;
    return out;
}

py::str read_text(py::object path, py::object max_chars) {
    hostkit::check_int(max_chars, "max_chars");
    py::str result("");
    hostkit::guard_ordinary([&] {
        py::object open = py::module_::import("builtins").attr("open");
        // Undecodable bytes are dropped; universal newlines turn "\r\n" and "\r" into "\n".
        py::object file = open(path, "r", py::arg("encoding") = "utf-8", py::arg("errors") = "ignore");
        // One character more than the cap tells whether the file was longer.
        PyObject* limit = PyNumber_Add(max_chars.ptr(), py::int_(1).ptr());
        if (!limit) throw py::error_already_set();
        py::object read_limit = py::reinterpret_steal<py::object>(limit);
        py::object text =
            hostkit::with_resource(file, [&](py::object f) { return f.attr("read")(read_limit); });
        if (!PyUnicode_Check(text.ptr())) throw py::type_error("read() did not return text");
        int longer = PyObject_RichCompareBool(py::int_(PyUnicode_GET_LENGTH(text.ptr())).ptr(), max_chars.ptr(), Py_GT);
        if (longer < 0) throw py::error_already_set();
        if (longer) {
            py::slice head(py::none(), max_chars, py::none());
            text = text[head];
        }
        result = strip(py::reinterpret_borrow<py::str>(text));
    });
    return result;
}

}  // namespace nearfind
