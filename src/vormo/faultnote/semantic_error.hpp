#pragma once

#include <pybind11/pybind11.h>

namespace faultnote {
void define_semantic_error(pybind11::module_ m);
}
