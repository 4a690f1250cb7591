// Per-client rate limit of the tile endpoints: a fixed one-second window per
// client address, counted in Redis.
#pragma once

#include <pybind11/pybind11.h>

namespace tileport {
namespace py = pybind11;

constexpr long long kTileRequestsPerWindow = 40;

// "rate_limit:gis:" + the client's host, or "unknown" without a client.
py::str rate_limit_key(py::handle request);

// Prepares the counting script; once, at import (no I/O).
void prepare_rate_limit_script();

// Counting one request on `key` is one Redis script, run atomically: INCR,
// then EXPIRE of the window (one second) whenever the counter has no lifetime.
// A counter therefore never outlives its window, even when an earlier
// failure left one without expiry, and a counter that has a lifetime keeps it,
// which keeps the window fixed. The script is run by its digest (EVALSHA),
// resolving to the new count; load_count_script (SCRIPT LOAD) is for a server
// that does not know it yet.
py::object count_request(py::handle redis_client, py::handle key);
py::object load_count_script(py::handle redis_client);

// Whether a failed count_request means the server lacks the script.
bool script_unknown(py::error_already_set& error);

void log_rate_limit_failure(py::error_already_set& error);

}  // namespace tileport
