// A request passes, in order: the layer check, the cached answer, the
// centroid statement inside a transaction under a time-out, the suggested
// tile, the cache store, the answer.
#include "centroid_endpoint.hpp"

#include <optional>
#include <terrava/bridge.hpp>

#include "layers.hpp"
#include "libraries.hpp"
#include "pyglue.hpp"
#include "statements.hpp"
#include "tile_answers.hpp"
#include "transaction.hpp"

namespace tileport {
namespace {

constexpr double kStatementTimeout = 15.0;  // seconds

// The answer kept in the cache, or an empty handle when there is none or it
// cannot be read back (bad bytes, bad JSON, a failing envelope).
py::object cached_answer(py::handle cached) {
  if (!truthy(cached)) return {};
  try {
    py::object data = lib().json_loads(cached.attr("decode")("utf-8"));
    return envelope(data);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    return {};
  }
}

// The outer double quotes of a quoted identifier go; inner ones stay.
py::str literal(py::handle identifier) { return identifier.attr("strip")("\""); }

py::str tile_url(py::handle layer_name, py::handle tile) {
  py::str slash("/");
  return concat({py::str("/gis/"), layer_name, slash, tile["z"], slash, tile["x"], slash, tile["y"],
                 py::str(".pbf")});
}

py::dict response_data(py::handle layer_name, py::handle record, py::handle row, py::handle tile,
                       py::handle bbox) {
  py::object to_float = builtin("float");
  py::dict centroid;
  centroid["latitude"] = to_float(row.attr("lat"));
  centroid["longitude"] = to_float(row.attr("lon"));
  py::dict extent;
  extent["minx"] = to_float(row.attr("extent_minx"));
  extent["miny"] = to_float(row.attr("extent_miny"));
  extent["maxx"] = to_float(row.attr("extent_maxx"));
  extent["maxy"] = to_float(row.attr("extent_maxy"));
  py::dict layer_config;
  layer_config["min_zoom"] = record.attr("get")("min_zoom", 0);
  layer_config["properties"] = record["properties"];
  py::dict data;
  data["layer"] = layer_name;
  data["centroid_wgs84"] = centroid;
  data["extent_web_mercator"] = extent;
  data["suggested_tile"] = tile;
  data["suggested_tile_bbox"] = bbox;
  data["tile_url"] = tile_url(layer_name, tile);
  data["layer_config"] = layer_config;
  return data;
}

Coro get_central_tile_info(Args a) {
  const py::object layer_name = a[0], db = a[1];

  // 1-2. Layer.
  py::object record = find_layer(layer_name);
  if (!record) {
    raise_http_exception(404, concat({py::str("Layer '"), layer_name, py::str("' not found")}));
  }

  // 3-4. A cached answer that reads back is served as it is.
  py::str cache_key = concat({py::str("centroid:"), layer_name});
  py::object cached =
      co_await global("safe_cache_get")(cache_key, py::arg("timeout") = py::float_(2.0));
  if (py::object answer = cached_answer(cached)) co_return answer;

  // 5-7. The estimated extent and its centre.
  py::str sql(centroid_sql(literal(record["table"]), literal(record["geom_col"])));
  auto estimate = [&]() -> Coro {
    co_return co_await run_in_transaction(global("db_transaction"), db, sql_text(sql), py::none(),
                                          py::float_(kStatementTimeout), "first");
  };
  Outcome estimated = co_await attempt(estimate());
  if (estimated.error) {
    answer_failure(
        *estimated.error,
        {{lib().TimeoutError, concat({py::str("Timeout calculating centroid for "), layer_name}),
          false, 408, py::str("Centroid calculation timeout")},
         {PyExc_Exception, concat({py::str("Error calculating centroid for "), layer_name}), true,
          500, py::str("Database error")}});
  }
  py::object centroid = estimated.value;

  // 8. No statistics, no extent: an answer through the envelope, not an error.
  if (centroid.is_none() || centroid.attr("lat").is_none() || centroid.attr("lon").is_none()) {
    co_return global("api_router_response")(global("api_response")(
        py::arg("status_code") = 404,
        py::arg("message") =
            concat({py::str("No valid geometry found for layer '"), layer_name, py::str("'")})));
  }

  // 9-11. The suggested tile and its envelope.
  py::object tile = global("latlon_to_xyz")(centroid.attr("lat"), centroid.attr("lon"),
                                            global("DEFAULT_CENTROID_ZOOM"));
  py::object bbox = global("xyz_to_bbox_web_mercator")(tile["z"], tile["x"], tile["y"]);
  py::dict data = response_data(layer_name, record, centroid, tile, bbox);

  // 12. Cached as JSON text; a value that cannot be written is not cached.
  py::object cache_data;
  try {
    cache_data = lib().json_dumps(data).attr("encode")("utf-8");
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
  }
  if (cache_data) {
    py::object ttl = global("CACHE_TTL_LONG") * py::int_(2);
    co_await global("safe_cache_set")(cache_key, cache_data, ttl);
  }

  // 13.
  co_return envelope(data);
}

}  // namespace

std::string centroid_sql(const std::string& table_literal, const std::string& geom_literal) {
  return "\n"
         "        WITH layer_stats AS (\n"
         "            -- Use ST_EstimatedExtent for a fast approximation of the layer's bounding "
         "box.\n"
         "            -- This is significantly more performant than ST_Extent on large tables.\n"
         "            SELECT ST_EstimatedExtent('" +
         table_literal + "', '" + geom_literal +
         "') as bbox\n"
         "        )\n"
         "        SELECT\n"
         "            -- Calculate the centroid of the estimated bbox and transform it to WGS84 "
         "(lat/lon)\n"
         "            ST_Y(ST_Transform(ST_SetSRID(ST_Centroid(bbox), 3857), 4326)) as lat,\n"
         "            ST_X(ST_Transform(ST_SetSRID(ST_Centroid(bbox), 3857), 4326)) as lon,\n"
         "            \n"
         "            -- Extract the coordinates of the estimated bounding box\n"
         "            ST_XMin(bbox) as extent_minx,\n"
         "            ST_YMin(bbox) as extent_miny,\n"
         "            ST_XMax(bbox) as extent_maxx,\n"
         "            ST_YMax(bbox) as extent_maxy\n"
         "        FROM layer_stats\n"
         "        -- Ensure we don't proceed if the extent could not be calculated\n"
         "        WHERE bbox IS NOT NULL\n"
         "    ";
}

py::object define_get_central_tile_info(py::module_& module) {
  return terrava::def_async(
      module,
      FunctionSpec{"get_central_tile_info",
                   "",
                   "Get layer centroid and suggested tile coordinates.",
                   {arg("layer_name", builtin("str")),
                    arg("db", global("AsyncSession"), global("Depends")(global("get_db")))},
                   {}},
      get_central_tile_info);
}

}  // namespace tileport
