// Driving a C++ coroutine frame.
//
// While the frame waits on a Python awaitable, that awaitable's iterator is
// the frame's `delegate`, and every send, throw and close of the outer object
// goes to it first, exactly as `yield from` does; values it yields go
// straight up to the event loop. When the delegate finishes, its result (or
// its exception, the same object) resumes the frame. A delegate that finishes
// at its first step resumes the frame again in the same loop: the C stack
// stays flat however many awaits complete at once.
#include "frame.hpp"

namespace terrava::detail {
namespace {

// Value of a pending StopIteration (None when there is none); clears it.
py::object stop_value() {
  if (!PyErr_Occurred()) return py::none();
  py::error_already_set stop;
  return stop.value().attr("value");
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
    *result = stop_value().release().ptr();
    return 0;
  }
  return -1;
#endif
}

// Puts `error` back as the pending exception, with its traceback, without
// chaining it to whatever is being handled (as a generator's throw does).
void raise_again(const py::error_already_set& error) {
  py::error_already_set copy = error;
  copy.restore();
}

// Result of one step of the delegate: true when it suspended (`out` then holds
// what it yielded); otherwise its result or error is set to resume the frame.
bool delegate_step(Frame& f, int status, PyObject* result, Step& out) {
  FramePromise& p = *f.promise;
  if (status == 1) {
    out = {Outcome::Suspended, py::reinterpret_steal<py::object>(result)};
    return true;
  }
  p.delegate = py::object();
  if (status == 0)
    p.resume_value = py::reinterpret_steal<py::object>(result);
  else
    p.resume_error.emplace();
  return false;
}

bool send_delegate(Frame& f, PyObject* value, Step& out) {
  PyObject* result = nullptr;
  f.running = true;
  int status = send_into(f.promise->delegate.ptr(), value, &result);
  f.running = false;
  return delegate_step(f, status, result, out);
}

// The frame finished: its result, or its exception as the pending error.
Step finish(Frame& f, bool is_gen) {
  FramePromise& p = *f.promise;
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

// Resumes the frame until it suspends on an awaitable that yields, yields a
// value itself, or finishes.
Step run(Frame& f, bool is_gen) {
  for (;;) {
    FramePromise& p = *f.promise;
    f.started = true;
    f.running = true;
    f.handle.resume();
    f.running = false;
    if (f.handle.done()) return finish(f, is_gen);
    if (p.has_yielded) {
      p.has_yielded = false;
      return {Outcome::Yielded, std::move(p.yielded)};
    }
    // The frame waits on a new awaitable: its first step.
    Step out;
    if (send_delegate(f, Py_None, out)) return out;
  }
}

// Calls iter.close() if it has one; false with the error set if it failed.
bool close_iter(py::handle iter) {
  PyObject* close = PyObject_GetAttrString(iter.ptr(), "close");
  if (!close) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    return true;
  }
  py::object method = py::reinterpret_steal<py::object>(close);
  PyObject* r = PyObject_CallNoArgs(method.ptr());
  if (!r) return false;
  Py_DECREF(r);
  return true;
}

}  // namespace

Step advance(Frame& f, py::handle value, bool is_gen) {
  FramePromise& p = *f.promise;
  if (p.delegate) {
    Step out;
    if (send_delegate(f, value.ptr(), out)) return out;
  } else if (f.started) {
    p.resume_value = py::reinterpret_borrow<py::object>(value);
  }
  return run(f, is_gen);
}

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
      return run(f, is_gen);
    }
    PyObject* method = PyObject_GetAttrString(delegate.ptr(), "throw");
    if (method) {
      py::object throw_method = py::reinterpret_steal<py::object>(method);
      py::object value = error.value();
      if (error.trace()) PyException_SetTraceback(value.ptr(), error.trace().ptr());
      f.running = true;
      PyObject* result = PyObject_CallOneArg(throw_method.ptr(), value.ptr());
      f.running = false;
      if (result) return {Outcome::Suspended, py::reinterpret_steal<py::object>(result)};
      p.delegate = py::object();
      if (PyErr_ExceptionMatches(PyExc_StopIteration))
        p.resume_value = stop_value();
      else
        p.resume_error.emplace();
      return run(f, is_gen);
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
      p.delegate = py::object();
      p.resume_error.emplace();
      return run(f, is_gen);
    }
    PyErr_Clear();
    p.delegate = py::object();
  }
  p.resume_error = error;
  return run(f, is_gen);
}

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
  // PyErr_Restore steals the three references it is given.
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

void set_stop(py::handle value) {
  PyObject* exc = PyObject_CallOneArg(PyExc_StopIteration, value.ptr());
  if (!exc) return;
  py::object stop = py::reinterpret_steal<py::object>(exc);
  PyErr_SetObject(PyExc_StopIteration, stop.ptr());
}

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
  py::object replacement = py::reinterpret_steal<py::object>(exc);
  PyException_SetCause(exc, cause.value().inc_ref().ptr());    // steals
  PyException_SetContext(exc, cause.value().inc_ref().ptr());  // steals
  PyErr_SetObject(type, exc);
}

}  // namespace terrava::detail
