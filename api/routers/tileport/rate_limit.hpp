// Per-client rate limits of the tile endpoints: a fixed one-second window per
// client address, counted in Redis by one atomic script.
#pragma once

#include <pybind11/pybind11.h>

namespace tileport {
namespace py = pybind11;

// What one endpoint allows: the counter's key prefix, the requests a client
// may send per window, the detail of the 429 answer, and whether a Redis
// failure during the count is logged (as a WARNING) or passed over silently.
struct RateLimit {
  const char* key_prefix;
  long long requests_per_window;
  const char* refusal;
  bool log_failures;
};

// The limits of the XYZ tile endpoint and of the bounding-box endpoint.
extern const RateLimit kTileRateLimit;
extern const RateLimit kBboxRateLimit;

// Prepares the counting script and the limiter; once, at import (no I/O).
void prepare_rate_limit(py::module_& module);

// Awaitable that counts the request of `request`'s client (its host, or
// "unknown" without a client) against `limit`. It raises the 429
// HTTPException when the client is over the limit; any other failure (Redis
// unreachable, a socket time-out, an error reply) lets the request through
// unlimited. Counting is one Redis script, run atomically: INCR, then EXPIRE
// of the window whenever the counter has no lifetime, so a counter never
// outlives its window even when an earlier failure left it without expiry,
// and a counter that has a lifetime keeps it, which keeps the window fixed.
// The script runs by its digest (EVALSHA) and is loaded again (SCRIPT LOAD)
// when the server has lost it.
py::object limit_client(py::handle request, const RateLimit& limit);

}  // namespace tileport
