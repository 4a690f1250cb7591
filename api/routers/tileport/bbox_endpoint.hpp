// GET /{layer_name}/bbox/: one vector tile of a layer for an arbitrary box.
#pragma once

#include <pybind11/pybind11.h>

namespace tileport {
namespace py = pybind11;

// Defines the coroutine get_tile_bbox on the module and returns it.
py::object define_get_tile_bbox(py::module_& module);

}  // namespace tileport
