// vormo.tokenledger: token counting, usage records, the pricing table and cost estimates.
#include <pybind11/pybind11.h>

#include "hostkit/module.hpp"

namespace py = pybind11;

namespace {
[[noreturn]] void not_ready(const char* what) {
    PyErr_Format(PyExc_NotImplementedError, "%s is not available in this build", what);
    throw py::error_already_set();
}
}  // namespace

HOSTKIT_MODULE(tokenledger, m) {
    m.doc() = "Token counting, usage extraction, pricing table and cost estimates.";
    m.def("_extract_openai_usage", [](py::args, py::kwargs) { not_ready("_extract_openai_usage"); });
    m.def("_extract_gemini_usage", [](py::args, py::kwargs) { not_ready("_extract_gemini_usage"); });
    m.def("estimate_costs", [](py::args, py::kwargs) { not_ready("estimate_costs"); });
}
