// GET /health/: the monitoring probe.
#pragma once

#include <pybind11/pybind11.h>

namespace tileport {
namespace py = pybind11;

py::object define_health_check(py::module_& module);

}  // namespace tileport
