// The one in-memory geometry form.
#pragma once

#include <cstdint>
#include <vector>

namespace tk {

enum vexoGeometryType : int32_t {
    vexoGeometryNull = 0,
    vexoGeometryPoint = 1,
    vexoGeometryMultipoint = 2,
    vexoGeometryPolyline = 3,
    vexoGeometryPolygon = 4,
    vexoGeometryEnvelope = 5,
    vexoGeometryAny = 7,
    vexoGeometryMultiPatch = 9,
};

// Vertices are stored flat, part after part, each as x, y[, z][, m].
struct geometry_t {
    bool has_z = false;
    bool has_m = false;
    vexoGeometryType geometry_type = vexoGeometryNull;
    std::vector<int32_t> lengths;
    std::vector<double> coords;

    int vertex_dimension() const { return 2 + (has_z ? 1 : 0) + (has_m ? 1 : 0); }
};

// Wire numbering differs (multipatch 4, envelope 5). Null and Any have no
// wire value: throws std::invalid_argument "unsupported geometry type".
int to_wire_geometry_type(vexoGeometryType type);
// Unknown wire numbers give vexoGeometryNull.
vexoGeometryType from_wire_geometry_type(int wire);

}  // namespace tk
