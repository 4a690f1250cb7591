// Values as the documents print them.
#include "plansmith.hpp"

namespace plansmith {

py::str text_form(py::handle value) { return py::str(value); }

py::str escaped(py::handle value) {
  // html.escape, imported once and kept for the life of the process.
  static PyObject* escape = py::object(py::module_::import("html").attr("escape")).release().ptr();
  return py::reinterpret_borrow<py::object>(escape)(text_form(value), true);
}

}  // namespace plansmith
