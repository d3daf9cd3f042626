#include "geometry/spatial_reference.h"

#include "common/status.h"

#include "vexo_types.pb.h"

namespace tk {

SpatialReference SpatialReference::WGS84() {
    SpatialReference sr;
    sr.wkid = 4326;
    return sr;
}

int write_spatial_reference(const SpatialReference& sr, vexoPBuffer::VexoTypes_SpatialReference* message) {
    if (!message) return status::kNoMessage;
    if (!sr.wkt.empty()) message->set_wkt(sr.wkt);
    // Negative identifiers have no wire form; they leave the field as it was.
    if (sr.wkid >= 0) message->set_wkid(static_cast<uint32_t>(sr.wkid));
    if (sr.latestWkid >= 0) message->set_latestwkid(static_cast<uint32_t>(sr.latestWkid));
    if (sr.vcsWkid >= 0) message->set_vcswkid(static_cast<uint32_t>(sr.vcsWkid));
    if (sr.latestVcsWkid >= 0) message->set_latestvcswkid(static_cast<uint32_t>(sr.latestVcsWkid));
    return 0;
}

int write_datum_transformation(const DatumTransformation& dt, vexoPBuffer::VexoTypes_DatumTransformation* message) {
    if (!message) return status::kNoMessage;
    message->set_wkid(static_cast<uint32_t>(dt.wkid));
    message->set_wkt(dt.wkt);
    message->set_transformdirection(dt.transform_direction);
    message->set_transformjson(dt.transform_json);
    int status = write_spatial_reference(dt.from_spatial_reference, message->mutable_fromspatialreference());
    if (status < 0) return status;
    status = write_spatial_reference(dt.to_spatial_reference, message->mutable_tospatialreference());
    if (status < 0) return status;
    return 0;
}

SpatialReference read_spatial_reference(const vexoPBuffer::VexoTypes_SpatialReference* message) {
    SpatialReference sr;
    if (!message) return sr;
    sr.wkid = static_cast<int32_t>(message->wkid());
    sr.latestWkid = static_cast<int32_t>(message->latestwkid());
    sr.vcsWkid = static_cast<int32_t>(message->vcswkid());
    sr.latestVcsWkid = static_cast<int32_t>(message->latestvcswkid());
    sr.wkt = message->wkt();
    return sr;
}

}  // namespace tk
