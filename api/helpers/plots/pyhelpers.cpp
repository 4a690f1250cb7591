#include "pyhelpers.hpp"

namespace terrava::plots {

py::object make_polygon(std::initializer_list<std::pair<double, double>> corners) {
  py::list points;
  for (const auto& [x, y] : corners) points.append(py::make_tuple(x, y));
  return global("Polygon")(points);
}

}  // namespace terrava::plots
