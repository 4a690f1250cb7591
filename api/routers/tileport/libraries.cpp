#include "libraries.hpp"

#include <terrava/pyhelpers.hpp>

namespace tileport {
namespace {

Libraries& resolved() {
  static Libraries libraries;
  return libraries;
}

// A module-lifetime reference: released at exit with the interpreter, never
// by a C++ destructor that could run after it.
py::handle keep(py::object object) { return object.release(); }

py::handle attribute(const char* module, const char* name) {
  return keep(terrava::import_from(module, name));
}

}  // namespace

void resolve_libraries() {
  Libraries& l = resolved();
  py::module_ asyncio = py::module_::import("asyncio");
  l.get_running_loop = keep(asyncio.attr("get_running_loop"));
  l.ensure_future = keep(asyncio.attr("ensure_future"));
  l.shield = keep(asyncio.attr("shield"));
  // asyncio.timeout (3.11 on) bounds an await without a task of its own;
  // before it, wait_for is the way.
  l.timeout = py::hasattr(asyncio, "timeout") ? keep(asyncio.attr("timeout")) : py::handle();
  l.wait_for = keep(asyncio.attr("wait_for"));
  l.TimeoutError = keep(asyncio.attr("TimeoutError"));
  l.CancelledError = keep(asyncio.attr("CancelledError"));
  l.Response = attribute("fastapi", "Response");
  l.HTTPException = attribute("fastapi", "HTTPException");
  l.SQLAlchemyError = attribute("sqlalchemy.exc", "SQLAlchemyError");
  l.NoScriptError = attribute("redis.exceptions", "NoScriptError");
  l.json_loads = attribute("json", "loads");
  l.json_dumps = attribute("json", "dumps");
}

const Libraries& lib() { return resolved(); }

}  // namespace tileport
