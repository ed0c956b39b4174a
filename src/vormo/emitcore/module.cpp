// vormo.emitcore: the abstract base of the solver-script generators.
#include "emitcore/generator_base.hpp"

#include "hostkit/hostkit.hpp"

HOSTKIT_MODULE(emitcore, m) {
    m.doc() = "Abstract base of the generators that turn a compiled Vormo model into a SciPy script.";
    emitcore::home.bind(m);
    m.attr("SemanticError") = hostkit::import_from(m, ".faultnote", "SemanticError");
    emitcore::define_generator_base(m);
}
