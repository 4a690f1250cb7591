// Small helpers for talking to the interpreter from the tile service: the
// module's own global names, text built the way Python formats it, integer
// conversion without overflow, HTTP errors and log lines.
#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>
#include <terrava/bridge.hpp>

namespace tileport {
namespace py = pybind11;
using terrava::truthy;

// Remembers the module's namespace; called once at the start of the import.
void bind_module_namespace(py::module_& module);

// A module-level name, looked up when the code runs (as a Python function looks
// up its globals). NameError when the module has no such name.
py::object global(const char* name);

// Binds `name` in the module namespace.
void set_global(const char* name, py::handle value);

// `from module import name`: the ImportError texts of the interpreter itself.
py::object import_from(const char* module, const char* name);

// Concatenation of str() of each part, as an f-string builds it. Works on the
// Python side throughout, so any text (including lone surrogates from a
// percent-decoded URL) passes through unchanged.
py::str concat(std::initializer_list<py::handle> parts);

// The value of a Python int as a long long, saturated at the type's bounds
// (a value beyond them lies outside every range the service checks). Anything
// but an int raises TypeError with the text of a failed comparison `op`.
long long saturated_int(py::handle value, const char* op);

// Raises fastapi.HTTPException(status_code=status, detail=detail).
[[noreturn]] void raise_http_exception(int status, py::handle detail);

// logger.<level>(message) on the module logger.
void log_info(py::handle message);
void log_warning(py::handle message);
void log_error(py::handle message);

}  // namespace tileport
