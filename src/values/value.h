// The value union: one graph value of any kind.
#pragma once

#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <variant>

namespace tk {

struct geometry_t;
class ObjectValue;
class EntityValue;
class RelationshipValue;
class PathValue;
class ArrayValue;

struct null_t {
    bool operator==(const null_t&) const { return true; }
    bool operator!=(const null_t&) const { return false; }
};

// 16 bytes in RFC 4122 order (most significant byte first).
struct uuid_t {
    std::array<uint8_t, 16> bytes{};
    bool operator==(const uuid_t& o) const { return bytes == o.bytes; }
};

struct blob_t {
    std::string bytes;
    bool operator==(const blob_t& o) const { return bytes == o.bytes; }
};

// 100-nanosecond ticks since 1970-01-01T00:00:00 UTC.
using ticks_t = std::chrono::duration<int64_t, std::ratio<1, 10000000>>;
using time_point_t = std::chrono::time_point<std::chrono::system_clock, ticks_t>;

constexpr int64_t kTicksPerMicrosecond = 10;
constexpr int64_t kTicksPerMillisecond = 10000;
constexpr int64_t kTicksPerSecond = 10000000;

// Date-times travel as milliseconds since the epoch. False (out untouched)
// when the tick count would overflow.
inline bool time_point_from_millis(int64_t millis, time_point_t& out) {
    int64_t ticks = 0;
    if (__builtin_mul_overflow(millis, kTicksPerMillisecond, &ticks)) return false;
    out = time_point_t(ticks_t(ticks));
    return true;
}

// Truncates toward zero, as the wire form does.
inline int64_t millis_from_time_point(time_point_t tp) { return tp.time_since_epoch().count() / kTicksPerMillisecond; }

using value_t = std::variant<null_t,                              // 0
                             bool,                                // 1
                             int64_t,                             // 2
                             float,                               // 3
                             double,                              // 4
                             uuid_t,                              // 5
                             time_point_t,                        // 6
                             std::string,                         // 7
                             blob_t,                              // 8
                             std::shared_ptr<geometry_t>,         // 9
                             std::shared_ptr<ObjectValue>,        // 10
                             std::shared_ptr<EntityValue>,        // 11
                             std::shared_ptr<RelationshipValue>,  // 12
                             std::shared_ptr<PathValue>,          // 13
                             std::shared_ptr<ArrayValue>>;        // 14

enum value_index : std::size_t {
    kNullIndex = 0,
    kBoolIndex = 1,
    kInt64Index = 2,
    kFloatIndex = 3,
    kDoubleIndex = 4,
    kUuidIndex = 5,
    kDateTimeIndex = 6,
    kStringIndex = 7,
    kBlobIndex = 8,
    kGeometryIndex = 9,
    kObjectIndex = 10,
    kEntityIndex = 11,
    kRelationshipIndex = 12,
    kPathIndex = 13,
    kArrayIndex = 14,
};

inline bool is_null(const value_t& v) { return v.index() == kNullIndex; }

// True when single precision holds x exactly (infinities do, NaN does not).
// Finite values beyond the float range are refused before narrowing, which
// would be undefined.
inline bool float_exact(double x) {
    if (std::isnan(x)) return false;
    if (std::isinf(x)) return true;
    if (std::fabs(x) > static_cast<double>(std::numeric_limits<float>::max())) return false;
    return static_cast<double>(static_cast<float>(x)) == x;
}

// A Python float keeps single precision only when that loses nothing.
inline value_t narrowest_float(double d) {
    if (float_exact(d)) return static_cast<float>(d);
    return d;
}

// Compound values may nest (and, through shared arrays, even contain
// themselves); every recursive walk stops at this depth instead of
// overflowing the stack.
constexpr int kMaxValueDepth = 64;

// The deepest nesting the encoders write. Every compound level costs three
// message levels on the wire (AnyValue, the compound message, its
// KeyValuePair or AnyValueArray), the innermost one up to six more (an
// entity holding a geometry: EntityValue, KeyValuePair, AnyValue,
// PrimitiveValue, GeometryValue, its default geometry), and the outermost
// value sits up to six levels into its request (an identifier of an
// apply-edits delete: frame, Deletes, map entry, GraphObjectIdentifierSet,
// ArrayValue, AnyValueArray). A reader with protobuf's default recursion
// limit of 100 parses 6 + 3 * 29 + 6 = 99 levels, so compounds at depths
// 0 to 29 are written and deeper ones refused.
constexpr int kMaxEncodedValueDepth = 30;

}  // namespace tk
