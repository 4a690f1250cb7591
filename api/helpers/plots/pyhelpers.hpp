// Small helpers for talking to Python objects from the plan drawing code.
#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>
#include <terrava/bridge.hpp>
#include <utility>

namespace terrava::plots {
namespace py = pybind11;
using terrava::Globals;
using terrava::truthy;

// float(value) for numbers only: text raises TypeError instead of being parsed.
double as_double(py::handle value);

// `a == b`, truth-tested, without the identity shortcut of
// PyObject_RichCompareBool.
bool equals(py::handle a, py::handle b);

// mapping.get(key, fallback)
py::object get_or(py::handle mapping, const char* key, py::handle fallback);

// format(value, spec)
py::str format(py::handle value, const char* spec);

// A shapely polygon with the given corners, in order.
py::object make_polygon(const Globals& g, std::initializer_list<std::pair<double, double>> corners);

}  // namespace terrava::plots
