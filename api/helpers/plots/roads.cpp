// Roads near the parcel: thin dashed lines below everything else, cut to a
// window around the parcel so a long road shows only the stretch that matters.
#include <algorithm>
#include <string>

#include "plan.hpp"

namespace terrava::plots {
namespace {

using namespace pybind11::literals;

constexpr double kWindowShare = 0.75;  // of the parcel's larger side
constexpr double kMinWindowM = 40;

void dashed(const Plan& plan, py::handle xy_source, int zorder) {
  py::tuple xy = xy_source.attr("xy");
  plan.ax.attr("plot")(xy[0], xy[1], "color"_a = "black", "linewidth"_a = 0.8,
                       "dashes"_a = py::make_tuple(5, 10), "zorder"_a = zorder);
}

void draw_element(const Plan& plan, py::handle geom) {
  const std::string type = py::str(geom.attr("geom_type"));
  if (type == "Polygon") {
    dashed(plan, geom.attr("exterior"), 2);
  } else if (type == "MultiLineString") {
    for (py::handle line : geom.attr("geoms")) dashed(plan, line, 1);
  } else if (type == "LineString") {
    dashed(plan, geom, 1);
  } else if (type == "MultiPolygon" || type == "GeometryCollection") {
    for (py::handle part : geom.attr("geoms")) draw_element(plan, part);
  }
  // Points left where a road only touches the window have nothing to draw.
}

}  // namespace

void draw_roads(Plan& plan, const py::list& road_geoms) {
  py::tuple bounds = plan.target_geom.attr("bounds");
  const double minx = as_double(bounds[0]), miny = as_double(bounds[1]);
  const double maxx = as_double(bounds[2]), maxy = as_double(bounds[3]);
  const double reach = std::max(std::max(maxx - minx, maxy - miny) * kWindowShare, kMinWindowM);
  py::object window = make_polygon({{minx - reach, miny - reach},
                                    {maxx + reach, miny - reach},
                                    {maxx + reach, maxy + reach},
                                    {minx - reach, maxy + reach}});
  py::object road_clip = plan.clipping_poly.attr("intersection")(window);

  for (py::handle road : road_geoms) {
    const std::string type = py::str(road.attr("geom_type"));
    // A road area is drawn by its outline.
    py::object outline = type == "Polygon" || type == "MultiPolygon"
                             ? road.attr("boundary")
                             : py::reinterpret_borrow<py::object>(road);
    py::object clipped = outline.attr("intersection")(road_clip);
    if (truthy(clipped.attr("is_empty"))) continue;
    draw_element(plan, clipped);
  }
}

}  // namespace terrava::plots
