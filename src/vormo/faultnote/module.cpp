// vormo.faultnote: the semantic error type shared by the generator base and the factory.
#include "faultnote/semantic_error.hpp"

#include <pybind11/pybind11.h>

#include "hostkit/module.hpp"

HOSTKIT_MODULE(faultnote, m) {
    m.doc() = "The semantic error type of the solver-script generators.";
    faultnote::define_semantic_error(m);
}
