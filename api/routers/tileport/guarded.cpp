#include "guarded.hpp"

#include <optional>
#include <terrava/bridge.hpp>

#include "pyglue.hpp"

namespace tileport {
namespace {

using terrava::arg;
using terrava::Args;
using terrava::AsyncGen;
using terrava::builtin;
using terrava::Coro;
using terrava::FunctionSpec;

// The guards absorb every Exception (the time-out included); cancellation and
// other BaseExceptions pass through.
bool absorbed(py::error_already_set& error) { return error.matches(PyExc_Exception); }

// Reads the cache under a deadline of `timeout` seconds; on expiry the read is
// cancelled and TimeoutError raised. Where asyncio has timeout() (3.11 on),
// that is used, as asyncio.wait_for itself does from 3.12 on: wait_for of 3.11
// wraps the read in a task of its own, which costs a hit a measurable share of
// its time.
Coro safe_cache_get(Args a) {
  const py::object key = a[0], timeout = a[1];
  py::object asyncio = global("asyncio");
  py::object value = py::none();
  std::optional<py::error_already_set> failure;
  try {
    if (py::hasattr(asyncio, "timeout")) {
      value = co_await terrava::async_with(
          asyncio.attr("timeout")(timeout),
          [&](py::object) -> Coro { co_return co_await global("cache").attr("get")(key); });
    } else {
      py::object read = global("cache").attr("get")(key);
      value = co_await asyncio.attr("wait_for")(read, py::arg("timeout") = timeout);
    }
  } catch (py::error_already_set& e) {
    if (!absorbed(e)) throw;
    failure = std::move(e);
  }
  if (failure) {
    log_warning(concat({py::str("Cache get failed for "), key, py::str(": "), failure->value()}));
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
    log_warning(concat({py::str("Cache set failed for "), key, py::str(": "), failure->value()}));
  }
  co_return py::none();
}

// A later error raised while handling `earlier` carries it as its context, as
// it would in an except or finally block.
void chain(py::error_already_set& later, py::error_already_set& earlier) {
  PyException_SetContext(later.value().ptr(), earlier.value().inc_ref().ptr());
}

// Yields the session to the block, then commits; an Exception from the block
// or the commit rolls back and is raised again unchanged. The session is closed
// in every case, also when the rollback fails.
AsyncGen db_transaction(Args a) {
  py::object db = a[0];
  std::optional<py::error_already_set> error;
  try {
    co_yield db;
    co_await db.attr("commit")();
  } catch (py::error_already_set& e) {
    error = std::move(e);
  }
  if (error && error->matches(PyExc_Exception)) {
    std::optional<py::error_already_set> rollback_error;
    try {
      co_await db.attr("rollback")();
    } catch (py::error_already_set& e) {
      rollback_error = std::move(e);
    }
    if (rollback_error) {
      chain(*rollback_error, *error);
      error = std::move(rollback_error);
    }
  }
  std::optional<py::error_already_set> close_error;
  try {
    co_await db.attr("close")();
  } catch (py::error_already_set& e) {
    close_error = std::move(e);
  }
  if (close_error) {
    if (error) chain(*close_error, *error);
    throw std::move(*close_error);
  }
  if (error) throw std::move(*error);
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
  py::object generator = terrava::make_asyncgen_function(
      module,
      FunctionSpec{"db_transaction",
                   "",
                   "Context manager for database transactions with proper cleanup.",
                   {arg("db", global("AsyncSession"))},
                   {}},
      db_transaction);
  set_global("db_transaction", global("asynccontextmanager")(generator));
}

}  // namespace tileport
