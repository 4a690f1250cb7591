#include "rate_limit.hpp"

#include "pyglue.hpp"

namespace tileport {
namespace {

constexpr int kWindowSeconds = 1;

}  // namespace

py::str rate_limit_key(py::handle request) {
  py::object client = request.attr("client");
  py::object host = client.is_none() ? py::str("unknown") : client.attr("host");
  return concat({py::str("rate_limit:gis:"), host});
}

py::object count_request(py::handle redis_client, py::handle key) {
  py::object pipeline = redis_client.attr("pipeline")(py::arg("transaction") = false);
  pipeline.attr("incr")(key);
  pipeline.attr("expire")(key, kWindowSeconds, py::arg("nx") = true);
  return pipeline.attr("execute")(py::arg("raise_on_error") = false);
}

py::object request_count(py::handle replies) {
  for (py::handle reply : replies) {
    if (PyExceptionInstance_Check(reply.ptr())) {
      PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(reply.ptr())), reply.ptr());
      throw py::error_already_set();
    }
  }
  return replies[py::int_(0)];
}

void log_rate_limit_failure(py::error_already_set& error) {
  log_warning(concat({py::str("Rate limit check failed: "), error.value()}));
}

}  // namespace tileport
