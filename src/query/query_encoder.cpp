#include "query/query_encoder.h"
#include "query/output_settings.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <stdexcept>
#include <variant>
#include <vector>

#include <google/protobuf/arena.h>

#include "common/utf8.h"
#include "query/frame_reader.h"
#include "graph_query.pb.h"
#include "graph_values.pb.h"
#include "values/codec.h"

namespace tk {

namespace {

namespace wire = vexoPBuffer::graph;

// The body is one protobuf message: the runtime cannot read more than this.
constexpr std::size_t kMaxBody = static_cast<std::size_t>(std::numeric_limits<int>::max());

[[noreturn]] void too_large() { throw std::length_error("Request too large to encode."); }

// ---- wire bytes ----

inline std::size_t varint_size(uint64_t v) {
    std::size_t n = 1;
    while (v >= 0x80) {
        v >>= 7;
        ++n;
    }
    return n;
}

inline char* put_varint(char* p, uint64_t v) {
    while (v >= 0x80) {
        *p++ = static_cast<char>(v | 0x80);
        v >>= 7;
    }
    *p++ = static_cast<char>(v);
    return p;
}

inline uint64_t zigzag64(int64_t v) { return (static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63); }
inline uint32_t zigzag32(int32_t v) { return (static_cast<uint32_t>(v) << 1) ^ static_cast<uint32_t>(v >> 31); }

inline char* put_fixed32(char* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) *p++ = static_cast<char>(v >> (8 * i));
    return p;
}

inline char* put_fixed64(char* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) *p++ = static_cast<char>(v >> (8 * i));
    return p;
}

// Tags: (field number << 3) | wire type.
constexpr char kTagQuery = 0x0A;        // GraphQueryRequest.open_cypher_query
constexpr char kTagParameter = 0x12;    // GraphQueryRequest.parameters entry
constexpr char kTagKey = 0x0A;          // entry key
constexpr char kTagValue = 0x12;        // entry value (AnyValue)
constexpr char kTagPrimitive = 0x0A;    // AnyValue.primitive_value
constexpr char kTagString = 0x0A;       // PrimitiveValue.string_value
constexpr char kTagFloat = 0x15;        // float_value, fixed32
constexpr char kTagFloatInt = 0x18;     // float_int_value, sint32
constexpr char kTagDouble = 0x21;       // double_value, fixed64
constexpr char kTagDoubleFloat = 0x2D;  // double_float_value, fixed32
constexpr char kTagDoubleInt = 0x30;    // double_int_value, sint64
constexpr char kTagInt64 = 0x38;        // int64_value, sint64
constexpr char kTagBool = 0x40;         // bool_value
constexpr char kTagUuid = 0x4A;         // uuid_value, bytes
constexpr char kTagBlob = 0x52;         // blob_value, bytes
constexpr char kTagNull = 0x60;         // null_value, bool
constexpr char kTagDateTime = 0x68;     // datetime_value, plain varint

// Text for a proto3 string field: ASCII eight bytes at a time, the full
// check from the first byte that is not.
inline bool text_valid(const std::string& s) {
    const char* p = s.data();
    const std::size_t n = s.size();
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t word = 0;
        std::memcpy(&word, p + i, 8);
        if (word & 0x8080808080808080ull) break;
    }
    for (; i < n; ++i)
        if (static_cast<unsigned char>(p[i]) & 0x80) return utf8_valid(std::string_view(p + i, n - i));
    return true;
}

// ---- primitives, the value codec's narrowest exact forms ----

constexpr int32_t kFloatIntMin = -1048576;
constexpr int32_t kFloatIntMax = 1048575;
constexpr double kIntegralMin = -281474976710656.0;  // -2^48
constexpr double kIntegralMax = 281474976710655.0;   // 2^48 - 1

