// Boundary edges: bearing outside the parcel and length inside it for an edge
// long enough on paper, otherwise a row of the boundary schedule.
#include <cmath>

#include "plan.hpp"

namespace terrava::plots {
namespace {

using namespace pybind11::literals;

constexpr double kPaddingMm = 0.5;         // gap between an edge and its labels
constexpr double kMinLabelledEdgeMm = 15;  // shorter edges go to the schedule

// Where and how the three labels of one edge are set.
struct EdgeLabels {
  double angle;       // text rotation, upright
  bool reversed;      // the edge runs right to left on the page
  double q1x, q1y;    // a quarter along the edge, outside
  double q3x, q3y;    // three quarters along the edge, outside
  double midx, midy;  // the middle of the edge, inside
  const char* va_outside;
  const char* va_inside;
};

EdgeLabels layout(const Corner& c, double length, double centroid_x, double centroid_y,
                  double offset) {
  const double ux = (c.nbx - c.bx) / length, uy = (c.nby - c.by) / length;
  EdgeLabels out{};
  out.angle = degrees(std::atan2(uy, ux));
  out.reversed = false;
  if ((90 < out.angle && out.angle <= 270) || (-270 <= out.angle && out.angle < -90)) {
    out.angle += 180;
    out.reversed = true;
  }

  // Normal of the edge, turned away from the centroid.
  const double mid_x = (c.bx + c.nbx) / 2, mid_y = (c.by + c.nby) / 2;
  double px = -uy, py = ux;
  if (px * (centroid_x - mid_x) + py * (centroid_y - mid_y) > 0) {
    px = -px;
    py = -py;
  }

  // Anchor each text on the side that makes it grow away from the edge.
  const double rad = radians(out.angle);
  const double up_x = -std::sin(rad), up_y = std::cos(rad);
  out.va_outside = px * up_x + py * up_y > 0 ? "bottom" : "top";
  out.va_inside = -px * up_x + -py * up_y > 0 ? "bottom" : "top";

  out.q1x = (c.bx + ux * (length * 0.25)) + px * offset;
  out.q1y = (c.by + uy * (length * 0.25)) + py * offset;
  out.q3x = (c.bx + ux * (length * 0.75)) + px * offset;
  out.q3y = (c.by + uy * (length * 0.75)) + py * offset;
  out.midx = mid_x - px * offset;
  out.midy = mid_y - py * offset;
  return out;
}

void bearing_text(const Plan& plan, double x, double y, py::handle text, const EdgeLabels& l) {
  plan.ax.attr("text")(x, y, text, "fontsize"_a = plan.fontsize - 1, "ha"_a = "center",
                       "va"_a = l.va_outside, "rotation"_a = l.angle, "rotation_mode"_a = "anchor",
                       "zorder"_a = 7);
}

}  // namespace

void draw_edge(Plan& plan, const Corner& corner, py::handle beacon, py::handle next_beacon) {
  const double dx = corner.nbx - corner.bx, dy = corner.nby - corner.by;
  const double length = std::sqrt(dx * dx + dy * dy);
  if (length <= 0) return;  // the next beacon lies on this one

  const py::str empty("");
  const py::int_ no_distance(0);
  if (length > plan.mm(kMinLabelledEdgeMm)) {
    const EdgeLabels l =
        layout(corner, length, plan.centroid_x, plan.centroid_y, plan.mm(kPaddingMm));
    py::str deg_text(get_or(beacon, "bearing_deg_to_next", empty));
    py::str min_text(get_or(beacon, "bearing_min_to_next", empty));
    // Read along the turned text, degrees always come before minutes.
    bearing_text(plan, l.reversed ? l.q3x : l.q1x, l.reversed ? l.q3y : l.q1y, deg_text, l);
    bearing_text(plan, l.reversed ? l.q1x : l.q3x, l.reversed ? l.q1y : l.q3y, min_text, l);

    py::object distance = get_or(beacon, "distance_to_next", no_distance);
    py::str d_text = format(distance, ".2f") + py::str("m");
    plan.ax.attr("text")(l.midx, l.midy, d_text, "fontsize"_a = plan.fontsize - 1,
                         "ha"_a = "center", "va"_a = l.va_inside, "rotation"_a = l.angle,
                         "rotation_mode"_a = "anchor", "fontweight"_a = "bold", "zorder"_a = 7);
    return;
  }

  const py::str unnamed("?");
  py::dict row;
  row["from"] = get_or(beacon, "beacon_name", unnamed);
  row["to"] = get_or(next_beacon, "beacon_name", unnamed);
  row["bearing"] = py::str(get_or(beacon, "bearing_deg_to_next", empty)) + py::str(" ") +
                   py::str(get_or(beacon, "bearing_min_to_next", empty));
  row["distance"] = format(get_or(beacon, "distance_to_next", no_distance), ".2f");
  plan.schedule.append(row);
}

}  // namespace terrava::plots
