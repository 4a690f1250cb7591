// Values as the documents print them.
#include "plansmith.hpp"

namespace plansmith {

py::str text_form(py::handle value) { return py::str(value); }

py::str escaped(py::handle value) {
  // html.escape, imported once and kept for the life of the process.
  static PyObject* escape = py::object(py::module_::import("html").attr("escape")).release().ptr();
  return py::reinterpret_borrow<py::object>(escape)(text_form(value), true);
}

py::str format(py::handle value, const char* spec) {
  auto result =
      py::reinterpret_steal<py::object>(PyObject_Format(value.ptr(), py::str(spec).ptr()));
  if (!result) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(result.release());
}

bool equals(py::handle a, py::handle b) {
  auto result = py::reinterpret_steal<py::object>(PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ));
  if (!result) throw py::error_already_set();
  return truthy(result);
}

}  // namespace plansmith
