#include <climits>
#include <string>
#include <terrava/pyhelpers.hpp>

namespace terrava {
namespace detail {

Globals& this_module() {
  static Globals globals;  // one per extension library
  return globals;
}

}  // namespace detail

const Globals& module_globals() { return detail::this_module(); }

py::object global(const char* name) { return module_globals()[name]; }

void set_global(const char* name, py::handle value) { module_globals().set(name, value); }

py::object import_from(const char* module, const char* name) {
  py::object fromlist = py::make_tuple(py::str(name));
  py::object imported = py::reinterpret_steal<py::object>(
      PyImport_ImportModuleLevel(module, nullptr, nullptr, fromlist.ptr(), 0));
  if (!imported) throw py::error_already_set();
  if (!py::hasattr(imported, name)) {
    std::string text = std::string("cannot import name '") + name + "' from '" + module + "'";
    py::object error =
        py::module_::import("builtins").attr("ImportError")(text, py::arg("name") = module);
    PyErr_SetObject(PyExc_ImportError, error.ptr());
    throw py::error_already_set();
  }
  return imported.attr(name);
}

py::str concat(std::initializer_list<py::handle> parts) {
  py::list pieces;
  for (py::handle part : parts) pieces.append(py::str(part));
  PyObject* joined = PyUnicode_Join(py::str("").ptr(), pieces.ptr());
  if (joined == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(joined);
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

double as_double(py::handle value) {
  const double result = PyFloat_AsDouble(value.ptr());
  if (result == -1.0 && PyErr_Occurred() != nullptr) throw py::error_already_set();
  return result;
}

long long saturated_int(py::handle value, const char* op) {
  if (!PyLong_Check(value.ptr())) {
    PyErr_Format(PyExc_TypeError, "'%s' not supported between instances of '%s' and 'int'", op,
                 Py_TYPE(value.ptr())->tp_name);
    throw py::error_already_set();
  }
  int overflow = 0;
  long long result = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
  if (overflow > 0) return LLONG_MAX;
  if (overflow < 0) return LLONG_MIN;
  if (result == -1 && PyErr_Occurred()) throw py::error_already_set();
  return result;
}

py::object get_or(py::handle mapping, const char* key, py::handle fallback) {
  return mapping.attr("get")(key, fallback);
}

void raise_value_error(py::handle message) {
  PyErr_SetObject(PyExc_ValueError, message.ptr());
  throw py::error_already_set();
}

}  // namespace terrava
