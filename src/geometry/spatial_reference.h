// Spatial references and datum transformations.
#pragma once

#include <cstdint>
#include <string>

namespace vexoPBuffer {
class VexoTypes_SpatialReference;
class VexoTypes_DatumTransformation;
}  // namespace vexoPBuffer

namespace tk {

struct SpatialReference {
    int32_t wkid = 0;
    int32_t latestWkid = 0;
    int32_t vcsWkid = 0;
    int32_t latestVcsWkid = 0;
    std::string wkt;

    // Only wkid and wkt make a reference "set".
    bool is_set() const { return wkid != 0 || !wkt.empty(); }
    static SpatialReference WGS84();
};

struct DatumTransformation {
    int32_t wkid = 0;
    std::string wkt;
    std::string transform_direction;
    std::string transform_json;
    SpatialReference from_spatial_reference;
    SpatialReference to_spatial_reference;

    bool is_set() const { return wkid != 0 || !wkt.empty(); }
};

int write_spatial_reference(const SpatialReference& sr, vexoPBuffer::VexoTypes_SpatialReference* message);
int write_datum_transformation(const DatumTransformation& dt, vexoPBuffer::VexoTypes_DatumTransformation* message);
// An absent message (nullptr) gives all zeros and an empty text.
SpatialReference read_spatial_reference(const vexoPBuffer::VexoTypes_SpatialReference* message);

}  // namespace tk
