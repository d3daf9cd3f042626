#include "query/frame_reader.h"

#include <google/protobuf/stubs/common.h>

#include <algorithm>

namespace tk {
namespace wire {

namespace {

// How a known field is read; a field with another wire type than its rule
// expects is an unknown field to the runtime.
enum class Kind : uint8_t {
    Unknown,
    Varint,
    Fixed32,
    Fixed64,
    Utf8,  // proto3 string: checked for UTF-8 on parsing
    Bytes,
    Message,
    PackedVarint,  // packed, or one varint per field
    PackedFixed32,
    PackedFixed64,
};

struct Rule {
    Kind kind = Kind::Unknown;
    MessageType sub = MessageType::Frame;
};

constexpr Rule msg(MessageType t) { return Rule{Kind::Message, t}; }
constexpr Rule of(Kind k) { return Rule{k, MessageType::Frame}; }

// The result schema, field by field.
Rule rule_for(MessageType type, uint32_t n) {
    using M = MessageType;
    switch (type) {
        case M::Frame:
            if (n == 1) return msg(M::Error);
            if (n == 2) return msg(M::Row);
            if (n == 3) return of(Kind::Varint);
            break;
        case M::Row:
            if (n == 1) return msg(M::AnyValue);
            break;
        case M::Error:
            if (n == 1) return of(Kind::Varint);
            if (n == 2) return of(Kind::Utf8);
            break;
        case M::AnyValue:
            switch (n) {
                case 1:
                    return msg(M::Primitive);
                case 2:
                    return msg(M::Array);
                case 3:
                    return msg(M::Object);
                case 4:
                    return msg(M::Entity);
                case 5:
                    return msg(M::Relationship);
                case 6:
                    return msg(M::Path);
                case 20:
                    return msg(M::AnyValue);
                default:
                    break;
            }
            break;
        case M::Primitive:
            switch (n) {
                case 1:
                    return of(Kind::Utf8);
                case 2:
                case 5:
                    return of(Kind::Fixed32);
                case 4:
                    return of(Kind::Fixed64);
                case 3:
                case 6:
                case 7:
                case 8:
                case 12:
                case 13:
                    return of(Kind::Varint);
                case 9:
                case 10:
                    return of(Kind::Bytes);
                case 11:
                    return msg(M::Geometry);
                default:
                    break;
            }
            break;
        case M::KeyValue:
            if (n == 1) return of(Kind::Utf8);
            if (n == 2) return msg(M::AnyValue);
            break;
        case M::Object:
            if (n == 2) return msg(M::KeyValue);
            break;
        case M::Entity:
            if (n == 1) return of(Kind::Utf8);
            if (n == 3) return msg(M::AnyValue);
            if (n == 4) return msg(M::KeyValue);
            break;
        case M::Relationship:
            if (n == 1) return of(Kind::Utf8);
            if (n >= 3 && n <= 5) return msg(M::AnyValue);
            if (n == 6) return msg(M::KeyValue);
            break;
        case M::Path:
            if (n == 1) return msg(M::Entity);
            if (n == 2) return msg(M::Relationship);
            break;
        case M::AnyArray:
            if (n == 1) return msg(M::AnyValue);
            break;
        case M::Array:
            switch (n) {
                case kAnyValues:
                    return msg(M::AnyArray);
                case kFloatValues:
                case kDoubleFloatValues:
                    return msg(M::FloatArray);
                case kDoubleValues:
                    return msg(M::DoubleArray);
                case kFloatIntValues:
                case kDoubleIntValues:
                case kInt64Values:
                case kBoolValues:
                case kDatetimeValues:
                    return msg(M::VarintArray);
                case kNullValues:
                    return msg(M::NullArray);
                case kUuidValues:
                    return of(Kind::Bytes);
                case kStringValues:
                    return msg(M::StringArray);
                case kBlobValues:
                    return msg(M::BlobArray);
                case kGeometryValues:
                    return msg(M::GeometryArray);
                default:
                    break;
            }
            break;
        case M::FloatArray:
            if (n == 1) return of(Kind::PackedFixed32);
            break;
        case M::DoubleArray:
            if (n == 1) return of(Kind::PackedFixed64);
            break;
        case M::VarintArray:
            if (n == 1) return of(Kind::PackedVarint);
            break;
        case M::NullArray:
            if (n == 1) return of(Kind::Varint);
            break;
        case M::StringArray:
            if (n == 1) return of(Kind::Utf8);
            break;
        case M::BlobArray:
            if (n == 1) return of(Kind::Bytes);
            break;
        case M::Geometry:
            if (n == 1) return of(Kind::Varint);
            if (n == 2) return msg(M::DefaultGeometry);
            if (n == 3) return of(Kind::Bytes);
            break;
        case M::DefaultGeometry:
            if (n == 1 || n == 2) return of(Kind::Varint);
            if (n == 3 || n == 4) return of(Kind::PackedVarint);
            break;
        case M::GeometryArray:
            if (n == 1) return msg(M::Geometry);
            break;
    }
    return Rule{};
}

// Nearly every name and text is ASCII: that is checked eight bytes at a
// time, and only the rest goes through the runtime's own check.
bool utf8_ok(Span s) {
    const char* p = s.begin;
    for (; s.end - p >= 8; p += 8) {
        uint64_t w;
        std::memcpy(&w, p, 8);
        if (w & 0x8080808080808080ull) break;
    }
    for (; p < s.end; ++p)
        if (static_cast<unsigned char>(*p) >= 0x80) break;
    if (p == s.end) return true;
    return google::protobuf::internal::IsStructurallyValidUTF8(p, static_cast<int>(s.end - p));
}

bool skip_bytes(const char*& p, const char* end, std::size_t n) {
    if (static_cast<std::size_t>(end - p) < n) return false;
    p += n;
    return true;
}

bool skip_group(const char*& p, const char* end, uint32_t number, int depth);

// An unknown field (its tag already read) of any wire type but end-group.
bool skip_unknown(const char*& p, const char* end, uint32_t tag, int depth) {
    switch (tag & 7) {
        case kVarint: {
            uint64_t v;
            return read_varint(p, end, v);
        }
        case kFixed64:
            return skip_bytes(p, end, 8);
        case kLengthDelimited: {
            Span s;
            return read_span(p, end, s);
        }
        case kStartGroup:
            return skip_group(p, end, tag >> 3, depth);
        case kFixed32:
            return skip_bytes(p, end, 4);
        default:
            return false;
    }
}

// A group's fields up to its matching end-group tag. A group is one more
// level of nesting, and everything inside it is unknown to the runtime.
bool skip_group(const char*& p, const char* end, uint32_t number, int depth) {
    if (--depth < 0) return false;
    while (p < end) {
        uint32_t tag;
        if (!read_tag(p, end, tag) || tag == 0) return false;
        if ((tag & 7) == kEndGroup) return (tag >> 3) == number;
        if ((tag >> 3) == 0 || !skip_unknown(p, end, tag, depth)) return false;
    }
    return false;
}

bool check_packed_varints(Span s) { return scan_packed_varints(s).whole; }

// The way every encoder writes a primitive value: an AnyValue holding only
// a primitive_value, which holds one field (tag `tag`, one byte) or none
// (tag 0). False when the bytes have another shape, or a field that is not
// a member; the general readers decide those. Forced inline: it runs for
// nearly every cell, in the check and in the readers.
struct LonePrimitive {
    uint8_t tag = 0;
    Span bytes;          // length-delimited members
    uint64_t value = 0;  // varint and fixed members
};

[[gnu::always_inline]] inline bool read_lone_primitive(const char* p, const char* end, LonePrimitive& out) {
    out.tag = 0;
    if (p == end) return true;
    Span prim;
    if (static_cast<uint8_t>(*p++) != ((1u << 3) | kLengthDelimited) || !read_span(p, end, prim) || p != end)
        return false;
    p = prim.begin;
    end = prim.end;
    if (p == end) return true;
    out.tag = static_cast<uint8_t>(*p++);
    switch (out.tag) {
        case (1u << 3) | kLengthDelimited:   // string
        case (9u << 3) | kLengthDelimited:   // UUID
        case (10u << 3) | kLengthDelimited:  // blob
        case (11u << 3) | kLengthDelimited:  // geometry
            return read_span(p, end, out.bytes) && p == end;
        case (2u << 3) | kFixed32:  // float
        case (5u << 3) | kFixed32:  // double sent as float
            if (end - p != 4) return false;
            out.value = load_fixed32(p);
            return true;
        case (4u << 3) | kFixed64:  // double
            if (end - p != 8) return false;
            out.value = load_fixed64(p);
            return true;
        case (3u << 3) | kVarint:
        case (6u << 3) | kVarint:
        case (7u << 3) | kVarint:
        case (8u << 3) | kVarint:
        case (12u << 3) | kVarint:
        case (13u << 3) | kVarint:
            return read_varint(p, end, out.value) && p == end;
        default:
            return false;
    }
}

// A lone scalar, as the runtime would accept it. False says nothing (a
// geometry needs the general check, for its nesting and notes).
bool scalar_value_ok(const char* p, const char* end, int depth) {
    LonePrimitive f;
    if (depth < 1 || !read_lone_primitive(p, end, f)) return false;
    if (f.tag == ((11u << 3) | kLengthDelimited)) return false;
    return f.tag != ((1u << 3) | kLengthDelimited) || utf8_ok(f.bytes);
}

// One value of a row: checked, counted, and flagged when it needs the row
// value check.
bool check_row_value(Span s, int depth, CheckNotes& notes) {
    const std::size_t index = notes.values++;
    if (depth - 1 < 0) return false;
    const bool geometry = notes.geometry, null_array = notes.null_array;
    notes.geometry = notes.null_array = false;
    if (!check_message(MessageType::AnyValue, s.begin, s.end, depth - 1, notes)) return false;
    if (notes.geometry || notes.null_array) {
        if (index < 64)
            notes.flagged |= uint64_t{1} << index;
        else
            notes.flagged_beyond = true;
    }
    notes.geometry |= geometry;
    notes.null_array |= null_array;
    return true;
}

}  // namespace

bool check_message(MessageType type, const char* p, const char* end, int depth, CheckNotes& notes) {
    if (type == MessageType::AnyValue && scalar_value_ok(p, end, depth)) return true;
    if (type == MessageType::Geometry) notes.geometry = true;
    if (type == MessageType::NullArray) notes.null_array = true;
    while (p < end) {
        uint32_t tag;
        if (!read_tag(p, end, tag) || tag == 0) return false;
        const uint32_t wt = tag & 7;
        const uint32_t number = tag >> 3;
        if (wt == kEndGroup || number == 0) return false;
        const Rule rule = rule_for(type, number);
        bool known = true;
        switch (rule.kind) {
            case Kind::Unknown:
                known = false;
                break;
            case Kind::Varint:
                if (wt == kVarint) {
                    uint64_t v;
                    if (!read_varint(p, end, v)) return false;
                } else {
                    known = false;
                }
                break;
            case Kind::Fixed32:
                if (wt == kFixed32) {
                    if (!skip_bytes(p, end, 4)) return false;
                } else {
                    known = false;
                }
                break;
            case Kind::Fixed64:
                if (wt == kFixed64) {
                    if (!skip_bytes(p, end, 8)) return false;
                } else {
                    known = false;
                }
                break;
            case Kind::Utf8:
            case Kind::Bytes:
            case Kind::Message:
                if (wt == kLengthDelimited) {
                    Span s;
                    if (!read_span(p, end, s)) return false;
                    if (rule.kind == Kind::Utf8 && !utf8_ok(s)) return false;
                    if (rule.kind == Kind::Message && type == MessageType::Row) {
                        if (!check_row_value(s, depth, notes)) return false;
                    } else if (rule.kind == Kind::Message &&
                               (depth - 1 < 0 || !check_message(rule.sub, s.begin, s.end, depth - 1, notes))) {
                        return false;
                    }
                } else {
                    known = false;
                }
                break;
            case Kind::PackedVarint:
                if (wt == kLengthDelimited) {
                    Span s;
                    if (!read_span(p, end, s) || !check_packed_varints(s)) return false;
                } else if (wt == kVarint) {
                    uint64_t v;
                    if (!read_varint(p, end, v)) return false;
                } else {
                    known = false;
                }
                break;
            case Kind::PackedFixed32:
            case Kind::PackedFixed64: {
                const std::size_t width = rule.kind == Kind::PackedFixed32 ? 4 : 8;
                if (wt == kLengthDelimited) {
                    Span s;
                    if (!read_span(p, end, s) || s.size() % width != 0) return false;
                } else if (wt == (width == 4 ? kFixed32 : kFixed64)) {
                    if (!skip_bytes(p, end, width)) return false;
                } else {
                    known = false;
                }
                break;
            }
        }
        if (!known && !skip_unknown(p, end, tag, depth)) return false;
    }
    return true;
}

bool skip_field(const char*& p, const char* end, uint32_t tag) {
    if (tag == 0 || (tag & 7) == kEndGroup || (tag >> 3) == 0) return false;
    return skip_unknown(p, end, tag, kRecursionLimit);
}

bool FieldReader::next_slow(Field& f) {
    for (;;) {
        while (p_ == end_) {
            if (index_ + 1 >= spans_->count()) return false;
            open(index_ + 1);
        }
        uint32_t tag;
        bool ok = read_tag(p_, end_, tag) && tag != 0 && (tag >> 3) != 0;
        if (ok) {
            f.number = tag >> 3;
            f.wire_type = tag & 7;
            switch (f.wire_type) {
                case kVarint:
                    ok = read_varint(p_, end_, f.value);
                    break;
                case kFixed64:
                    ok = end_ - p_ >= 8;
                    if (ok) {
                        f.value = load_fixed64(p_);
                        p_ += 8;
                    }
                    break;
                case kLengthDelimited:
                    ok = read_span(p_, end_, f.data);
                    break;
                case kFixed32:
                    ok = end_ - p_ >= 4;
                    if (ok) {
                        f.value = load_fixed32(p_);
                        p_ += 4;
                    }
                    break;
                case kStartGroup:
                    if (skip_group(p_, end_, f.number, kRecursionLimit)) continue;
                    ok = false;
                    break;
                default:
                    ok = false;
                    break;
            }
        }
        if (ok) return true;
        // Never for checked input; stop rather than guess.
        index_ = spans_->count();
        p_ = end_ = nullptr;
        return false;
    }
}

void collect_message(const Spans& parent, uint32_t number, Spans& out) {
    out.clear();
    FieldReader reader(parent);
    Field f;
    while (reader.next(f))
        if (f.number == number && f.wire_type == kLengthDelimited) out.add(f.data);
}

void RefusedNulls::seal(const char* frame_begin) {
    base_ = frame_begin;
    std::sort(offsets_.begin(), offsets_.end());
}

bool RefusedNulls::contains(const char* key) const {
    if (offsets_.empty() || key < base_) return false;
    return std::binary_search(offsets_.begin(), offsets_.end(), static_cast<std::size_t>(key - base_));
}

namespace {

struct IsAnyMember {
    bool operator()(uint32_t n, uint32_t wt) const { return wt == kLengthDelimited && ((n >= 1 && n <= 6) || n == 20); }
};

struct IsPrimitiveMember {
    bool operator()(uint32_t n, uint32_t wt) const {
        switch (n) {
            case 1:
            case 9:
            case 10:
            case 11:
                return wt == kLengthDelimited;
            case 2:
            case 5:
                return wt == kFixed32;
            case 4:
                return wt == kFixed64;
            case 3:
            case 6:
            case 7:
            case 8:
            case 12:
            case 13:
                return wt == kVarint;
            default:
                return false;
        }
    }
};

struct IsArrayMember {
    bool operator()(uint32_t n, uint32_t wt) const { return wt == kLengthDelimited && n >= 2 && n <= 15; }
};

struct IsGeometryMember {
    bool operator()(uint32_t n, uint32_t wt) const { return wt == kLengthDelimited && (n == 2 || n == 3); }
};

// The last varint of field `number` over the spans (0 when absent).
uint64_t last_varint(const Spans& message, uint32_t number) {
    uint64_t value = 0;
    FieldReader reader(message);
    Field f;
    while (reader.next(f))
        if (f.number == number && f.wire_type == kVarint) value = f.value;
    return value;
}

// The last length-delimited field `number` (empty when absent).
Span last_bytes(const Spans& message, uint32_t number) {
    Span value;
    FieldReader reader(message);
    Field f;
    while (reader.next(f))
        if (f.number == number && f.wire_type == kLengthDelimited) value = f.data;
    return value;
}

// Milliseconds whose tick count (x 10000) fits 64 bits.
bool datetime_fits(int64_t ms) {
    int64_t ticks;
    return !__builtin_mul_overflow(ms, int64_t{10000}, &ticks);
}

// What PrimitiveValue member `number` holds: its last scalar (v or bytes),
// or for a geometry the spans of its occurrences, which geometry() gives
// (only a geometry needs them).
template <class Geometry>
inline void set_primitive(uint32_t number, uint64_t v, Span bytes, Geometry&& geometry, ValueRef& out) {
    switch (number) {
        case 1:
            out.kind = ValueKind::String;
            out.bytes = bytes;
            break;
        case 2:
            out.kind = ValueKind::Float;
            out.d = static_cast<double>(as_float(static_cast<uint32_t>(v)));
            break;
        case 3:
            out.kind = ValueKind::Float;
            out.d = static_cast<double>(static_cast<float>(zigzag32(static_cast<uint32_t>(v))));
            break;
        case 4:
            out.kind = ValueKind::Double;
            out.d = as_double(v);
            break;
        case 5:
            out.kind = ValueKind::Double;
            out.d = static_cast<double>(as_float(static_cast<uint32_t>(v)));
            break;
        case 6:
            out.kind = ValueKind::Double;
            out.d = static_cast<double>(zigzag64(v));
            break;
        case 7:
            out.kind = ValueKind::Int64;
            out.i = zigzag64(v);
            break;
        case 8:
            out.kind = ValueKind::Bool;
            out.b = v != 0;
            break;
        case 9:
            if (bytes.size() == 16) {
                out.kind = ValueKind::Uuid;
                out.bytes = bytes;
            }
            break;
        case 10:
            out.kind = ValueKind::Blob;
            out.bytes = bytes;
            break;
        case 11: {
            Spans spans = geometry();
            OneofChoice g;
            resolve_oneof(spans, IsGeometryMember{}, g);
            if (g.number == 2) {
                out.kind = ValueKind::Geometry;
                out.body = std::move(spans);
            }
            break;
        }
        case 13: {
            const int64_t ms = static_cast<int64_t>(v);
            if (datetime_fits(ms)) {
                out.kind = ValueKind::DateTime;
                out.i = ms;
            }
            break;
        }
        default:  // 12 (null_value) and nothing set
            break;
    }
}

void resolve_primitive(const Spans& message, ValueRef& out) {
    OneofChoice c;
    resolve_oneof(message, IsPrimitiveMember{}, c);
    set_primitive(c.number, c.last.value, c.last.data, [&c] { return std::move(c.spans); }, out);
}

void resolve_array(const Spans& message, const RefusedNulls& refused, ValueRef& out) {
    out.kind = ValueKind::Array;
    OneofChoice c;
    resolve_oneof(message, IsArrayMember{}, c);
    out.member = c.number;
    switch (c.number) {
        case 0:
            out.empty = true;
            return;
        case kUuidValues:
            out.bytes = c.last.data;
            out.empty = out.bytes.size() % 16 != 0;
            return;
        case kNullValues: {
            const int64_t count = zigzag64(last_varint(c.spans, 1));
            out.null_count = count;
            out.empty = count < 0 || count > kMaxNullArrayCount || refused.contains(c.spans.key());
            out.body = std::move(c.spans);
            return;
        }
        default:
            out.body = std::move(c.spans);
            return;
    }
}

}  // namespace

bool properties_ok(const Spans& message, uint32_t field) {
    FieldReader reader(message);
    Field f;
    while (reader.next(f)) {
        if (f.number != field || f.wire_type != kLengthDelimited) continue;
        if (last_bytes(Spans(f.data), 1).empty()) return false;
    }
    return true;
}

int64_t count_fields(const Spans& message, uint32_t number) {
    int64_t n = 0;
    FieldReader reader(message);
    Field f;
    while (reader.next(f))
        if (f.number == number && f.wire_type == kLengthDelimited) ++n;
    return n;
}

bool path_ok(const Spans& path, int64_t& entities, int64_t& relationships) {
    entities = count_fields(path, kPathEntities);
    relationships = count_fields(path, kPathRelationships);
    if (entities != relationships + 1) return false;
    FieldReader reader(path);
    Field f;
    while (reader.next(f)) {
        if (f.wire_type != kLengthDelimited) continue;
        if (f.number == kPathEntities && !properties_ok(Spans(f.data), kEntityProperties)) return false;
        if (f.number == kPathRelationships && !properties_ok(Spans(f.data), kRelationshipProperties)) return false;
    }
    return true;
}

void resolve_value(const Spans& any_value, const RefusedNulls& refused, ValueRef& out) {
    out.kind = ValueKind::Null;
    out.empty = false;
    out.member = 0;
    out.body.clear();
    // Nearly every value is written the encoders' way.
    if (any_value.count() == 1 && resolve_scalar_value(any_value.at(0), out)) return;
    OneofChoice c;
    resolve_oneof(any_value, IsAnyMember{}, c);
    // Wrapped values stand for their inner value.
    Spans inner;
    while (c.number == 20) {
        inner = std::move(c.spans);
        resolve_oneof(inner, IsAnyMember{}, c);
    }
    switch (c.number) {
        case 1:
            resolve_primitive(c.spans, out);
            break;
        case 2:
            resolve_array(c.spans, refused, out);
            break;
        case 3:
            out.kind = ValueKind::Object;
            out.empty = !properties_ok(c.spans, kObjectProperties);
            out.body = std::move(c.spans);
            break;
        case 4:
            if (properties_ok(c.spans, kEntityProperties)) {
                out.kind = ValueKind::Entity;
                out.body = std::move(c.spans);
            }
            break;
        case 5:
            if (properties_ok(c.spans, kRelationshipProperties)) {
                out.kind = ValueKind::Relationship;
                out.body = std::move(c.spans);
            }
            break;
        case 6: {
            out.kind = ValueKind::Path;
            int64_t e = 0, r = 0;
            out.empty = !path_ok(c.spans, e, r);
            out.body = std::move(c.spans);
            break;
        }
        default:
            break;
    }
}

bool resolve_scalar_value(Span any_value, ValueRef& out) {
    out.kind = ValueKind::Null;
    out.empty = false;
    LonePrimitive f;
    if (!read_lone_primitive(any_value.begin, any_value.end, f)) return false;
    set_primitive(f.tag >> 3, f.value, f.bytes, [&f] { return Spans(f.bytes); }, out);
    return true;
}

void resolve_entity(const Spans& entity, EntityRef& out) {
    out.label = Span{};
    out.has_id = false;
    out.id.clear();
    FieldReader reader(entity);
    Field f;
    while (reader.next(f)) {
        if (f.wire_type != kLengthDelimited) continue;
        if (f.number == 1) {
            out.label = f.data;
        } else if (f.number == 3) {
            out.has_id = true;
            out.id.add(f.data);
        }
    }
}

void resolve_relationship(const Spans& relationship, RelationshipRef& out) {
    out.type = Span{};
    out.has_id = out.has_ends = false;
    out.id.clear();
    out.origin.clear();
    out.destination.clear();
    FieldReader reader(relationship);
    Field f;
    while (reader.next(f)) {
        if (f.wire_type != kLengthDelimited) continue;
        switch (f.number) {
            case 1:
                out.type = f.data;
                break;
            case 3:
                out.has_id = true;
                out.id.add(f.data);
                break;
            case 4:
                out.has_ends = true;
                out.origin.add(f.data);
                break;
            case 5:
                out.has_ends = true;
                out.destination.add(f.data);
                break;
            default:
                break;
        }
    }
}

ElementWidth element_width(uint32_t member) {
    switch (member) {
        case kFloatValues:
        case kDoubleFloatValues:
            return ElementWidth::Fixed32;
        case kDoubleValues:
            return ElementWidth::Fixed64;
        default:
            return ElementWidth::Varint;
    }
}

int64_t count_elements(const ValueRef& array) {
    switch (array.member) {
        case kAnyValues:
        case kStringValues:
        case kBlobValues:
        case kGeometryValues: {
            int64_t n = 0;
            for_each_element_bytes(array.body, [&n](Span) { ++n; });
            return n;
        }
        case kNullValues:
            return array.null_count;
        case kUuidValues:
            return static_cast<int64_t>(array.bytes.size() / 16);
        case 0:
            return 0;
        default: {
            int64_t n = 0;
            for_each_element(array.body, element_width(array.member), [&n](uint64_t) { ++n; });
            return n;
        }
    }
}

// Every varint ends in its one byte below 0x80, so the count is the number
// of such bytes before the stop; a stop needs ten continuation bytes in a
// row, which an eight-byte word can only hold across its edges. Quantized
// coordinates make these fields the longest part of most frames, and the
// frame check, the layout check and the reader each scan them.
PackedScan scan_packed_varints(Span s) {
    constexpr uint64_t kHighBits = 0x8080808080808080ull;
    PackedScan out;
    unsigned run = 0;  // continuation bytes since the last varint ended
    const char* p = s.begin;
    for (; s.end - p >= 8; p += 8) {
        const uint64_t ends = ~load_fixed64(p) & kHighBits;  // bit 7 of each last byte, the first byte lowest
        if (ends == 0) {
            run += 8;
            if (run >= 10) break;
            continue;
        }
        run += static_cast<unsigned>(__builtin_ctzll(ends)) / 8;  // continuation bytes before the first end
        if (run >= 10) break;
        // A byte sum of the marks (a popcount instruction is not everywhere).
        out.count += static_cast<std::size_t>(((ends >> 7) * 0x0101010101010101ull) >> 56);
        run = static_cast<unsigned>(__builtin_clzll(ends)) / 8;  // after the last end
    }
    if (run >= 10) {
        out.whole = false;
        return out;
    }
    for (; p < s.end; ++p) {
        if (static_cast<uint8_t>(*p) & 0x80) {
            if (++run == 10) break;
        } else {
            ++out.count;
            run = 0;
        }
    }
    out.whole = run == 0;
    return out;
}

namespace {

// Room for extra more items, growing at least twofold: a geometry sent in
// many small packed pieces must not reallocate at every piece.
template <class T>
void make_room(std::vector<T>& v, std::size_t extra) {
    const std::size_t need = v.size() + extra;
    if (need > v.capacity()) v.reserve(std::max(need, 2 * v.capacity()));
}

// The varints of a packed field, converted, appended to out. The scan has
// found where every varint taken ends, so the loop needs no bounds checks.
template <class T, class Convert>
void read_packed(Span s, std::vector<T>& out, Convert&& convert) {
    const std::size_t count = scan_packed_varints(s).count;
    const std::size_t at = out.size();
    make_room(out, count);
    out.resize(at + count);
    T* to = out.data() + at;
    const char* p = s.begin;
    for (std::size_t i = 0; i < count; ++i) {
        uint64_t byte = static_cast<uint8_t>(*p++);
        uint64_t v = byte & 0x7f;
        for (unsigned shift = 7; byte >= 0x80; shift += 7) {
            byte = static_cast<uint8_t>(*p++);
            v |= (byte & 0x7f) << shift;
        }
        to[i] = convert(v);
    }
}

int32_t length_of(uint64_t v) { return static_cast<int32_t>(static_cast<uint32_t>(v)); }
double coordinate_of(uint64_t v) { return static_cast<double>(zigzag64(v)); }

// kValues false: the coordinates are counted, not decoded (left as zeros).
template <bool kValues>
bool read_geometry_fields(const Spans& geometry_value, geometry_t& g) {
    OneofChoice c;
    resolve_oneof(geometry_value, IsGeometryMember{}, c);
    if (c.number != 2) return false;
    const uint64_t wire_type = last_varint(geometry_value, 1);
    g.geometry_type = from_wire_geometry_type(static_cast<int>(static_cast<uint32_t>(wire_type)));
    g.has_z = false;
    g.has_m = false;
    g.lengths.clear();
    g.coords.clear();
    std::size_t coords = 0;  // counted when the values are not read
    FieldReader reader(c.spans);
    Field f;
    while (reader.next(f)) {
        switch (f.number) {
            case 1:
                if (f.wire_type == kVarint) g.has_z = f.value != 0;
                break;
            case 2:
                if (f.wire_type == kVarint) g.has_m = f.value != 0;
                break;
            case 3:
                if (f.wire_type == kVarint)
                    g.lengths.push_back(length_of(f.value));
                else if (f.wire_type == kLengthDelimited)
                    read_packed(f.data, g.lengths, length_of);
                break;
            case 4:
                if (f.wire_type == kVarint) {
                    if (kValues)
                        g.coords.push_back(coordinate_of(f.value));
                    else
                        ++coords;
                } else if (f.wire_type == kLengthDelimited) {
                    if (kValues)
                        read_packed(f.data, g.coords, coordinate_of);
                    else
                        coords += scan_packed_varints(f.data).count;
                }
                break;
            default:
                break;
        }
    }
    if (!kValues) g.coords.resize(coords);
    return true;
}

}  // namespace

bool read_geometry(const Spans& geometry_value, geometry_t& g) { return read_geometry_fields<true>(geometry_value, g); }

bool read_geometry_layout(const Spans& geometry_value, geometry_t& g) {
    return read_geometry_fields<false>(geometry_value, g);
}

void read_error(const Spans& error, int64_t& code, Span& message) {
    code = zigzag64(last_varint(error, 1));
    message = last_bytes(error, 2);
}

bool next_row(const char*& p, const char* end, Span& row) {
    while (p < end) {
        uint32_t tag;
        if (!read_tag(p, end, tag)) return false;
        if (tag == ((kFrameRows << 3) | kLengthDelimited)) return read_span(p, end, row);
        if (!skip_field(p, end, tag)) return false;
    }
    return false;
}

}  // namespace wire
}  // namespace tk
