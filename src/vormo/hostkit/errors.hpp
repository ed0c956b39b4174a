// Error plumbing: "ordinary" errors (everything derived from Exception) versus the ones that
// must pass through untouched (KeyboardInterrupt, SystemExit, GeneratorExit), and chaining.
#pragma once

#include <pybind11/pybind11.h>

#include <exception>
#include <string>

namespace hostkit {
namespace py = pybind11;

// Runs `body`; returns true when it completed. An ordinary error is swallowed (false is
// returned and, when given, its text stored in `*message`); anything else is rethrown.
// C++ exceptions are translated by pybind11 to ordinary Python errors, so they count as ordinary.
template <class Body>
bool guard_ordinary(Body&& body, py::object* error = nullptr) {
    try {
        body();
        return true;
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        if (error) *error = e.value();
        return false;
    } catch (const py::builtin_exception& e) {
        if (error) *error = py::str(e.what());
        return false;
    } catch (const std::exception& e) {
        if (error) *error = py::str(e.what());
        return false;
    }
}

// Raises `kind(message)` with the error currently being handled as its __cause__.
// Must be called from inside a catch block of py::error_already_set.
[[noreturn]] inline void raise_with_cause(py::error_already_set& cause, PyObject* kind, const std::string& message) {
    cause.restore();
    py::raise_from(kind, message.c_str());
    throw py::error_already_set();
}

// Raises a Python error of `kind` with `message` (a str object, so any text is carried exactly).
[[noreturn]] inline void raise(PyObject* kind, py::handle message) {
    PyErr_SetObject(kind, message.ptr());
    throw py::error_already_set();
}

// `with cm as x: return body(x)`: the context manager's __exit__ runs on every path and sees the
// error that left the body, as the host's with-statement would show it.
template <class Body>
py::object with_resource(py::object cm, Body&& body) {
    py::object resource = cm.attr("__enter__")();
    py::object result;
    try {
        result = body(resource);
    } catch (py::error_already_set& e) {
        cm.attr("__exit__")(e.type(), e.value(), e.trace());
        throw;
    }
    cm.attr("__exit__")(py::none(), py::none(), py::none());
    return result;
}

}  // namespace hostkit
