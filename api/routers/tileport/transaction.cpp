#include "transaction.hpp"

#include <optional>

namespace tileport {
namespace {

using terrava::arg;
using terrava::Args;
using terrava::AsyncGen;
using terrava::Coro;
using terrava::FunctionSpec;

// A later error raised while handling `earlier` carries it as its context, as
// it would in an except or finally block.
void chain(py::error_already_set& later, py::error_already_set& earlier) {
  PyException_SetContext(later.value().ptr(), earlier.value().inc_ref().ptr());  // steals
}

// Yields the session to the block, then commits; an Exception from the block
// or the commit rolls back and is raised again unchanged. The session is closed
// in every case, also when the rollback fails.
AsyncGen db_transaction(Args a) {
  std::optional<py::error_already_set> error;
  try {
    co_yield a[0];
    co_await a[0].attr("commit")();
  } catch (py::error_already_set& e) {
    error = std::move(e);
  }
  if (error && error->matches(PyExc_Exception)) {
    std::optional<py::error_already_set> rollback_error;
    try {
      co_await a[0].attr("rollback")();
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
    co_await a[0].attr("close")();
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

py::object make_db_transaction(py::handle module, py::object session_annotation) {
  py::object generator = terrava::make_asyncgen_function(
      module,
      FunctionSpec{"db_transaction",
                   "",
                   "Context manager for database transactions with proper cleanup.",
                   {arg("db", std::move(session_annotation))},
                   {}},
      db_transaction);
  return py::module_::import("contextlib").attr("asynccontextmanager")(generator);
}

Coro run_in_transaction(py::object transaction, py::object db, py::object sql, py::object params,
                        py::object timeout, const char* fetch) {
  co_return co_await terrava::async_with(transaction(db), [&](py::object) -> Coro {
    py::object statement =
        params.is_none() ? db.attr("execute")(sql) : db.attr("execute")(sql, params);
    py::object wait_for = py::module_::import("asyncio").attr("wait_for");
    py::object result = co_await wait_for(statement, py::arg("timeout") = timeout);
    co_return result.attr(fetch)();
  });
}

}  // namespace tileport
