#include "rate_limit.hpp"

#include "pyglue.hpp"

namespace tileport {

py::str rate_limit_key(py::handle request) {
  py::object client = request.attr("client");
  py::object host = client.is_none() ? py::str("unknown") : client.attr("host");
  return concat({py::str("rate_limit:gis:"), host});
}

py::object count_request(py::handle redis_client, py::handle key) {
  py::object transaction = redis_client.attr("pipeline")(py::arg("transaction") = true);
  transaction.attr("incr")(key);
  transaction.attr("expire")(key, 1, py::arg("nx") = true);
  return transaction.attr("execute")();
}

bool over_rate_limit(py::handle replies, long long limit) {
  return saturated_int(replies[py::int_(0)], ">") > limit;
}

void log_rate_limit_failure(py::error_already_set& error) {
  log_warning(concat({py::str("Rate limit check failed: "), error.value()}));
}

}  // namespace tileport
