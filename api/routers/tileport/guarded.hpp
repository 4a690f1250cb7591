// Guarded access: cache reads and writes that never fail a request, and the
// commit-or-rollback wrapper around a request's database session.
#pragma once

#include <pybind11/pybind11.h>

namespace tileport {
namespace py = pybind11;

// asyncio.wait_for(cache.get(key), timeout=timeout): the bounded cache read.
py::object bounded_cache_read(py::handle key, py::handle timeout);
// cache.set(key, value, ttl=ttl).
py::object cache_write(py::handle key, py::handle value, py::handle ttl);

// Whether a failed cache call is one the guards absorb (any Exception, which
// includes the time-out); cancellation and other BaseExceptions pass through.
bool absorbed_by_cache_guard(py::error_already_set& error);
void log_cache_read_failure(py::handle key, py::error_already_set& error);
void log_cache_write_failure(py::handle key, py::error_already_set& error);

void define_safe_cache_get(py::module_& module);
void define_safe_cache_set(py::module_& module);
void define_db_transaction(py::module_& module);

}  // namespace tileport
