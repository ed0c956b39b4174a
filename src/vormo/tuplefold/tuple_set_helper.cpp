// TupleSetHelper: turns a declared set of tuples into a list of plain (nested) tuples, looking
// the set up first in the model data and then in the syntax tree's declarations.
#include "tuplefold/tuple_set_helper.hpp"

#include "hostkit/hostkit.hpp"

namespace tuplefold {
namespace py = pybind11;

namespace {

py::object to_tuple_recursive(py::object val) {
    py::object items;
    if (PyDict_Check(val.ptr()) && hostkit::contains(val, "elements"))
        items = val[py::str("elements")];
    else if (PyList_Check(val.ptr()) || PyTuple_Check(val.ptr()))
        items = val;
    else
        return val;
    hostkit::RecursionGuard guard(" while converting a tuple");
    py::list parts;
    for (py::handle item : items) parts.append(to_tuple_recursive(py::reinterpret_borrow<py::object>(item)));
    return py::tuple(parts);
}

py::list convert_all(py::handle members) {
    py::list out;
    for (py::handle item : members) out.append(to_tuple_recursive(py::reinterpret_borrow<py::object>(item)));
    return out;
}

py::list get_tuple_set(py::object ast, py::object data_dict, py::object set_name) {
    if (hostkit::contains(data_dict, set_name)) {
        py::object val = data_dict[set_name];
        if (PyDict_Check(val.ptr()) && hostkit::contains(val, "elements")) return convert_all(val[py::str("elements")]);
        if (PyDict_Check(val.ptr()) && hostkit::contains(val, "value")) return convert_all(val[py::str("value")]);
        if (PyList_Check(val.ptr())) return convert_all(val);
    }
    for (py::handle decl : ast.attr("get")("declarations", py::list())) {
        if (!hostkit::equals(decl.attr("get")("name"), set_name)) continue;
        py::object kind = decl.attr("get")("type");
        if (!hostkit::equals(kind, py::str("set")) && !hostkit::equals(kind, py::str("set_of_tuples"))) continue;
        if (hostkit::contains(decl, "elements")) return convert_all(decl[py::str("elements")]);
        if (hostkit::contains(decl, "value")) return convert_all(decl[py::str("value")]);
    }
    return py::list();
}

}  // namespace

void define_tuple_set_helper(py::module_ m) {
    hostkit::ClassBuilder(m, "TupleSetHelper", py::make_tuple(), nullptr)
        .static_method("_to_tuple_recursive", &to_tuple_recursive, py::arg("val"))
        .static_method("get_tuple_set", &get_tuple_set, py::arg("ast"), py::arg("data_dict"), py::arg("set_name"))
        .finish();
}

}  // namespace tuplefold
