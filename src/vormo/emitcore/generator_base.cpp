// SciPyCodeGeneratorBase: the state every solver-script generator shares, declaration lookup in
// the compiled model's syntax tree, index normalisation, tuple keys and error makers.
#include "emitcore/generator_base.hpp"

#include "hostkit/hostkit.hpp"

namespace emitcore {
namespace py = pybind11;

namespace {

constexpr const char* kDoc =
    "\n    Abstract base class for SciPy code generators.\n    Subclasses must implement the required methods.\n    ";

py::object dict_get(py::handle mapping, const char* key) { return mapping.attr("get")(key); }

void init(py::object self, py::object ast, py::object data_dict) {
    py::setattr(self, "ast", ast);
    py::setattr(self, "data_dict", hostkit::truthy(data_dict) ? data_dict : py::object(py::dict()));
    py::setattr(self, "scipy_code_lines", py::list());
    py::setattr(self, "indent_level", py::int_(0));
    py::setattr(self, "var_names", py::list());
    py::setattr(self, "var_indices", py::dict());
    py::setattr(self, "bounds", py::list());
    py::setattr(self, "c", py::list());
    py::setattr(self, "A_ub", py::list());
    py::setattr(self, "b_ub", py::list());
    py::setattr(self, "A_eq", py::list());
    py::setattr(self, "b_eq", py::list());
    py::setattr(self, "results_varname", py::str("results"));
    py::setattr(self, "integrality", py::list());
    py::setattr(self, "tuple_types", py::dict());
}

py::object indent(py::object self) {
    // "    " * indent_level: an empty text for 0 or a negative level.
    PyObject* r = PyNumber_Multiply(py::str("    ").ptr(), self.attr("indent_level").ptr());
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

void add_code_line(py::object self, py::object line) {
    PyObject* r = PyNumber_Add(self.attr("_indent")().ptr(), line.ptr());
    if (!r) throw py::error_already_set();
    self.attr("scipy_code_lines").attr("append")(py::reinterpret_steal<py::object>(r));
}

[[noreturn]] void abstract(const char* message) {
    PyErr_SetString(PyExc_NotImplementedError, message);
    throw py::error_already_set();
}

bool declaration_matches(py::handle decl, py::handle name, py::handle decl_type) {
    if (!hostkit::equals(dict_get(decl, "name"), name)) return false;
    return decl_type.is_none() || hostkit::equals(dict_get(decl, "type"), decl_type);
}

py::object find_declaration(py::object self, py::object name, py::object decl_type) {
    py::object decls = self.attr("ast").attr("get")("declarations", py::list());
    for (py::handle decl : decls)
        if (declaration_matches(decl, name, decl_type)) return py::reinterpret_borrow<py::object>(decl);
    return py::none();
}

py::list find_declarations(py::object self, py::object name, py::object decl_type) {
    py::list found;
    py::object decls = self.attr("ast").attr("get")("declarations", py::list());
    for (py::handle decl : decls)
        if (declaration_matches(decl, name, decl_type)) found.append(decl);
    return found;
}

py::object normalize_index(py::object idx) {
    if (!PyList_Check(idx.ptr()) && !PyTuple_Check(idx.ptr())) return idx;
    hostkit::RecursionGuard guard(" while normalizing an index");
    py::list parts;
    for (py::handle item : idx) parts.append(normalize_index(py::reinterpret_borrow<py::object>(item)));
    return py::tuple(parts);
}

// _tuple_key is called once per index of every generated term, so it is bound directly on the
// host's calling convention (no generic argument conversion) and reads the element dictionaries
// with names made once.
struct Names {
    PyObject* type;
    PyObject* name;
    PyObject* value;
    PyObject* elements;
    PyObject* env;
    PyObject* get;
    PyObject* number;
    PyObject* string;
    PyObject* tuple_literal;
    PyObject* tuple_key;
};
Names g_names{};

PyObject* interned(const char* text) {
    PyObject* s = PyUnicode_InternFromString(text);
    if (!s) throw py::error_already_set();
    return s;
}

py::object steal_or_throw(PyObject* value) {
    if (!value) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(value);
}

// e.get("type"): a derived dictionary's own get is honoured.
py::object kind_of(PyObject* e) {
    if (PyDict_CheckExact(e)) {
        PyObject* kind = PyDict_GetItemWithError(e, g_names.type);
        if (!kind && PyErr_Occurred()) throw py::error_already_set();
        return py::reinterpret_borrow<py::object>(kind ? kind : Py_None);
    }
    return steal_or_throw(PyObject_CallMethodOneArg(e, g_names.get, g_names.type));
}

// kind == "<word>" as a condition evaluates it; a plain text compares directly.
bool is_kind(const py::object& kind, PyObject* word) {
    if (kind.ptr() == word) return true;
    if (PyUnicode_CheckExact(kind.ptr())) {
        int c = PyUnicode_Compare(kind.ptr(), word);
        if (c == -1 && PyErr_Occurred()) throw py::error_already_set();
        return c == 0;
    }
    return hostkit::equals(kind, word);
}

py::object item(PyObject* mapping, PyObject* key) { return steal_or_throw(PyObject_GetItem(mapping, key)); }

// One component of a tuple key. `env` is made (empty) the first time a nested literal needs it,
// so every nested call of one key gets the same dictionary.
py::object component(PyObject* self, PyObject* e, py::object& env) {
    if (!PyDict_Check(e)) return py::reinterpret_borrow<py::object>(e);
    py::object kind = kind_of(e);
    if (is_kind(kind, g_names.name)) {
        py::object name = item(e, g_names.name);
        if (env && hostkit::contains(env, name)) return item(env.ptr(), name.ptr());
        return name;
    }
    if (is_kind(kind, g_names.number) || is_kind(kind, g_names.string)) return item(e, g_names.value);
    if (is_kind(kind, g_names.tuple_literal)) {
        py::object nested = item(e, g_names.elements);
        if (!env) env = py::dict();
        PyObject* call[] = {self, nested.ptr(), env.ptr()};
        // Through the instance, so an override is honoured (the host counts this call's depth).
        return steal_or_throw(
            PyObject_VectorcallMethod(g_names.tuple_key, call, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    }
    return py::reinterpret_borrow<py::object>(e);
}

py::object tuple_key(PyObject* self, PyObject* elements, PyObject* env_arg) {
    hostkit::RecursionGuard guard(" while building a tuple key", true);
    py::object env = env_arg == Py_None ? py::object() : py::reinterpret_borrow<py::object>(env_arg);
    py::object parts = steal_or_throw(PyList_New(0));
    py::object it = steal_or_throw(PyObject_GetIter(elements));
    while (PyObject* raw = PyIter_Next(it.ptr())) {
        py::object e = py::reinterpret_steal<py::object>(raw);
        py::object part = component(self, e.ptr(), env);
        if (PyList_Append(parts.ptr(), part.ptr()) < 0) throw py::error_already_set();
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    return steal_or_throw(PyList_AsTuple(parts.ptr()));
}

// _tuple_key(self, elements, env=None), with the host's messages for a wrong call.
PyObject* tuple_key_entry(PyObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* bound[3] = {nullptr, nullptr, nullptr};
    if (nargs > 3) {
        PyErr_Format(PyExc_TypeError, "_tuple_key() takes from 2 to 3 positional arguments but %zd were given", nargs);
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, i);
        int slot = -1;
        if (PyUnicode_Compare(key, g_names.elements) == 0) slot = 1;
        else if (PyUnicode_Compare(key, g_names.env) == 0) slot = 2;
        if (PyErr_Occurred()) return nullptr;
        if (slot < 0) {
            PyErr_Format(PyExc_TypeError, "_tuple_key() got an unexpected keyword argument '%U'", key);
            return nullptr;
        }
        if (bound[slot]) {
            PyErr_Format(PyExc_TypeError, "_tuple_key() got multiple values for argument '%U'", key);
            return nullptr;
        }
        bound[slot] = args[nargs + i];
    }
    if (!bound[0] || !bound[1]) {
        PyErr_Format(PyExc_TypeError, "_tuple_key() missing 1 required positional argument: '%s'",
                     bound[0] ? "elements" : "self");
        return nullptr;
    }
    try {
        return tuple_key(bound[0], bound[1], bound[2] ? bound[2] : Py_None).release().ptr();
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

PyMethodDef g_tuple_key_def = {
    "_tuple_key", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&tuple_key_entry)),
    METH_FASTCALL | METH_KEYWORDS,
    "_tuple_key($self, /, elements, env=None)\n--\n\n"
    "The tuple key of a tuple literal's elements, with names bound in env replaced by their values."};

// A plain function of the host's kind, bound to the instance on access like a method written in
// the host language.
py::object tuple_key_method(py::module_ m) {
    if (!g_names.type) {
        g_names = Names{interned("type"),   interned("name"),   interned("value"),         interned("elements"),
                        interned("env"),    interned("get"),    interned("number"),        interned("string"),
                        interned("tuple_literal"), interned("_tuple_key")};
    }
    py::object fn = steal_or_throw(PyCFunction_NewEx(&g_tuple_key_def, nullptr, m.attr("__name__").ptr()));
    return steal_or_throw(PyInstanceMethod_New(fn.ptr()));
}

py::object semantic_error(py::str message) { return home.attr("SemanticError")(message); }

py::object unsupported_type_error(py::object context, py::object value) {
    return semantic_error(hostkit::join(
        {py::str("Unsupported "), hostkit::text_of(context), py::str(" type: "), hostkit::text_of(value)}));
}

py::object unsupported_operator_error(py::object context, py::object op) {
    return semantic_error(hostkit::join(
        {py::str("Unsupported "), hostkit::text_of(context), py::str(" operator: '"), hostkit::text_of(op), py::str("'")}));
}

}  // namespace

void define_generator_base(py::module_ m) {
    auto none = py::none();
    hostkit::ClassBuilder cls(m, "SciPyCodeGeneratorBase", py::make_tuple(), kDoc);
    cls.method("__init__", &init, py::arg("ast"), py::arg("data_dict") = none)
        .method("_indent", &indent)
        .method("_add_code_line", &add_code_line, py::arg("line"))
        .method("generate_code", [](py::object) { abstract("Subclasses must implement generate_code()"); })
        .method("_build_variables", [](py::object) { abstract("Subclasses must implement _build_variables()"); })
        .method("_build_objective", [](py::object) { abstract("Subclasses must implement _build_objective()"); })
        .method("_build_constraints",
                [](py::object) { abstract("Subclasses must implement _build_constraints()"); })
        .method("find_declaration", &find_declaration, py::arg("name"),
                py::arg("decl_type") = none)
        .method("find_declarations", &find_declarations, py::arg("name"),
                py::arg("decl_type") = none)
        .static_method("normalize_index", &normalize_index, py::arg("idx"))
        .method(
            "_normalize_index",
            [](py::object self, py::object idx) { return self.attr("normalize_index")(idx); },
            py::arg("idx"));
    py::setattr(cls.cls(), "_tuple_key", tuple_key_method(m));
    cls.method(
            "_find_decl",
            [](py::object self, py::object name, py::object decl_type) {
                return self.attr("find_declaration")(name, decl_type);
            },
            py::arg("name"), py::arg("decl_type") = none)
        .method(
            "_find_decls",
            [](py::object self, py::object name, py::object decl_type) {
                return self.attr("find_declarations")(name, decl_type);
            },
            py::arg("name"), py::arg("decl_type") = none)
        .static_method("_unsupported_type_error", &unsupported_type_error, py::arg("context"), py::arg("value"))
        .static_method("_unsupported_operator_error", &unsupported_operator_error, py::arg("context"),
                       py::arg("op"))
        .finish();
}

}  // namespace emitcore
