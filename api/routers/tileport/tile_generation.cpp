#include "tile_generation.hpp"

#include <optional>

#include "libraries.hpp"
#include "pyglue.hpp"
#include "statements.hpp"
#include "transaction.hpp"

namespace tileport {
namespace {

// Cache key -> the task generating it. Only the event loop's thread touches
// it; an entry is removed by the request that made it, however that ends.
py::handle& in_flight() {
  static py::handle generations;  // lives as long as the process
  return generations;
}

// The generation coroutine function, made at import.
py::handle& generation() {
  static py::handle function;
  return function;
}

// The task generating `key` on the running loop, or None. A task of another
// loop (a test run's earlier loop, say) or one already done is not joined.
py::object running_generation(py::handle key, py::handle loop) {
  PyObject* task = PyDict_GetItemWithError(in_flight().ptr(), key.ptr());  // borrowed
  if (task == nullptr) {
    if (PyErr_Occurred()) throw py::error_already_set();
    return py::none();
  }
  py::handle t(task);
  if (!t.attr("get_loop")().is(loop) || truthy(t.attr("done")())) return py::none();
  return py::reinterpret_borrow<py::object>(t);
}

// The in-flight entry of one generation, removed when the request that
// started it is done with it (returned, raised or closed).
class InFlightEntry {
 public:
  InFlightEntry(py::object key, py::object task) : key_(std::move(key)), task_(std::move(task)) {
    if (PyDict_SetItem(in_flight().ptr(), key_.ptr(), task_.ptr()) != 0) {
      throw py::error_already_set();
    }
  }
  InFlightEntry(const InFlightEntry&) = delete;
  InFlightEntry& operator=(const InFlightEntry&) = delete;
  ~InFlightEntry() {
    // Runs while an error may be on its way out: keep the interpreter's
    // error state as it is.
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyObject* current = PyDict_GetItemWithError(in_flight().ptr(), key_.ptr());
    if (current == task_.ptr() && PyDict_DelItem(in_flight().ptr(), key_.ptr()) != 0) {
      PyErr_WriteUnraisable(key_.ptr());
    }
    PyErr_Clear();
    PyErr_Restore(type, value, traceback);
  }

 private:
  py::object key_, task_;
};

// The task's body: (cache_key, db, sql, params, timeout, ttl). The statement
// in the session's transaction; a non-empty tile is cached before anyone is
// answered, as a single request would do.
Coro generate(Args a) {
  const py::object key = a[0], db = a[1], sql = a[2], params = a[3], timeout = a[4], ttl = a[5];
  py::object content = co_await run_in_transaction(global("db_transaction"), db, sql_text(sql),
                                                   params, timeout, "scalar_one_or_none");
  if (truthy(content)) co_await global("safe_cache_set")(key, content, ttl);
  co_return content;
}

// Awaits the generation the calling request started. Its session is the one
// the generation works on, so a cancellation of the request is held back
// until the generation is over, and then raised.
Coro await_generation(py::object task) {
  std::optional<py::error_already_set> cancelled;
  for (;;) {
    Outcome done = co_await attempt([&] { return lib().shield(task); });
    if (!done.error) {
      if (cancelled) throw std::move(*cancelled);
      co_return done.value;
    }
    // The generation's own outcome (its failure or its cancellation) is
    // final; the request's cancellation waits for it.
    if (!done.failed_with(lib().CancelledError) || truthy(task.attr("done")())) {
      throw std::move(*done.error);
    }
    cancelled = std::move(done.error);
  }
}

// A waiter: its own session is entered and left unused (nothing is sent to
// the database), so the wrapper closes it as it closes every tile session.
Coro join_generation(py::object db, py::object task) {
  co_return co_await terrava::async_with(global("db_transaction")(db), [&](py::object) -> Coro {
    py::object shielded = lib().shield(task);
    co_return co_await shielded;
  });
}

}  // namespace

void prepare_tile_generation(py::module_& module) {
  in_flight() = py::dict().release();
  generation() =
      terrava::make_coroutine_function(module,
                                       FunctionSpec{"generate_tile",
                                                    "",
                                                    std::nullopt,
                                                    {arg("cache_key"), arg("db"), arg("sql"),
                                                     arg("params"), arg("timeout"), arg("ttl")},
                                                    {}},
                                       generate)
          .release();
}

Coro generate_once(py::object db, TileJob job) {
  py::object loop = lib().get_running_loop();
  py::object running = running_generation(job.cache_key, loop);
  if (!running.is_none()) co_return co_await join_generation(db, running);

  py::object task = lib().ensure_future(
      generation()(job.cache_key, db, job.sql, job.params, job.timeout, job.ttl),
      py::arg("loop") = loop);
  InFlightEntry entry(job.cache_key, task);
  co_return co_await await_generation(task);
}

}  // namespace tileport
