// Error plumbing: "ordinary" errors (everything derived from Exception) versus the ones that
// must pass through untouched (KeyboardInterrupt, SystemExit, GeneratorExit), and chaining.
#pragma once

#include <pybind11/pybind11.h>

#include "hostkit/ops.hpp"

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
        if (error) {
            // The error as an `except Exception as error:` clause holds it: with its traceback.
            if (e.trace() && PyException_SetTraceback(e.value().ptr(), e.trace().ptr()) < 0)
                throw py::error_already_set();
            *error = e.value();
        }
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

// type(obj).<name> bound to obj, as the host looks up the special methods of a with-statement;
// null (no error set) when the type has no such attribute.
inline py::object lookup_special(py::handle obj, const char* name) {
    py::object attr = py::reinterpret_borrow<py::object>(_PyType_Lookup(Py_TYPE(obj.ptr()), py::str(name).ptr()));
    if (!attr) return attr;
    descrgetfunc get = Py_TYPE(attr.ptr())->tp_descr_get;
    if (!get) return attr;
    PyObject* bound = get(attr.ptr(), obj.ptr(), reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr())));
    if (!bound) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(bound);
}

// The error a C++ exception stands for, set in the host and fetched: what pybind11 would raise
// for it when it left the binding. Must be called from inside a catch block.
inline py::error_already_set current_as_host_error() {
    py::detail::try_translate_exceptions();
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    return py::error_already_set();
}

// `with cm as x: return body(x)`: the context manager's __exit__ runs on every path and sees the
// error that left the body, as the host's with-statement shows it: the error's type, value and
// traceback (None when it has none). The error then propagates unchanged (or not at all when
// __exit__ returns a true value: the block then gives None). An error raised by __exit__ itself
// replaces the body's error, with that one as its __context__.
template <class Body>
py::object with_resource(py::object cm, Body&& body) {
    py::object enter = lookup_special(cm, "__enter__");
    py::object exit = enter ? lookup_special(cm, "__exit__") : py::object();
    if (!enter || !exit) {
        if (PyErr_Occurred()) throw py::error_already_set();
        PyErr_Format(PyExc_TypeError,
                     "'%.200s' object does not support the context manager protocol%s", Py_TYPE(cm.ptr())->tp_name,
                     enter ? " (missed __exit__ method)" : "");
        throw py::error_already_set();
    }
    py::object resource = enter();
    py::object result;
    bool suppressed = false;
    auto on_error = [&](py::error_already_set& e) {
        py::object trace = e.trace() ? py::reinterpret_borrow<py::object>(e.trace()) : py::object(py::none());
        py::object handled;
        try {
            handled = exit(e.type(), e.value(), trace);
        } catch (py::error_already_set& raised) {
            if (raised.value().ptr() != e.value().ptr())
                PyException_SetContext(raised.value().ptr(), e.value().inc_ref().ptr());
            throw;
        }
        return truthy(handled);
    };
    try {
        result = body(resource);
    } catch (py::error_already_set& e) {
        if (!on_error(e)) throw;
        suppressed = true;
    } catch (...) {
        py::error_already_set e = current_as_host_error();
        if (!on_error(e)) throw e;
        suppressed = true;
    }
    if (suppressed) return py::none();
    exit(py::none(), py::none(), py::none());
    return result;
}

}  // namespace hostkit
