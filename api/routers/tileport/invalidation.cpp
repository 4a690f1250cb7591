#include "invalidation.hpp"

#include <optional>
#include <terrava/bridge.hpp>

#include "pyglue.hpp"

namespace tileport {
namespace {

constexpr int kScanCount = 100;

enum class Scope : long { kLayer, kAll, kPattern };

// The match pattern of a scope, in the glob syntax of SCAN ... MATCH. The
// parts are joined as they are, so glob characters keep their meaning; the
// namespace is literal text at the front, so no pattern reaches a key outside
// it.
py::str match_pattern(Scope scope, py::handle argument) {
  py::object ns = global("cache").attr("namespace");
  switch (scope) {
    case Scope::kLayer:
      return concat({ns, py::str(":"), argument, py::str(":*")});
    case Scope::kAll:
      return concat({ns, py::str(":*")});
    case Scope::kPattern:
      break;
  }
  return concat({ns, py::str(":"), argument});
}

py::str success_message(Scope scope, py::handle argument, py::handle count) {
  switch (scope) {
    case Scope::kLayer:
      return concat({py::str("Background task: Invalidated "), count,
                     py::str(" cache entries for layer '"), argument, py::str("'")});
    case Scope::kAll:
      return concat({py::str("Background task: Invalidated ALL cache entries: "), count,
                     py::str(" keys deleted")});
    case Scope::kPattern:
      break;
  }
  return concat({py::str("Background task: Invalidated "), count,
                 py::str(" cache entries matching pattern '"), argument, py::str("'")});
}

py::str failure_message(Scope scope, py::handle argument, py::handle error) {
  switch (scope) {
    case Scope::kLayer:
      return concat({py::str("Background task failed to invalidate cache for layer '"), argument,
                     py::str("': "), error});
    case Scope::kAll:
      return concat({py::str("Background task failed to invalidate all cache: "), error});
    case Scope::kPattern:
      break;
  }
  return concat({py::str("Background task failed to invalidate cache by pattern '"), argument,
                 py::str("': "), error});
}

// The deleting coroutine function, made at import and kept, like the module,
// for the life of the process (a handle: no release at exit).
py::handle& deleter() {
  static py::handle function;
  return function;
}

// (scope, argument, raise_failure): one DEL per key that SCAN yields, counted
// whatever DEL replies. A failure is logged at ERROR and then either raised
// or answered with 0; keys deleted before it stay deleted.
Coro delete_matching(Args a) {
  const auto scope = static_cast<Scope>(a[0].cast<long>());
  const py::object argument = a[1];
  const bool raise_failure = truthy(a[2]);
  long long deleted = 0;
  auto scan_and_delete = [&]() -> Coro {
    py::object redis_client = global("redis_client");
    py::object keys = terrava::aiter(redis_client.attr("scan_iter")(
        py::arg("match") = match_pattern(scope, argument), py::arg("count") = kScanCount));
    while (std::optional<py::object> key = co_await terrava::anext(keys)) {
      co_await redis_client.attr("delete")(*key);
      ++deleted;
    }
    co_return py::none();
  };
  Outcome done = co_await terrava::attempt(scan_and_delete());
  if (!done.error) {
    log_info(success_message(scope, argument, py::int_(deleted)));
    co_return py::int_(deleted);
  }
  if (!done.failed_with(PyExc_Exception)) throw std::move(*done.error);
  log_error(failure_message(scope, argument, done.error->value()));
  if (raise_failure) throw std::move(*done.error);
  co_return py::int_(0);
}

py::object start_deleting(Scope scope, py::handle argument, bool raise_failure) {
  return deleter()(static_cast<long>(scope), argument, py::bool_(raise_failure));
}

Coro layer_task(Args a) { co_return co_await start_deleting(Scope::kLayer, a[0], false); }
Coro all_task(Args) { co_return co_await start_deleting(Scope::kAll, py::none(), false); }
Coro pattern_task(Args a) { co_return co_await start_deleting(Scope::kPattern, a[0], false); }

// Starts `task` on the running loop without keeping its handle, then logs.
void schedule(const char* task, py::handle argument, py::handle scheduled_line) {
  py::object coroutine = argument ? global(task)(argument) : global(task)();
  global("asyncio").attr("create_task")(coroutine);
  global("logger").attr("debug")(scheduled_line);
}

py::object schedule_layer(Args& a) {
  schedule(
      "_invalidate_layer_cache_task", a[0],
      concat({py::str("Scheduled background cache invalidation for layer '"), a[0], py::str("'")}));
  return py::none();
}

py::object schedule_all(Args&) {
  schedule("_invalidate_all_cache_task", py::handle(),
           py::str("Scheduled background cache invalidation for ALL layers"));
  return py::none();
}

py::object schedule_pattern(Args& a) {
  schedule("_invalidate_cache_by_pattern_task", a[0],
           concat({py::str("Scheduled background cache invalidation for pattern '"), a[0],
                   py::str("'")}));
  return py::none();
}

constexpr const char* kInBackground =
    "\n    This runs asynchronously without blocking the response.\n    ";

std::string scheduler_doc(const char* first_lines) {
  return std::string("\n    ") + first_lines + "\n    " + kInBackground;
}

}  // namespace

void define_invalidation(py::module_& module) {
  py::object str = builtin("str");
  py::object integer = builtin("int");
  deleter() = terrava::make_coroutine_function(
                  module,
                  FunctionSpec{"delete_matching",
                               "",
                               std::nullopt,
                               {arg("scope"), arg("argument"), arg("raise_failure")},
                               {}},
                  delete_matching)
                  .release();
  terrava::def_async(module,
                     FunctionSpec{"_invalidate_layer_cache_task",
                                  "",
                                  "Internal task for cache invalidation.",
                                  {arg("layer_name", str)},
                                  integer},
                     layer_task);
  terrava::def(module,
               FunctionSpec{"invalidate_layer_cache",
                            "",
                            scheduler_doc("Invalidate all cached tiles for a specific layer (runs "
                                          "as background task)."),
                            {arg("layer_name", str)},
                            {}},
               schedule_layer);
  terrava::def_async(module,
                     FunctionSpec{"_invalidate_all_cache_task",
                                  "",
                                  "Internal task for invalidating all cache.",
                                  {},
                                  integer},
                     all_task);
  terrava::def(module,
               FunctionSpec{"invalidate_all_cache",
                            "",
                            scheduler_doc("Invalidate ALL cached tiles across all layers (runs as "
                                          "background task).\n    Use with caution - only when "
                                          "you need to clear everything."),
                            {},
                            {}},
               schedule_all);
  terrava::def_async(module,
                     FunctionSpec{"_invalidate_cache_by_pattern_task",
                                  "",
                                  "Internal task for pattern-based cache invalidation.",
                                  {arg("pattern", str)},
                                  integer},
                     pattern_task);
  terrava::def(
      module,
      FunctionSpec{"invalidate_cache_by_pattern",
                   "",
                   scheduler_doc("Invalidate cache entries matching a custom pattern (runs "
                                 "as background task)."),
                   {arg("pattern", str)},
                   {}},
      schedule_pattern);
}

py::object invalidate_layer_or_raise(py::handle layer_name) {
  return start_deleting(Scope::kLayer, layer_name, true);
}

py::object invalidate_all_or_raise() { return start_deleting(Scope::kAll, py::none(), true); }

}  // namespace tileport
