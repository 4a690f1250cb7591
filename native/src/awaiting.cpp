// Awaiting from C++: what `co_await` does with a Python awaitable, an async
// iterator step, another C++ coroutine, and `async with`.
#include "frame.hpp"

namespace terrava::detail {

py::object FramePromise::take_resume() {
  if (resume_error) {
    py::error_already_set error = std::move(*resume_error);
    resume_error.reset();
    // As in an except block, the exception object carries its traceback
    // while C++ holds it (error_already_set keeps it beside the object).
    if (error.trace() && PyException_SetTraceback(error.value().ptr(), error.trace().ptr()) != 0) {
      throw py::error_already_set();
    }
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

terrava::Outcome FramePromise::Attempted::await_resume() {
  using terrava::Outcome;
  if (refused) return Outcome{py::object(), std::move(refused)};
  try {
    return Outcome{d.await_resume(), std::nullopt};
  } catch (py::error_already_set& e) {
    return Outcome{py::object(), std::move(e)};
  }
}

namespace {

[[noreturn]] void awaited_already() {
  PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
  throw py::error_already_set();
}

}  // namespace

py::object awaitable_iter(py::handle o) {
  PyTypeObject* t = Py_TYPE(o.ptr());
  if (PyCoro_CheckExact(o.ptr())) {
    // A Python coroutine suspended in an await already has its awaiter.
    static PyObject* const cr_await =
        PyUnicode_InternFromString("cr_await");  // lives for the process
    py::object awaiting = py::reinterpret_steal<py::object>(PyObject_GetAttr(o.ptr(), cr_await));
    if (!awaiting) throw py::error_already_set();
    if (!awaiting.is_none()) awaited_already();
    return py::reinterpret_borrow<py::object>(o);
  }
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

py::object coroutine_object(Coro&& coro, const char* name) {
  auto h = coro.release();
  py::str text(name);
  return new_coroutine(Frame{h, &h.promise()}, Names{text, text, py::none()});
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

detail::AttemptTag attempt(Coro&& child) {
  return {detail::coroutine_object(std::move(child), "<native>"), {}};
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

// What __aexit__ is given for an error: (type, value, traceback or None).
py::tuple exit_args(const py::error_already_set& error) {
  py::object tb = error.trace() ? error.trace() : py::none();
  return py::make_tuple(error.type(), error.value(), tb);
}

}  // namespace

Coro async_with(py::object manager, BlockBody body) {
  // As `async with` does: both methods looked up on the type, before entering.
  py::object type = py::type::of(manager);
  py::object enter = type.attr("__aenter__"), exit = type.attr("__aexit__");
  py::object bound = co_await enter(manager);
  // The block runs as a coroutine of its own, so whatever leaves it, a C++
  // exception included, arrives here as the Python exception it maps to.
  Outcome block = co_await attempt(body(std::move(bound)));
  if (!block.error) {
    co_await exit(manager, py::none(), py::none(), py::none());
    co_return block.value;
  }
  py::object suppressed = co_await exit(manager, *exit_args(*block.error));
  if (!truthy(suppressed)) throw *block.error;
  co_return py::none();
}

}  // namespace terrava
