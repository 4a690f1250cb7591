// Native coroutine and async generator objects.
//
// A Python object owns one C++ coroutine frame and drives it with the
// generator protocol. While the frame waits on a Python awaitable, that
// awaitable's iterator is the frame's `delegate` and every send, throw and
// close of the outer object goes to it first, exactly as `yield from` does;
// values it yields go straight up to the event loop. When the delegate
// finishes, its result (or its exception, the same object) resumes the frame.
#include <Python.h>
#include <structmember.h>

#include "objects.hpp"

namespace terrava::detail {
namespace {

// Keeps the pending Python error aside for its lifetime and puts it back
// after: destructors and finalisers must neither see nor clobber it.
class PendingError {
 public:
#if PY_VERSION_HEX >= 0x030C0000
  PendingError() : exc_(PyErr_GetRaisedException()) {}
  ~PendingError() { PyErr_SetRaisedException(exc_); }

 private:
  PyObject* exc_;
#else
  PendingError() { PyErr_Fetch(&type_, &value_, &tb_); }
  ~PendingError() { PyErr_Restore(type_, value_, tb_); }

 private:
  PyObject *type_, *value_, *tb_;
#endif
};

// ---------------------------------------------------------------------------
// Driving a frame

enum class Outcome {
  Suspended,  // the delegate yielded: hand the value to whoever drives us
  Yielded,    // async generator: the frame did co_yield
  Returned,   // the frame finished: value is its result
  Raised,     // the frame finished with the Python error now set
};

struct Step {
  Outcome what;
  py::object value;
};

// Value of a pending StopIteration (None when there is none); clears it.
PyObject* stop_value() {
  if (!PyErr_Occurred()) Py_RETURN_NONE;
  py::error_already_set stop;
  py::object value = stop.value().attr("value");
  return value.release().ptr();
}

// A PyIter_Send that also works before 3.10.
int send_into(PyObject* iter, PyObject* value, PyObject** result) {
#if PY_VERSION_HEX >= 0x030A0000
  return PyIter_Send(iter, value, result);
#else
  if (value == Py_None && PyIter_Check(iter)) {
    *result = Py_TYPE(iter)->tp_iternext(iter);
  } else {
    *result = PyObject_CallMethod(iter, "send", "O", value);
  }
  if (*result) return 1;
  if (!PyErr_Occurred() || PyErr_ExceptionMatches(PyExc_StopIteration)) {
    *result = stop_value();
    return 0;
  }
  return -1;
#endif
}

// Sets StopIteration carrying `value` (wrapped, so tuples and exceptions survive).
void set_stop(py::handle value) {
  PyObject* exc = PyObject_CallOneArg(PyExc_StopIteration, value.ptr());
  if (!exc) return;
  PyErr_SetObject(PyExc_StopIteration, exc);
  Py_DECREF(exc);
}

// Puts `error` back as the pending exception, with its traceback, without
// chaining it to whatever is being handled (as a generator's throw does).
void raise_again(const py::error_already_set& error) {
  py::error_already_set copy = error;
  copy.restore();
}

Step after_resume(Frame& f, bool is_gen);

Step resume(Frame& f, bool is_gen) {
  f.started = true;
  f.running = true;
  f.handle.resume();
  f.running = false;
  return after_resume(f, is_gen);
}

Step advance(Frame& f, py::handle value, bool is_gen);

Step after_resume(Frame& f, bool is_gen) {
  FramePromise& p = *f.promise;
  if (f.handle.done()) {
    std::exception_ptr error = p.error;
    py::object result = std::move(p.result);
    f.destroy();
    if (!error) return {Outcome::Returned, result ? result : py::none()};
    set_python_error(error);
    if (PyErr_ExceptionMatches(PyExc_StopIteration))
      replace_pending_error(PyExc_RuntimeError, is_gen ? "async generator raised StopIteration"
                                                       : "coroutine raised StopIteration");
    else if (is_gen && PyErr_ExceptionMatches(PyExc_StopAsyncIteration))
      replace_pending_error(PyExc_RuntimeError, "async generator raised StopAsyncIteration");
    return {Outcome::Raised, {}};
  }
  if (p.has_yielded) {
    p.has_yielded = false;
    return {Outcome::Yielded, std::move(p.yielded)};
  }
  // The frame is waiting on a new awaitable: start it.
  return advance(f, py::none(), is_gen);
}

// Sends `value` to the delegate (or into the frame when it has none).
Step advance(Frame& f, py::handle value, bool is_gen) {
  FramePromise& p = *f.promise;
  if (p.delegate) {
    PyObject* result = nullptr;
    f.running = true;
    int status = send_into(p.delegate.ptr(), value.ptr(), &result);
    f.running = false;
    if (status == 1) return {Outcome::Suspended, py::reinterpret_steal<py::object>(result)};
    p.delegate = py::object();
    if (status == 0)
      p.resume_value = py::reinterpret_steal<py::object>(result);
    else
      p.resume_error.emplace();
  } else if (f.started) {
    p.resume_value = py::reinterpret_borrow<py::object>(value);
  }
  return resume(f, is_gen);
}

// Calls iter.close() if it has one; false with the error set if it failed.
bool close_iter(py::handle iter) {
  PyObject* close = PyObject_GetAttrString(iter.ptr(), "close");
  if (!close) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    return true;
  }
  PyObject* r = PyObject_CallNoArgs(close);
  Py_DECREF(close);
  if (!r) return false;
  Py_DECREF(r);
  return true;
}

// Throws `error` in: into the delegate first, else into the frame.
Step throw_in(Frame& f, const py::error_already_set& error, bool is_gen) {
  if (f.finished()) {
    raise_again(error);
    return {Outcome::Raised, {}};
  }
  FramePromise& p = *f.promise;
  if (p.delegate) {
    py::object delegate = p.delegate;
    if (error.matches(PyExc_GeneratorExit)) {
      p.delegate = py::object();
      f.running = true;
      bool closed = close_iter(delegate);
      f.running = false;
      if (closed)
        p.resume_error = error;
      else
        p.resume_error.emplace();
      return resume(f, is_gen);
    }
    PyObject* method = PyObject_GetAttrString(delegate.ptr(), "throw");
    if (method) {
      py::object value = error.value();
      if (error.trace()) PyException_SetTraceback(value.ptr(), error.trace().ptr());
      f.running = true;
      PyObject* result = PyObject_CallOneArg(method, value.ptr());
      f.running = false;
      Py_DECREF(method);
      if (result) return {Outcome::Suspended, py::reinterpret_steal<py::object>(result)};
      p.delegate = py::object();
      if (PyErr_ExceptionMatches(PyExc_StopIteration))
        p.resume_value = py::reinterpret_steal<py::object>(stop_value());
      else
        p.resume_error.emplace();
      return resume(f, is_gen);
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
      p.delegate = py::object();
      p.resume_error.emplace();
      return resume(f, is_gen);
    }
    PyErr_Clear();
    p.delegate = py::object();
  }
  p.resume_error = error;
  return resume(f, is_gen);
}

// close(): GeneratorExit in, and the frame must finish. True on success.
bool close_frame(Frame& f, bool is_gen) {
  if (f.finished()) return true;
  if (!f.started) {
    f.destroy();
    return true;
  }
  PyErr_SetNone(PyExc_GeneratorExit);
  py::error_already_set exit;
  Step s = throw_in(f, exit, is_gen);
  switch (s.what) {
    case Outcome::Suspended:
    case Outcome::Yielded:
      f.destroy();
      PyErr_SetString(PyExc_RuntimeError, is_gen ? "async generator ignored GeneratorExit"
                                                 : "coroutine ignored GeneratorExit");
      return false;
    case Outcome::Returned:
      return true;
    case Outcome::Raised:
      if (PyErr_ExceptionMatches(PyExc_GeneratorExit) ||
          PyErr_ExceptionMatches(PyExc_StopIteration) ||
          (is_gen && PyErr_ExceptionMatches(PyExc_StopAsyncIteration))) {
        PyErr_Clear();
        return true;
      }
      return false;
  }
  return false;
}

// The exception given to throw(typ[, val[, tb]]), checked as CPython checks it.
std::optional<py::error_already_set> exception_from_args(PyObject* const* args, Py_ssize_t n,
                                                         const char* fname) {
  if (n < 1) {
    PyErr_Format(PyExc_TypeError, "%s expected at least 1 argument, got %zd", fname, n);
    return std::nullopt;
  }
  if (n > 3) {
    PyErr_Format(PyExc_TypeError, "%s expected at most 3 arguments, got %zd", fname, n);
    return std::nullopt;
  }
  PyObject* typ = args[0];
  PyObject* val = n > 1 ? args[1] : Py_None;
  PyObject* tb = n > 2 ? args[2] : Py_None;
  if (tb == Py_None) {
    tb = nullptr;
  } else if (!PyTraceBack_Check(tb)) {
    PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
    return std::nullopt;
  }
  if (PyExceptionClass_Check(typ)) {
    Py_INCREF(typ);
    Py_INCREF(val);
    Py_XINCREF(tb);
    PyErr_Restore(typ, val, tb);
    return py::error_already_set();  // normalises: typ(val) unless val is a typ instance
  }
  if (PyExceptionInstance_Check(typ)) {
    if (val != Py_None) {
      PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
      return std::nullopt;
    }
    if (!tb)
      tb = PyException_GetTraceback(typ);
    else
      Py_INCREF(tb);
    PyObject* cls = reinterpret_cast<PyObject*>(Py_TYPE(typ));
    Py_INCREF(cls);
    Py_INCREF(typ);
    PyErr_Restore(cls, typ, tb);
    return py::error_already_set();
  }
  PyErr_Format(PyExc_TypeError,
               "exceptions must be classes or instances deriving from BaseException, not %s",
               Py_TYPE(typ)->tp_name);
  return std::nullopt;
}

// ---------------------------------------------------------------------------
// Coroutine and async generator objects share one layout: a frame and the
// names of the function that made it.

struct FrameObject {
  PyObject_HEAD Frame frame;
  Names* names;
  PyObject* weakrefs;
};

FrameObject* as_frame(PyObject* self) { return reinterpret_cast<FrameObject*>(self); }

PyTypeObject* coroutine_type = nullptr;

PyObject* get_name(PyObject* self, void*) { return as_frame(self)->names->name.inc_ref().ptr(); }
PyObject* get_qualname(PyObject* self, void*) {
  return as_frame(self)->names->qualname.inc_ref().ptr();
}
PyObject* get_code(PyObject* self, void*) { return as_frame(self)->names->code.inc_ref().ptr(); }
PyObject* get_running(PyObject* self, void*) {
  return PyBool_FromLong(as_frame(self)->frame.running);
}
PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

PyMemberDef frame_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FrameObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

// A new object of `type` that owns `frame`.
py::object new_frame_object(PyTypeObject* type, Frame frame, Names names) {
  FrameObject* o = PyObject_New(FrameObject, type);
  if (!o) {
    frame.destroy();
    throw py::error_already_set();
  }
  o->frame = frame;
  o->names = new Names(std::move(names));
  o->weakrefs = nullptr;
  return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(o));
}

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

