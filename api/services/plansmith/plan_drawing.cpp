// What both documents take from the neighbourhood: the parcel, its picture,
// its origin beacon, who surveyed it and the date of issue.
#include "plansmith.hpp"

namespace plansmith {
namespace {

using namespace pybind11::literals;

constexpr int kMaxWidthMm = 190;
constexpr int kMaxHeightMm = 160;
constexpr const char* kIssuingAuthority = "VELMORA STATE GEOGRAPHIC INFORMATION SYSTEM SERVICE";

// `value` unpacked into exactly `n` items, as Python's unpacking assignment.
py::tuple unpack(py::handle value, size_t n) {
  py::tuple items = py::reinterpret_steal<py::tuple>(PySequence_Tuple(value.ptr()));
  if (!items) throw py::error_already_set();
  if (items.size() != n) {
    const char* how = items.size() < n ? "not enough" : "too many";
    throw py::value_error(std::string(how) + " values to unpack (expected " + std::to_string(n) +
                          ", got " + std::to_string(items.size()) + ")");
  }
  return items;
}

// The parcel record whose "id" equals plot_id, or None.
py::object find_parcel(py::handle plots, py::handle plot_id) {
  for (py::handle record : plots)
    if (equals(record["id"], plot_id)) return py::reinterpret_borrow<py::object>(record);
  return py::none();
}

Drawing draw_plan(py::handle plots, py::handle parcel, py::handle roads, py::handle bounding_box) {
  // The drawing sizes beacon names by their length: a name that is not text
  // (a number from the registry) is drawn as its text form.
  for (py::handle beacon : parcel["boundary"]) {
    py::object name = beacon.attr("get")("beacon_name");
    if (!name.is_none() && !py::isinstance<py::str>(name)) beacon["beacon_name"] = text_form(name);
  }
  py::object plot_id = parcel["id"];
  py::object result =
      global("generate_plot")(plots, plot_id, roads, "id", bounding_box,
                              "max_width_mm"_a = kMaxWidthMm, "max_height_mm"_a = kMaxHeightMm);
  py::tuple items = unpack(result, 4);
  py::tuple size = unpack(items[1], 2);
  return Drawing{items[0], size[0], size[1], items[2], items[3]};
}

}  // namespace

Coro draw_parcel(py::object self, py::object plot_id, py::object bounding_box, Drawing& drawing) {
  py::object neighbourhood =
      co_await self.attr("get_plot_with_nearby")(self.attr("db"), py::int_(plot_id));
  py::object plots = neighbourhood["plots"], roads = neighbourhood["roads"];
  if (py::len(plots) == 0) co_return py::none();
  py::object parcel = find_parcel(plots, plot_id);
  if (parcel.is_none()) co_return py::none();
  drawing = draw_plan(plots, parcel, roads, bounding_box);
  co_return parcel;
}

OriginBeacon origin_beacon(py::handle parcel) {
  py::object beacons = parcel["boundary"];
  if (py::len(beacons) == 0) return OriginBeacon{py::str(""), py::str(""), py::str("")};
  py::object first = beacons[py::int_(0)];
  return OriginBeacon{text_form(first["beacon_name"]), format(first["beacon_easting"], ".3f"),
                      format(first["beacon_northing"], ".3f")};
}

py::object surveyed_by(py::handle parcel) {
  py::object value = parcel["surveyed_by"];
  return value.is_none() ? py::str(kIssuingAuthority) : value;
}

py::str issue_date() {
  py::object today = global("datetime").attr("now")();
  return py::str("(" + text_form(global("format_date_html")(today)).cast<std::string>() + ")");
}

}  // namespace plansmith
