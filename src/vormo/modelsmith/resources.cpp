// Files the prompts are made from: the Grammar mode, the readers of the grammar document, the
// grammar file and the compiler source, a tolerant capped reader for worked examples and the
// lookup of the model/data pair that belongs to an example description.
#include "hostkit/hostkit.hpp"
#include "modelsmith/building_blocks.hpp"
#include "modelsmith/home.hpp"

namespace modelsmith {
namespace py = pybind11;

namespace {

constexpr const char* kGrammarFolder = "grammars";
constexpr const char* kCompilerModule = "vormo_kernel";

py::object make_grammar_enum(py::module_ m) {
    py::object enum_type = py::module_::import("enum").attr("Enum");
    py::list names;
    for (const char* name : {"NONE", "BNF", "CODE"}) names.append(name);
    // Values are assigned 1, 2, 3 in this order by the functional API.
    return enum_type("Grammar", names, py::arg("module") = m.attr("__name__"), py::arg("qualname") = "Grammar");
}

py::object get_grammar_implementation(py::object mode) {
    py::object grammar = home.attr("Grammar");
    if (hostkit::equals(mode, grammar.attr("NONE"))) return py::str("");
    if (hostkit::equals(mode, grammar.attr("BNF"))) return home.call("_read_vormo_grammar");
    if (hostkit::equals(mode, grammar.attr("CODE"))) return home.call("_read_vormo_code");
    PyObject* message = PyUnicode_FromFormat("Invalid mode: %S", mode.ptr());
    if (!message) throw py::error_already_set();
    hostkit::raise(PyExc_ValueError, py::reinterpret_steal<py::object>(message));
}

// A resource of the installed package, e.g. vormo/grammars/<name>, read whole as strict UTF-8.
py::object read_package_resource(const char* name) {
    py::object files = py::module_::import("importlib.resources").attr("files");
    py::object root = files(hostkit::package_of(py::reinterpret_borrow<py::module_>(home.module())));
    py::object resource = root.attr("joinpath")(kGrammarFolder).attr("joinpath")(name);
    return resource.attr("read_text")(py::arg("encoding") = "utf-8");
}

py::object read_vormo_grammar() { return read_package_resource("Vormo grammar.md"); }

py::object read_vormo_GBNF() { return read_package_resource("Vormo_GBNF"); }

// Whole file as strict UTF-8 text, whatever the locale.
py::object read_file(py::object path) {
    hostkit::check_str(path, "path");
    py::object file = py::module_::import("builtins").attr("open")(path, "r", py::arg("encoding") = "utf-8");
    return hostkit::with_resource(file, [](py::object f) { return f.attr("read")(); });
}

// The compiler module's source file, found beside this module's own file.
py::object read_vormo_code() {
    py::module_ os_path = py::module_::import("os.path");
    py::object folder = os_path.attr("dirname")(home.attr("__file__"));
    py::object suffix = py::module_::import("importlib.machinery").attr("SOURCE_SUFFIXES")[py::int_(0)];
    py::object file_name = py::str(kCompilerModule) + suffix;
    return home.call("_read_file", os_path.attr("join")(folder, file_name));
}

// How many characters to read for a cap: -1 (all) for a cap beyond the 64-bit range, 0 for a
// negative one.
long long characters_for(py::handle max_chars) {
    int overflow = 0;
    long long cap = PyLong_AsLongLongAndOverflow(max_chars.ptr(), &overflow);
    if (cap == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow > 0) return -1;
    if (overflow < 0 || cap < 0) return 0;
    return cap;
}

// The first max_chars characters of a file system path's UTF-8 text, read from a regular file
// only: the file is opened without blocking and checked once open, so a FIFO or a device named
// like an example never holds up generation; anything else gives "". No more than the cap is read.
py::object read_regular_file(py::handle name, long long wanted) {
    py::module_ os = py::module_::import("os");
    py::object flags = os.attr("O_RDONLY");
    if (py::hasattr(os, "O_NONBLOCK")) flags = flags | os.attr("O_NONBLOCK");
    py::object fd = os.attr("open")(name, flags);
    py::object mode;
    try {
        mode = os.attr("fstat")(fd).attr("st_mode");
    } catch (py::error_already_set&) {
        os.attr("close")(fd);
        throw;
    }
    if (!hostkit::truthy(py::module_::import("stat").attr("S_ISREG")(mode))) {
        os.attr("close")(fd);
        return py::str("");
    }
    py::object file = py::module_::import("io").attr("open")(fd, "r", py::arg("encoding") = "utf-8",
                                                             py::arg("errors") = "ignore");
    return hostkit::with_resource(file, [&](py::object f) { return f.attr("read")(wanted); });
}

// UTF-8 text of a path object, undecodable bytes dropped, cut to max_chars, then trimmed. A file
// system path is read as a regular file only, no further than the cap; another object is asked
// for its read_text(). Any ordinary error (missing file, no permission, not a path) gives "".
py::object safe_read_text(py::object path, py::object max_chars) {
    hostkit::check_int(max_chars, "max_chars");
    py::object result = py::str("");
    hostkit::guard_ordinary([&] {
        const long long wanted = characters_for(max_chars);
        py::object text;
        if (py::hasattr(path, "__fspath__"))
            text = read_regular_file(path.attr("__fspath__")(), wanted);
        else
            text = path.attr("read_text")(py::arg("encoding") = "utf-8", py::arg("errors") = "ignore");
        if (!PyUnicode_Check(text.ptr())) throw py::type_error("read_text() did not return text");
        if (wanted >= 0 && PyUnicode_GET_LENGTH(text.ptr()) > wanted) {
            PyObject* head = PyUnicode_Substring(text.ptr(), 0, static_cast<Py_ssize_t>(wanted));
            if (!head) throw py::error_already_set();
            text = py::reinterpret_steal<py::object>(head);
        }
        result = text.attr("strip")();
    });
    return result;
}

bool is_regular_file(py::handle path) {
    return hostkit::truthy(path.attr("exists")()) && hostkit::truthy(path.attr("is_file")());
}

// The first "*<suffix>" regular file of the folder by sorted path, or None.
py::object first_match(py::handle folder, const char* pattern) {
    py::list found = py::module_::import("builtins").attr("sorted")(folder.attr("glob")(pattern));
    for (py::handle candidate : found)
        if (is_regular_file(candidate)) return py::reinterpret_borrow<py::object>(candidate);
    return py::none();
}

py::object existing_or_none(py::object path) {
    if (path.is_none() || !hostkit::truthy(path.attr("exists")())) return py::none();
    return path;
}

// The model and data files of a description: <stem>.mod and <stem>.dat beside it when they are
// regular files, otherwise the first *.mod / *.dat of the folder.
py::tuple find_pair_in_folder(py::object desc_path) {
    py::object folder = desc_path.attr("parent");
    py::object stem = desc_path.attr("stem");
    py::object model = folder.attr("__truediv__")(stem + py::str(".mod"));
    py::object data = folder.attr("__truediv__")(stem + py::str(".dat"));
    if (!is_regular_file(model)) model = first_match(folder, "*.mod");
    if (!is_regular_file(data)) data = first_match(folder, "*.dat");
    // Only regular files are paired: a folder, FIFO or device named x.mod is passed over.
    return py::make_tuple(existing_or_none(model), existing_or_none(data));
}

}  // namespace

void define_resources(py::module_ m) {
    m.attr("Grammar") = make_grammar_enum(m);
    m.def("_get_grammar_implementation", &get_grammar_implementation, py::arg("mode"));
    m.def("_read_vormo_grammar", &read_vormo_grammar);
    m.def("_read_vormo_GBNF", &read_vormo_GBNF);
    m.def("_read_vormo_code", &read_vormo_code);
    m.def("_read_file", &read_file, py::arg("path"));
    // The cap's default is the setting's value when the module loads; changing it later does not
    // change the default.
    m.def("_safe_read_text", &safe_read_text, py::arg("path"), py::arg("max_chars") = m.attr("FEW_SHOT_MAX_CHARS"));
    m.def("_find_pair_in_folder", &find_pair_in_folder, py::arg("desc_path"));
}

}  // namespace modelsmith
