// Command-line entry: the arguments form the query, the ten best descriptions are printed.
#include <cctype>
#include <cstdio>
#include <string>

#include "hostkit/hostkit.hpp"
#include "nearfind/nearfind.hpp"

namespace nearfind {
namespace {

bool blank(const py::str& text) {
    hostkit::CodePoints cp(text);
    for (Py_ssize_t i = 0; i < cp.size(); ++i)
        if (!Py_UNICODE_ISSPACE(cp[i])) return false;
    return true;
}

py::object format(py::handle value, const char* format_spec) {
    PyObject* out = PyObject_Format(value.ptr(), py::str(format_spec).ptr());
    if (!out) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(out);
}

constexpr const char* kHelp =
    "usage: vormo-nearfind [-h] [--] QUERY...\n"
    "\n"
    "Rank the worked examples by similarity to QUERY (the arguments joined with spaces)\n"
    "and print the ten closest, best first, with their scores.\n"
    "\n"
    "options:\n"
    "  -h, --help  show this help and exit\n"
    "  --          end of options: every argument after it is part of the query\n"
    "\n"
    "example:\n"
    "  vormo-nearfind which parcels fit in the van";

// What the arguments ask for before any ranking: help, a refusal, or a query. A word that starts
// with "-" and a letter (or "--" and anything) is an option; "-5" or a lone "-" is query text.
enum class Ask { Query, Help, Unknown };

bool option_like(const std::string& word) {
    if (word.size() < 2 || word[0] != '-') return false;
    const unsigned char second = static_cast<unsigned char>(word[1]);
    return word[1] == '-' || std::isalpha(second);
}

Ask read_options(const py::list& words, py::list& query, py::object& unknown) {
    bool options = true;
    for (py::handle item : words) {
        if (options && PyUnicode_Check(item.ptr())) {
            Py_ssize_t size = 0;
            const char* utf8 = PyUnicode_AsUTF8AndSize(item.ptr(), &size);
            if (!utf8) {  // a lone surrogate: never an option, so it is query text
                PyErr_Clear();
            } else {
                const std::string word(utf8, static_cast<std::size_t>(size));
                if (word == "--") {
                    options = false;
                    continue;
                }
                if (word == "-h" || word == "--help") return Ask::Help;
                if (option_like(word)) {
                    unknown = py::reinterpret_borrow<py::object>(item);
                    return Ask::Unknown;
                }
            }
        }
        query.append(item);
    }
    return Ask::Query;
}

}  // namespace

int run_main(py::object argv) {
    py::object print = py::module_::import("builtins").attr("print");
    if (argv.is_none()) argv = py::module_::import("sys").attr("argv")[py::slice(1, PY_SSIZE_T_MAX, 1)];
    py::list words = py::list(argv);
    py::list query_words;
    py::object unknown;
    switch (read_options(words, query_words, unknown)) {
        case Ask::Help:
            print(kHelp);
            return 0;
        case Ask::Unknown: {
            py::object err = py::module_::import("sys").attr("stderr");
            print(hostkit::join({py::str("vormo-nearfind: unknown option "), py::repr(unknown),
                                 py::str(" (run 'vormo-nearfind --help')")}),
                  py::arg("file") = err);
            print(py::str(kHelp).attr("splitlines")()[py::int_(0)], py::arg("file") = err);
            return 2;
        }
        case Ask::Query:
            break;
    }
    PyObject* joined = PyUnicode_Join(py::str(" ").ptr(), query_words.ptr());
    if (!joined) throw py::error_already_set();
    py::str query = py::reinterpret_steal<py::str>(joined);

    // No arguments, or only empty (blank) ones: nothing to search for.
    if (blank(query)) {
        print("Usage: python rag \"your problem description here\"");
        return 1;
    }

    py::list results = home.call("rank_problem_descriptions", query, py::arg("top_k") = kDefaultTopK);
    if (results.empty()) {
        print("No descriptions found.");
        return 0;
    }
    long number = 0;
    for (py::handle result : results) {
        char rank[32];
        std::snprintf(rank, sizeof rank, "%2ld. ", ++number);
        print(hostkit::join({py::str(rank), format(result["path"], ""), py::str("  score="),
                             format(result["score"], ".4f")}));
    }
    return 0;
}

}  // namespace nearfind
