// The embedding model, loaded at most once per name for the life of the process. A failed load
// is remembered too, so a missing library or model is reported once and not retried.
#include "hostkit/hostkit.hpp"
#include "nearfind/nearfind.hpp"

namespace nearfind {

py::object load_model(py::object model_name) {
    hostkit::check_str(model_name, "model_name");
    // The cache is the module's own dict, read at call time.
    py::object cache = home.attr("_MODEL_CACHE");
    if (hostkit::contains(cache, model_name)) return cache[model_name];

    py::object model = py::none();
    py::object error;
    bool loaded = hostkit::guard_ordinary(
        [&] {
            py::object cls = py::module_::import("sentence_transformers").attr("SentenceTransformer");
            model = cls(model_name);
        },
        &error);
    if (!loaded) {
        model = py::none();
        py::object root = py::module_::import("logging").attr("getLogger")();
        hostkit::log(root, hostkit::Level::warning,
                     "RAG disabled (embedding model load failed): %s", error);
    }
    cache[model_name] = model;
    return model;
}

}  // namespace nearfind
