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

// What the statement of one tile is made of: the layer record, the zoom
// configuration and the form of the spatial filter.
struct TilePlan {
  py::object record;
  ZoomConfig config;
  bool overlap_only;
};

// The plan for the layer `layer_name`, of LAYER_CONFIG record `record`, at
// `zoom` (None or 0: the configuration of zoom 10). Raises ValueError for an
// unknown layer (an empty record) or a zoom below the layer's range, with the
// texts generate_mvt_sql raises.
TilePlan plan_tile(py::handle record, py::handle layer_name, py::handle zoom);

// The SQL text of a plan.
py::str plan_sql(py::handle layer_name, const TilePlan& plan);

void define_generate_mvt_sql(py::module_& module);

}  // namespace tileport
