// POST /cache/invalidate/{layer_name}: drops a layer's cached tiles, or with
// "all" the whole cache, and answers once the deletion has finished.
#pragma once

#include <pybind11/pybind11.h>

namespace tileport {
namespace py = pybind11;

py::object define_invalidate_cache_endpoint(py::module_& module);

}  // namespace tileport
