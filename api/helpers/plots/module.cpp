// terrava.plots: the survey plan drawing. Binds its libraries, selects the
// raster back end and the plan fonts, and publishes the five plan functions.
#include <terrava/bridge.hpp>

#include "fonts.hpp"
#include "plan.hpp"

namespace {

namespace py = pybind11;
using namespace terrava;
using namespace pybind11::literals;

void bind_libraries(py::module_& m) {
  m.attr("io") = py::module_::import("io");
  m.attr("base64") = py::module_::import("base64");
  m.attr("math") = py::module_::import("math");
  m.attr("np") = py::module_::import("numpy");
  m.attr("mpl") = py::module_::import("matplotlib");
  m.attr("plt") = py::module_::import("matplotlib.pyplot");
  m.attr("patches") = py::module_::import("matplotlib.patches");
  py::module_ geometry = py::module_::import("shapely.geometry");
  m.attr("Polygon") = geometry.attr("Polygon");
  m.attr("LineString") = geometry.attr("LineString");
  m.attr("shape") = geometry.attr("shape");
  m.attr("transform") = py::module_::import("shapely.ops").attr("transform");
  py::module_ pyproj = py::module_::import("pyproj");
  m.attr("Transformer") = pyproj.attr("Transformer");
  m.attr("CRS") = pyproj.attr("CRS");
  m.attr("get_logger") = py::module_::import("logger").attr("get_logger");
}

void configure_matplotlib(py::module_& m) {
  py::object mpl = m.attr("mpl");
  mpl.attr("use")("Agg");
  py::object rc_params = mpl.attr("rcParams");
  for (auto [key, value] : plots::font_settings()) rc_params[key] = value;
}

void create_reference_systems(py::module_& m) {
  // Geometries arrive in Web Mercator metres and are drawn in the same plane.
  py::object crs = m.attr("CRS");
  m.attr("SRC_CRS") = crs("EPSG:3857");
  m.attr("DST_CRS") = crs("EPSG:3857");
  m.attr("TRANSFORMER") =
      m.attr("Transformer")
          .attr("from_crs")(m.attr("SRC_CRS"), m.attr("DST_CRS"), "always_xy"_a = true);
}

void define_functions(py::module_& m) {
  const auto none = std::nullopt;

  def(m, FunctionSpec{"project_geometry", "", none, {arg("geometry")}},
      [](Args& a) { return plots::project_geometry(a[0]); });

  def(m,
      FunctionSpec{
          "get_recommended_scale",
          "",
          none,
          {arg("survey_width_m"), arg("survey_height_m"), arg("max_width_mm", {}, py::int_(190)),
           arg("max_height_mm", {}, py::int_(250))}},
      [](Args& a) { return plots::get_recommended_scale(a[0], a[1], a[2], a[3]); });

  def(m,
      FunctionSpec{"add_north_arrow",
                   "",
                   none,
                   {arg("ax"), arg("loc", {}, py::make_tuple(0.95, 0.85)),
                    arg("size", {}, py::float_(0.08))}},
      [](Args& a) -> py::object {
        plots::add_north_arrow(a[0], a[1], a[2]);
        return py::none();
      });

  def(m,
      FunctionSpec{"add_scale_bar",
                   "",
                   none,
                   {arg("ax"), arg("scale"), arg("position", {}, py::make_tuple(0.5, 0.05))}},
      [](Args& a) -> py::object {
        plots::add_scale_bar(a[0], a[1]);
        return py::none();
      });

  def(m,
      FunctionSpec{
          "generate_plot",
          "",
          none,
          {arg("parcel_data"), arg("selected_parcel_number"), arg("road_data"),
           arg("columnname", {}, py::str("parcel_number")), arg("bounding_box", {}, py::none()),
           arg("max_width_mm", {}, py::int_(190)), arg("max_height_mm", {}, py::int_(160))}},
      [](Args& a) { return plots::generate_plot(a[0], a[1], a[2], a[3], a[4], a[5], a[6]); });
}

}  // namespace

TERRAVA_MODULE(plots, m) {
  bind_libraries(m);
  configure_matplotlib(m);
  py::object logger = m.attr("get_logger")();
  m.attr("logger") = logger;
  logger.attr("info")("Loaded plots module");
  create_reference_systems(m);
  define_functions(m);
}
