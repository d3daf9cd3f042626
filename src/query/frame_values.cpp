#include "query/frame_values.h"

#include "geometry/geometry_layout.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

namespace tk {

namespace {

using wire::Span;
using wire::Spans;
using wire::ValueKind;
using wire::ValueRef;

std::string text(Span s) { return std::string(s.begin, s.size()); }

value_t build(const Spans& any, const QuantizationTransform& t, const wire::RefusedNulls& refused);

void build_properties(const Spans& message, uint32_t field, const QuantizationTransform& t,
                      const wire::RefusedNulls& refused, KeyValueList& out) {
    wire::for_each_property(message, field, [&](const wire::PairRef& pair) {
        value_t v;
        if (pair.has_value) v = build(pair.value, t, refused);
        out.pairs.emplace_back(text(pair.key), std::move(v));
    });
}

std::shared_ptr<EntityValue> build_entity(const Spans& body, const QuantizationTransform& t,
                                          const wire::RefusedNulls& refused) {
    wire::EntityRef ref;
    wire::resolve_entity(body, ref);
    auto e = std::make_shared<EntityValue>();
    build_properties(body, wire::kEntityProperties, t, refused, e->properties);
    e->type_name = text(ref.label);
    if (ref.has_id) e->id = build(ref.id, t, refused);
    return e;
}

std::shared_ptr<RelationshipValue> build_relationship(const Spans& body, const QuantizationTransform& t,
                                                      const wire::RefusedNulls& refused) {
    wire::RelationshipRef ref;
    wire::resolve_relationship(body, ref);
    auto r = std::make_shared<RelationshipValue>();
    build_properties(body, wire::kRelationshipProperties, t, refused, r->properties);
    r->type_name = text(ref.type);
    if (ref.has_id) r->id = build(ref.id, t, refused);
    if (ref.has_ends) {
        r->origin_entity_id = ref.origin.empty() ? value_t{} : build(ref.origin, t, refused);
        r->destination_entity_id = ref.destination.empty() ? value_t{} : build(ref.destination, t, refused);
    }
    return r;
}

// Null unless the message holds a default geometry.
value_t build_geometry(const Spans& body, const QuantizationTransform& t) {
    auto g = std::make_shared<geometry_t>();
    if (!wire::read_geometry(body, *g)) return null_t{};
    dequantize(*g, t);
    return g;
}

value_t datetime(int64_t ms) { return time_point_t(ticks_t(ms * kTicksPerMillisecond)); }

std::shared_ptr<ArrayValue> build_array(const ValueRef& v, const QuantizationTransform& t,
                                        const wire::RefusedNulls& refused) {
    auto array = std::make_shared<ArrayValue>();
    auto& out = array->values;
    out.reserve(static_cast<std::size_t>(wire::count_elements(v)));
    switch (v.member) {
        case wire::kAnyValues:
            wire::for_each_element_bytes(v.body, [&](Span s) { out.push_back(build(Spans(s), t, refused)); });
            break;
        case wire::kStringValues:
            wire::for_each_element_bytes(v.body, [&](Span s) { out.emplace_back(text(s)); });
            break;
        case wire::kBlobValues:
            wire::for_each_element_bytes(v.body, [&](Span s) { out.emplace_back(blob_t{text(s)}); });
            break;
        case wire::kGeometryValues:
            wire::for_each_element_bytes(v.body, [&](Span s) { out.emplace_back(build_geometry(Spans(s), t)); });
            break;
        case wire::kNullValues:
            out.resize(static_cast<std::size_t>(v.null_count));
            break;
        case wire::kUuidValues:
            for (const char* p = v.bytes.begin; p + 16 <= v.bytes.end; p += 16) {
                uuid_t u;
                std::memcpy(u.bytes.data(), p, 16);
                out.emplace_back(u);
            }
            break;
        default: {
            const uint32_t m = v.member;
            wire::for_each_element(v.body, wire::element_width(m), [&out, m](uint64_t raw) {
                switch (m) {
                    case wire::kFloatValues:
                        out.emplace_back(wire::as_float(static_cast<uint32_t>(raw)));
                        break;
                    case wire::kFloatIntValues:
                        out.emplace_back(static_cast<float>(wire::zigzag32(static_cast<uint32_t>(raw))));
                        break;
                    case wire::kDoubleValues:
                        out.emplace_back(wire::as_double(raw));
                        break;
                    case wire::kDoubleFloatValues:
                        out.emplace_back(static_cast<double>(wire::as_float(static_cast<uint32_t>(raw))));
                        break;
                    case wire::kDoubleIntValues:
                        out.emplace_back(static_cast<double>(wire::zigzag64(raw)));
                        break;
                    case wire::kInt64Values:
                        out.emplace_back(wire::zigzag64(raw));
                        break;
                    case wire::kBoolValues:
                        out.emplace_back(raw != 0);
                        break;
                    case wire::kDatetimeValues: {
                        const auto ms = static_cast<int64_t>(raw);
                        int64_t ticks;
                        if (__builtin_mul_overflow(ms, kTicksPerMillisecond, &ticks))
                            out.emplace_back(null_t{});
                        else
                            out.push_back(datetime(ms));
                        break;
                    }
                    default:
                        break;
                }
            });
            break;
        }
    }
    return array;
}

value_t build(const Spans& any, const QuantizationTransform& t, const wire::RefusedNulls& refused) {
    ValueRef v;
    wire::resolve_value(any, refused, v);
    switch (v.kind) {
        case ValueKind::Null:
            return null_t{};
        case ValueKind::Bool:
            return v.b;
        case ValueKind::Int64:
            return v.i;
        case ValueKind::Float:
            return static_cast<float>(v.d);
        case ValueKind::Double:
            return v.d;
        case ValueKind::Uuid: {
            uuid_t u;
            std::memcpy(u.bytes.data(), v.bytes.begin, 16);
            return u;
        }
        case ValueKind::DateTime:
            return datetime(v.i);
        case ValueKind::String:
            return text(v.bytes);
        case ValueKind::Blob:
            return blob_t{text(v.bytes)};
        case ValueKind::Geometry:
            return build_geometry(v.body, t);
        case ValueKind::Object: {
            if (v.empty) return std::shared_ptr<ObjectValue>();
            auto o = std::make_shared<ObjectValue>();
            build_properties(v.body, wire::kObjectProperties, t, refused, o->properties);
            return o;
        }
        case ValueKind::Entity:
            return build_entity(v.body, t, refused);
        case ValueKind::Relationship:
            return build_relationship(v.body, t, refused);
        case ValueKind::Path: {
            if (v.empty) return std::shared_ptr<PathValue>();
            auto path = std::make_shared<PathValue>();
            wire::MessageCursor entities(v.body, wire::kPathEntities);
            wire::MessageCursor relationships(v.body, wire::kPathRelationships);
            Span s;
            while (entities.next(s)) {
                path->entities.push_back(build_entity(Spans(s), t, refused));
                if (relationships.next(s)) path->relationships.push_back(build_relationship(Spans(s), t, refused));
            }
            return path;
        }
        case ValueKind::Array:
            if (v.empty) return std::shared_ptr<ArrayValue>();
            return build_array(v, t, refused);
    }
    return null_t{};
}

// ---- The row check: the codec's decode order -------------------------------

const wire::RefusedNulls kNoneRefused;

void check_value(const Spans& any, RowCheck& c);

// Properties decode only when no key is empty (checked before any value).
bool check_properties(const Spans& message, uint32_t field, RowCheck& c) {
    if (!wire::properties_ok(message, field)) return false;
    wire::for_each_property(message, field, [&c](const wire::PairRef& pair) {
        if (pair.has_value) check_value(pair.value, c);
    });
    return true;
}

bool check_entity(const Spans& body, RowCheck& c) {
    if (!check_properties(body, wire::kEntityProperties, c)) return false;
    wire::EntityRef ref;
    wire::resolve_entity(body, ref);
    if (ref.has_id) check_value(ref.id, c);
    return true;
}

bool check_relationship(const Spans& body, RowCheck& c) {
    if (!check_properties(body, wire::kRelationshipProperties, c)) return false;
    wire::RelationshipRef ref;
    wire::resolve_relationship(body, ref);
    if (ref.has_id) check_value(ref.id, c);
    if (!ref.origin.empty()) check_value(ref.origin, c);
    if (!ref.destination.empty()) check_value(ref.destination, c);
    return true;
}

// Dequantizing fails only on the layout check it starts with; the
// arithmetic after it cannot, so the check stops there.
void check_geometry(const Spans& body, RowCheck& c) {
    if (wire::read_geometry_layout(body, c.scratch) && c.scratch.geometry_type != vexoGeometryNull)
        check_layout(c.scratch, LayoutCheck::wire);
}

void check_value(const Spans& any, RowCheck& c) {
    ValueRef v;
    wire::resolve_value(any, kNoneRefused, v);
    switch (v.kind) {
        case ValueKind::Geometry:
            check_geometry(v.body, c);
            break;
        case ValueKind::Object:
            if (!v.empty) check_properties(v.body, wire::kObjectProperties, c);
            break;
        case ValueKind::Entity:
            check_entity(v.body, c);
            break;
        case ValueKind::Relationship:
            check_relationship(v.body, c);
            break;
        case ValueKind::Path: {
            // Members decode in turn until one fails: the ones before it
            // have been decoded (and dequantized) by then.
            const int64_t entities = wire::count_fields(v.body, wire::kPathEntities);
            const int64_t relationships = wire::count_fields(v.body, wire::kPathRelationships);
            if (entities != relationships + 1) break;
            wire::MessageCursor es(v.body, wire::kPathEntities);
            wire::MessageCursor rs(v.body, wire::kPathRelationships);
            Span s;
            while (es.next(s)) {
                if (!check_entity(Spans(s), c)) break;
                if (rs.next(s) && !check_relationship(Spans(s), c)) break;
            }
            break;
        }
        case ValueKind::Array:
            if (v.empty) break;
            switch (v.member) {
                case wire::kAnyValues:
                    wire::for_each_element_bytes(v.body, [&c](Span s) { check_value(Spans(s), c); });
                    break;
                case wire::kGeometryValues:
                    wire::for_each_element_bytes(v.body, [&c](Span s) { check_geometry(Spans(s), c); });
                    break;
                case wire::kNullValues:
                    if (v.null_count > c.null_budget)
                        c.refused.push_back(static_cast<std::size_t>(v.body.key() - c.base));
                    else
                        c.null_budget -= v.null_count;
                    break;
                default:
                    break;
            }
            break;
        default:
            break;
    }
}

}  // namespace

value_t build_value(const wire::Spans& any_value, const QuantizationTransform& transform,
                    const wire::RefusedNulls& refused) {
    return build(any_value, transform, refused);
}

void check_row_values(wire::Span row, const wire::CheckNotes& notes, RowCheck& check) {
    const Spans spans(row);
    wire::MessageCursor values(spans, 1);
    Span s;
    for (std::size_t i = 0; values.next(s); ++i)
        if (i >= 64 ? notes.flagged_beyond : ((notes.flagged >> i) & 1u) != 0) check_value(Spans(s), check);
}

int64_t null_budget_for(std::size_t received_bytes) {
    const auto cap = static_cast<std::size_t>((INT64_MAX - wire::kNullAllowance) / wire::kNullsPerInputByte);
    return wire::kNullAllowance + wire::kNullsPerInputByte * static_cast<int64_t>(std::min(received_bytes, cap));
}

}  // namespace tk
