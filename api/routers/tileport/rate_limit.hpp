// Per-client rate limit of the tile endpoints: a fixed one-second window per
// client address, counted in Redis.
#pragma once

#include <pybind11/pybind11.h>

namespace tileport {
namespace py = pybind11;

constexpr long long kTileRequestsPerWindow = 40;

// "rate_limit:gis:" + the client's host, or "unknown" without a client.
py::str rate_limit_key(py::handle request);

// Counting one request on `key`: INCR, and EXPIRE of the window (one second)
// with NX, in one pipeline (one round trip). NX gives the counter its
// lifetime whenever it has none and leaves a running window alone, so the
// window stays fixed and a counter never outlives it, even one that an
// earlier failure left without expiry. Resolves to the two replies, failed
// commands as exception objects.
py::object count_request(py::handle redis_client, py::handle key);

// The new count from the replies of count_request; a failed command raises
// its own error, unchanged.
py::object request_count(py::handle replies);

void log_rate_limit_failure(py::error_already_set& error);

}  // namespace tileport
