// Native coroutine objects: send/throw/close and __await__ over a C++ frame,
// finalised as CPython finalises its coroutines (a coroutine never awaited
// warns, a suspended one is closed), from tp_finalize while the object is
// still alive, so a warning turned into an error or a failed close is
// reported as unraisable instead of tearing down a dead object.
#include "frame.hpp"

namespace terrava::detail {
namespace {

PyTypeObject* coroutine_type = nullptr;

// Turns a step into what send()/__next__ return. `iternext` follows the
// tp_iternext convention of finishing with None by a bare NULL.
PyObject* coro_result(Step s, bool iternext) {
  switch (s.what) {
    case Outcome::Suspended:
      return s.value.release().ptr();
    case Outcome::Yielded:
      PyErr_SetString(PyExc_RuntimeError, "co_yield in a native coroutine");
      return nullptr;
    case Outcome::Returned:
      if (!(iternext && s.value.is_none())) set_stop(s.value);
      return nullptr;
    case Outcome::Raised:
      return nullptr;
  }
  return nullptr;
}

bool coro_check_usable(FrameObject* c, PyObject* value) {
  if (c->frame.running) {
    PyErr_SetString(PyExc_ValueError, "coroutine already executing");
    return false;
  }
  if (c->frame.finished()) {
    PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
    return false;
  }
  if (!c->frame.started && value != Py_None) {
    PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
    return false;
  }
  return true;
}

PyObject* coro_send_impl(PyObject* self, PyObject* value, bool iternext) {
  FrameObject* c = as_frame(self);
  if (!coro_check_usable(c, value)) return nullptr;
  try {
    return coro_result(advance(c->frame, value, false), iternext);
  } catch (...) {
    set_python_error(std::current_exception());
    return nullptr;
  }
}

PyObject* coro_send(PyObject* self, PyObject* value) { return coro_send_impl(self, value, false); }
PyObject* coro_iternext(PyObject* self) { return coro_send_impl(self, Py_None, true); }

#if PY_VERSION_HEX >= 0x030A0000
// am_send: PyIter_Send (asyncio's Task, an awaiting native frame) drives us
// without a StopIteration being raised at the end.
PySendResult coro_am_send(PyObject* self, PyObject* value, PyObject** result) {
  *result = nullptr;
  FrameObject* c = as_frame(self);
  if (!coro_check_usable(c, value)) return PYGEN_ERROR;
  try {
    Step s = advance(c->frame, value, false);
    switch (s.what) {
      case Outcome::Suspended:
        *result = s.value.release().ptr();
        return PYGEN_NEXT;
      case Outcome::Returned:
        *result = s.value.release().ptr();
        return PYGEN_RETURN;
      case Outcome::Yielded:
        PyErr_SetString(PyExc_RuntimeError, "co_yield in a native coroutine");
        return PYGEN_ERROR;
      case Outcome::Raised:
        return PYGEN_ERROR;
    }
  } catch (...) {
    set_python_error(std::current_exception());
  }
  return PYGEN_ERROR;
}
#endif

PyObject* coro_throw(PyObject* self, PyObject* const* args, Py_ssize_t n) {
  FrameObject* c = as_frame(self);
  if (c->frame.running) {
    PyErr_SetString(PyExc_ValueError, "coroutine already executing");
    return nullptr;
  }
  try {
    auto error = exception_from_args(args, n, "throw");
    if (!error) return nullptr;
    return coro_result(throw_in(c->frame, *error, false), false);
  } catch (...) {
    set_python_error(std::current_exception());
    return nullptr;
  }
}

PyObject* coro_close(PyObject* self, PyObject*) {
  FrameObject* c = as_frame(self);
  if (c->frame.running) {
    PyErr_SetString(PyExc_ValueError, "coroutine already executing");
    return nullptr;
  }
  try {
    if (!close_frame(c->frame, false)) return nullptr;
  } catch (...) {
    set_python_error(std::current_exception());
    return nullptr;
  }
  Py_RETURN_NONE;
}

// __await__: the coroutine is its own iterator, for one awaiter at a time.
PyObject* coro_await(PyObject* self) {
  if (native_coroutine_awaiting(self)) {
    PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
    return nullptr;
  }
  Py_INCREF(self);
  return self;
}

void coro_finalize(PyObject* self) {
  FrameObject* c = as_frame(self);
  if (c->frame.finished()) return;
  PendingError pending;
  if (!c->frame.started) {
    if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%U' was never awaited",
                         c->names->qualname.ptr()) < 0)
      PyErr_WriteUnraisable(self);
    return;
  }
  close_unraisable(self, false);
}

PyObject* coro_repr(PyObject* self) {
  return PyUnicode_FromFormat("<coroutine object %U at %p>", as_frame(self)->names->qualname.ptr(),
                              self);
}

PyObject* get_running(PyObject* self, void*) {
  return PyBool_FromLong(as_frame(self)->frame.running);
}

PyObject* get_await(PyObject* self, void*) {
  Frame& f = as_frame(self)->frame;
  if (f.finished() || !f.promise->delegate) Py_RETURN_NONE;
  return f.promise->delegate.inc_ref().ptr();
}

PyMethodDef coro_methods[] = {
    {"send", coro_send, METH_O,
     "send(arg) -> send 'arg' into coroutine,\nreturn next iterated value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(coro_throw)),
     METH_FASTCALL,
     "throw(value)\nthrow(type[,value[,traceback]])\n\nRaise exception in coroutine."},
    {"close", coro_close, METH_NOARGS, "close() -> raise GeneratorExit inside coroutine."},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef coro_getset[] = {{"__name__", get_name, nullptr, nullptr, nullptr},
                             {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
                             {"cr_code", get_code, nullptr, nullptr, nullptr},
                             {"cr_running", get_running, nullptr, nullptr, nullptr},
                             {"cr_await", get_await, nullptr, nullptr, nullptr},
                             {"cr_frame", get_none, nullptr, nullptr, nullptr},
                             {nullptr, nullptr, nullptr, nullptr, nullptr}};

}  // namespace

bool native_coroutine_awaiting(PyObject* obj) {
  if (Py_TYPE(obj) != coroutine_type) return false;
  const Frame& f = as_frame(obj)->frame;
  return !f.finished() && f.promise->delegate;
}

py::object new_coroutine(Frame frame, Names names) {
  return new_frame_object(coroutine_type, frame, std::move(names));
}

void ready_coroutine_types() {
  if (coroutine_type) return;
  static PyType_Slot coro_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_frame_object)},
    {Py_tp_finalize, reinterpret_cast<void*>(coro_finalize)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse_frame_object)},
    {Py_tp_clear, reinterpret_cast<void*>(clear_frame_object)},
    {Py_tp_repr, reinterpret_cast<void*>(coro_repr)},
    {Py_tp_iternext, reinterpret_cast<void*>(coro_iternext)},
    {Py_am_await, reinterpret_cast<void*>(coro_await)},
#if PY_VERSION_HEX >= 0x030A0000
    {Py_am_send, reinterpret_cast<void*>(coro_am_send)},
#endif
    {Py_tp_methods, coro_methods},
    {Py_tp_getset, coro_getset},
    {Py_tp_members, frame_members},
    {0, nullptr}
  };
  coroutine_type = make_gc_type("terrava.coroutine", sizeof(FrameObject), coro_slots);
  register_abc("Coroutine", coroutine_type);
  ready_asyncgen_types();
}

}  // namespace terrava::detail
