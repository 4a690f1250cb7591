// GET /{layer_name}/{z}/{x}/{y}.pbf: one vector tile of one layer.
#pragma once

#include <pybind11/pybind11.h>

namespace tileport {
namespace py = pybind11;

// Defines the coroutine get_tile_xyz on the module and returns it.
py::object define_get_tile_xyz(py::module_& module);

}  // namespace tileport
