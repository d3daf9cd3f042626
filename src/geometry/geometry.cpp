#include "geometry/geometry.h"

#include <stdexcept>

namespace tk {

int to_wire_geometry_type(vexoGeometryType type) {
    switch (type) {
        case vexoGeometryPoint:
            return 0;
        case vexoGeometryMultipoint:
            return 1;
        case vexoGeometryPolyline:
            return 2;
        case vexoGeometryPolygon:
            return 3;
        case vexoGeometryMultiPatch:
            return 4;
        case vexoGeometryEnvelope:
            return 5;
        default:
            throw std::invalid_argument("unsupported geometry type");
    }
}

vexoGeometryType from_wire_geometry_type(int wire) {
    switch (wire) {
        case 0:
            return vexoGeometryPoint;
        case 1:
            return vexoGeometryMultipoint;
        case 2:
            return vexoGeometryPolyline;
        case 3:
            return vexoGeometryPolygon;
        case 4:
            return vexoGeometryMultiPatch;
        case 5:
            return vexoGeometryEnvelope;
        default:
            return vexoGeometryNull;
    }
}

}  // namespace tk
