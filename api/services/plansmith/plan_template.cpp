// The plan templates: read from disk on every call (an edited template takes
// effect at once) and filled by plain text replacement.
#include <optional>

#include "plansmith.hpp"

namespace plansmith {
namespace {

Coro read_text(Args a) {
  py::object os_path = g["os"].attr("path");
  py::object path = os_path.attr("join")(g["project_root"], a[0]);
  terrava::AsyncWith file(g["aiofiles"].attr("open")(path, "r", py::arg("encoding") = "utf-8"));
  py::object handle = co_await file.enter();
  py::object content;
  std::optional<py::error_already_set> failure;
  try {
    content = co_await handle.attr("read")();
  } catch (py::error_already_set& e) {
    failure = std::move(e);
  }
  co_await file.exit(std::move(failure));
  co_return content;
}

// Kept for the life of the process, like the module that creates it.
PyObject* reader = nullptr;

}  // namespace

void create_template_reader(py::module_& module) {
  reader = terrava::make_coroutine_function(
               module, {"read_template", "", std::nullopt, {terrava::arg("name")}}, read_text)
               .release()
               .ptr();
}

py::object read_template(const char* name) {
  return py::reinterpret_borrow<py::object>(reader)(py::str(name));
}

py::str fill(py::str html, const Placeholders& table) {
  py::object text = std::move(html);
  for (const Placeholder& p : table) text = text.attr("replace")(p.key, p.value);
  return text;
}

}  // namespace plansmith