inline bool float_as_int(float f, int32_t& out) {
    if (!(f >= static_cast<float>(kFloatIntMin) && f <= static_cast<float>(kFloatIntMax))) return false;
    const int32_t i = static_cast<int32_t>(f);
    if (static_cast<float>(i) != f) return false;
    out = i;
    return true;
}

inline uint32_t float_bits(float f) {
    uint32_t bits = 0;
    std::memcpy(&bits, &f, sizeof bits);
    return bits;
}

inline uint64_t double_bits(double d) {
    uint64_t bits = 0;
    std::memcpy(&bits, &d, sizeof bits);
    return bits;
}

// A PrimitiveValue's one field: its fixed-size part (tag and number, or tag
// and length) and, for strings and blobs, the bytes that follow it.
struct Primitive {
    char head[24];
    std::size_t head_size = 0;
    const std::string* payload = nullptr;
};

// False for the values left to the value codec: geometries, compound
// values, and strings that are not valid UTF-8 (the codec decides on those).
bool primitive_of(const value_t& v, Primitive& out) {
    char* p = out.head;
    switch (v.index()) {
        case kNullIndex:
            *p++ = kTagNull;
            *p++ = 0;
            break;
        case kBoolIndex:
            *p++ = kTagBool;
            *p++ = *std::get_if<bool>(&v) ? 1 : 0;
            break;
        case kInt64Index:
            *p++ = kTagInt64;
            p = put_varint(p, zigzag64(*std::get_if<int64_t>(&v)));
            break;
        case kFloatIndex: {
            const float f = *std::get_if<float>(&v);
            int32_t i = 0;
            if (float_as_int(f, i)) {
                *p++ = kTagFloatInt;
                p = put_varint(p, zigzag32(i));
            } else {
                *p++ = kTagFloat;
                p = put_fixed32(p, float_bits(f));
            }
            break;
        }
        case kDoubleIndex: {
            const double x = *std::get_if<double>(&v);
            int64_t t = 0;
            bool integral = false;
            if (x >= kIntegralMin && x <= kIntegralMax) {  // false for NaN
                t = static_cast<int64_t>(x);
                integral = static_cast<double>(t) == x;
            }
            if (integral && t >= kFloatIntMin && t <= kFloatIntMax) {
                *p++ = kTagDoubleInt;
                p = put_varint(p, zigzag64(t));
            } else if (float_exact(x)) {
                *p++ = kTagDoubleFloat;
                p = put_fixed32(p, float_bits(static_cast<float>(x)));
            } else if (!integral) {
                *p++ = kTagDouble;
                p = put_fixed64(p, double_bits(x));
            } else {
                *p++ = kTagDoubleInt;
                p = put_varint(p, zigzag64(t));
            }
            break;
        }
        case kUuidIndex: {
            const auto& bytes = std::get_if<uuid_t>(&v)->bytes;
            *p++ = kTagUuid;
            *p++ = static_cast<char>(bytes.size());
            std::memcpy(p, bytes.data(), bytes.size());
            p += bytes.size();
            break;
        }
        case kDateTimeIndex:
            *p++ = kTagDateTime;
            p = put_varint(p, static_cast<uint64_t>(millis_from_time_point(*std::get_if<time_point_t>(&v))));
            break;
        case kStringIndex: {
            const std::string& s = *std::get_if<std::string>(&v);
            if (!text_valid(s)) return false;
            *p++ = kTagString;
            p = put_varint(p, s.size());
            out.payload = &s;
            break;
        }
        case kBlobIndex: {
            const std::string& b = std::get_if<blob_t>(&v)->bytes;
            *p++ = kTagBlob;
            p = put_varint(p, b.size());
            out.payload = &b;
            break;
        }
        default:
            return false;
    }
    out.head_size = static_cast<std::size_t>(p - out.head);
    return true;
}

// ---- parameter map entries ----

// Bytes of one map entry with a key of key_size bytes and a value of
// value_size bytes: key field and value field.
inline std::size_t entry_body_size(std::size_t key_size, std::size_t value_size) {
    return 1 + varint_size(key_size) + key_size + 1 + varint_size(value_size) + value_size;
}

