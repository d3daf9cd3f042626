// Consistency of a geometry's lengths with its coordinate array.
#pragma once

#include "geometry/geometry.h"

namespace tk {

enum class LayoutCheck {
    // Wire rules: a part must also start before the end of the coordinates,
    // so a trailing empty part is refused.
    wire,
    // JSON output: empty parts are fine anywhere.
    json,
};

// Throws std::invalid_argument "Invalid geometry." unless the geometry's
// lengths and coordinates agree: no negative lengths, whole vertices only, a
// point holds exactly one vertex, a multipoint has a lengths entry, and the
// parts of multipoints, polylines and polygons cover the coordinates exactly
// (envelope and multipatch parts only need to fit). Null geometries pass.
void check_layout(const geometry_t& geometry, LayoutCheck mode);

}  // namespace tk
