#include "query/search_encoder.h"
#include "query/output_settings.h"

#include <stdexcept>

#include <google/protobuf/arena.h>

#include "common/utf8.h"
#include "graph_query.pb.h"
#include "values/codec.h"

namespace tk {

namespace {

namespace wire = vexoPBuffer::graph;

// The Python numbers differ from the wire's (both is 4 here, 3 there).
wire::NamedTypeCategory wire_category(vexoNamedTypeCategory category) {
    switch (category) {
        case vexoNamedTypeCategory::entity:
            return wire::vexoTypeEntity;
        case vexoNamedTypeCategory::relationship:
            return wire::vexoTypeRelationship;
        case vexoNamedTypeCategory::both:
            return wire::vexoTypeBoth;
    }
    // Python can build an enum object from any integer.
    status::raise_for_status(status::kNotImplemented);
    return wire::vexoType_UNSPECIFIED;
}

wire::SpatialRelation wire_relation(vexoSpatialRelation relation) {
    const auto number = static_cast<int32_t>(relation);
    if (number < 0 || number > 7) status::raise_for_status(status::kNotImplemented);
    return static_cast<wire::SpatialRelation>(number);
}

void build_request(const GraphSearchRequestEncoder& encoder, std::string& out) {
    if (encoder.search_query.empty()) throw std::invalid_argument("Empty search query.");
    // A conforming reader refuses a body whose strings are not UTF-8.
    if (!utf8_valid(encoder.search_query)) status::raise_for_status(status::kInvalidArgument);

    QuantizationTransform transform;
    build(transform, encoder.input_quantization_parameters);

    google::protobuf::Arena arena;
    auto* request = google::protobuf::Arena::CreateMessage<wire::GraphSearchRequest>(&arena);
    request->set_output_geometry_encoding(vexoPBuffer::VexoTypes_vexoFeatureEncoding_vexoDefault);
    request->set_search_query(encoder.search_query);
    request->set_return_geometry(encoder.return_geometry);
    request->set_return_search_context(encoder.return_search_context);
    request->set_type_category_filter(wire_category(encoder.type_category_filter));

    auto* names = request->mutable_named_type_filter();
    names->Reserve(static_cast<int>(encoder.named_types_filter.size()));
    for (const auto& name : encoder.named_types_filter) {
        if (!utf8_valid(name)) status::raise_for_status(status::kInvalidArgument);
        names->Add()->assign(name);
    }

    if (encoder.ids_filter && !encoder.ids_filter->values.empty()) {
        const auto& ids = encoder.ids_filter->values;
        auto* values = request->mutable_ids_filter()->mutable_any_values()->mutable_values();
        values->Reserve(static_cast<int>(ids.size()));
        for (const auto& id : ids) {
            const int rc = encode_any_value(transform, id, values->Add());
            if (rc < 0) status::raise_for_status(rc);
        }
    }

    request->set_start_index(encoder.start_index);
    request->set_max_num_results(encoder.max_num_results);

    if (encoder.spatial_filter_geometry) {
        // encode_geometry quantizes a copy; the caller's geometry is untouched.
        const int rc =
            encode_geometry(encoder.spatial_filter_geometry, transform, request->mutable_spatial_filter_geometry());
        if (rc < 0) throw std::invalid_argument("Invalid spatial filter geometry provided.");
    }

    if (encoder.input_spatial_reference.is_set())
        status::raise_for_status(
            write_spatial_reference(encoder.input_spatial_reference, request->mutable_input_spatial_reference()));

    request->set_spatial_filter_relation(wire_relation(encoder.spatial_filter_relation));

    write_output_settings(encoder, request);
    // Written even when empty (no valid transform).
    status::raise_for_status(write_transform(transform, request->mutable_input_transform()));

    if (!request->SerializeToString(&out)) out.clear();
}

}  // namespace

void GraphSearchRequestEncoder::encode() {
    run_encode(encoding_result, [this](std::string& out) { build_request(*this, out); });
}

}  // namespace tk
