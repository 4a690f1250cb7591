// The filled page as PDF. WeasyPrint fetches what the page refers to through
// its URL fetcher; this one allows data: URLs only (the plan picture), so no
// text that reached the page can make the renderer read a local file or go
// out to the network.
#include "plansmith.hpp"

namespace plansmith {

using namespace pybind11::literals;

namespace {

// WeasyPrint makes a fresh font configuration (a fontconfig set-up and a Pango
// font map) for each document it is not given one for, and about 0.2 MiB of
// each is never handed back: a worker printing plans all day grows without
// end. One configuration, made on first use, serves every plan; the pages'
// styles declare no @font-face, so nothing piles up in it.
py::object font_configuration() {
  static PyObject* const config =
      import_from("weasyprint.text.fonts", "FontConfiguration")().release().ptr();
  return py::reinterpret_borrow<py::object>(config);
}

// urllib.parse keeps the last 128 URLs it split, and WeasyPrint splits the
// plan picture's data: URL (some 300 KB) while fetching it: left alone, the
// cache holds the pictures of the last plans, 60 MiB and more.
void forget_split_urls() {
  // None where urlsplit keeps no cache.
  static PyObject* const clear =
      py::getattr(import_from("urllib.parse", "urlsplit"), "cache_clear", py::none())
          .release()
          .ptr();
  if (clear != Py_None) py::handle{clear}();
}

}  // namespace

py::bytes render_pdf(py::handle html, const char* page_css) {
  // weasyprint.urls.URLFetcher, imported once and kept for the process.
  static PyObject* const fetcher_type =
      import_from("weasyprint.urls", "URLFetcher").release().ptr();
  py::object fetcher = py::reinterpret_borrow<py::object>(fetcher_type)("allowed_protocols"_a =
                                                                            py::make_tuple("data"));
  py::object fonts = font_configuration();
  py::object css =
      global("CSS")("string"_a = page_css, "url_fetcher"_a = fetcher, "font_config"_a = fonts);
  py::object document = global("HTML")("string"_a = html, "url_fetcher"_a = fetcher);
  py::bytes pdf = document.attr("write_pdf")("stylesheets"_a = py::list(py::make_tuple(css)),
                                             "font_config"_a = fonts);
  forget_split_urls();
  return pdf;
}

}  // namespace plansmith
