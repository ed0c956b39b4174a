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

py::object tuple_key(py::object self, py::object elements, py::object env) {
    if (env.is_none()) env = py::dict();
    // Nested tuple literals recurse through the instance's _tuple_key, a call the host counts.
    hostkit::RecursionGuard guard(" while building a tuple key", true);
    py::list parts;
    for (py::handle e : elements) {
        if (!PyDict_Check(e.ptr())) {
            parts.append(e);
            continue;
        }
        py::object kind = dict_get(e, "type");
        if (hostkit::equals(kind, py::str("name"))) {
            py::object name = e[py::str("name")];
            // `name in env`, then env[name]; otherwise the name text itself.
            parts.append(hostkit::contains(env, name) ? py::object(env[name]) : name);
        } else if (hostkit::equals(kind, py::str("number")) || hostkit::equals(kind, py::str("string"))) {
            parts.append(e[py::str("value")]);
        } else if (hostkit::equals(kind, py::str("tuple_literal"))) {
            parts.append(self.attr("_tuple_key")(e[py::str("elements")], env));
        } else {
            parts.append(e);
        }
    }
    return py::tuple(parts);
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
    hostkit::ClassBuilder(m, "SciPyCodeGeneratorBase", py::make_tuple(), kDoc)
        .method("__init__", &init, py::arg("ast"), py::arg("data_dict") = none)
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
            py::arg("idx"))
        .method("_tuple_key", &tuple_key, py::arg("elements"), py::arg("env") = none)
        .method(
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
