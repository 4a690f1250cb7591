// Small helpers the modules share for talking to the interpreter: their own
// module namespace, text built the way Python builds it, numbers, imports
// and errors.
#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>
#include <terrava/bridge.hpp>

namespace terrava {
namespace py = pybind11;

// The namespace of the module this library defines (every extension library
// links its own copy of the bridge, so each has one), attached before the
// module's init block runs. Module code reads its names at call time through
// it, as Python code reads its globals: a rebound attribute is seen by the
// next call.
const Globals& module_globals();
// module_globals()[name]: NameError when the module has no such name.
py::object global(const char* name);
// Binds `name` in the module namespace.
void set_global(const char* name, py::handle value);

// `from module import name`, with the interpreter's own ImportError texts.
py::object import_from(const char* module, const char* name);

// Concatenation of str() of each part, as an f-string builds it. Works on the
// Python side throughout, so any text (lone surrogates included) passes
// through unchanged.
py::str concat(std::initializer_list<py::handle> parts);

// format(value, spec)
py::str format(py::handle value, const char* spec);

// `a == b`, truth-tested, without the identity shortcut of
// PyObject_RichCompareBool.
bool equals(py::handle a, py::handle b);

// float(value) for numbers only: text raises TypeError instead of being parsed.
double as_double(py::handle value);

// The value of a Python int as a long long, saturated at the type's bounds.
// Anything but an int raises TypeError with the text of a failed comparison
// `op` (as `value <op> 0` would).
long long saturated_int(py::handle value, const char* op);

// mapping.get(key, fallback)
py::object get_or(py::handle mapping, const char* key, py::handle fallback);

// Raises ValueError(message).
[[noreturn]] void raise_value_error(py::handle message);

}  // namespace terrava
