// A strict JSON reader for replies, used where the host's default decoder would otherwise read the
// whole text: it builds the same values the decoder builds, without recursing on the C stack and
// with the nesting bounded, and leaves every document it does not accept to the decoder.
#pragma once

#include <pybind11/pybind11.h>

namespace modelsmith::json_reader {

enum class Outcome {
    accepted,  // the value is the decoder's value for the text
    too_deep,  // arrays and objects nest deeper than hostkit::RecursionGuard::kMaxDepth
    declined,  // anything else (a syntax error, an int over the host's digit limit, the host's
               // recursion limit, ...): nothing has happened, the decoder decides
};

// Calls into the host that stand between the caller and the decoder's first level: the decoder's
// scanner called directly, or json.loads (through its Python frames) calling it.
enum class Route { scanner, loads };

// Captures what the reader needs from the host's default decoder; false when that decoder is not
// one the reader can stand in for (its settings differ from the defaults), and the reader then
// declines every document.
bool prepare(PyObject* scanner);

// Reads `text` (an exact str) as json.loads would through `route`. On `accepted`, `*value` holds a
// new reference; on the other outcomes no error is left set. Errors that are not ordinary
// exceptions propagate as py::error_already_set.
Outcome read(PyObject* text, Route route, PyObject** value);

}  // namespace modelsmith::json_reader
