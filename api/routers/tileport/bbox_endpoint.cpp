// A request passes, in order: the client's rate limit, the layer, SRID and
// range checks, the box's transformation to Web Mercator on the database, the
// byte cache under the rounded bounds, the tile statement under a time-out
// inside a transaction, the cache store, the answer.
#include "bbox_endpoint.hpp"

#include <cmath>
#include <optional>
#include <string>
#include <terrava/bridge.hpp>
#include <utility>

#include "bbox_sql.hpp"
#include "layers.hpp"
#include "libraries.hpp"
#include "pyglue.hpp"
#include "rate_limit.hpp"
#include "statements.hpp"
#include "tile_answers.hpp"
#include "transaction.hpp"

namespace tileport {
namespace {

constexpr long long kWgs84 = 4326;
constexpr long long kWebMercator = 3857;
constexpr double kSimplifyAboveArea = 0.01;  // square degrees
constexpr int kSimplifyTolerance = 50;       // metres of Web Mercator
constexpr double kStatementTimeout = 20.0;   // seconds

double number(py::handle value) {
  double result = PyFloat_AsDouble(value.ptr());
  if (result == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  return result;
}

bool within(double value, double bound) { return -bound <= value && value <= bound; }

[[noreturn]] void raise_bad_request(const char* detail) {
  raise_http_exception(400, py::str(detail));
}

// The box in Web Mercator, as Python numbers.
struct Box {
  py::object min_x, min_y, max_x, max_y;
};

// A box given with a minimum above its maximum on an axis is the box between
// the two values: the clipping envelope and the cache key both see it in
// order. (The transformation from WGS84 orders the corners already.)
void order_corners(Box& box) {
  if (number(box.min_x) > number(box.max_x)) std::swap(box.min_x, box.max_x);
  if (number(box.min_y) > number(box.max_y)) std::swap(box.min_y, box.max_y);
}

py::object whole_units(py::handle value) {
  PyObject* text = PyObject_Format(value.ptr(), py::str(".0f").ptr());
  if (text == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(text);
}

// "bbox:" layer, the four bounds rounded to whole units, the feature limit and
// the simplification flag, joined by colons.
py::str bbox_cache_key(py::handle layer_name, const Box& box, py::handle max_features,
                       py::handle simplify) {
  py::str colon(":");
  return concat({py::str("bbox:"), layer_name, colon, whole_units(box.min_x), colon,
                 whole_units(box.min_y), colon, whole_units(box.max_x), colon,
                 whole_units(box.max_y), colon, max_features, colon, py::bool_(truthy(simplify))});
}

py::dict transform_params(const Args& a) {
  py::dict params;
  params["x1"] = a[1];
  params["y1"] = a[2];
  params["x2"] = a[3];
  params["y2"] = a[4];
  params["input_srid"] = a[5];
  return params;
}

py::dict tile_params(const Box& box, py::handle max_features) {
  py::dict params;
  params["min_x"] = box.min_x;
  params["min_y"] = box.min_y;
  params["max_x"] = box.max_x;
  params["max_y"] = box.max_y;
  params["max_features"] = max_features;
  return params;
}

Coro get_tile_bbox(Args a) {
  const py::object layer_name = a[0], minx = a[1], miny = a[2], maxx = a[3], maxy = a[4];
  const py::object srid = a[5], simplify = a[7], request = a[8], db = a[9];
  py::object max_features = a[6];

  // 1. Rate limit; Redis trouble lets the request through, silently.
  if (!request.is_none()) co_await limit_client(request, kBboxRateLimit);

  // 2-4. Layer, SRID, and for WGS84 the ranges and the area.
  py::object record = find_layer(layer_name);
  if (!record) {
    raise_http_exception(404, concat({py::str("Layer '"), layer_name, py::str("' not found")}));
  }
  const long long input_srid = saturated_int(srid, "!=");
  if (input_srid != kWgs84 && input_srid != kWebMercator) {
    raise_bad_request("Only SRID 4326 (WGS84) and 3857 (Web Mercator) are supported");
  }
  const bool geographic = input_srid == kWgs84;
  const double x1 = number(minx), y1 = number(miny), x2 = number(maxx), y2 = number(maxy);
  if (geographic) {
    if (!within(x1, 180) || !within(x2, 180)) raise_bad_request("Invalid longitude values");
    if (!within(y1, 90) || !within(y2, 90)) raise_bad_request("Invalid latitude values");
    py::object area = global("calculate_bbox_area_degrees")(minx, miny, maxx, maxy);
    py::object max_area = global("MAX_BBOX_AREA_WGS84");
    if (area > max_area) {
      raise_http_exception(400, concat({py::str("Bounding box too large. Maximum area: "), max_area,
                                        py::str(" square degrees")}));
    }
  } else if (!std::isfinite(x1) || !std::isfinite(y1) || !std::isfinite(x2) || !std::isfinite(y2)) {
    raise_bad_request("Invalid coordinate values");
  }

  // 5. Feature limit: at least one, at most the global cap.
  if (saturated_int(max_features, "<") < 1) raise_bad_request("Invalid max_features value");
  py::object cap = global("MAX_FEATURES_GLOBAL");
  if (max_features > cap) max_features = cap;

  // 6-7. The box in Web Mercator; from WGS84 through the database, on the
  // request's session, before the cache is read.
  Box box{minx, miny, maxx, maxy};
  if (!geographic) {
    order_corners(box);
  } else {
    auto transform = [&]() -> Coro {
      py::object result =
          co_await db.attr("execute")(sql_text(py::str(kBboxTransformSql)), transform_params(a));
      py::object coords = result.attr("first")();
      box = Box{coords.attr("min_x"), coords.attr("min_y"), coords.attr("max_x"),
                coords.attr("max_y")};
      co_return py::none();
    };
    Outcome transformed = co_await attempt(transform());
    if (transformed.error) {
      if (!transformed.failed_with(PyExc_Exception)) throw std::move(*transformed.error);
      log_error(concat({py::str("Coordinate transformation error: "), transformed.error->value()}));
      raise_bad_request("Invalid coordinate transformation");
    }
  }

  // 8-9. Cache, under the bounds rounded to whole metres.
  py::str cache_key = bbox_cache_key(layer_name, box, max_features, simplify);
  py::object ttl = global("CACHE_TTL_SHORT");
  py::object cached =
      co_await global("safe_cache_get")(cache_key, py::arg("timeout") = py::float_(2.0));
  if (truthy(cached)) co_return tile_response(cached, cache_headers(ttl, "HIT"));

  // 10-13. The statement: large WGS84 boxes are simplified, Web Mercator
  // boxes never.
  LayerRecord layer = read_layer(record);
  const double area = geographic ? std::fabs((x2 - x1) * (y2 - y1)) : kSimplifyAboveArea;
  std::string geom_expr = layer.geom_col;
  if (truthy(simplify) && area > kSimplifyAboveArea) {
    geom_expr = "ST_SimplifyPreserveTopology(" + layer.geom_col + ", " +
                std::to_string(kSimplifyTolerance) + ")";
  }
  py::str sql(bbox_tile_sql(py::str(layer_name), layer, geom_expr));

  // 14. Database work inside the transaction.
  auto generate = [&]() -> Coro {
    co_return co_await run_in_transaction(global("db_transaction"), db, sql_text(sql),
                                          tile_params(box, max_features),
                                          py::float_(kStatementTimeout), "scalar_one_or_none");
  };
  Outcome generated = co_await attempt(generate());
  if (generated.error) {
    answer_failure(
        *generated.error,
        {{lib().TimeoutError, concat({py::str("Timeout generating bbox tile for "), layer_name}),
          false, 408, py::str("Query timeout")},
         {PyExc_Exception, concat({py::str("Error generating bbox tile for "), layer_name}), true,
          500, py::str("Internal server error")}});
  }
  py::object mvt_content = generated.value;

  // 15. Answer; empty tiles are not cached.
  if (!truthy(mvt_content)) co_return empty_response();
  co_await global("safe_cache_set")(cache_key, mvt_content, ttl);
  co_return tile_response(mvt_content, cache_headers(ttl, "MISS"));
}

py::object described(py::object default_value, const char* description) {
  return global("Query")(default_value, py::arg("description") = description);
}

}  // namespace

py::object define_get_tile_bbox(py::module_& module) {
  py::object number_type = builtin("float");
  py::object integer = builtin("int");
  py::object required = py::ellipsis();
  return terrava::def_async(
      module,
      FunctionSpec{
          "get_tile_bbox",
          "",
          "Serve vector tiles for custom bounding box.",
          {arg("layer_name", builtin("str")),
           arg("minx", number_type, described(required, "Bounding box minimum X")),
           arg("miny", number_type, described(required, "Bounding box minimum Y")),
           arg("maxx", number_type, described(required, "Bounding box maximum X")),
           arg("maxy", number_type, described(required, "Bounding box maximum Y")),
           arg("srid", integer, described(py::int_(4326), "SRID of input bbox")),
           arg("max_features", integer, described(py::int_(5000), "Maximum features to return")),
           arg("simplify", builtin("bool"),
               described(py::bool_(true), "Apply geometry simplification")),
           arg("request", global("Request"), py::none()),
           arg("db", global("AsyncSession"), global("Depends")(global("get_db")))},
          {}},
      get_tile_bbox);
}

}  // namespace tileport
