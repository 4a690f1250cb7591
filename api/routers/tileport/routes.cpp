#include "routes.hpp"

#include <array>
#include <string_view>

#include "pyglue.hpp"
#include "tile_endpoint.hpp"

namespace tileport {
namespace {

struct Route {
  const char* method;                  // name of the router's decorator: "get", "post"
  const char* path;                    // behind the router's prefix "/gis"
  py::object (*define)(py::module_&);  // defines the handler on the module, returns it
  bool raw_response;                   // response_class=Response instead of JSON
};

// The endpoints in the order of the table. Fixed paths ("/layers/",
// "/health/") must reach the router before the single-segment pattern
// "/{layer_name}/", which would otherwise take them as layer names: they are
// registered in a first pass, everything else follows in table order.
const std::array<Route, 1> kRoutes = {{
    {"get", "/{layer_name}/{z}/{x}/{y}.pbf", define_get_tile_xyz, true},
}};

bool has_path_parameter(const Route& route) {
  return std::string_view(route.path).find('{') != std::string_view::npos;
}

void register_route(py::module_& module, const Route& route) {
  py::object handler = route.define(module);
  py::object router = global("tileport");
  py::object decorator =
      route.raw_response
          ? router.attr(route.method)(route.path, py::arg("response_class") = global("Response"))
          : router.attr(route.method)(route.path);
  decorator(handler);
}

}  // namespace

void register_routes(py::module_& module) {
  for (const Route& route : kRoutes) {
    if (!has_path_parameter(route)) register_route(module, route);
  }
  for (const Route& route : kRoutes) {
    if (has_path_parameter(route)) register_route(module, route);
  }
}

}  // namespace tileport
