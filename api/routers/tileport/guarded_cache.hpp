// Guarded access: cache reads and writes that never fail a request.
#pragma once

#include <pybind11/pybind11.h>

namespace tileport {
namespace py = pybind11;

void define_safe_cache_get(py::module_& module);
void define_safe_cache_set(py::module_& module);

}  // namespace tileport
