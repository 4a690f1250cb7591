// The plan templates: read from disk on every call (an edited template takes
// effect at once) and filled by plain text replacement.
#include "plansmith.hpp"

namespace plansmith {
namespace {

Coro read_text(Args a) {
  py::object os_path = global("os").attr("path");
  py::object path = os_path.attr("join")(global("project_root"), a[0]);
  co_return co_await terrava::async_with(
      global("aiofiles").attr("open")(path, "r", py::arg("encoding") = "utf-8"),
      [](py::object handle) -> Coro { co_return co_await handle.attr("read")(); });
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
