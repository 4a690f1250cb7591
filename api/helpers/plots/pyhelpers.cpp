#include "pyhelpers.hpp"

#include <string>

namespace terrava::plots {

double as_double(py::handle value) {
  const double result = PyFloat_AsDouble(value.ptr());
  if (result == -1.0 && PyErr_Occurred() != nullptr) throw py::error_already_set();
  return result;
}

bool equals(py::handle a, py::handle b) {
  auto result = py::reinterpret_steal<py::object>(PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ));
  if (!result) throw py::error_already_set();
  return truthy(result);
}

py::object get_or(py::handle mapping, const char* key, py::handle fallback) {
  return mapping.attr("get")(key, fallback);
}

py::str format(py::handle value, const char* spec) {
  auto result =
      py::reinterpret_steal<py::object>(PyObject_Format(value.ptr(), py::str(spec).ptr()));
  if (!result) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(result.release());
}

py::object make_polygon(const Globals& g,
                        std::initializer_list<std::pair<double, double>> corners) {
  py::list points;
  for (const auto& [x, y] : corners) points.append(py::make_tuple(x, y));
  return g["Polygon"](points);
}

}  // namespace terrava::plots
