// Builds the body of one full-text and spatial search request.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/error.h"
#include "geometry/geometry.h"
#include "geometry/quantization.h"
#include "geometry/spatial_reference.h"
#include "schema/data_model.h"
#include "values/object_values.h"

namespace tk {

// The service's numbers; two Python names carry a hyphen
// ("envelope-intersects", "index-intersects").
enum class vexoSpatialRelation : int32_t {
    intersects = 0,
    contains = 1,
    crosses = 2,
    envelope_intersects = 3,
    index_intersects = 4,
    overlaps = 5,
    touches = 6,
    within = 7,
};

class GraphSearchRequestEncoder {
public:
    std::string search_query;
    bool return_geometry = true;
    bool return_search_context = false;
    vexoNamedTypeCategory type_category_filter = vexoNamedTypeCategory::entity;
    std::vector<std::string> named_types_filter;
    std::shared_ptr<ArrayValue> ids_filter = std::make_shared<ArrayValue>();
    int32_t start_index = 0;
    int32_t max_num_results = 0;
    InputQuantizationParameters input_quantization_parameters;
    SpatialReference input_spatial_reference;
    std::shared_ptr<geometry_t> spatial_filter_geometry;
    vexoSpatialRelation spatial_filter_relation = vexoSpatialRelation::intersects;
    SpatialReference output_spatial_reference;
    OutputQuantizationParameters output_quantization_parameters;
    DatumTransformation datum_transformation;
    bool apply_vcs_projection = false;
    EncodingResult encoding_result;

    // Never throws; the outcome is in encoding_result. Leaves the filter
    // geometry and identifiers as they were. A search text or named-type
    // filter that is not valid UTF-8 is refused (-1 "Invalid argument.").
    void encode();
};

}  // namespace tk
