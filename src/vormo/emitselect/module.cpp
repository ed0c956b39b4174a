// vormo.emitselect: the entry point for obtaining a solver-script generator.
#include "emitselect/factory.hpp"

#include "hostkit/hostkit.hpp"

HOSTKIT_MODULE(emitselect, m) {
    namespace py = pybind11;
    m.doc() = "Factory of solver-script generators, with the generator base and error type re-exported.";
    emitselect::home.bind(m);
    m.attr("logging") = py::module_::import("logging");
    m.attr("SciPyCodeGeneratorBase") = hostkit::import_from(m, ".emitcore", "SciPyCodeGeneratorBase");
    m.attr("SciPyCSCCodeGenerator") = hostkit::import_from(m, ".emitsparse", "SciPyCSCCodeGenerator");
    m.attr("SemanticError") = hostkit::import_from(m, ".faultnote", "SemanticError");
    m.attr("logger") = m.attr("logging").attr("getLogger")(m.attr("__name__"));
    emitselect::define_factory(m);
    m.attr("__all__") = py::list(py::make_tuple("SciPyCodeGenerator", "SciPyCSCCodeGenerator", "SciPyCodeGeneratorBase",
                                       "SemanticError"));
}
