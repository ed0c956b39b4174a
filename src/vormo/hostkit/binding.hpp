// Late binding and import-time names.
//
// Every module keeps a handle to its own module object (set once in module init) and reads
// sibling operations, settings and imported names from its namespace at call time, so a host's
// setattr on the module takes effect at the next call. Attributes are never cached in C++.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace hostkit {
namespace py = pybind11;

class ModuleSlot {
public:
    // The module object lives as long as the interpreter; the reference is kept on purpose and
    // never released, so no C++ static destructor touches Python at shutdown.
    void bind(py::module_ m) { module_ = m.inc_ref().ptr(); }
    py::handle module() const { return module_; }
    py::object attr(const char* name) const { return py::getattr(module_, name); }
    template <class... Args>
    py::object call(const char* name, Args&&... args) const {
        return attr(name)(std::forward<Args>(args)...);
    }

private:
    PyObject* module_ = nullptr;
};

// The package a module belongs to ("vormo" for "vormo.emitcore").
inline py::str package_of(py::module_ m) {
    py::str name = m.attr("__name__");
    return py::str(name.attr("rpartition")(".")[py::int_(0)]);
}

// `from <relative> import <name>` done from module `m`: imports package-relative and reports a
// missing name the way the host does, with ImportError carrying name and path.
inline py::object import_from(py::module_ m, const char* relative, const char* name) {
    py::object importlib = py::module_::import("importlib");
    py::object source = importlib.attr("import_module")(relative, package_of(m));
    PyObject* value = PyObject_GetAttrString(source.ptr(), name);
    if (value) return py::reinterpret_steal<py::object>(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    py::str mod_name = source.attr("__name__");
    py::object path = py::getattr(source, "__file__", py::str("unknown location"));
    std::string text = "cannot import name '" + std::string(name) + "' from '" + mod_name.cast<std::string>() +
                       "' (" + py::str(path).cast<std::string>() + ")";
    py::object err = py::module_::import("builtins").attr("ImportError")(
        text, py::arg("name") = mod_name, py::arg("path") = path);
    PyErr_SetObject(PyExc_ImportError, err.ptr());
    throw py::error_already_set();
}

}  // namespace hostkit
