// Every rule of what a cell means is frame_values.cpp's (the resolve
// functions of frame_reader.h); the JSON form of compound values follows the
// plain structures rows are turned into (keys in the same order, the last
// of repeated property keys winning at the first one's place, names up to
// their first NUL byte).
#include "query/arrow_batch.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "geometry/geometry_layout.h"

namespace tk {
namespace arrow {

namespace {

using wire::Span;
using wire::Spans;
using wire::ValueKind;
using wire::ValueRef;

// What a stored cell holds, as a bit of the column's `seen` mask.
enum Cell : uint8_t { kNull, kBool, kInt, kDouble, kUuid, kTime, kString, kBlob, kGeometry, kJson };

constexpr uint32_t bit(Cell c) { return 1u << c; }

// Cells whose value is bytes in the column's byte store; their word is the
// end offset of those bytes (the start is the previous such cell's end).
constexpr uint32_t kByteCells = bit(kUuid) | bit(kString) | bit(kBlob) | bit(kGeometry) | bit(kJson);
constexpr bool has_bytes(uint8_t c) { return (kByteCells >> c) & 1u; }

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
constexpr char kWkbOrder = 0;
#else
constexpr char kWkbOrder = 1;
#endif

std::size_t text_length(Span s) {
    const void* nul = std::memchr(s.begin, '\0', s.size());  // NOLINT(bugprone-not-null-terminated-result)
    return nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - s.begin) : s.size();
}

std::string_view name_of(Span s) { return std::string_view(s.begin, text_length(s)); }

bool exact_in_double(int64_t i) {
    const double d = static_cast<double>(i);
    if (d >= 9223372036854775808.0) return false;
    return static_cast<int64_t>(d) == i;
}

// ---- text forms -------------------------------------------------------------

void put_u32(std::string& out, uint32_t v) { out.append(reinterpret_cast<const char*>(&v), 4); }

void json_int(std::string& out, int64_t v) {
    char buf[24];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, r.ptr);
}

// Python's json spelling for the values JSON has no number for.
void json_double(std::string& out, double v) {
    if (std::isnan(v)) {
        out += "NaN";
        return;
    }
    if (std::isinf(v)) {
        out += v > 0 ? "Infinity" : "-Infinity";
        return;
    }
    char buf[32];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, r.ptr);
    if (std::memchr(buf, '.', static_cast<std::size_t>(r.ptr - buf)) == nullptr &&
        std::memchr(buf, 'e', static_cast<std::size_t>(r.ptr - buf)) == nullptr)
        out += ".0";
}

void json_string(std::string& out, const char* p, std::size_t n) {
    static const char kHex[] = "0123456789abcdef";
    out += '"';
    std::size_t run = 0;  // bytes copied as they are
    for (std::size_t i = 0; i < n; ++i) {
        const auto c = static_cast<unsigned char>(p[i]);
        if (c >= 0x20 && c != '"' && c != '\\') continue;
        out.append(p + run, i - run);
        run = i + 1;
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                out += "\\u00";
                out += kHex[c >> 4];
                out += kHex[c & 15];
                break;
        }
    }
    out.append(p + run, n - run);
    out += '"';
}

void json_string(std::string& out, std::string_view s) { json_string(out, s.data(), s.size()); }

void json_uuid(std::string& out, const char* b) {
    static const char kHex[] = "0123456789abcdef";
    out += '"';
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) out += '-';
        const auto c = static_cast<unsigned char>(b[i]);
        out += kHex[c >> 4];
        out += kHex[c & 15];
    }
    out += '"';
}

