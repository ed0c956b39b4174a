// SciPyCodeGenerator: constructing it hands back the concrete generator for the mode.
#include "emitselect/factory.hpp"

#include "hostkit/hostkit.hpp"

namespace emitselect {
namespace py = pybind11;

namespace {

py::object construct(py::object /*cls*/, py::object ast, py::object data_dict, py::object mode) {
    if (hostkit::equals(mode, "csc")) return home.attr("SciPyCSCCodeGenerator")(ast, data_dict);
    if (hostkit::equals(mode, "dense")) {
        home.attr("logger").attr("error")("SciPyDenseCodeGenerator is deprecated");
        PyErr_SetString(PyExc_NotImplementedError, "SciPyDenseCodeGenerator is deprecated and cannot be used.");
        throw py::error_already_set();
    }
    hostkit::raise(PyExc_ValueError, hostkit::join({py::str("Unknown mode: "), hostkit::text_of(mode)}));
}

}  // namespace

void define_factory(py::module_ m) {
    hostkit::ClassBuilder(m, "SciPyCodeGenerator", py::make_tuple(), nullptr)
        .static_method("__new__", &construct, py::arg("cls"), py::arg("ast"), py::arg("data_dict") = py::none(),
                       py::arg("mode") = "csc")
        .finish();
}

}  // namespace emitselect
