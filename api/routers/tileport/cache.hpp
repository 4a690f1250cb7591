// BinaryRedisCache: the byte cache over the shared Redis client. Values are
// stored and returned as raw bytes under "<namespace>:<key>".
#pragma once

#include <pybind11/pybind11.h>

namespace tileport {
namespace py = pybind11;

// namespace + ":" + key, each converted as string formatting converts it.
py::str namespaced_key(py::handle namespace_, py::handle key);

// Defines the class BinaryRedisCache on the module.
void define_binary_redis_cache(py::module_& module);

// Creates the module's `cache` over `redis_client` and prints the start-up
// lines.
void create_module_cache(py::module_& module);

}  // namespace tileport
