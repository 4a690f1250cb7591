#include "transaction.hpp"

#include <algorithm>
#include <optional>
#include <terrava/pyhelpers.hpp>

#include "deadline.hpp"
#include "libraries.hpp"
#include "statements.hpp"

namespace tileport {
namespace {

using terrava::arg;
using terrava::Args;
using terrava::AsyncGen;
using terrava::attempt;
using terrava::Coro;
using terrava::FunctionSpec;
using terrava::Outcome;

// A later error raised while handling `earlier` carries it as its context, as
// it would in an except or finally block.
void chain(py::error_already_set& later, py::error_already_set& earlier) {
  PyException_SetContext(later.value().ptr(), earlier.value().inc_ref().ptr());  // steals
}

// Yields the session to the block, then commits; an Exception from the block
// or the commit rolls back and is raised again unchanged. The session is closed
// in every case, also when the rollback fails.
AsyncGen db_transaction(Args a) {
  py::object session = a[0];
  std::optional<py::error_already_set> error;
  try {
    co_yield session;
  } catch (py::error_already_set& e) {
    error = std::move(e);  // what the block raised, thrown in at the yield
  }
  if (!error) error = (co_await attempt([&] { return session.attr("commit")(); })).error;
  if (error && error->matches(PyExc_Exception)) {
    Outcome rolled_back = co_await attempt([&] { return session.attr("rollback")(); });
    if (rolled_back.error) {
      chain(*rolled_back.error, *error);
      error = std::move(rolled_back.error);
    }
  }
  Outcome closed = co_await attempt([&] { return session.attr("close")(); });
  if (closed.error) {
    if (error) chain(*closed.error, *error);
    throw std::move(*closed.error);
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

// The key, in the info of the database connection (SQLAlchemy keeps it with
// the DBAPI connection, across pool checkouts), of the statement_timeout the
// connection runs with, in milliseconds.
constexpr const char* kBoundKey = "tileport.statement_timeout_ms";

// The session's connection options of a single read, made once.
py::handle autocommit() {
  static py::handle options = py::dict(py::arg("isolation_level") = "AUTOCOMMIT").release();
  return options;
}

}  // namespace

Coro run_in_transaction(py::object transaction, py::object db, py::object sql, py::object params,
                        py::object timeout, const char* fetch) {
  py::object loop_time = lib().get_running_loop().attr("time");
  const double seconds = terrava::as_double(timeout);
  const double deadline = loop_time().cast<double>() + seconds;
  auto time_left = [&] { return py::float_(std::max(0.0, deadline - loop_time().cast<double>())); };
  py::object connection_info;
  Outcome fetched = co_await attempt(terrava::async_with(transaction(db), [&](py::object) -> Coro {
    // The client's deadline alone leaves PostgreSQL running an abandoned
    // statement until its cancel request arrives (if it does): the server
    // gets the same bound. It is a setting of the connection, sent only
    // when the connection's last bound differs, so a run of tiles on one
    // connection pays no round trip for it. Taking the connection, the
    // setting and the statement share the one deadline.
    //
    // The statement is one read, so it runs in autocommit, as its own
    // transaction: no BEGIN and COMMIT round trips around it. The
    // wrapper's commit and rollback stay as they are (with nothing begun,
    // the driver sends neither) and the session is closed as before. A
    // session that has already begun (the box endpoint's own reads) goes
    // on in its transaction.
    py::object take = terrava::truthy(db.attr("in_transaction")())
                          ? db.attr("connection")()
                          : db.attr("connection")(py::arg("execution_options") = autocommit());
    py::object connection = co_await with_deadline(take, timeout);
    connection_info = connection.attr("info");
    py::int_ ms(std::max(1LL, static_cast<long long>(seconds * 1000.0)));
    if (!terrava::equals(terrava::get_or(connection_info, kBoundKey, py::none()), ms)) {
      py::object set_bound = sql_text(terrava::concat({py::str("SET statement_timeout = "), ms}));
      co_await with_deadline(db.attr("execute")(set_bound), time_left());
      connection_info[kBoundKey] = ms;
    }
    py::object statement =
        params.is_none() ? db.attr("execute")(sql) : db.attr("execute")(sql, params);
    py::object result = co_await with_deadline(statement, time_left());
    co_return result.attr(fetch)();
  }));
  if (!fetched.error) co_return fetched.value;
  std::optional<py::error_already_set> failure = std::move(fetched.error);
  // After a failure the setting's fate is unknown (a SET cut off by the
  // deadline may or may not have reached the server): the next statement on
  // this connection sets it again.
  if (connection_info) connection_info.attr("pop")(kBoundKey, py::none());
  if (!cancelled_by_server(*failure)) throw std::move(*failure);
  // The server's time-out is the same deadline as the client's: answered alike.
  py::object error = lib().TimeoutError();
  PyException_SetCause(error.ptr(), failure->value().inc_ref().ptr());  // steals
  PyException_SetContext(error.ptr(), failure->value().inc_ref().ptr());
  PyErr_SetObject(lib().TimeoutError.ptr(), error.ptr());
  throw py::error_already_set();
}

}  // namespace tileport
