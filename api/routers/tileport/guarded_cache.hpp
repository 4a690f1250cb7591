// Guarded access: cache reads and writes that never fail a request, and the
// commit-or-rollback wrapper around a request's database session.
#pragma once

#include <pybind11/pybind11.h>

namespace tileport {
namespace py = pybind11;

void define_safe_cache_get(py::module_& module);
void define_safe_cache_set(py::module_& module);
void define_db_transaction(py::module_& module);

}  // namespace tileport
