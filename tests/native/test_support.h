// Builders shared by the native tests: stream framing, compression, a
// decoder driver and value comparison.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <ostream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "graph_query.pb.h"
#include "graph_values.pb.h"
#include "query/query_decoder.h"
#include "values/object_values.h"
#include "values/value.h"

namespace tk_test {

namespace pbg = vexoPBuffer::graph;

inline std::string varint(uint64_t n) {
    std::string out;
    while (n >= 0x80) {
        out.push_back(static_cast<char>((n & 0x7f) | 0x80));
        n >>= 7;
    }
    out.push_back(static_cast<char>(n));
    return out;
}

inline std::string delimited(const std::string& payload) { return varint(payload.size()) + payload; }

template <class Message>
std::string delimited_message(const Message& m) {
    return delimited(m.SerializeAsString());
}

inline std::string bytes_of(std::initializer_list<int> values) {
    std::string out;
    for (int v : values) out.push_back(static_cast<char>(v));
    return out;
}

// A header with an identity transform (scale 1, translate 0) unless told
// otherwise.
inline pbg::GraphQueryResultHeader make_header(const std::vector<std::string>& names, bool compressed = false) {
    pbg::GraphQueryResultHeader header;
    auto* t = header.mutable_transform();
    t->mutable_scale()->set_xscale(1);
    t->mutable_scale()->set_yscale(1);
    t->mutable_scale()->set_zscale(1);
    t->mutable_scale()->set_mscale(1);
    t->mutable_translate();
    for (const auto& n : names) header.add_field_names(n);
    header.set_frames_compressed(compressed);
    return header;
}

inline void set_int(pbg::AnyValue* v, int64_t n) { v->mutable_primitive_value()->set_int64_value(n); }

// A frame of rows of 64-bit integers.
inline pbg::GraphQueryResultFrame int_frame(const std::vector<std::vector<int64_t>>& rows) {
    pbg::GraphQueryResultFrame frame;
    for (const auto& row : rows) {
        auto* r = frame.add_rows();
        for (int64_t n : row) set_int(r->add_values(), n);
    }
    return frame;
}

enum class Packing { gzip, zlib, raw };

inline void PrintTo(Packing p, std::ostream* os) {
    *os << (p == Packing::gzip ? "gzip" : p == Packing::zlib ? "zlib" : "raw");
}

inline std::string compress(const std::string& data, Packing packing, int level = Z_DEFAULT_COMPRESSION) {
    z_stream z{};
    const int bits = packing == Packing::gzip ? 15 + 16 : packing == Packing::zlib ? 15 : -15;
    if (deflateInit2(&z, level, Z_DEFLATED, bits, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("deflateInit2");
    std::string out(deflateBound(&z, static_cast<uLong>(data.size())) + 64, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef*>(&out[0]);
    z.avail_out = static_cast<uInt>(out.size());
    const int rc = deflate(&z, Z_FINISH);
    deflateEnd(&z);
    if (rc != Z_STREAM_END) throw std::runtime_error("deflate");
    out.resize(z.total_out);
    return out;
}

// What a decoder yielded: every row (as the integer values it holds, or -999
// for a non-integer) and the error it ended with.
struct Drained {
    std::vector<std::vector<int64_t>> rows;
    tk::kg_error_t error;
};

inline void pull_rows(tk::GraphQueryDecoder& d, Drained& out) {
    while (d.next_row()) {
        std::vector<int64_t> row;
        for (std::size_t i = 0; i < d.row_width(); ++i) {
            const tk::value_t* v = d.value_at(static_cast<int64_t>(i));
            const auto* n = v ? std::get_if<int64_t>(v) : nullptr;
            row.push_back(n ? *n : -999);
        }
        out.rows.push_back(std::move(row));
    }
}

// Pushes each chunk and pulls rows after each, the way callers drive it.
inline Drained drive(const std::vector<std::string>& chunks) {
    tk::GraphQueryDecoder d;
    Drained out;
    for (const auto& c : chunks) {
        d.push_buffer(c.data(), c.size());
        pull_rows(d, out);
    }
    out.error = d.error;
    return out;
}

inline std::vector<std::string> split_every(const std::string& s, std::size_t n) {
    std::vector<std::string> out;
    for (std::size_t i = 0; i < s.size(); i += n) out.push_back(s.substr(i, n));
    return out;
}

inline std::vector<std::string> split_random(const std::string& s, uint32_t seed, std::size_t max_chunk) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<std::size_t> dist(1, max_chunk);
    std::vector<std::string> out;
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t n = dist(rng);
        out.push_back(s.substr(i, n));
        i += n;
    }
    return out;
}

inline std::vector<std::string> split_at(const std::string& s, std::vector<std::size_t> cuts) {
    std::vector<std::string> out;
    std::size_t prev = 0;
    for (std::size_t c : cuts) {
        out.push_back(s.substr(prev, c - prev));
        prev = c;
    }
    out.push_back(s.substr(prev));
    return out;
}

}  // namespace tk_test
