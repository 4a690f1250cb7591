#include "binding.hpp"

#include <string>

namespace terrava::detail {
namespace {

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'" as CPython lists missing names.
std::string join_names(const std::vector<std::string>& names) {
  const size_t n = names.size();
  if (n == 1) return names[0];
  if (n == 2) return names[0] + " and " + names[1];
  std::string text;
  for (size_t i = 0; i + 3 < n; ++i) text += names[i] + ", ";
  return text + names[n - 3] + ", " + names[n - 2] + ", and " + names[n - 1];
}

std::string quoted(const py::object& name) { return "'" + name.cast<std::string>() + "'"; }

void set_type_error(const std::string& text) { PyErr_SetString(PyExc_TypeError, text.c_str()); }

std::string qual(const ParamTable& t) { return t.qualname.cast<std::string>(); }

bool missing(const ParamTable& t, const Args& out, size_t begin, size_t end, const char* kind) {
  std::vector<std::string> names;
  for (size_t i = begin; i < end; ++i)
    if (!out[i] && !t.defaults[i]) names.push_back(quoted(t.names[i]));
  if (names.empty()) return true;
  set_type_error(qual(t) + "() missing " + std::to_string(names.size()) + " required " + kind +
                 " argument" + (names.size() == 1 ? "" : "s") + ": " + join_names(names));
  return false;
}

void too_many_positional(const ParamTable& t, const Args& out, size_t given) {
  size_t kwonly_given = 0;
  for (size_t i = t.positional; i < out.size(); ++i) kwonly_given += out[i] ? 1 : 0;
  std::string sig;
  bool plural;
  if (t.positional_defaults) {
    sig = "from " + std::to_string(t.positional - t.positional_defaults) + " to " +
          std::to_string(t.positional);
    plural = true;
  } else {
    sig = std::to_string(t.positional);
    plural = t.positional != 1;
  }
  std::string kwonly_sig;
  if (kwonly_given)
    kwonly_sig = std::string(" positional argument") + (given != 1 ? "s" : "") + " (and " +
                 std::to_string(kwonly_given) + " keyword-only argument" +
                 (kwonly_given != 1 ? "s" : "") + ")";
  set_type_error(qual(t) + "() takes " + sig + " positional argument" + (plural ? "s" : "") +
                 " but " + std::to_string(given) + kwonly_sig + " " +
                 (given == 1 && !kwonly_given ? "was" : "were") + " given");
}

// Index of the parameter called `key`, or -1.
long find_param(const ParamTable& t, PyObject* key) {
  for (size_t j = 0; j < t.names.size(); ++j)
    if (t.names[j].ptr() == key) return static_cast<long>(j);
  for (size_t j = 0; j < t.names.size(); ++j) {
    int eq = PyObject_RichCompareBool(key, t.names[j].ptr(), Py_EQ);
    if (eq < 0) throw py::error_already_set();
    if (eq) return static_cast<long>(j);
  }
  return -1;
}

}  // namespace

bool bind_arguments(const ParamTable& t, PyObject* const* args, size_t nargs, PyObject* kwnames,
                    Args& out) {
  const size_t total = t.names.size();
  out.clear();
  out.resize(total);
  for (size_t i = 0; i < std::min(nargs, t.positional); ++i)
    out[i] = py::reinterpret_borrow<py::object>(args[i]);

  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    if (!PyUnicode_Check(key)) {
      set_type_error(qual(t) + "() keywords must be strings");
      return false;
    }
    long j = find_param(t, key);
    auto key_text = py::reinterpret_borrow<py::str>(key).cast<std::string>();
    if (j < 0) {
      set_type_error(qual(t) + "() got an unexpected keyword argument '" + key_text + "'");
      return false;
    }
    if (out[j]) {
      set_type_error(qual(t) + "() got multiple values for argument '" + key_text + "'");
      return false;
    }
    out[j] = py::reinterpret_borrow<py::object>(args[nargs + k]);
  }

  if (nargs > t.positional) {
    too_many_positional(t, out, nargs);
    return false;
  }
  if (!missing(t, out, 0, t.positional, "positional")) return false;
  if (!missing(t, out, t.positional, total, "keyword-only")) return false;
  for (size_t i = 0; i < total; ++i)
    if (!out[i]) out[i] = t.defaults[i];
  return true;
}

}  // namespace terrava::detail
