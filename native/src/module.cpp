// Module creation, errors and the small helpers every module uses.
#include <new>
#include <terrava/pyhelpers.hpp>

#include "objects.hpp"

namespace terrava {
namespace detail {
Globals& this_module();
}

void set_python_error(std::exception_ptr error) noexcept {
  try {
    std::rethrow_exception(error);
  } catch (py::error_already_set& e) {
    e.restore();
  } catch (py::builtin_exception& e) {
    e.set_error();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
  }
}

PyObject* init_module(const char* qualified_name, PyModuleDef* def,
                      void (*init)(py::module_&)) noexcept {
  try {
    py::detail::get_internals();
    PyObject* raw;
    {
      // create_extension_module hands back a borrowed view of the new
      // reference that this function returns.
      py::module_ m = py::module_::create_extension_module(qualified_name, nullptr, def);
      detail::ready_function_type();
      detail::ready_coroutine_types();
      detail::this_module().attach(m);
      try {
        init(m);
      } catch (...) {
        m.dec_ref();
        throw;
      }
      raw = m.ptr();
    }
    return raw;
  } catch (...) {
    set_python_error(std::current_exception());
    return nullptr;
  }
}

py::object make_class(py::handle module, const std::string& name, py::dict members,
                      std::optional<std::string> doc) {
  members["__module__"] = module.attr("__name__");
  members["__qualname__"] = py::str(name);
  members["__doc__"] = doc ? py::object(py::str(*doc)) : py::object(py::none());
  py::object type = py::module_::import("builtins").attr("type");
  py::object object = py::module_::import("builtins").attr("object");
  return type(py::str(name), py::make_tuple(object), members);
}

py::object builtin(const char* name) { return py::module_::import("builtins").attr(name); }

void Globals::set(const char* name, py::handle value) const {
  if (!dict_ || PyDict_SetItemString(dict_, name, value.ptr()) != 0) throw py::error_already_set();
}

bool truthy(py::handle value) {
  if (!value) return false;
  int truth = PyObject_IsTrue(value.ptr());
  if (truth < 0) throw py::error_already_set();
  return truth == 1;
}

py::object Globals::operator[](const char* name) const {
  PyObject* value = dict_ ? PyDict_GetItemString(dict_, name) : nullptr;
  if (!value) {
    PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    throw py::error_already_set();
  }
  return py::reinterpret_borrow<py::object>(value);
}

}  // namespace terrava
