// The standard survey scale at which an extent fits the drawing area.
#include <array>

#include "plan.hpp"

namespace terrava::plots {
namespace {

constexpr std::array<int, 11> kStandardScales = {250,  500,  1000,  1500,  2000, 2500,
                                                 5000, 7500, 10000, 20000, 25000};
constexpr int kFallbackScale = 1000;

}  // namespace

// The arithmetic stays on the Python numbers it is given, so ints, floats and
// numpy scalars compare and divide as they would in Python, and anything that
// is not a number fails with Python's own TypeError.
py::object get_recommended_scale(py::handle survey_width_m, py::handle survey_height_m,
                                 py::handle max_width_mm, py::handle max_height_mm) {
  const py::int_ zero(0);
  if (survey_width_m <= zero || survey_height_m <= zero) return py::int_(kFallbackScale);

  // Keep 2 % of the drawing area free along each side.
  const py::float_ usable_share(0.98);
  const py::int_ mm_per_m(1000);
  py::object usable_w = max_width_mm * usable_share;
  py::object usable_h = max_height_mm * usable_share;
  py::object scale_w = survey_width_m * mm_per_m / usable_w;
  py::object scale_h = survey_height_m * mm_per_m / usable_h;
  py::object required = scale_h > scale_w ? scale_h : scale_w;

  for (int standard : kStandardScales) {
    py::int_ candidate(standard);
    if (candidate >= required) return candidate;
  }
  // Beyond the standard scales: round up to the next whole thousand.
  py::object thousands = global("math").attr("ceil")(required / mm_per_m);
  return thousands * mm_per_m;
}

}  // namespace terrava::plots
