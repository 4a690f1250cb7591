// The deed plan: the plan of a parcel with its particulars and the caller's
// (district, file number, grantee, cadastral zone), as a one-page A4 PDF.
#include "plansmith.hpp"

namespace plansmith {
namespace {

constexpr const char* kPageCss =
    "\n        @page {\n            size: A4;\n            margin: 0;\n        }\n        ";

py::str upper(py::handle text) { return text.attr("upper")(); }

// The value of a record that may be None, as text; None prints as nothing.
py::str or_empty(py::handle value) { return value.is_none() ? py::str("") : text_form(value); }

}  // namespace

Coro generate_deedplan_html(Args a) {
  py::object self = a[0], plot_id = a[1], district = a[2], file_no = a[3], person_name = a[4],
             cadzone = a[5], bounding_box = a[6];
  py::object html = co_await read_template("templates/deedplan.html");
  // The sheet's styles and the legend of the picture, shared by both plans.
  py::object styles = co_await read_template("templates/plan.css");
  py::object legend = co_await read_template("templates/legend.html");

  Drawing drawing;
  py::object parcel = co_await draw_parcel(self, plot_id, bounding_box, drawing);
  if (parcel.is_none()) co_return py::none();
  OriginBeacon origin = origin_beacon(parcel);
  py::object address = parcel["address"];

  const Placeholders table{
      {"{{styles}}", text_form(styles)},
      {"{{legend}}", text_form(legend)},
      {"{{parcel_number}}", escaped(parcel["name"])},
      {"{{image}}", text_form(drawing.image)},
      {"{{width}}", escaped(drawing.width)},
      {"{{height}}", escaped(drawing.height)},
      {"{{district}}", escaped(upper(district))},
      {"{{cadzone}}", escaped(upper(cadzone))},
      {"{{file_no}}", escaped(upper(file_no))},
      {"{{person_name}}", escaped(upper(person_name))},
      {"{{date}}", issue_date()},
      {"{{tracing_no}}", escaped(or_empty(parcel["plan_layout_no"]))},
      {"{{beacon_number}}", escaped(origin.name)},
      {"{{beacon_longitude}}", escaped(origin.easting)},
      {"{{beacon_latitude}}", escaped(origin.northing)},
      {"{{surveyed_by}}", escaped(surveyed_by(parcel))},
      {"{{scale}}", escaped(drawing.scale)},
      {"{{address}}", escaped(truthy(address) ? upper(text_form(address)) : py::str(""))},
      {"{{surveyor_general}}", escaped(py::str(kSurveyorGeneral))},
      {"{{schedule_table}}", schedule_table(drawing.schedule)},
  };
  py::bytes pdf = render_pdf(fill(html, table), kPageCss);
  co_return global("io").attr("BytesIO")(pdf);
}

}  // namespace plansmith
