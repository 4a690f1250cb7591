// Native async generator objects and the awaitables of their steps
// (__anext__, asend, athrow, aclose), with the states CPython keeps for them:
// one step at a time ("asynchronous generator is already running"), closed
// once aclose() started or the frame finished, and asyncio's hooks
// (sys.set_asyncgen_hooks): firstiter on the first step, the finalizer when an
// unfinished generator is collected, so loop.shutdown_asyncgens() and the
// loop's own finaliser close it in a task.
#include "frame.hpp"

namespace terrava::detail {
namespace {

PyTypeObject* asyncgen_type = nullptr;
PyTypeObject* genop_type = nullptr;

// Calls firstiter once and remembers the finalizer, as CPython does before
// the first step of a generator.
bool init_hooks(FrameObject* g) {
  if (g->hooks_inited) return true;
  g->hooks_inited = true;
  try {
    py::object hooks = py::module_::import("sys").attr("get_asyncgen_hooks")();
    py::object firstiter = hooks.attr("firstiter"), finalizer = hooks.attr("finalizer");
    if (!finalizer.is_none()) g->finalizer = finalizer.release().ptr();
    if (!firstiter.is_none()) firstiter(py::handle(reinterpret_cast<PyObject*>(g)));
  } catch (...) {
    set_python_error(std::current_exception());
    return false;
  }
  return true;
}

enum class GenOpMode { Send, Throw, Close };
enum class OpState { Init, Iterating, Done };

struct GenOpObject {
  PyObject_HEAD PyObject* gen;
  GenOpMode mode;
  OpState state;
  PyObject* value;                              // asend: the value to send
  std::optional<py::error_already_set>* error;  // athrow: the exception to throw
};

GenOpObject* as_op(PyObject* self) { return reinterpret_cast<GenOpObject*>(self); }
FrameObject* gen_of(GenOpObject* op) { return as_frame(op->gen); }

PyObject* new_op(PyObject* gen, GenOpMode mode, PyObject* value,
                 std::optional<py::error_already_set> error) {
  if (!init_hooks(as_frame(gen))) return nullptr;
  GenOpObject* op = PyObject_GC_New(GenOpObject, genop_type);
  if (!op) return nullptr;
  Py_INCREF(gen);
  op->gen = gen;
  op->mode = mode;
  op->state = OpState::Init;
  Py_XINCREF(value);
  op->value = value;
  op->error = new std::optional<py::error_already_set>(std::move(error));
  PyObject_GC_Track(op);
  return reinterpret_cast<PyObject*>(op);
}

// The step is over: the generator may take the next one.
void end_step(GenOpObject* op) {
  if (op->state == OpState::Iterating) gen_of(op)->running_async = false;
  op->state = OpState::Done;
}

// What a step of the generator means to the awaitable of the operation.
PyObject* op_result(GenOpObject* op, Step s, bool iternext) {
  if (s.what == Outcome::Suspended) return s.value.release().ptr();
  end_step(op);
  FrameObject* g = gen_of(op);
  if (g->frame.finished()) g->closed = true;
  switch (s.what) {
    case Outcome::Suspended:
      break;
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

const char* reuse_text(GenOpMode mode) {
  return mode == GenOpMode::Send ? "cannot reuse already awaited __anext__()/asend()"
                                 : "cannot reuse already awaited aclose()/athrow()";
}

const char* running_text(GenOpMode mode) {
  switch (mode) {
    case GenOpMode::Send:
      return "anext(): asynchronous generator is already running";
    case GenOpMode::Throw:
      return "athrow(): asynchronous generator is already running";
    case GenOpMode::Close:
      return "aclose(): asynchronous generator is already running";
  }
  return "";
}

// Checks that the operation may take a step now; starts it when it is new.
bool op_may_step(GenOpObject* op) {
  FrameObject* g = gen_of(op);
  if (op->state == OpState::Done) {
    PyErr_SetString(PyExc_RuntimeError, reuse_text(op->mode));
    return false;
  }
  if (g->frame.running) {
    PyErr_SetString(PyExc_ValueError, "async generator already executing");
    return false;
  }
  if (op->state == OpState::Init) {
    if (g->running_async) {
      if (op->mode != GenOpMode::Send) op->state = OpState::Done;
      PyErr_SetString(PyExc_RuntimeError, running_text(op->mode));
      return false;
    }
    op->state = OpState::Iterating;
    g->running_async = true;
  }
  return true;
}

// The first step of the operation, by its kind.
PyObject* op_start(GenOpObject* op, PyObject* sent, bool iternext) {
  FrameObject* g = gen_of(op);
  Frame& f = g->frame;
  switch (op->mode) {
    case GenOpMode::Send:
      if (f.finished()) {
        end_step(op);
        PyErr_SetNone(PyExc_StopAsyncIteration);
        return nullptr;
      }
      if (sent == Py_None) sent = op->value;
      if (!f.started && sent != Py_None) {
        end_step(op);
        PyErr_SetString(PyExc_TypeError,
                        "can't send non-None value to a just-started async generator");
        return nullptr;
      }
      return op_result(op, advance(f, sent, true), iternext);
    case GenOpMode::Throw:
      if (f.finished()) {
        end_step(op);
        PyErr_SetNone(PyExc_StopAsyncIteration);
        return nullptr;
      }
      return op_result(op, throw_in(f, **op->error, true), iternext);
    case GenOpMode::Close: {
      g->closed = true;
      if (f.finished() || !f.started) {
        f.destroy();
        return op_result(op, {Outcome::Returned, py::none()}, iternext);
      }
      PyErr_SetNone(PyExc_GeneratorExit);
      py::error_already_set exit;
      return op_result(op, throw_in(f, exit, true), iternext);
    }
  }
  return nullptr;
}

PyObject* op_send_impl(PyObject* self, PyObject* value, bool iternext) {
  GenOpObject* op = as_op(self);
  bool first = op->state == OpState::Init;
  if (!op_may_step(op)) return nullptr;
  try {
    if (first) return op_start(op, value, iternext);
    return op_result(op, advance(gen_of(op)->frame, value, true), iternext);
  } catch (...) {
    end_step(op);
    set_python_error(std::current_exception());
  }
  return nullptr;
}

PyObject* op_send(PyObject* self, PyObject* value) { return op_send_impl(self, value, false); }
PyObject* op_iternext(PyObject* self) { return op_send_impl(self, Py_None, true); }

PyObject* op_throw(PyObject* self, PyObject* const* args, Py_ssize_t n) {
  GenOpObject* op = as_op(self);
  if (!op_may_step(op)) return nullptr;
  try {
    auto error = exception_from_args(args, n, "throw");
    if (!error) {
      end_step(op);
      return nullptr;
    }
    return op_result(op, throw_in(gen_of(op)->frame, *error, true), false);
  } catch (...) {
    end_step(op);
    set_python_error(std::current_exception());
    return nullptr;
  }
}

// Closing the awaitable abandons its step; the generator stays where it is
// and takes the next step.
PyObject* op_close(PyObject* self, PyObject*) {
  end_step(as_op(self));
  Py_RETURN_NONE;
}

int op_traverse(PyObject* self, visitproc visit, void* arg) {
  GenOpObject* op = as_op(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(op->gen);
  Py_VISIT(op->value);
  return 0;
}

void op_dealloc(PyObject* self) {
  GenOpObject* op = as_op(self);
  PyObject_GC_UnTrack(self);
  end_step(op);
  delete op->error;
  Py_XDECREF(op->value);
  Py_DECREF(op->gen);
  PyTypeObject* tp = Py_TYPE(self);
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyObject* self_iter(PyObject* self) {
  Py_INCREF(self);
  return self;
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

// An unfinished generator being collected: asyncio's finalizer closes it in a
// task (the generator lives on until then); without one, GeneratorExit is
// thrown in here, and a body that awaits while closing is reported.
void gen_finalize(PyObject* self) {
  FrameObject* g = as_frame(self);
  if (g->frame.finished()) return;
  PendingError pending;
  if (g->finalizer && !g->closed) {
    py::object finalizer = py::reinterpret_borrow<py::object>(g->finalizer);
    PyObject* r = PyObject_CallOneArg(finalizer.ptr(), self);
    if (!r)
      PyErr_WriteUnraisable(self);
    else
      Py_DECREF(r);
    return;
  }
  close_unraisable(self, true);
}

PyObject* gen_repr(PyObject* self) {
  return PyUnicode_FromFormat("<async_generator object %U at %p>",
                              as_frame(self)->names->qualname.ptr(), self);
}

PyObject* get_running_async(PyObject* self, void*) {
  return PyBool_FromLong(as_frame(self)->running_async);
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
                            {"ag_running", get_running_async, nullptr, nullptr, nullptr},
                            {"ag_frame", get_none, nullptr, nullptr, nullptr},
                            {nullptr, nullptr, nullptr, nullptr, nullptr}};

}  // namespace

py::object new_asyncgen(Frame frame, Names names) {
  return new_frame_object(asyncgen_type, frame, std::move(names));
}

void ready_asyncgen_types() {
  if (asyncgen_type) return;
  static PyType_Slot gen_slots[] = {
      {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_frame_object)},
      {Py_tp_finalize, reinterpret_cast<void*>(gen_finalize)},
      {Py_tp_traverse, reinterpret_cast<void*>(traverse_frame_object)},
      {Py_tp_clear, reinterpret_cast<void*>(clear_frame_object)},
      {Py_tp_repr, reinterpret_cast<void*>(gen_repr)},
      {Py_am_aiter, reinterpret_cast<void*>(self_iter)},
      {Py_am_anext, reinterpret_cast<void*>(gen_anext)},
      {Py_tp_methods, gen_methods},
      {Py_tp_getset, gen_getset},
      {Py_tp_members, frame_members},
      {0, nullptr}};
  static PyType_Slot op_slots[] = {{Py_tp_dealloc, reinterpret_cast<void*>(op_dealloc)},
                                   {Py_tp_traverse, reinterpret_cast<void*>(op_traverse)},
                                   {Py_tp_iternext, reinterpret_cast<void*>(op_iternext)},
                                   {Py_tp_iter, reinterpret_cast<void*>(self_iter)},
                                   {Py_am_await, reinterpret_cast<void*>(self_iter)},
                                   {Py_tp_methods, op_methods},
                                   {0, nullptr}};
  asyncgen_type = make_gc_type("terrava.async_generator", sizeof(FrameObject), gen_slots);
  genop_type = make_gc_type("terrava.async_generator_step", sizeof(GenOpObject), op_slots);
  register_abc("AsyncGenerator", asyncgen_type);
}

}  // namespace terrava::detail
