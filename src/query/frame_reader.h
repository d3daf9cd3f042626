// Query result frames read straight from their wire bytes.
//
// Two layers, both without any Python:
//  - check_message: does protobuf-lite accept these bytes as a given message
//    of the result schema? The same answer as the runtime's parser, rule for
//    rule (tags, wire types, lengths, packed runs, UTF-8 of string fields,
//    unknown fields and groups, the recursion limit), and no allocation.
//  - The resolve_* functions and iterators: what a checked value means. A
//    singular message field that occurs more than once is merged, a oneof
//    takes its last member, a field with an unexpected wire type is an
//    unknown field: so a message is a list of spans (nearly always one).
//
// Builders of the native value union, of Python structures and of columns
// sit on top and share these rules; see frame_values.h for the first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "geometry/geometry.h"

namespace tk {
namespace wire {

struct Span {
    const char* begin = nullptr;
    const char* end = nullptr;

    std::size_t size() const { return static_cast<std::size_t>(end - begin); }
    bool empty() const { return begin == end; }
};

enum WireType : uint32_t {
    kVarint = 0,
    kFixed64 = 1,
    kLengthDelimited = 2,
    kStartGroup = 3,
    kEndGroup = 4,
    kFixed32 = 5,
};

// The runtime's default nesting limit: the top-level message may hold this
// many levels of messages and groups below it.
constexpr int kRecursionLimit = 100;

// ---- Bounded primitive reads (the runtime's own rules) ----------------------
// Each reads at p, never past end, and advances p; false when the bytes end
// first or the encoding breaks a rule.

// A varint of at most ten bytes (bits beyond 64 are dropped).
inline bool read_varint(const char*& p, const char* end, uint64_t& value) {
    uint64_t result = 0;
    for (int i = 0; i < 10; ++i) {
        if (p == end) return false;
        const uint64_t byte = static_cast<uint8_t>(*p++);
        result |= (byte & 0x7f) << (7 * i);
        if (byte < 0x80) {
            value = result;
            return true;
        }
    }
    return false;
}

// A tag: at most five bytes, the low 32 bits kept.
inline bool read_tag(const char*& p, const char* end, uint32_t& tag) {
    if (p != end && static_cast<uint8_t>(*p) < 0x80) {
        tag = static_cast<uint8_t>(*p++);
        return true;
    }
    uint32_t result = 0;
    for (int i = 0; i < 5; ++i) {
        if (p == end) return false;
        const uint32_t byte = static_cast<uint8_t>(*p++);
        result |= (byte & 0x7f) << (7 * i);
        if (byte < 0x80) {
            tag = result;
            return true;
        }
    }
    return false;
}

// A length prefix inside a message: at most five bytes and below 2^31 - 16.
inline bool read_size(const char*& p, const char* end, std::size_t& size) {
    uint32_t result = 0;
    for (int i = 0; i < 5; ++i) {
        if (p == end) return false;
        const uint32_t byte = static_cast<uint8_t>(*p++);
        if (i == 4 && byte >= 8) return false;
        result |= (byte & 0x7f) << (7 * i);
        if (byte < 0x80) {
            if (result > 0x7fffffffu - 16) return false;
            size = result;
            return true;
        }
    }
    return false;
}

inline bool read_span(const char*& p, const char* end, Span& out) {
    std::size_t size = 0;
    if (!read_size(p, end, size) || size > static_cast<std::size_t>(end - p)) return false;
    out.begin = p;
    out.end = p + size;
    p += size;
    return true;
}

inline uint32_t load_fixed32(const char* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

inline uint64_t load_fixed64(const char* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

inline int64_t zigzag64(uint64_t v) { return static_cast<int64_t>((v >> 1) ^ (~(v & 1) + 1)); }
inline int32_t zigzag32(uint32_t v) { return static_cast<int32_t>((v >> 1) ^ (~(v & 1) + 1)); }

inline float as_float(uint32_t bits) {
    float f;
    std::memcpy(&f, &bits, 4);
    return f;
}

inline double as_double(uint64_t bits) {
    double d;
    std::memcpy(&d, &bits, 8);
    return d;
}

// ---- Acceptance ------------------------------------------------------------

enum class MessageType : uint8_t {
    Frame,
    Row,
    Error,
    AnyValue,
    Primitive,
    KeyValue,
    Object,
    Entity,
    Relationship,
    Path,
    AnyArray,
    Array,
    FloatArray,
    DoubleArray,
    VarintArray,  // sint32, sint64, int64 and bool arrays: packed varints
    NullArray,
    StringArray,
    BlobArray,
    Geometry,
    DefaultGeometry,
    GeometryArray,
};

// What a check met, so that later passes can be skipped when there is
// nothing for them to do.
struct CheckNotes {
    bool geometry = false;    // a GeometryValue message somewhere
    bool null_array = false;  // a NullArray message somewhere
    // Of a GraphQueryRow: its values, and which of them hold a geometry or
    // a null array (bit i for value i; one flag for all past the 64th).
    std::size_t values = 0;
    uint64_t flagged = 0;
    bool flagged_beyond = false;
};

// True when the runtime would parse [begin, end) as a message of this type
// nested at a level that leaves `depth` more levels (kRecursionLimit for a
// top-level message).
bool check_message(MessageType type, const char* begin, const char* end, int depth, CheckNotes& notes);

// ---- Fields of checked messages --------------------------------------------

// A message as it appears on the wire: one span per occurrence. Occurrences
// of one singular message field are merged by the runtime, which is the
// same as reading their fields one after the other.
class Spans {
public:
    Spans() = default;
    explicit Spans(Span s) : first_(s), count_(1) {}

    void add(Span s) {
        if (count_ == 0)
            first_ = s;
        else
            more_.push_back(s);
        ++count_;
    }
    void clear() {
        count_ = 0;
        more_.clear();
    }
    std::size_t count() const { return count_; }
    bool empty() const { return count_ == 0; }
    Span at(std::size_t i) const { return i == 0 ? first_ : more_[i - 1]; }
    // The first byte of the first occurrence: tells apart the messages of
    // one frame (different occurrences never start at the same byte).
    const char* key() const { return first_.begin; }

private:
    Span first_;
    std::size_t count_ = 0;
    std::vector<Span> more_;
};

struct Field {
    uint32_t number = 0;
    uint32_t wire_type = 0;
    uint64_t value = 0;  // varint, fixed32 or fixed64 fields
    Span data;           // length-delimited fields
};

// Reads the fields of a checked message, over all its spans, in wire
// order; groups are skipped whole. Reading stops at the first malformed
// field (which a checked message never has).
class FieldReader {
public:
    explicit FieldReader(const Spans& spans) : spans_(&spans) { open(0); }

    // Nothing left in the current span and no span after it.
    bool at_end() const { return p_ == end_ && index_ + 1 >= spans_->count(); }

    bool next(Field& f) {
        // The common case inline: a one-byte tag inside the current span.
        if (p_ < end_) {
            const auto tag = static_cast<uint8_t>(*p_);
            if (tag >= 8 && tag < 0x80) {
                const char* p = p_ + 1;
                bool ok = false;
                switch (tag & 7u) {
                    case kVarint:
                        ok = read_varint(p, end_, f.value);
                        break;
                    case kFixed64:
                        if (end_ - p >= 8) {
                            f.value = load_fixed64(p);
                            p += 8;
                            ok = true;
                        }
                        break;
                    case kFixed32:
                        if (end_ - p >= 4) {
                            f.value = load_fixed32(p);
                            p += 4;
                            ok = true;
                        }
                        break;
                    case kLengthDelimited:
                        ok = read_span(p, end_, f.data);
                        break;
                    default:
                        break;
                }
                if (ok) {
                    f.number = tag >> 3;
                    f.wire_type = tag & 7u;
                    p_ = p;
                    return true;
                }
            }
        }
        return next_slow(f);
    }

private:
    const Spans* spans_;
    std::size_t index_ = 0;
    const char* p_ = nullptr;
    const char* end_ = nullptr;

    bool next_slow(Field& f);
    void open(std::size_t i) {
        index_ = i;
        if (i < spans_->count()) {
            const Span s = spans_->at(i);
            p_ = s.begin;
            end_ = s.end;
        } else {
            p_ = end_ = nullptr;
        }
    }
};

// Skips one field whose tag was read; false when malformed.
bool skip_field(const char*& p, const char* end, uint32_t tag);

// Collects the spans of a singular message field: every occurrence of
// `number` as a length-delimited field.
void collect_message(const Spans& parent, uint32_t number, Spans& out);

// The fields of a message type that form one oneof: resolved to the last
// member that occurred, with the occurrences of that member since the
// previous member switched away (the runtime clears a oneof when another
// member arrives and merges repeats of the same one).
struct OneofChoice {
    uint32_t number = 0;  // 0: no member set
    Field last;           // the last occurrence (scalar members)
    Spans spans;          // every occurrence since the switch (message members)
};

// `is_member(number, wire_type)` tells the member fields (with their
// expected wire types) apart from the rest of the message.
template <class IsMember>
void resolve_oneof(const Spans& message, IsMember&& is_member, OneofChoice& out) {
    out.number = 0;
    out.spans.clear();
    FieldReader reader(message);
    Field f;
    // As written by every encoder: one span holding just the member.
    if (message.count() == 1 && reader.next(f)) {
        if (reader.at_end() && is_member(f.number, f.wire_type)) {
            out.number = f.number;
            out.last = f;
            if (f.wire_type == kLengthDelimited) out.spans.add(f.data);
            return;
        }
        reader = FieldReader(message);
    }
    while (reader.next(f)) {
        if (!is_member(f.number, f.wire_type)) continue;
        if (f.number != out.number) {
            out.number = f.number;
            out.spans.clear();
        }
        out.last = f;
        if (f.wire_type == kLengthDelimited) out.spans.add(f.data);
    }
}

// ---- Values ----------------------------------------------------------------

// The alternative a value decodes to, numbered as the value union.
enum class ValueKind : uint8_t {
    Null = 0,
    Bool = 1,
    Int64 = 2,
    Float = 3,
    Double = 4,
    Uuid = 5,
    DateTime = 6,
    String = 7,
    Blob = 8,
    Geometry = 9,
    Object = 10,
    Entity = 11,
    Relationship = 12,
    Path = 13,
    Array = 14,
};

inline bool is_compound(ValueKind k) { return static_cast<int>(k) >= static_cast<int>(ValueKind::Geometry); }

// ArrayValue members, by field number.
enum ArrayMember : uint32_t {
    kAnyValues = 2,
    kFloatValues = 3,
    kFloatIntValues = 4,
    kDoubleValues = 5,
    kDoubleFloatValues = 6,
    kDoubleIntValues = 7,
    kInt64Values = 8,
    kBoolValues = 9,
    kNullValues = 10,
    kUuidValues = 11,
    kDatetimeValues = 12,
    kStringValues = 13,
    kBlobValues = 14,
    kGeometryValues = 15,
};

// One AnyValue, resolved down to what it holds.
struct ValueRef {
    ValueKind kind = ValueKind::Null;
    // A compound alternative that holds an empty pointer: an object with an
    // empty property key, a path whose counts or members do not fit, an
    // array with no member, a bad UUID length or a refused null count.
    bool empty = false;
    bool b = false;
    int64_t i = 0;           // Int64; DateTime: milliseconds
    double d = 0;            // Float, Double
    Span bytes;              // String, Blob, Uuid (16 bytes); array of UUIDs
    uint32_t member = 0;     // Array: the ArrayValue member
    int64_t null_count = 0;  // Array of nulls
    Spans body;              // Geometry, Object, Entity, Relationship, Path: the message; Array: the member
};

// Null arrays are only a count on the wire; these bound what they expand
// to. One array holds at most kMaxNullArrayCount; all arrays of one frame
// share kNullAllowance plus kNullsPerInputByte per byte received for the
// frame (its compressed size when compressed).
constexpr int64_t kMaxNullArrayCount = 1048576;
constexpr int64_t kNullAllowance = 65536;
constexpr int64_t kNullsPerInputByte = 16;

// The null arrays of a frame that its budget refused, as offsets of their
// Spans::key() from the frame's first byte. Nearly always empty.
class RefusedNulls {
public:
    void add(std::size_t offset) { offsets_.push_back(offset); }
    // Sorts the offsets and ties them to the frame's bytes.
    void seal(const char* frame_begin);
    bool contains(const char* key) const;
    bool empty() const { return offsets_.empty(); }

private:
    const char* base_ = nullptr;
    std::vector<std::size_t> offsets_;
};

// Resolves an AnyValue (wrapped values unwrapped). Entities and
// relationships whose properties hold an empty key come back as Null,
// objects and paths as empty pointers; refused null arrays as empty arrays.
void resolve_value(const Spans& any_value, const RefusedNulls& refused, ValueRef& out);

// The way every encoder writes a scalar or a geometry: an AnyValue holding
// only a primitive_value, which holds one field or nothing. Resolves such a
// value into out (kind, b, i, d, bytes; body for a geometry) as
// resolve_value would and answers true; answers false, out unspecified,
// for any other message (a compound member, a repeated or unknown field, a
// tag of more than one byte).
bool resolve_scalar_value(Span any_value, ValueRef& out);

// Entities and relationships (resolve_value has checked their property
// keys).
struct EntityRef {
    Span label;
    bool has_id = false;
    Spans id;
};
struct RelationshipRef {
    Span type;
    bool has_id = false;
    bool has_ends = false;  // origin or destination present: both are given
    Spans id, origin, destination;
};
void resolve_entity(const Spans& entity, EntityRef& out);
void resolve_relationship(const Spans& relationship, RelationshipRef& out);
// Property list field numbers.
constexpr uint32_t kObjectProperties = 2;
constexpr uint32_t kEntityProperties = 4;
constexpr uint32_t kRelationshipProperties = 6;
// True when no pair of the list has an empty key.
bool properties_ok(const Spans& message, uint32_t field);
int64_t count_fields(const Spans& message, uint32_t number);

// One KeyValuePair of a property list.
struct PairRef {
    Span key;
    bool has_value = false;
    Spans value;
};
// f(const PairRef&) for each pair in order.
template <class F>
void for_each_property(const Spans& message, uint32_t field, F&& f) {
    FieldReader reader(message);
    Field fld;
    PairRef pair;
    while (reader.next(fld)) {
        if (fld.number != field || fld.wire_type != kLengthDelimited) continue;
        pair.key = Span{};
        pair.has_value = false;
        pair.value.clear();
        const Spans one(fld.data);
        FieldReader inner(one);
        Field g;
        while (inner.next(g)) {
            if (g.wire_type != kLengthDelimited) continue;
            if (g.number == 1) {
                pair.key = g.data;
            } else if (g.number == 2) {
                pair.has_value = true;
                pair.value.add(g.data);
            }
        }
        f(static_cast<const PairRef&>(pair));
    }
}

// Walks the occurrences of one repeated message field: next() gives the
// next occurrence's bytes.
class MessageCursor {
public:
    MessageCursor(const Spans& message, uint32_t number) : reader_(message), number_(number) {}
    bool next(Span& out) {
        Field f;
        while (reader_.next(f)) {
            if (f.number == number_ && f.wire_type == kLengthDelimited) {
                out = f.data;
                return true;
            }
        }
        return false;
    }

private:
    FieldReader reader_;
    uint32_t number_;
};

// Path: decodes only when entities == relationships + 1 and every member's
// properties are fine; members alternate entity 0, relationship 0, ...
constexpr uint32_t kPathEntities = 1;
constexpr uint32_t kPathRelationships = 2;
bool path_ok(const Spans& path, int64_t& entities, int64_t& relationships);

// Elements of a typed array member (field 1 of the member message, packed
// or one element per field). f(uint64_t raw) for varint and fixed members,
// in order.
enum class ElementWidth { Varint, Fixed32, Fixed64 };
ElementWidth element_width(uint32_t member);
template <class F>
void for_each_element(const Spans& member, ElementWidth width, F&& f) {
    const uint32_t single = width == ElementWidth::Varint    ? kVarint
                            : width == ElementWidth::Fixed32 ? kFixed32
                                                             : kFixed64;
    FieldReader reader(member);
    Field fld;
    while (reader.next(fld)) {
        if (fld.number != 1) continue;
        if (fld.wire_type == single) {
            f(fld.value);
        } else if (fld.wire_type == kLengthDelimited) {
            const char* p = fld.data.begin;
            const char* end = fld.data.end;
            if (width == ElementWidth::Varint) {
                uint64_t v;
                while (p < end && read_varint(p, end, v)) f(v);
            } else {
                const std::size_t w = width == ElementWidth::Fixed32 ? 4 : 8;
                for (; static_cast<std::size_t>(end - p) >= w; p += w)
                    f(w == 4 ? static_cast<uint64_t>(load_fixed32(p)) : load_fixed64(p));
            }
        }
    }
}
// Elements of any array member (typed, strings, blobs, values, geometries).
int64_t count_elements(const ValueRef& array);
// f(Span) for string_values, blob_values, any_values and geometry_values
// members: each element's bytes.
template <class F>
void for_each_element_bytes(const Spans& member, F&& f) {
    FieldReader reader(member);
    Field fld;
    while (reader.next(fld))
        if (fld.number == 1 && fld.wire_type == kLengthDelimited) f(fld.data);
}

// What the reading loop makes of a packed varint field: how many varints it
// takes before it stops (at the end, or at a varint that runs past the end
// or over ten bytes), and whether they fill the field exactly.
struct PackedScan {
    std::size_t count = 0;
    bool whole = true;
};
PackedScan scan_packed_varints(Span s);

// Reads a GeometryValue into g (its vectors reused): false when it holds no
// default geometry (the value is then null). The coordinates are the grid
// integers as sent; dequantize turns them into coordinates.
bool read_geometry(const Spans& geometry_value, geometry_t& g);

// read_geometry for a layout check: everything but the coordinates' values,
// which are left as zeros (as many as read_geometry would read).
bool read_geometry_layout(const Spans& geometry_value, geometry_t& g);

// ---- Frames and rows -------------------------------------------------------

// The frame's top-level fields. A row's values are field 1 of the row.
constexpr uint32_t kFrameError = 1;
constexpr uint32_t kFrameRows = 2;

// Reads an Error message (code and message, merged over its spans).
void read_error(const Spans& error, int64_t& code, Span& message);

// The next row of a checked frame at or after p (other top-level fields are
// skipped); false when none is left before end.
bool next_row(const char*& p, const char* end, Span& row);

}  // namespace wire
}  // namespace tk
