// GET /{layer_name}/: where a layer's data lies, and a tile to open it at.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace tileport {
namespace py = pybind11;

// The statement that reads a layer's estimated extent (planner statistics)
// and its centre in WGS84, for the table and geometry column given as the
// text arguments of ST_EstimatedExtent.
std::string centroid_sql(const std::string& table_literal, const std::string& geom_literal);

// Defines the coroutine get_central_tile_info on the module and returns it.
py::object define_get_central_tile_info(py::module_& module);

}  // namespace tileport
