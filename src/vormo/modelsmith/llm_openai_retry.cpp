// One OpenAI Responses request: the request parameters, a pre-filter against the parameters the
// library's create() declares, and a bounded number of attempts. Between attempts a parameter
// that the error text names as unsupported is dropped and the request is sent again at once;
// any other error waits with exponential back-off (the host's time.sleep, so an interrupt
// during the wait stops everything).
#include <climits>
#include <cmath>
#include <string>

#include "modelsmith/llm.hpp"

namespace modelsmith {
namespace py = pybind11;

namespace {

// Compiled once at load, kept for the life of the interpreter.
PyObject* g_unsupported_pattern = nullptr;  // "unsupported parameter: '<name>'"
PyObject* g_not_supported_pattern = nullptr;  // "parameter '<name>' is not supported"

// Parameters that are dropped when an error text merely mentions them.
constexpr const char* kFallbackKeys[] = {"response_format", "stop", "reasoning", "temperature"};

py::object build_create_params(py::object model_name, py::object input_text, py::object max_tokens,
                               py::object temperature, py::object stop) {
    hostkit::check_str(model_name, "model_name");
    hostkit::check_str(input_text, "input_text");
    hostkit::check_opt_int(max_tokens, "max_tokens");
    hostkit::check_exact_or_none(temperature, &PyFloat_Type, "temperature");
    hostkit::check_opt_list(stop, "stop");
    py::dict params;
    params["model"] = model_name;
    params["input"] = input_text;
    py::dict format;
    format["type"] = "json";
    params["response_format"] = format;
    if (!max_tokens.is_none()) params["max_output_tokens"] = max_tokens;
    if (!temperature.is_none()) params["temperature"] = temperature;
    if (!stop.is_none() && hostkit::truthy(stop)) params["stop"] = stop;
    return params;
}

void remove_key(py::dict params, py::handle key) {
    if (PyDict_DelItem(params.ptr(), key.ptr()) < 0) throw py::error_already_set();
}

// Keeps only the keys that create() declares, unless it takes any keyword. Any failure to read
// the signature leaves the parameters as far as they got.
void prefilter_by_signature(py::handle client, py::dict params) {
    hostkit::guard_ordinary([&] {
        py::object create = client.attr("responses").attr("create");
        py::object inspect = py::module_::import("inspect");
        py::object declared = inspect.attr("signature")(create).attr("parameters");
        py::object var_keyword = inspect.attr("Parameter").attr("VAR_KEYWORD");
        py::list values = py::list(declared.attr("values")());
        for (py::handle p : values)
            if (hostkit::equals(p.attr("kind"), var_keyword)) return;
        py::set names;
        for (py::handle name : declared) names.add(name);
        names.attr("discard")("self");
        for (py::handle key : py::list(params.attr("keys")()))
            if (!hostkit::contains(names, key)) remove_key(params, key);
    });
}

// Drops from `params` the parameters that the error text names; true when one was dropped.
bool strip_param_from_error_message(py::dict params, py::handle msg) {
    py::object low = msg.attr("lower")();
    bool removed = false;
    for (const char* key : kFallbackKeys) {
        if (!params.contains(key)) continue;
        const std::string k(key);
        if (hostkit::contains(low, ("unexpected keyword argument '" + k + "'").c_str()) ||
            hostkit::contains(low, ("unsupported parameter: '" + k + "'").c_str()) || hostkit::contains(low, key)) {
            remove_key(params, py::str(key));
            removed = true;
        }
    }
    py::object match = py::reinterpret_borrow<py::object>(g_unsupported_pattern).attr("search")(msg);
    if (!match.is_none()) {
        py::object name = match.attr("group")(1);
        if (params.contains(name)) {
            remove_key(params, name);
            removed = true;
        }
    }
    match = py::reinterpret_borrow<py::object>(g_not_supported_pattern).attr("search")(msg);
    if (!match.is_none()) {
        py::object name = match.attr("group")(1);
        if (params.contains(name)) {
            remove_key(params, name);
            return true;
        }
    }
    return removed;
}

py::str line(const std::string& head, py::handle tail) {
    return hostkit::join({py::str(head), tail});
}

py::object call_openai_with_retry(py::object client, py::object create_params, py::object retries,
                                  py::object backoff_sec, py::object progress) {
    hostkit::check_dict(create_params, "create_params");
    hostkit::check_int(retries, "retries");
    if (!PyFloat_CheckExact(backoff_sec.ptr()) && !PyLong_CheckExact(backoff_sec.ptr()))
        hostkit::raise_arg_type("backoff_sec", &PyFloat_Type, backoff_sec);
    const double backoff = py::float_(backoff_sec).cast<double>();
    int overflow = 0;
    long long attempts = PyLong_AsLongLongAndOverflow(retries.ptr(), &overflow);
    if (overflow) attempts = overflow > 0 ? LLONG_MAX : 0;
    const std::string retries_text = py::str(retries).cast<std::string>();

    // A shallow copy: the caller's dictionary stays as it was.
    py::dict params = py::reinterpret_steal<py::dict>(PyDict_Copy(create_params.ptr()));
    if (!params) throw py::error_already_set();
    prefilter_by_signature(client, params);

    py::object last_err = py::none();
    for (long long attempt = 0; attempt < attempts; ++attempt) {
        py::object error;
        try {
            return client.attr("responses").attr("create")(**params);
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_Exception)) throw;
            error = e.value();
        }
        last_err = error;
        py::str msg = hostkit::truthy(error) ? py::str(error) : py::str("unknown error");
        py::str shown = llm::redact_keys(msg);
        llm::report(progress, line("[LLM] OpenAI: ", shown));
        if (strip_param_from_error_message(params, msg)) {
            llm::report(progress, py::str("[LLM] OpenAI: retrying without unsupported parameters"));
            continue;
        }
        llm::report(progress, line("[LLM] OpenAI: retry " + std::to_string(attempt + 1) + "/" + retries_text +
                                       " after error: ",
                                   shown));
        // backoff × 2^attempt; far beyond any sensible count this is inf, which sleep refuses.
        const double wait = std::ldexp(backoff, static_cast<int>(attempt < 4096 ? attempt : 4096));
        py::module_::import("time").attr("sleep")(wait);
    }
    llm::report(progress, py::str("[LLM] OpenAI: failed after " + retries_text + " attempts"));
    hostkit::raise(PyExc_RuntimeError,
                   line("OpenAI request failed after " + retries_text + " attempts: ", llm::redact_keys(py::str(last_err))));
}

}  // namespace

void define_llm_openai_retry(py::module_ m) {
    if (!g_unsupported_pattern) {
        py::module_ re = py::module_::import("re");
        py::object ignorecase = re.attr("IGNORECASE");
        g_unsupported_pattern = re.attr("compile")(R"(unsupported parameter:\s*'([^']+)')", ignorecase).release().ptr();
        g_not_supported_pattern =
            re.attr("compile")(R"(parameter\s*'([^']+)'\s*is not supported)", ignorecase).release().ptr();
    }
    m.def("_build_create_params", &build_create_params, py::arg("model_name"), py::arg("input_text"),
          py::arg("max_tokens") = m.attr("MAX_OUTPUT_TOKENS"), py::arg("temperature") = py::none(),
          py::arg("stop") = py::none(), "The keyword arguments of one Responses request.");
    m.def("_call_openai_with_retry", &call_openai_with_retry, py::arg("client"), py::arg("create_params"),
          py::arg("retries") = 3, py::arg("backoff_sec") = 1.5, py::arg("progress") = py::none(),
          "Send one Responses request with up to `retries` attempts; return the library's response.");
}

}  // namespace modelsmith
