// The plan document service: what it binds when it is loaded, where it finds
// its templates, and the PlanImageGenerator with its repositories.
#include <dlfcn.h>

#include <climits>
#include <cstdlib>
#include <string>
#include <terrava/bridge.hpp>

namespace {
using namespace terrava;

Globals globals;

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
  py::object repository = globals["AsyncBaseRepository"];
  self.attr("db") = db;
  self.attr("plot_repository") = repository(db, globals["PLOT"]);
  self.attr("beacon_repository") = repository(db, globals["BEACON"]);
  self.attr("boundary_repository") = repository(db, globals["BOUNDARY"]);
  self.attr("land_purpose_repository") = repository(db, globals["LandPurpose"]);
  self.attr("road_repository") = repository(db, globals["ROAD"]);
  return py::none();
}

void bind(py::module_& m, const char* name, py::object value) { m.attr(name) = std::move(value); }

py::object from(const char* module, const char* name) {
  return py::module_::import(module).attr(name);
}

}  // namespace

TERRAVA_MODULE(plansmith, m) {
  globals.attach(m);
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
  bind(m, "PlanImageGenerator", make_class(m, "PlanImageGenerator", members));
}
