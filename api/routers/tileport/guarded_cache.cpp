#include "guarded_cache.hpp"

#include <terrava/bridge.hpp>

#include "deadline.hpp"
#include "pyglue.hpp"
#include "warning_throttle.hpp"

namespace tileport {
namespace {

// The guards absorb every Exception (the time-out included); cancellation and
// other BaseExceptions pass through.
bool absorbed(py::error_already_set& error) { return error.matches(PyExc_Exception); }

// Reads the cache under a deadline of `timeout` seconds.
Coro safe_cache_get(Args a) {
  const py::object key = a[0], timeout = a[1];
  auto bounded_read = [&]() -> Coro {
    co_return co_await with_deadline(global("cache").attr("get")(key), timeout);
  };
  Outcome read = co_await attempt(bounded_read());
  if (!read.error) co_return read.value;
  if (!absorbed(*read.error)) throw std::move(*read.error);
  log_repeated_warning(
      "Cache get failed", read.error->value(),
      concat({py::str("Cache get failed for "), key, py::str(": "), read.error->value()}));
  co_return py::none();
}

// Bounded only by the client's socket time-out.
Coro safe_cache_set(Args a) {
  const py::object key = a[0], value = a[1], ttl = a[2];
  Outcome stored = co_await attempt(
      [&] { return global("cache").attr("set")(key, value, py::arg("ttl") = ttl); });
  if (stored.error) {
    if (!absorbed(*stored.error)) throw std::move(*stored.error);
    log_repeated_warning(
        "Cache set failed", stored.error->value(),
        concat({py::str("Cache set failed for "), key, py::str(": "), stored.error->value()}));
  }
  co_return py::none();
}

}  // namespace

void define_safe_cache_get(py::module_& module) {
  terrava::def_async(
      module,
      FunctionSpec{"safe_cache_get",
                   "",
                   "Safely get from cache with timeout.",
                   {arg("key", builtin("str")), arg("timeout", builtin("float"), py::float_(1.0))},
                   global("Optional")[builtin("bytes")]},
      safe_cache_get);
}

void define_safe_cache_set(py::module_& module) {
  terrava::def_async(module,
                     FunctionSpec{"safe_cache_set",
                                  "",
                                  "Safely set cache value.",
                                  {arg("key", builtin("str")), arg("value", builtin("bytes")),
                                   arg("ttl", builtin("int"))},
                                  {}},
                     safe_cache_set);
}

}  // namespace tileport
