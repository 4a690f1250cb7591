// What the tile service adds to the shared helpers: HTTP errors and its log
// lines. Module globals, text and numbers come from terrava/pyhelpers.hpp;
// the bridge's names used throughout are brought in here.
#pragma once

#include <pybind11/pybind11.h>

#include <terrava/bridge.hpp>
#include <terrava/pyhelpers.hpp>

namespace tileport {
namespace py = pybind11;
using terrava::arg;
using terrava::Args;
using terrava::attempt;
using terrava::builtin;
using terrava::concat;
using terrava::Coro;
using terrava::FunctionSpec;
using terrava::global;
using terrava::import_from;
using terrava::Outcome;
using terrava::raise_value_error;
using terrava::saturated_int;
using terrava::set_global;
using terrava::truthy;

// Raises fastapi.HTTPException(status_code=status, detail=detail).
[[noreturn]] void raise_http_exception(int status, py::handle detail);

// A JSON answer in the host's envelope: api_router_response(api_response(data=data)).
py::object envelope(py::handle data);

// logger.<level>(message) on the module logger.
void log_info(py::handle message);
void log_warning(py::handle message);
void log_error(py::handle message);

}  // namespace tileport
