// generate_plot: the survey plan of one parcel at a standard scale, returned as
// base64 PNG text with the drawing size, the scale and the boundary schedule.
#include <algorithm>
#include <array>
#include <cmath>
#include <utility>

#include "fonts.hpp"
#include "plan.hpp"

namespace terrava::plots {
namespace {

using namespace pybind11::literals;

constexpr double kExtentMarginM = 15;  // around the parcel when no bounding box is given
constexpr int kDpi = 300;
constexpr double kMmPerInch = 25.4;

// A figure registered with pyplot; closed when the plan fails half-way so no
// failed plan leaves a figure behind.
class OpenFigure {
 public:
  OpenFigure(py::object plt, py::object fig) : plt_(std::move(plt)), fig_(std::move(fig)) {}
  OpenFigure(const OpenFigure&) = delete;
  OpenFigure& operator=(const OpenFigure&) = delete;
  ~OpenFigure() {
    if (!fig_) return;
    try {
      plt_.attr("close")(fig_);
    } catch (...) {
      // The failure that brought us here is the one the caller needs to see.
    }
  }
  void close() { plt_.attr("close")(std::exchange(fig_, py::object())); }

 private:
  py::object plt_;
  py::object fig_;
};

// The plan's own font settings for the time of one drawing, whatever the rest
// of the process has set since the module was imported; restored afterwards.
class PlanFonts {
 public:
  PlanFonts() : context_(global("mpl").attr("rc_context")(font_settings())) {
    context_.attr("__enter__")();
  }
  PlanFonts(const PlanFonts&) = delete;
  PlanFonts& operator=(const PlanFonts&) = delete;
  ~PlanFonts() {
    if (!context_) return;
    try {
      restore();
    } catch (...) {
      // As above: the original failure wins.
    }
  }
  void restore() {
    py::object none = py::none();
    std::exchange(context_, py::object()).attr("__exit__")(none, none, none);
  }

 private:
  py::object context_;
};

// The ground extent to fit on the paper and its centre, in plan metres.
struct Extent {
  double width, height;
  double center_x, center_y;
};

// "too many values" / "not enough values", as Python's unpacking reports them.
std::array<double, 4> unpack_box(py::handle bounding_box) {
  std::array<double, 4> values{};
  size_t count = 0;
  for (py::handle item : bounding_box) {
    if (count == values.size()) {
      PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 4)");
      throw py::error_already_set();
    }
    values[count++] = as_double(item);
  }
  if (count < values.size()) {
    PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 4, got %zu)", count);
    throw py::error_already_set();
  }
  return values;
}

Extent box_extent(py::handle bounding_box) {
  auto [minx, miny, maxx, maxy] = unpack_box(bounding_box);
  // A box whose lower left corner reads as longitude and latitude is in degrees.
  if (std::abs(minx) <= 180 && std::abs(miny) <= 90) {
    py::object dst_crs = global("DST_CRS");
    global("logger").attr("info")(py::str("Transforming bounding box from WGS84 to ") +
                                  py::str(dst_crs.attr("name")));
    py::object wgs84 =
        global("Transformer").attr("from_crs")("EPSG:4326", dst_crs, "always_xy"_a = true);
    py::tuple lower_left = wgs84.attr("transform")(minx, miny);
    py::tuple upper_right = wgs84.attr("transform")(maxx, maxy);
    minx = as_double(lower_left[0]);
    miny = as_double(lower_left[1]);
    maxx = as_double(upper_right[0]);
    maxy = as_double(upper_right[1]);
  }
  return {maxx - minx, maxy - miny, (minx + maxx) / 2, (miny + maxy) / 2};
}

Extent parcel_extent(py::handle target_geom, double centroid_x, double centroid_y) {
  py::tuple bounds = target_geom.attr("bounds");
  const double width = as_double(bounds[2]) - as_double(bounds[0]);
  const double height = as_double(bounds[3]) - as_double(bounds[1]);
  return {width + 2 * kExtentMarginM, height + 2 * kExtentMarginM, centroid_x, centroid_y};
}

py::object projected_shape(py::handle record) {
  return global("project_geometry")(global("shape")(record["geometry"]));
}

py::tuple ring_xy(py::handle polygon) { return polygon.attr("exterior").attr("xy"); }

int font_size_for(double scale) {
  const int reduction = scale < 2000 ? 0 : scale < 5000 ? 1 : 2;
  return std::max(5, 8 - reduction);
}

}  // namespace

