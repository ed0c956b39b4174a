// Which provider serves a request, and the vendor client objects. Nothing is cached: each
// factory loads its library, reads the environment and makes its client anew on every call.
#include "modelsmith/llm.hpp"

namespace modelsmith {
namespace py = pybind11;

namespace {

py::object make_provider_enum(py::module_ m) {
    py::object enum_type = py::module_::import("enum").attr("Enum");
    py::list members;
    members.append(py::make_tuple("OPENAI", "openai"));
    members.append(py::make_tuple("GOOGLE", "google"));
    members.append(py::make_tuple("OLLAMA", "ollama"));
    return enum_type("LLMProvider", members, py::arg("module") = m.attr("__name__"),
                     py::arg("qualname") = "LLMProvider");
}

bool starts_with(py::handle text, const char* prefix) {
    return hostkit::truthy(text.attr("startswith")(prefix));
}

py::object member(const char* name) { return home.attr("LLMProvider").attr(name); }

py::object infer_provider(py::object llm_provider, py::object model_name) {
    hostkit::check_opt_str(llm_provider, "llm_provider");
    hostkit::check_str(model_name, "model_name");
    if (!llm_provider.is_none() && hostkit::truthy(llm_provider)) {
        py::object lp = llm_provider.attr("strip")().attr("lower")();
        if (hostkit::equals(lp, "openai") || hostkit::equals(lp, "oai")) return member("OPENAI");
        for (const char* alias : {"google", "genai", "gemini", "google.generativeai"})
            if (hostkit::equals(lp, alias)) return member("GOOGLE");
        if (hostkit::equals(lp, "ollama")) return member("OLLAMA");
        // Any other name is ignored; the model name decides.
    }
    if (starts_with(model_name, "gemini")) return member("GOOGLE");
    if (hostkit::contains(model_name, "gpt-oss") || starts_with(model_name, "llama") ||
        starts_with(model_name, "qwen") || starts_with(model_name, "mistral"))
        return member("OLLAMA");
    return member("OPENAI");
}

// The environment variable's value, or a null object when it is unset or empty.
py::object api_key(const char* variable) {
    py::object key = py::module_::import("os").attr("environ").attr("get")(variable);
    if (key.is_none() || !hostkit::truthy(key)) return py::object();
    return key;
}

py::object openai_client() {
    py::object openai_class;
    try {
        openai_class = py::module_::import("openai").attr("OpenAI");
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        hostkit::raise_with_cause(e, PyExc_RuntimeError, "openai is not installed. pip install openai");
    }
    py::object key = api_key("OPENAI_API_KEY");
    if (!key) hostkit::raise(PyExc_RuntimeError, py::str("OPENAI_API_KEY environment variable not set."));
    return openai_class(py::arg("api_key") = key);
}

py::object google_client() {
    py::object genai;
    try {
        genai = py::module_::import("google.generativeai");
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        hostkit::raise_with_cause(e, PyExc_RuntimeError,
                                  "google.generativeai is not installed. pip install google-generativeai");
    }
    py::object key = api_key("GEMINI_API_KEY");
    if (!key) hostkit::raise(PyExc_RuntimeError, py::str("GEMINI_API_KEY environment variable not set."));
    // The library keeps this setting process-wide; it is set again on every call.
    genai.attr("configure")(py::arg("api_key") = key);
    return genai;
}

}  // namespace

void define_llm_providers(py::module_ m) {
    m.attr("LLMProvider") = make_provider_enum(m);
    m.def("_infer_provider", &infer_provider, py::arg("llm_provider"), py::arg("model_name"),
          "The provider for a request: an explicit provider name wins, else the model name decides.");
    m.def("_openai_client", &openai_client, "A new OpenAI client made from OPENAI_API_KEY.");
    m.def("_google_client", &google_client, "The Google library, configured with GEMINI_API_KEY.");
}

}  // namespace modelsmith
