// Loggers by name through the host's logging package; the host decides what is emitted.
#pragma once

#include <pybind11/pybind11.h>

namespace hostkit {
namespace py = pybind11;

enum class Level : int { debug = 10, info = 20, warning = 30, error = 40 };

inline py::object get_logger(const char* name) {
    return py::module_::import("logging").attr("getLogger")(name);
}

inline bool enabled_for(py::handle logger, Level level) {
    return py::bool_(logger.attr("isEnabledFor")(static_cast<int>(level)));
}

// logger.log(level, fmt, *args): the message is formatted lazily by the host, exactly as a
// Python caller writing logger.warning("... %s", x) would have it.
template <class... Args>
void log(py::handle logger, Level level, const char* fmt, Args&&... args) {
    if (!enabled_for(logger, level)) return;
    logger.attr("log")(static_cast<int>(level), fmt, std::forward<Args>(args)...);
}

}  // namespace hostkit
