// A request passes, in order: the client's rate limit, the layer check, the
// tile address check, the query build (a zoom below the layer's range answers
// 204), the byte cache, the tile envelope, the statement under a zoom-dependent
// time-out inside a transaction, the cache store, the answer.
#include "tile_endpoint.hpp"

#include <optional>
#include <terrava/bridge.hpp>

#include "coords.hpp"
#include "layers.hpp"
#include "libraries.hpp"
#include "pyglue.hpp"
#include "rate_limit.hpp"
#include "tile_answers.hpp"
#include "tile_generation.hpp"
#include "tile_sql.hpp"
#include "zoom.hpp"

namespace tileport {
namespace {

constexpr long long kLastHintZoom = 6;

// "layer/z/x/y", as the log lines name a tile.
py::str tile_name(py::handle layer_name, py::handle z, py::handle x, py::handle y) {
  py::str slash("/");
  return concat({layer_name, slash, z, slash, x, slash, y});
}

// A zoom below the layer's range: logged with the layers that are served
// there, when the zoom is an overview one.
void log_zoom_not_served(py::handle layer_name, py::handle z, py::error_already_set& reason) {
  log_info(concat({py::str("Layer "), layer_name, py::str(" not available at zoom "), z,
                   py::str(": "), reason.value()}));
  long long zoom = saturated_int(z, "<=");
  if (zoom > kLastHintZoom) return;
  py::list available = layers_served_at(zoom);
  if (available.empty()) return;
  log_info(concat({py::str("Try these layers at zoom "), z, py::str(": "), available}));
}

py::dict envelope_params(py::handle bbox) {
  py::dict params;
  params["min_x"] = bbox["minx"];
  params["min_y"] = bbox["miny"];
  params["max_x"] = bbox["maxx"];
  params["max_y"] = bbox["maxy"];
  return params;
}

Coro get_tile_xyz(Args a) {
  const py::object layer_name = a[0], z = a[1], x = a[2], y = a[3], request = a[4], db = a[5];

  // 1. Rate limit. Redis trouble lets the request through unlimited.
  co_await limit_client(request, kTileRateLimit);

  // 2. Layer, looked up once. The name is only ever compared with the
  // registry's keys.
  py::object record = find_layer(layer_name);
  if (!record) {
    raise_http_exception(404, concat({py::str("Layer '"), layer_name, py::str("' not found")}));
  }

  // 3. Address.
  const long long zoom = saturated_int(z, "<=");
  if (!tile_in_grid(zoom, saturated_int(x, "<="), saturated_int(y, "<="))) {
    raise_http_exception(400, concat({py::str("Invalid tile coordinates: z="), z, py::str(", x="),
                                      x, py::str(", y="), y}));
  }

  // 4. Query plan; a zoom the layer is not served at is an empty answer. The
  // SQL text itself is only needed after a cache miss.
  std::optional<TilePlan> plan;
  try {
    plan = plan_tile(record, layer_name, z);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_ValueError)) throw;
    log_zoom_not_served(layer_name, z, e);
  }
  if (!plan) co_return empty_response();

  // 5-6. Cache. A failed or slow read is a miss; an empty value is one too.
  py::str colon(":");
  py::str cache_key = concat({layer_name, colon, z, colon, x, colon, y});
  py::object cached = co_await global("safe_cache_get")(cache_key);
  if (truthy(cached)) {
    co_return tile_response(cached, cache_headers(py::int_(plan->config.cache_ttl), "HIT"));
  }

  // 7-9. Envelope and statement, inside the transaction; concurrent misses of
  // this tile share one statement and one cache write.
  py::object bbox = global("xyz_to_bbox_web_mercator")(z, x, y);
  auto generate = [&]() -> Coro {
    TileJob job{cache_key, plan_sql(layer_name, *plan), envelope_params(bbox),
                py::float_(statement_timeout(zoom)), py::int_(plan->config.cache_ttl)};
    co_return co_await generate_once(db, std::move(job));
  };
  Outcome generated = co_await attempt(generate());
  if (generated.error) {
    // The transaction has been rolled back and the session closed by then.
    py::str tile = tile_name(layer_name, z, x, y);
    answer_failure(*generated.error,
                   {{lib().TimeoutError, concat({py::str("Timeout generating tile "), tile}), false,
                     408, concat({py::str("Tile generation timeout at zoom "), z})},
                    {lib().SQLAlchemyError, concat({py::str("Database error for tile "), tile}),
                     true, 500, py::str("Database error")},
                    {PyExc_Exception, concat({py::str("Unexpected error for tile "), tile}), true,
                     500, py::str("Internal server error")}});
  }
  py::object mvt_content = generated.value;

  // 10-11. Answer; the generation has cached a non-empty tile, empty tiles are
  // not cached.
  if (truthy(mvt_content)) co_return tile_response(mvt_content, py::none());
  log_info(concat({py::str("Empty tile generated for "), tile_name(layer_name, z, x, y),
                   py::str(" - bbox: "), bbox}));
  co_return empty_response();
}

}  // namespace

py::object define_get_tile_xyz(py::module_& module) {
  py::object str = builtin("str");
  py::object integer = builtin("int");
  return terrava::def_async(
      module,
      FunctionSpec{"get_tile_xyz",
                   "",
                   "Serve vector tiles with proper zoom-out support.",
                   {arg("layer_name", str), arg("z", integer), arg("x", integer), arg("y", integer),
                    arg("request", global("Request")),
                    arg("db", global("AsyncSession"), global("Depends")(global("get_db")))},
                   {}},
      get_tile_xyz);
}

}  // namespace tileport
