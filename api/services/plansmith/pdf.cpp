// The filled page as PDF. WeasyPrint fetches what the page refers to through
// its URL fetcher; this one allows data: URLs only (the plan picture), so no
// text that reached the page can make the renderer read a local file or go
// out to the network.
#include "plansmith.hpp"

namespace plansmith {

using namespace pybind11::literals;

py::bytes render_pdf(py::handle html, const char* page_css) {
  // weasyprint.urls.URLFetcher, imported once and kept for the process.
  static PyObject* fetcher_type =
      py::object(py::module_::import("weasyprint.urls").attr("URLFetcher")).release().ptr();
  py::object fetcher = py::reinterpret_borrow<py::object>(fetcher_type)("allowed_protocols"_a =
                                                                            py::make_tuple("data"));
  py::object css = global("CSS")("string"_a = page_css, "url_fetcher"_a = fetcher);
  py::object document = global("HTML")("string"_a = html, "url_fetcher"_a = fetcher);
  return document.attr("write_pdf")("stylesheets"_a = py::list(py::make_tuple(css)));
}

}  // namespace plansmith
