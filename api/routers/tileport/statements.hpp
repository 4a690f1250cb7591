// The SQLAlchemy statement objects of the module's SQL texts.
#pragma once

#include <pybind11/pybind11.h>

namespace tileport {
namespace py = pybind11;

// text(sql), made once per SQL text and then reused. A text clause is not
// changed by executing it, and SQLAlchemy finds its compiled form by the
// clause's cache key, which the clause works out once: a statement sent
// again and again is neither parsed for its bind parameters nor keyed anew
// each time. `text` is the module's global, looked up at every call; a
// clause made by an earlier `text` is not reused once it has been replaced.
// The texts are the module's own (per layer, zoom and variant), so their
// number is bounded; past a few hundred the store starts over.
py::object sql_text(py::handle sql);

}  // namespace tileport
