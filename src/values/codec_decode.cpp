// Wire messages to values. Input comes from the network: nothing here trusts
// a count, a length or a nesting level it reads.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>

#include "graph_values.pb.h"
#include "values/codec.h"

namespace tk {

namespace pbg = vexoPBuffer::graph;

namespace {

// A null array is only a count on the wire; a larger one would let a few
// bytes of input allocate gigabytes.
constexpr int64_t kMaxNullArrayCount = 1048576;
constexpr int64_t kNullAllowance = 65536;
constexpr int64_t kNullsPerInputByte = 16;

// Remaining nulls of the innermost NullExpansionScope; -1 when none is open.
thread_local int64_t t_null_budget = -1;
// Milliseconds to ticks; null when the product leaves the 64-bit range.
value_t datetime_from_millis(int64_t millis) {
    time_point_t tp;
    if (!time_point_from_millis(millis, tp)) return null_t{};
    return tp;
}

std::shared_ptr<EntityValue> decode_entity(const QuantizationTransform& transform, pbg::EntityValue& message) {
    auto entity = std::make_shared<EntityValue>();
    if (decode_properties(transform, *message.mutable_properties(), entity->properties) != 0) return nullptr;
    entity->type_name = std::move(*message.mutable_label());
    if (message.has_id()) entity->id = decode_any_value(transform, *message.mutable_id());
    return entity;
}

std::shared_ptr<RelationshipValue> decode_relationship(const QuantizationTransform& transform,
                                                       pbg::RelationshipValue& message) {
    auto rel = std::make_shared<RelationshipValue>();
    if (decode_properties(transform, *message.mutable_properties(), rel->properties) != 0) return nullptr;
    rel->type_name = std::move(*message.mutable_type());
    if (message.has_id()) rel->id = decode_any_value(transform, *message.mutable_id());
    if (message.has_origin_id()) rel->origin_entity_id = decode_any_value(transform, *message.mutable_origin_id());
    if (message.has_destination_id())
        rel->destination_entity_id = decode_any_value(transform, *message.mutable_destination_id());
    return rel;
}

std::shared_ptr<PathValue> decode_path(const QuantizationTransform& transform, pbg::PathValue& message) {
    const int entities = message.entities_size();
    const int relationships = message.relationships_size();
    if (entities != relationships + 1) return nullptr;
    auto path = std::make_shared<PathValue>();
    path->entities.reserve(static_cast<std::size_t>(entities));
    path->relationships.reserve(static_cast<std::size_t>(relationships));
    for (int i = 0; i < entities; ++i) {
        auto entity = decode_entity(transform, *message.mutable_entities(i));
        if (!entity) return nullptr;
        path->entities.push_back(std::move(entity));
        if (i < relationships) {
            auto rel = decode_relationship(transform, *message.mutable_relationships(i));
            if (!rel) return nullptr;
            path->relationships.push_back(std::move(rel));
        }
    }
    return path;
}

template <class Out, class Repeated>
void append_numbers(std::vector<value_t>& out, const Repeated& values) {
    out.reserve(static_cast<std::size_t>(values.size()));
    for (const auto v : values) out.emplace_back(static_cast<Out>(v));
}

template <class Repeated>
void append_moved_strings(std::vector<value_t>& out, Repeated& values) {
    out.reserve(static_cast<std::size_t>(values.size()));
    for (auto& s : values) out.emplace_back(std::move(s));
}

std::shared_ptr<ArrayValue> decode_array(const QuantizationTransform& transform, pbg::ArrayValue& message) {
    auto array = std::make_shared<ArrayValue>();
    auto& out = array->values.elements();
    switch (message.array_case()) {
        case pbg::ArrayValue::kAnyValues: {
            auto& values = *message.mutable_any_values()->mutable_values();
            out.reserve(static_cast<std::size_t>(values.size()));
            for (auto& v : values) out.push_back(decode_any_value(transform, v));
            break;
        }
        case pbg::ArrayValue::kFloatValues:
            append_numbers<float>(out, message.float_values().values());
            break;
        case pbg::ArrayValue::kFloatIntValues:
            append_numbers<float>(out, message.float_int_values().values());
            break;
        case pbg::ArrayValue::kDoubleValues:
            append_numbers<double>(out, message.double_values().values());
            break;
        case pbg::ArrayValue::kDoubleFloatValues:
            append_numbers<double>(out, message.double_float_values().values());
            break;
        case pbg::ArrayValue::kDoubleIntValues:
            append_numbers<double>(out, message.double_int_values().values());
            break;
        case pbg::ArrayValue::kInt64Values:
            append_numbers<int64_t>(out, message.int64_values().values());
            break;
        case pbg::ArrayValue::kBoolValues:
            append_numbers<bool>(out, message.bool_values().values());
            break;
        case pbg::ArrayValue::kNullValues: {
            const int64_t count = message.null_values().count();
            if (count < 0 || count > kMaxNullArrayCount) return nullptr;
            if (t_null_budget >= 0) {
                if (count > t_null_budget) return nullptr;
                t_null_budget -= count;
            }
            out.resize(static_cast<std::size_t>(count));
            break;
        }
        case pbg::ArrayValue::kUuidValues: {
            const std::string& bytes = message.uuid_values();
            if (bytes.size() % 16 != 0) return nullptr;
            out.reserve(bytes.size() / 16);
            for (std::size_t pos = 0; pos < bytes.size(); pos += 16) {
                uuid_t u;
                for (std::size_t i = 0; i < 16; ++i) u.bytes[i] = static_cast<uint8_t>(bytes[pos + i]);
                out.emplace_back(u);
            }
            break;
        }
        case pbg::ArrayValue::kDatetimeValues: {
            const auto& values = message.datetime_values().values();
            out.reserve(static_cast<std::size_t>(values.size()));
            for (const int64_t ms : values) out.push_back(datetime_from_millis(ms));
            break;
        }
        case pbg::ArrayValue::kStringValues:
            append_moved_strings(out, *message.mutable_string_values()->mutable_value());
            break;
        case pbg::ArrayValue::kBlobValues: {
            auto& values = *message.mutable_blob_values()->mutable_values();
            out.reserve(static_cast<std::size_t>(values.size()));
            for (auto& b : values) out.emplace_back(blob_t{std::move(b)});
            break;
        }
        case pbg::ArrayValue::kGeometryValues: {
            const auto& values = message.geometry_values().values();
            out.reserve(static_cast<std::size_t>(values.size()));
            for (const auto& g : values) out.push_back(decode_geometry_value(transform, g));
            break;
        }
        case pbg::ArrayValue::ARRAY_NOT_SET:
            return nullptr;
    }
    return array;
}

value_t decode_primitive(const QuantizationTransform& transform, pbg::PrimitiveValue& message) {
    switch (message.value_case()) {
        case pbg::PrimitiveValue::kStringValue:
            return std::move(*message.mutable_string_value());
        case pbg::PrimitiveValue::kFloatValue:
            return message.float_value();
        case pbg::PrimitiveValue::kFloatIntValue:
            return static_cast<float>(message.float_int_value());
        case pbg::PrimitiveValue::kDoubleValue:
            return message.double_value();
        case pbg::PrimitiveValue::kDoubleFloatValue:
            return static_cast<double>(message.double_float_value());
        case pbg::PrimitiveValue::kDoubleIntValue:
            return static_cast<double>(message.double_int_value());
        case pbg::PrimitiveValue::kInt64Value:
            return static_cast<int64_t>(message.int64_value());
        case pbg::PrimitiveValue::kBoolValue:
            return message.bool_value();
        case pbg::PrimitiveValue::kUuidValue: {
            const std::string& bytes = message.uuid_value();
            if (bytes.size() != 16) return null_t{};
            uuid_t u;
            for (std::size_t i = 0; i < 16; ++i) u.bytes[i] = static_cast<uint8_t>(bytes[i]);
            return u;
        }
        case pbg::PrimitiveValue::kBlobValue:
            return blob_t{std::move(*message.mutable_blob_value())};
        case pbg::PrimitiveValue::kGeometryValue:
            return decode_geometry_value(transform, message.geometry_value());
        case pbg::PrimitiveValue::kNullValue:
            return null_t{};
        case pbg::PrimitiveValue::kDatetimeValue:
            return datetime_from_millis(message.datetime_value());
        case pbg::PrimitiveValue::VALUE_NOT_SET:
            break;
    }
    return null_t{};
}

}  // namespace

value_t decode_any_value(const QuantizationTransform& transform, pbg::AnyValue& message) {
    // Wrapped values stand for their inner value: unwrap without recursing.
    pbg::AnyValue* m = &message;
    while (m->value_case() == pbg::AnyValue::kWrappedValue) m = m->mutable_wrapped_value();

    switch (m->value_case()) {
        case pbg::AnyValue::kPrimitiveValue:
            return decode_primitive(transform, *m->mutable_primitive_value());
        case pbg::AnyValue::kArrayValue:
            return decode_array(transform, *m->mutable_array_value());
        case pbg::AnyValue::kObjectValue: {
            auto object = std::make_shared<ObjectValue>();
            if (decode_properties(transform, *m->mutable_object_value()->mutable_properties(), object->properties) != 0)
                return std::shared_ptr<ObjectValue>();
            return object;
        }
        case pbg::AnyValue::kEntityValue: {
            auto entity = decode_entity(transform, *m->mutable_entity_value());
            if (!entity) return null_t{};
            return entity;
        }
        case pbg::AnyValue::kRelationshipValue: {
            auto rel = decode_relationship(transform, *m->mutable_relationship_value());
            if (!rel) return null_t{};
            return rel;
        }
        case pbg::AnyValue::kPathValue:
            return decode_path(transform, *m->mutable_path_value());
        case pbg::AnyValue::kWrappedValue:  // unwrapped above
        case pbg::AnyValue::VALUE_NOT_SET:
            break;
    }
    return null_t{};
}

int decode_properties(const QuantizationTransform& transform,
                      google::protobuf::RepeatedPtrField<pbg::KeyValuePair>& source, KeyValueList& target) {
    // Checked first so a refused list costs no value decoding.
    for (const auto& pair : source)
        if (pair.key().empty()) return status::kEmptyKey;
    target.pairs.reserve(target.pairs.size() + static_cast<std::size_t>(source.size()));
    for (auto& pair : source) {
        value_t value;
        if (pair.has_value()) value = decode_any_value(transform, *pair.mutable_value());
        target.pairs.emplace_back(std::move(*pair.mutable_key()), std::move(value));
    }
    source.Clear();
    return 0;
}

value_t decode_geometry_value(const QuantizationTransform& transform, const pbg::GeometryValue& message) {
    if (message.geometry_case() != pbg::GeometryValue::kDefaultGeometry) return null_t{};
    const auto& wire = message.default_geometry();
    auto geometry = std::make_shared<geometry_t>();
    geometry->geometry_type = from_wire_geometry_type(message.geometry_type());
    geometry->has_z = wire.has_z();
    geometry->has_m = wire.has_m();
    geometry->lengths.reserve(static_cast<std::size_t>(wire.lengths_size()));
    // Lengths beyond the int32 range come out negative and are refused by
    // dequantize like any other inconsistent length.
    for (const uint32_t len : wire.lengths()) geometry->lengths.push_back(static_cast<int32_t>(len));
    geometry->coords.reserve(static_cast<std::size_t>(wire.coords_size()));
    for (const int64_t c : wire.coords()) geometry->coords.push_back(static_cast<double>(c));
    dequantize(*geometry, transform);
    return geometry;
}

NullExpansionScope::NullExpansionScope(std::size_t input_bytes) : saved_(t_null_budget) {
    const std::size_t cap = static_cast<std::size_t>(INT64_MAX / kNullsPerInputByte) - kNullAllowance;
    t_null_budget = kNullAllowance + kNullsPerInputByte * static_cast<int64_t>(std::min(input_bytes, cap));
}

NullExpansionScope::~NullExpansionScope() { t_null_budget = saved_; }

}  // namespace tk
