#include "zoom_info_endpoint.hpp"

#include <terrava/bridge.hpp>

#include "layers.hpp"
#include "pyglue.hpp"
#include "zoom.hpp"

namespace tileport {
namespace {

constexpr long long kFirstZoom = 1;
constexpr long long kLastZoom = 20;

const char* simplification(long long tolerance) {
  if (tolerance > 500) return "heavy";
  if (tolerance > 100) return "moderate";
  if (tolerance > 0) return "light";
  return "none";
}

py::dict zoom_entry(const std::optional<ZoomConfig>& config) {
  py::dict entry;
  entry["available"] = py::bool_(config.has_value());
  if (!config) return entry;
  entry["tolerance"] = py::int_(config->tolerance);
  entry["feature_limit"] = py::int_(config->feature_limit);
  entry["simplification"] = simplification(config->tolerance);
  return entry;
}

py::dict recommendations() {
  py::dict texts;
  texts["world_view"] = "Use 'lgas' or 'districts' for zoom 1-6";
  texts["regional_view"] = "Use 'cadzones' for zoom 4-10";
  texts["detailed_view"] = "Use 'plots' for zoom 8+";
  texts["precise_view"] = "Use 'beacons' for zoom 12+";
  return texts;
}

Coro get_layer_zoom_info(Args a) {
  const py::object layer_name = a[0];
  py::object record = find_layer(layer_name);
  if (!record) {
    raise_http_exception(404, concat({py::str("Layer '"), layer_name, py::str("' not found")}));
  }
  py::dict zoom_levels;
  for (long long zoom = kFirstZoom; zoom <= kLastZoom; ++zoom) {
    zoom_levels[py::int_(zoom)] = zoom_entry(layer_zoom_config(zoom, record));
  }
  py::dict data;
  data["layer"] = layer_name;
  data["min_zoom"] = record.attr("get")("min_zoom", 0);
  data["zoom_levels"] = zoom_levels;
  data["recommendations"] = recommendations();
  co_return envelope(data);
}

}  // namespace

py::object define_get_layer_zoom_info(py::module_& module) {
  return terrava::def_async(
      module,
      terrava::FunctionSpec{"get_layer_zoom_info",
                            "",
                            "Get zoom level information for a layer.",
                            {terrava::arg("layer_name", terrava::builtin("str"))},
                            {}},
      get_layer_zoom_info);
}

}  // namespace tileport
