#include "routes.hpp"

#include <array>
#include <string_view>

#include "bbox_endpoint.hpp"
#include "centroid_endpoint.hpp"
#include "health_endpoint.hpp"
#include "invalidate_endpoint.hpp"
#include "layers_endpoint.hpp"
#include "pyglue.hpp"
#include "tile_endpoint.hpp"
#include "zoom_info_endpoint.hpp"

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
const std::array<Route, 7> kRoutes = {{
    {"get", "/{layer_name}/{z}/{x}/{y}.pbf", define_get_tile_xyz, true},
    {"get", "/{layer_name}/zoom-info/", define_get_layer_zoom_info, false},
    {"get", "/{layer_name}/bbox/", define_get_tile_bbox, true},
    {"get", "/{layer_name}/", define_get_central_tile_info, false},
    {"get", "/layers/", define_get_available_layers, false},
    {"post", "/cache/invalidate/{layer_name}", define_invalidate_cache_endpoint, false},
    {"get", "/health/", define_health_check, false},
}};

bool has_path_parameter(const Route& route) {
  return std::string_view(route.path).find('{') != std::string_view::npos;
}

void register_route(const Route& route, py::handle handler) {
  py::object router = global("tileport");
  py::object decorator =
      route.raw_response
          ? router.attr(route.method)(route.path, py::arg("response_class") = global("Response"))
          : router.attr(route.method)(route.path);
  decorator(handler);
}

}  // namespace

void register_routes(py::module_& module) {
  // The handlers are defined in table order, then registered.
  std::array<py::object, kRoutes.size()> handlers;
  for (size_t i = 0; i < kRoutes.size(); ++i) handlers[i] = kRoutes[i].define(module);
  for (size_t i = 0; i < kRoutes.size(); ++i) {
    if (!has_path_parameter(kRoutes[i])) register_route(kRoutes[i], handlers[i]);
  }
  for (size_t i = 0; i < kRoutes.size(); ++i) {
    if (has_path_parameter(kRoutes[i])) register_route(kRoutes[i], handlers[i]);
  }
}

}  // namespace tileport
