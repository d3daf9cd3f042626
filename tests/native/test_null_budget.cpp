// Null arrays travel as a bare count: how far they may expand.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <thread>
#include <vector>

#include "test_support.h"
#include "values/codec.h"

namespace {

using namespace tk_test;

constexpr int64_t kPerArrayCap = 1048576;
constexpr int64_t kAllowance = 65536;
constexpr int64_t kPerInputByte = 16;

const tk::QuantizationTransform kNoTransform;

pbg::AnyValue null_array(int64_t count) {
    pbg::AnyValue m;
    m.mutable_array_value()->mutable_null_values()->set_count(count);
    return m;
}

// The decoded array, or nullptr when it was refused.
std::shared_ptr<tk::ArrayValue> decode_nulls(int64_t count) {
    pbg::AnyValue m = null_array(count);
    tk::value_t v = tk::decode_any_value(kNoTransform, m);
    EXPECT_EQ(v.index(), tk::kArrayIndex);
    auto* a = std::get_if<std::shared_ptr<tk::ArrayValue>>(&v);
    return a ? *a : nullptr;
}

bool expands(int64_t count) {
    const auto a = decode_nulls(count);
    if (!a) return false;
    EXPECT_EQ(static_cast<int64_t>(a->values.size()), count);
    for (const auto& v : a->values)
        if (!tk::is_null(v)) {
            ADD_FAILURE() << "non-null element";
            break;
        }
    return true;
}

TEST(NullBudget, PerArrayCapWithoutScope) {
    EXPECT_TRUE(expands(0));
    EXPECT_TRUE(expands(1));
    EXPECT_TRUE(expands(kPerArrayCap));
    EXPECT_FALSE(expands(kPerArrayCap + 1));
    EXPECT_FALSE(expands(-1));
    EXPECT_FALSE(expands(INT64_MIN));
    EXPECT_FALSE(expands(INT64_MAX));
    // Without a scope nothing accumulates.
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(expands(kPerArrayCap));
}

TEST(NullBudget, NegativeAndOversizedCountsInsideAScope) {
    // A budget of exactly the per-array cap.
    tk::NullExpansionScope scope(static_cast<std::size_t>((kPerArrayCap - kAllowance) / kPerInputByte));
    EXPECT_FALSE(expands(-5));
    EXPECT_FALSE(expands(kPerArrayCap + 1));
    // Refused arrays take nothing from the budget.
    EXPECT_TRUE(expands(kPerArrayCap));
    EXPECT_FALSE(expands(1));
}

TEST(NullBudget, ArraysInOneScopeStopAtTheBudget) {
    struct Case {
        std::size_t input_bytes;
        int64_t chunk;
    } cases[] = {{0, 1000}, {1000, 1000}, {4096, 7777}, {1, 65536}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input_bytes);
        const int64_t budget = kAllowance + kPerInputByte * static_cast<int64_t>(c.input_bytes);
        tk::NullExpansionScope scope(c.input_bytes);
        int64_t used = 0;
        while (used + c.chunk <= budget) {
            ASSERT_TRUE(expands(c.chunk)) << "used " << used;
            used += c.chunk;
        }
        EXPECT_FALSE(expands(c.chunk));
        // What is left can still be spent, exactly, then nothing more.
        EXPECT_TRUE(expands(budget - used));
        EXPECT_FALSE(expands(1));
        EXPECT_TRUE(expands(0));
    }
}

TEST(NullBudget, HugeInputSizesDoNotOverflow) {
    tk::NullExpansionScope scope(std::numeric_limits<std::size_t>::max());
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(expands(kPerArrayCap));
}

// Null arrays nested in one value share the budget; a refused one becomes
// an empty pointer and the rest of the value still decodes.
TEST(NullBudget, NestedArraysShareTheBudget) {
    pbg::AnyValue m;
    auto* values = m.mutable_array_value()->mutable_any_values()->mutable_values();
    for (int i = 0; i < 3; ++i) *values->Add() = null_array(30000);
    set_int(values->Add(), 9);
    tk::NullExpansionScope scope(0);
    const tk::value_t v = tk::decode_any_value(kNoTransform, m);
    const auto& outer = std::get<std::shared_ptr<tk::ArrayValue>>(v);
    ASSERT_TRUE(outer);
    ASSERT_EQ(outer->values.size(), 4u);
    for (std::size_t i = 0; i < 2; ++i) {
        const auto& inner = std::get<std::shared_ptr<tk::ArrayValue>>(outer->values[i]);
        ASSERT_TRUE(inner) << i;
        EXPECT_EQ(inner->values.size(), 30000u);
    }
    EXPECT_FALSE(std::get<std::shared_ptr<tk::ArrayValue>>(outer->values[2]));
    EXPECT_EQ(std::get<int64_t>(outer->values[3]), 9);
    EXPECT_TRUE(expands(kAllowance - 60000));
    EXPECT_FALSE(expands(1));
}