// Bytes written one after another into a string (the request itself). The
// string is lengthened in steps ahead of the writing, so that its zero fill
// is paid once per step rather than once per entry; finish() cuts it back to
// the bytes written.
class Buffer {
public:
    // slack: bytes the caller writes after the entries, kept free in every
    // reservation so that they never make the buffer move.
    Buffer(std::string& bytes, std::size_t capacity, std::size_t slack = 0)
        : bytes_(bytes), size_(bytes.size()), slack_(slack) {
        room_for(capacity);
    }
    const char* data() const { return bytes_.data(); }
    std::size_t size() const { return size_; }
    // Capacity for n more bytes, without filling it.
    void reserve_more(std::size_t n) {
        if (n + slack_ > bytes_.capacity() - size_) bytes_.reserve(size_ + n + slack_);
    }
    // Copies n bytes in; past the room made already, the string grows by
    // appending (no zero fill of a large value).
    void append(const char* data, std::size_t n) {
        if (n <= bytes_.size() - size_) {
            std::memcpy(&bytes_[size_], data, n);
        } else {
            bytes_.resize(size_);
            reserve_more(n);
            bytes_.append(data, n);
        }
        size_ += n;
    }
    // Room for n more bytes, counted as written.
    char* extend(std::size_t n) {
        if (n > bytes_.size() - size_) room_for(n);
        char* p = &bytes_[size_];
        size_ += n;
        return p;
    }
    // The string holds exactly the bytes written.
    void finish() { bytes_.resize(size_); }

private:
    // Filled ahead by as much as is written already, up to 1 MiB: the fill
    // stays in proportion, and reserve() still grows the capacity
    // geometrically.
    void room_for(std::size_t n) {
        const std::size_t ahead = std::max(n, std::min(size_, kFillAhead));
        bytes_.reserve(size_ + ahead + slack_);
        bytes_.resize(size_ + ahead);
    }

    static constexpr std::size_t kFillAhead = std::size_t{1} << 20;

    std::string& bytes_;
    std::size_t size_;
    std::size_t slack_;
};

// An array kept as doubles none of which single precision holds, and at
// least one of which is no whole number in the integral range: the codec
// sends it as one packed DoubleArray, the doubles as they are. False for
// every other array (the codec decides).
bool plain_double_array(const value_t& value, const std::vector<double>*& out) {
    const auto* array = std::get_if<std::shared_ptr<ArrayValue>>(&value);
    if (!array || !*array || !(*array)->values.packed()) return false;
    const std::vector<double>& d = (*array)->values.packed_doubles();
    if (d.empty() || d.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) return false;
    // float_exact over every element, branch-free so that it vectorises.
    constexpr double kFloatMax = static_cast<double>(std::numeric_limits<float>::max());
    bool any_exact = false;
    for (const double x : d) {
        const bool in_range = std::fabs(x) <= kFloatMax;  // false for NaN
        const float f = static_cast<float>(in_range ? x : 0.0);
        any_exact |= in_range ? static_cast<double>(f) == x : std::isinf(x);
    }
    if (any_exact) return false;
    // None is float-exact: a double is one that is no whole number in the
    // integral range (NaN included).
    bool any_double = false;
    for (const double x : d) {
        if (!(x >= kIntegralMin && x <= kIntegralMax && static_cast<double>(static_cast<int64_t>(x)) == x)) {
            any_double = true;
            break;
        }
    }
    if (!any_double) return false;
    out = &d;
    return true;
}

// Appends one map entry (tag, length, key, AnyValue) to out; values that
// are not primitives go through the value codec's messages.
class EntryWriter {
public:
    EntryWriter(const QuantizationTransform& transform, google::protobuf::Arena& arena)
        : transform_(transform), arena_(arena) {}

