#pragma once

#include <pybind11/pybind11.h>

#include "hostkit/binding.hpp"

namespace emitcore {
// The emitcore module itself, for names bound at import (SemanticError).
inline hostkit::ModuleSlot home;
void define_generator_base(pybind11::module_ m);
}  // namespace emitcore
