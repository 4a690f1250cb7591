// terrava.tileport: the vector-tile service of the registry. Everything is
// prepared once, at import, in this order: libraries, environment file,
// logging, router, constants, Redis settings and client, byte cache, layer
// registry, functions and routes.
#include <terrava/bridge.hpp>

#include "cache.hpp"
#include "coords.hpp"
#include "guarded_cache.hpp"
#include "invalidation.hpp"
#include "layers.hpp"
#include "libraries.hpp"
#include "pyglue.hpp"
#include "rate_limit.hpp"
#include "redis_client.hpp"
#include "routes.hpp"
#include "settings.hpp"
#include "tile_generation.hpp"
#include "tile_sql.hpp"
#include "transaction.hpp"
#include "zoom.hpp"

namespace tileport {
namespace {

struct Import {
  const char* module;
  const char* name;
};

// `from module import name` for every name of the module's namespace, bound
// as module globals (asynccontextmanager, status and NullSerializer are part
// of it though no request reads them). The host application's modules
// (database, helpers.*) must be importable; a missing one fails the import.
constexpr Import kImports[] = {
    {"typing", "Optional"},
    {"contextlib", "asynccontextmanager"},
    {"fastapi", "APIRouter"},
    {"fastapi", "Depends"},
    {"fastapi", "HTTPException"},
    {"fastapi", "Query"},
    {"fastapi", "Response"},
    {"fastapi", "status"},
    {"fastapi", "Request"},
    {"fastapi.responses", "JSONResponse"},
    {"sqlalchemy.ext.asyncio", "AsyncSession"},
    {"sqlalchemy.sql", "text"},
    {"sqlalchemy.exc", "SQLAlchemyError"},
    {"database", "get_db"},
    {"helpers.responses", "api_response"},
    {"helpers.responses", "api_router_response"},
    {"helpers.utils", "latlon_to_xyz"},
    {"helpers.utils", "xyz_to_bbox_web_mercator"},
    {"dotenv", "load_dotenv"},
    {"aiocache.serializers", "NullSerializer"},
};

void import_libraries() {
  for (const char* name : {"asyncio", "os", "logging"}) {
    set_global(name, py::module_::import(name));
  }
  for (const Import& item : kImports) set_global(item.name, import_from(item.module, item.name));
  set_global("aiocache", py::module_::import("aiocache"));
}

void configure_logging(py::module_& module) {
  py::object logging = global("logging");
  logging.attr("basicConfig")(py::arg("level") = logging.attr("INFO"));
  set_global("logger", logging.attr("getLogger")(module.attr("__name__")));
}

void create_router() {
  py::list tags;
  tags.append("GIS Tiles");
  set_global("tileport", global("APIRouter")(py::arg("prefix") = "/gis", py::arg("tags") = tags));
}

void set_constants() {
  set_global("DEFAULT_CENTROID_ZOOM", py::int_(16));
  set_global("MAX_BBOX_AREA_WGS84", py::float_(1.0));
  set_global("MAX_FEATURES_GLOBAL", py::int_(15000));
  set_global("CACHE_TTL_SHORT", py::int_(1800));
  set_global("CACHE_TTL_LONG", py::int_(7200));
}

void init(py::module_& m) {
  import_libraries();
  resolve_libraries();
  global("load_dotenv")();
  configure_logging(m);
  create_router();
  set_constants();
  read_redis_settings();
  create_redis_client();
  prepare_rate_limit(m);
  prepare_tile_generation(m);
  define_binary_redis_cache(m);
  create_module_cache(m);
  define_invalidation(m);
  set_global("LAYER_CONFIG", build_layer_config());
  define_get_zoom_config(m);
  define_generate_mvt_sql(m);
  set_global("db_transaction", make_db_transaction(m, global("AsyncSession")));
  define_safe_cache_get(m);
  define_safe_cache_set(m);
  define_validate_tile_coords(m);
  define_calculate_bbox_area_degrees(m);
  register_routes(m);
}

}  // namespace
}  // namespace tileport

TERRAVA_MODULE(tileport, m) { tileport::init(m); }
