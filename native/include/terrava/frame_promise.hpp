// The promise internals shared by Coro and AsyncGen: how a C++ frame waits on
// a Python awaitable and what the object driving it hands in and out. Not
// for module code; include <terrava/coroutines.hpp>.
#pragma once

#include <pybind11/pybind11.h>

#include <coroutine>
#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

#include "functions.hpp"

namespace terrava {
namespace py = pybind11;

class Coro;

// What an await ended with: its value, or the Python exception it raised
// (see attempt() in coroutines.hpp).
struct Outcome {
  py::object value;                            // when the await gave a value
  std::optional<py::error_already_set> error;  // when it raised
  bool failed_with(py::handle type) const { return error && error->matches(type); }
  // The value, or the exception raised again as the same object.
  py::object get() && {
    if (error) throw std::move(*error);
    return std::move(value);
  }
};

namespace detail {

// State shared between a C++ coroutine frame and the Python object driving it.
struct FramePromise {
  Args* args = nullptr;     // the frame's copy of its Args parameter, if it has one
  py::object delegate;      // iterator of the awaitable the frame is waiting for
  py::object resume_value;  // what the pending co_await gives
  std::optional<py::error_already_set> resume_error;  // or what it throws
  py::object yielded;                                 // async generators: the value of a co_yield
  bool has_yielded = false;
  py::object result;         // coroutines: the co_return value
  std::exception_ptr error;  // exception that left the body

  void unhandled_exception() noexcept { error = std::current_exception(); }
  std::suspend_always final_suspend() noexcept { return {}; }

  // Resumes a suspension point: returns the sent value or throws the error.
  py::object take_resume();

  // Finds the Args among the parameters of the coroutine (promise
  // constructors are given them), so the collector can see them.
  template <class... T>
  void find_args(T&... params) {
    (note_param(params), ...);
  }
  void note_param(Args& a) { args = &a; }
  template <class T>
  void note_param(T&) {}

  struct Start {
    FramePromise& p;
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<>) const noexcept {}
    void await_resume() { p.take_resume(); }
  };
  Start initial_suspend() noexcept { return Start{*this}; }

  struct Delegate {
    FramePromise& p;
    py::object iter;
    bool end_on_stop_async = false;  // anext(): StopAsyncIteration ends, not throws
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<>) noexcept { p.delegate = std::move(iter); }
    py::object await_resume() { return p.take_resume(); }
  };
  struct NextItem {
    Delegate d;
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> h) noexcept { d.await_suspend(h); }
    std::optional<py::object> await_resume();
  };
  // attempt(): the await's outcome as a value. An object that cannot be
  // awaited at all fails without suspending, as `await` raises at once.
  struct Attempted {
    Delegate d;
    std::optional<py::error_already_set> refused;
    bool await_ready() const noexcept { return refused.has_value(); }
    void await_suspend(std::coroutine_handle<> h) noexcept { d.await_suspend(h); }
    Outcome await_resume();
  };
};

// The iterator that `await obj` drives (the am_await protocol).
py::object awaitable_iter(py::handle awaitable);

struct AnextTag {
  py::object iterator;  // the awaitable that __anext__ returned
};

struct AttemptTag {
  py::object awaitable;
  std::optional<py::error_already_set> refused;  // making the awaitable failed
};

template <class P>
class Handle {
 public:
  Handle() = default;
  explicit Handle(std::coroutine_handle<P> h) : h_(h) {}
  Handle(Handle&& o) noexcept : h_(std::exchange(o.h_, {})) {}
  Handle& operator=(Handle&& o) noexcept {
    if (this != &o) {
      reset();
      h_ = std::exchange(o.h_, {});
    }
    return *this;
  }
  ~Handle() { reset(); }
  void reset() {
    if (h_) std::exchange(h_, {}).destroy();
  }
  std::coroutine_handle<P> release() { return std::exchange(h_, {}); }

 private:
  std::coroutine_handle<P> h_;
};

// A native coroutine object driving the frame of `coro` (named `name`).
py::object coroutine_object(Coro&& coro, const char* name);

template <class Derived>
struct AwaitingPromise : FramePromise {
  // A temporary awaitable (`co_await f()`) would live in the frame until the
  // await is over, where the collector cannot see it: it is released here,
  // and the iterator keeps whatever it needs.
  template <class T>
  requires std::is_base_of_v<py::handle, std::remove_cvref_t<T>> Delegate
  await_transform(T&& awaitable) {
    if constexpr (std::is_lvalue_reference_v<T>) {
      return Delegate{*this, awaitable_iter(awaitable)};
    } else {
      std::remove_cvref_t<T> owned = std::move(awaitable);
      return Delegate{*this, awaitable_iter(owned)};
    }
  }
  NextItem await_transform(AnextTag tag);
  Attempted await_transform(AttemptTag tag);
  template <class C>
  requires std::is_same_v<std::remove_cvref_t<C>, Coro> Delegate await_transform(C&& child) {
    return Delegate{*this, coroutine_object(std::move(child), "<native>")};
  }
};

template <class Derived>
FramePromise::NextItem AwaitingPromise<Derived>::await_transform(AnextTag tag) {
  py::object step = std::move(tag.iterator);
  return NextItem{Delegate{*this, awaitable_iter(step)}};
}

template <class Derived>
FramePromise::Attempted AwaitingPromise<Derived>::await_transform(AttemptTag tag) {
  if (tag.refused) return Attempted{Delegate{*this, py::object()}, std::move(tag.refused)};
  py::object awaitable = std::move(tag.awaitable);
  try {
    return Attempted{Delegate{*this, awaitable_iter(awaitable)}, std::nullopt};
  } catch (py::error_already_set& e) {
    return Attempted{Delegate{*this, py::object()}, std::move(e)};
  }
}

}  // namespace detail

}  // namespace terrava
