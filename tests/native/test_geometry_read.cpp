// The layout read of a geometry (what the frame check uses) against the full
// read: the same answer, type, flags and lengths, and as many coordinates,
// however the packed fields are cut or damaged.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "query/frame_reader.h"
#include "test_support.h"

namespace {

using tk_test::bytes_of;
using tk_test::delimited;
using tk_test::varint;

// A GeometryValue: its type, then the default geometry's fields as given.
std::string geometry_value(int type, const std::string& default_geometry) {
    return "\x08" + varint(static_cast<uint64_t>(type)) + "\x12" + delimited(default_geometry);
}

std::string packed(int number, const std::string& bytes) {
    return varint(static_cast<uint64_t>(number) << 3 | 2) + delimited(bytes);
}

std::string unpacked(int number, uint64_t value) { return varint(static_cast<uint64_t>(number) << 3) + varint(value); }

std::string varints(std::initializer_list<uint64_t> values) {
    std::string out;
    for (uint64_t v : values) out += varint(v);
    return out;
}

void expect_same_layout(const std::string& body) {
    const tk::wire::Spans spans(tk::wire::Span{body.data(), body.data() + body.size()});
    tk::geometry_t full;
    tk::geometry_t layout;
    layout.coords = {1.5, 2.5, 3.5};  // reused vectors start with something in them
    layout.lengths = {7};
    const bool full_ok = tk::wire::read_geometry(spans, full);
    ASSERT_EQ(tk::wire::read_geometry_layout(spans, layout), full_ok);
    if (!full_ok) return;
    EXPECT_EQ(layout.geometry_type, full.geometry_type);
    EXPECT_EQ(layout.has_z, full.has_z);
    EXPECT_EQ(layout.has_m, full.has_m);
    EXPECT_EQ(layout.lengths, full.lengths);
    EXPECT_EQ(layout.coords.size(), full.coords.size());
    for (double c : layout.coords) EXPECT_EQ(c, 0.0);
}

TEST(GeometryLayout, MatchesTheFullReadOnCraftedFields) {
    const std::string ten_continuations(10, '\x80');
    const std::vector<std::string> bodies = {
        geometry_value(2, packed(3, varints({3})) + packed(4, varints({1, 2, 3, 4, 5, 6}))),
        // Pieces, packed and not, of both fields; flags.
        geometry_value(2, "\x08\x01\x10\x01" + packed(3, varints({1})) + unpacked(3, 1) +
                              packed(4, varints({10, 20, 30, 40})) + unpacked(4, 50) + packed(4, "") +
                              packed(4, varints({60, 70, 80}))),
        // A piece ending inside a varint: the cut one is not read.
        geometry_value(2, packed(4, varints({1, 2}) + bytes_of({0x81, 0x82}))),
        // Ten continuation bytes stop the piece, whatever follows in it.
        geometry_value(2, packed(4, varints({1, 2}) + ten_continuations + varints({3, 4})) + packed(4, varints({5}))),
        // Nine continuation bytes and an end byte make one (long) varint.
        geometry_value(2, packed(4, std::string(9, '\x80') + "\x01" + varints({9}))),
        // Lengths damaged the same ways.
        geometry_value(2, packed(3, varints({2}) + ten_continuations + varints({1})) + packed(4, varints({1, 2}))),
        geometry_value(0, packed(4, varints({uint64_t(-1), 0}))),
        // No default geometry: null for both.
        "\x08\x02",
        "",
    };
    for (const auto& body : bodies) expect_same_layout(body);
}

TEST(GeometryLayout, MatchesTheFullReadOnRandomPackedBytes) {
    std::mt19937 rng(20261209);
    for (int i = 0; i < 2000; ++i) {
        std::string fields;
        const int pieces = 1 + static_cast<int>(rng() % 4);
        for (int k = 0; k < pieces; ++k) {
            std::string bytes(rng() % 40, '\0');
            // Mostly continuation bytes now and then, so runs of ten happen.
            for (char& b : bytes) b = static_cast<char>(rng() % 3 == 0 ? rng() % 0x80 : 0x80 | rng() % 0x80);
            fields += packed(rng() % 4 == 0 ? 3 : 4, bytes);
        }
        expect_same_layout(geometry_value(2, fields));
    }
}

// The plain loop the scan and the packed reader must agree with.
struct Reference {
    std::vector<uint64_t> values;
    bool whole = true;
};

Reference read_one_by_one(const std::string& bytes) {
    Reference r;
    const char* p = bytes.data();
    const char* end = p + bytes.size();
    uint64_t v = 0;
    while (p < end) {
        if (!tk::wire::read_varint(p, end, v)) {
            r.whole = false;
            break;
        }
        r.values.push_back(v);
    }
    return r;
}

TEST(PackedVarints, ScanAndReadAgreeWithTheLoopOnRandomBytes) {
    std::mt19937 rng(912);
    for (int i = 0; i < 20000; ++i) {
        // Long runs of continuation bytes at every offset from the word
        // boundaries, and plain ASCII-like stretches.
        std::string bytes(rng() % 70, '\0');
        const unsigned continuation_odds = 1 + rng() % 16;
        for (char& b : bytes)
            b = static_cast<char>(rng() % 16 < continuation_odds ? 0x80 | rng() % 0x80 : rng() % 0x80);
        const Reference want = read_one_by_one(bytes);
        const tk::wire::PackedScan got = tk::wire::scan_packed_varints({bytes.data(), bytes.data() + bytes.size()});
        ASSERT_EQ(got.count, want.values.size()) << i;
        ASSERT_EQ(got.whole, want.whole) << i;

        const std::string body = geometry_value(2, packed(4, bytes));
        tk::geometry_t g;
        ASSERT_TRUE(tk::wire::read_geometry(tk::wire::Spans({body.data(), body.data() + body.size()}), g));
        ASSERT_EQ(g.coords.size(), want.values.size()) << i;
        for (std::size_t k = 0; k < want.values.size(); ++k)
            ASSERT_EQ(g.coords[k], static_cast<double>(tk::wire::zigzag64(want.values[k]))) << i << " " << k;
    }
}

TEST(PackedVarints, LongestVarintsAndRunsAtTheWordEdges) {
    for (std::size_t lead = 0; lead < 17; ++lead) {
        for (std::size_t run = 8; run <= 11; ++run) {
            std::string bytes = std::string(lead, '\x05') + std::string(run, '\xff') + "\x7f" + "\x01\x02";
            const Reference want = read_one_by_one(bytes);
            const tk::wire::PackedScan got = tk::wire::scan_packed_varints({bytes.data(), bytes.data() + bytes.size()});
            EXPECT_EQ(got.count, want.values.size()) << lead << " " << run;
            EXPECT_EQ(got.whole, want.whole) << lead << " " << run;
        }
    }
}

}  // namespace
