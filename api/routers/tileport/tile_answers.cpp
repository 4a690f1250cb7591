#include "tile_answers.hpp"

#include "libraries.hpp"
#include "pyglue.hpp"

namespace tileport {

py::object tile_response(py::handle content, py::handle headers) {
  return lib().Response(py::arg("content") = content,
                        py::arg("media_type") = "application/vnd.mapbox-vector-tile",
                        py::arg("headers") = headers);
}

py::object empty_response() { return lib().Response(py::arg("status_code") = 204); }

py::dict cache_headers(py::handle ttl, const char* source) {
  py::dict headers;
  headers["Cache-Control"] = concat({py::str("public, max-age="), ttl});
  headers["X-Cache"] = source;
  return headers;
}

}  // namespace tileport
