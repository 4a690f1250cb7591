#include "pyglue.hpp"

#include <climits>
#include <string>

namespace tileport {
namespace {

terrava::Globals module_namespace;

void call_logger(const char* level, py::handle message) { global("logger").attr(level)(message); }

}  // namespace

void bind_module_namespace(py::module_& module) { module_namespace.attach(module); }

py::object global(const char* name) { return module_namespace[name]; }

void set_global(const char* name, py::handle value) { module_namespace.set(name, value); }

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

void raise_http_exception(int status, py::handle detail) {
  py::object type = global("HTTPException");
  py::object error = type(py::arg("status_code") = status, py::arg("detail") = detail);
  PyErr_SetObject(type.ptr(), error.ptr());
  throw py::error_already_set();
}

void log_info(py::handle message) { call_logger("info", message); }
void log_warning(py::handle message) { call_logger("warning", message); }
void log_error(py::handle message) { call_logger("error", message); }

}  // namespace tileport
