// The Python object types of the bridge, shared inside the library.
#pragma once

#include <terrava/bridge.hpp>

namespace terrava::detail {

// A C++ coroutine frame as the Python object that drives it sees it.
struct Frame {
  std::coroutine_handle<> handle;
  FramePromise* promise = nullptr;
  bool started = false;
  bool running = false;

  bool finished() const { return !handle; }
  void destroy() noexcept;  // runs the frame's destructors, releasing its references
};

struct Names {
  py::object name;
  py::object qualname;
  py::object code;  // the function's code object, for asyncio's reprs
};

// A Python coroutine object driving `frame` (which it owns from now on).
py::object new_coroutine(Frame frame, Names names);
// A Python async generator object driving `frame`.
py::object new_asyncgen(Frame frame, Names names);

// Creates the bridge's types once per library; called at module init.
void ready_coroutine_types();
void ready_asyncgen_types();
void ready_function_type();

// Raises a RuntimeError chained to the pending exception (PEP 479 style).
void replace_pending_error(PyObject* type, const char* message);

// True when `obj` is a native coroutine suspended on an awaitable (so a second
// `await` of it must be refused).
bool native_coroutine_awaiting(PyObject* obj);

}  // namespace terrava::detail
