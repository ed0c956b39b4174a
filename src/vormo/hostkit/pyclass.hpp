// Real Python classes whose method bodies are C++.
//
// The class is made by the host's own `type(name, bases, namespace)`, so it behaves like a class
// written in Python: it can be subclassed, its instances have a __dict__, attributes can be set,
// and methods are looked up through the instance. Methods are pybind11 functions wrapped as
// instance methods (bound to `self` on access) or as static methods.
#pragma once

#include <pybind11/pybind11.h>

#include <utility>

namespace hostkit {
namespace py = pybind11;

class ClassBuilder {
public:
    // `doc` may be nullptr for a class without documentation string.
    ClassBuilder(py::module_ module, const char* name, py::tuple bases, const char* doc)
        : module_(module), name_(name) {
        py::dict ns;
        ns["__module__"] = module.attr("__name__");
        ns["__qualname__"] = py::str(name);
        ns["__doc__"] = doc ? py::object(py::str(doc)) : py::object(py::none());
        cls_ = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type))(name, bases, ns);
    }

    template <class Func, class... Extra>
    ClassBuilder& method(const char* name, Func&& f, const Extra&... extra) {
        py::cpp_function fn(std::forward<Func>(f), py::name(name), py::is_method(cls_),
                            py::sibling(py::getattr(cls_, name, py::none())), extra...);
        as_plain_function(fn);
        py::setattr(cls_, name, fn);
        return *this;
    }

    template <class Func, class... Extra>
    ClassBuilder& static_method(const char* name, Func&& f, const Extra&... extra) {
        py::cpp_function fn(std::forward<Func>(f), py::name(name), py::scope(cls_), extra...);
        py::setattr(cls_, name, py::staticmethod(fn));
        return *this;
    }

    py::object cls() const { return cls_; }

    // Binds the finished class on the module under its name and returns it.
    py::object finish() {
        module_.attr(name_) = cls_;
        return cls_;
    }

private:
    // pybind11 takes any function named "__init__" for a constructor of one of its own classes
    // and would treat `self` as its instance layout. These classes are plain host classes, so
    // their __init__ is an ordinary method.
    static void as_plain_function(py::handle fn) {
        py::handle f = py::detail::get_function(fn);
        if (!f || !PyCFunction_Check(f.ptr())) return;
        for (auto* rec = py::detail::function_record_ptr_from_PyObject(PyCFunction_GET_SELF(f.ptr())); rec;
             rec = rec->next)
            rec->is_constructor = false;
    }

    py::module_ module_;
    const char* name_;
    py::object cls_;
};

}  // namespace hostkit
