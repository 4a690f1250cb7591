#include "tile_sql.hpp"

#include <algorithm>
#include <terrava/bridge.hpp>

#include "pyglue.hpp"

namespace tileport {
namespace {

constexpr long long kDefaultZoom = 10;
constexpr long long kLastOverlapOnlyZoom = 6;
constexpr const char* kEnvelope = "ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857)";

std::string joined(const std::vector<std::string>& items, const std::string& separator) {
  std::string out;
  for (size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out += separator;
    out += items[i];
  }
  return out;
}

py::object generate_mvt_sql(terrava::Args& args) {
  TilePlan plan = plan_tile(find_layer(args[0]), args[0], args[1]);
  return py::make_tuple(plan_sql(args[0], plan), zoom_config_dict(plan.config));
}

}  // namespace

std::string mvt_sql(const std::string& layer_name, const LayerRecord& layer,
                    const ZoomConfig& config, long long feature_cap, bool overlap_only) {
  const std::string& geom = layer.geom_col;
  std::string geometry = config.tolerance > 0 ? "ST_SimplifyPreserveTopology(" + geom + ", " +
                                                    std::to_string(config.tolerance) + ")"
                                              : geom;
  std::string filter;
  if (overlap_only) {
    filter = geom + " && " + kEnvelope;
  } else {
    const std::string indent = "\n        ";
    filter = indent + geom + " && " + kEnvelope + indent + "AND ST_Intersects(" + geom + ", " +
             kEnvelope + ")" + indent;
  }
  long long limit = std::min(config.feature_limit, feature_cap);
  return "\n    SELECT ST_AsMVT(mvt_data, '" + layer_name +
         "', 4096, 'mvt_geom') AS mvt\n"
         "    FROM (\n"
         "        SELECT " +
         joined(layer.properties, ", ") +
         ",\n"
         "            " +
         layer.id_col +
         " AS feature_id,\n"
         "            ST_AsMVTGeom(\n"
         "                " +
         geometry +
         ",\n"
         "                " +
         kEnvelope +
         ",\n"
         "                4096,\n"
         "                " +
         std::to_string(config.buffer) +
         ",\n"
         "                true\n"
         "            ) AS mvt_geom\n"
         "        FROM " +
         layer.table +
         "\n"
         "        WHERE " +
         filter +
         "\n"
         "        ORDER BY ST_Area(" +
         geom +
         ") DESC\n"
         "        LIMIT " +
         std::to_string(limit) +
         "\n"
         "    ) AS mvt_data\n"
         "    WHERE mvt_data.mvt_geom IS NOT NULL;\n"
         "    ";
}

TilePlan plan_tile(py::handle record, py::handle layer_name, py::handle zoom) {
  if (!record) raise_value_error(concat({py::str("Unknown layer: "), layer_name}));

  // A missing zoom (and zoom 0) selects the configuration of zoom 10; the
  // filter then follows that configuration too.
  int given = PyObject_IsTrue(zoom.ptr());
  if (given < 0) throw py::error_already_set();
  long long effective = given ? saturated_int(zoom, "<") : kDefaultZoom;
  auto config = layer_zoom_config(effective, record);
  if (!config) {
    raise_value_error(
        concat({py::str("Layer "), layer_name, py::str(" not available at zoom level "), zoom}));
  }
  long long filter_zoom = zoom.is_none() ? kDefaultZoom : saturated_int(zoom, "<=");
  return TilePlan{py::reinterpret_borrow<py::object>(record), *config,
                  filter_zoom <= kLastOverlapOnlyZoom};
}

py::str plan_sql(py::handle layer_name, const TilePlan& plan) {
  return py::str(mvt_sql(py::str(layer_name), read_layer(plan.record), plan.config,
                         global("MAX_FEATURES_GLOBAL").cast<long long>(), plan.overlap_only));
}

void define_generate_mvt_sql(py::module_& module) {
  using terrava::arg;
  using terrava::builtin;
  py::object optional_int = global("Optional")[builtin("int")];
  py::object result = builtin("tuple")[py::make_tuple(builtin("str"), builtin("dict"))];
  terrava::def(module,
               terrava::FunctionSpec{
                   "generate_mvt_sql",
                   "",
                   "Generate MVT SQL with better low-zoom handling.",
                   {arg("layer_name", builtin("str")), arg("zoom", optional_int, py::none())},
                   result},
               generate_mvt_sql);
}

}  // namespace tileport
