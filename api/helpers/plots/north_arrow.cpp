// The north arrow: an upward arrow with its label, placed in axes fractions so
// it stands in the same corner whatever the extent of the plan.
#include "plan.hpp"

namespace terrava::plots {

using namespace pybind11::literals;

void add_north_arrow(py::handle ax, py::handle loc, py::handle size) {
  py::object x = loc[py::int_(0)];
  py::object y = loc[py::int_(1)];
  py::object head_y = y + size;

  ax.attr("text")(x, head_y + py::float_(0.01), "UN", "transform"_a = ax.attr("transAxes"),
                  "ha"_a = "center", "va"_a = "bottom", "fontsize"_a = 12, "fontweight"_a = "bold",
                  "zorder"_a = 10);
  ax.attr("annotate")("", "xy"_a = py::make_tuple(x, head_y), "xytext"_a = py::make_tuple(x, y),
                      "arrowprops"_a = py::dict("facecolor"_a = "black", "width"_a = 3,
                                                "headwidth"_a = 10, "headlength"_a = 12),
                      "xycoords"_a = "axes fraction", "zorder"_a = 10);
}

}  // namespace terrava::plots
