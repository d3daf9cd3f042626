// Compressed frames: gzip and zlib streams inflated to frame messages.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace {

using namespace tk_test;
using Rows = std::vector<std::vector<int64_t>>;

const Rows kFirst = {{1, 10}, {2, 20}};
const Rows kSecond = {{3, 30}};

std::string compressed_header() { return delimited_message(make_header({"n", "v"}, true)); }

std::string packed_frame(const Rows& rows, Packing packing) {
    return delimited(compress(int_frame(rows).SerializeAsString(), packing));
}

class InflateFormat : public ::testing::TestWithParam<Packing> {};

TEST_P(InflateFormat, FramesInflateWholeAndByteByByte) {
    const std::string body =
        compressed_header() + packed_frame(kFirst, GetParam()) + delimited("") + packed_frame(kSecond, GetParam());
    Rows all = kFirst;
    all.insert(all.end(), kSecond.begin(), kSecond.end());
    for (const auto& chunks : {std::vector<std::string>{body}, split_every(body, 1), split_random(body, 7, 9)}) {
        const Drained got = drive(chunks);
        EXPECT_TRUE(got.error.empty()) << got.error.error_message;
        EXPECT_EQ(got.rows, all);
    }
}

// A frame that inflates to many times its compressed size and well beyond
// 64 KiB, as real frames of repetitive rows do (about 75 times here, far
// below what only a bomb reaches); the same frame twice.
TEST_P(InflateFormat, LargeCompressibleFrame) {
    Rows rows;
    for (int64_t i = 0; i < 40000; ++i) rows.push_back({i % 500, 7});
    const std::string frame = packed_frame(rows, GetParam());
    ASSERT_LT(frame.size() * 16, int_frame(rows).ByteSizeLong());
    ASSERT_GT(frame.size() * 200, int_frame(rows).ByteSizeLong());
    const Drained got = drive({compressed_header() + frame + frame});
    EXPECT_TRUE(got.error.empty()) << got.error.error_message;
    ASSERT_EQ(got.rows.size(), 80000u);
    EXPECT_EQ(got.rows[79999], (std::vector<int64_t>{39999 % 500, 7}));
    EXPECT_EQ(got.rows[40000], (std::vector<int64_t>{0, 7}));
}

// A frame cut short (its prefix counting only the bytes that remain) must
// not pass as a shorter frame.
TEST_P(InflateFormat, CutFrameIsAnErrorAfterEarlierRows) {
    Rows big;
    for (int64_t i = 0; i < 500; ++i) big.push_back({i * 7919, i});
    const std::string whole = compress(int_frame(big).SerializeAsString(), GetParam());
    for (std::size_t keep : {whole.size() - 1, whole.size() - 4, whole.size() / 2, std::size_t{3}}) {
        const std::string body =
            compressed_header() + packed_frame(kFirst, GetParam()) + delimited(whole.substr(0, keep));
        const Drained got = drive({body});
        EXPECT_EQ(got.error.error_code, -1) << "keep " << keep;
        EXPECT_EQ(got.error.error_message.rfind("zlib: ", 0), 0u) << got.error.error_message;
        EXPECT_EQ(got.rows, kFirst) << "keep " << keep;
    }
}

INSTANTIATE_TEST_SUITE_P(Inflate, InflateFormat, ::testing::Values(Packing::gzip, Packing::zlib),
                         [](const ::testing::TestParamInfo<Packing>& p) {
                             return std::string(p.param == Packing::gzip ? "gzip" : "zlib");
                         });

// Two gzip members back to back make one frame: the message is their
// inflated bytes together, and repeated rows simply add up.
TEST(Inflate, ConcatenatedGzipMembersMakeOneFrame) {
    const std::string a = int_frame(kFirst).SerializeAsString();
    const std::string b = int_frame(kSecond).SerializeAsString();
    // Cut the frame bytes in the middle of a row as well as between rows.
    const std::string ab = a + b;
    for (std::size_t cut : {a.size(), a.size() / 2, std::size_t{1}}) {
        const std::string members =
            compress(ab.substr(0, cut), Packing::gzip) + compress(ab.substr(cut), Packing::gzip);
        const Drained got = drive({compressed_header() + delimited(members)});
        EXPECT_TRUE(got.error.empty()) << got.error.error_message;
        EXPECT_EQ(got.rows, (Rows{{1, 10}, {2, 20}, {3, 30}})) << "cut " << cut;
    }
}

TEST(Inflate, BadCompressedDataKeepsEarlierRows) {
    const std::string good = packed_frame(kFirst, Packing::gzip);
    const std::string member = compress(int_frame(kSecond).SerializeAsString(), Packing::gzip);
    std::string corrupt_crc = member;
    corrupt_crc[corrupt_crc.size() - 6] ^= 0x55;  // inside the CRC-32 trailer
    std::string corrupt_body = compress(int_frame(kSecond).SerializeAsString(), Packing::zlib);
    corrupt_body[2] = static_cast<char>(0xff);  // an invalid deflate block type
    const std::vector<std::string> tails = {
        delimited("this is not compressed at all"),
        delimited(std::string(40, '\0')),
        // Raw deflate has neither header: not accepted.
        packed_frame(kSecond, Packing::raw),
        delimited(corrupt_crc),
        delimited(corrupt_body),
        // A valid member followed by bytes that start no member.
        delimited(member + "garbage!"),
    };
    for (std::size_t i = 0; i < tails.size(); ++i) {
        const Drained got = drive({compressed_header() + good + tails[i] + good});
        EXPECT_EQ(got.error.error_code, -1) << "tail " << i;
        EXPECT_EQ(got.error.error_message.rfind("zlib: ", 0), 0u) << "tail " << i << ": " << got.error.error_message;
        EXPECT_EQ(got.rows, kFirst) << "tail " << i;
    }
}

// A zlib stream that needs a preset dictionary cannot be inflated.
TEST(Inflate, PresetDictionaryIsRefused) {
    const std::string data = int_frame(kSecond).SerializeAsString();
    z_stream z{};
    ASSERT_EQ(deflateInit(&z, Z_DEFAULT_COMPRESSION), Z_OK);
    const std::string dict = "dictionary";
    deflateSetDictionary(&z, reinterpret_cast<const Bytef*>(dict.data()), static_cast<uInt>(dict.size()));
    std::string out(256, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef*>(&out[0]);
    z.avail_out = static_cast<uInt>(out.size());
    ASSERT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    out.resize(z.total_out);
    deflateEnd(&z);
    const Drained got = drive({compressed_header() + delimited(out)});
    EXPECT_EQ(got.error.error_code, -1);
    EXPECT_EQ(got.error.error_message.rfind("zlib: ", 0), 0u) << got.error.error_message;
    EXPECT_TRUE(got.rows.empty());
}

// The flag belongs to the header: without it compressed bytes are parsed
// as they stand and fail as a frame.
TEST(Inflate, CompressedFrameWithoutTheFlagFailsToParse) {
    const std::string body = delimited_message(make_header({"n", "v"})) + delimited_message(int_frame(kFirst)) +
                             packed_frame(kSecond, Packing::gzip);
    const Drained got = drive({body});
    EXPECT_EQ(got.error.error_code, -1);
    EXPECT_EQ(got.error.error_message, "Result frame parsing failure!");
    EXPECT_EQ(got.rows, kFirst);
}

}  // namespace
