// The plan document service: what it binds when it is loaded, where it finds
// its templates, and the PlanImageGenerator with its repositories.
#include <dlfcn.h>

#include <climits>
#include <cstdlib>
#include <string>
#include <terrava/bridge.hpp>

#include "plansmith.hpp"

namespace {
using namespace terrava;

// Directory of the directory that holds this library (the application's
// root, beside which templates/ lives), unless TERRAVA_PROJECT_ROOT says
// otherwise.
std::string project_root() {
  if (const char* root = std::getenv("TERRAVA_PROJECT_ROOT"); root && *root) return root;
  Dl_info info{};
  if (!dladdr(reinterpret_cast<void*>(&project_root), &info) || !info.dli_fname)
    throw std::runtime_error("cannot locate the plansmith library on disk");
  char resolved[PATH_MAX];
  if (!realpath(info.dli_fname, resolved))
    throw std::runtime_error(std::string("cannot resolve ") + info.dli_fname);
  py::module_ path = py::module_::import("os").attr("path");
  py::object dir = path.attr("dirname")(path.attr("dirname")(py::str(resolved)));
  return dir.cast<std::string>();
}

// generate_plot from the host's helpers package, or from this package.
py::object bind_generate_plot() {
  try {
    return py::module_::import("helpers.plots").attr("generate_plot");
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_ImportError)) throw;
  }
  return py::module_::import("terrava.plots").attr("generate_plot");
}

py::object init_generator(Args& a) {
  py::object self = a[0], db = a[1];
  py::object repository = global("AsyncBaseRepository");
  self.attr("db") = db;
  self.attr("plot_repository") = repository(db, global("PLOT"));
  self.attr("beacon_repository") = repository(db, global("BEACON"));
  self.attr("boundary_repository") = repository(db, global("BOUNDARY"));
  self.attr("land_purpose_repository") = repository(db, global("LandPurpose"));
  self.attr("road_repository") = repository(db, global("ROAD"));
  return py::none();
}

// The four operations. The `int` and `str` parameters are checked when the
// operation is called, before its coroutine exists.
void define_operations(py::module_& m, py::dict& members) {
  py::object integer = builtin("int"), text = builtin("str"), none = py::none();
  auto method = [&](const char* name, std::vector<Param> params, CoroBody body) {
    params.insert(params.begin(), arg("self"));
    members[name] = make_coroutine_function(
        m, {name, std::string("PlanImageGenerator.") + name, std::nullopt, std::move(params)},
        std::move(body));
  };
  method("get_plot_with_nearby", {arg("db"), arg("plot_id", integer)}, [integer](Args a) {
    plansmith::require_exact("get_plot_with_nearby", "plot_id", a[2], integer);
    return plansmith::get_plot_with_nearby(std::move(a));
  });
  method("get_plot_details", {arg("plots"), arg("db")}, plansmith::get_plot_details);
  method("generate_deedplan_html",
         {arg("plot_id", integer), arg("district", text), arg("file_no", text),
          arg("person_name", text), arg("cadzone", text), arg("bounding_box", {}, none)},
         [integer, text](Args a) {
           const char* fn = "generate_deedplan_html";
           plansmith::require_exact(fn, "plot_id", a[1], integer);
           plansmith::require_exact(fn, "district", a[2], text);
           plansmith::require_exact(fn, "file_no", a[3], text);
           plansmith::require_exact(fn, "person_name", a[4], text);
           plansmith::require_exact(fn, "cadzone", a[5], text);
           return plansmith::generate_deedplan_html(std::move(a));
         });
  method("generate_siteplan_html", {arg("plot_id", integer), arg("bounding_box", {}, none)},
         [integer](Args a) {
           plansmith::require_exact("generate_siteplan_html", "plot_id", a[1], integer);
           return plansmith::generate_siteplan_html(std::move(a));
         });
}

void bind(py::module_& m, const char* name, py::object value) { m.attr(name) = std::move(value); }

py::object from(const char* module, const char* name) {
  return py::module_::import(module).attr(name);
}

}  // namespace

TERRAVA_MODULE(plansmith, m) {
  bind(m, "datetime", from("datetime", "datetime"));
  bind(m, "io", py::module_::import("io"));
  bind(m, "template", py::module_::import("tempfile"));
  bind(m, "aiofiles", py::module_::import("aiofiles"));
  bind(m, "from_shape", from("geoalchemy2.shape", "from_shape"));
  bind(m, "to_shape", from("geoalchemy2.shape", "to_shape"));
  bind(m, "pdfkit", py::module_::import("pdfkit"));
  bind(m, "HTML", from("weasyprint", "HTML"));
  bind(m, "CSS", from("weasyprint", "CSS"));
  bind(m, "AsyncBaseRepository", from("repository.repository", "AsyncBaseRepository"));
  for (const char* model : {"PLOT", "BEACON", "BOUNDARY", "ROAD"})
    bind(m, model, from("models.gis_model", model));
  bind(m, "LandPurpose", from("models.landuse_model", "LandPurpose"));
  py::object async_session = from("sqlalchemy.ext.asyncio", "AsyncSession");
  bind(m, "AsyncSession", async_session);
  for (const char* fn : {"ST_Intersects", "ST_Buffer", "ST_DWithin", "ST_Distance"})
    bind(m, fn, from("geoalchemy2.functions", fn));
  bind(m, "generate_plot", bind_generate_plot());
  bind(m, "api_response", from("helpers.responses", "api_response"));
  bind(m, "api_router_response", from("helpers.responses", "api_router_response"));
  bind(m, "select", from("sqlalchemy.sql", "select"));
  bind(m, "os", py::module_::import("os"));
  bind(m, "format_date_html", from("helpers.utils", "format_date_html"));
  bind(m, "project_root", py::str(project_root()));

  py::dict members;
  members["__init__"] = make_function(m,
                                      {"__init__",
                                       "PlanImageGenerator.__init__",
                                       std::nullopt,
                                       {arg("self"), arg("db", async_session)}},
                                      init_generator);
  define_operations(m, members);
  plansmith::create_template_reader(m);
  bind(m, "PlanImageGenerator", make_class(m, "PlanImageGenerator", members));
}
