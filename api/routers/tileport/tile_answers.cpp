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

void answer_failure(py::error_already_set& failure, std::initializer_list<FailureAnswer> answers) {
  for (const FailureAnswer& answer : answers) {
    if (!failure.matches(answer.type)) continue;
    log_error(answer.with_reason ? concat({answer.log_line, py::str(": "), failure.value()})
                                 : answer.log_line);
    raise_http_exception(answer.status, answer.detail);
  }
  throw std::move(failure);
}

}  // namespace tileport
