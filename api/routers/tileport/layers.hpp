// The layer registry LAYER_CONFIG: the six GIS layers the service publishes,
// with their tables and columns as ready-quoted SQL identifiers.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <vector>

namespace tileport {
namespace py = pybind11;

// One layer record as the SQL builder needs it.
struct LayerRecord {
  std::string table;
  std::string id_col;
  std::string geom_col;
  std::vector<std::string> properties;
};

// The registry as a Python dict of layer records, in publication order.
py::dict build_layer_config();

// The record of `layer_name` in the module's LAYER_CONFIG, or an empty handle
// when the name is not registered.
py::object find_layer(py::handle layer_name);

// The record's `min_zoom`, 0 when the record has none.
long long layer_min_zoom(py::handle record);

// Reads the SQL fields of a record.
LayerRecord read_layer(py::handle record);

// Names of the registered layers served at `zoom`, in registry order.
py::list layers_served_at(long long zoom);

}  // namespace tileport
