#include "guarded_cache.hpp"

#include <optional>
#include <terrava/bridge.hpp>

#include "deadline.hpp"
#include "pyglue.hpp"
#include "transaction.hpp"
#include "warning_throttle.hpp"

namespace tileport {
namespace {

using terrava::arg;
using terrava::Args;
using terrava::builtin;
using terrava::Coro;
using terrava::FunctionSpec;

// The guards absorb every Exception (the time-out included); cancellation and
// other BaseExceptions pass through.
bool absorbed(py::error_already_set& error) { return error.matches(PyExc_Exception); }

// Reads the cache under a deadline of `timeout` seconds.
Coro safe_cache_get(Args a) {
  const py::object key = a[0], timeout = a[1];
  py::object value = py::none();
  std::optional<py::error_already_set> failure;
  try {
    value = co_await with_deadline(global("cache").attr("get")(key), timeout);
  } catch (py::error_already_set& e) {
    if (!absorbed(e)) throw;
    failure = std::move(e);
  }
  if (failure) {
    log_repeated_warning(
        "Cache get failed", failure->value(),
        concat({py::str("Cache get failed for "), key, py::str(": "), failure->value()}));
    co_return py::none();
  }
  co_return value;
}

// Bounded only by the client's socket time-out.
Coro safe_cache_set(Args a) {
  const py::object key = a[0], value = a[1], ttl = a[2];
  std::optional<py::error_already_set> failure;
  try {
    co_await global("cache").attr("set")(key, value, py::arg("ttl") = ttl);
  } catch (py::error_already_set& e) {
    if (!absorbed(e)) throw;
    failure = std::move(e);
  }
  if (failure) {
    log_repeated_warning(
        "Cache set failed", failure->value(),
        concat({py::str("Cache set failed for "), key, py::str(": "), failure->value()}));
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

void define_db_transaction(py::module_& module) {
  set_global("db_transaction", make_db_transaction(module, global("AsyncSession")));
}

}  // namespace tileport
