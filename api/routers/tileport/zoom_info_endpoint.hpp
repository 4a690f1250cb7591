// GET /{layer_name}/zoom-info/: at which zooms a layer is served, and how
// coarsely.
#pragma once

#include <pybind11/pybind11.h>

namespace tileport {
namespace py = pybind11;

py::object define_get_layer_zoom_info(py::module_& module);

}  // namespace tileport
