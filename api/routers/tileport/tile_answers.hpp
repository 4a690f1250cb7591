// The answers of the tile endpoints: tile bytes, 204 with nothing to draw, or
// the HTTP error a failure of the database region is answered with.
#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>

namespace tileport {
namespace py = pybind11;

// 200 with the tile bytes as "application/vnd.mapbox-vector-tile", with
// `headers` (a dict, or None for none).
py::object tile_response(py::handle content, py::handle headers);

// 204 with an empty body.
py::object empty_response();

// The caching headers of a tile answer: "Cache-Control" "public, max-age="
// followed by `ttl`, and "X-Cache" `source` ("HIT" or "MISS").
py::dict cache_headers(py::handle ttl, const char* source);

// One kind of failure and its answer: the failures matching `type` (as
// `except type` would) are logged at ERROR as `log_line`, followed by ": "
// and the failure when `with_reason`, and answered with `status` and
// `detail`.
struct FailureAnswer {
  py::handle type;
  py::object log_line;
  bool with_reason;
  int status;
  py::object detail;
};

// Answers `failure` by the first of `answers` it matches (an HTTPException);
// a failure that matches none (cancellation and the like) goes on as it is.
[[noreturn]] void answer_failure(py::error_already_set& failure,
                                 std::initializer_list<FailureAnswer> answers);

}  // namespace tileport
