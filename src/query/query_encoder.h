// Builds the body of one openCypher query request.
#pragma once

#include <string>

#include "common/error.h"
#include "geometry/quantization.h"
#include "geometry/spatial_reference.h"
#include "query/param_list.h"

namespace tk {

class GraphQueryRequestEncoder {
public:
    std::string open_cypher_query;
    ParamList parameters;
    InputQuantizationParameters input_quantization_parameters;
    SpatialReference output_spatial_reference;
    OutputQuantizationParameters output_quantization_parameters;
    DatumTransformation datum_transformation;
    bool apply_vcs_projection = false;
    EncodingResult encoding_result;

    // Never throws; the outcome is in encoding_result. Leaves every member
    // as it was, so encoding twice gives the same bytes. The parameters are
    // written in byte order of their names (the order a deterministic
    // protobuf serialiser gives a map); the checks run in list order. A
    // query text or parameter name that is not valid UTF-8 is refused
    // (-1 "Invalid argument."): a conforming reader would refuse the body.
    void encode();
};

}  // namespace tk
