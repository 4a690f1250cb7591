// Argument checks of the document operations: an `int` parameter takes an int
// and nothing else (a bool is refused), a `str` parameter a str.
#include <string>

#include "plansmith.hpp"

namespace plansmith {

void require_exact(const char* function, const char* parameter, py::handle value, py::handle type) {
  if (Py_TYPE(value.ptr()) == reinterpret_cast<PyTypeObject*>(type.ptr())) return;
  const std::string expected = py::str(type.attr("__name__"));
  const std::string received = Py_TYPE(value.ptr())->tp_name;
  throw py::type_error(std::string(function) + "() argument '" + parameter + "' must be " +
                       expected + ", not " + received);
}

}  // namespace plansmith
