#include "layers.hpp"

#include <array>
#include <initializer_list>

#include "pyglue.hpp"

namespace tileport {
namespace {

struct LayerDefinition {
  const char* name;
  const char* table;
  const char* id_col;
  const char* geom_col;
  std::initializer_list<const char*> properties;
  int min_zoom;
};

// The key column is also the first property, so every feature carries it both
// as an attribute and as its feature id.
const std::array<LayerDefinition, 6> kLayers = {{
    {"plots",
     R"("GIS"."PLOT")",
     R"("ID")",
     R"("GEOMETRY")",
     {R"("ID")", R"("PLOT_NO")", R"("STATUS")", R"("AREA_SYSTEM")", R"("GENERAL_LU")",
      R"("CADZONE")", R"("DETAIL_LU")", R"("file_no")"},
     8},
    {"beacons",
     R"("GIS"."BEACON")",
     R"("ID")",
     R"("GEOMETRY")",
     {R"("ID")", R"("BEACON_NO")", R"("STATUS")", R"("REMARK")"},
     12},
    {"cadzones",
     R"("GIS"."CadZones")",
     R"("id")",
     R"("geometry")",
     {R"("id")", R"("name")", R"("district_id")"},
     4},
    {"districts",
     R"("GIS"."Districts")",
     R"("id")",
     R"("geometry")",
     {R"("id")", R"("name")", R"("lga_id")"},
     3},
    {"lgas", R"("GIS"."LGAs")", R"("id")", R"("geometry")", {R"("id")", R"("name")"}, 2},
    {"roads",
     R"("GIS"."ROAD")",
     R"("ID")",
     R"("GEOMETRY")",
     {R"("ID")", R"("ROAD_NAME")", R"("ROAD_TYPE")"},
     4},
}};

py::dict registry() {
  py::object config = global("LAYER_CONFIG");
  if (!PyDict_Check(config.ptr())) throw py::type_error("LAYER_CONFIG must be a dict");
  return py::reinterpret_borrow<py::dict>(config);
}

}  // namespace

py::dict build_layer_config() {
  py::dict config;
  for (const LayerDefinition& layer : kLayers) {
    py::list properties;
    for (const char* column : layer.properties) properties.append(py::str(column));
    py::dict record;
    record["table"] = py::str(layer.table);
    record["id_col"] = py::str(layer.id_col);
    record["geom_col"] = py::str(layer.geom_col);
    record["properties"] = properties;
    record["min_zoom"] = py::int_(layer.min_zoom);
    config[py::str(layer.name)] = record;
  }
  return config;
}

py::object find_layer(py::handle layer_name) {
  PyObject* record = PyDict_GetItemWithError(registry().ptr(), layer_name.ptr());
  if (record == nullptr && PyErr_Occurred()) throw py::error_already_set();
  return py::reinterpret_borrow<py::object>(record);
}

long long layer_min_zoom(py::handle record) {
  py::object min_zoom = record.attr("get")("min_zoom", 0);
  return saturated_int(min_zoom, "<");
}

LayerRecord read_layer(py::handle record) {
  LayerRecord layer;
  layer.table = py::str(record["table"]);
  layer.id_col = py::str(record["id_col"]);
  layer.geom_col = py::str(record["geom_col"]);
  for (py::handle column : record["properties"]) layer.properties.push_back(py::str(column));
  return layer;
}

py::list layers_served_at(long long zoom) {
  py::list names;
  for (auto [name, record] : registry()) {
    if (layer_min_zoom(record) <= zoom) names.append(name);
  }
  return names;
}

}  // namespace tileport
