// The route table of the router `tileport`.
#pragma once

#include <pybind11/pybind11.h>

namespace tileport {
namespace py = pybind11;

// Defines the endpoint coroutines and registers them on the router.
void register_routes(py::module_& module);

}  // namespace tileport
