#include "settings.hpp"

#include <pybind11/pybind11.h>

#include "pyglue.hpp"

namespace tileport {
namespace py = pybind11;

namespace {

constexpr int kSocketTimeoutSeconds = 5;

py::object environment(const char* name, py::object fallback) {
  return global("os").attr("environ").attr("get")(name, fallback);
}

}  // namespace

void read_redis_settings() {
  py::object to_int = py::module_::import("builtins").attr("int");
  set_global("redis_host", environment("REDIS_HOST", py::str("localhost")));
  set_global("redis_port", to_int(environment("REDIS_PORT", py::str("6379"))));
  set_global("redis_db", to_int(environment("REDIS_DB", py::str("0"))));
  set_global("redis_password", environment("REDIS_PASSWORD", py::none()));
  set_global("redis_username", environment("REDIS_USERNAME", py::none()));
}

// One attempt per command. Recent redis-py clients retry failed commands
// with backoff by default, which turns the 5 s socket time-out into minutes
// against a Redis that accepts and never answers, and every tile request
// waits on its rate-limit command that long.
py::object single_attempt() {
  py::object retry = py::module_::import("redis.asyncio.retry").attr("Retry");
  py::object no_backoff = py::module_::import("redis.backoff").attr("NoBackoff");
  return retry(no_backoff(), 0);
}

void create_redis_client() {
  py::object redis = py::module_::import("redis.asyncio");
  set_global("redis", redis);
  set_global(
      "redis_client",
      redis.attr("Redis")(
          py::arg("host") = global("redis_host"), py::arg("port") = global("redis_port"),
          py::arg("db") = global("redis_db"), py::arg("password") = global("redis_password"),
          py::arg("username") = global("redis_username"), py::arg("decode_responses") = false,
          py::arg("socket_connect_timeout") = kSocketTimeoutSeconds,
          py::arg("socket_timeout") = kSocketTimeoutSeconds, py::arg("retry") = single_attempt()));
}

}  // namespace tileport
