// Progress reporting for the long operations: the caller's one-argument callback, or the module's
// debug log when there is none. Reporting never makes an operation fail; interrupts and exit
// requests raised by a callback still pass through.
#include "modelsmith/workflow.hpp"

namespace modelsmith {
namespace {

void notify(py::object progress, py::object msg) {
    hostkit::check_str(msg, "msg");
    hostkit::guard_ordinary([&] {
        if (hostkit::truthy(progress)) {
            progress(msg);
            return;
        }
        py::object logger = home.attr("logger");
        if (hostkit::enabled_for(logger, hostkit::Level::debug)) logger.attr("debug")(msg);
    });
}

}  // namespace

void define_notify(py::module_ m) {
    m.def("_notify", &notify, py::arg("progress"), py::arg("msg"),
          "Hand `msg` to the callback `progress`, or to the debug log when there is none; never fails.");
}

}  // namespace modelsmith
