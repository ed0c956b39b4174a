// Shared pieces of the generation workflow: progress reporting through the module's `_notify`,
// debug lines on the module logger, text files read and written with the host's open(), and the
// handling of the (text, usage) pair that the LLM layer returns.
#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>
#include <utility>
#include <vector>

#include "hostkit/hostkit.hpp"
#include "modelsmith/home.hpp"

namespace modelsmith {
namespace py = pybind11;

// _notify; generative_solve; _gather_few_shots; generative_feedback.
void define_notify(py::module_ m);
void define_generation(py::module_ m);
void define_few_shots(py::module_ m);
void define_feedback(py::module_ m);

namespace workflow {

// "".join(pieces), every piece a str.
inline py::str cat(std::initializer_list<py::handle> pieces) { return hostkit::join(std::vector<py::handle>(pieces)); }

// str(value)
inline py::str text(py::handle value) { return hostkit::text_of(value); }

// Reports `msg` through the module's `_notify` (looked up at each call, like every sibling).
inline void report(py::handle progress, py::handle msg) { home.call("_notify", progress, msg); }

// The argument checks the two public workflows share, in their parameters' order.
inline void check_request_args(py::handle prompt, py::handle model_file, py::handle data_file, py::handle model_name,
                               py::handle temperature, py::handle stop, py::handle llm_provider) {
    hostkit::check_str(prompt, "prompt");
    hostkit::check_str(model_file, "model_file");
    hostkit::check_str(data_file, "data_file");
    hostkit::check_str(model_name, "model_name");
    hostkit::check_exact_or_none(temperature, &PyFloat_Type, "temperature");
    hostkit::check_opt_list(stop, "stop");
    hostkit::check_opt_str(llm_provider, "llm_provider");
}

// A debug line on the module logger; `make` builds the message only when debug is enabled.
template <class Make>
void debug(Make&& make) {
    py::object logger = home.attr("logger");
    if (hostkit::enabled_for(logger, hostkit::Level::debug)) logger.attr("debug")(make());
}

// The whole file as text: host's open(path), strict UTF-8 whatever the locale.
inline py::object read_text_file(py::handle path) {
    py::object file = py::module_::import("builtins").attr("open")(path, "r", py::arg("encoding") = "utf-8");
    return hostkit::with_resource(file, [](py::object f) { return f.attr("read")(); });
}

// `a, b = value`, with the host's messages for a value that does not hold exactly two items.
inline std::pair<py::object, py::object> unpack_pair(py::handle value) {
    PyObject* items = nullptr;
    if (PyTuple_CheckExact(value.ptr()) || PyList_CheckExact(value.ptr())) {
        items = Py_NewRef(value.ptr());
    } else {
        PyObject* it = PyObject_GetIter(value.ptr());
        if (!it) {
            if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(value.ptr())->tp_name);
            throw py::error_already_set();
        }
        items = PySequence_List(it);
        Py_DECREF(it);
        if (!items) throw py::error_already_set();
    }
    auto owned = py::reinterpret_steal<py::object>(items);
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items);
    if (n < 2) {
        PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", n);
        throw py::error_already_set();
    }
    if (n > 2) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        throw py::error_already_set();
    }
    PyObject** slots = PySequence_Fast_ITEMS(items);
    return {py::reinterpret_borrow<py::object>(slots[0]), py::reinterpret_borrow<py::object>(slots[1])};
}

// The error `kind(message)` with `cause` attached, raised from inside the handler of `cause`.
[[noreturn]] inline void raise_from(PyObject* kind, py::handle message, py::handle cause) {
    PyObject* error = PyObject_CallOneArg(kind, message.ptr());
    if (!error) throw py::error_already_set();
    if (!cause.is_none() && PyExceptionInstance_Check(cause.ptr())) PyException_SetCause(error, Py_NewRef(cause.ptr()));
    PyErr_SetObject(kind, error);
    Py_DECREF(error);
    throw py::error_already_set();
}

}  // namespace workflow
}  // namespace modelsmith
