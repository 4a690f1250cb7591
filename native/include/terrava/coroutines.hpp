// C++20 coroutines as Python coroutines and async generators: Coro, AsyncGen,
// anext/aiter, async_with.
#pragma once

#include <pybind11/pybind11.h>

#include <coroutine>
#include <functional>
#include <type_traits>

#include "frame_promise.hpp"
#include "functions.hpp"

namespace terrava {
namespace py = pybind11;

// `co_await attempt(awaitable)` awaits as `co_await awaitable` does (send,
// throw and close reach the awaited object) and gives what the await ended
// with instead of throwing it. C++ allows no co_await in a catch block, so a
// body that must await after a failure (a rollback, a fallback) takes the
// error as a value:
//
//   Outcome done = co_await attempt(session.attr("commit")());
//   if (done.error) {
//     co_await session.attr("rollback")();
//     throw std::move(*done.error);  // the same exception object
//   }
//
// Every Python exception is taken, cancellation included: a body that only
// handles errors tests `done.failed_with(PyExc_Exception)` and lets the rest
// go on. C++ exceptions go on as they are. `attempt(child())` does the same
// for a C++ coroutine. Given a callable that makes the awaitable,
// `attempt([&] { return cache.attr("get")(key); })`, an error of the call
// itself is the outcome too, as in Python's `try: await cache.get(key)`. A
// block of several awaits is a named lambda coroutine, awaited whole:
//
//   auto block = [&]() -> Coro { ...; co_return value; };
//   Outcome done = co_await attempt(block());
inline detail::AttemptTag attempt(py::object awaitable) { return {std::move(awaitable), {}}; }
detail::AttemptTag attempt(Coro&& child);
template <class Make>
requires(!std::is_base_of_v<py::handle, std::remove_cvref_t<Make>> &&
         std::is_invocable_r_v<py::object, Make&>) detail::AttemptTag attempt(Make&& make) {
  try {
    return {make(), {}};
  } catch (py::error_already_set& e) {
    return {py::object(), std::move(e)};
  }
}

// Steps an async iterator: `if (auto item = co_await anext(it)) ... else done`.
detail::AnextTag anext(py::handle async_iterator);
// The async iterator of an async iterable (aiter()).
py::object aiter(py::handle async_iterable);

class Coro {
 public:
  struct promise_type : detail::AwaitingPromise<promise_type> {
    template <class... T>
    explicit promise_type(T&... params) {
      find_args(params...);
    }
    Coro get_return_object() {
      return Coro(std::coroutine_handle<promise_type>::from_promise(*this));
    }
    void return_value(py::object value) { result = std::move(value); }
  };
  explicit Coro(std::coroutine_handle<promise_type> h) : h_(h) {}
  std::coroutine_handle<promise_type> release() { return h_.release(); }

 private:
  detail::Handle<promise_type> h_;
};

class AsyncGen {
 public:
  struct promise_type : detail::AwaitingPromise<promise_type> {
    template <class... T>
    explicit promise_type(T&... params) {
      find_args(params...);
    }
    AsyncGen get_return_object() {
      return AsyncGen(std::coroutine_handle<promise_type>::from_promise(*this));
    }
    void return_void() {}
    struct Yield {
      FramePromise& p;
      bool await_ready() const noexcept { return false; }
      void await_suspend(std::coroutine_handle<>) const noexcept {}
      void await_resume() { p.take_resume(); }
    };
    Yield yield_value(py::object value) {
      yielded = std::move(value);
      has_yielded = true;
      return Yield{*this};
    }
  };
  explicit AsyncGen(std::coroutine_handle<promise_type> h) : h_(h) {}
  std::coroutine_handle<promise_type> release() { return h_.release(); }

 private:
  detail::Handle<promise_type> h_;
};

// `async with manager as bound:` around the C++ block `body(bound)`:
//
//   py::object result = co_await async_with(manager, [&](py::object bound) -> Coro {
//     ...
//     co_return value;
//   });
//
// __aexit__ is called for every way the block ends: with (None, None, None)
// and the block's value when it finished, with the exception (its traceback
// or None) when anything left it, a C++ exception included (turned into the
// Python exception it maps to). The exception then goes on as the same
// object unless __aexit__ suppressed it, and the block's value is None. The
// captures of `body` must stay valid until the await is over.
using BlockBody = std::function<Coro(py::object)>;
Coro async_with(py::object manager, BlockBody body);

}  // namespace terrava