int64_t floor_div(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

// ISO-8601 in UTC with milliseconds, proleptic Gregorian calendar.
void json_time(std::string& out, int64_t ms) {
    const int64_t day_ms = 86400000;
    int64_t days = floor_div(ms, day_ms);
    const int64_t rem = ms - days * day_ms;
    days += 719468;
    const int64_t era = floor_div(days, 146097);
    const int64_t doe = days - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t day = doy - (153 * mp + 2) / 5 + 1;
    const int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    char buf[64];
    const int n = std::snprintf(buf, sizeof buf, "\"%04lld-%02d-%02dT%02d:%02d:%02d.%03dZ\"",
                                static_cast<long long>(year), static_cast<int>(month), static_cast<int>(day),
                                static_cast<int>(rem / 3600000), static_cast<int>(rem / 60000 % 60),
                                static_cast<int>(rem / 1000 % 60), static_cast<int>(rem % 1000));
    out.append(buf, static_cast<std::size_t>(n));
}

void json_base64(std::string& out, const char* p, std::size_t n) {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    out += '"';
    std::size_t i = 0;
    for (; i + 3 <= n; i += 3) {
        const uint32_t v =
            (static_cast<uint8_t>(p[i]) << 16) | (static_cast<uint8_t>(p[i + 1]) << 8) | static_cast<uint8_t>(p[i + 2]);
        out += kAlphabet[v >> 18];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += kAlphabet[v & 63];
    }
    if (n - i == 1) {
        const uint32_t v = static_cast<uint8_t>(p[i]) << 16;
        out += kAlphabet[v >> 18];
        out += kAlphabet[(v >> 12) & 63];
        out += "==";
    } else if (n - i == 2) {
        const uint32_t v = (static_cast<uint8_t>(p[i]) << 16) | (static_cast<uint8_t>(p[i + 1]) << 8);
        out += kAlphabet[v >> 18];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += '=';
    }
    out += '"';
}

// ---- geometries -------------------------------------------------------------

// Reads, dequantizes and checks a geometry for output: false when the
// message holds no geometry (a null cell). Throws std::invalid_argument
// for one that has no output form.
bool prepare_geometry(const Spans& body, const QuantizationTransform& t, geometry_t& g) {
    if (!wire::read_geometry(body, g)) return false;
    dequantize(g, t);
    const vexoGeometryType type = g.geometry_type;
    if (type != vexoGeometryPoint && type != vexoGeometryMultipoint && type != vexoGeometryPolyline &&
        type != vexoGeometryPolygon)
        throw std::invalid_argument("Unknown or unsupported geometry type.");
    check_layout(g, LayoutCheck::json);
    return true;
}

uint32_t wkb_code(const geometry_t& g, uint32_t base) { return base + (g.has_z ? 1000u : 0u) + (g.has_m ? 2000u : 0u); }

void wkb_head(std::string& out, uint32_t code) {
    out += kWkbOrder;
    put_u32(out, code);
}

void wkb_vertices(std::string& out, const double* c, std::size_t vertices, std::size_t d) {
    out.append(reinterpret_cast<const char*>(c), vertices * d * sizeof(double));
}

// ISO WKB of a prepared geometry: a polyline of one path is a linestring,
// of several a multilinestring; a polygon keeps its rings in order.
void write_wkb(std::string& out, const geometry_t& g) {
    const auto d = static_cast<std::size_t>(g.vertex_dimension());
    const double* c = g.coords.data();
    switch (g.geometry_type) {
        case vexoGeometryPoint:
            wkb_head(out, wkb_code(g, 1));
            wkb_vertices(out, c, 1, d);
            break;
        case vexoGeometryMultipoint: {
            const auto n = static_cast<std::size_t>(g.lengths[0]);
            wkb_head(out, wkb_code(g, 4));
            put_u32(out, static_cast<uint32_t>(n));
            for (std::size_t i = 0; i < n; ++i) {
                wkb_head(out, wkb_code(g, 1));
                wkb_vertices(out, c + i * d, 1, d);
            }
            break;
        }
        case vexoGeometryPolyline: {
            const bool single = g.lengths.size() == 1;
            if (!single) {
                wkb_head(out, wkb_code(g, 5));
                put_u32(out, static_cast<uint32_t>(g.lengths.size()));
            }
            for (const int32_t n : g.lengths) {
                wkb_head(out, wkb_code(g, 2));
                put_u32(out, static_cast<uint32_t>(n));
                wkb_vertices(out, c, static_cast<std::size_t>(n), d);
                c += static_cast<std::size_t>(n) * d;
            }
            break;
        }
        case vexoGeometryPolygon:
            wkb_head(out, wkb_code(g, 3));
            put_u32(out, static_cast<uint32_t>(g.lengths.size()));
            for (const int32_t n : g.lengths) {
                put_u32(out, static_cast<uint32_t>(n));
                wkb_vertices(out, c, static_cast<std::size_t>(n), d);
                c += static_cast<std::size_t>(n) * d;
            }
            break;
        default:
            break;
    }
}

// Reads back what write_wkb wrote (for a column that turns into JSON).
class WkbReader {
public:
    WkbReader(const char* p, const char* end) : p_(p), end_(end) {}

    bool read(geometry_t& g) {
        g.lengths.clear();
        g.coords.clear();
        uint32_t code = 0;
        if (!head(code)) return false;
        g.has_z = (code / 1000) == 1 || (code / 1000) == 3;
        g.has_m = (code / 1000) == 2 || (code / 1000) == 3;
        d_ = static_cast<std::size_t>(g.vertex_dimension());
        uint32_t n = 0, inner = 0;
        switch (code % 1000) {
            case 1:
                g.geometry_type = vexoGeometryPoint;
                g.lengths.push_back(1);
                return vertices(g, 1);
            case 4:
                g.geometry_type = vexoGeometryMultipoint;
                if (!u32(n)) return false;
                g.lengths.push_back(static_cast<int32_t>(n));
                for (uint32_t i = 0; i < n; ++i)
                    if (!head(inner) || !vertices(g, 1)) return false;
                return true;
            case 2:
                g.geometry_type = vexoGeometryPolyline;
                return counted_part(g);
            case 5:
                g.geometry_type = vexoGeometryPolyline;
                if (!u32(n)) return false;
                for (uint32_t i = 0; i < n; ++i)
                    if (!head(inner) || !counted_part(g)) return false;
                return true;
            case 3:
                g.geometry_type = vexoGeometryPolygon;
                if (!u32(n)) return false;
                for (uint32_t i = 0; i < n; ++i)
                    if (!counted_part(g)) return false;
                return true;
            default:
                return false;
        }
    }

private:
    const char* p_;
    const char* end_;
    std::size_t d_ = 2;

    bool u32(uint32_t& v) {
        if (end_ - p_ < 4) return false;
        std::memcpy(&v, p_, 4);
        p_ += 4;
        return true;
    }
    bool head(uint32_t& code) {
        if (p_ == end_) return false;
        ++p_;
        return u32(code);
    }
    bool vertices(geometry_t& g, std::size_t n) {
        const std::size_t values = n * d_;
        if (static_cast<std::size_t>(end_ - p_) / sizeof(double) < values) return false;
        const std::size_t at = g.coords.size();
        g.coords.resize(at + values);
        std::memcpy(g.coords.data() + at, p_, values * sizeof(double));
        p_ += values * sizeof(double);
        return true;
    }
    bool counted_part(geometry_t& g) {
        uint32_t n = 0;
        if (!u32(n)) return false;
        g.lengths.push_back(static_cast<int32_t>(n));
        return vertices(g, n);
    }
};

void json_spatial_reference(std::string& out, const SpatialReference& sr) {
    out += '{';
    bool first = true;
    auto key = [&](const char* k) {
        if (!first) out += ',';
        first = false;
        json_string(out, k, std::strlen(k));
        out += ':';
    };
    if (sr.wkid != 0) {
        key("wkid");
        json_int(out, sr.wkid);
    }
    if (sr.latestWkid != 0) {
        key("latestWkid");
        json_int(out, sr.latestWkid);
    }
    if (!sr.wkt.empty()) {
        key("wkt");
        json_string(out, sr.wkt);
    }
    out += '}';
}

void json_points(std::string& out, const double*& c, std::size_t n, std::size_t d) {
    out += '[';
    for (std::size_t i = 0; i < n; ++i) {
        if (i) out += ',';
        out += '[';
        for (std::size_t k = 0; k < d; ++k) {
            if (k) out += ',';
            json_double(out, *c++);
        }
        out += ']';
    }
    out += ']';
}

// The geometry dictionary of a prepared geometry.
void json_geometry(std::string& out, const geometry_t& g, const SpatialReference* sr) {
    const auto d = static_cast<std::size_t>(g.vertex_dimension());
    const double* c = g.coords.data();
    out += '{';
    if (g.geometry_type == vexoGeometryPoint) {
        out += "\"x\":";
        json_double(out, c[0]);
        out += ",\"y\":";
        json_double(out, c[1]);
        if (g.has_z) {
            out += ",\"z\":";
            json_double(out, c[2]);
        }
        if (g.has_m) {
            out += ",\"m\":";
            json_double(out, c[g.has_z ? 3 : 2]);
        }
    } else {
        if (g.has_z) out += "\"hasZ\":true,";
        if (g.has_m) out += "\"hasM\":true,";
        if (g.geometry_type == vexoGeometryMultipoint) {
            out += "\"points\":";
            json_points(out, c, static_cast<std::size_t>(g.lengths[0]), d);
        } else {
            out += g.geometry_type == vexoGeometryPolygon ? "\"rings\":[" : "\"paths\":[";
            for (std::size_t i = 0; i < g.lengths.size(); ++i) {
                if (i) out += ',';
                json_points(out, c, static_cast<std::size_t>(g.lengths[i]), d);
            }
            out += ']';
        }
    }
    if (sr && sr->is_set()) {
        out += ",\"spatialReference\":";
        json_spatial_reference(out, *sr);
    }
    out += ",\"_objectType\":\"geometry\"}";
}

// ---- JSON of values -----------------------------------------------------------

class JsonWriter {
public:
    JsonWriter(const QuantizationTransform& t, const SpatialReference* sr, const wire::RefusedNulls& refused,
               geometry_t& scratch, std::string& out)
        : t_(t), sr_(sr), refused_(refused), g_(scratch), out_(out) {}

    void value(const Spans& any) {
        ValueRef v;
        wire::resolve_value(any, refused_, v);
        value_of(v);
    }

    void value_of(const ValueRef& v) {
        switch (v.kind) {
            case ValueKind::Null:
                out_ += "null";
                return;
            case ValueKind::Bool:
                out_ += v.b ? "true" : "false";
                return;
            case ValueKind::Int64:
                json_int(out_, v.i);
                return;
            case ValueKind::Float:
            case ValueKind::Double:
                json_double(out_, v.d);
                return;
            case ValueKind::Uuid:
                json_uuid(out_, v.bytes.begin);
                return;
            case ValueKind::DateTime:
                json_time(out_, v.i);
                return;
            case ValueKind::String:
                json_string(out_, v.bytes.begin, v.bytes.size());
                return;
            case ValueKind::Blob:
                json_base64(out_, v.bytes.begin, v.bytes.size());
                return;
            case ValueKind::Geometry:
                geometry(v.body);
                return;
            case ValueKind::Object:
                if (v.empty) {
                    out_ += "null";
                    return;
                }
                out_ += "{\"_objectType\":\"object\",\"_properties\":";
                properties(v.body, wire::kObjectProperties);
                out_ += '}';
                return;
            case ValueKind::Entity:
                entity(v.body);
                return;
            case ValueKind::Relationship:
                relationship(v.body);
                return;
            case ValueKind::Path:
                if (v.empty) {
                    out_ += "null";
                    return;
                }
                path(v.body);
                return;
            case ValueKind::Array:
                if (v.empty) {
                    out_ += "null";
                    return;
                }
                array(v);
                return;
        }
        out_ += "null";
    }

    void geometry(const Spans& body) {
        if (!prepare_geometry(body, t_, g_)) {
            out_ += "null";
            return;
        }
        json_geometry(out_, g_, sr_);
    }

private:
    const QuantizationTransform& t_;
    const SpatialReference* sr_;
    const wire::RefusedNulls& refused_;
    geometry_t& g_;
    std::string& out_;

    struct Pair {
        std::string_view key;
        bool has_value = false;
        Spans value;
    };

    void properties(const Spans& message, uint32_t field) {
        std::vector<Pair> pairs;
        std::vector<std::size_t> last;  // per first occurrence: the pair whose value wins
        std::unordered_map<std::string_view, std::size_t> index;
        std::vector<std::size_t> order;  // first occurrences, in order
        wire::for_each_property(message, field, [&](const wire::PairRef& p) {
            pairs.push_back(Pair{name_of(p.key), p.has_value, p.value});
        });
        index.reserve(pairs.size());
        for (std::size_t i = 0; i < pairs.size(); ++i) {
            const auto found = index.emplace(pairs[i].key, order.size());
            if (found.second) {
                order.push_back(i);
                last.push_back(i);
            } else {
                last[found.first->second] = i;
            }
        }
        out_ += '{';
        for (std::size_t k = 0; k < order.size(); ++k) {
            if (k) out_ += ',';
            json_string(out_, pairs[order[k]].key);
            out_ += ':';
            const Pair& p = pairs[last[k]];
            if (p.has_value)
                value(p.value);
            else
                out_ += "null";
        }
        out_ += '}';
    }

    void entity(const Spans& body) {
        wire::EntityRef ref;
        wire::resolve_entity(body, ref);
        out_ += "{\"_objectType\":\"entity\",\"_typeName\":";
        json_string(out_, name_of(ref.label));
        out_ += ",\"_id\":";
        if (ref.has_id)
            value(ref.id);
        else
            out_ += "null";
        out_ += ",\"_properties\":";
        properties(body, wire::kEntityProperties);
        out_ += '}';
    }

    void relationship(const Spans& body) {
        wire::RelationshipRef ref;
        wire::resolve_relationship(body, ref);
        out_ += "{\"_objectType\":\"relationship\",\"_typeName\":";
        json_string(out_, name_of(ref.type));
        out_ += ",\"_id\":";
        if (ref.has_id)
            value(ref.id);
        else
            out_ += "null";
        out_ += ",\"_originEntityId\":";
        if (ref.has_ends && !ref.origin.empty())
            value(ref.origin);
        else
            out_ += "null";
        out_ += ",\"_destinationEntityId\":";
        if (ref.has_ends && !ref.destination.empty())
            value(ref.destination);
        else
            out_ += "null";
        out_ += ",\"_properties\":";
        properties(body, wire::kRelationshipProperties);
        out_ += '}';
    }

    void path(const Spans& body) {
        out_ += "{\"_objectType\":\"path\",\"_path\":[";
        wire::MessageCursor es(body, wire::kPathEntities);
        wire::MessageCursor rs(body, wire::kPathRelationships);
        Span s;
        bool first = true;
        while (es.next(s)) {
            if (!first) out_ += ',';
            first = false;
            entity(Spans(s));
            if (rs.next(s)) {
                out_ += ',';
                relationship(Spans(s));
            }
        }
        out_ += "]}";
    }

    void array(const ValueRef& v) {
        out_ += '[';
        bool first = true;
        auto sep = [&] {
            if (!first) out_ += ',';
            first = false;
        };
        switch (v.member) {
            case wire::kAnyValues:
                wire::for_each_element_bytes(v.body, [&](Span s) {
                    sep();
                    value(Spans(s));
                });
                break;
            case wire::kStringValues:
                wire::for_each_element_bytes(v.body, [&](Span s) {
                    sep();
                    json_string(out_, s.begin, s.size());
                });
                break;
            case wire::kBlobValues:
                wire::for_each_element_bytes(v.body, [&](Span s) {
                    sep();
                    json_base64(out_, s.begin, s.size());
                });
                break;
            case wire::kGeometryValues:
                wire::for_each_element_bytes(v.body, [&](Span s) {
                    sep();
                    geometry(Spans(s));
                });
                break;
            case wire::kNullValues:
                for (int64_t k = 0; k < v.null_count; ++k) {
                    sep();
                    out_ += "null";
                }
                break;
            case wire::kUuidValues:
                for (const char* p = v.bytes.begin; p + 16 <= v.bytes.end; p += 16) {
                    sep();
                    json_uuid(out_, p);
                }
                break;
            default: {
                const uint32_t m = v.member;
                wire::for_each_element(v.body, wire::element_width(m), [&](uint64_t raw) {
                    sep();
                    switch (m) {
                        case wire::kFloatValues:
                        case wire::kDoubleFloatValues:
                            json_double(out_, static_cast<double>(wire::as_float(static_cast<uint32_t>(raw))));
                            break;
                        case wire::kFloatIntValues:
                            json_double(out_, static_cast<double>(
                                                  static_cast<float>(wire::zigzag32(static_cast<uint32_t>(raw)))));
                            break;
                        case wire::kDoubleValues:
                            json_double(out_, wire::as_double(raw));
                            break;
                        case wire::kDoubleIntValues:
                            json_double(out_, static_cast<double>(wire::zigzag64(raw)));
                            break;
                        case wire::kInt64Values:
                            json_int(out_, wire::zigzag64(raw));
                            break;
                        case wire::kBoolValues:
                            out_ += raw != 0 ? "true" : "false";
                            break;
                        case wire::kDatetimeValues: {
                            const auto ms = static_cast<int64_t>(raw);
                            int64_t ticks;
                            if (__builtin_mul_overflow(ms, int64_t(10000), &ticks))
                                out_ += "null";
                            else
                                json_time(out_, ms);
                            break;
                        }
                        default:
                            out_ += "null";
                            break;
                    }
                });
                break;
            }
        }
        out_ += ']';
    }
};

// ---- column state -------------------------------------------------------------

struct ColumnState {
    std::vector<uint8_t> cells;
    std::vector<int64_t> words;
    std::string bytes;
    uint32_t seen = 0;
    bool inexact_int = false;
};

}  // namespace

