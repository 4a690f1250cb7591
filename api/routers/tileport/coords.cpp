#include "coords.hpp"

#include <terrava/bridge.hpp>

#include "pyglue.hpp"

namespace tileport {
namespace {

py::object validate_tile_coords(terrava::Args& args) {
  // Values beyond the range of long long saturate, which keeps them outside
  // the grid: an address of 10**30 is refused, not wrapped around.
  return py::bool_(tile_in_grid(saturated_int(args[0], "<="), saturated_int(args[1], "<="),
                                saturated_int(args[2], "<=")));
}

// Width times height, in the degrees the box is given in; plain Python
// arithmetic, so ints stay exact and either corner order gives the same area.
py::object calculate_bbox_area_degrees(terrava::Args& args) {
  py::object width = args[2] - args[0];
  py::object height = args[3] - args[1];
  PyObject* area = PyNumber_Absolute((width * height).ptr());
  if (area == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(area);
}

}  // namespace

bool tile_in_grid(long long z, long long x, long long y) {
  if (z < kMinTileZoom || z > kMaxTileZoom) return false;
  const long long side = 1LL << z;
  return x >= 0 && x < side && y >= 0 && y < side;
}

void define_validate_tile_coords(py::module_& module) {
  using terrava::arg;
  using terrava::builtin;
  terrava::def(module,
               terrava::FunctionSpec{
                   "validate_tile_coords",
                   "",
                   "Validate tile coordinates.",
                   {arg("z", builtin("int")), arg("x", builtin("int")), arg("y", builtin("int"))},
                   {}},
               validate_tile_coords);
}

void define_calculate_bbox_area_degrees(py::module_& module) {
  using terrava::arg;
  using terrava::builtin;
  py::object number = builtin("float");
  terrava::def(module,
               terrava::FunctionSpec{"calculate_bbox_area_degrees",
                                     "",
                                     "Calculate bounding box area in square degrees.",
                                     {arg("minx", number), arg("miny", number), arg("maxx", number),
                                      arg("maxy", number)},
                                     number},
               calculate_bbox_area_degrees);
}

}  // namespace tileport
