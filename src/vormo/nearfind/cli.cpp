// Command-line entry: the arguments form the query, the ten best descriptions are printed.
#include <cstdio>

#include "hostkit/hostkit.hpp"
#include "nearfind/nearfind.hpp"

namespace nearfind {
namespace {

bool blank(const py::str& text) {
    hostkit::CodePoints cp(text);
    for (Py_ssize_t i = 0; i < cp.size(); ++i)
        if (!Py_UNICODE_ISSPACE(cp[i])) return false;
    return true;
}

py::object format(py::handle value, const char* format_spec) {
    PyObject* out = PyObject_Format(value.ptr(), py::str(format_spec).ptr());
    if (!out) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(out);
}

}  // namespace

int run_main(py::object argv) {
    py::object print = py::module_::import("builtins").attr("print");
    if (argv.is_none()) argv = py::module_::import("sys").attr("argv")[py::slice(1, PY_SSIZE_T_MAX, 1)];
    PyObject* joined = PyUnicode_Join(py::str(" ").ptr(), argv.ptr());
    if (!joined) throw py::error_already_set();
    py::str query = py::reinterpret_steal<py::str>(joined);

    // No arguments, or only empty (blank) ones: nothing to search for.
    if (blank(query)) {
        print("Usage: python rag \"your problem description here\"");
        return 1;
    }

    py::list results = home.call("rank_problem_descriptions", query, py::arg("top_k") = kDefaultTopK);
    if (results.empty()) {
        print("No descriptions found.");
        return 0;
    }
    long number = 0;
    for (py::handle result : results) {
        char rank[32];
        std::snprintf(rank, sizeof rank, "%2ld. ", ++number);
        print(hostkit::join({py::str(rank), format(result["path"], ""), py::str("  score="),
                             format(result["score"], ".4f")}));
    }
    return 0;
}

}  // namespace nearfind
