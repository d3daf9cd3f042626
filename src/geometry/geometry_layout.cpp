#include "geometry/geometry_layout.h"

#include <cstddef>
#include <stdexcept>

namespace tk {

namespace {

[[noreturn]] void invalid_geometry() { throw std::invalid_argument("Invalid geometry."); }

}  // namespace

void check_layout(const geometry_t& geometry, LayoutCheck mode) {
    const vexoGeometryType type = geometry.geometry_type;
    if (type == vexoGeometryNull) return;

    const std::size_t d = static_cast<std::size_t>(geometry.vertex_dimension());
    const std::size_t n = geometry.coords.size();
    if (n % d != 0) invalid_geometry();
    const std::size_t vertices = n / d;

    for (int32_t length : geometry.lengths)
        if (length < 0) invalid_geometry();

    if (type == vexoGeometryPoint) {
        if (vertices != 1) invalid_geometry();
        return;
    }
    if (type == vexoGeometryMultipoint && geometry.lengths.empty()) invalid_geometry();

    // Counted in vertices, never multiplied out, so the sums cannot overflow.
    std::size_t start = 0;
    for (int32_t length : geometry.lengths) {
        const std::size_t count = static_cast<std::size_t>(length);
        if (mode == LayoutCheck::wire && start >= vertices) invalid_geometry();
        if (count > vertices - start) invalid_geometry();
        start += count;
    }

    const bool covers_all =
        type == vexoGeometryMultipoint || type == vexoGeometryPolyline || type == vexoGeometryPolygon;
    if (covers_all && start != vertices) invalid_geometry();
}

}  // namespace tk
