// Length-prefixed framing of the query result stream and the carry-over of
// messages split across chunks.
#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace {

using namespace tk_test;
using Rows = std::vector<std::vector<int64_t>>;

// A header, a small frame, a zero-length frame, a frame with a two-byte
// length prefix and one with a three-byte prefix.
struct Body {
    std::string bytes;
    Rows rows;
};

Body sample_body() {
    Body b;
    b.bytes = delimited_message(make_header({"a", "b"}));
    Rows first = {{1, 2}, {3, 4}};
    Rows second;
    for (int64_t i = 0; i < 40; ++i) second.push_back({i, -i});
    Rows third;
    for (int64_t i = 0; i < 3000; ++i) third.push_back({i * 1000003, 7});
    b.bytes += delimited_message(int_frame(first));
    b.bytes += delimited("");
    const std::string s = int_frame(second).SerializeAsString();
    const std::string t = int_frame(third).SerializeAsString();
    // The point of these two frames is their prefix width.
    EXPECT_GT(s.size(), 127u);
    EXPECT_LT(s.size(), 16384u);
    EXPECT_GT(t.size(), 16383u);
    b.bytes += delimited(s) + delimited(t);
    for (auto* part : {&first, &second, &third}) b.rows.insert(b.rows.end(), part->begin(), part->end());
    return b;
}

struct Chunking {
    const char* name;
    std::function<std::vector<std::string>(const std::string&)> split;
};

void PrintTo(const Chunking& c, std::ostream* os) { *os << c.name; }

class StreamChunking : public ::testing::TestWithParam<Chunking> {};

TEST_P(StreamChunking, SameRowsHoweverTheBodyIsCut) {
    const Body body = sample_body();
    const auto chunks = GetParam().split(body.bytes);
    const Drained got = drive(chunks);
    EXPECT_TRUE(got.error.empty()) << got.error.error_message;
    EXPECT_EQ(got.rows, body.rows);
}

// All chunks queued before the first pull: next_row keeps taking chunks
// until one yields a row.
TEST_P(StreamChunking, SameRowsWhenEverythingIsQueuedFirst) {
    const Body body = sample_body();
    tk::GraphQueryDecoder d;
    for (const auto& c : GetParam().split(body.bytes)) ASSERT_TRUE(d.push_buffer(c.data(), c.size()));
    Drained got;
    pull_rows(d, got);
    EXPECT_FALSE(d.has_error()) << d.error.error_message;
    EXPECT_EQ(got.rows, body.rows);
}

std::vector<Chunking> chunkings() {
    std::vector<Chunking> out = {
        {"whole", [](const std::string& s) { return std::vector<std::string>{s}; }},
        {"byte_by_byte", [](const std::string& s) { return split_every(s, 1); }},
        {"pairs", [](const std::string& s) { return split_every(s, 2); }},
        {"sevens", [](const std::string& s) { return split_every(s, 7); }},
    };
    // Small chunks cut every prefix; large ones leave long incomplete tails
    // to carry over.
    static const struct {
        const char* name;
        uint32_t seed;
        std::size_t max_chunk;
    } randoms[] = {{"random_upto3", 1, 3},        {"random_upto17", 2, 17},       {"random_upto300", 3, 300},
                   {"random_upto5000", 42, 5000}, {"random_upto20000", 7, 20000}, {"random_upto30000", 99991, 30000}};
    for (const auto& r : randoms) {
        const uint32_t seed = r.seed;
        const std::size_t max_chunk = r.max_chunk;
        out.push_back({r.name, [seed, max_chunk](const std::string& s) { return split_random(s, seed, max_chunk); }});
    }
    out.push_back({"halves", [](const std::string& s) { return split_at(s, {s.size() / 2}); }});
    return out;
}

INSTANTIATE_TEST_SUITE_P(Framing, StreamChunking, ::testing::ValuesIn(chunkings()),
                         [](const ::testing::TestParamInfo<Chunking>& p) { return std::string(p.param.name); });