struct BatchBuilder::State {
    std::vector<std::string> names;
    QuantizationTransform transform;
    bool has_sr = false;
    SpatialReference sr;
    std::vector<ColumnState> columns;
    std::vector<CellError> errors;
    geometry_t scratch;

    const SpatialReference* spatial_reference() const { return has_sr ? &sr : nullptr; }

    void add_cell(ColumnState& c, const Spans& any, const wire::RefusedNulls& refused, int64_t row,
                  std::size_t column) {
        ValueRef v;
        wire::resolve_value(any, refused, v);
        Cell cell = kNull;
        int64_t word = 0;
        switch (v.kind) {
            case ValueKind::Null:
                break;
            case ValueKind::Bool:
                cell = kBool;
                word = v.b ? 1 : 0;
                break;
            case ValueKind::Int64:
                cell = kInt;
                word = v.i;
                if (!exact_in_double(v.i)) c.inexact_int = true;
                break;
            case ValueKind::Float:
            case ValueKind::Double:
                cell = kDouble;
                std::memcpy(&word, &v.d, 8);
                break;
            case ValueKind::Uuid:
                cell = kUuid;
                c.bytes.append(v.bytes.begin, 16);
                break;
            case ValueKind::DateTime:
                cell = kTime;
                word = v.i;
                break;
            case ValueKind::String:
                cell = kString;
                c.bytes.append(v.bytes.begin, v.bytes.size());
                break;
            case ValueKind::Blob:
                cell = kBlob;
                c.bytes.append(v.bytes.begin, v.bytes.size());
                break;
            case ValueKind::Geometry:
                try {
                    if (prepare_geometry(v.body, transform, scratch)) {
                        write_wkb(c.bytes, scratch);
                        cell = kGeometry;
                    }
                } catch (const std::invalid_argument& e) {
                    errors.push_back(CellError{row, static_cast<int64_t>(column), e.what()});
                }
                break;
            default: {
                if (v.empty) break;
                const std::size_t start = c.bytes.size();
                try {
                    JsonWriter(transform, spatial_reference(), refused, scratch, c.bytes).value_of(v);
                    cell = kJson;
                } catch (const std::invalid_argument& e) {
                    c.bytes.resize(start);
                    errors.push_back(CellError{row, static_cast<int64_t>(column), e.what()});
                }
                break;
            }
        }
        if (has_bytes(cell)) word = static_cast<int64_t>(c.bytes.size());
        c.cells.push_back(cell);
        c.words.push_back(word);
        c.seen |= bit(cell);
    }