    void write(const std::string& name, const value_t& value, Buffer& out) {
        Primitive prim;
        if (primitive_of(value, prim)) {
            const std::size_t payload = prim.payload ? prim.payload->size() : 0;
            const std::size_t prim_size = prim.head_size + payload;
            char* p = open_entry(name, 1 + varint_size(prim_size) + prim_size, out);
            *p++ = kTagPrimitive;
            p = put_varint(p, prim_size);
            std::memcpy(p, prim.head, prim.head_size);
            if (payload) std::memcpy(p + prim.head_size, prim.payload->data(), payload);
            return;
        }
        const std::vector<double>* doubles = nullptr;
        if (plain_double_array(value, doubles)) {
            // AnyValue.array_value (2), ArrayValue.double_values (5),
            // DoubleArray.values (1, packed).
            const std::size_t packed = doubles->size() * sizeof(double);
            const std::size_t double_array = 1 + varint_size(packed) + packed;
            const std::size_t array = 1 + varint_size(double_array) + double_array;
            if (array > kMaxBody) too_large();
            const std::size_t value_head = 3 + varint_size(array) + varint_size(double_array) + varint_size(packed);
            char* p = open_entry(name, 1 + varint_size(array) + array, out, value_head);
            *p++ = 0x12;
            p = put_varint(p, array);
            *p++ = 0x2A;
            p = put_varint(p, double_array);
            *p++ = 0x0A;
            put_varint(p, packed);
            // Appended rather than written into room made first: no zero fill.
            out.append(reinterpret_cast<const char*>(doubles->data()), packed);  // little-endian, as the runtime
            return;
        }
        // One message per value, all freed with the arena at the end.
        auto* any = google::protobuf::Arena::CreateMessage<wire::AnyValue>(&arena_);
        const int rc = encode_any_value(transform_, value, any);
        if (rc < 0) status::raise_for_status(rc);
        const std::size_t value_size = any->ByteSizeLong();
        if (value_size > kMaxBody) too_large();
        char* p = open_entry(name, value_size, out);
        any->SerializeWithCachedSizesToArray(reinterpret_cast<uint8_t*>(p));
    }

private:
    // Writes the entry up to the start of its value's bytes, leaving room for
    // exactly value_size more; returns where the value goes.
    // With value_room given, only that much of the value gets room (the
    // caller appends the rest).
    static char* open_entry(const std::string& name, std::size_t value_size, Buffer& out,
                            std::size_t value_room = static_cast<std::size_t>(-1)) {
        const std::size_t body = entry_body_size(name.size(), value_size);
        const std::size_t total = 1 + varint_size(body) + body;
        if (body > kMaxBody || out.size() + total > kMaxBody) too_large();
        // extend() makes its own room; a value appended afterwards needs
        // capacity for all of it first, so that it is never moved.
        if (value_room < value_size) out.reserve_more(total);
        char* p = out.extend(value_room < value_size ? total - (value_size - value_room) : total);
        *p++ = kTagParameter;
        p = put_varint(p, body);
        *p++ = kTagKey;
        p = put_varint(p, name.size());
        std::memcpy(p, name.data(), name.size());
        p += name.size();
        *p++ = kTagValue;
        return put_varint(p, value_size);
    }

    const QuantizationTransform& transform_;
    google::protobuf::Arena& arena_;
};

// The first eight bytes of a name, big-endian and zero-padded: comparing
// these compares the names byte-wise as far as they reach.
inline uint64_t name_prefix(const std::string& name) {
    uint64_t word = 0;
    std::memcpy(&word, name.data(), std::min<std::size_t>(name.size(), 8));
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    return __builtin_bswap64(word);
#else
    return word;
#endif
}

struct SortKey {
    uint64_t prefix;
    uint32_t position;
    // Where the entry starts among the entries written in list order (they
    // stay below 2^31 bytes).
    uint32_t begin;
};

