// vormo.nearfind: ranking of worked-example descriptions by similarity to a query.
#include <pybind11/pybind11.h>

#include "hostkit/hostkit.hpp"

namespace py = pybind11;

HOSTKIT_MODULE(nearfind, m) {
    m.doc() = "Retrieval of worked examples whose descriptions are closest to a query.";
    m.def(
        "rank_problem_descriptions",
        [](py::object query, py::object /*models_dir*/, py::object top_k, py::object model_name) -> py::object {
            hostkit::check_str(query, "query");
            hostkit::check_int(top_k, "top_k");
            hostkit::check_str(model_name, "model_name");
            PyErr_SetString(PyExc_NotImplementedError, "description ranking is not available in this build");
            throw py::error_already_set();
        },
        py::arg("query"), py::arg("models_dir") = py::none(), py::arg("top_k") = 10,
        py::arg("model_name") = "sentence-transformers/all-MiniLM-L6-v2");
}
