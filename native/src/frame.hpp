// Driving a C++ coroutine frame with the generator protocol, and the object
// layout that coroutines and async generators share.
#pragma once

#include <Python.h>

#include "objects.hpp"

namespace terrava::detail {

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
  PendingError(const PendingError&) = delete;
  PendingError& operator=(const PendingError&) = delete;
};

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

// send(value): into the awaited iterator, else into the frame. Awaits that
// complete at once are run through in a loop, so the C stack does not grow
// with their number.
Step advance(Frame& f, py::handle value, bool is_gen);
// throw(error): into the awaited iterator first, else into the frame.
Step throw_in(Frame& f, const py::error_already_set& error, bool is_gen);
// close(): GeneratorExit in; the frame must finish. False with the error set
// when it did not ("ignored GeneratorExit") or raised something else.
bool close_frame(Frame& f, bool is_gen);

// The exception given to throw(typ[, val[, tb]]), checked as CPython checks
// it; nullopt with a TypeError set when the arguments are wrong.
std::optional<py::error_already_set> exception_from_args(PyObject* const* args, Py_ssize_t n,
                                                         const char* fname);

// Sets StopIteration carrying `value` (wrapped, so tuples and exceptions survive).
void set_stop(py::handle value);

// Coroutine and async generator objects share one layout: a frame, the names
// of the function that made it, and (async generators) the asyncio hooks.
struct FrameObject {
  PyObject_HEAD Frame frame;
  Names* names;
  PyObject* weakrefs;
  PyObject* finalizer;  // async generators: sys.get_asyncgen_hooks().finalizer
  bool hooks_inited;    // async generators: firstiter was called
  bool running_async;   // async generators: a step (anext/asend/athrow/aclose) is in progress
  bool closed;          // async generators: aclose() started or the frame finished
};

inline FrameObject* as_frame(PyObject* self) { return reinterpret_cast<FrameObject*>(self); }

// A new, collector-tracked object of `type` that owns `frame`.
py::object new_frame_object(PyTypeObject* type, Frame frame, Names names);
// tp_traverse / tp_clear / tp_dealloc of both types. The dealloc runs the
// type's finalizer (tp_finalize) first when the frame has not finished.
int traverse_frame_object(PyObject* self, visitproc visit, void* arg);
int clear_frame_object(PyObject* self);
void dealloc_frame_object(PyObject* self);

// The part of tp_finalize both types share: closes the unfinished frame
// (throwing GeneratorExit into it); what goes wrong is reported as
// unraisable on `self`.
void close_unraisable(PyObject* self, bool is_gen);

// Getters both types share.
PyObject* get_name(PyObject* self, void*);
PyObject* get_qualname(PyObject* self, void*);
PyObject* get_code(PyObject* self, void*);
PyObject* get_none(PyObject*, void*);
extern PyMemberDef frame_members[];

// A heap type from `slots`, collected by the cyclic collector.
PyTypeObject* make_gc_type(const char* name, int basicsize, PyType_Slot* slots);
void register_abc(const char* abc, PyTypeObject* type);

}  // namespace terrava::detail
