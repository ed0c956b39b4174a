// Token counts: the tokenizer library when it can be loaded, else one token per started group of
// four characters.
#include "hostkit/hostkit.hpp"
#include "tokenledger/ledger.hpp"

namespace tokenledger {

py::int_ approx_token_count(py::object text) {
    hostkit::check_str(text, "text");
    // Code points, not encoded bytes: the host keeps the length with the string.
    Py_ssize_t n = PyUnicode_GET_LENGTH(text.ptr());
    if (n <= 0) return py::int_(0);
    return py::int_((n + 3) / 4);
}

py::object count_openai_tokens(py::object text, py::object model_name) {
    hostkit::check_str(text, "text");
    hostkit::check_str(model_name, "model_name");
    py::object count;
    bool counted = hostkit::guard_ordinary([&] {
        py::module_ tiktoken = py::module_::import("tiktoken");
        py::object encoding;
        // The model's own encoding, else the newest general one, else the older general one;
        // a failure of the last choice ends the attempt.
        if (!hostkit::guard_ordinary([&] { encoding = tiktoken.attr("encoding_for_model")(model_name); }) &&
            !hostkit::guard_ordinary([&] { encoding = tiktoken.attr("get_encoding")("o200k_base"); }))
            encoding = tiktoken.attr("get_encoding")("cl100k_base");
        py::object tokens = encoding.attr("encode")(text);
        Py_ssize_t n = PyObject_Size(tokens.ptr());
        if (n < 0) throw py::error_already_set();
        count = py::int_(n);
    });
    if (counted) return count;
    return home.call("_approx_token_count", text);
}

}  // namespace tokenledger
