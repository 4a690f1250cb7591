#include "invalidate_endpoint.hpp"

#include <optional>
#include <terrava/bridge.hpp>

#include "invalidation.hpp"
#include "pyglue.hpp"

namespace tileport {
namespace {

// A failed deletion (Redis unreachable, an error reply) is not an empty one:
// it answers 503, and whatever stayed cached is still there.
constexpr int kNotInvalidated = 503;

py::object answer(py::handle data, py::handle message) {
  return global("api_router_response")(
      global("api_response")(py::arg("data") = data, py::arg("message") = message));
}

Coro invalidate_cache_endpoint(Args a) {
  const py::object layer_name = a[0];
  const bool everything = layer_name.equal(py::str("all"));  // before the registry
  if (!everything && !global("LAYER_CONFIG").contains(layer_name)) {
    py::list names;
    for (auto item : py::reinterpret_borrow<py::dict>(global("LAYER_CONFIG")))
      names.append(item.first);
    raise_http_exception(404, concat({py::str("Layer '"), layer_name,
                                      py::str("' not found. Valid layers: "), names}));
  }

  py::object deletion =
      everything ? invalidate_all_or_raise() : invalidate_layer_or_raise(layer_name);
  py::object deleted;
  bool failed = false;
  try {
    deleted = co_await deletion;
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    failed = true;  // logged at ERROR by the deletion
  }
  if (failed) {
    raise_http_exception(kNotInvalidated, everything
                                              ? py::str("Cache could not be invalidated")
                                              : concat({py::str("Cache for layer '"), layer_name,
                                                        py::str("' could not be invalidated")}));
  }

  py::dict data;
  if (everything) {
    data["deleted_count"] = deleted;
    co_return answer(data, concat({py::str("All cache invalidated successfully. "), deleted,
                                   py::str(" keys deleted.")}));
  }
  data["layer"] = layer_name;
  data["deleted_count"] = deleted;
  co_return answer(
      data, concat({py::str("Cache for layer '"), layer_name,
                    py::str("' invalidated successfully. "), deleted, py::str(" keys deleted.")}));
}

}  // namespace

py::object define_invalidate_cache_endpoint(py::module_& module) {
  return terrava::def_async(
      module,
      terrava::FunctionSpec{
          "invalidate_cache_endpoint",
          "",
          "\n    Manually invalidate cache for a specific layer.\n    Useful after "
          "bulk data updates or for testing.\n    ",
          {terrava::arg("layer_name", terrava::builtin("str"))},
          {}},
      invalidate_cache_endpoint);
}

}  // namespace tileport
