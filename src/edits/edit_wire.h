// Wire bytes of edit requests, written directly: the same bytes the protobuf
// runtime gives for the messages the value codec would build, without
// building them. Compound values (objects, entities, relationships, paths,
// arrays) still go through the codec, so its rules (nesting, text checks)
// stay in one place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "geometry/geometry.h"
#include "geometry/quantization.h"
#include "values/object_values.h"

namespace tk {
namespace edit_wire {

// Tags (field number << 3 | wire type) of the length-delimited fields the
// edit encoder writes; every field number involved is below 16, so a tag is
// one byte.
constexpr uint8_t tag(uint32_t field, uint32_t wire_type) { return static_cast<uint8_t>(field << 3 | wire_type); }
constexpr uint8_t kLen = 2;

inline std::size_t varint_size(uint64_t v) {
    std::size_t n = 1;
    while (v >= 0x80) {
        v >>= 7;
        ++n;
    }
    return n;
}

inline void put_varint(std::string& out, uint64_t v) {
    char buf[10];
    std::size_t n = 0;
    while (v >= 0x80) {
        buf[n++] = static_cast<char>(v | 0x80);
        v >>= 7;
    }
    buf[n++] = static_cast<char>(v);
    out.append(buf, n);
}

inline uint64_t zigzag64(int64_t v) { return (static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63); }
inline uint32_t zigzag32(int32_t v) { return (static_cast<uint32_t>(v) << 1) ^ static_cast<uint32_t>(v >> 31); }

// A length-delimited field whose length is known only once its content is
// written: one byte is kept for the length and widened afterwards when the
// content turns out to be 128 bytes or more.
inline std::size_t open_message(std::string& out, uint8_t field_tag) {
    const char head[2] = {static_cast<char>(field_tag), 0};
    out.append(head, 2);
    return out.size();
}
void close_message(std::string& out, std::size_t start);

inline void put_bytes_field(std::string& out, uint8_t field_tag, std::string_view bytes) {
    out.push_back(static_cast<char>(field_tag));
    put_varint(out, bytes.size());
    out.append(bytes.data(), bytes.size());
}

// Writes values as the bodies of AnyValue messages (no tag, no length).
// Status codes are the codec's: 0 (or 1 for an empty array) on success,
// negative on failure; geometries throw what encode_geometry throws
// ("Invalid geometry.", "unsupported geometry type").
class ValueWriter {
public:
    explicit ValueWriter(const QuantizationTransform& transform) : transform_(transform) {}

    // depth is what the codec's encode_any_value (0) or encode_properties
    // (1, for the values of an edit's properties) would start with.
    int any_value(std::string& out, const value_t& value, int depth);

    // The scalar alternatives, which cannot fail. text must be valid UTF-8.
    static void null_value(std::string& out);
    static void bool_value(std::string& out, bool b);
    static void int64_value(std::string& out, int64_t i);
    static void float_value(std::string& out, float f);
    static void double_value(std::string& out, double x);
    static void string_value(std::string& out, std::string_view text);
    static void blob_value(std::string& out, std::string_view bytes);

    // One KeyValuePair element (tag, length, key, value) of a properties
    // field with the given tag; the key must be valid UTF-8 (-3 otherwise).
    // On failure out is left as it was.
    int property(std::string& out, uint8_t field_tag, std::string_view key, const value_t& value);
    // A property whose value bytes (an AnyValue body) are written already.
    static int property_bytes(std::string& out, uint8_t field_tag, std::string_view key, std::string_view value);
    // A property holding a scalar: the key must be valid UTF-8 (unchecked).
    // These write in one step what property() writes for the same value.
    static void null_property(std::string& out, uint8_t field_tag, std::string_view key);
    static void bool_property(std::string& out, uint8_t field_tag, std::string_view key, bool b);
    static void int64_property(std::string& out, uint8_t field_tag, std::string_view key, int64_t i);
    // A Python float: single precision when that holds it exactly.
    static void number_property(std::string& out, uint8_t field_tag, std::string_view key, double x);
    static void datetime_property(std::string& out, uint8_t field_tag, std::string_view key, int64_t millis);
    // text must be valid UTF-8.
    static void string_property(std::string& out, uint8_t field_tag, std::string_view key, std::string_view text);
    static void blob_property(std::string& out, uint8_t field_tag, std::string_view key, std::string_view bytes);
    // A point (x, y, then z when has_z, then m when has_m) as property()
    // writes the geometry value holding it; a status or what quantizing
    // throws. On failure out is left as it was.
    int point_property(std::string& out, uint8_t field_tag, std::string_view key, const double* coords, bool has_z,
                       bool has_m);

    const QuantizationTransform& transform() const { return transform_; }

private:
    // Byte counts of the AnyValue body that holds the geometry in scratch_.
    struct GeometrySizes {
        uint64_t type = 0;  // the wire geometry type; 0 is left out
        std::size_t lengths = 0, coords = 0, default_geometry = 0, geometry = 0, primitive = 0;
        std::size_t body() const;
    };

    int geometry(std::string& out, const std::shared_ptr<geometry_t>& geometry);
    // The geometry held in scratch_ (copied there, not yet quantized).
    int scratch_geometry(std::string& out, int wire_type);
    // Quantizes scratch_ and measures it; throws what quantizing throws,
    // before anything is written.
    GeometrySizes measure_scratch(int wire_type);
    // Writes the measured body at p (room for sizes.body() bytes).
    char* write_scratch(char* p, const GeometrySizes& sizes) const;
    // Compound values through the codec, at the given depth.
    int compound(std::string& out, const value_t& value, int depth);

    const QuantizationTransform& transform_;
    geometry_t scratch_;  // a copy to quantize; keeps its capacity between values
};

}  // namespace edit_wire
}  // namespace tk