    Column finish_column(std::size_t index, int64_t rows);
};

namespace {

void set_offsets(Column& out, std::vector<int64_t>&& offsets) {
    if (out.bytes.size() > kMaxSmallOffset) {
        out.large = true;
        out.offsets64 = std::move(offsets);
    } else {
        out.offsets32.assign(offsets.begin(), offsets.end());
    }
}

// The Arrow offsets of a column stored as it was built: one end offset
// per byte cell, nulls repeating the previous end.
template <class Offset>
void offsets_from_cells(const ColumnState& c, std::vector<Offset>& offsets) {
    offsets.resize(c.cells.size() + 1);
    Offset end = 0;
    offsets[0] = 0;
    for (std::size_t i = 0; i < c.cells.size(); ++i) {
        if (has_bytes(c.cells[i])) end = static_cast<Offset>(c.words[i]);
        offsets[i + 1] = end;
    }
}

// Every cell of a mixed column as JSON text.
std::string rewrite_as_json(const ColumnState& c, const SpatialReference* sr, std::vector<int64_t>& offsets) {
    std::string out;
    out.reserve(c.bytes.size() + c.cells.size() * 4);
    geometry_t g;
    offsets.assign(1, 0);
    int64_t start = 0;
    for (std::size_t i = 0; i < c.cells.size(); ++i) {
        const int64_t w = c.words[i];
        const char* b = c.bytes.data() + start;
        std::size_t n = 0;
        if (has_bytes(c.cells[i])) {
            n = static_cast<std::size_t>(w - start);
            start = w;
        }
        switch (c.cells[i]) {
            case kNull:
                break;
            case kBool:
                out += w ? "true" : "false";
                break;
            case kInt:
                json_int(out, w);
                break;
            case kDouble: {
                double d;
                std::memcpy(&d, &w, 8);
                json_double(out, d);
                break;
            }
            case kUuid:
                json_uuid(out, b);
                break;
            case kTime:
                json_time(out, w);
                break;
            case kString:
                json_string(out, b, n);
                break;
            case kBlob:
                json_base64(out, b, n);
                break;
            case kGeometry:
                if (WkbReader(b, b + n).read(g))
                    json_geometry(out, g, sr);
                else
                    out += "null";
                break;
            case kJson:
                out.append(b, n);
                break;
            default:
                break;
        }
        offsets.push_back(static_cast<int64_t>(out.size()));
    }
    return out;
}

}  // namespace