// An inner scope has its own budget; closing it gives the outer one back
// as it was, and closing the last leaves only the per-array cap.
TEST(NullBudget, NestedScopes) {
    {
        tk::NullExpansionScope outer(0);
        EXPECT_TRUE(expands(60000));
        {
            tk::NullExpansionScope inner(10);
            EXPECT_TRUE(expands(kAllowance + 160));
            EXPECT_FALSE(expands(1));
        }
        EXPECT_FALSE(expands(kAllowance - 60000 + 1));
        EXPECT_TRUE(expands(kAllowance - 60000));
        EXPECT_FALSE(expands(1));
    }
    EXPECT_TRUE(expands(kPerArrayCap));
    EXPECT_TRUE(expands(kPerArrayCap));
}

// The budget belongs to the thread that opened the scope.
TEST(NullBudget, ScopesArePerThread) {
    tk::NullExpansionScope scope(0);
    EXPECT_TRUE(expands(kAllowance));
    EXPECT_FALSE(expands(1));
    bool other = false;
    std::thread t([&other] {
        const auto a = decode_nulls(kPerArrayCap);
        other = a && static_cast<int64_t>(a->values.size()) == kPerArrayCap;
    });
    t.join();
    EXPECT_TRUE(other);
    EXPECT_FALSE(expands(1));
}

// The query decoder opens one scope per frame: within a frame the rows
// share it, the next frame starts afresh, and a refused array is an empty
// pointer, not an error.
TEST(NullBudget, QueryFramesEachGetABudget) {
    pbg::GraphQueryResultFrame frame;
    for (int i = 0; i < 2; ++i) *frame.add_rows()->add_values() = null_array(40000);
    const std::string frame_bytes = frame.SerializeAsString();
    ASSERT_LT(40000, kAllowance + kPerInputByte * static_cast<int64_t>(frame_bytes.size()));
    ASSERT_GT(80000, kAllowance + kPerInputByte * static_cast<int64_t>(frame_bytes.size()));
    const std::string body =
        delimited_message(make_header({"nulls"})) + delimited(frame_bytes) + delimited(frame_bytes);
    tk::GraphQueryDecoder d;
    ASSERT_TRUE(d.push_buffer(body.data(), body.size()));
    std::vector<std::size_t> sizes;
    while (d.next_row()) {
        const auto& a = std::get<std::shared_ptr<tk::ArrayValue>>(*d.value_at(0));
        sizes.push_back(a ? a->values.size() : 0);
    }
    EXPECT_FALSE(d.has_error()) << d.error.error_message;
    EXPECT_EQ(sizes, (std::vector<std::size_t>{40000, 0, 40000, 0}));
    // Outside the decoder no scope is left open.
    EXPECT_TRUE(expands(kPerArrayCap));
}

// FAULT: the query decoder sizes a compressed frame's null budget by its
// inflated bytes, not by the bytes received. Deflate shrinks repeated null
// arrays about a thousandfold, so a few hundred received bytes expand to
// hundreds of thousands of nulls (some 40 bytes each); the budget should
// follow the compressed length the stream actually carried.
TEST(NullBudget, CompressedFrameBudgetFollowsReceivedBytes) {
    pbg::GraphQueryResultFrame frame;
    for (int i = 0; i < 4000; ++i) *frame.add_rows()->add_values() = null_array(1000);
    const std::string packed = compress(frame.SerializeAsString(), Packing::gzip, Z_BEST_COMPRESSION);
    const std::string body = delimited_message(make_header({"nulls"}, true)) + delimited(packed);
    tk::GraphQueryDecoder d;
    ASSERT_TRUE(d.push_buffer(body.data(), body.size()));
    int64_t expanded = 0;
    while (d.next_row()) {
        const auto& a = std::get<std::shared_ptr<tk::ArrayValue>>(*d.value_at(0));
        if (a) expanded += static_cast<int64_t>(a->values.size());
    }
    EXPECT_FALSE(d.has_error()) << d.error.error_message;
    EXPECT_LE(expanded, kAllowance + kPerInputByte * static_cast<int64_t>(packed.size()))
        << packed.size() << " compressed bytes, " << frame.ByteSizeLong() << " inflated";
}

}  // namespace
