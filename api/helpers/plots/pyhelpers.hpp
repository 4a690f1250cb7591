// What the plan drawing adds to the shared helpers (terrava/pyhelpers.hpp).
#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>
#include <terrava/bridge.hpp>
#include <terrava/pyhelpers.hpp>
#include <utility>

namespace terrava::plots {
namespace py = pybind11;
using terrava::as_double;
using terrava::equals;
using terrava::format;
using terrava::get_or;
using terrava::global;
using terrava::raise_value_error;
using terrava::truthy;

// A shapely polygon with the given corners, in order.
py::object make_polygon(std::initializer_list<std::pair<double, double>> corners);

}  // namespace terrava::plots
