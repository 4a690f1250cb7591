// Function objects that Python takes for its own: make_function,
// make_coroutine_function, make_asyncgen_function, make_class.
#pragma once

#include <pybind11/pybind11.h>

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace terrava {
namespace py = pybind11;

struct Param {
  std::string name;
  py::object annotation = {};     // empty handle: no annotation
  py::object default_value = {};  // empty handle: required
  bool keyword_only = false;
};

// Shorthands for parameter lists: arg("zoom", int_type)
inline Param arg(std::string name, py::object annotation = {}, py::object default_value = {}) {
  return Param{std::move(name), std::move(annotation), std::move(default_value), false};
}
inline Param kwarg(std::string name, py::object annotation = {}, py::object default_value = {}) {
  return Param{std::move(name), std::move(annotation), std::move(default_value), true};
}

struct FunctionSpec {
  std::string name;
  std::string qualname = {};            // empty: same as name
  std::optional<std::string> doc = {};  // nullopt: __doc__ is None
  std::vector<Param> params = {};       // positional-or-keyword first, then keyword-only
  py::object return_annotation = {};    // empty handle: none
};

// Arguments bound to the parameters, in parameter order, defaults filled in.
using Args = std::vector<py::object>;

class Coro;
class AsyncGen;

using SyncBody = std::function<py::object(Args&)>;
using CoroBody = std::function<Coro(Args)>;
using GenBody = std::function<AsyncGen(Args)>;

// `module` gives __module__ (the module's __name__) and the code object's file.
py::object make_function(py::handle module, FunctionSpec spec, SyncBody body);
py::object make_coroutine_function(py::handle module, FunctionSpec spec, CoroBody body);
py::object make_asyncgen_function(py::handle module, FunctionSpec spec, GenBody body);

// Builds the function and publishes it as a module attribute of its name.
py::object def(py::module_& module, FunctionSpec spec, SyncBody body);
py::object def_async(py::module_& module, FunctionSpec spec, CoroBody body);

// A plain Python class `name` whose namespace holds `members` (methods made
// with the functions above bind like Python methods).
py::object make_class(py::handle module, const std::string& name, py::dict members,
                      std::optional<std::string> doc = std::nullopt);

}  // namespace terrava
