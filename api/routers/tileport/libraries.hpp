// The libraries' callables, types and constants the request paths use,
// resolved once at import. Names of the module's own namespace that callers
// may rebind (redis_client, cache, LAYER_CONFIG, text, the safe_cache_*
// guards, db_transaction, the host's helpers) are still read at call time.
#pragma once

#include <pybind11/pybind11.h>

namespace tileport {
namespace py = pybind11;

struct Libraries {
  // asyncio
  py::handle get_running_loop, ensure_future, shield, timeout, wait_for;
  py::handle TimeoutError, CancelledError;
  // fastapi
  py::handle Response, HTTPException;
  // sqlalchemy
  py::handle SQLAlchemyError;
  // redis
  py::handle NoScriptError;
  // json
  py::handle json_loads, json_dumps;
};

// Resolves them; a library that lacks one fails the import with the
// interpreter's own ImportError or AttributeError.
void resolve_libraries();

// What resolve_libraries() found; held for the life of the process.
const Libraries& lib();

}  // namespace tileport
