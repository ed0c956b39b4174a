// SemanticError: the error the solver-script generators raise for constructs they cannot
// translate. Its displayed text is fixed once, in the constructor.
#include "faultnote/semantic_error.hpp"

#include "hostkit/hostkit.hpp"

namespace faultnote {
namespace py = pybind11;

namespace {

void init(py::object self, py::object message, py::object lineno) {
    py::setattr(self, "message", message);
    py::setattr(self, "lineno", lineno);
    py::str text = hostkit::truthy(lineno)
                       ? hostkit::join({py::str("Semantic Error (Line "), hostkit::text_of(lineno), py::str("): "),
                                        hostkit::text_of(message)})
                       : hostkit::join({py::str("Semantic Error: "), hostkit::text_of(message)});
    py::handle base = reinterpret_cast<PyObject*>(PyExc_Exception);
    base.attr("__init__")(self, text);
}

}  // namespace

void define_semantic_error(py::module_ m) {
    hostkit::ClassBuilder(m, "SemanticError", py::make_tuple(py::handle(PyExc_Exception)),
                          "Custom exception for semantic errors.")
        .method("__init__", &init, py::arg("message"), py::arg("lineno") = py::none())
        .finish();
}

}  // namespace faultnote
