// vormo.nearfind: ranking of worked-example descriptions by similarity to a query. This file only
// declares the module: its model cache and the operations of each area.
#include <pybind11/pybind11.h>

#include "hostkit/hostkit.hpp"
#include "nearfind/nearfind.hpp"

namespace py = pybind11;
using namespace nearfind;

HOSTKIT_MODULE(nearfind, m) {
    m.doc() = "Retrieval of worked examples whose descriptions are closest to a query.";
    home.bind(m);

    // Model name -> loaded model, or None when loading failed. Lives for the whole process.
    m.attr("_MODEL_CACHE") = py::dict();

    m.def("rank_problem_descriptions", &rank_problem_descriptions, py::arg("query"),
          py::arg("models_dir") = py::none(), py::arg("top_k") = kDefaultTopK, py::arg("model_name") = kDefaultModel,
          "Rank the description files below ``models_dir`` (default: the shipped examples) by cosine\n"
          "similarity to ``query``. Returns records {\"path\", \"score\", \"preview\"}, best first; ``top_k`` > 0\n"
          "keeps that many, 0 or below keeps all. Raises FileNotFoundError for a missing directory and\n"
          "RuntimeError when the embedding model cannot be loaded.");
    m.def("_load_model", &load_model, py::arg("model_name"),
          "The embedding model of that name, or None when it cannot be loaded (cached either way).");
    m.def("_iter_description_files", &iter_description_files, py::arg("models_dir"),
          "The description files (*.txt, regular files, any depth) below a directory, sorted by path.");
    m.def("_read_text", &read_text, py::arg("path"), py::arg("max_chars") = kDefaultMaxChars,
          "The trimmed text of a file (UTF-8, undecodable bytes dropped), at most ``max_chars``\n"
          "characters; empty when the file cannot be read.");
    m.def("main", &run_main, py::arg("argv") = py::none(),
          "Command-line entry: rank the shipped examples against the arguments joined by blanks,\n"
          "print the ten best and return the exit status.");
}
