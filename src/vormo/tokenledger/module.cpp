// vormo.tokenledger: token counting, usage records, the pricing table and cost estimates. This
// file only declares the module: its constant, its logger and the operations of each area.
#include <pybind11/pybind11.h>

#include "hostkit/hostkit.hpp"
#include "tokenledger/ledger.hpp"

namespace py = pybind11;
using namespace tokenledger;

HOSTKIT_MODULE(tokenledger, m) {
    m.doc() = "Token counting, usage extraction, pricing table and cost estimates.";
    home.bind(m);

    // The shipped pricing document, at its page address on the project's public repository.
    m.attr("PRICING_URL") = "https://github.com/vormo-tools/vormo-generative/blob/main/pricing_table.md";
    m.attr("logger") = hostkit::get_logger("vormo.tokenledger");
    compile_pricing_patterns();

    // Token counting.
    m.def("_approx_token_count", &approx_token_count, py::arg("text"),
          "Approximate token count: one token per started group of four characters.");
    m.def("_count_openai_tokens", &count_openai_tokens, py::arg("text"), py::arg("model_name"),
          "Token count with the tokenizer library, or the approximation when it cannot be used.");

    // Usage records.
    m.def("_usage_dict", &usage_dict, py::arg("prompt_tokens"), py::arg("completion_tokens"),
          "A usage record with integer prompt and completion counts (absent or zero gives 0).");
    m.def("_extract_openai_usage", &extract_openai_usage, py::arg("resp"), py::arg("input_text"),
          py::arg("output_text"), py::arg("model_name"),
          "Usage record from an OpenAI response, counting locally what it does not report.");
    m.def("_extract_gemini_usage", &extract_gemini_usage, py::arg("resp"), py::arg("input_text"),
          py::arg("output_text"), "Usage record from a Gemini response, approximating what it does not report.");

    // Pricing table.
    m.def("_parse_pricing", &parse_pricing, py::arg("path"),
          "The pricing table of a Markdown document (web address or local path), in dollars per 1M tokens.\n\n"
          "Memoised per path (the 8 most recently used); the returned table is shared and read-only.");
    m.def("clear_pricing_cache", &clear_pricing_cache, "Forget every pricing table read so far.");

    // Cost estimate.
    m.def("estimate_costs", &estimate_costs, py::arg("args"), py::arg("usage"),
          "Estimated cost in US dollars of the usage of the model named by ``args.model``.");
    m.def("exercise_estimate_costs", &exercise_estimate_costs, py::arg("model") = py::none(),
          "Print one demonstration estimate.");
    m.def("main", &run_main, py::arg("argv") = py::none(),
          "Command-line entry: print the demonstration estimate and return the exit status.");
}
