// The plan document service: parcel data from the registry, the deed plan and
// the site plan. Shared declarations of the files of this directory.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <terrava/bridge.hpp>
#include <terrava/pyhelpers.hpp>
#include <utility>
#include <vector>

namespace plansmith {
namespace py = pybind11;
using terrava::Args;
using terrava::Coro;
using terrava::equals;
using terrava::format;
using terrava::global;
using terrava::import_from;
using terrava::truthy;

// The signature line of both documents.
inline constexpr const char* kSurveyorGeneral = "SURV. TOLVEK .U.Mnis";

// ---- arguments.cpp
// TypeError unless `value` is exactly of `type` (no subclass, no None), naming
// the function, the parameter, the expected and the received type.
void require_exact(const char* function, const char* parameter, py::handle value, py::handle type);

// ---- text.cpp
// str(value): the text form Python prints.
py::str text_form(py::handle value);
// The text form escaped for HTML text and attribute values.
py::str escaped(py::handle value);

// ---- parcel_records.cpp
// The beacon entry of a boundary course and the beacon it starts at.
py::dict beacon_entry(py::handle beacon, py::handle course);
// The parcel record of a PLOT row, with its beacon entries.
py::dict parcel_record(py::handle plot, py::list boundary);
// The road entry of a ROAD row.
py::dict road_entry(py::handle road);

// ---- parcel_data.cpp
Coro get_plot_with_nearby(Args a);  // self, db, plot_id
Coro get_plot_details(Args a);      // self, plots, db

// ---- plan_template.cpp
// Creates the coroutine function behind read_template; once, at load.
void create_template_reader(py::module_& module);
// Awaitable giving the text of templates/<name> under the project root, read
// anew on every call.
py::object read_template(const char* name);

// One placeholder and what replaces it.
struct Placeholder {
  const char* key;
  py::str value;
};
using Placeholders = std::vector<Placeholder>;
// Replaces each placeholder in turn, every occurrence, in table order.
py::str fill(py::str html, const Placeholders& table);

// ---- plan_drawing.cpp
struct Drawing {
  py::object image, width, height, scale, schedule;
};
// Reads the neighbourhood of `plot_id` (get_plot_with_nearby on self.db),
// picks the parcel out of it and draws it with generate_plot (looked up in
// the module now) into `drawing`. Gives the parcel record, or None when the
// neighbourhood is empty or does not hold the parcel (one without geometry).
Coro draw_parcel(py::object self, py::object plot_id, py::object bounding_box, Drawing& drawing);

// First beacon of a parcel record as printed: name and the stored easting and
// northing with three decimals; all empty when the parcel has no beacons.
struct OriginBeacon {
  py::str name, easting, northing;
};
OriginBeacon origin_beacon(py::handle parcel);

// "surveyed_by" of the record, or the state's survey service when None.
py::object surveyed_by(py::handle parcel);

// "(" date of today ")" as the host formats it for plans.
py::str issue_date();

// ---- schedule_table.cpp
// The HTML table of the schedule rows (the empty text for no rows); the cell
// values are escaped.
py::str schedule_table(py::handle schedule);

// ---- pdf.cpp
// The page rendered by WeasyPrint with `page_css`, fetching data: URLs only.
py::bytes render_pdf(py::handle html, const char* page_css);

// ---- deed_plan.cpp, site_plan.cpp
Coro generate_deedplan_html(Args a);  // self, plot_id, district, file_no, person_name, cadzone,
                                      // bounding_box
Coro generate_siteplan_html(Args a);  // self, plot_id, bounding_box

}  // namespace plansmith
