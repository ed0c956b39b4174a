// Exact-type argument checks with the host's wording.
//
// A parameter declared as str/int/float/list/dict accepts exactly that type: a bool is not an
// int and a str subclass is not a str. Optional parameters also accept None.
#pragma once

#include <pybind11/pybind11.h>

namespace hostkit {
namespace py = pybind11;

[[noreturn]] inline void raise_arg_type(const char* name, PyTypeObject* expected, py::handle given) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 name, expected->tp_name, Py_TYPE(given.ptr())->tp_name);
    throw py::error_already_set();
}

inline void check_exact(py::handle value, PyTypeObject* expected, const char* name) {
    if (!Py_IS_TYPE(value.ptr(), expected)) raise_arg_type(name, expected, value);
}

inline void check_exact_or_none(py::handle value, PyTypeObject* expected, const char* name) {
    if (!value.is_none() && !Py_IS_TYPE(value.ptr(), expected)) raise_arg_type(name, expected, value);
}

inline void check_str(py::handle v, const char* name) { check_exact(v, &PyUnicode_Type, name); }
inline void check_int(py::handle v, const char* name) { check_exact(v, &PyLong_Type, name); }
inline void check_float(py::handle v, const char* name) { check_exact(v, &PyFloat_Type, name); }
inline void check_list(py::handle v, const char* name) { check_exact(v, &PyList_Type, name); }
inline void check_dict(py::handle v, const char* name) { check_exact(v, &PyDict_Type, name); }

inline void check_opt_str(py::handle v, const char* name) { check_exact_or_none(v, &PyUnicode_Type, name); }
inline void check_opt_int(py::handle v, const char* name) { check_exact_or_none(v, &PyLong_Type, name); }
inline void check_opt_list(py::handle v, const char* name) { check_exact_or_none(v, &PyList_Type, name); }
inline void check_opt_dict(py::handle v, const char* name) { check_exact_or_none(v, &PyDict_Type, name); }

}  // namespace hostkit
