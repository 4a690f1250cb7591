// One generation per cold tile and process: concurrent misses of the same
// cache key share the statement of the first of them.
#pragma once

#include <pybind11/pybind11.h>

#include <terrava/bridge.hpp>

namespace tileport {
namespace py = pybind11;

// What a cold tile is generated from.
struct TileJob {
  py::object cache_key;  // the caller-side key, e.g. "plots:16:34124:31111"
  py::str sql;           // the tile statement's text
  py::dict params;       // its envelope binds
  py::object timeout;    // seconds the statement may take
  py::object ttl;        // lifetime of the cached tile
};

// Makes the generation coroutine; once, at import (no I/O).
void prepare_tile_generation(py::module_& module);

// Gives the tile bytes of `job` (None for an empty tile), or raises what the
// generation raised: the time-out, the database error, anything else.
//
// The first miss of a key in this process starts the generation as a task of
// its own: the statement runs in `db`'s transaction, a non-empty tile is
// written to the cache, the transaction wrapper commits (or rolls back) and
// closes `db`. Misses of the same key arriving while it runs wait for that
// task instead of querying; their own sessions go through the transaction
// wrapper unused, which closes them.
//
// A waiter that is cancelled leaves at once. The first request, whose session
// the generation uses, stays until the generation is over (bounded by the
// statement's time-out) and then ends cancelled: the others still get their
// tile, and nobody closes its session while a statement runs on it.
terrava::Coro generate_once(py::object db, TileJob job);

}  // namespace tileport
