// Beacon marks and names. A name runs along the bisector of its corner, outside
// the parcel, and is pushed further out in 1 mm steps while it would overlap a
// name placed before it.
#include <cmath>

#include "plan.hpp"

namespace terrava::plots {
namespace {

using namespace pybind11::literals;

constexpr double kCharWidthMm = 1.5;  // estimated width of one character
constexpr double kClearanceMm = 3.5;  // gap between the mark and the near end of its name
constexpr double kNameHeightMm = 2.5;
constexpr double kNudgeMm = 1.0;
constexpr int kMaxAttempts = 10;

struct Vec {
  double x, y;
};

double dot(Vec a, Vec b) { return a.x * b.x + a.y * b.y; }
double norm(Vec v) { return std::sqrt(dot(v, v)); }

// Unit vector along v, or `fallback` when v has no length.
Vec unit_or(Vec v, Vec fallback) {
  const double length = norm(v);
  return length == 0 ? fallback : Vec{v.x / length, v.y / length};
}

// Unit bisector of the corner at `at`, pointing away from the centroid.
Vec outward_bisector(Vec at, Vec prev, Vec next, Vec centroid) {
  const Vec to_prev = unit_or({prev.x - at.x, prev.y - at.y}, {0, 1});
  const Vec to_next = unit_or({next.x - at.x, next.y - at.y}, {1, 0});
  Vec bisector{to_prev.x + to_next.x, to_prev.y + to_next.y};
  const double length = norm(bisector);
  if (length < 1e-06) {
    // Straight boundary: stand perpendicular to it.
    bisector = {-to_prev.y, to_prev.x};
  } else {
    bisector = {bisector.x / length, bisector.y / length};
  }
  if (dot(bisector, {at.x - centroid.x, at.y - centroid.y}) < 0) {
    bisector = {-bisector.x, -bisector.y};
  }
  return bisector;
}

// Text angle along `direction` that never reads upside down.
double upright_angle(Vec direction) {
  double angle = degrees(std::atan2(direction.y, direction.x));
  if (angle > 90 || angle < -90) angle += 180;
  return angle;
}

// A w by h rectangle centred on (cx, cy) with its width along angle_deg.
py::object rotated_rect(double cx, double cy, double w, double h, double angle_deg) {
  const double theta = radians(angle_deg);
  const double c = std::cos(theta), s = std::sin(theta);
  const double dx = w / 2.0, dy = h / 2.0;
  auto corner = [&](double x, double y) {
    return std::pair{cx + x * c - y * s, cy + x * s + y * c};
  };
  return make_polygon({corner(-dx, -dy), corner(dx, -dy), corner(dx, dy), corner(-dx, dy)});
}

bool overlaps_placed(const Plan& plan, py::handle candidate) {
  py::object intersects = candidate.attr("intersects");
  for (py::handle placed : plan.placed_labels) {
    if (truthy(intersects(placed))) return true;
  }
  return false;
}

Vec beacon_position(py::handle beacon) {
  py::object point = global("project_geometry")(global("shape")(beacon["geometry"]));
  return {as_double(point.attr("x")), as_double(point.attr("y"))};
}

}  // namespace

Corner draw_beacon(Plan& plan, py::handle beacons, Py_ssize_t count, Py_ssize_t index) {
  py::object beacon = beacons[py::int_(index)];
  const Vec at = beacon_position(beacon);
  plan.ax.attr("plot")(at.x, at.y, "marker"_a = "o", "color"_a = "black", "markersize"_a = 3,
                       "zorder"_a = 6);

  // Each neighbour is read and projected afresh from its own entry.
  const Vec prev = beacon_position(beacons[py::int_((index - 1 + count) % count)]);
  const Vec next = beacon_position(beacons[py::int_((index + 1) % count)]);

  const Vec bisector = outward_bisector(at, prev, next, {plan.centroid_x, plan.centroid_y});
  const double rot_angle = upright_angle(bisector);

  py::object name = get_or(beacon, "beacon_name", py::str(""));
  const double text_w_m = static_cast<double>(py::len(name)) * plan.mm(kCharWidthMm);
  const double dist_m = plan.mm(kClearanceMm) + text_w_m / 2.0;
  const double label_h_m = plan.mm(kNameHeightMm);
  const double nudge_m = plan.mm(kNudgeMm);

  double lx = at.x + bisector.x * dist_m;
  double ly = at.y + bisector.y * dist_m;
  py::object final_poly;
  for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
    py::object candidate = rotated_rect(lx, ly, text_w_m, label_h_m, rot_angle);
    if (!overlaps_placed(plan, candidate)) {
      final_poly = std::move(candidate);
      break;
    }
    lx += bisector.x * nudge_m;
    ly += bisector.y * nudge_m;
  }
  // No free place within reach: the name stays where the last push left it.
  if (!final_poly) final_poly = rotated_rect(lx, ly, text_w_m, label_h_m, rot_angle);
  plan.placed_labels.append(final_poly);

  plan.ax.attr("text")(lx, ly, name, "fontsize"_a = plan.fontsize, "ha"_a = "center",
                       "va"_a = "center", "rotation"_a = rot_angle, "rotation_mode"_a = "anchor",
                       "fontweight"_a = "bold", "zorder"_a = 7);
  return Corner{at.x, at.y, next.x, next.y};
}

}  // namespace terrava::plots
