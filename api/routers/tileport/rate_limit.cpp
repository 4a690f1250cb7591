#include "rate_limit.hpp"

#include <string>

#include "pyglue.hpp"

namespace tileport {
namespace {

constexpr const char* kCountScript =
    "local count = redis.call('INCR', KEYS[1])\n"
    "if redis.call('PTTL', KEYS[1]) == -1 then\n"
    "  redis.call('EXPIRE', KEYS[1], ARGV[1])\n"
    "end\n"
    "return count\n";
constexpr int kWindowSeconds = 1;

// Plain data, so nothing here outlives the interpreter.
std::string& script_digest() {
  static std::string digest;
  return digest;
}

}  // namespace

py::str rate_limit_key(py::handle request) {
  py::object client = request.attr("client");
  py::object host = client.is_none() ? py::str("unknown") : client.attr("host");
  return concat({py::str("rate_limit:gis:"), host});
}

void prepare_rate_limit_script() {
  py::object sha1 = py::module_::import("hashlib").attr("sha1");
  script_digest() = py::str(sha1(py::bytes(kCountScript)).attr("hexdigest")());
}

py::object count_request(py::handle redis_client, py::handle key) {
  return redis_client.attr("evalsha")(script_digest(), 1, key, kWindowSeconds);
}

py::object load_count_script(py::handle redis_client) {
  return redis_client.attr("script_load")(kCountScript);
}

bool script_unknown(py::error_already_set& error) {
  return error.matches(py::module_::import("redis.exceptions").attr("NoScriptError"));
}

void log_rate_limit_failure(py::error_already_set& error) {
  log_warning(concat({py::str("Rate limit check failed: "), error.value()}));
}

}  // namespace tileport
