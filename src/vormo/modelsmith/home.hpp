// The modelsmith module object, shared by the files that make up the module. Every sibling
// operation, setting and import-time name is read from it at call time.
#pragma once

#include "hostkit/binding.hpp"

namespace modelsmith {
inline hostkit::ModuleSlot home;
}
