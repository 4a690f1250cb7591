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

template <class Derived>
struct AwaitingPromise : FramePromise {
  template <class T>
  requires std::is_base_of_v<py::handle, std::remove_cvref_t<T>> Delegate
  await_transform(T&& awaitable) {
    return Delegate{*this, awaitable_iter(awaitable)};
  }
  NextItem await_transform(AnextTag tag);
};

template <class Derived>
FramePromise::NextItem AwaitingPromise<Derived>::await_transform(AnextTag tag) {
  return NextItem{Delegate{*this, awaitable_iter(tag.iterator)}};
}

}  // namespace detail

// Steps an async iterator: `if (auto item = co_await anext(it)) ... else done`.
detail::AnextTag anext(py::handle async_iterator);
// The async iterator of an async iterable (aiter()).
py::object aiter(py::handle async_iterable);

class Coro {
 public:
  struct promise_type : detail::AwaitingPromise<promise_type> {
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

// `async with manager:` around a block of a coroutine body:
//
//   AsyncWith block(manager);
//   co_await block.enter();                  // the value bound by `as`
//   std::optional<py::error_already_set> error;
//   try { ... } catch (py::error_already_set& e) { error = std::move(e); }
//   co_await block.exit(std::move(error));   // re-raises it unless __aexit__ suppressed it
class AsyncWith {
 public:
  explicit AsyncWith(py::handle manager);
  py::object enter();  // awaitable of __aenter__()
  py::object exit(std::optional<py::error_already_set> error);

 private:
  py::object manager_;
  py::object exit_;
};

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