TEST(Stream, LengthPrefixSplitBetweenChunks) {
    const std::string header = delimited_message(make_header({"a"}));
    Rows rows;
    for (int64_t i = 0; i < 60; ++i) rows.push_back({i});
    const std::string frame = int_frame(rows).SerializeAsString();
    ASSERT_GT(frame.size(), 127u);
    const std::string body = header + delimited(frame);
    // Cut inside the frame's two-byte prefix, and inside the header's
    // one-byte prefix (before any byte of it, then after).
    for (std::size_t cut : {header.size() + 1, std::size_t{1}, header.size()}) {
        const Drained got = drive(split_at(body, {cut}));
        EXPECT_TRUE(got.error.empty()) << "cut " << cut << ": " << got.error.error_message;
        EXPECT_EQ(got.rows, rows) << "cut " << cut;
    }
}

TEST(Stream, HeaderOverThreeChunksYieldsOnTheThird) {
    const std::string header = delimited_message(make_header({"a", "b", "c"}));
    const std::string body = header + delimited_message(int_frame({{1, 2, 3}}));
    const auto chunks = split_at(body, {header.size() / 3, 2 * header.size() / 3});
    tk::GraphQueryDecoder d;
    d.push_buffer(chunks[0].data(), chunks[0].size());
    EXPECT_FALSE(d.next_row());
    EXPECT_FALSE(d.header_parsed());
    d.push_buffer(chunks[1].data(), chunks[1].size());
    EXPECT_FALSE(d.next_row());
    d.push_buffer(chunks[2].data(), chunks[2].size());
    ASSERT_TRUE(d.next_row());
    EXPECT_TRUE(d.header_parsed());
    EXPECT_EQ(d.field_names(), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(std::get<int64_t>(*d.value_at(2)), 3);
    EXPECT_FALSE(d.next_row());
}

TEST(Stream, HalfAFrameWaitsForTheRest) {
    const std::string third = delimited_message(int_frame({{5}, {6}}));
    const std::string body = delimited_message(make_header({"a"})) + delimited_message(int_frame({{1}, {2}})) +
                             delimited_message(int_frame({{3}, {4}})) + third;
    const std::size_t cut = body.size() - third.size() / 2;
    tk::GraphQueryDecoder d;
    Drained got;
    d.push_buffer(body.data(), cut);
    pull_rows(d, got);
    EXPECT_EQ(got.rows, (Rows{{1}, {2}, {3}, {4}}));
    d.push_buffer(body.data() + cut, body.size() - cut);
    pull_rows(d, got);
    EXPECT_EQ(got.rows, (Rows{{1}, {2}, {3}, {4}, {5}, {6}}));
    EXPECT_FALSE(d.has_error());
}

struct BadPrefix {
    const char* name;
    std::string prefix;
};

void PrintTo(const BadPrefix& c, std::ostream* os) { *os << c.name; }

class StreamBadPrefix : public ::testing::TestWithParam<BadPrefix> {};

// Prefixes that can never be a message length, before and after the header,
// whole and split across chunks.
TEST_P(StreamBadPrefix, IsAParsingFailure) {
    const std::string& bad = GetParam().prefix;
    const std::string header = delimited_message(make_header({"a"}));
    const std::string frame = delimited_message(int_frame({{1}}));
    struct Case {
        std::vector<std::string> chunks;
        const char* message;
        std::size_t rows;
    };
    const std::vector<Case> cases = {
        {{bad + header}, "Result header parsing failure!", 0},
        {split_every(bad + header, 1), "Result header parsing failure!", 0},
        {{header + frame + bad + frame}, "Result frame parsing failure!", 1},
        {{header + frame + bad.substr(0, 1), bad.substr(1) + frame}, "Result frame parsing failure!", 1},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Drained got = drive(cases[i].chunks);
        EXPECT_EQ(got.error.error_code, -1) << "case " << i;
        EXPECT_EQ(got.error.error_message, cases[i].message) << "case " << i;
        EXPECT_EQ(got.rows.size(), cases[i].rows) << "case " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Framing, StreamBadPrefix,
                         ::testing::Values(BadPrefix{"two_to_the_31", varint(2147483648u)},
                                           BadPrefix{"two_to_the_32_plus_5", varint((uint64_t{1} << 32) + 5)},
                                           BadPrefix{"max_uint64", varint(UINT64_MAX)},
                                           // Eleven bytes that all say "more follows", value zero.
                                           BadPrefix{"eleven_byte_varint",
                                                     std::string(10, '\x80') + std::string(1, '\x00')},
                                           // A tenth byte with bits beyond the 64th.
                                           BadPrefix{"bits_past_64", std::string(9, '\x80') + std::string(1, '\x02')}),
                         [](const ::testing::TestParamInfo<BadPrefix>& p) { return std::string(p.param.name); });

TEST(Stream, LargestLengthIsNotAnErrorButWaits) {
    // 2^31-1 is a valid size: the decoder waits for the bytes.
    tk::GraphQueryDecoder d;
    const std::string prefix = varint(2147483647u) + "abc";
    ASSERT_TRUE(d.push_buffer(prefix.data(), prefix.size()));
    EXPECT_FALSE(d.next_row());
    EXPECT_FALSE(d.has_error());
    EXPECT_FALSE(d.header_parsed());
}

TEST(Stream, OverlongPrefixOfASmallLengthIsAccepted) {
    const std::string header = make_header({"a"}).SerializeAsString();
    ASSERT_LT(header.size(), 128u);
    // The length in three bytes instead of one.
    std::string body = bytes_of({static_cast<int>(header.size()) | 0x80, 0x80, 0x00}) + header;
    body += delimited_message(int_frame({{9}}));
    const Drained got = drive({body});
    EXPECT_TRUE(got.error.empty()) << got.error.error_message;
    EXPECT_EQ(got.rows, (Rows{{9}}));
}

TEST(Stream, HeaderWithoutFieldNamesGivesNoRows) {
    pbg::GraphQueryResultFrame frame;
    frame.add_rows();
    frame.add_rows();
    const std::string body = delimited_message(make_header({})) + delimited_message(frame);
    tk::GraphQueryDecoder d;
    ASSERT_TRUE(d.push_buffer(body.data(), body.size()));
    EXPECT_FALSE(d.next_row());
    EXPECT_TRUE(d.header_parsed());
    EXPECT_FALSE(d.has_error()) << d.error.error_message;
    EXPECT_EQ(d.row_width(), 0u);
    EXPECT_EQ(d.value_at(0), nullptr);
}

TEST(Stream, HeaderFailures) {
    pbg::GraphQueryResultHeader no_transform;
    no_transform.add_field_names("a");
    pbg::GraphQueryResultHeader with_error = make_header({"a"});
    with_error.mutable_error()->set_error_code(-2147467259);
    with_error.mutable_error()->set_error_message("query failed");
    struct Case {
        std::string body;
        int64_t code;
        const char* message;
    };
    const std::vector<Case> cases = {
        {delimited_message(no_transform), -1,
         "Result header did not include the required geometry transformation parameters!"},
        {delimited_message(with_error), -2147467259, "query failed"},
        // Field 4 (a string) holding invalid UTF-8.
        {delimited(bytes_of({0x12, 0x00, 0x22, 0x02, 0xff, 0xfe})), -1, "Result header parsing failure!"},
        {delimited(bytes_of({0xff, 0xff})), -1, "Result header parsing failure!"},
    };
    for (const auto& c : cases) {
        tk::GraphQueryDecoder d;
        const std::string body = c.body + delimited_message(int_frame({{1}}));
        ASSERT_TRUE(d.push_buffer(body.data(), body.size()));
        EXPECT_FALSE(d.next_row());
        EXPECT_EQ(d.error.error_code, c.code);
        EXPECT_EQ(d.error.error_message, c.message);
        // A failed decoder takes no more input.
        EXPECT_FALSE(d.push_buffer(body.data(), body.size()));
    }
}

TEST(Stream, FrameFailuresKeepEarlierRows) {
    const std::string header = delimited_message(make_header({"a", "b"}));
    const std::string good = delimited_message(int_frame({{1, 2}, {3, 4}}));
    pbg::GraphQueryResultFrame errored = int_frame({{5, 6}});
    errored.mutable_error()->set_error_code(-7);
    errored.mutable_error()->set_error_message("timeout");
    // A good row followed by a short one in the same frame.
    pbg::GraphQueryResultFrame short_row = int_frame({{5, 6}, {7}});
    struct Case {
        std::string tail;
        int64_t code;
        const char* message;
        Rows rows;
    };
    const std::vector<Case> cases = {
        {delimited_message(errored), -7, "timeout", {{1, 2}, {3, 4}}},
        {delimited_message(short_row), -3, "Error decoding result frame!", {{1, 2}, {3, 4}, {5, 6}}},
        {delimited(bytes_of({0x12, 0x05, 0x0a})), -1, "Result frame parsing failure!", {{1, 2}, {3, 4}}},
    };
    for (const auto& c : cases) {
        const Drained got = drive({header + good + c.tail + good});
        EXPECT_EQ(got.error.error_code, c.code) << c.message;
        EXPECT_EQ(got.error.error_message, c.message);
        EXPECT_EQ(got.rows, c.rows) << c.message;
    }
}

TEST(Stream, PushAndIndexBounds) {
    tk::GraphQueryDecoder d;
    EXPECT_FALSE(d.push_buffer("", 0));
    EXPECT_FALSE(d.next_row());
    EXPECT_FALSE(d.has_current_row());
    EXPECT_EQ(d.value_at(0), nullptr);
    const std::string body = delimited_message(make_header({"a", "b"})) + delimited_message(int_frame({{1, 2}}));
    ASSERT_TRUE(d.push_buffer(body.data(), body.size()));
    ASSERT_TRUE(d.next_row());
    EXPECT_EQ(d.value_at(-1), nullptr);
    EXPECT_EQ(d.value_at(2), nullptr);
    EXPECT_EQ(d.value_at(INT64_MIN), nullptr);
    ASSERT_NE(d.value_at(1), nullptr);
    EXPECT_EQ(std::get<int64_t>(*d.value_at(1)), 2);
    EXPECT_FALSE(d.next_row());
    EXPECT_FALSE(d.has_current_row());
    EXPECT_EQ(d.value_at(0), nullptr);
}

// Geometries in rows are turned back into coordinates with the header's
// scale and translate (M precedes Z on the wire; the fields are named).
TEST(Stream, RowGeometriesUseTheHeaderTransform) {
    pbg::GraphQueryResultHeader header = make_header({"g"});
    auto* scale = header.mutable_transform()->mutable_scale();
    scale->set_xscale(0.5);
    scale->set_yscale(0.25);
    scale->set_zscale(2);
    scale->set_mscale(4);
    auto* translate = header.mutable_transform()->mutable_translate();
    translate->set_xtranslate(10);
    translate->set_ytranslate(-10);
    translate->set_ztranslate(1);
    translate->set_mtranslate(-1);
    pbg::GraphQueryResultFrame frame;
    auto* g = frame.add_rows()->add_values()->mutable_primitive_value()->mutable_geometry_value();
    g->set_geometry_type(vexoPBuffer::VexoTypes::vexoGeometryTypePoint);
    auto* dg = g->mutable_default_geometry();
    dg->set_has_z(true);
    dg->set_has_m(true);
    dg->add_lengths(1);
    for (int64_t c : {4, 8, 3, 2}) dg->add_coords(c);
    const std::string body = delimited_message(header) + delimited_message(frame);
    tk::GraphQueryDecoder d;
    d.push_buffer(body.data(), body.size());
    ASSERT_TRUE(d.next_row()) << d.error.error_message;
    const auto& geometry = std::get<std::shared_ptr<tk::geometry_t>>(*d.value_at(0));
    ASSERT_TRUE(geometry);
    EXPECT_EQ(geometry->geometry_type, tk::vexoGeometryPoint);
    EXPECT_EQ(geometry->coords, (std::vector<double>{12, -8, 7, 7}));
}

// A geometry whose lengths disagree with its coordinates ends the decoding
// with the dequantizing error; rows of earlier frames stay.
TEST(Stream, InconsistentGeometryInARowIsAnError) {
    pbg::GraphQueryResultFrame frame;
    auto* g = frame.add_rows()->add_values()->mutable_primitive_value()->mutable_geometry_value();
    g->set_geometry_type(vexoPBuffer::VexoTypes::vexoGeometryTypePolyline);
    auto* dg = g->mutable_default_geometry();
    dg->add_lengths(3);
    for (int64_t c : {1, 2, 3, 4}) dg->add_coords(c);
    pbg::GraphQueryResultFrame good;
    set_int(good.add_rows()->add_values(), 5);
    const std::string body = delimited_message(make_header({"g"})) + delimited_message(good) + delimited_message(frame);
    const Drained got = drive({body});
    EXPECT_EQ(got.error.error_code, -1);
    EXPECT_EQ(got.error.error_message, "Invalid geometry.");
    EXPECT_EQ(got.rows, (Rows{{5}}));
}

// Values far larger than the frame arena's block, over several frames:
// each frame's strings and blobs come out whole after the arena is reset.
TEST(Stream, LargeStringsAndBlobsAcrossFrames) {
    std::string body = delimited_message(make_header({"s", "b"}));
    std::vector<std::string> expected;
    for (int f = 0; f < 3; ++f) {
        pbg::GraphQueryResultFrame frame;
        auto* row = frame.add_rows();
        std::string text(std::size_t{3} << 20, static_cast<char>('a' + f));
        text[12345] = 'Z';
        row->add_values()->mutable_primitive_value()->set_string_value(text);
        row->add_values()->mutable_primitive_value()->set_blob_value(std::string(100, static_cast<char>(f)));
        expected.push_back(text);
        body += delimited_message(frame);
    }
    tk::GraphQueryDecoder d;
    std::size_t rows = 0;
    for (const auto& chunk : split_every(body, 1 << 20)) {
        ASSERT_TRUE(d.push_buffer(chunk.data(), chunk.size()));
        while (d.next_row()) {
            ASSERT_LT(rows, expected.size());
            EXPECT_TRUE(std::get<std::string>(*d.value_at(0)) == expected[rows]) << "row " << rows;
            EXPECT_EQ(std::get<tk::blob_t>(*d.value_at(1)).bytes, std::string(100, static_cast<char>(rows)));
            ++rows;
        }
    }
    EXPECT_EQ(rows, 3u);
    EXPECT_FALSE(d.has_error()) << d.error.error_message;
}

// One thread pushes while another pulls: the queue is the only shared state.
TEST(Stream, PushFromAnotherThread) {
    const Body body = sample_body();
    const auto chunks = split_random(body.bytes, 5, 64);
    tk::GraphQueryDecoder d;
    std::thread producer([&] {
        for (const auto& c : chunks) d.push_buffer(c.data(), c.size());
    });
    Drained got;
    // Pulls until every row is in; an empty queue just ends one pull.
    for (long spins = 0; got.rows.size() < body.rows.size() && !d.has_error() && spins < 50000000; ++spins)
        pull_rows(d, got);
    producer.join();
    pull_rows(d, got);
    EXPECT_FALSE(d.has_error()) << d.error.error_message;
    EXPECT_EQ(got.rows, body.rows);
}

// A cursor comes back only within the front frame, and only backwards.
TEST(Stream, RewindWithinTheFrontFrameOnly) {
    tk::GraphQueryDecoder d;
    const std::string body = delimited_message(make_header({"a"})) + delimited_message(int_frame({{0}, {1}, {2}, {3}})) +
                             delimited_message(int_frame({{4}, {5}}));
    ASSERT_TRUE(d.push_buffer(body.data(), body.size()));
    EXPECT_EQ(d.rows_ready(), 0u);
    EXPECT_EQ(d.cursor().frame, 0u);
    ASSERT_TRUE(d.next_row());
    ASSERT_TRUE(d.next_row());
    const auto at1 = d.cursor();
    EXPECT_EQ(d.rows_ready(), 2u);
    ASSERT_TRUE(d.next_row());
    ASSERT_TRUE(d.next_row());
    EXPECT_EQ(std::get<int64_t>(*d.value_at(0)), 3);
    const auto at3 = d.cursor();
    EXPECT_EQ(d.rows_ready(), 0u);
    ASSERT_TRUE(d.rewind(at1));
    EXPECT_EQ(std::get<int64_t>(*d.value_at(0)), 1);
    EXPECT_EQ(d.rows_ready(), 2u);
    EXPECT_FALSE(d.rewind(at3));  // forwards
    EXPECT_EQ(std::get<int64_t>(*d.value_at(0)), 1);
    for (int64_t want : {2, 3, 4}) {
        ASSERT_TRUE(d.next_row());
        EXPECT_EQ(std::get<int64_t>(*d.value_at(0)), want);
    }
    EXPECT_FALSE(d.rewind(at1));  // another frame
    EXPECT_EQ(std::get<int64_t>(*d.value_at(0)), 4);
    ASSERT_TRUE(d.next_row());
    EXPECT_EQ(std::get<int64_t>(*d.value_at(0)), 5);
    EXPECT_FALSE(d.next_row());
    EXPECT_FALSE(d.rewind(at1));
    EXPECT_EQ(d.rows_ready(), 0u);
}

}  // namespace
