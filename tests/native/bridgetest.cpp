// Test-only module: small functions that exercise every path of the bridge.
#include <terrava/bridge.hpp>

#include "transaction.hpp"

namespace {
using namespace terrava;

// (a, b, c) as bound: a positional, b with a default, c keyword-only.
py::object echo(Args& a) { return py::make_tuple(a[0], a[1], a[2]); }

// Returns the result of awaiting `awaitable`.
Coro await_one(Args a) {
  py::object result = co_await a[0];
  co_return result;
}

// Awaits each awaitable of a list in turn and returns their results.
Coro await_all(Args a) {
  py::list results;
  for (py::handle aw : py::list(a[0]))
    results.append(co_await py::reinterpret_borrow<py::object>(aw));
  co_return results;
}

// Returns its argument without awaiting anything.
Coro give_back(Args a) { co_return a[0]; }

// Awaits `awaitable`; on a Python error calls log("error", exc), awaits
// cleanup() and re-raises the error unchanged.
Coro guarded(Args a) {
  py::object log = a[1];
  Outcome done = co_await attempt(a[0]);
  if (done.error) {
    log(py::str("error"), done.error->value());
    co_await a[2]();
    log(py::str("cleaned"));
  } else {
    log(py::str("ok"));
  }
  co_return std::move(done).get();
}

// What awaiting `awaitable` ended with, ("value", v) or ("error", exc), as
// attempt() takes it; through a C++ child coroutine when `through_child`.
Coro outcome(Args a) {
  Outcome done;
  if (truthy(a[1])) {
    Args child_args(1, a[0]);
    done = co_await attempt(await_one(std::move(child_args)));
  } else {
    done = co_await attempt(a[0]);
  }
  if (done.error) co_return py::make_tuple(py::str("error"), done.error->value());
  co_return py::make_tuple(py::str("value"), done.value);
}

// Awaits `awaitable` and answers "caught" if it raised an exception of `type`.
Coro catch_type(Args a) {
  try {
    co_await a[0];
  } catch (py::error_already_set& e) {
    if (!e.matches(a[1])) throw;
    co_return py::str("caught");
  }
  co_return py::str("not raised");
}

// Raises ValueError(message) from C++ after awaiting `awaitable`.
Coro fail_after(Args a) {
  co_await a[0];
  throw py::value_error(a[1].cast<std::string>());
}

// Awaits the native coroutine give_back n times; returns the sum.
Coro nested(Args a) {
  py::object give = a[1];
  long total = 0;
  long n = a[0].cast<long>();
  for (long i = 0; i < n; ++i) total += (co_await give(py::int_(i))).cast<long>();
  co_return py::int_(total);
}

// Collects an async iterable into a list.
Coro collect(Args a) {
  py::list items;
  py::object it = aiter(a[0]);
  while (auto item = co_await anext(it)) items.append(*item);
  co_return items;
}

// Yields each item, awaiting `tick()` before each one.
AsyncGen ticker(Args a) {
  for (py::handle item : py::list(a[0])) {
    co_await a[1]();
    co_yield py::reinterpret_borrow<py::object>(item);
  }
}

// Awaits `awaitable` inside `async with manager as bound:`; returns
// (bound, result), result None when the manager suppressed an error.
Coro inside(Args a) {
  py::object bound;
  py::object result = co_await async_with(a[0], [&](py::object value) -> Coro {
    bound = std::move(value);
    co_return co_await a[1];
  });
  co_return py::make_tuple(bound, result);
}

// A C++ exception (not a Python one) inside `async with manager:`.
Coro inside_failing(Args a) {
  co_await async_with(a[0], [](py::object) -> Coro {
    throw py::type_error("expected an int");
    co_return py::none();
  });
  co_return py::none();
}

py::object counter_init(Args& a) {
  a[0].attr("count") = a[1];
  return py::none();
}

Coro counter_bump(Args a) {
  co_await a[1];
  py::object self = a[0];
  self.attr("count") = py::object(self.attr("count")) + py::int_(1);
  co_return self.attr("count");
}

}  // namespace

TERRAVA_MODULE(_bridgetest, m) {
  py::object int_ = builtin("int");
  def(m,
      {"echo",
       "",
       "Echo the bound arguments.",
       {arg("a", int_), arg("b", int_, py::int_(2)), kwarg("c", {}, py::int_(3))},
       builtin("tuple")},
      echo);
  def_async(m, {"await_one", "", "Await one awaitable.", {arg("awaitable")}}, await_one);
  def_async(m, {"await_all", "", std::nullopt, {arg("awaitables")}}, await_all);
  def_async(m, {"give_back", "", std::nullopt, {arg("value")}}, give_back);
  def_async(m, {"guarded", "", std::nullopt, {arg("awaitable"), arg("log"), arg("cleanup")}},
            guarded);
  def_async(m, {"outcome", "", std::nullopt, {arg("awaitable"), arg("through_child")}}, outcome);
  def_async(m, {"catch_type", "", std::nullopt, {arg("awaitable"), arg("type")}}, catch_type);
  def_async(m, {"fail_after", "", std::nullopt, {arg("awaitable"), arg("message")}}, fail_after);
  def_async(m, {"nested", "", std::nullopt, {arg("n"), arg("give")}}, nested);
  def_async(m, {"collect", "", std::nullopt, {arg("iterable")}}, collect);
  def_async(m, {"inside", "", std::nullopt, {arg("manager"), arg("awaitable")}}, inside);
  def_async(m, {"inside_failing", "", std::nullopt, {arg("manager")}}, inside_failing);
  m.attr("ticker") =
      make_asyncgen_function(m, {"ticker", "", std::nullopt, {arg("items"), arg("tick")}}, ticker);
  // The tile service's own transaction wrapper, and the generator under it.
  py::object transaction = tileport::make_db_transaction(m, py::none());
  m.attr("transaction") = transaction;
  m.attr("transaction_gen") = transaction.attr("__wrapped__");

  py::dict members;
  members["__init__"] = make_function(m,
                                      {"__init__",
                                       "Counter.__init__",
                                       std::nullopt,
                                       {arg("self"), arg("start", int_, py::int_(0))}},
                                      counter_init);
  members["bump"] = make_coroutine_function(
      m, {"bump", "Counter.bump", "Await, then count one up.", {arg("self"), arg("awaitable")}},
      counter_bump);
  m.attr("Counter") = make_class(m, "Counter", members, "A counter with a coroutine method.");
}
