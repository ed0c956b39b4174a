// Cost estimates: the model's prices from the pricing table times the token counts of a run.
#include "hostkit/hostkit.hpp"
#include "tokenledger/ledger.hpp"

namespace tokenledger {
namespace {

// The rate entry for a lower-cased model name: the exact key, else the first key (in document
// order) that contains the name or is contained in it; None when nothing matches.
py::object find_model_entry(const py::object& pricing, const py::object& model_key) {
    if (hostkit::contains(pricing, model_key)) return pricing[model_key];
    for (py::handle item : pricing.attr("items")()) {
        py::object pair = py::reinterpret_borrow<py::object>(item);
        py::object key = pair[py::int_(0)];
        if (hostkit::contains(key, model_key) || hostkit::contains(model_key, key)) return pair[py::int_(1)];
    }
    return py::none();
}

// A / 1,000,000 first, then the rate times that: the host's arithmetic, no rounding.
py::object cost(const py::object& rate, const py::object& tokens) {
    PyObject* share = PyNumber_TrueDivide(tokens.ptr(), py::int_(1000000).ptr());
    if (!share) throw py::error_already_set();
    py::object millions = py::reinterpret_steal<py::object>(share);
    PyObject* product = PyNumber_Multiply(rate.ptr(), millions.ptr());
    if (!product) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(product);
}

py::object or_zero(const py::object& value) { return hostkit::truthy(value) ? value : py::float_(0.0); }

}  // namespace

py::dict estimate_costs(py::object args, py::object usage) {
    py::object pricing = home.call("_parse_pricing", home.attr("PRICING_URL"));
    py::object model = args.attr("model");
    py::object model_key = model.attr("lower")();
    py::object prompt_tokens = usage.attr("get")("prompt_tokens");
    py::object completion_tokens = usage.attr("get")("completion_tokens");
    py::dict est;

    py::object entry = find_model_entry(pricing, model_key);
    py::object logger = home.attr("logger");
    if (hostkit::enabled_for(logger, hostkit::Level::debug)) {
        py::str message = hostkit::join({py::str("Estimating costs for model '"), hostkit::text_of(model),
                                         py::str("' using pricing entry: "), hostkit::text_of(entry)});
        logger.attr("debug")(message);
    }

    if (!entry.is_none() && hostkit::truthy(entry) && !prompt_tokens.is_none()) {
        py::object p_rate = entry.attr("get")("prompt_per_1M");
        if (!p_rate.is_none()) est["prompt_cost"] = cost(p_rate, prompt_tokens);
        py::object c_rate = entry.attr("get")("completion_per_1M");
        if (!c_rate.is_none() && !completion_tokens.is_none()) est["completion_cost"] = cost(c_rate, completion_tokens);
    }
    PyObject* total = PyNumber_Add(or_zero(est.attr("get")("prompt_cost")).ptr(),
                                   or_zero(est.attr("get")("completion_cost")).ptr());
    if (!total) throw py::error_already_set();
    est["total_cost"] = py::reinterpret_steal<py::object>(total);
    return est;
}

void exercise_estimate_costs(py::object model) {
    py::dict usage;
    usage["prompt_tokens"] = 21549;
    usage["completion_tokens"] = 7091;
    bool named = PyUnicode_Check(model.ptr()) && PyUnicode_GET_LENGTH(model.ptr()) > 0;
    py::object name = named ? model : py::str("gpt-4.1");
    py::object args = py::module_::import("types").attr("SimpleNamespace")(py::arg("model") = name);
    py::object est = home.call("estimate_costs", args, usage);
    py::dict shown;
    shown["model"] = name;
    shown["usage"] = usage;
    shown["estimated_costs"] = est;
    py::module_::import("builtins").attr("print")(shown);
}

int run_main(py::object /*argv*/) {
    // The command line carries nothing: running the module prints the one demonstration estimate.
    home.call("exercise_estimate_costs");
    return 0;
}

}  // namespace tokenledger
