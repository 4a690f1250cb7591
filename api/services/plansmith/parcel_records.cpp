// Plain records of parcels, beacons and roads, built from the host's ORM rows.
#include "plansmith.hpp"

namespace plansmith {
namespace {

// The GeoJSON-like mapping of a stored geometry.
py::object geometry_mapping(py::handle stored) {
  return global("to_shape")(stored).attr("__geo_interface__");
}

// Whole degrees or minutes with at least two digits, then the sign: 07°, 05'.
py::str padded(py::handle value, const char* sign) {
  return py::str(format(value, "02d").cast<std::string>() + sign);
}

}  // namespace

py::dict beacon_entry(py::handle beacon, py::handle course) {
  py::str degrees = padded(course.attr("angledeg"), "°");
  py::str minutes = padded(course.attr("anglemin"), "'");
  py::dict entry;
  entry["beacon_id"] = beacon.attr("id");
  entry["beacon_name"] = beacon.attr("beacon_no");
  entry["beacon_northing"] = beacon.attr("northing");
  entry["beacon_easting"] = beacon.attr("easting");
  entry["geometry"] = geometry_mapping(beacon.attr("geometry"));
  entry["distance_to_next"] = course.attr("length");
  entry["bearing_to_next"] = py::str(degrees.cast<std::string>() + minutes.cast<std::string>());
  entry["bearing_deg_to_next"] = degrees;
  entry["bearing_min_to_next"] = minutes;
  return entry;
}

py::dict parcel_record(py::handle plot, py::list boundary) {
  py::object address = plot.attr("address");
  py::dict record;
  record["id"] = plot.attr("id");
  record["name"] = plot.attr("plot_no");
  record["area"] = plot.attr("area_system");
  record["file_no"] = plot.attr("file_no");
  record["geometry"] = geometry_mapping(plot.attr("geometry"));
  record["boundary"] = std::move(boundary);
  record["surveyed_by"] = plot.attr("surveyed_by");
  record["address"] = truthy(address) ? address.attr("upper")() : py::str("");
  record["plan_layout_no"] = plot.attr("plan_layout_no");
  return record;
}

py::dict road_entry(py::handle road) {
  py::dict entry;
  entry["name"] = road.attr("road_name");
  entry["geometry"] = geometry_mapping(road.attr("geometry"));
  return entry;
}

}  // namespace plansmith
