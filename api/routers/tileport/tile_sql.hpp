// The one PostGIS statement that turns a layer's rows inside a tile envelope
// into a Mapbox Vector Tile.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "layers.hpp"
#include "zoom.hpp"

namespace tileport {
namespace py = pybind11;

// The SQL text for `layer_name`, with the envelope bound as :min_x, :min_y,
// :max_x, :max_y. Overview zooms filter by bounding-box overlap only; detailed
// ones add an exact intersection test.
std::string mvt_sql(const std::string& layer_name, const LayerRecord& layer,
                    const ZoomConfig& config, long long feature_cap, bool overlap_only);

struct TileQuery {
  py::str sql;
  ZoomConfig config;
};

// The statement for a registered layer at `zoom` (None or 0: the configuration
// of zoom 10). Raises ValueError for an unknown layer or a zoom below the
// layer's range.
TileQuery tile_query(py::handle layer_name, py::handle zoom);

void define_generate_mvt_sql(py::module_& module);

}  // namespace tileport
