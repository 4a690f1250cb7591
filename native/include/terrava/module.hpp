// Module start-up and what module code reads of the interpreter: the
// TERRAVA_MODULE entry point, the module's namespace (Globals), truth tests
// and builtins.
#pragma once

#include <pybind11/pybind11.h>

#include <exception>

namespace terrava {
namespace py = pybind11;

// Creates the extension module `qualified_name` (single-phase initialisation,
// so __name__ is the qualified name however the file is imported), runs
// `init` on it and returns it, or sets the Python error and returns null.
PyObject* init_module(const char* qualified_name, PyModuleDef* def,
                      void (*init)(py::module_&)) noexcept;

// Sets the Python error indicator from the C++ exception in flight.
void set_python_error(std::exception_ptr error) noexcept;

// Python's truth test of `value` (an empty handle is false).
bool truthy(py::handle value);

// A builtin by name (int, str, tuple, ...), e.g. for annotations.
py::object builtin(const char* name);

// A module's namespace, read at call time the way Python code reads its
// globals (so a rebound module attribute is seen by the next call). The
// module lives for the process, and so does this reference to its dict.
class Globals {
 public:
  void attach(py::module_& module) { dict_ = py::object(module.attr("__dict__")).release().ptr(); }
  // The value bound to `name`; NameError when there is none.
  py::object operator[](const char* name) const;
  // Binds `name` in the namespace.
  void set(const char* name, py::handle value) const;

 private:
  PyObject* dict_ = nullptr;
};

}  // namespace terrava

// Defines PyInit_<name> for the module "terrava.<name>"; the block that follows
// fills the module `m`.
#define TERRAVA_MODULE(name, m)                                                  \
  static void terrava_init_##name(::pybind11::module_&);                         \
  extern "C" __attribute__((visibility("default"))) PyObject* PyInit_##name() {  \
    static PyModuleDef def;                                                      \
    return ::terrava::init_module("terrava." #name, &def, &terrava_init_##name); \
  }                                                                              \
  static void terrava_init_##name(::pybind11::module_& m)
