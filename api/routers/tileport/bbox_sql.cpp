#include "bbox_sql.hpp"

namespace tileport {
namespace {

constexpr const char* kEnvelope = "ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857)";

std::string joined(const std::vector<std::string>& items) {
  std::string out;
  for (size_t i = 0; i < items.size(); ++i) out += (i > 0 ? ", " : "") + items[i];
  return out;
}

}  // namespace

const char* const kBboxTransformSql =
    "\n"
    "            SELECT \n"
    "                ST_XMin(bbox_3857) as min_x, ST_YMin(bbox_3857) as min_y,\n"
    "                ST_XMax(bbox_3857) as max_x, ST_YMax(bbox_3857) as max_y\n"
    "            FROM (\n"
    "                SELECT ST_Transform(\n"
    "                    ST_MakeEnvelope(:x1, :y1, :x2, :y2, :input_srid), 3857\n"
    "                ) as bbox_3857\n"
    "            ) as sub\n"
    "        ";

std::string bbox_tile_sql(const std::string& layer_name, const LayerRecord& layer,
                          const std::string& geom_expr) {
  const std::string& geom = layer.geom_col;
  return "\n    SELECT ST_AsMVT(mvt_data, '" + layer_name + "', 4096, 'mvt_geom') AS mvt\n" +
         "    FROM (\n" + "        SELECT " + joined(layer.properties) + ",\n" + "            " +
         layer.id_col + " AS feature_id,\n" + "            ST_AsMVTGeom(\n" + "                " +
         geom_expr + ",\n" + "                " + kEnvelope + ",\n" + "                4096,\n" +
         "                32,\n" + "                true\n" + "            ) AS mvt_geom\n" +
         "        FROM " + layer.table + "\n" + "        WHERE " + geom + " && " + kEnvelope +
         "\n" + "            AND ST_Intersects(" + geom + ", " + kEnvelope + ")\n" +
         "        ORDER BY ST_Area(" + geom + ") DESC\n" + "        LIMIT :max_features\n" +
         "    ) AS mvt_data\n" + "    WHERE mvt_data.mvt_geom IS NOT NULL\n" + "    ";
}

}  // namespace tileport
