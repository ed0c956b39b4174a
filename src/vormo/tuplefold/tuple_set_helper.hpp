#pragma once

#include <pybind11/pybind11.h>

namespace tuplefold {
void define_tuple_set_helper(pybind11::module_ m);
}
