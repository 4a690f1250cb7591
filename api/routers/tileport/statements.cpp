#include "statements.hpp"

#include <terrava/pyhelpers.hpp>

namespace tileport {
namespace {

constexpr Py_ssize_t kMaxTexts = 512;

// SQL text -> (the `text` that made it, its clause). Lives as long as the
// process, like the module.
py::handle made() {
  static py::handle texts = py::dict().release();
  return texts;
}

}  // namespace

py::object sql_text(py::handle sql) {
  py::object text = terrava::global("text");
  PyObject* entry = PyDict_GetItemWithError(made().ptr(), sql.ptr());  // borrowed
  if (entry != nullptr) {
    if (PyTuple_GET_ITEM(entry, 0) == text.ptr()) {
      return py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(entry, 1));
    }
  } else if (PyErr_Occurred()) {
    throw py::error_already_set();
  }
  py::object clause = text(sql);
  if (PyDict_GET_SIZE(made().ptr()) >= kMaxTexts) PyDict_Clear(made().ptr());
  made()[sql] = py::make_tuple(text, clause);
  return clause;
}

}  // namespace tileport
