// Removal of cached values from Redis: all XYZ tiles of one layer, the whole
// namespace, or the keys that match a caller's pattern below the namespace.
// Each task has a scheduler that starts it in the background.
#pragma once

#include <pybind11/pybind11.h>

namespace tileport {
namespace py = pybind11;

// Defines the three tasks and their schedulers on the module, in the order
// layer, all, pattern (each task before its scheduler).
void define_invalidation(py::module_& module);

// Awaitables for the invalidation endpoint: like the tasks (the same log
// lines, the count of keys deleted), except that a failure is raised after
// its ERROR line instead of being answered with 0.
py::object invalidate_layer_or_raise(py::handle layer_name);
py::object invalidate_all_or_raise();

}  // namespace tileport
