// The site plan: the plan of a parcel with its registry particulars, as a
// one-page A4 PDF handed to the host's response envelope as a named file.
#include <string>

#include "plansmith.hpp"

namespace plansmith {
namespace {

constexpr const char* kPageCss = "@page { size: A4; margin: 0; }";

}  // namespace

Coro generate_siteplan_html(Args a) {
  py::object self = a[0], plot_id = a[1], bounding_box = a[2];
  py::object html = co_await read_template("templates/siteplan.html");
  // The sheet's styles and the legend of the picture, shared by both plans.
  py::object styles = co_await read_template("templates/plan.css");
  py::object legend = co_await read_template("templates/legend.html");

  Drawing drawing;
  py::object parcel = co_await draw_parcel(self, plot_id, bounding_box, drawing);
  if (parcel.is_none()) co_return py::none();
  OriginBeacon origin = origin_beacon(parcel);
  // A parcel without a file number shows none, not the word None.
  py::object file_no = parcel.attr("get")("file_no", py::str(""));
  if (file_no.is_none()) file_no = py::str("");

  const Placeholders table{
      {"{{styles}}", text_form(styles)},
      {"{{legend}}", text_form(legend)},
      {"{{file_no}}", escaped(file_no)},
      {"{{image}}", text_form(drawing.image)},
      {"{{width}}", escaped(drawing.width)},
      {"{{height}}", escaped(drawing.height)},
      {"{{scale}}", escaped(drawing.scale)},
      {"{{parcel_number}}", escaped(parcel["name"])},
      {"{{date}}", issue_date()},
      {"{{beacon_number}}", escaped(origin.name)},
      {"{{beacon_longitude}}", escaped(origin.easting)},
      {"{{beacon_latitude}}", escaped(origin.northing)},
      {"{{surveyor_general}}", escaped(py::str(kSurveyorGeneral))},
      {"{{surveyed_by}}", escaped(surveyed_by(parcel))},
      {"{{schedule_table}}", schedule_table(drawing.schedule)},
  };
  py::bytes pdf = render_pdf(fill(html, table), kPageCss);
  py::object stream = global("io").attr("BytesIO")(pdf);
  std::string filename = "SitePlan_" + text_form(plot_id).cast<std::string>() + ".pdf";
  co_return global("api_response")(py::arg("file") = stream, py::arg("filename") = filename);
}

}  // namespace plansmith
