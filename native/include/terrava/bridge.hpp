// The async bridge: what lets C++ stand where Python functions, coroutines and
// async generators are expected.
//
//  * make_function / make_coroutine_function / make_asyncgen_function build
//    function objects that Python (inspect, asyncio, FastAPI, functools) takes
//    for its own: a real inspect.Signature, __code__ carrying the coroutine
//    flag, __defaults__, __annotations__, __doc__, descriptor binding as a
//    method, and Python's own TypeError texts for bad calls.
//  * Coro is the return type of a C++20 coroutine body. Calling a native
//    coroutine function gives a Python coroutine object (send/throw/close,
//    __await__) that drives the body. Inside the body `co_await obj` awaits
//    any Python awaitable with `yield from` semantics: send, throw and close
//    reach the awaited object, and a Python exception that comes out of it is
//    thrown into C++ as pybind11::error_already_set holding the very same
//    exception object, so `throw;` re-raises it unchanged.
//  * AsyncGen is the same with `co_yield value`: an async generator, enough
//    for contextlib.asynccontextmanager.
//  * `co_await anext(it)` steps a Python async iterator; it gives an empty
//    optional at the end of the iteration.
//  * `co_await async_with(manager, body)` is `async with manager as bound:`
//    around a C++ block; `co_await child(...)` awaits another C++ coroutine.
//
// What the cyclic garbage collector sees of a suspended frame: the arguments
// it was called with (the Args parameter), the awaitable it waits on and the
// function's names. The body's own C++ locals are invisible to it: a Python
// object copied into a local is held conservatively (never freed early), but
// a reference cycle that runs only through such a local is broken when the
// frame finishes or is closed, not by the collector. Keep what a body awaits
// reachable from its arguments.
//
// GCC 12 miscompiles the temporary of a conditional operand of co_await
// (`co_await (flag ? f() : g())` crashes when the await finishes): bind the
// awaitable to a named object first and await that.
//
// Everything runs on the event-loop thread with the GIL held.
#pragma once

#include <pybind11/pybind11.h>

#include <coroutine>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace terrava {
namespace py = pybind11;

// ---------------------------------------------------------------------------
// Function objects

struct Param {
  std::string name;
  py::object annotation = {};     // empty handle: no annotation
  py::object default_value = {};  // empty handle: required
  bool keyword_only = false;
};

// Shorthands for parameter lists: arg("zoom", int_type)
inline Param arg(std::string name, py::object annotation = {}, py::object default_value = {}) {
  return Param{std::move(name), std::move(annotation), std::move(default_value), false};
}
inline Param kwarg(std::string name, py::object annotation = {}, py::object default_value = {}) {
  return Param{std::move(name), std::move(annotation), std::move(default_value), true};
}

struct FunctionSpec {
  std::string name;
  std::string qualname = {};            // empty: same as name
  std::optional<std::string> doc = {};  // nullopt: __doc__ is None
  std::vector<Param> params = {};       // positional-or-keyword first, then keyword-only
  py::object return_annotation = {};    // empty handle: none
};

// Arguments bound to the parameters, in parameter order, defaults filled in.
using Args = std::vector<py::object>;

class Coro;
class AsyncGen;

using SyncBody = std::function<py::object(Args&)>;
using CoroBody = std::function<Coro(Args)>;
using GenBody = std::function<AsyncGen(Args)>;

// `module` gives __module__ (the module's __name__) and the code object's file.
py::object make_function(py::handle module, FunctionSpec spec, SyncBody body);
py::object make_coroutine_function(py::handle module, FunctionSpec spec, CoroBody body);
py::object make_asyncgen_function(py::handle module, FunctionSpec spec, GenBody body);

// Builds the function and publishes it as a module attribute of its name.
py::object def(py::module_& module, FunctionSpec spec, SyncBody body);
py::object def_async(py::module_& module, FunctionSpec spec, CoroBody body);

// A plain Python class `name` whose namespace holds `members` (methods made
// with the functions above bind like Python methods).
py::object make_class(py::handle module, const std::string& name, py::dict members,
                      std::optional<std::string> doc = std::nullopt);

// ---------------------------------------------------------------------------
// Coroutines

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
};

// The iterator that `await obj` drives (the am_await protocol).
py::object awaitable_iter(py::handle awaitable);

struct AnextTag {
  py::object iterator;  // the awaitable that __anext__ returned
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

}  // namespace detail

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

// ---------------------------------------------------------------------------
// Modules

// Creates the extension module `qualified_name` (single-phase initialisation,
// so __name__ is the qualified name however the file is imported), runs
// `init` on it and returns it, or sets the Python error and returns null.
PyObject* init_module(const char* qualified_name, PyModuleDef* def,
                      void (*init)(py::module_&)) noexcept;

// Sets the Python error indicator from the C++ exception in flight.
void set_python_error(std::exception_ptr error) noexcept;

// Python's truth test of `value` (an empty handle is false).
bool truthy(py::handle value);

// A builtin by name (int, str, tuple, ...), e.g. for annotations.
py::object builtin(const char* name);

// A module's namespace, read at call time the way Python code reads its
// globals (so a rebound module attribute is seen by the next call). The
// module lives for the process, and so does this reference to its dict.
class Globals {
 public:
  void attach(py::module_& module) { dict_ = py::object(module.attr("__dict__")).release().ptr(); }
  // The value bound to `name`; NameError when there is none.
  py::object operator[](const char* name) const;
  // Binds `name` in the namespace.
  void set(const char* name, py::handle value) const;

 private:
  PyObject* dict_ = nullptr;
};

}  // namespace terrava

// Defines PyInit_<name> for the module "terrava.<name>"; the block that follows
// fills the module `m`.
#define TERRAVA_MODULE(name, m)                                                  \
  static void terrava_init_##name(::pybind11::module_&);                         \
  extern "C" __attribute__((visibility("default"))) PyObject* PyInit_##name() {  \
    static PyModuleDef def;                                                      \
    return ::terrava::init_module("terrava." #name, &def, &terrava_init_##name); \
  }                                                                              \
  static void terrava_init_##name(::pybind11::module_& m)