// Sorts keys into byte order of their names, the order in which a
// deterministic protobuf serialiser writes a map, and returns the first
// position (in list order) whose name occurs earlier in the list, or npos.
// Radix passes over the prefixes, eleven bits at a time from the lowest
// (stable, skipping digits every key shares), then a comparison sort of the
// whole names where prefixes tie.
std::size_t sort_names(std::vector<SortKey>& keys, const std::vector<ParamList::Pair>& pairs) {
    const std::size_t n = keys.size();
    const auto name_of = [&pairs](const SortKey& k) -> const std::string& { return pairs[k.position].first; };
    constexpr unsigned kBits = 11;
    constexpr unsigned kDigits = (64 + kBits - 1) / kBits;
    constexpr std::size_t kBuckets = std::size_t{1} << kBits;
    constexpr uint64_t kMask = kBuckets - 1;
    if (n <= 64) {
        std::sort(keys.begin(), keys.end(), [&name_of](const SortKey& a, const SortKey& b) {
            return a.prefix != b.prefix ? a.prefix < b.prefix : name_of(a) < name_of(b);
        });
    } else {
        std::vector<uint32_t> counts(kDigits * kBuckets, 0);
        for (const SortKey& k : keys)
            for (unsigned d = 0; d < kDigits; ++d) ++counts[d * kBuckets + ((k.prefix >> (kBits * d)) & kMask)];
        std::vector<SortKey> spare(n);
        for (unsigned d = 0; d < kDigits; ++d) {
            uint32_t* count = &counts[d * kBuckets];
            if (std::find(count, count + kBuckets, static_cast<uint32_t>(n)) != count + kBuckets) continue;
            uint32_t offset = 0;
            for (std::size_t b = 0; b < kBuckets; ++b) {
                const uint32_t c = count[b];
                count[b] = offset;
                offset += c;
            }
            for (const SortKey& k : keys) spare[count[(k.prefix >> (kBits * d)) & kMask]++] = k;
            keys.swap(spare);
        }
        // Names longer than eight bytes, or with zero bytes, can share a
        // prefix: the whole names decide there.
        for (std::size_t i = 0; i < n;) {
            std::size_t j = i + 1;
            while (j < n && keys[j].prefix == keys[i].prefix) ++j;
            if (j - i > 1)
                std::sort(keys.begin() + static_cast<std::ptrdiff_t>(i), keys.begin() + static_cast<std::ptrdiff_t>(j),
                          [&name_of](const SortKey& a, const SortKey& b) { return name_of(a) < name_of(b); });
            i = j;
        }
    }

    // Equal names are side by side now; every one but the earliest is a
    // repeat.
    std::size_t first_repeat = ParamList::npos;
    for (std::size_t a = 0; a < n;) {
        std::size_t b = a + 1;
        uint32_t earliest = keys[a].position;
        uint32_t second = std::numeric_limits<uint32_t>::max();
        for (; b < n && keys[b].prefix == keys[a].prefix && name_of(keys[b]) == name_of(keys[a]); ++b) {
            const uint32_t p = keys[b].position;
            if (p < earliest) {
                second = earliest;
                earliest = p;
            } else if (p < second) {
                second = p;
            }
        }
        if (b - a > 1) first_repeat = std::min<std::size_t>(first_repeat, second);
        a = b;
    }
    return first_repeat;
}

