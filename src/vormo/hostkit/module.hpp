// Module entry point.
//
// A module whose load fails (a sibling it imports is missing, say) must fail with the host's own
// error: ModuleNotFoundError or ImportError naming the missing piece. pybind11's own entry macro
// would wrap every such error in a generic ImportError("initialization failed"); this one hands
// the original error to the import system unchanged.
#pragma once

#include <pybind11/pybind11.h>

#define HOSTKIT_MODULE(name, variable)                                                              \
    static void hostkit_init_##name(::pybind11::module_&);                                          \
    static PyModuleDef hostkit_def_##name;                                                          \
    PYBIND11_PLUGIN_IMPL(name) {                                                                    \
        PYBIND11_CHECK_PYTHON_VERSION                                                               \
        try {                                                                                       \
            PYBIND11_ENSURE_INTERNALS_READY                                                         \
            auto m = ::pybind11::module_::create_extension_module(#name, nullptr, &hostkit_def_##name); \
            hostkit_init_##name(m);                                                                 \
            return m.release().ptr();                                                               \
        } catch (::pybind11::error_already_set & e) {                                               \
            e.restore();                                                                            \
        } catch (const std::exception& e) {                                                         \
            PyErr_SetString(PyExc_ImportError, e.what());                                           \
        }                                                                                           \
        return nullptr;                                                                             \
    }                                                                                               \
    void hostkit_init_##name(::pybind11::module_ & variable)
