#include "cache.hpp"

#include <terrava/bridge.hpp>

#include "pyglue.hpp"

namespace tileport {
namespace {

py::object init(Args& a) {
  a[0].attr("redis") = a[1];
  a[0].attr("namespace") = a[2];
  return py::none();
}

py::object make_key(Args& a) { return namespaced_key(a[0].attr("namespace"), a[1]); }

// The coroutine methods await the client directly; what Redis raises reaches
// the caller unchanged.
Coro get(Args a) {
  py::object key = namespaced_key(a[0].attr("namespace"), a[1]);
  co_return co_await a[0].attr("redis").attr("get")(key);
}

Coro set(Args a) {
  py::object key = namespaced_key(a[0].attr("namespace"), a[1]);
  co_await a[0].attr("redis").attr("set")(key, a[2], py::arg("ex") = a[3]);
  co_return py::none();
}

Coro remove(Args a) {
  py::object key = namespaced_key(a[0].attr("namespace"), a[1]);
  co_await a[0].attr("redis").attr("delete")(key);
  co_return py::none();
}

}  // namespace

py::str namespaced_key(py::handle namespace_, py::handle key) {
  PyObject* formatted = PyObject_Format(key.ptr(), nullptr);
  if (formatted == nullptr) throw py::error_already_set();
  auto key_text = py::reinterpret_steal<py::object>(formatted);
  return concat({namespace_, py::str(":"), key_text});
}

void define_binary_redis_cache(py::module_& module) {
  py::object str = builtin("str");
  py::object optional_bytes = global("Optional")[builtin("bytes")];
  py::dict members;
  members["__init__"] = terrava::make_function(
      module,
      FunctionSpec{"__init__",
                   "BinaryRedisCache.__init__",
                   std::nullopt,
                   {arg("self"), arg("redis_client"), arg("namespace", {}, py::str("mvt"))},
                   {}},
      init);
  members["_make_key"] = terrava::make_function(module,
                                                FunctionSpec{"_make_key",
                                                             "BinaryRedisCache._make_key",
                                                             "Create namespaced key.",
                                                             {arg("self"), arg("key", str)},
                                                             str},
                                                make_key);
  members["get"] = terrava::make_coroutine_function(module,
                                                    FunctionSpec{"get",
                                                                 "BinaryRedisCache.get",
                                                                 "Get binary data from cache.",
                                                                 {arg("self"), arg("key", str)},
                                                                 optional_bytes},
                                                    get);
  members["set"] = terrava::make_coroutine_function(
      module,
      FunctionSpec{"set",
                   "BinaryRedisCache.set",
                   "Set binary data in cache with TTL.",
                   {arg("self"), arg("key", str), arg("value", builtin("bytes")),
                    arg("ttl", builtin("int"), py::int_(3600))},
                   {}},
      set);
  members["delete"] = terrava::make_coroutine_function(module,
                                                       FunctionSpec{"delete",
                                                                    "BinaryRedisCache.delete",
                                                                    "Delete key from cache.",
                                                                    {arg("self"), arg("key", str)},
                                                                    {}},
                                                       remove);
  set_global(
      "BinaryRedisCache",
      terrava::make_class(module, "BinaryRedisCache", members,
                          "Simple Redis cache for binary MVT tiles without UTF-8 decoding."));
}

void create_module_cache(py::module_&) {
  set_global("cache",
             global("BinaryRedisCache")(global("redis_client"), py::arg("namespace") = "mvt_v8"));
  py::object print = builtin("print");
  print("✓ Binary Redis cache initialized (no UTF-8 decoding)");
  print("  - Namespace: mvt_v8");
  print(concat({py::str("  - Redis: "), global("redis_host"), py::str(":"), global("redis_port"),
                py::str("/"), global("redis_db")}));
  print("  - decode_responses: False (handles binary data)");
}

}  // namespace tileport
