// The graphic scale bar in the lower right corner of the plan: four segments
// with the zero mark in the middle, about 50 mm long on paper.
#include <array>
#include <cmath>
#include <cstdlib>

#include "plan.hpp"

namespace terrava::plots {
namespace {

using namespace pybind11::literals;

constexpr std::array<int, 8> kNiceSteps = {1, 2, 5, 10, 20, 25, 50, 100};
constexpr int kStepsLeft = 2;
constexpr int kStepsRight = 2;
constexpr int kTotalSteps = kStepsLeft + kStepsRight;

// Segment length in metres: the nice step nearest a quarter of 50 mm of paper,
// or whole hundreds beyond 100 m.
py::object segment_length(double scale) {
  const double approx_step = 50 * scale / 1000 / kTotalSteps;
  if (approx_step > 100) {
    // round() halves to even, as the ties of the hundreds should.
    py::object hundreds = terrava::builtin("round")(approx_step / 100);
    return hundreds * py::int_(100);
  }
  int best = kNiceSteps.front();
  for (int candidate : kNiceSteps) {
    if (std::abs(candidate - approx_step) < std::abs(best - approx_step)) best = candidate;
  }
  return py::int_(best);
}

void vertical_line(py::handle ax, double x, double y0, double y1) {
  ax.attr("plot")(py::make_tuple(x, x), py::make_tuple(y0, y1), "color"_a = "black",
                  "linewidth"_a = 1, "zorder"_a = 12);
}

}  // namespace

void add_scale_bar(py::handle ax, py::handle scale) {
  py::object step = segment_length(as_double(scale));
  const double step_m = as_double(step);
  const double total_len_m = kTotalSteps * step_m;

  py::tuple xlim = ax.attr("get_xlim")();
  py::tuple ylim = ax.attr("get_ylim")();
  const double x0 = as_double(xlim[0]), x1 = as_double(xlim[1]);
  const double y0 = as_double(ylim[0]), y1 = as_double(ylim[1]);
  const double view_w = x1 - x0;
  const double view_h = y1 - y0;

  const double end_x = x1 - view_w * 0.05;
  const double start_x = end_x - total_len_m;
  const double start_y = y0 + view_h * 0.02;
  const double bar_height = view_h * 0.015;
  const double tick_h = bar_height * 0.5;
  const double label_y = start_y + bar_height + tick_h * 1.2;

  py::object rectangle = global("patches").attr("Rectangle");
  ax.attr("add_patch")(rectangle(py::make_tuple(start_x, start_y), py::int_(kTotalSteps) * step,
                                 bar_height, "linewidth"_a = 1, "edgecolor"_a = "black",
                                 "facecolor"_a = "white", "zorder"_a = 10));
  for (int i = 0; i < kTotalSteps; ++i) {
    if (i % 2 == 0) {
      ax.attr("add_patch")(rectangle(py::make_tuple(start_x + i * step_m, start_y), step,
                                     bar_height, "linewidth"_a = 0, "facecolor"_a = "black",
                                     "zorder"_a = 11));
    }
    vertical_line(ax, start_x + (i + 1) * step_m, start_y, start_y + bar_height);
  }

  for (int i = 0; i <= kTotalSteps; ++i) {
    const double tick_x = start_x + i * step_m;
    vertical_line(ax, tick_x, start_y + bar_height, start_y + bar_height + tick_h);
    // Distances grow both ways from the zero mark in the middle.
    py::object distance = py::int_(std::abs(i - kStepsLeft)) * step;
    ax.attr("text")(tick_x, label_y, py::str(distance), "ha"_a = "center", "va"_a = "bottom",
                    "fontsize"_a = 9, "fontweight"_a = "bold", "zorder"_a = 13);
  }
  ax.attr("text")(start_x + kTotalSteps * step_m + view_w * 0.01, label_y, "m", "ha"_a = "left",
                  "va"_a = "bottom", "fontsize"_a = 9, "fontweight"_a = "bold", "zorder"_a = 13);
}

}  // namespace terrava::plots
