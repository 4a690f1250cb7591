// Warnings that repeat: a Redis outage fails every request the same way.
#pragma once

#include <pybind11/pybind11.h>

namespace tileport {
namespace py = pybind11;

// logger.warning(message), unless a warning of the same `kind` with the same
// `error` text was written less than a second ago: then it is only counted,
// and the count follows the next one that is written, as
// kind + ": " + count + " more with the same error not logged".
void log_repeated_warning(const char* kind, py::handle error, py::handle message);

}  // namespace tileport
