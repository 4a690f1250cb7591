#include "layers_endpoint.hpp"

#include <terrava/bridge.hpp>

#include "pyglue.hpp"

namespace tileport {
namespace {

py::dict endpoints(py::handle name) {
  py::str base = concat({py::str("/gis/"), name});
  py::dict urls;
  urls["xyz"] = concat({base, py::str("/{z}/{x}/{y}.pbf")});
  urls["bbox"] = concat({base, py::str("/bbox/")});
  urls["info"] = concat({base, py::str("/")});
  urls["zoom_info"] = concat({base, py::str("/zoom-info/")});
  return urls;
}

py::dict usage_guide() {
  py::dict texts;
  texts["world_zoom_1_4"] = "Use 'lgas' layer";
  texts["country_zoom_5_7"] = "Use 'districts' or 'lgas' layer";
  texts["regional_zoom_6_10"] = "Use 'cadzones' layer";
  texts["local_zoom_8_14"] = "Use 'plots' layer";
  texts["detail_zoom_12_20"] = "Use 'beacons' layer";
  return texts;
}

Coro get_available_layers(Args) {
  py::dict layers_info;
  for (auto [name, record] : py::reinterpret_borrow<py::dict>(global("LAYER_CONFIG"))) {
    py::dict entry;
    entry["name"] = name;
    entry["min_zoom"] = record.attr("get")("min_zoom", 0);
    entry["properties"] = record["properties"];
    entry["table"] = record["table"];
    entry["endpoints"] = endpoints(name);
    layers_info[name] = entry;
  }
  py::dict data;
  data["layers"] = layers_info;
  data["total_layers"] = py::int_(py::len(layers_info));
  data["usage_guide"] = usage_guide();
  co_return envelope(data);
}

}  // namespace

py::object define_get_available_layers(py::module_& module) {
  return terrava::def_async(
      module,
      terrava::FunctionSpec{"get_available_layers",
                            "",
                            "Get list of available layers and their configurations.",
                            {},
                            {}},
      get_available_layers);
}

}  // namespace tileport
