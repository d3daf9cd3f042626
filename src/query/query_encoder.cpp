#include "query/query_encoder.h"
#include "query/output_settings.h"

#include <limits>
#include <stdexcept>

#include <google/protobuf/arena.h>
#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>

#include "graph_query.pb.h"
#include "values/codec.h"

namespace tk {

namespace {

// The map of parameters iterates in an order of its own, which may differ
// between two requests built from the same parameters; sorted keys make
// repeated encodes give the same bytes.
void serialize_deterministic(const google::protobuf::MessageLite& message, std::string& out) {
    const std::size_t size = message.ByteSizeLong();
    if (size > static_cast<std::size_t>(std::numeric_limits<int>::max()))
        throw std::length_error("Request too large to encode.");
    out.resize(size);
    google::protobuf::io::ArrayOutputStream stream(out.data(), static_cast<int>(size));
    google::protobuf::io::CodedOutputStream coded(&stream);
    coded.SetSerializationDeterministic(true);
    message.SerializeWithCachedSizes(&coded);
    if (coded.HadError() || static_cast<std::size_t>(coded.ByteCount()) != size) out.clear();
}

void build_request(const GraphQueryRequestEncoder& encoder, std::string& out) {
    if (encoder.open_cypher_query.empty()) throw std::invalid_argument("Empty openCypher query.");

    QuantizationTransform transform;
    build(transform, encoder.input_quantization_parameters);

    // Large parameter values make many small messages: an arena keeps their
    // allocation and release cheap.
    google::protobuf::Arena arena;
    auto* request = google::protobuf::Arena::CreateMessage<vexoPBuffer::graph::GraphQueryRequest>(&arena);
    request->set_open_cypher_query(encoder.open_cypher_query);
    request->set_output_geometry_encoding(vexoPBuffer::VexoTypes_vexoFeatureEncoding_vexoDefault);
    write_output_settings(encoder, request);
    // Written even when empty (no valid transform).
    status::raise_for_status(write_transform(transform, request->mutable_input_transform()));

    auto* parameters = request->mutable_parameters();
    for (const auto& [name, value] : encoder.parameters.pairs) {
        if (name.empty()) throw std::invalid_argument("Encountered empty bind parameter name.");
        // The name is copied: the caller's list stays usable for the next encode.
        auto inserted = parameters->try_emplace(name);
        if (!inserted.second) throw std::invalid_argument("Encountered duplicate bind parameter names.");
        const int rc = encode_any_value(transform, value, &inserted.first->second);
        if (rc < 0) status::raise_for_status(rc);
    }

    serialize_deterministic(*request, out);
}

}  // namespace

void GraphQueryRequestEncoder::encode() {
    run_encode(encoding_result, [this](std::string& out) { build_request(*this, out); });
}

}  // namespace tk
