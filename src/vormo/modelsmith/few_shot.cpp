// Worked examples for the prompts: the descriptions of the example corpus closest to the user's
// problem, each with the model file and data file that belong to it. Retrieval is best effort:
// when it fails the prompts simply go without examples.
#include <climits>

#include "modelsmith/workflow.hpp"

namespace modelsmith {
namespace {

using workflow::cat;
using workflow::debug;
using workflow::report;
using workflow::text;

constexpr const char* kExamplesFolder = "vormo_models";

// The installed example directory: the package's resource folder, or when the resource lookup
// fails, the folder beside this module's file.
py::object default_examples_dir() {
    py::object path_type = py::module_::import("pathlib").attr("Path");
    py::object folder;
    bool found = hostkit::guard_ordinary([&] {
        py::object files = py::module_::import("importlib.resources").attr("files");
        py::object root = files(hostkit::package_of(py::reinterpret_borrow<py::module_>(home.module())));
        folder = root.attr("joinpath")(kExamplesFolder);
    });
    if (!found) folder = path_type(home.attr("__file__")).attr("parent").attr("joinpath")(kExamplesFolder);
    return folder;
}

// The last path component of each candidate's "path", in ranking order.
py::list candidate_names(const py::list& candidates, py::handle path_type) {
    py::list names;
    for (py::handle candidate : candidates) names.append(path_type(candidate[py::str("path")]).attr("name"));
    return names;
}

// The example record of one candidate, or None when the candidate has no usable description,
// model file or data file.
py::object example_record(py::handle candidate, py::handle path_type) {
    py::object desc_path = path_type(candidate[py::str("path")]);
    py::object description = home.call("_safe_read_text", desc_path);
    auto [model_path, data_path] = workflow::unpack_pair(home.call("_find_pair_in_folder", desc_path));
    if (!hostkit::truthy(description) || !hostkit::truthy(model_path) || !hostkit::truthy(data_path))
        return py::none();
    py::object model = home.call("_safe_read_text", model_path);
    py::object data = home.call("_safe_read_text", data_path);
    if (!hostkit::truthy(model) || !hostkit::truthy(data)) return py::none();
    py::dict record;
    record["description"] = description;
    record["model"] = model;
    record["data"] = data;
    record["desc_path"] = text(desc_path);
    record["model_path"] = text(model_path);
    record["data_path"] = text(data_path);
    return record;
}

py::list gather_few_shots(py::object problem_description, py::object k, py::object models_dir, py::object progress) {
    hostkit::check_str(problem_description, "problem_description");
    hostkit::check_int(k, "k");
    py::object path_type = py::module_::import("pathlib").attr("Path");
    py::object folder = path_type(models_dir.is_none() ? default_examples_dir() : models_dir);
    py::list shots;

    // Only k candidates are asked for: a skipped candidate is not replaced by a later one. A
    // ranking that cannot be read (no list of records with a "path") counts as a failed retrieval.
    py::list candidates;
    py::list names;
    py::object error;
    bool retrieved = hostkit::guard_ordinary(
        [&] {
            report(progress, cat({py::str("Retrieving few-shot examples (k="), text(k), py::str(")")}));
            py::object ranking = home.attr("rag_rank")(py::arg("query") = problem_description,
                                                      py::arg("models_dir") = text(folder), py::arg("top_k") = k);
            candidates = py::list(ranking);
            names = candidate_names(candidates, path_type);
        },
        &error);
    if (!retrieved) {
        debug([&] { return cat({py::str("Few-shot retrieval skipped: "), text(error)}); });
        report(progress, py::str("Few-shot retrieval failed; continuing without examples"));
        return shots;
    }
    report(progress, cat({py::str("Found "), text(py::int_(candidates.size())), py::str(" few-shot candidates: "),
                          py::repr(names)}));

    // len(shots) >= k ends the search; a k of 0 or below stops after the first usable example.
    int overflow = 0;
    long long wanted = PyLong_AsLongLongAndOverflow(k.ptr(), &overflow);
    if (wanted == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow > 0) wanted = LLONG_MAX;
    if (overflow < 0) wanted = 0;
    for (py::handle candidate : candidates) {
        bool enough = false;
        bool read = hostkit::guard_ordinary(
            [&] {
                py::object record = example_record(candidate, path_type);
                if (record.is_none()) return;
                shots.append(record);
                enough = static_cast<long long>(shots.size()) >= wanted;
            },
            &error);
        if (!read) debug([&] { return cat({py::str("Skipping example due to error: "), text(error)}); });
        if (enough) break;
    }
    return shots;
}

}  // namespace

void define_few_shots(py::module_ m) {
    // k's default is the setting's value when the module loads.
    m.def("_gather_few_shots", &gather_few_shots, py::arg("problem_description"),
          py::arg("k") = m.attr("FEW_SHOT_TOP_K"), py::arg("models_dir") = py::none(), py::arg("progress") = py::none(),
          "Up to `k` worked examples (description, model, data and their paths) closest to the problem.");
}

}  // namespace modelsmith
