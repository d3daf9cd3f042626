#include "schema/schema_edits.h"

#include <cstdint>
#include <limits>
#include <stdexcept>

#include "common/utf8.h"
#include "graph_schema.pb.h"
#include "graph_values.pb.h"

namespace tk {

namespace {

namespace pbg = vexoPBuffer::graph;

// A failed serialisation (a body over 2 GiB) leaves no bytes, which the
// encoders report as -999.
template <class Message>
void serialize(const Message& message, std::string& out) {
    if (!message.SerializeToString(&out)) out.clear();
}

// An empty body is a valid message with every field absent.
template <class Message>
bool parse(std::string_view bytes, Message& message) {
    if (bytes.size() > static_cast<std::size_t>(std::numeric_limits<int32_t>::max())) return false;
    return message.ParseFromArray(bytes.data(), static_cast<int>(bytes.size()));
}

void set_decode_failed(kg_error_t& error) { error.set(status::kResponseDecodeFailed, "Error decoding response!"); }

kg_error_t take_error(bool present, pbg::Error* error) {
    kg_error_t out;
    if (present) out.set(error->error_code(), std::move(*error->mutable_error_message()));
    return out;
}

void take_results(google::protobuf::RepeatedPtrField<pbg::GraphNamedObjectTypeAddResult>& results, NamedOutcomes& out) {
    for (auto& result : results)
        out.add_first(std::move(*result.mutable_name()), take_error(result.has_error(), result.mutable_error()));
}

void take_results(google::protobuf::RepeatedPtrField<pbg::GraphPropertyAddResult>& results, NamedOutcomes& out) {
    for (auto& result : results)
        out.add_first(std::move(*result.mutable_name()), take_error(result.has_error(), result.mutable_error()));
}

// Update and delete responses carry only the request's error.
template <class Response>
void decode_error_only(std::string_view bytes, kg_error_t& error) {
    error.clear();
    Response response;
    if (!parse(bytes, response)) return set_decode_failed(error);
    error = take_error(response.has_error(), response.mutable_error());
}

void check(int status) {
    if (status < 0) status::raise_for_status(status);
}

// A conforming reader refuses a body whose strings are not UTF-8.
void check_utf8(const std::string& text) {
    if (!utf8_valid(text)) status::raise_for_status(status::kInvalidArgument);
}

}  // namespace

// ---- named types ----

void GraphNamedObjectTypeAddsRequestEncoder::add_entity_type(std::shared_ptr<EntityType> type) {
    if (!type) throw std::invalid_argument("Argument must be valid entity type!");
    entity_types.push_back(std::move(type));
}

void GraphNamedObjectTypeAddsRequestEncoder::add_relationship_type(std::shared_ptr<RelationshipType> type) {
    if (!type) throw std::invalid_argument("Argument must be valid relationship type!");
    relationship_types.push_back(std::move(type));
}

void GraphNamedObjectTypeAddsRequestEncoder::encode() {
    run_encode(result, [this](std::string& out) {
        pbg::GraphNamedObjectTypeAddsRequest request;
        request.mutable_entity_types()->Reserve(static_cast<int>(entity_types.size()));
        for (const auto& type : entity_types)
            check(named_type_to_wire(type.get(), request.add_entity_types()->mutable_named_object_type()));
        request.mutable_relationship_types()->Reserve(static_cast<int>(relationship_types.size()));
        for (const auto& type : relationship_types)
            check(named_type_to_wire(type.get(), request.add_relationship_types()->mutable_named_object_type()));
        serialize(request, out);
    });
}

void GraphNamedObjectTypeUpdateRequestEncoder::update_entity_type(std::shared_ptr<EntityType> type,
                                                                  const NamedTypeMask& new_mask) {
    mask = new_mask;
    entity_type = std::move(type);
    relationship_type.reset();
}

void GraphNamedObjectTypeUpdateRequestEncoder::update_relationship_type(std::shared_ptr<RelationshipType> type,
                                                                        const NamedTypeMask& new_mask) {
    mask = new_mask;
    relationship_type = std::move(type);
    entity_type.reset();
}

namespace {

void write_mask(const NamedTypeMask& mask, pbg::NamedObjectTypeMask* out) {
    out->set_update_name(mask.update_name);
    out->set_update_alias(mask.update_alias);
    out->set_update_role(mask.update_role);
    out->set_update_strict(mask.update_strict);
}

}  // namespace

void GraphNamedObjectTypeUpdateRequestEncoder::encode() {
    run_encode(result, [this](std::string& out) {
        if (static_cast<bool>(entity_type) == static_cast<bool>(relationship_type))
            throw std::invalid_argument("UpdateNamedType must be passed a single entity type or relationship type!");
        pbg::GraphNamedObjectTypeUpdateRequest request;
        if (entity_type) {
            auto* update = request.mutable_entity_type_update();
            check(named_type_to_wire(entity_type.get(), update->mutable_entity_type()->mutable_named_object_type()));
            write_mask(mask, update->mutable_mask());
        } else {
            auto* update = request.mutable_relationship_type_update();
            check(named_type_to_wire(relationship_type.get(),
                                     update->mutable_relationship_type()->mutable_named_object_type()));
            write_mask(mask, update->mutable_mask()->mutable_named_type_mask());
        }
        serialize(request, out);
    });
}

void GraphNamedObjectTypeAddsResponseDecoder::decode(std::string_view bytes) {
    error.clear();
    entity_results.clear();
    relationship_results.clear();
    pbg::GraphNamedObjectTypeAddsResponse response;
    if (!parse(bytes, response)) return set_decode_failed(error);
    error = take_error(response.has_error(), response.mutable_error());
    take_results(*response.mutable_entity_add_results(), entity_results);
    take_results(*response.mutable_relationship_add_results(), relationship_results);
}

void GraphNamedObjectTypeUpdateResponseDecoder::decode(std::string_view bytes) {
    decode_error_only<pbg::GraphNamedObjectTypeUpdateResponse>(bytes, error);
}

void GraphNamedObjectTypeDeleteResponseDecoder::decode(std::string_view bytes) {
    decode_error_only<pbg::GraphNamedObjectTypeDeleteResponse>(bytes, error);
}

// ---- properties ----

void GraphPropertyAddsRequestEncoder::add_property(std::shared_ptr<GraphProperty> property) {
    if (!property) throw std::invalid_argument("Argument must be valid graph property!");
    properties.push_back(std::move(property));
}

void GraphPropertyAddsRequestEncoder::encode() {
    run_encode(result, [this](std::string& out) {
        pbg::GraphPropertyAddsRequest request;
        request.mutable_properties()->Reserve(static_cast<int>(properties.size()));
        for (const auto& property : properties) check(graph_property_to_wire(property.get(), request.add_properties()));
        serialize(request, out);
    });
}

void GraphPropertyUpdateRequestEncoder::update_property(std::shared_ptr<GraphProperty> new_property,
                                                        const PropertyMask& new_mask) {
    if (!new_property) throw std::invalid_argument("Argument must be valid graph property!");
    mask = new_mask;
    property = std::move(new_property);
}

void GraphPropertyUpdateRequestEncoder::encode() {
    run_encode(result, [this](std::string& out) {
        if (!property) throw std::invalid_argument("UpdateField must be passed a valid graph property!");
        pbg::GraphPropertyUpdateRequest request;
        auto* m = request.mutable_mask();
        m->set_update_name(mask.update_name);
        m->set_update_alias(mask.update_alias);
        m->set_update_field_type(mask.update_field_type);
        m->set_update_geometry_type(mask.update_geometry_type);
        m->set_update_default_value(mask.update_default_value);
        m->set_update_nullable(mask.update_nullable);
        m->set_update_editable(mask.update_editable);
        m->set_update_visible(mask.update_visible);
        m->set_update_required(mask.update_required);
        m->set_update_domain(mask.update_domain);
        m->set_update_has_z(mask.update_has_z);
        m->set_update_has_m(mask.update_has_m);
        check(graph_property_to_wire(property.get(), request.mutable_property()));
        check_utf8(name);
        request.set_property_name(name);
        serialize(request, out);
    });
}

void GraphPropertyDeleteRequestEncoder::encode() {
    run_encode(result, [this](std::string& out) {
        check_utf8(name);
        pbg::GraphPropertyDeleteRequest request;
        request.set_name(name);
        serialize(request, out);
    });
}

void GraphPropertyAddsResponseDecoder::decode(std::string_view bytes) {
    error.clear();
    property_results.clear();
    pbg::GraphPropertyAddsResponse response;
    if (!parse(bytes, response)) return set_decode_failed(error);
    error = take_error(response.has_error(), response.mutable_error());
    take_results(*response.mutable_property_add_results(), property_results);
}

void GraphPropertyUpdateResponseDecoder::decode(std::string_view bytes) {
    decode_error_only<pbg::GraphPropertyUpdateResponse>(bytes, error);
}

void GraphPropertyDeleteResponseDecoder::decode(std::string_view bytes) {
    decode_error_only<pbg::GraphPropertyDeleteResponse>(bytes, error);
}

}  // namespace tk
