// The two statements of a bounding-box tile: the box's transformation to Web
// Mercator, and the tile of a layer's features inside the box.
#pragma once

#include <string>

#include "layers.hpp"

namespace tileport {

// Transforms the box bound as :x1, :y1, :x2, :y2 in SRID :input_srid to Web
// Mercator; one row with min_x, min_y, max_x, max_y.
extern const char* const kBboxTransformSql;

// The tile statement: features of `layer` inside the box bound as :min_x,
// :min_y, :max_x, :max_y, clipped with a buffer of 32 at extent 4096, the
// largest :max_features of them. `geom_expr` is the geometry column or its
// simplification.
std::string bbox_tile_sql(const std::string& layer_name, const LayerRecord& layer,
                          const std::string& geom_expr);

}  // namespace tileport
