// Native function objects.
//
// Python code, inspect and FastAPI see these as functions: they carry a real
// inspect.Signature, a code object whose flags say coroutine or async
// generator, __defaults__/__kwdefaults__/__annotations__, a __dict__, and they
// bind as methods through __get__. Calls go through vectorcall and bind their
// arguments as CPython binds them.
#include <Python.h>
#include <structmember.h>

#include "binding.hpp"
#include "objects.hpp"

namespace terrava {
namespace detail {
namespace {

enum class FunctionKind { Sync, Coroutine, AsyncGen };

struct FunctionState {
  FunctionKind kind;
  ParamTable table;
  py::object name, qualname, module, doc, code, signature, defaults, kwdefaults, annotations;
  SyncBody sync;
  CoroBody coro;
  GenBody gen;
};

struct FunctionObject {
  PyObject_HEAD vectorcallfunc vectorcall;
  FunctionState* state;
  PyObject* dict;
  PyObject* weakrefs;
};

PyTypeObject* function_type = nullptr;

FunctionObject* as_fn(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }

PyObject* call_body(FunctionState& st, Args& args) {
  switch (st.kind) {
    case FunctionKind::Sync:
      return st.sync(args).release().ptr();
    case FunctionKind::Coroutine: {
      auto h = st.coro(std::move(args)).release();
      Frame frame{h, &h.promise()};
      return new_coroutine(frame, Names{st.name, st.qualname, st.code}).release().ptr();
    }
    case FunctionKind::AsyncGen: {
      auto h = st.gen(std::move(args)).release();
      Frame frame{h, &h.promise()};
      return new_asyncgen(frame, Names{st.name, st.qualname, st.code}).release().ptr();
    }
  }
  return nullptr;
}

PyObject* fn_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  FunctionState& st = *as_fn(self)->state;
  try {
    Args bound;
    if (!bind_arguments(st.table, args, PyVectorcall_NARGS(nargsf), kwnames, bound)) return nullptr;
    PyObject* result = call_body(st, bound);
    if (!result && !PyErr_Occurred())
      PyErr_SetString(PyExc_SystemError, "native function returned no value");
    return result;
  } catch (...) {
    set_python_error(std::current_exception());
    return nullptr;
  }
}

PyObject* fn_descr_get(PyObject* self, PyObject* obj, PyObject*) {
  if (obj == nullptr || obj == Py_None) {
    Py_INCREF(self);
    return self;
  }
  return PyMethod_New(self, obj);
}

int fn_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(as_fn(self)->dict);
  Py_VISIT(Py_TYPE(self));
  return 0;
}

int fn_clear(PyObject* self) {
  Py_CLEAR(as_fn(self)->dict);
  return 0;
}

void fn_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  FunctionObject* f = as_fn(self);
  if (f->weakrefs) PyObject_ClearWeakRefs(self);
  Py_CLEAR(f->dict);
  delete f->state;
  PyTypeObject* tp = Py_TYPE(self);
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyObject* fn_repr(PyObject* self) {
  return PyUnicode_FromFormat("<function %U at %p>", as_fn(self)->state->qualname.ptr(), self);
}

// Getters and setters of the function attributes.
template <py::object FunctionState::*Member>
PyObject* get_attr(PyObject* self, void*) {
  return (as_fn(self)->state->*Member).inc_ref().ptr();
}

template <py::object FunctionState::*Member>
int set_attr(PyObject* self, PyObject* value, void*) {
  if (!value) {
    PyErr_SetString(PyExc_TypeError, "function attributes cannot be deleted");
    return -1;
  }
  as_fn(self)->state->*Member = py::reinterpret_borrow<py::object>(value);
  return 0;
}

template <py::object FunctionState::*Member>
int set_str_attr(PyObject* self, PyObject* value, void* closure) {
  if (value && !PyUnicode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "attribute value must be a string object");
    return -1;
  }
  return set_attr<Member>(self, value, closure);
}

