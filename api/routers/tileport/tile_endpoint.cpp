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

namespace tileport {
namespace {

using terrava::arg;
using terrava::Args;
using terrava::builtin;
using terrava::Coro;
using terrava::FunctionSpec;

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

// Maps a failure of the database region to its answer. The transaction has
// been rolled back and the session closed by then.
[[noreturn]] void raise_for_database_failure(py::error_already_set& error, py::handle tile,
                                             py::handle z) {
  if (error.matches(lib().TimeoutError)) {
    log_error(concat({py::str("Timeout generating tile "), tile}));
    raise_http_exception(408, concat({py::str("Tile generation timeout at zoom "), z}));
  }
  if (error.matches(lib().SQLAlchemyError)) {
    log_error(concat({py::str("Database error for tile "), tile, py::str(": "), error.value()}));
    raise_http_exception(500, py::str("Database error"));
  }
  if (error.matches(PyExc_Exception)) {
    log_error(concat({py::str("Unexpected error for tile "), tile, py::str(": "), error.value()}));
    raise_http_exception(500, py::str("Internal server error"));
  }
  throw std::move(error);  // cancellation and the like end the request as they are
}

Coro get_tile_xyz(Args a) {
  const py::object layer_name = a[0], z = a[1], x = a[2], y = a[3], request = a[4], db = a[5];

  // 1. Rate limit. Redis trouble lets the request through unlimited.
  co_await limit_client(request, kTileRateLimit);

  // 2. Layer. The name is only ever compared with the registry's keys.
  if (!find_layer(layer_name)) {
    raise_http_exception(404, concat({py::str("Layer '"), layer_name, py::str("' not found")}));
  }

  // 3. Address.
  if (!tile_in_grid(saturated_int(z, "<="), saturated_int(x, "<="), saturated_int(y, "<="))) {
    raise_http_exception(400, concat({py::str("Invalid tile coordinates: z="), z, py::str(", x="),
                                      x, py::str(", y="), y}));
  }

  // 4. Query plan; a zoom the layer is not served at is an empty answer. The
  // SQL text itself is only needed after a cache miss.
  std::optional<TilePlan> plan;
  std::optional<py::error_already_set> not_served;
  try {
    plan = plan_tile(layer_name, z);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_ValueError)) throw;
    not_served = std::move(e);
  }
  if (not_served) {
    log_zoom_not_served(layer_name, z, *not_served);
    co_return empty_response();
  }

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
  py::object mvt_content;
  std::optional<py::error_already_set> db_failure;
  try {
    TileJob job{cache_key, plan_sql(layer_name, *plan), envelope_params(bbox),
                py::float_(statement_timeout(saturated_int(z, "<="))),
                py::int_(plan->config.cache_ttl)};
    mvt_content = co_await generate_once(db, std::move(job));
  } catch (py::error_already_set& e) {
    db_failure = std::move(e);
  }
  if (db_failure) raise_for_database_failure(*db_failure, tile_name(layer_name, z, x, y), z);

  // 10-11. Answer; the generation has cached a non-empty tile, empty tiles are
  // not cached.
  if (truthy(mvt_content)) co_return tile_response(mvt_content, py::none());
  log_info(concat({py::str("Empty tile generated for "), tile_name(layer_name, z, x, y),
                   py::str(" - bbox: "), bbox}));
  co_return empty_response();
}

}  // namespace

double statement_timeout(long long z) {
  if (z <= 6) return 10.0;
  if (z <= 10) return 12.0;
  if (z <= 14) return 15.0;
  if (z <= 16) return 20.0;
  return 30.0;
}

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
