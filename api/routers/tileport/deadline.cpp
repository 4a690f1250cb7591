#include "deadline.hpp"

#include "libraries.hpp"

namespace tileport {

terrava::Coro with_deadline(py::object awaitable, py::object timeout) {
  if (!lib().timeout) co_return co_await lib().wait_for(awaitable, py::arg("timeout") = timeout);
  co_return co_await terrava::async_with(
      lib().timeout(timeout), [&](py::object) -> terrava::Coro { co_return co_await awaitable; });
}

}  // namespace tileport
