#include "pyglue.hpp"

#include "libraries.hpp"

namespace tileport {
namespace {

void call_logger(const char* level, py::handle message) { global("logger").attr(level)(message); }

}  // namespace

void raise_http_exception(int status, py::handle detail) {
  py::handle type = lib().HTTPException;
  py::object error = type(py::arg("status_code") = status, py::arg("detail") = detail);
  PyErr_SetObject(type.ptr(), error.ptr());
  throw py::error_already_set();
}

void log_info(py::handle message) { call_logger("info", message); }
void log_warning(py::handle message) { call_logger("warning", message); }
void log_error(py::handle message) { call_logger("error", message); }

py::object envelope(py::handle data) {
  return global("api_router_response")(global("api_response")(py::arg("data") = data));
}

}  // namespace tileport