Column BatchBuilder::State::finish_column(std::size_t index, int64_t rows) {
    ColumnState& c = columns[index];
    Column out;
    out.name = names[index];
    out.length = rows;
    for (const uint8_t cell : c.cells)
        if (cell == kNull) ++out.null_count;
    const uint32_t seen = c.seen & ~bit(kNull);
    if (seen == 0) {
        out.type = ColumnType::Null;
        out.null_count = rows;
        return out;
    }
    if (out.null_count > 0) {
        out.validity.assign(static_cast<std::size_t>((rows + 7) / 8), '\0');
        for (std::size_t i = 0; i < c.cells.size(); ++i)
            if (c.cells[i] != kNull) out.validity[i >> 3] = static_cast<char>(out.validity[i >> 3] | (1 << (i & 7)));
    }
    auto bitset = [](std::string& bits, std::size_t i) {
        bits[i >> 3] = static_cast<char>(bits[i >> 3] | (1 << (i & 7)));
    };
    const bool numbers = (seen & ~(bit(kInt) | bit(kDouble))) == 0 && !c.inexact_int;
    if (seen == bit(kBool)) {
        out.type = ColumnType::Bool;
        out.bytes.assign(static_cast<std::size_t>((rows + 7) / 8), '\0');
        for (std::size_t i = 0; i < c.words.size(); ++i)
            if (c.words[i]) bitset(out.bytes, i);
    } else if (seen == bit(kInt)) {
        out.type = ColumnType::Int64;
        out.words = std::move(c.words);
    } else if (numbers) {
        out.type = ColumnType::Float64;
        for (std::size_t i = 0; i < c.words.size(); ++i) {
            if (c.cells[i] != kInt) continue;
            const auto d = static_cast<double>(c.words[i]);
            std::memcpy(&c.words[i], &d, 8);
        }
        out.words = std::move(c.words);
    } else if (seen == bit(kTime)) {
        out.type = ColumnType::Timestamp;
        out.words = std::move(c.words);
    } else if (seen == bit(kUuid)) {
        out.type = ColumnType::Uuid;
        out.extension = "arrow.uuid";
        if (out.null_count == 0) {
            out.bytes = std::move(c.bytes);  // already 16 bytes a row, in order
        } else {
            out.bytes.assign(static_cast<std::size_t>(rows) * 16, '\0');
            std::size_t start = 0;
            for (std::size_t i = 0; i < c.cells.size(); ++i) {
                if (c.cells[i] != kUuid) continue;
                std::memcpy(&out.bytes[i * 16], c.bytes.data() + start, 16);
                start += 16;
            }
        }
    } else if (seen == bit(kString) || seen == bit(kBlob) || seen == bit(kGeometry) || seen == bit(kJson)) {
        out.type = seen == bit(kString) || seen == bit(kJson) ? ColumnType::String : ColumnType::Binary;
        if (seen == bit(kJson)) out.extension = "arrow.json";
        if (seen == bit(kGeometry)) {
            out.extension = "geoarrow.wkb";
            out.extension_metadata = geometry_metadata(spatial_reference());
        }
        out.bytes = std::move(c.bytes);
        out.large = out.bytes.size() > kMaxSmallOffset;
        if (out.large)
            offsets_from_cells(c, out.offsets64);
        else
            offsets_from_cells(c, out.offsets32);
    } else {
        out.type = ColumnType::String;
        out.extension = "arrow.json";
        std::vector<int64_t> offsets;
        out.bytes = rewrite_as_json(c, spatial_reference(), offsets);
        set_offsets(out, std::move(offsets));
    }
    return out;
}

