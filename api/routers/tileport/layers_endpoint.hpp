// GET /layers/: the catalogue of the tile service.
#pragma once

#include <pybind11/pybind11.h>

namespace tileport {
namespace py = pybind11;

py::object define_get_available_layers(py::module_& module);

}  // namespace tileport
