#include "settings.hpp"

#include <pybind11/pybind11.h>

#include "pyglue.hpp"

namespace tileport {
namespace py = pybind11;

py::object environment(const char* name, py::object fallback) {
  return global("os").attr("environ").attr("get")(name, fallback);
}

void read_redis_settings() {
  py::object to_int = py::module_::import("builtins").attr("int");
  set_global("redis_host", environment("REDIS_HOST", py::str("localhost")));
  set_global("redis_port", to_int(environment("REDIS_PORT", py::str("6379"))));
  set_global("redis_db", to_int(environment("REDIS_DB", py::str("0"))));
  set_global("redis_password", environment("REDIS_PASSWORD", py::none()));
  set_global("redis_username", environment("REDIS_USERNAME", py::none()));
}

}  // namespace tileport
