// The operations of vormo.tokenledger, one file per area: counting, usage, pricing, estimate.
#pragma once

#include <pybind11/pybind11.h>

#include "hostkit/binding.hpp"

namespace tokenledger {
namespace py = pybind11;

// The tokenledger module itself: siblings, PRICING_URL and the logger are read through it at
// call time, so a host's setattr on the module takes effect at the next call.
inline hostkit::ModuleSlot home;

// counting.cpp
py::int_ approx_token_count(py::object text);
py::object count_openai_tokens(py::object text, py::object model_name);

// usage.cpp
py::dict usage_dict(py::object prompt_tokens, py::object completion_tokens);
py::object extract_openai_usage(py::object resp, py::object input_text, py::object output_text,
                                py::object model_name);
py::object extract_gemini_usage(py::object resp, py::object input_text, py::object output_text);

// pricing.cpp
void compile_pricing_patterns();
py::object parse_pricing(py::object path);
void clear_pricing_cache();

// estimate.cpp
py::dict estimate_costs(py::object args, py::object usage);
void exercise_estimate_costs(py::object model);
int run_main(py::object argv);

}  // namespace tokenledger
