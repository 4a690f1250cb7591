#include "zoom.hpp"

#include <array>
#include <climits>
#include <terrava/bridge.hpp>

#include "layers.hpp"
#include "pyglue.hpp"

namespace tileport {
namespace {

enum class Lifetime { kLong, kShort };

struct Band {
  long long max_zoom;  // inclusive
  long long tolerance;
  long long feature_limit;
  long long buffer;
  Lifetime lifetime;
};

// Overview zooms are simplified hard, capped low and cached long; detailed
// zooms keep full geometry, carry many features and are cached briefly.
constexpr std::array<Band, 8> kBands = {{
    {4, 1000, 2000, 512, Lifetime::kLong},
    {6, 500, 3000, 256, Lifetime::kLong},
    {8, 250, 5000, 256, Lifetime::kLong},
    {10, 100, 8000, 256, Lifetime::kLong},
    {12, 50, 10000, 256, Lifetime::kShort},
    {14, 10, 15000, 64, Lifetime::kShort},
    {16, 0, 20000, 16, Lifetime::kShort},
    {LLONG_MAX, 0, 30000, 8, Lifetime::kShort},
}};

py::object get_zoom_config(terrava::Args& args) {
  long long zoom = saturated_int(args[0], "<");
  auto config = layer_zoom_config(zoom, find_layer(args[1]));
  if (!config) return py::none();
  return zoom_config_dict(*config);
}

}  // namespace

std::optional<ZoomConfig> zoom_band(long long zoom, long long min_zoom, long long ttl_short,
                                    long long ttl_long) {
  if (zoom < min_zoom) return std::nullopt;
  for (const Band& band : kBands) {
    if (zoom <= band.max_zoom) {
      long long ttl = band.lifetime == Lifetime::kLong ? ttl_long : ttl_short;
      return ZoomConfig{band.tolerance, band.feature_limit, band.buffer, ttl};
    }
  }
  return std::nullopt;  // unreachable: the last band takes every zoom
}

std::optional<ZoomConfig> layer_zoom_config(long long zoom, py::handle record) {
  long long min_zoom = record ? layer_min_zoom(record) : 0;
  return zoom_band(zoom, min_zoom, global("CACHE_TTL_SHORT").cast<long long>(),
                   global("CACHE_TTL_LONG").cast<long long>());
}

double statement_timeout(long long z) {
  if (z <= 6) return 10.0;
  if (z <= 10) return 12.0;
  if (z <= 14) return 15.0;
  if (z <= 16) return 20.0;
  return 30.0;
}

py::dict zoom_config_dict(const ZoomConfig& config) {
  py::dict result;
  result["tolerance"] = config.tolerance;
  result["feature_limit"] = config.feature_limit;
  result["buffer"] = config.buffer;
  result["cache_ttl"] = config.cache_ttl;
  return result;
}

void define_get_zoom_config(py::module_& module) {
  using terrava::arg;
  using terrava::builtin;
  terrava::def(
      module,
      terrava::FunctionSpec{"get_zoom_config",
                            "",
                            "Get optimized configuration - FIXED to show features when zoomed out.",
                            {arg("zoom", builtin("int")), arg("layer_name", builtin("str"))},
                            builtin("dict")},
      get_zoom_config);
}

}  // namespace tileport
