// Builds the body of one openCypher query request.
#pragma once

#include <string>

#include "common/error.h"
#include "geometry/quantization.h"
#include "geometry/spatial_reference.h"
#include "values/object_values.h"

namespace tk {

class GraphQueryRequestEncoder {
public:
    std::string open_cypher_query;
    KeyValueList parameters;
    InputQuantizationParameters input_quantization_parameters;
    SpatialReference output_spatial_reference;
    OutputQuantizationParameters output_quantization_parameters;
    DatumTransformation datum_transformation;
    bool apply_vcs_projection = false;
    EncodingResult encoding_result;

    // Never throws; the outcome is in encoding_result. Leaves every member
    // as it was, so encoding twice gives the same bytes.
    void encode();
};

}  // namespace tk