PyGetSetDef fn_getset[] = {
    {"__name__", get_attr<&FunctionState::name>, set_str_attr<&FunctionState::name>, nullptr,
     nullptr},
    {"__qualname__", get_attr<&FunctionState::qualname>, set_str_attr<&FunctionState::qualname>,
     nullptr, nullptr},
    {"__module__", get_attr<&FunctionState::module>, set_attr<&FunctionState::module>, nullptr,
     nullptr},
    {"__doc__", get_attr<&FunctionState::doc>, set_attr<&FunctionState::doc>, nullptr, nullptr},
    {"__code__", get_attr<&FunctionState::code>, nullptr, nullptr, nullptr},
    {"__signature__", get_attr<&FunctionState::signature>, nullptr, nullptr, nullptr},
    {"__defaults__", get_attr<&FunctionState::defaults>, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_attr<&FunctionState::kwdefaults>, nullptr, nullptr, nullptr},
    {"__annotations__", get_attr<&FunctionState::annotations>, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMemberDef fn_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

// co_flags of the code object, as the compiler would set them.
constexpr long kOptimized = 0x1, kNewLocals = 0x2;

py::object make_code(const std::string& file, const FunctionState& st) {
  long flags = kOptimized | kNewLocals;
  if (st.kind == FunctionKind::Coroutine) flags |= CO_COROUTINE;
  if (st.kind == FunctionKind::AsyncGen) flags |= CO_ASYNC_GENERATOR;
  PyCodeObject* raw = PyCode_NewEmpty(file.c_str(), st.name.cast<std::string>().c_str(), 1);
  if (!raw) throw py::error_already_set();
  auto code = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(raw));
  py::dict changes;
  changes["co_flags"] = flags;
  return code.attr("replace")(**changes);
}

py::object make_signature(const FunctionSpec& spec) {
  py::module_ inspect = py::module_::import("inspect");
  py::object parameter = inspect.attr("Parameter");
  py::object empty = parameter.attr("empty");
  py::list params;
  for (const Param& p : spec.params) {
    py::dict kw;
    kw["default"] = p.default_value ? p.default_value : empty;
    kw["annotation"] = p.annotation ? p.annotation : empty;
    py::object kind = parameter.attr(p.keyword_only ? "KEYWORD_ONLY" : "POSITIONAL_OR_KEYWORD");
    params.append(parameter(p.name, kind, **kw));
  }
  py::dict kw;
  kw["return_annotation"] = spec.return_annotation ? spec.return_annotation : empty;
  return inspect.attr("Signature")(params, **kw);
}

FunctionState* make_state(py::handle module, FunctionSpec& spec, FunctionKind kind) {
  auto st = std::make_unique<FunctionState>();
  st->kind = kind;
  st->name = py::str(spec.name);
  st->qualname = py::str(spec.qualname.empty() ? spec.name : spec.qualname);
  st->module = module.attr("__name__");
  st->doc = spec.doc ? py::object(py::str(*spec.doc)) : py::object(py::none());
  st->signature = make_signature(spec);

  ParamTable& t = st->table;
  t.qualname = st->qualname;
  py::tuple positional_defaults;
  py::list defaults;
  py::dict kwdefaults;
  py::dict annotations;
  for (const Param& p : spec.params) {
    PyObject* interned = PyUnicode_InternFromString(p.name.c_str());
    if (!interned) throw py::error_already_set();
    t.names.push_back(py::reinterpret_steal<py::object>(interned));
    t.defaults.push_back(p.default_value);
    if (!p.keyword_only) {
      ++t.positional;
      if (p.default_value) defaults.append(p.default_value);
    } else if (p.default_value) {
      kwdefaults[py::str(p.name)] = p.default_value;
    }
    if (p.annotation) annotations[py::str(p.name)] = p.annotation;
  }
  t.positional_defaults = py::len(defaults);
  if (spec.return_annotation) annotations["return"] = spec.return_annotation;
  st->defaults = t.positional_defaults ? py::object(py::tuple(defaults)) : py::none();
  st->kwdefaults = py::len(kwdefaults) ? py::object(kwdefaults) : py::none();
  st->annotations = annotations;
  st->code = make_code(st->module.cast<std::string>(), *st);
  return st.release();
}

py::object new_function(py::handle module, FunctionSpec& spec, FunctionKind kind, SyncBody sync,
                        CoroBody coro, GenBody gen) {
  ready_function_type();
  ready_coroutine_types();
  FunctionState* st = make_state(module, spec, kind);
  st->sync = std::move(sync);
  st->coro = std::move(coro);
  st->gen = std::move(gen);
  FunctionObject* f = PyObject_GC_New(FunctionObject, function_type);
  if (!f) {
    delete st;
    throw py::error_already_set();
  }
  f->vectorcall = fn_vectorcall;
  f->state = st;
  f->dict = nullptr;
  f->weakrefs = nullptr;
  PyObject_GC_Track(f);
  return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(f));
}

}  // namespace

void ready_function_type() {
  if (function_type) return;
  static PyType_Slot slots[] = {{Py_tp_dealloc, reinterpret_cast<void*>(fn_dealloc)},
                                {Py_tp_repr, reinterpret_cast<void*>(fn_repr)},
                                {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
                                {Py_tp_descr_get, reinterpret_cast<void*>(fn_descr_get)},
                                {Py_tp_traverse, reinterpret_cast<void*>(fn_traverse)},
                                {Py_tp_clear, reinterpret_cast<void*>(fn_clear)},
                                {Py_tp_getset, fn_getset},
                                {Py_tp_members, fn_members},
                                {0, nullptr}};
  static PyType_Spec spec{"terrava.function", sizeof(FunctionObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                              Py_TPFLAGS_METHOD_DESCRIPTOR,
                          slots};
  PyObject* t = PyType_FromSpec(&spec);
  if (!t) throw py::error_already_set();
  function_type = reinterpret_cast<PyTypeObject*>(t);
}

}  // namespace detail

py::object make_function(py::handle module, FunctionSpec spec, SyncBody body) {
  return detail::new_function(module, spec, detail::FunctionKind::Sync, std::move(body), {}, {});
}

py::object make_coroutine_function(py::handle module, FunctionSpec spec, CoroBody body) {
  return detail::new_function(module, spec, detail::FunctionKind::Coroutine, {}, std::move(body),
                              {});
}

py::object make_asyncgen_function(py::handle module, FunctionSpec spec, GenBody body) {
  return detail::new_function(module, spec, detail::FunctionKind::AsyncGen, {}, {},
                              std::move(body));
}

py::object def(py::module_& module, FunctionSpec spec, SyncBody body) {
  std::string name = spec.name;
  py::object f = make_function(module, std::move(spec), std::move(body));
  module.attr(name.c_str()) = f;
  return f;
}

py::object def_async(py::module_& module, FunctionSpec spec, CoroBody body) {
  std::string name = spec.name;
  py::object f = make_coroutine_function(module, std::move(spec), std::move(body));
  module.attr(name.c_str()) = f;
  return f;
}

}  // namespace terrava
