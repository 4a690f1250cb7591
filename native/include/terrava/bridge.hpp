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
//
// The interface is in three parts, all included here:
//   functions.hpp   function objects and classes
//   coroutines.hpp  Coro, AsyncGen, anext/aiter, async_with, attempt
//   module.hpp      module start-up, Globals, truthy, builtin
#pragma once

#include "coroutines.hpp"
#include "functions.hpp"
#include "module.hpp"
