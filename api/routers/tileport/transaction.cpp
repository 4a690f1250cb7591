#include "transaction.hpp"

#include <algorithm>
#include <optional>
#include <terrava/pyhelpers.hpp>

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

namespace {

// True when the server cancelled the statement (SQLSTATE 57014): with the
// statement time-out set below, that is the server side of the deadline.
bool cancelled_by_server(py::error_already_set& error) {
  if (!error.matches(PyExc_Exception)) return false;
  py::object orig = py::getattr(error.value(), "orig", py::none());
  if (orig.is_none()) return false;
  py::object code = py::getattr(orig, "sqlstate", py::none());
  if (code.is_none()) code = py::getattr(orig, "pgcode", py::none());
  return terrava::equals(code, py::str("57014"));
}

}  // namespace

Coro run_in_transaction(py::object transaction, py::object db, py::object sql, py::object params,
                        py::object timeout, const char* fetch) {
  py::object asyncio = py::module_::import("asyncio");
  py::object wait_for = asyncio.attr("wait_for");
  py::object loop_time = asyncio.attr("get_running_loop")().attr("time");
  const double seconds = terrava::as_double(timeout);
  const double deadline = loop_time().cast<double>() + seconds;
  std::optional<py::error_already_set> server_timeout;
  py::object fetched;
  try {
    fetched = co_await terrava::async_with(transaction(db), [&](py::object) -> Coro {
      // The client's deadline alone leaves PostgreSQL running an abandoned
      // statement until its cancel request arrives (if it does): the server
      // gets the same bound, for this transaction only. Both statements share
      // the one deadline, as the connection is taken by the first of them.
      const long long ms = std::max(1LL, static_cast<long long>(seconds * 1000.0));
      py::object set_local = terrava::global("text")(
          terrava::concat({py::str("SET LOCAL statement_timeout = "), py::int_(ms)}));
      co_await wait_for(db.attr("execute")(set_local), py::arg("timeout") = timeout);
      py::object statement =
          params.is_none() ? db.attr("execute")(sql) : db.attr("execute")(sql, params);
      py::float_ left(std::max(0.0, deadline - loop_time().cast<double>()));
      py::object result = co_await wait_for(statement, py::arg("timeout") = left);
      co_return result.attr(fetch)();
    });
  } catch (py::error_already_set& e) {
    if (!cancelled_by_server(e)) throw;
    server_timeout = std::move(e);
  }
  if (server_timeout) {
    // The server's time-out is the same deadline as the client's: answered alike.
    py::object error = asyncio.attr("TimeoutError")();
    PyException_SetCause(error.ptr(), server_timeout->value().inc_ref().ptr());  // steals
    PyException_SetContext(error.ptr(), server_timeout->value().inc_ref().ptr());
    PyErr_SetObject(asyncio.attr("TimeoutError").ptr(), error.ptr());
    throw py::error_already_set();
  }
  co_return fetched;
}

}  // namespace tileport
