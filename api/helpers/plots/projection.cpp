// Reprojection of the geometries a plan is drawn from.
#include "plan.hpp"

namespace terrava::plots {

// A new geometry of the same structure with every vertex passed through the
// module's transformer. The transformer maps the stored Web Mercator metres
// onto the plan plane.
py::object project_geometry(py::handle geometry) {
  return global("transform")(global("TRANSFORMER").attr("transform"), geometry);
}

}  // namespace terrava::plots
