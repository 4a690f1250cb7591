// Zoom rules: how coarse a layer's tiles are at each zoom level, and whether
// the layer is served there at all.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>

namespace tileport {
namespace py = pybind11;

struct ZoomConfig {
  long long tolerance;      // simplification tolerance in metres, 0: none
  long long feature_limit;  // features per tile before the global cap
  long long buffer;         // clipping buffer in tile units of a 4096 extent
  long long cache_ttl;      // seconds a finished tile stays cached
};

// The band of `zoom` for a layer served from `min_zoom` on; none below it.
std::optional<ZoomConfig> zoom_band(long long zoom, long long min_zoom, long long ttl_short,
                                    long long ttl_long);

// The zoom configuration of a layer (looked up in LAYER_CONFIG, unregistered
// names count as served from zoom 0), with the module's cache lifetimes.
std::optional<ZoomConfig> layer_zoom_config(long long zoom, py::handle layer_name);

// The configuration as the dict the module's callers receive.
py::dict zoom_config_dict(const ZoomConfig& config);

void define_get_zoom_config(py::module_& module);

}  // namespace tileport