py::object generate_plot(py::handle parcel_data, py::handle selected_parcel_number,
                         py::handle road_data, py::handle columnname, py::handle bounding_box,
                         py::handle max_width_mm, py::handle max_height_mm) {
  const py::object parcel_ref =
      py::str(columnname) + py::str("=") + py::str(selected_parcel_number);
  global("logger").attr("info")(py::str("Generating plot for ") + parcel_ref);

  py::object target;
  for (py::handle record : parcel_data) {
    if (equals(py::object(record[columnname]), selected_parcel_number)) {
      target = py::reinterpret_borrow<py::object>(record);
      break;
    }
  }
  if (!target) raise_value_error(py::str("Parcel with ") + parcel_ref + py::str(" not found."));

  py::object target_geom = projected_shape(target);
  py::list neighbor_geoms;
  for (py::handle record : parcel_data) {
    if (!equals(py::object(record[columnname]), selected_parcel_number)) {
      neighbor_geoms.append(projected_shape(record));
    }
  }
  py::list road_geoms;
  if (truthy(road_data)) {
    for (py::handle entry : road_data) road_geoms.append(projected_shape(entry));
  }

  py::object centroid = target_geom.attr("centroid");
  const double centroid_x = as_double(centroid.attr("x"));
  const double centroid_y = as_double(centroid.attr("y"));
  const bool boxed = truthy(bounding_box);
  const Extent extent =
      boxed ? box_extent(bounding_box) : parcel_extent(target_geom, centroid_x, centroid_y);

  py::object scale_obj = global("get_recommended_scale")(
      py::float_(extent.width), py::float_(extent.height), max_width_mm, max_height_mm);
  const double scale = as_double(scale_obj);
  const double width_mm = as_double(max_width_mm);
  const double height_mm = as_double(max_height_mm);
  const double view_w_m = width_mm * scale / 1000;
  const double view_h_m = height_mm * scale / 1000;
  const double x0 = extent.center_x - view_w_m / 2, x1 = extent.center_x + view_w_m / 2;
  const double y0 = extent.center_y - view_h_m / 2, y1 = extent.center_y + view_h_m / 2;

  PlanFonts fonts;
  py::object plt = global("plt");
  py::object fig = plt.attr("figure")(
      "figsize"_a = py::make_tuple(width_mm / kMmPerInch, height_mm / kMmPerInch), "dpi"_a = kDpi);
  OpenFigure open_figure(plt, fig);
  // The axes fill the figure, so 1 mm of picture is scale / 1000 m of ground.
  py::object ax = fig.attr("add_axes")(py::make_tuple(0, 0, 1, 1));
  ax.attr("set_aspect")("equal");
  ax.attr("set_xlim")(py::make_tuple(x0, x1));
  ax.attr("set_ylim")(py::make_tuple(y0, y1));
  ax.attr("axis")("off");

  py::object clipping_poly;
  if (boxed) {
    const double half_w = extent.width / 2, half_h = extent.height / 2;
    const double cx = extent.center_x, cy = extent.center_y;
    clipping_poly = make_polygon({{cx - half_w, cy - half_h},
                                  {cx + half_w, cy - half_h},
                                  {cx + half_w, cy + half_h},
                                  {cx - half_w, cy + half_h}});
  } else {
    clipping_poly = make_polygon({{x0, y0}, {x1, y0}, {x1, y1}, {x0, y1}});
  }

  Plan plan{ax,         scale,      scale / 1000,  font_size_for(scale), target_geom,
            centroid_x, centroid_y, clipping_poly, py::list(),           py::list()};

  if (!road_geoms.empty()) draw_roads(plan, road_geoms);

  // Neighbours in the clipping area are drawn whole, not cut at its edge.
  for (py::handle geom : neighbor_geoms) {
    if (!truthy(geom.attr("intersects")(clipping_poly))) continue;
    py::tuple xy = ring_xy(geom);
    ax.attr("fill")(xy[0], xy[1], "color"_a = "#e0e0e0", "edgecolor"_a = "#666666",
                    "linewidth"_a = 0.5, "zorder"_a = 3);
  }
  py::tuple target_xy = ring_xy(target_geom);
  ax.attr("fill")(target_xy[0], target_xy[1], "color"_a = py::make_tuple(1, 0.85, 0.85, 1),
                  "edgecolor"_a = "red", "linewidth"_a = 2.5, "zorder"_a = 5);

  py::object beacons = get_or(target, "boundary", py::list());
  const Py_ssize_t count = static_cast<Py_ssize_t>(py::len(beacons));
  for (Py_ssize_t i = 0; i < count; ++i) {
    const Corner corner = draw_beacon(plan, beacons, count, i);
    draw_edge(plan, corner, beacons[py::int_(i)], beacons[py::int_((i + 1) % count)]);
  }

  ax.attr("text")(centroid_x, centroid_y + plan.mm(1), py::str(target["name"]),
                  "fontsize"_a = plan.fontsize + 2, "fontweight"_a = "bold", "ha"_a = "center",
                  "va"_a = "bottom", "zorder"_a = 8);
  py::object area = get_or(target, "area", py::int_(0));
  ax.attr("text")(centroid_x, centroid_y - plan.mm(1), py::str(area) + py::str(" m\u00b2"),
                  "fontsize"_a = plan.fontsize - 2, "ha"_a = "center", "va"_a = "top",
                  "zorder"_a = 8);

  global("add_north_arrow")(ax);
  global("add_scale_bar")(ax, scale_obj);

  py::object buf = global("io").attr("BytesIO")();
  plt.attr("savefig")(buf, "format"_a = "png", "dpi"_a = kDpi, "transparent"_a = false);
  open_figure.close();
  fonts.restore();
  py::object image64 =
      global("base64").attr("b64encode")(buf.attr("getvalue")()).attr("decode")("utf-8");

  return py::make_tuple(image64, py::make_tuple(max_width_mm, max_height_mm), scale_obj,
                        plan.schedule);
}

}  // namespace terrava::plots
