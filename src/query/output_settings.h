// The output settings that query and search requests share.
#pragma once

#include "geometry/quantization.h"
#include "geometry/spatial_reference.h"

namespace tk {

// Output spatial reference, datum transformation and output quantization,
// each only when set, in the order their checks run; the flag always.
template <class Encoder, class Request>
void write_output_settings(const Encoder& encoder, Request* request) {
    if (encoder.output_spatial_reference.is_set())
        status::raise_for_status(
            write_spatial_reference(encoder.output_spatial_reference, request->mutable_output_spatial_reference()));
    if (encoder.datum_transformation.is_set())
        status::raise_for_status(
            write_datum_transformation(encoder.datum_transformation, request->mutable_datum_transformation()));
    request->set_apply_vcs_projection(encoder.apply_vcs_projection);
    if (!encoder.output_quantization_parameters.extent.empty())
        status::raise_for_status(write_output_quantization(encoder.output_quantization_parameters,
                                                           request->mutable_output_quantization_parameters()));
}

}  // namespace tk