bool coro_check_usable(FrameObject* c) {
  if (c->frame.running) {
    PyErr_SetString(PyExc_ValueError, "coroutine already executing");
    return false;
  }
  if (c->frame.finished()) {
    PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
    return false;
  }
  return true;
}

PyObject* coro_send_impl(PyObject* self, PyObject* value, bool iternext) {
  FrameObject* c = as_frame(self);
  if (!coro_check_usable(c)) return nullptr;
  if (!c->frame.started && value != Py_None) {
    PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
    return nullptr;
  }
  try {
    return coro_result(advance(c->frame, value, false), iternext);
  } catch (...) {
    set_python_error(std::current_exception());
    return nullptr;
  }
}

PyObject* coro_send(PyObject* self, PyObject* value) { return coro_send_impl(self, value, false); }

#if PY_VERSION_HEX >= 0x030A0000
// am_send: PyIter_Send (asyncio's Task, an awaiting native frame) drives us
// without a StopIteration being raised at the end.
PySendResult coro_am_send(PyObject* self, PyObject* value, PyObject** result) {
  *result = nullptr;
  FrameObject* c = as_frame(self);
  if (!coro_check_usable(c)) return PYGEN_ERROR;
  if (!c->frame.started && value != Py_None) {
    PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
    return PYGEN_ERROR;
  }
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
PyObject* coro_iternext(PyObject* self) { return coro_send_impl(self, Py_None, true); }

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

PyObject* self_await(PyObject* self) {
  Py_INCREF(self);
  return self;
}

void coro_dealloc(PyObject* self) {
  FrameObject* c = as_frame(self);
  {
    PendingError pending;
    if (c->weakrefs) PyObject_ClearWeakRefs(self);
    if (!c->frame.started && !c->frame.finished()) {
      py::object qualname = c->names->qualname;
      if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%U' was never awaited",
                           qualname.ptr()) < 0)
        PyErr_WriteUnraisable(self);
    } else if (!c->frame.finished()) {
      try {
        if (!close_frame(c->frame, false)) PyErr_WriteUnraisable(self);
      } catch (...) {
        set_python_error(std::current_exception());
        PyErr_WriteUnraisable(self);
      }
    }
    c->frame.destroy();
    delete c->names;
  }
  PyTypeObject* tp = Py_TYPE(self);
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyObject* coro_repr(PyObject* self) {
  return PyUnicode_FromFormat("<coroutine object %U at %p>", as_frame(self)->names->qualname.ptr(),
                              self);
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

// ---------------------------------------------------------------------------
// Async generator object and the awaitables of its methods

enum class GenOpMode { Send, Throw, Close };

struct GenOpObject {
  PyObject_HEAD PyObject* gen;
  GenOpMode mode;
  int state;  // 0 not started, 1 iterating, 2 done
  PyObject* value;
  std::optional<py::error_already_set>* error;
};

PyTypeObject* asyncgen_type = nullptr;
PyTypeObject* genop_type = nullptr;

GenOpObject* as_op(PyObject* self) { return reinterpret_cast<GenOpObject*>(self); }

PyObject* new_op(PyObject* gen, GenOpMode mode, PyObject* value,
                 std::optional<py::error_already_set> error) {
  GenOpObject* op = PyObject_New(GenOpObject, genop_type);
  if (!op) return nullptr;
  Py_INCREF(gen);
  op->gen = gen;
  op->mode = mode;
  op->state = 0;
  Py_XINCREF(value);
  op->value = value;
  op->error = new std::optional<py::error_already_set>(std::move(error));
  return reinterpret_cast<PyObject*>(op);
}

// What a step of the generator means to the awaitable of anext/asend/athrow/aclose.
PyObject* op_result(GenOpObject* op, Step s, bool iternext) {
  if (s.what != Outcome::Suspended) op->state = 2;
  switch (s.what) {
    case Outcome::Suspended:
      return s.value.release().ptr();
    case Outcome::Yielded:
      if (op->mode == GenOpMode::Close) {
        PyErr_SetString(PyExc_RuntimeError, "async generator ignored GeneratorExit");
        return nullptr;
      }
      set_stop(s.value);
      return nullptr;
    case Outcome::Returned:
      if (op->mode == GenOpMode::Close) {
        if (!iternext) PyErr_SetNone(PyExc_StopIteration);
        return nullptr;
      }
      PyErr_SetNone(PyExc_StopAsyncIteration);
      return nullptr;
    case Outcome::Raised:
      if (op->mode == GenOpMode::Close && (PyErr_ExceptionMatches(PyExc_GeneratorExit) ||
                                           PyErr_ExceptionMatches(PyExc_StopAsyncIteration))) {
        PyErr_Clear();
        if (!iternext) PyErr_SetNone(PyExc_StopIteration);
      }
      return nullptr;
  }
  return nullptr;
}

PyObject* op_send_impl(PyObject* self, PyObject* value, bool iternext) {
  GenOpObject* op = as_op(self);
  Frame& f = as_frame(op->gen)->frame;
  if (op->state == 2) {
    PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited __anext__()/asend()");
    return nullptr;
  }
  if (f.running) {
    PyErr_SetString(PyExc_RuntimeError, "anext(): asynchronous generator is already running");
    return nullptr;
  }
  try {
    if (op->state == 1) return op_result(op, advance(f, value, true), iternext);
    op->state = 1;
    switch (op->mode) {
      case GenOpMode::Send:
        if (f.finished()) {
          op->state = 2;
          PyErr_SetNone(PyExc_StopAsyncIteration);
          return nullptr;
        }
        if (!f.started && op->value != Py_None) {
          op->state = 2;
          PyErr_SetString(PyExc_TypeError,
                          "can't send non-None value to a just-started async generator");
          return nullptr;
        }
        return op_result(op, advance(f, op->value, true), iternext);
      case GenOpMode::Throw:
        if (f.finished()) {
          op->state = 2;
          PyErr_SetNone(PyExc_StopAsyncIteration);
          return nullptr;
        }
        return op_result(op, throw_in(f, **op->error, true), iternext);
      case GenOpMode::Close: {
        if (f.finished() || !f.started) {
          f.destroy();
          return op_result(op, {Outcome::Returned, py::none()}, iternext);
        }
        PyErr_SetNone(PyExc_GeneratorExit);
        py::error_already_set exit;
        return op_result(op, throw_in(f, exit, true), iternext);
      }
    }
  } catch (...) {
    op->state = 2;
    set_python_error(std::current_exception());
  }
  return nullptr;
}

PyObject* op_send(PyObject* self, PyObject* value) { return op_send_impl(self, value, false); }
PyObject* op_iternext(PyObject* self) { return op_send_impl(self, Py_None, true); }

PyObject* op_throw(PyObject* self, PyObject* const* args, Py_ssize_t n) {
  GenOpObject* op = as_op(self);
  if (op->state == 2) {
    PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited __anext__()/asend()");
    return nullptr;
  }
  try {
    auto error = exception_from_args(args, n, "throw");
    if (!error) return nullptr;
    op->state = 1;
    return op_result(op, throw_in(as_frame(op->gen)->frame, *error, true), false);
  } catch (...) {
    op->state = 2;
    set_python_error(std::current_exception());
    return nullptr;
  }
}

PyObject* op_close(PyObject* self, PyObject*) {
  as_op(self)->state = 2;
  Py_RETURN_NONE;
}

void op_dealloc(PyObject* self) {
  GenOpObject* op = as_op(self);
  delete op->error;
  Py_XDECREF(op->value);
  Py_DECREF(op->gen);
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_Free(self);
  Py_DECREF(tp);
}

PyMethodDef op_methods[] = {
    {"send", op_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(op_throw)), METH_FASTCALL,
     nullptr},
    {"close", op_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

PyObject* gen_anext(PyObject* self) { return new_op(self, GenOpMode::Send, Py_None, std::nullopt); }
PyObject* gen_asend(PyObject* self, PyObject* value) {
  return new_op(self, GenOpMode::Send, value, std::nullopt);
}
PyObject* gen_athrow(PyObject* self, PyObject* const* args, Py_ssize_t n) {
  try {
    auto error = exception_from_args(args, n, "athrow");
    if (!error) return nullptr;
    return new_op(self, GenOpMode::Throw, nullptr, std::move(error));
  } catch (...) {
    set_python_error(std::current_exception());
    return nullptr;
  }
}
PyObject* gen_aclose(PyObject* self, PyObject*) {
  return new_op(self, GenOpMode::Close, nullptr, std::nullopt);
}

void gen_dealloc(PyObject* self) {
  FrameObject* g = as_frame(self);
  {
    PendingError pending;
    if (g->weakrefs) PyObject_ClearWeakRefs(self);
    // An unfinished generator cannot be awaited to its end from here; its
    // frame is destroyed, which releases everything it holds.
    g->frame.destroy();
    delete g->names;
  }
  PyTypeObject* tp = Py_TYPE(self);
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyObject* gen_repr(PyObject* self) {
  return PyUnicode_FromFormat("<async_generator object %U at %p>",
                              as_frame(self)->names->qualname.ptr(), self);
}

PyMethodDef gen_methods[] = {
    {"asend", gen_asend, METH_O, nullptr},
    {"athrow", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(gen_athrow)),
     METH_FASTCALL, nullptr},
    {"aclose", gen_aclose, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef gen_getset[] = {{"__name__", get_name, nullptr, nullptr, nullptr},
                            {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
                            {"ag_code", get_code, nullptr, nullptr, nullptr},
                            {"ag_running", get_running, nullptr, nullptr, nullptr},
                            {"ag_frame", get_none, nullptr, nullptr, nullptr},
                            {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyTypeObject* make_type(const char* name, int basicsize, PyType_Slot* slots) {
  PyType_Spec spec{name, basicsize, 0, Py_TPFLAGS_DEFAULT, slots};
  PyObject* t = PyType_FromSpec(&spec);
  if (!t) throw py::error_already_set();
  return reinterpret_cast<PyTypeObject*>(t);
}

void register_abc(const char* abc, PyTypeObject* type) {
  py::module_::import("collections.abc")
      .attr(abc)
      .attr("register")(py::handle(reinterpret_cast<PyObject*>(type)));
}

}  // namespace

void Frame::destroy() noexcept {
  if (!handle) return;
  std::coroutine_handle<> h = handle;
  handle = {};
  promise = nullptr;
  // Destructors of the frame may run Python code; keep a pending error aside.
  PendingError pending;
  h.destroy();
}

void replace_pending_error(PyObject* type, const char* message) {
  py::error_already_set cause;
  PyObject* exc = PyObject_CallFunction(type, "s", message);
  if (!exc) return;
  PyException_SetCause(exc, cause.value().inc_ref().ptr());
  PyException_SetContext(exc, cause.value().inc_ref().ptr());
  PyErr_SetObject(type, exc);
  Py_DECREF(exc);
}

py::object new_coroutine(Frame frame, Names names) {
  return new_frame_object(coroutine_type, frame, std::move(names));
}

py::object new_asyncgen(Frame frame, Names names) {
  return new_frame_object(asyncgen_type, frame, std::move(names));
}

void ready_coroutine_types() {
  if (coroutine_type) return;
  static PyType_Slot coro_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(coro_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(coro_repr)},
    {Py_tp_iternext, reinterpret_cast<void*>(coro_iternext)},
    {Py_am_await, reinterpret_cast<void*>(self_await)},
#if PY_VERSION_HEX >= 0x030A0000
    {Py_am_send, reinterpret_cast<void*>(coro_am_send)},
#endif
    {Py_tp_methods, coro_methods},
    {Py_tp_getset, coro_getset},
    {Py_tp_members, frame_members},
    {0, nullptr}
  };
  static PyType_Slot gen_slots[] = {{Py_tp_dealloc, reinterpret_cast<void*>(gen_dealloc)},
                                    {Py_tp_repr, reinterpret_cast<void*>(gen_repr)},
                                    {Py_am_aiter, reinterpret_cast<void*>(self_await)},
                                    {Py_am_anext, reinterpret_cast<void*>(gen_anext)},
                                    {Py_tp_methods, gen_methods},
                                    {Py_tp_getset, gen_getset},
                                    {Py_tp_members, frame_members},
                                    {0, nullptr}};
  static PyType_Slot op_slots[] = {{Py_tp_dealloc, reinterpret_cast<void*>(op_dealloc)},
                                   {Py_tp_iternext, reinterpret_cast<void*>(op_iternext)},
                                   {Py_am_await, reinterpret_cast<void*>(self_await)},
                                   {Py_tp_methods, op_methods},
                                   {0, nullptr}};
  coroutine_type = make_type("terrava.coroutine", sizeof(FrameObject), coro_slots);
  asyncgen_type = make_type("terrava.async_generator", sizeof(FrameObject), gen_slots);
  genop_type = make_type("terrava.async_generator_step", sizeof(GenOpObject), op_slots);
  register_abc("Coroutine", coroutine_type);
  register_abc("AsyncGenerator", asyncgen_type);
}

// ---------------------------------------------------------------------------
// Awaiting from C++

py::object FramePromise::take_resume() {
  if (resume_error) {
    py::error_already_set error = std::move(*resume_error);
    resume_error.reset();
    throw error;
  }
  return std::move(resume_value);
}

std::optional<py::object> FramePromise::NextItem::await_resume() {
  if (d.p.resume_error && d.p.resume_error->matches(PyExc_StopAsyncIteration)) {
    d.p.resume_error.reset();
    return std::nullopt;
  }
  return d.p.take_resume();
}

py::object awaitable_iter(py::handle o) {
  PyTypeObject* t = Py_TYPE(o.ptr());
  if (PyCoro_CheckExact(o.ptr())) return py::reinterpret_borrow<py::object>(o);
  if (PyGen_CheckExact(o.ptr())) {
    // A generator-based coroutine (types.coroutine) is its own iterator.
    long flags = o.attr("gi_code").attr("co_flags").cast<long>();
    if (flags & CO_ITERABLE_COROUTINE) return py::reinterpret_borrow<py::object>(o);
  }
  if (t->tp_as_async && t->tp_as_async->am_await) {
    PyObject* it = t->tp_as_async->am_await(o.ptr());
    if (!it) throw py::error_already_set();
    auto iter = py::reinterpret_steal<py::object>(it);
    if (PyCoro_CheckExact(it)) {
      PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
      throw py::error_already_set();
    }
    if (!PyIter_Check(it)) {
      PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'",
                   Py_TYPE(it)->tp_name);
      throw py::error_already_set();
    }
    return iter;
  }
  PyErr_Format(PyExc_TypeError, "object %.100s can't be used in 'await' expression", t->tp_name);
  throw py::error_already_set();
}

}  // namespace terrava::detail

namespace terrava {

detail::AnextTag anext(py::handle it) {
  PyTypeObject* t = Py_TYPE(it.ptr());
  if (!t->tp_as_async || !t->tp_as_async->am_anext) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object is not an async iterator", t->tp_name);
    throw py::error_already_set();
  }
  PyObject* aw = t->tp_as_async->am_anext(it.ptr());
  if (!aw) throw py::error_already_set();
  return detail::AnextTag{py::reinterpret_steal<py::object>(aw)};
}

py::object aiter(py::handle iterable) {
  PyTypeObject* t = Py_TYPE(iterable.ptr());
  if (!t->tp_as_async || !t->tp_as_async->am_aiter) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object is not an async iterable", t->tp_name);
    throw py::error_already_set();
  }
  PyObject* it = t->tp_as_async->am_aiter(iterable.ptr());
  if (!it) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(it);
}

namespace {

// __aexit__ for how the block ended; the block's error goes on unless suppressed.
Coro exit_block(Args a, std::optional<py::error_already_set> error) {
  if (!error) {
    co_await a[0](py::none(), py::none(), py::none());
    co_return py::none();
  }
  py::object suppressed = co_await a[0](error->type(), error->value(), error->trace());
  if (!truthy(suppressed)) throw *error;
  co_return py::none();
}

}  // namespace

AsyncWith::AsyncWith(py::handle manager)
    : manager_(py::reinterpret_borrow<py::object>(manager)), exit_(manager.attr("__aexit__")) {}

py::object AsyncWith::enter() { return manager_.attr("__aenter__")(); }

py::object AsyncWith::exit(std::optional<py::error_already_set> error) {
  detail::ready_coroutine_types();
  auto h = exit_block(Args{exit_}, std::move(error)).release();
  py::str name("__aexit__");
  return detail::new_coroutine(detail::Frame{h, &h.promise()},
                               detail::Names{name, name, py::none()});
}

}  // namespace terrava
