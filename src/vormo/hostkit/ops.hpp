// Small host operations with the host's exact semantics.
#pragma once

#include <pybind11/pybind11.h>

namespace hostkit {
namespace py = pybind11;

// bool(obj)
inline bool truthy(py::handle obj) {
    int r = PyObject_IsTrue(obj.ptr());
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

// `a == b` as a condition evaluates it (no identity shortcut).
inline bool equals(py::handle a, py::handle b) {
    PyObject* r = PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ);
    if (!r) throw py::error_already_set();
    int truth = PyObject_IsTrue(r);
    Py_DECREF(r);
    if (truth < 0) throw py::error_already_set();
    return truth != 0;
}

inline bool equals(py::handle a, const char* text) { return equals(a, py::str(text)); }

// `key in container`
inline bool contains(py::handle container, py::handle key) {
    int r = PySequence_Contains(container.ptr(), key.ptr());
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

inline bool contains(py::handle container, const char* key) { return contains(container, py::str(key)); }

// Guards C recursion on nested host data the way the host does (RecursionError, not a crash).
class RecursionGuard {
public:
    explicit RecursionGuard(const char* where) {
        if (Py_EnterRecursiveCall(where)) throw py::error_already_set();
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
};

}  // namespace hostkit
