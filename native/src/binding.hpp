// Binding call arguments to parameters the way CPython binds them for a
// Python function, with CPython's own TypeError texts.
#pragma once

#include <terrava/bridge.hpp>

namespace terrava::detail {

struct ParamTable {
  py::object qualname;               // str, used in error texts
  std::vector<py::object> names;     // interned str per parameter
  std::vector<py::object> defaults;  // empty handle: required
  size_t positional = 0;             // parameters that can be given by position
  size_t positional_defaults = 0;    // trailing positional parameters with a default
};

// Fills `out` (resized to the parameter count) from a vectorcall argument
// array. Returns false with a Python TypeError set on a bad call.
bool bind_arguments(const ParamTable& table, PyObject* const* args, size_t nargs, PyObject* kwnames,
                    Args& out);

}  // namespace terrava::detail
