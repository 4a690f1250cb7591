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

// The zoom configuration of a layer given its LAYER_CONFIG record (an empty
// handle, for an unregistered name, counts as served from zoom 0), with the
// module's cache lifetimes.
std::optional<ZoomConfig> layer_zoom_config(long long zoom, py::handle record);

// The server-side bound, in seconds, of a tile statement at `zoom`: the
// deeper the zoom, the more rows a statement may have to read.
double statement_timeout(long long zoom);

// The configuration as the dict the module's callers receive.
py::dict zoom_config_dict(const ZoomConfig& config);

void define_get_zoom_config(py::module_& module);

}  // namespace tileport
