// One prompt to one model, whatever the provider: the OpenAI leg (parameters, retry, answer
// text), the Gemini leg (settings dictionary, text assembled from candidates when needed) and
// the Ollama leg. Every sibling operation is looked up on the module at call time.
#include <algorithm>
#include <climits>

#include "modelsmith/llm.hpp"

namespace modelsmith {
namespace py = pybind11;

namespace {

using llm::optional_attr;
using llm::report;

py::str line(const char* head, py::handle model_name, const char* tail) {
    return hostkit::join({py::str(head), model_name, py::str(tail)});
}

py::object result(py::object text, bool with_usage, py::object usage) {
    return with_usage ? py::object(py::make_tuple(text, usage)) : text;
}

py::object openai_leg(py::object model_name, py::object input_text, py::object max_tokens, py::object temperature,
                      py::object stop, py::object progress, bool capture_usage) {
    py::object client = home.call("_openai_client");
    py::object create_params =
        home.call("_build_create_params", py::arg("model_name") = model_name, py::arg("input_text") = input_text,
                  py::arg("max_tokens") = max_tokens, py::arg("temperature") = temperature, py::arg("stop") = stop);
    report(progress, line("[LLM] OpenAI \u2022 ", model_name, ": sending request"));
    py::object resp = home.call("_call_openai_with_retry", client, create_params, py::arg("progress") = progress);
    report(progress, py::str("[LLM] OpenAI: response received"));
    py::object text = home.call("_coalesce_response_text", resp);
    if (!hostkit::truthy(text))
        hostkit::raise(PyExc_RuntimeError, hostkit::join({py::str("Empty OpenAI response: "), py::str(resp), py::str(".")}));
    if (!capture_usage) return text;
    return result(text, true, home.call("_extract_openai_usage", resp, input_text, text, model_name));
}

// The answer assembled from every candidate's parts, for a response without a usable `text`.
py::object text_from_candidates(py::handle candidates) {
    py::list chunks;
    for (py::handle candidate : candidates) {
        py::object content = optional_attr(candidate, "content");
        if (!content || !hostkit::truthy(content) || !optional_attr(content, "parts")) continue;
        for (py::handle part : content.attr("parts")) {
            py::object text = optional_attr(part, "text");
            if (text) chunks.append(hostkit::truthy(text) ? text : py::str(""));
        }
    }
    return py::str("").attr("join")(chunks);
}

// The whole chain of an error (its causes and contexts) as text, for the key check below.
py::str chain_text(py::handle error) {
    py::list parts;
    py::object seen = py::set();
    py::object current = py::reinterpret_borrow<py::object>(error);
    for (int depth = 0; depth < 16 && !current.is_none() && !seen.contains(current); ++depth) {
        seen.attr("add")(current);
        parts.append(py::str(current));
        py::object next = llm::attr_or_none(current, "__cause__");
        current = next.is_none() ? llm::attr_or_none(current, "__context__") : next;
    }
    return py::str("\n").attr("join")(parts);
}

// A Gemini error passes through unchanged, unless its text (or that of an error behind it)
// repeats an API key: it then becomes RuntimeError "Gemini request failed: " + its redacted
// text, raised without the original error attached, so no traceback can show the key.
[[noreturn]] void gemini_failed(py::error_already_set& e) {
    py::str whole = chain_text(e.value());
    if (hostkit::equals(llm::redact_keys(whole), whole)) throw;
    py::str shown = llm::redact_keys(py::str(e.value()));
    hostkit::raise(PyExc_RuntimeError, hostkit::join({py::str("Gemini request failed: "), shown}));
}

py::object gemini_leg(py::object model_name, py::object input_text, py::object max_tokens, py::object temperature,
                      py::object progress, bool capture_usage) {
    py::object genai = home.call("_google_client");
    py::object model = genai.attr("GenerativeModel")(model_name);
    py::dict settings;  // passed even when empty; `stop` has no place on this leg
    if (!max_tokens.is_none()) settings["max_output_tokens"] = max_tokens;
    if (!temperature.is_none()) settings["temperature"] = temperature;
    report(progress, line("[LLM] Gemini \u2022 ", model_name, ": sending request"));
    py::object resp;
    try {
        resp = model.attr("generate_content")(input_text, py::arg("generation_config") = settings);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        gemini_failed(e);
    }
    report(progress, py::str("[LLM] Gemini: response received"));
    py::object text = optional_attr(resp, "text");
    if (!text || !hostkit::truthy(text)) {
        py::object candidates = optional_attr(resp, "candidates");
        if (candidates && hostkit::truthy(candidates)) text = text_from_candidates(candidates);
    }
    if (!text || !hostkit::truthy(text)) text = py::str("");
    if (!capture_usage) return text;
    return result(text, true, home.call("_extract_gemini_usage", resp, input_text, text));
}

// `a, b = pair` with the host's messages for a wrong count.
std::pair<py::object, py::object> unpack_pair(py::handle pair) {
    py::iterator it = py::iter(pair);
    py::object items[2];
    for (int i = 0; i < 2; ++i) {
        if (it == py::iterator::sentinel()) {
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            throw py::error_already_set();
        }
        items[i] = py::reinterpret_borrow<py::object>(*it);
        ++it;
    }
    if (it != py::iterator::sentinel()) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        throw py::error_already_set();
    }
    return {items[0], items[1]};
}

py::object ollama_leg(py::object model_name, py::object input_text, py::object max_tokens, py::object progress,
                      bool capture_usage) {
    report(progress, line("[LLM] Ollama \u2022 ", model_name, ": generating"));
    if (capture_usage) {
        auto [text, usage] = unpack_pair(home.call("_ollama_generate_text", py::arg("model_name") = model_name,
                                                   py::arg("prompt") = input_text, py::arg("num_predict") = max_tokens,
                                                   py::arg("return_usage") = true));
        report(progress, py::str("[LLM] Ollama: response received"));
        return py::make_tuple(text, usage);
    }
    py::object text = home.call("_ollama_generate_text", py::arg("model_name") = model_name,
                                py::arg("prompt") = input_text, py::arg("num_predict") = max_tokens);
    report(progress, py::str("[LLM] Ollama: response received"));
    return text;
}

py::object llm_generate_text(py::object provider, py::object model_name, py::object input_text, py::object max_tokens,
                             py::object temperature, py::object stop, py::object progress, py::object capture_usage) {
    hostkit::check_str(model_name, "model_name");
    hostkit::check_str(input_text, "input_text");
    hostkit::check_opt_int(max_tokens, "max_tokens");
    hostkit::check_exact_or_none(temperature, &PyFloat_Type, "temperature");
    hostkit::check_opt_list(stop, "stop");
    const bool with_usage = hostkit::truthy(capture_usage);
    py::object providers = home.attr("LLMProvider");
    if (hostkit::equals(provider, providers.attr("OPENAI")))
        return openai_leg(model_name, input_text, max_tokens, temperature, stop, progress, with_usage);
    if (hostkit::equals(provider, providers.attr("GOOGLE")))
        return gemini_leg(model_name, input_text, max_tokens, temperature, progress, with_usage);
    if (hostkit::equals(provider, providers.attr("OLLAMA")))
        return ollama_leg(model_name, input_text, max_tokens, progress, with_usage);
    hostkit::raise(PyExc_ValueError, hostkit::join({py::str("Unsupported LLM provider: "), py::str(provider)}));
}

// resp.get(key), converted to int; 0 when empty or absent.
py::object counter(py::handle resp, const char* key) {
    py::object value = resp.attr("get")(key);
    return hostkit::truthy(value) ? py::object(py::int_(value)) : py::object(py::int_(0));
}

// The server's context window when a request names none; a longer prompt is cut from the front
// without a word, so the model never sees the task.
constexpr long long kOllamaDefaultContext = 2048;
// A generous estimate of the prompt's tokens: one per three characters (code and numbers cut
// finer than prose), so the window asked for is rather too large than too small.
constexpr long long kCharsPerToken = 3;
// Room kept for the answer when the request sets no output limit.
constexpr long long kOllamaAnswerReserve = 2048;

// The num_ctx option for a prompt longer than the default window: room for the prompt and the
// output limit, rounded up to a multiple of 1024. None for a prompt that fits.
py::object ollama_context(py::handle prompt, py::handle num_predict) {
    const long long chars = static_cast<long long>(PyUnicode_GET_LENGTH(prompt.ptr()));
    const long long tokens = (chars + kCharsPerToken - 1) / kCharsPerToken;
    if (tokens <= kOllamaDefaultContext) return py::none();
    long long answer = kOllamaAnswerReserve;
    if (!num_predict.is_none()) {
        int overflow = 0;
        long long limit = PyLong_AsLongLongAndOverflow(num_predict.ptr(), &overflow);
        if (limit == -1 && PyErr_Occurred()) throw py::error_already_set();
        if (overflow > 0) limit = LLONG_MAX;
        if (limit > 0) answer = limit;
    }
    // Far beyond any real window the sum saturates; the server then refuses the request itself.
    constexpr long long kMost = LLONG_MAX / 2;
    const long long wanted = tokens + std::min(answer, kMost);
    return py::int_((std::min(wanted, kMost) + 1023) / 1024 * 1024);
}

py::object ollama_generate_text(py::object model_name, py::object prompt, py::object num_predict,
                                py::object return_usage) {
    hostkit::check_str(model_name, "model_name");
    hostkit::check_str(prompt, "prompt");
    hostkit::check_opt_int(num_predict, "num_predict");
    py::object generate;
    try {
        generate = py::module_::import("ollama").attr("generate");
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        hostkit::raise_with_cause(e, PyExc_RuntimeError, "ollama package is not installed. pip install ollama");
    }
    py::dict options;
    if (!num_predict.is_none()) options["num_predict"] = num_predict;
    py::object num_ctx = ollama_context(prompt, num_predict);
    if (!num_ctx.is_none()) options["num_ctx"] = num_ctx;
    py::object resp = generate(py::arg("model") = model_name, py::arg("prompt") = prompt, py::arg("options") = options);
    py::object text;
    try {
        text = resp.attr("get")("response", "");
        if (!hostkit::truthy(text)) text = py::str("");
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_TypeError) && !e.matches(PyExc_KeyError)) throw;
        llm::raise_with_context(
            e, hostkit::join({py::str("Failed to retrieve response text from Ollama response: "), py::str(e.value())}));
    }
    if (!hostkit::truthy(return_usage)) return text;
    py::dict usage;
    usage["prompt_tokens"] = counter(resp, "prompt_eval_count");
    usage["completion_tokens"] = counter(resp, "eval_count");
    return py::make_tuple(text, usage);
}

}  // namespace

void define_llm_generate(py::module_ m) {
    py::object max_output_tokens = m.attr("MAX_OUTPUT_TOKENS");
    m.def("_llm_generate_text", &llm_generate_text, py::arg("provider"), py::arg("model_name"), py::arg("input_text"),
          py::arg("max_tokens") = max_output_tokens, py::arg("temperature") = py::none(), py::arg("stop") = py::none(),
          py::arg("progress") = py::none(), py::arg("capture_usage") = false,
          "Send one prompt to one model and return the answer text, or (text, usage) with capture_usage.");
    m.def("_ollama_generate_text", &ollama_generate_text, py::arg("model_name"), py::arg("prompt"),
          py::arg("num_predict") = max_output_tokens, py::arg("return_usage") = false,
          "Generate with the local Ollama server; the answer text, or (text, usage) with return_usage.");
}

}  // namespace modelsmith
