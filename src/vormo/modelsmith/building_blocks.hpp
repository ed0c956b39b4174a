// The pure building blocks of the generation workflow: prompt texts, tolerant reading of JSON
// replies, and the grammar and example files the prompts are made from.
#pragma once

#include <pybind11/pybind11.h>

namespace modelsmith {
// Grammar, the grammar/code readers, _read_file, _safe_read_text, _find_pair_in_folder.
// Reads FEW_SHOT_MAX_CHARS, so it runs after the settings are bound.
void define_resources(pybind11::module_ m);
// The six prompt builders.
void define_prompts(pybind11::module_ m);
// extract_json_from_markdown, _json_loads_relaxed.
void define_parsing(pybind11::module_ m);
}  // namespace modelsmith
