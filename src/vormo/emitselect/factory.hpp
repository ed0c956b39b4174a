#pragma once

#include <pybind11/pybind11.h>

#include "hostkit/binding.hpp"

namespace emitselect {
inline hostkit::ModuleSlot home;
void define_factory(pybind11::module_ m);
}  // namespace emitselect