BatchBuilder::BatchBuilder(const std::vector<std::string>& field_names, const QuantizationTransform& transform,
                           const SpatialReference* spatial_reference)
    : state_(std::make_unique<State>()) {
    state_->names = field_names;
    state_->transform = transform;
    if (spatial_reference) {
        state_->has_sr = true;
        state_->sr = *spatial_reference;
    }
    state_->columns.resize(field_names.size());
}

BatchBuilder::~BatchBuilder() = default;

void BatchBuilder::add_row(wire::Span row, const wire::RefusedNulls& refused) {
    State& s = *state_;
    const Spans spans(row);
    wire::MessageCursor values(spans, 1);
    Span v;
    std::size_t i = 0;
    for (; i < s.columns.size() && values.next(v); ++i) s.add_cell(s.columns[i], Spans(v), refused, rows_, i);
    // A checked row has the full width; only for safety.
    static const char kNullValue[] = "";
    for (; i < s.columns.size(); ++i) s.add_cell(s.columns[i], Spans(Span{kNullValue, kNullValue}), refused, rows_, i);
    ++rows_;
}

std::shared_ptr<Batch> BatchBuilder::finish() {
    auto batch = std::make_shared<Batch>();
    batch->rows = rows_;
    batch->columns.reserve(state_->columns.size());
    for (std::size_t i = 0; i < state_->columns.size(); ++i) {
        batch->columns.push_back(state_->finish_column(i, rows_));
        state_->columns[i] = ColumnState();  // its memory goes before the next column's is built
    }
    batch->errors = std::move(state_->errors);
    return batch;
}

std::string geometry_metadata(const SpatialReference* sr) {
    if (!sr || !sr->is_set()) return "{}";
    std::string out = "{\"crs\":";
    if (sr->wkid != 0 || sr->latestWkid != 0) {
        const int32_t code = sr->latestWkid != 0 ? sr->latestWkid : sr->wkid;
        json_string(out, "EPSG:" + std::to_string(code));
    } else {
        json_string(out, sr->wkt);
    }
    out += '}';
    return out;
}

std::string encode_metadata(const std::vector<std::pair<std::string, std::string>>& pairs) {
    std::string out;
    auto put = [&out](int32_t v) { out.append(reinterpret_cast<const char*>(&v), 4); };
    put(static_cast<int32_t>(pairs.size()));
    for (const auto& kv : pairs) {
        put(static_cast<int32_t>(kv.first.size()));
        out += kv.first;
        put(static_cast<int32_t>(kv.second.size()));
        out += kv.second;
    }
    return out;
}

}  // namespace arrow
}  // namespace tk
