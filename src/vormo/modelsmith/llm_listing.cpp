// The models each provider offers, as sorted lists of names without duplicates. Every call asks
// the service again; nothing is logged, retried or cached.
#include "modelsmith/llm.hpp"

namespace modelsmith {
namespace py = pybind11;

namespace {

using llm::optional_attr;

// sorted(set(names)), keeping only the names that start with a non-empty prefix.
py::list sorted_unique(py::handle names, py::handle prefix) {
    py::set seen;
    py::list result;
    const bool filter = !prefix.is_none() && hostkit::truthy(prefix);
    for (py::handle name : names) {
        if (filter && !hostkit::truthy(name.attr("startswith")(prefix))) continue;
        if (seen.contains(name)) continue;
        seen.add(name);
        result.append(name);
    }
    if (PyList_Sort(result.ptr()) < 0) throw py::error_already_set();
    return result;
}

[[noreturn]] void listing_failed(const char* head, py::handle error) {
    hostkit::raise(PyExc_RuntimeError, hostkit::join({py::str(head), llm::redact_keys(py::str(error))}));
}

py::list list_openai_models(py::object prefix) {
    hostkit::check_opt_str(prefix, "prefix");
    py::object client = home.call("_openai_client");
    py::object resp;
    py::object error;
    if (!hostkit::guard_ordinary([&] { resp = client.attr("models").attr("list")(); }, &error))
        listing_failed("Failed to list OpenAI models: ", error);
    py::object data = optional_attr(resp, "data");
    py::object items = (data && PyList_Check(data.ptr())) ? data : resp.is_none() ? py::list() : py::list(resp);
    py::list ids;
    for (py::handle m : items) {
        py::object id = llm::attr_or_none(m, "id");
        if (!hostkit::truthy(id) && PyDict_Check(m.ptr())) id = m.attr("get")("id");
        if (llm::is_str(id)) ids.append(id);
    }
    return sorted_unique(ids, prefix);
}

py::list list_gemini_models(py::object prefix) {
    hostkit::check_opt_str(prefix, "prefix");
    py::object genai = home.call("_google_client");
    py::object models;
    py::object error;
    // The library answers with a lazy sequence that fetches while it is walked, so the walk
    // belongs to the guarded call: a failing service is reported as a failed listing.
    bool listed = hostkit::guard_ordinary(
        [&] {
            models = genai.attr("list_models")();
            if (hostkit::truthy(models)) models = py::list(models);
        },
        &error);
    if (!listed) listing_failed("Failed to list Gemini models: ", error);
    py::list names;
    if (!hostkit::truthy(models)) return names;
    for (py::handle m : models) {
        if (!hostkit::contains(m.attr("supported_generation_methods"), "generateContent")) continue;
        py::object name = m.attr("name");
        if (!llm::is_str(name) || !hostkit::truthy(name.attr("startswith")("models/"))) continue;
        names.append(name[py::slice(7, PY_SSIZE_T_MAX, 1)]);
    }
    // An absent or empty prefix lists every short name, like the other two listings.
    return sorted_unique(names, prefix);
}

// m["key"] for a dictionary, else getattr(m, "key", None).
py::object entry_or_attr(py::handle m, const char* key) {
    if (PyDict_Check(m.ptr())) return m.attr("get")(key);
    return llm::attr_or_none(m, key);
}

py::list list_ollama_models(py::object prefix) {
    hostkit::check_opt_str(prefix, "prefix");
    py::object list_operation;
    try {
        list_operation = py::module_::import("ollama").attr("list");
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        hostkit::raise_with_cause(e, PyExc_RuntimeError, "ollama package is not installed. pip install ollama");
    }
    py::list names;
    py::object error;
    bool listed = hostkit::guard_ordinary(
        [&] {
            py::object resp = list_operation();
            py::object models;
            if (PyDict_Check(resp.ptr())) {
                models = resp.attr("get")("models", py::list());
            } else {
                models = optional_attr(resp, "models");
                if (!models) models = py::list();
            }
            for (py::handle m : models) {
                py::object name = entry_or_attr(m, "model");
                if (!hostkit::truthy(name)) name = entry_or_attr(m, "name");
                if (llm::is_str(name)) names.append(name);
            }
        },
        &error);
    if (!listed) listing_failed("Failed to list Ollama models: ", error);
    return sorted_unique(names, prefix);
}

py::object list_models(py::object llm_provider, py::object model_name) {
    hostkit::check_opt_str(llm_provider, "llm_provider");
    hostkit::check_str(model_name, "model_name");
    py::object provider = home.call("_infer_provider", llm_provider, model_name);
    py::object providers = home.attr("LLMProvider");
    if (hostkit::equals(provider, providers.attr("OPENAI"))) return home.call("list_openai_models");
    if (hostkit::equals(provider, providers.attr("GOOGLE"))) return home.call("list_gemini_models");
    if (hostkit::equals(provider, providers.attr("OLLAMA"))) return home.call("list_ollama_models");
    hostkit::raise(PyExc_ValueError, hostkit::join({py::str("Unsupported LLM provider: "), py::str(provider)}));
}

}  // namespace

void define_llm_listing(py::module_ m) {
    m.def("list_openai_models", &list_openai_models, py::arg("prefix") = "gpt",
          "Sorted OpenAI model ids starting with `prefix` (all ids when it is empty or None).");
    m.def("list_gemini_models", &list_gemini_models, py::arg("prefix") = "gemini",
          "Sorted short names of the Gemini models that can generate content and start with `prefix`\n"
          "(all of them when it is empty or None).");
    m.def("list_ollama_models", &list_ollama_models, py::arg("prefix") = py::none(),
          "Sorted names of the models of the local Ollama server, optionally starting with `prefix`.");
    m.def("list_models", &list_models, py::arg("llm_provider") = py::none(),
          py::arg("model_name") = m.attr("MODEL_NAME"),
          "Sorted model names of the provider chosen from `llm_provider` or `model_name`.");
}

}  // namespace modelsmith
