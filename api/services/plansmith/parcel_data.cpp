// The parcel, the parcels within 50 m of it and the three nearest roads, read
// through the host's models on the session the caller gives.
#include "plansmith.hpp"

namespace plansmith {
namespace {

constexpr int kSearchDistance = 50;  // in the stored coordinates: Web Mercator metres
constexpr int kRoadLimit = 3;

// All scalar results of `statement` on `db`, as a list.
py::object all_rows(py::handle result) { return result.attr("scalars")().attr("all")(); }

// The courses of a parcel in the order of the boundary table's key, which is
// the order of its ring: without an ORDER BY the database returns them in
// whatever order its plan and the table's physical layout give.
py::object courses_of(py::handle plot) {
  py::object boundary = global("BOUNDARY");
  py::object statement = global("select")(boundary).attr("where")(
      boundary.attr("plotid").attr("__eq__")(plot.attr("id")));
  return statement.attr("order_by")(*boundary.attr("__mapper__").attr("primary_key"));
}

py::object beacon_at_start_of(py::handle course) {
  py::object beacon = global("BEACON");
  return global("select")(beacon).attr("where")(
      beacon.attr("id").attr("__eq__")(course.attr("beacon1id")));
}

}  // namespace

Coro get_plot_with_nearby(Args a) {
  py::object self = a[0], db = a[1], plot_id = a[2];
  py::object reference = co_await self.attr("plot_repository").attr("get_by_id")(plot_id);
  py::dict result;
  if (!truthy(reference)) {
    result["plots"] = py::list();
    result["roads"] = py::none();
    co_return result;
  }
  py::object reference_geometry = reference.attr("geometry");
  py::int_ distance(kSearchDistance);

  py::object plot = global("PLOT");
  py::object near_parcels = global("select")(plot).attr("where")(
      global("ST_DWithin")(plot.attr("geometry"), reference_geometry, distance));
  py::object plots = all_rows(co_await db.attr("execute")(near_parcels));

  py::object road = global("ROAD");
  py::object near_roads =
      global("select")(road)
          .attr("where")(global("ST_DWithin")(road.attr("geometry"), reference_geometry, distance))
          .attr("order_by")(global("ST_Distance")(reference_geometry, road.attr("geometry")))
          .attr("limit")(kRoadLimit);
  py::object closest_roads = all_rows(co_await db.attr("execute")(near_roads));

  py::object details = co_await self.attr("get_plot_details")(plots, db);

  py::object roads = py::none();
  if (py::len(closest_roads) > 0) {
    py::list entries;
    for (py::handle r : closest_roads) entries.append(road_entry(r));
    roads = std::move(entries);
  }
  result["plots"] = details;
  result["roads"] = roads;
  co_return result;
}

Coro get_plot_details(Args a) {
  py::object plots = a[1], db = a[2];
  py::list data;
  for (py::handle plot : plots) {
    py::object courses = all_rows(co_await db.attr("execute")(courses_of(plot)));
    py::list boundary;
    for (py::handle course : courses) {
      py::object rows = co_await db.attr("execute")(beacon_at_start_of(course));
      boundary.append(beacon_entry(rows.attr("scalars")().attr("first")(), course));
    }
    data.append(parcel_record(plot, std::move(boundary)));
  }
  co_return data;
}

}  // namespace plansmith
