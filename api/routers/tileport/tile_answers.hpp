// The answers of the tile endpoints: tile bytes, or 204 with nothing to draw.
#pragma once

#include <pybind11/pybind11.h>

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

}  // namespace tileport