void build_request(const GraphQueryRequestEncoder& encoder, std::string& out) {
    const std::string& query = encoder.open_cypher_query;
    if (query.empty()) throw std::invalid_argument("Empty openCypher query.");
    if (!text_valid(query)) status::raise_for_status(status::kInvalidArgument);

    QuantizationTransform transform;
    build(transform, encoder.input_quantization_parameters);

    // The fields after the parameters (3 to 8) go through the message.
    google::protobuf::Arena arena;
    auto* request = google::protobuf::Arena::CreateMessage<wire::GraphQueryRequest>(&arena);
    request->set_output_geometry_encoding(vexoPBuffer::VexoTypes_vexoFeatureEncoding_vexoDefault);
    write_output_settings(encoder, request);
    // Written even when empty (no valid transform).
    status::raise_for_status(write_transform(transform, request->mutable_input_transform()));

    // Entries in list order, so that the first bad parameter decides. A
    // repeated name is only found by the sort below, so a failure here is
    // held until the sort has shown that no repeat comes before it.
    const auto& pairs = encoder.parameters.pairs();
    const std::size_t n = pairs.size();
    std::vector<SortKey> keys;
    keys.reserve(n);
    // A single entry needs no sorting: it goes straight after the query
    // text (a large array is then written once, not copied).
    const bool direct = n <= 1;
    const std::size_t head_size = 1 + varint_size(query.size()) + query.size();
    std::string sorted_later;
    if (direct) {
        out.clear();
        out.reserve(head_size + 64);
        out.push_back(kTagQuery);
        char head[10];
        out.append(head, static_cast<std::size_t>(put_varint(head, query.size()) - head));
        out.append(query);
    }
    // Sized before the entries: the direct buffer keeps room for it.
    const std::size_t tail_size = request->ByteSizeLong();
    Buffer entries(direct ? out : sorted_later, n * 40 + 64, direct ? tail_size : 0);
    const std::size_t entries_at = entries.size();
    EntryWriter writer(transform, arena);
    std::exception_ptr failure;
    for (std::size_t i = 0; i < n; ++i) {
        const auto& [name, value] = pairs[i];
        // These two checks come before the repeat check.
        if (name.empty() || !text_valid(name)) {
            failure =
                std::make_exception_ptr(name.empty() ? std::invalid_argument("Encountered empty bind parameter name.")
                                                     : std::invalid_argument("Invalid argument."));
            break;
        }
        keys.push_back(SortKey{name_prefix(name), static_cast<uint32_t>(i),
                               static_cast<uint32_t>(entries.size() - entries_at)});
        try {
            writer.write(name, value, entries);
        } catch (...) {
            failure = std::current_exception();
            break;
        }
    }
    entries.finish();
    if (sort_names(keys, pairs) != ParamList::npos)
        throw std::invalid_argument("Encountered duplicate bind parameter names.");
    if (failure) std::rethrow_exception(failure);

    const std::size_t entries_size = entries.size() - entries_at;
    if (query.size() > kMaxBody || tail_size > kMaxBody || head_size + entries_size + tail_size > kMaxBody) too_large();
    if (direct) {
        const std::size_t at = out.size();
        out.resize(at + tail_size);
        request->SerializeWithCachedSizesToArray(reinterpret_cast<uint8_t*>(&out[at]));
        return;
    }
    out.resize(head_size + entries_size + tail_size);
    char* p = out.data();
    *p++ = kTagQuery;
    p = put_varint(p, query.size());
    std::memcpy(p, query.data(), query.size());
    p += query.size();
    // The entries in byte order of their names, read from where the list
    // order put them: fetch a few ahead, the reads jump. Each entry's size
    // is read from its own head (tag, then the length of what follows).
    constexpr std::size_t kAhead = 8;
    const char* from = entries.data() + entries_at;
    for (std::size_t k = 0; k < n; ++k) {
        if (k + kAhead < n) __builtin_prefetch(from + keys[k + kAhead].begin);
        const char* entry = from + keys[k].begin;
        const char* q = entry + 1;
        uint64_t body = 0;
        tk::wire::read_varint(q, from + entries_size, body);  // written above: always whole
        const std::size_t size = static_cast<std::size_t>(q - entry) + body;
        std::memcpy(p, entry, size);
        p += size;
    }
    request->SerializeWithCachedSizesToArray(reinterpret_cast<uint8_t*>(p));
}

}  // namespace

void GraphQueryRequestEncoder::encode() {
    run_encode(encoding_result, [this](std::string& out) { build_request(*this, out); });
}

}  // namespace tk
