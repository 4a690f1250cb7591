// Per-client rate limit of the tile endpoints: a fixed one-second window per
// client address, counted in Redis.
#pragma once

#include <pybind11/pybind11.h>

namespace tileport {
namespace py = pybind11;

constexpr long long kTileRequestsPerWindow = 40;

// "rate_limit:gis:" + the client's host, or "unknown" without a client.
py::str rate_limit_key(py::handle request);

// Awaitable counting one request on `key`. The increment and the window's
// lifetime are applied together in one MULTI/EXEC transaction, and the lifetime
// is set whenever the counter has none (EXPIRE ... NX), so no counter can be
// left without its one-second expiry by a failure between the two commands;
// a counter that has one keeps it, which keeps the window fixed. Resolves to
// the replies of the two commands.
py::object count_request(py::handle redis_client, py::handle key);

// Whether the replies of count_request put the client over the limit.
bool over_rate_limit(py::handle replies, long long limit);

void log_rate_limit_failure(py::error_already_set& error);

}  // namespace tileport
