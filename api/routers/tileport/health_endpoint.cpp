// The byte cache must answer a read within two seconds; the answer is 200 and
// "healthy" either way, with the cache's state beside it. Not the envelope:
// the probe's own JSON.
#include "health_endpoint.hpp"

#include <optional>
#include <terrava/bridge.hpp>

#include "deadline.hpp"
#include "pyglue.hpp"

namespace tileport {
namespace {

constexpr double kProbeTimeout = 2.0;  // seconds

Coro health_check(Args) {
  bool cache_healthy = true;
  try {
    py::object probe = global("cache").attr("get")("health_check");
    co_await with_deadline(probe, py::float_(kProbeTimeout));
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    cache_healthy = false;
  }
  py::list names;
  for (auto item : py::reinterpret_borrow<py::dict>(global("LAYER_CONFIG")))
    names.append(item.first);
  py::dict content;
  content["status"] = "healthy";
  content["cache_status"] = cache_healthy ? "healthy" : "unhealthy";
  content["available_layers"] = names;
  content["zoom_support"] = "1-20 with layer-specific minimums";
  co_return global("JSONResponse")(py::arg("content") = content);
}

}  // namespace

py::object define_health_check(py::module_& module) {
  return terrava::def_async(
      module,
      terrava::FunctionSpec{"health_check", "", "Health check endpoint for monitoring.", {}, {}},
      health_check);
}

}  // namespace tileport
