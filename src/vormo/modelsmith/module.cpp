// vormo.modelsmith: generation workflow and LLM access. This file only declares the module:
// its settings, the names it imports when loaded, and the operations of each area.
#include <pybind11/pybind11.h>

#include <climits>

#include "hostkit/hostkit.hpp"
#include "modelsmith/building_blocks.hpp"
#include "modelsmith/home.hpp"
#include "modelsmith/llm.hpp"
#include "modelsmith/workflow.hpp"

namespace py = pybind11;

HOSTKIT_MODULE(modelsmith, m) {
    m.doc() = "Generate, compile, revise and assess Vormo models with an LLM.";
    modelsmith::home.bind(m);

    // Names bound when the module loads; a missing piece makes the load fail.
    m.attr("_extract_gemini_usage") = hostkit::import_from(m, ".tokenledger", "_extract_gemini_usage");
    m.attr("_extract_openai_usage") = hostkit::import_from(m, ".tokenledger", "_extract_openai_usage");
    m.attr("_estimate_costs") = hostkit::import_from(m, ".tokenledger", "estimate_costs");
    m.attr("VormoCompiler") = hostkit::import_from(m, ".vormo_kernel", "VormoCompiler");
    m.attr("SemanticError") = hostkit::import_from(m, ".vormo_kernel", "SemanticError");
    m.attr("rag_rank") = hostkit::import_from(m, ".nearfind", "rank_problem_descriptions");

    m.attr("logger") = py::module_::import("logging").attr("getLogger")(m.attr("__name__"));

    // Module settings, in order of definition.
    m.attr("MAX_ITERATIONS") = 5;
    m.attr("MAX_OUTPUT_TOKENS") = py::none();
    m.attr("LLM_PROVIDER") = "openai";
    m.attr("MODEL_NAME") = "gpt-5";
    m.attr("ALIGNMENT_CHECK") = true;
    m.attr("FEW_SHOT_TOP_K") = 3;
    m.attr("FEW_SHOT_MAX_CHARS") = INT_MAX;

    // Files and grammar resources, prompt texts, reply parsing.
    modelsmith::define_resources(m);
    modelsmith::define_prompts(m);
    modelsmith::define_parsing(m);

    // LLM access: providers and clients, answer text, the OpenAI request with retry, unified
    // generation, model listing.
    modelsmith::define_llm_providers(m);
    modelsmith::define_llm_coalesce(m);
    modelsmith::define_llm_openai_retry(m);
    modelsmith::define_llm_generate(m);
    modelsmith::define_llm_listing(m);

    // Generation workflow: progress reporting, the generation loop, worked examples, feedback.
    // Bound after the settings and Grammar, whose current values are parameter defaults.
    modelsmith::define_notify(m);
    modelsmith::define_generation(m);
    modelsmith::define_few_shots(m);
    modelsmith::define_feedback(m);
}
