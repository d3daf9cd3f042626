#include "edits/edit_wire.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <variant>

#include "common/status.h"
#include "common/utf8.h"
#include "graph_values.pb.h"
#include "values/codec.h"

namespace tk {
namespace edit_wire {

namespace wire = vexoPBuffer::graph;

void close_message(std::string& out, std::size_t start) {
    const std::size_t length = out.size() - start;
    if (length < 0x80) {
        out[start - 1] = static_cast<char>(length);
        return;
    }
    const std::size_t n = varint_size(length);
    out.insert(start, n - 1, '\0');
    uint64_t v = length;
    char* p = &out[start - 1];
    while (v >= 0x80) {
        *p++ = static_cast<char>(v | 0x80);
        v >>= 7;
    }
    *p = static_cast<char>(v);
}

namespace {

// Field tags of the messages written here.
constexpr uint8_t kAnyPrimitive = tag(1, kLen);  // AnyValue.primitive_value
// PrimitiveValue members.
constexpr uint8_t kString = tag(1, kLen);
constexpr uint8_t kFloat = tag(2, 5);
constexpr uint8_t kFloatInt = tag(3, 0);
constexpr uint8_t kDouble = tag(4, 1);
constexpr uint8_t kDoubleFloat = tag(5, 5);
constexpr uint8_t kDoubleInt = tag(6, 0);
constexpr uint8_t kInt64 = tag(7, 0);
constexpr uint8_t kBool = tag(8, 0);
constexpr uint8_t kUuid = tag(9, kLen);
constexpr uint8_t kBlob = tag(10, kLen);
constexpr uint8_t kGeometry = tag(11, kLen);
constexpr uint8_t kNull = tag(12, 0);
constexpr uint8_t kDateTime = tag(13, 0);
// GeometryValue and its default geometry.
constexpr uint8_t kGeometryType = tag(1, 0);
constexpr uint8_t kDefaultGeometry = tag(2, kLen);
constexpr uint8_t kHasZ = tag(1, 0);
constexpr uint8_t kHasM = tag(2, 0);
constexpr uint8_t kLengths = tag(3, kLen);
constexpr uint8_t kCoords = tag(4, kLen);
// KeyValuePair.
constexpr uint8_t kKey = tag(1, kLen);
constexpr uint8_t kValue = tag(2, kLen);

// The number classes of the codec: floats that are whole numbers in
// [-1048576, 1048575] go as zigzag ints; doubles as int, float or double by
// the narrowest form that holds them exactly.
constexpr int32_t kFloatIntMin = -1048576;
constexpr int32_t kFloatIntMax = 1048575;
constexpr double kIntegralMin = -281474976710656.0;
constexpr double kIntegralMax = 281474976710655.0;

inline bool float_as_int(float f, int32_t& out) {
    if (!(f >= static_cast<float>(kFloatIntMin) && f <= static_cast<float>(kFloatIntMax))) return false;
    const int32_t i = static_cast<int32_t>(f);
    if (static_cast<float>(i) != f) return false;
    out = i;
    return true;
}

inline char* varint_at(char* p, uint64_t v) {
    while (v >= 0x80) {
        *p++ = static_cast<char>(v | 0x80);
        v >>= 7;
    }
    *p++ = static_cast<char>(v);
    return p;
}

// A length-delimited field of n content bytes: tag, length, content.
inline std::size_t field_size(std::size_t n) { return 1 + varint_size(n) + n; }

// The tag and length of such a field at p; returns where its content goes.
inline char* open_field(char* p, uint8_t field_tag, std::size_t n) {
    *p++ = static_cast<char>(field_tag);
    return varint_at(p, n);
}

// The longest scalar AnyValue body: tag, length, field tag, ten varint bytes.
constexpr std::size_t kScalarMax = 13;

// A primitive value with a one-byte tag and a varint payload, into buf;
// returns its size.
inline std::size_t varint_body(char* buf, uint8_t field_tag, uint64_t v) {
    buf[0] = static_cast<char>(kAnyPrimitive);
    buf[1] = static_cast<char>(1 + varint_size(v));
    buf[2] = static_cast<char>(field_tag);
    return static_cast<std::size_t>(varint_at(buf + 3, v) - buf);
}

template <class T>
inline std::size_t fixed_body(char* buf, uint8_t field_tag, T v) {
    static_assert(sizeof(T) == 4 || sizeof(T) == 8, "fixed32 or fixed64");
    buf[0] = static_cast<char>(kAnyPrimitive);
    buf[1] = static_cast<char>(1 + sizeof(T));
    buf[2] = static_cast<char>(field_tag);
    std::memcpy(buf + 3, &v, sizeof(T));  // little-endian hosts only, as the protobuf runtime here
    return 3 + sizeof(T);
}

inline std::size_t float_body(char* buf, float f) {
    int32_t i = 0;
    if (float_as_int(f, i)) return varint_body(buf, kFloatInt, zigzag32(i));
    return fixed_body(buf, kFloat, f);
}

inline std::size_t double_body(char* buf, double x) {
    int64_t t = 0;
    bool integral = false;
    if (x >= kIntegralMin && x <= kIntegralMax) {  // false for NaN
        t = static_cast<int64_t>(x);
        integral = static_cast<double>(t) == x;
    }
    if (integral && t >= kFloatIntMin && t <= kFloatIntMax) return varint_body(buf, kDoubleInt, zigzag64(t));
    if (float_exact(x)) return fixed_body(buf, kDoubleFloat, static_cast<float>(x));
    if (!integral) return fixed_body(buf, kDouble, x);
    return varint_body(buf, kDoubleInt, zigzag64(t));
}

inline void varint_primitive(std::string& out, uint8_t field_tag, uint64_t v) {
    char buf[kScalarMax];
    out.append(buf, varint_body(buf, field_tag, v));
}

template <class T>
inline void fixed_primitive(std::string& out, uint8_t field_tag, T v) {
    char buf[kScalarMax];
    out.append(buf, fixed_body(buf, field_tag, v));
}

inline void length_primitive(std::string& out, uint8_t field_tag, std::string_view bytes) {
    const std::size_t inner = 1 + varint_size(bytes.size()) + bytes.size();
    out.push_back(static_cast<char>(kAnyPrimitive));
    put_varint(out, inner);
    put_bytes_field(out, field_tag, bytes);
}

// One KeyValuePair whose value is head followed by payload, sized up front
// and written in one step.
inline void small_pair(std::string& out, uint8_t field_tag, std::string_view key, const char* head,
                       std::size_t head_size, std::string_view payload = {}) {
    const std::size_t value = head_size + payload.size();
    const std::size_t body = (key.empty() ? 0 : field_size(key.size())) + field_size(value);
    const std::size_t at = out.size();
    out.resize(at + field_size(body));
    char* p = open_field(&out[at], field_tag, body);
    if (!key.empty()) {  // proto3 leaves an empty key out
        p = open_field(p, kKey, key.size());
        std::memcpy(p, key.data(), key.size());
        p += key.size();
    }
    p = open_field(p, kValue, value);
    std::memcpy(p, head, head_size);
    if (!payload.empty()) std::memcpy(p + head_size, payload.data(), payload.size());
}

inline void length_pair(std::string& out, uint8_t field_tag, std::string_view key, uint8_t primitive_tag,
                        std::string_view bytes) {
    char head[2 + 2 * 10];
    char* p = head;
    *p++ = static_cast<char>(kAnyPrimitive);
    p = varint_at(p, 1 + varint_size(bytes.size()) + bytes.size());
    *p++ = static_cast<char>(primitive_tag);
    p = varint_at(p, bytes.size());
    small_pair(out, field_tag, key, head, static_cast<std::size_t>(p - head), bytes);
}

// Truncation toward zero; values that no int64 holds (and NaN) cannot be
// put on the grid.
inline int64_t grid_integer(double value) {
    if (!(value >= -9223372036854775808.0 && value < 9223372036854775808.0))
        throw std::invalid_argument("Invalid geometry.");
    return static_cast<int64_t>(value);
}

template <class T>
inline const T& as(const value_t& v) {
    return *std::get_if<T>(&v);
}

}  // namespace

void ValueWriter::null_value(std::string& out) {
    const char bytes[4] = {static_cast<char>(kAnyPrimitive), 2, static_cast<char>(kNull), 0};
    out.append(bytes, 4);
}

void ValueWriter::bool_value(std::string& out, bool b) {
    const char bytes[4] = {static_cast<char>(kAnyPrimitive), 2, static_cast<char>(kBool), b ? char{1} : char{0}};
    out.append(bytes, 4);
}

void ValueWriter::int64_value(std::string& out, int64_t i) { varint_primitive(out, kInt64, zigzag64(i)); }

void ValueWriter::float_value(std::string& out, float f) {
    char buf[kScalarMax];
    out.append(buf, float_body(buf, f));
}

void ValueWriter::double_value(std::string& out, double x) {
    char buf[kScalarMax];
    out.append(buf, double_body(buf, x));
}

void ValueWriter::null_property(std::string& out, uint8_t field_tag, std::string_view key) {
    const char bytes[4] = {static_cast<char>(kAnyPrimitive), 2, static_cast<char>(kNull), 0};
    small_pair(out, field_tag, key, bytes, 4);
}

void ValueWriter::bool_property(std::string& out, uint8_t field_tag, std::string_view key, bool b) {
    const char bytes[4] = {static_cast<char>(kAnyPrimitive), 2, static_cast<char>(kBool), b ? char{1} : char{0}};
    small_pair(out, field_tag, key, bytes, 4);
}

void ValueWriter::int64_property(std::string& out, uint8_t field_tag, std::string_view key, int64_t i) {
    char buf[kScalarMax];
    small_pair(out, field_tag, key, buf, varint_body(buf, kInt64, zigzag64(i)));
}

void ValueWriter::number_property(std::string& out, uint8_t field_tag, std::string_view key, double x) {
    char buf[kScalarMax];
    const std::size_t n = float_exact(x) ? float_body(buf, static_cast<float>(x)) : double_body(buf, x);
    small_pair(out, field_tag, key, buf, n);
}

void ValueWriter::datetime_property(std::string& out, uint8_t field_tag, std::string_view key, int64_t millis) {
    char buf[kScalarMax];
    small_pair(out, field_tag, key, buf, varint_body(buf, kDateTime, static_cast<uint64_t>(millis)));
}

void ValueWriter::string_property(std::string& out, uint8_t field_tag, std::string_view key, std::string_view text) {
    length_pair(out, field_tag, key, kString, text);
}

void ValueWriter::blob_property(std::string& out, uint8_t field_tag, std::string_view key, std::string_view bytes) {
    length_pair(out, field_tag, key, kBlob, bytes);
}

void ValueWriter::string_value(std::string& out, std::string_view text) { length_primitive(out, kString, text); }

void ValueWriter::blob_value(std::string& out, std::string_view bytes) { length_primitive(out, kBlob, bytes); }

int ValueWriter::geometry(std::string& out, const std::shared_ptr<geometry_t>& geometry) {
    // The checks of encode_geometry, in its order.
    if (!geometry) return status::kInvalidArgument;
    if (!transform_.valid) return status::kNoQuantization;
    const geometry_t& g = *geometry;
    if (g.geometry_type == vexoGeometryMultiPatch) return status::kNotImplemented;
    const int wire_type = to_wire_geometry_type(g.geometry_type);
    if (g.coords.size() >= (std::size_t{1} << 31)) return status::kInvalidArgument;

    // quantize() checks the layout and leaves exactly the grid values
    // encode_geometry sends, in order; the caller's geometry is untouched.
    scratch_.geometry_type = g.geometry_type;
    scratch_.has_z = g.has_z;
    scratch_.has_m = g.has_m;
    scratch_.lengths.assign(g.lengths.begin(), g.lengths.end());
    scratch_.coords.assign(g.coords.begin(), g.coords.end());
    return scratch_geometry(out, wire_type);
}

int ValueWriter::point_property(std::string& out, uint8_t field_tag, std::string_view key, const double* coords,
                                bool has_z, bool has_m) {
    // The checks of geometry() that a point can meet.
    if (!transform_.valid) return status::kNoQuantization;
    scratch_.geometry_type = vexoGeometryPoint;
    scratch_.has_z = has_z;
    scratch_.has_m = has_m;
    scratch_.lengths.assign(1, 1);
    scratch_.coords.assign(coords, coords + 2 + (has_z ? 1 : 0) + (has_m ? 1 : 0));
    const GeometrySizes sizes = measure_scratch(to_wire_geometry_type(vexoGeometryPoint));
    // A point's value is short (four coordinates of at most ten bytes):
    // written here first, then the whole pair in one step.
    char value[128];
    if (sizes.body() > sizeof value) throw std::logic_error("Point value too long.");
    const char* end = write_scratch(value, sizes);
    small_pair(out, field_tag, key, value, static_cast<std::size_t>(end - value));
    return status::kOk;
}

std::size_t ValueWriter::GeometrySizes::body() const { return field_size(primitive); }

ValueWriter::GeometrySizes ValueWriter::measure_scratch(int wire_type) {
    quantize(scratch_, transform_);
    GeometrySizes s;
    s.type = static_cast<uint64_t>(static_cast<int64_t>(wire_type));
    for (int32_t length : scratch_.lengths) s.lengths += varint_size(static_cast<uint32_t>(length));
    // grid_integer throws here for a value no grid holds, before any writing.
    for (double value : scratch_.coords) s.coords += varint_size(zigzag64(grid_integer(value)));
    s.default_geometry = (scratch_.has_z ? 2 : 0) + (scratch_.has_m ? 2 : 0) +
                         (scratch_.lengths.empty() ? 0 : field_size(s.lengths)) +
                         (scratch_.coords.empty() ? 0 : field_size(s.coords));
    s.geometry = (wire_type != 0 ? 1 + varint_size(s.type) : 0) + field_size(s.default_geometry);
    s.primitive = field_size(s.geometry);
    return s;
}

char* ValueWriter::write_scratch(char* p, const GeometrySizes& s) const {
    p = open_field(p, kAnyPrimitive, s.primitive);
    p = open_field(p, kGeometry, s.geometry);
    if (s.type != 0) {
        *p++ = static_cast<char>(kGeometryType);
        p = varint_at(p, s.type);
    }
    p = open_field(p, kDefaultGeometry, s.default_geometry);
    if (scratch_.has_z) {
        *p++ = static_cast<char>(kHasZ);
        *p++ = 1;
    }
    if (scratch_.has_m) {
        *p++ = static_cast<char>(kHasM);
        *p++ = 1;
    }
    if (!scratch_.lengths.empty()) {
        p = open_field(p, kLengths, s.lengths);
        for (int32_t length : scratch_.lengths) p = varint_at(p, static_cast<uint32_t>(length));
    }
    if (!scratch_.coords.empty()) {
        p = open_field(p, kCoords, s.coords);
        for (double value : scratch_.coords) p = varint_at(p, zigzag64(grid_integer(value)));
    }
    return p;
}

int ValueWriter::scratch_geometry(std::string& out, int wire_type) {
    const GeometrySizes sizes = measure_scratch(wire_type);
    const std::size_t at = out.size();
    out.resize(at + sizes.body());
    write_scratch(&out[at], sizes);
    return status::kOk;
}

int ValueWriter::compound(std::string& out, const value_t& value, int depth) {
    wire::AnyValue message;
    int rc = 0;
    if (depth == 0) {
        rc = encode_any_value(transform_, value, &message);
    } else {
        // The codec counts a property's value one level down from its owner:
        // encode it as the only property of a list to keep that count.
        KeyValueList list;
        list.pairs.emplace_back("v", value);
        google::protobuf::RepeatedPtrField<wire::KeyValuePair> pairs;
        rc = encode_properties(transform_, list, &pairs);
        if (rc >= 0) message.Swap(pairs.Mutable(0)->mutable_value());
    }
    if (rc < 0) return rc;
    const std::size_t size = message.ByteSizeLong();
    if (size > static_cast<std::size_t>(std::numeric_limits<int>::max())) return status::kInvalidArgument;
    const std::size_t at = out.size();
    out.resize(at + size);
    message.SerializeWithCachedSizesToArray(reinterpret_cast<uint8_t*>(&out[at]));
    return rc;
}

int ValueWriter::any_value(std::string& out, const value_t& v, int depth) {
    switch (v.index()) {
        case kNullIndex:
            null_value(out);
            return status::kOk;
        case kBoolIndex:
            bool_value(out, as<bool>(v));
            return status::kOk;
        case kInt64Index:
            int64_value(out, as<int64_t>(v));
            return status::kOk;
        case kFloatIndex:
            float_value(out, as<float>(v));
            return status::kOk;
        case kDoubleIndex:
            double_value(out, as<double>(v));
            return status::kOk;
        case kUuidIndex: {
            const auto& bytes = as<uuid_t>(v).bytes;
            length_primitive(out, kUuid, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
            return status::kOk;
        }
        case kDateTimeIndex:
            varint_primitive(out, kDateTime, static_cast<uint64_t>(millis_from_time_point(as<time_point_t>(v))));
            return status::kOk;
        case kStringIndex: {
            const auto& text = as<std::string>(v);
            if (!utf8_valid(text)) return status::kInvalidArgument;
            string_value(out, text);
            return status::kOk;
        }
        case kBlobIndex:
            blob_value(out, as<blob_t>(v).bytes);
            return status::kOk;
        case kGeometryIndex: {
            const std::size_t at = out.size();
            int rc = status::kOk;
            try {
                rc = geometry(out, as<std::shared_ptr<geometry_t>>(v));
            } catch (...) {
                out.resize(at);
                throw;
            }
            if (rc < 0) out.resize(at);
            return rc;
        }
        default:
            return compound(out, v, depth);
    }
}

int ValueWriter::property_bytes(std::string& out, uint8_t field_tag, std::string_view key, std::string_view value) {
    if (!utf8_valid(key)) return status::kInvalidArgument;
    const std::size_t key_size = key.empty() ? 0 : 1 + varint_size(key.size()) + key.size();
    const std::size_t value_size = 1 + varint_size(value.size()) + value.size();
    out.push_back(static_cast<char>(field_tag));
    put_varint(out, key_size + value_size);
    if (!key.empty()) put_bytes_field(out, kKey, key);  // proto3 leaves an empty key out
    put_bytes_field(out, kValue, value);
    return status::kOk;
}

int ValueWriter::property(std::string& out, uint8_t field_tag, std::string_view key, const value_t& value) {
    if (!utf8_valid(key)) return status::kInvalidArgument;
    const std::size_t at = out.size();
    const std::size_t pair = open_message(out, field_tag);
    if (!key.empty()) put_bytes_field(out, kKey, key);
    const std::size_t value_start = open_message(out, kValue);
    int rc = status::kOk;
    try {
        rc = any_value(out, value, 1);
    } catch (...) {
        out.resize(at);
        throw;
    }
    if (rc < 0) {
        out.resize(at);
        return rc;
    }
    close_message(out, value_start);
    close_message(out, pair);
    return rc;
}

}  // namespace edit_wire
}  // namespace tk
