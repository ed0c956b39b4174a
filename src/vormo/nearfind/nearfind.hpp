// The operations of vormo.nearfind, one file per area: the corpus on disk, the embedding model
// cache, the ranking itself and the command line.
#pragma once

#include <pybind11/pybind11.h>

#include "hostkit/binding.hpp"

namespace nearfind {
namespace py = pybind11;

// The nearfind module itself: siblings and the model cache are read through it at call time, so
// a host's setattr on the module takes effect at the next call.
inline hostkit::ModuleSlot home;

inline constexpr const char* kDefaultModel = "sentence-transformers/all-MiniLM-L6-v2";
inline constexpr int kDefaultTopK = 10;
inline constexpr long kDefaultMaxChars = 100000;
inline constexpr Py_ssize_t kPreviewChars = 300;
inline constexpr const char* kDescriptionPattern = "*.txt";
inline constexpr const char* kExampleDir = "vormo_models";

// corpus.cpp
py::list iter_description_files(py::object models_dir);
py::str read_text(py::object path, py::object max_chars);

// model_cache.cpp
py::object load_model(py::object model_name);

// ranking.cpp
py::list rank_problem_descriptions(py::object query, py::object models_dir, py::object top_k,
                                   py::object model_name);

// cli.cpp
int run_main(py::object argv);

}  // namespace nearfind
