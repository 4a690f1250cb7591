#include "deadline.hpp"

namespace tileport {

terrava::Coro with_deadline(py::object awaitable, py::object timeout) {
  py::object asyncio = py::module_::import("asyncio");
  if (!py::hasattr(asyncio, "timeout"))
    co_return co_await asyncio.attr("wait_for")(awaitable, py::arg("timeout") = timeout);
  co_return co_await terrava::async_with(
      asyncio.attr("timeout")(timeout),
      [&](py::object) -> terrava::Coro { co_return co_await awaitable; });
}

}  // namespace tileport
