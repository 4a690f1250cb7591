// The object layout of native coroutines and async generators, and what the
// cyclic garbage collector sees of it.
//
// tp_traverse visits the function's names, the asyncio finalizer of an async
// generator and, while the frame lives, its Args parameter and the iterator
// it is waiting on. Values in flight between a step and the frame (resume
// value, resume error, yielded value, result) are never held across a
// suspension and are not visited. tp_clear destroys the frame, which releases
// everything the C++ locals hold too.
#include "frame.hpp"
// after Python.h, which it needs
#include <structmember.h>

namespace terrava::detail {

py::object new_frame_object(PyTypeObject* type, Frame frame, Names names) {
  FrameObject* o = PyObject_GC_New(FrameObject, type);
  if (!o) {
    frame.destroy();
    throw py::error_already_set();
  }
  o->frame = frame;
  o->names = new Names(std::move(names));
  o->weakrefs = nullptr;
  o->finalizer = nullptr;
  o->hooks_inited = false;
  o->running_async = false;
  o->closed = false;
  PyObject_GC_Track(o);
  return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(o));
}

int traverse_frame_object(PyObject* self, visitproc visit, void* arg) {
  FrameObject* o = as_frame(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(o->finalizer);
  if (o->names) {
    Py_VISIT(o->names->name.ptr());
    Py_VISIT(o->names->qualname.ptr());
    Py_VISIT(o->names->code.ptr());
  }
  if (!o->frame.finished()) {
    FramePromise& p = *o->frame.promise;
    Py_VISIT(p.delegate.ptr());
    if (p.args)
      for (const py::object& value : *p.args) Py_VISIT(value.ptr());
  }
  return 0;
}

int clear_frame_object(PyObject* self) {
  FrameObject* o = as_frame(self);
  if (!o->frame.running) o->frame.destroy();
  Py_CLEAR(o->finalizer);
  return 0;
}

namespace {

void free_frame_object(PyObject* self) {
  FrameObject* o = as_frame(self);
  PyObject_GC_UnTrack(self);
  {
    PendingError pending;
    if (o->weakrefs) PyObject_ClearWeakRefs(self);
    o->frame.destroy();
    Py_CLEAR(o->finalizer);
    delete std::exchange(o->names, nullptr);
  }
  PyTypeObject* tp = Py_TYPE(self);
  tp->tp_free(self);
  Py_DECREF(tp);  // instances of heap types own a reference to their type
}

}  // namespace

void dealloc_frame_object(PyObject* self) {
  PyObject_GC_UnTrack(self);
  if (as_frame(self)->weakrefs) PyObject_ClearWeakRefs(self);
  PyObject_GC_Track(self);
  // A finished frame has nothing left to report or close.
  if (!as_frame(self)->frame.finished() && PyObject_CallFinalizerFromDealloc(self) < 0)
    return;  // resurrected by the finalizer
  free_frame_object(self);
}

void close_unraisable(PyObject* self, bool is_gen) {
  try {
    if (!close_frame(as_frame(self)->frame, is_gen)) PyErr_WriteUnraisable(self);
  } catch (...) {
    set_python_error(std::current_exception());
    PyErr_WriteUnraisable(self);
  }
}

PyObject* get_name(PyObject* self, void*) { return as_frame(self)->names->name.inc_ref().ptr(); }
PyObject* get_qualname(PyObject* self, void*) {
  return as_frame(self)->names->qualname.inc_ref().ptr();
}
PyObject* get_code(PyObject* self, void*) { return as_frame(self)->names->code.inc_ref().ptr(); }
PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

PyMemberDef frame_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FrameObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyTypeObject* make_gc_type(const char* name, int basicsize, PyType_Slot* slots) {
  PyType_Spec spec{name, basicsize, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, slots};
  PyObject* t = PyType_FromSpec(&spec);
  if (!t) throw py::error_already_set();
  return reinterpret_cast<PyTypeObject*>(t);
}

void register_abc(const char* abc, PyTypeObject* type) {
  py::module_::import("collections.abc")
      .attr(abc)
      .attr("register")(py::handle(reinterpret_cast<PyObject*>(type)));
}

}  // namespace terrava::detail
