// The survey plan of one parcel: the public functions of terrava.plots and the
// drawing steps of generate_plot, over the state one plan drawing shares.
#pragma once

#include <pybind11/pybind11.h>

#include <numbers>

#include "pyhelpers.hpp"

namespace terrava::plots {

// Angle conversions with the same factors as Python's math.degrees/radians.
inline double degrees(double radians) { return radians * (180.0 / std::numbers::pi); }
inline double radians(double degrees) { return degrees * (std::numbers::pi / 180.0); }

// Everything the steps of one plan drawing share. Lives for one call.
struct Plan {
  py::object ax;
  double scale = 0;  // denominator of 1:scale
  double unit = 0;   // ground metres per millimetre of paper
  int fontsize = 0;
  py::object target_geom;
  double centroid_x = 0;
  double centroid_y = 0;
  py::object clipping_poly;
  py::list placed_labels;  // rectangles of the beacon names placed so far
  py::list schedule;       // rows for the edges too short to label

  double mm(double millimetres) const { return millimetres * unit; }
};

// Where one beacon and its successor on the boundary lie.
struct Corner {
  double bx, by;    // this beacon
  double nbx, nby;  // the next one
};

// The public functions; arguments in parameter order.
py::object project_geometry(py::handle geometry);
py::object get_recommended_scale(py::handle survey_width_m, py::handle survey_height_m,
                                 py::handle max_width_mm, py::handle max_height_mm);
void add_north_arrow(py::handle ax, py::handle loc, py::handle size);
void add_scale_bar(py::handle ax, py::handle scale);
py::object generate_plot(py::handle parcel_data, py::handle selected_parcel_number,
                         py::handle road_data, py::handle columnname, py::handle bounding_box,
                         py::handle max_width_mm, py::handle max_height_mm);

// Steps of generate_plot.
void draw_roads(Plan& plan, const py::list& road_geoms);
// Mark and name of beacons[index]; gives the corner for the edge that follows.
Corner draw_beacon(Plan& plan, py::handle beacons, Py_ssize_t count, Py_ssize_t index);
// Bearing and length of the edge from beacon to next_beacon, or its schedule row.
void draw_edge(Plan& plan, const Corner& corner, py::handle beacon, py::handle next_beacon);

}  // namespace terrava::plots
