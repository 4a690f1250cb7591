// The commit-or-rollback wrapper around a request's database session, and a
// statement run inside it.
#pragma once

#include <pybind11/pybind11.h>

#include <terrava/bridge.hpp>

namespace tileport {
namespace py = pybind11;

// `db_transaction(db)`: an async context manager (asynccontextmanager over a
// native async generator) that yields the session, commits, rolls back on an
// Exception and closes the session in every case. Uses the bridge only, so
// the bridge's own tests exercise this very wrapper.
py::object make_db_transaction(py::handle module, py::object session_annotation);

// Runs `sql` with `params` on `db` inside `transaction(db)` under a deadline
// of `timeout` seconds (asyncio.wait_for), and gives `result.<fetch>()`.
terrava::Coro run_in_transaction(py::object transaction, py::object db, py::object sql,
                                 py::object params, py::object timeout, const char* fetch);

}  // namespace tileport
