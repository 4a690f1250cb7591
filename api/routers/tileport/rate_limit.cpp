#include "rate_limit.hpp"

#include <string>
#include <terrava/bridge.hpp>

#include "libraries.hpp"
#include "pyglue.hpp"
#include "warning_throttle.hpp"

namespace tileport {

const RateLimit kTileRateLimit = {"rate_limit:gis:", 40,
                                  "Too many map requests. Please slow down panning.", true};
const RateLimit kBboxRateLimit = {"rate_limit:gis:bbox:", 20, "Too many bbox requests.", false};

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

// The limiter coroutine function; made once at import and kept, like the
// module, for the life of the process (a handle: no release at exit).
py::handle& limiter() {
  static py::handle function;
  return function;
}

py::object count_request(py::handle redis_client, py::handle key) {
  return redis_client.attr("evalsha")(script_digest(), 1, key, kWindowSeconds);
}

bool script_unknown(py::error_already_set& error) { return error.matches(lib().NoScriptError); }

// The 429 passes on and every other Exception is absorbed; cancellation
// passes through.
bool absorbed(py::error_already_set& error) {
  return !error.matches(lib().HTTPException) && error.matches(PyExc_Exception);
}

void check_count(py::handle count, py::handle limit, py::handle refusal) {
  if (saturated_int(count, ">") > saturated_int(limit, ">")) raise_http_exception(429, refusal);
}

// (key, requests per window, refusal detail, log failures)
Coro limit(Args a) {
  const py::object key = a[0], per_window = a[1], refusal = a[2], log_failures = a[3];
  py::object redis_client = global("redis_client");
  Outcome counted = co_await attempt([&] { return count_request(redis_client, key); });
  if (counted.error && script_unknown(*counted.error)) {
    // Redis lost its scripts (a restart, SCRIPT FLUSH): load it again, once.
    auto reload_and_count = [&]() -> Coro {
      co_await redis_client.attr("script_load")(kCountScript);
      co_return co_await count_request(redis_client, key);
    };
    counted = co_await attempt(reload_and_count());
  }
  if (!counted.error) {
    check_count(counted.value, per_window, refusal);
    co_return py::none();
  }
  if (!absorbed(*counted.error)) throw std::move(*counted.error);
  if (truthy(log_failures)) {
    log_repeated_warning("Rate limit check failed", counted.error->value(),
                         concat({py::str("Rate limit check failed: "), counted.error->value()}));
  }
  co_return py::none();
}

}  // namespace

void prepare_rate_limit(py::module_& module) {
  py::object sha1 = py::module_::import("hashlib").attr("sha1");
  script_digest() = py::str(sha1(py::bytes(kCountScript)).attr("hexdigest")());
  limiter() = terrava::make_coroutine_function(
                  module,
                  terrava::FunctionSpec{
                      "limit_client",
                      "",
                      std::nullopt,
                      {arg("key"), arg("requests_per_window"), arg("refusal"), arg("log_failures")},
                      {}},
                  limit)
                  .release();
}

py::object limit_client(py::handle request, const RateLimit& limit) {
  py::object client = request.attr("client");
  py::object host = client.is_none() ? py::str("unknown") : client.attr("host");
  py::str key = concat({py::str(limit.key_prefix), host});
  return limiter()(key, limit.requests_per_window, py::str(limit.refusal),
                   py::bool_(limit.log_failures));
}

}  // namespace tileport
