// Checks on tile addresses and bounding boxes before anything reaches the
// database.
#pragma once

#include <pybind11/pybind11.h>

namespace tileport {
namespace py = pybind11;

constexpr long long kMinTileZoom = 1;
constexpr long long kMaxTileZoom = 20;

// True when (z, x, y) lies in the XYZ grid of a served zoom (1 to 20): x and y
// in [0, 2^z).
bool tile_in_grid(long long z, long long x, long long y);

void define_validate_tile_coords(py::module_& module);
void define_calculate_bbox_area_degrees(py::module_& module);

}  // namespace tileport
