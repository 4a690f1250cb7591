// Awaiting under a deadline.
#pragma once

#include <pybind11/pybind11.h>

#include <terrava/bridge.hpp>

namespace tileport {
namespace py = pybind11;

// Awaits `awaitable` for at most `timeout` seconds; on expiry it is cancelled
// and TimeoutError raised. Where asyncio has timeout() (3.11 on) that is used,
// as asyncio.wait_for itself does from 3.12 on: wait_for of 3.11 wraps the
// awaitable in a task of its own, which costs a cache hit a measurable share
// of its time.
terrava::Coro with_deadline(py::object awaitable, py::object timeout);

}  // namespace tileport
