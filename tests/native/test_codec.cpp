// The value codec: narrowest wire forms out, values back in.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "geometry/quantization.h"
#include "graph_values.pb.h"
#include "test_support.h"
#include "values/codec.h"

namespace {

using namespace tk_test;
using tk::value_t;
using PV = pbg::PrimitiveValue;
using AV = pbg::ArrayValue;

constexpr double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();
const tk::QuantizationTransform kNoTransform;

// Encodes and reads the result back through the protobuf runtime, so what
// is checked is what goes on the wire.
pbg::AnyValue wire_of(const value_t& v, int expected_status = 0) {
    pbg::AnyValue out;
    EXPECT_EQ(tk::encode_any_value(kNoTransform, v, &out), expected_status);
    pbg::AnyValue parsed;
    EXPECT_TRUE(parsed.ParseFromString(out.SerializeAsString()));
    return parsed;
}

std::shared_ptr<tk::ArrayValue> array_of(std::vector<value_t> values) {
    auto a = std::make_shared<tk::ArrayValue>();
    a->values = std::move(values);
    return a;
}

// Bit patterns for floating values, so NaN equals NaN and 0.0 is not -0.0.
template <class T>
bool same_number(T a, T b) {
    return (std::isnan(a) && std::isnan(b)) || (a == b && std::signbit(a) == std::signbit(b));
}

bool same(const value_t& a, const value_t& b);

bool same_props(const tk::KeyValueList& a, const tk::KeyValueList& b) {
    if (a.pairs.size() != b.pairs.size()) return false;
    for (std::size_t i = 0; i < a.pairs.size(); ++i)
        if (a.pairs[i].first != b.pairs[i].first || !same(a.pairs[i].second, b.pairs[i].second)) return false;
    return true;
}

bool same(const value_t& a, const value_t& b) {
    if (a.index() != b.index()) return false;
    switch (a.index()) {
        case tk::kFloatIndex:
            return same_number(std::get<float>(a), std::get<float>(b));
        case tk::kDoubleIndex:
            return same_number(std::get<double>(a), std::get<double>(b));
        case tk::kGeometryIndex: {
            const auto& x = std::get<std::shared_ptr<tk::geometry_t>>(a);
            const auto& y = std::get<std::shared_ptr<tk::geometry_t>>(b);
            if (!x || !y) return !x && !y;
            return x->geometry_type == y->geometry_type && x->has_z == y->has_z && x->has_m == y->has_m &&
                   x->lengths == y->lengths && x->coords == y->coords;
        }
        case tk::kObjectIndex: {
            const auto& x = std::get<std::shared_ptr<tk::ObjectValue>>(a);
            const auto& y = std::get<std::shared_ptr<tk::ObjectValue>>(b);
            if (!x || !y) return !x && !y;
            return same_props(x->properties, y->properties);
        }
        case tk::kEntityIndex: {
            const auto& x = std::get<std::shared_ptr<tk::EntityValue>>(a);
            const auto& y = std::get<std::shared_ptr<tk::EntityValue>>(b);
            if (!x || !y) return !x && !y;
            return x->type_name == y->type_name && same(x->id, y->id) && same_props(x->properties, y->properties);
        }
        case tk::kRelationshipIndex: {
            const auto& x = std::get<std::shared_ptr<tk::RelationshipValue>>(a);
            const auto& y = std::get<std::shared_ptr<tk::RelationshipValue>>(b);
            if (!x || !y) return !x && !y;
            return x->type_name == y->type_name && same(x->id, y->id) && same_props(x->properties, y->properties) &&
                   same(x->origin_entity_id, y->origin_entity_id) &&
                   same(x->destination_entity_id, y->destination_entity_id);
        }
        case tk::kPathIndex:
            return false;  // never compared here
        case tk::kArrayIndex: {
            const auto& x = std::get<std::shared_ptr<tk::ArrayValue>>(a);
            const auto& y = std::get<std::shared_ptr<tk::ArrayValue>>(b);
            if (!x || !y) return !x && !y;
            if (x->values.size() != y->values.size()) return false;
            for (std::size_t i = 0; i < x->values.size(); ++i)
                if (!same(x->values[i], y->values[i])) return false;
            return true;
        }
        default:
            return a == b;
    }
}

value_t decoded(pbg::AnyValue message) { return tk::decode_any_value(kNoTransform, message); }

tk::time_point_t ticks(int64_t n) { return tk::time_point_t(tk::ticks_t(n)); }

tk::uuid_t uuid_counting(uint8_t from) {
    tk::uuid_t u;
    for (int i = 0; i < 16; ++i) u.bytes[static_cast<std::size_t>(i)] = static_cast<uint8_t>(from + i);
    return u;
}

struct DoubleCase {
    double x;
    PV::ValueCase form;
};

TEST(Codec, DoubleNarrowestForm) {
    const double two40 = 1099511627776.0, two48 = 281474976710656.0;
    const DoubleCase cases[] = {
        {3.0, PV::kDoubleIntValue},
        {-1.0, PV::kDoubleIntValue},
        {0.5, PV::kDoubleFloatValue},
        {0.1, PV::kDoubleValue},
        {two40 + 0.5, PV::kDoubleValue},
        {two40 + 1, PV::kDoubleIntValue},
        {1e10, PV::kDoubleFloatValue},
        {kInf, PV::kDoubleFloatValue},
        {-kInf, PV::kDoubleFloatValue},
        {kNaN, PV::kDoubleValue},
        {1048575.0, PV::kDoubleIntValue},
        {-1048576.0, PV::kDoubleIntValue},
        {1048576.0, PV::kDoubleFloatValue},
        {-1048577.0, PV::kDoubleFloatValue},
        {16777217.0, PV::kDoubleIntValue},
        {two48 - 1, PV::kDoubleIntValue},
        {-(two48 - 1), PV::kDoubleIntValue},
        {two48, PV::kDoubleFloatValue},
        {-two48, PV::kDoubleFloatValue},
        {two48 + 2, PV::kDoubleValue},
        {1e300, PV::kDoubleValue},
        {3.4028234663852886e38, PV::kDoubleFloatValue},
        {1.401298464324817e-45, PV::kDoubleFloatValue},
        {9.2233720368547758e18 * 4, PV::kDoubleFloatValue},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.x);
        const pbg::AnyValue w = wire_of(c.x);
        ASSERT_EQ(w.value_case(), pbg::AnyValue::kPrimitiveValue);
        const PV& p = w.primitive_value();
        ASSERT_EQ(p.value_case(), c.form);
        if (c.form == PV::kDoubleIntValue) {
            EXPECT_EQ(static_cast<double>(p.double_int_value()), c.x);
        }
        if (c.form == PV::kDoubleFloatValue) {
            EXPECT_EQ(static_cast<double>(p.double_float_value()), c.x);
        }
        if (c.form == PV::kDoubleValue) {
            EXPECT_TRUE(same_number(p.double_value(), c.x));
        }
        // Whatever the form, a double comes back as that double.
        EXPECT_TRUE(same(decoded(w), value_t(c.x)));
    }
}

TEST(Codec, FloatNarrowestForm) {
    const struct {
        float f;
        PV::ValueCase form;
    } cases[] = {
        {3.0f, PV::kFloatIntValue},       {-7.0f, PV::kFloatIntValue},
        {0.5f, PV::kFloatValue},          {2097152.0f, PV::kFloatValue},
        {1048575.0f, PV::kFloatIntValue}, {-1048576.0f, PV::kFloatIntValue},
        {1048576.0f, PV::kFloatValue},    {-1048577.0f, PV::kFloatValue},
        {std::nanf(""), PV::kFloatValue}, {static_cast<float>(kInf), PV::kFloatValue},
        {3e38f, PV::kFloatValue},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.f);
        const pbg::AnyValue w = wire_of(c.f);
        ASSERT_EQ(w.primitive_value().value_case(), c.form);
        if (c.form == PV::kFloatIntValue) {
            EXPECT_EQ(static_cast<float>(w.primitive_value().float_int_value()), c.f);
        }
        EXPECT_TRUE(same(decoded(w), value_t(c.f)));
    }
}

// The bytes of small primitives: zigzag ints, oneof members written even
// when they hold their default, plain-varint date-times.
TEST(Codec, PrimitiveWireBytes) {
    const struct {
        const char* name;
        value_t value;
        std::string bytes;
    } cases[] = {
        {"null", tk::null_t{}, bytes_of({0x0a, 0x02, 0x60, 0x00})},
        {"false", false, bytes_of({0x0a, 0x02, 0x40, 0x00})},
        {"true", true, bytes_of({0x0a, 0x02, 0x40, 0x01})},
        {"int64 zero", int64_t{0}, bytes_of({0x0a, 0x02, 0x38, 0x00})},
        {"int64 -1", int64_t{-1}, bytes_of({0x0a, 0x02, 0x38, 0x01})},
        {"double 3", 3.0, bytes_of({0x0a, 0x02, 0x30, 0x06})},
        {"double -3", -3.0, bytes_of({0x0a, 0x02, 0x30, 0x05})},
        {"double 0.5", 0.5, bytes_of({0x0a, 0x05, 0x2d, 0x00, 0x00, 0x00, 0x3f})},
        {"float 3", 3.0f, bytes_of({0x0a, 0x02, 0x18, 0x06})},
        {"float 0.5", 0.5f, bytes_of({0x0a, 0x05, 0x15, 0x00, 0x00, 0x00, 0x3f})},
        {"datetime -1 ms", ticks(-10000),
         bytes_of({0x0a, 0x0b, 0x68, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01})},
        {"string", std::string("hé"), bytes_of({0x0a, 0x05, 0x0a, 0x03, 0x68, 0xc3, 0xa9})},
        {"blob", tk::blob_t{std::string("\0\xff", 2)}, bytes_of({0x0a, 0x04, 0x52, 0x02, 0x00, 0xff})},
    };
    for (const auto& c : cases) {
        pbg::AnyValue out;
        ASSERT_EQ(tk::encode_any_value(kNoTransform, c.value, &out), 0) << c.name;
        EXPECT_EQ(out.SerializeAsString(), c.bytes) << c.name;
    }
}

TEST(Codec, UuidsAndDateTimes) {
    const tk::uuid_t u = uuid_counting(0xf0);
    const pbg::AnyValue w = wire_of(u);
    const std::string& b = w.primitive_value().uuid_value();
    ASSERT_EQ(b.size(), 16u);
    for (std::size_t i = 0; i < 16; ++i) EXPECT_EQ(static_cast<uint8_t>(b[i]), u.bytes[i]);
    EXPECT_TRUE(same(decoded(w), u));

    // Milliseconds, truncated toward zero.
    const struct {
        int64_t ticks, millis;
    } times[] = {{0, 0}, {-1, 0}, {-9999, 0}, {-10000, -1}, {-10001, -1}, {12345678, 1234}, {9999, 0}};
    for (const auto& t : times)
        EXPECT_EQ(wire_of(ticks(t.ticks)).primitive_value().datetime_value(), t.millis) << t.ticks;
    EXPECT_TRUE(same(decoded(wire_of(ticks(-12340000))), ticks(-12340000)));

    // Millisecond counts whose ticks leave the 64-bit range read as null.
    for (int64_t ms : {INT64_MAX, INT64_MIN, INT64_MAX / 10000 + 1}) {
        pbg::AnyValue m;
        m.mutable_primitive_value()->set_datetime_value(ms);
        EXPECT_TRUE(tk::is_null(decoded(m))) << ms;
    }
    pbg::AnyValue edge;
    edge.mutable_primitive_value()->set_datetime_value(INT64_MAX / 10000);
    EXPECT_TRUE(same(decoded(edge), ticks(INT64_MAX / 10000 * 10000)));
}

struct ArrayCase {
    const char* name;
    std::vector<value_t> elements;
    AV::ArrayCase form;
    std::function<void(const AV&)> check;
};

void PrintTo(const ArrayCase& c, std::ostream* os) { *os << c.name; }

class CodecArrays : public ::testing::TestWithParam<ArrayCase> {};

TEST_P(CodecArrays, PackedFormAndRoundTrip) {
    const ArrayCase& c = GetParam();
    const auto array = array_of(c.elements);
    const pbg::AnyValue w = wire_of(array);
    ASSERT_EQ(w.value_case(), pbg::AnyValue::kArrayValue);
    ASSERT_EQ(w.array_value().array_case(), c.form);
    if (c.check) c.check(w.array_value());
    EXPECT_TRUE(same(decoded(w), value_t(array)));
}

template <class R>
std::vector<typename R::value_type> vec(const R& r) {
    return {r.begin(), r.end()};
}

const double kTwo40p1 = 1099511627777.0;

INSTANTIATE_TEST_SUITE_P(
    Codec, CodecArrays,
    ::testing::Values(
        ArrayCase{"int64",
                  {int64_t{1}, int64_t{-2}, INT64_MIN, INT64_MAX},
                  AV::kInt64Values,
                  [](const AV& a) {
                      EXPECT_EQ(vec(a.int64_values().values()), (std::vector<int64_t>{1, -2, INT64_MIN, INT64_MAX}));
                  }},
        ArrayCase{"floats_all_int",
                  {1.0f, -1048576.0f, 1048575.0f},
                  AV::kFloatIntValues,
                  [](const AV& a) {
                      EXPECT_EQ(vec(a.float_int_values().values()), (std::vector<int32_t>{1, -1048576, 1048575}));
                  }},
        ArrayCase{"floats_one_fraction",
                  {1.0f, 0.5f},
                  AV::kFloatValues,
                  [](const AV& a) {
                      EXPECT_EQ(vec(a.float_values().values()), (std::vector<float>{1.0f, 0.5f}));
                  }},
        ArrayCase{"floats_one_large", {1.0f, 2097152.0f}, AV::kFloatValues, nullptr},
        ArrayCase{
            "doubles_int",
            {1.0, 2.0, -1048576.0, kTwo40p1},
            AV::kDoubleIntValues,
            [](const AV& a) {
                EXPECT_EQ(vec(a.double_int_values().values()), (std::vector<int64_t>{1, 2, -1048576, 1099511627777}));
            }},
        ArrayCase{"doubles_float",
                  {0.5, 0.25, 1e10, kInf},
                  AV::kDoubleFloatValues,
                  [](const AV& a) {
                      EXPECT_EQ(vec(a.double_float_values().values()),
                                (std::vector<float>{0.5f, 0.25f, 1e10f, static_cast<float>(kInf)}));
                  }},
        ArrayCase{"doubles_one_double",
                  {0.5, 0.1, 3.0},
                  AV::kDoubleValues,
                  [](const AV& a) {
                      EXPECT_EQ(vec(a.double_values().values()), (std::vector<double>{0.5, 0.1, 3.0}));
                  }},
        // Ints and floats mixed, all float-exact: floats carry them all.
        ArrayCase{"doubles_int_and_float",
                  {1.0, 0.5, -3.0},
                  AV::kDoubleFloatValues,
                  [](const AV& a) {
                      EXPECT_EQ(vec(a.double_float_values().values()), (std::vector<float>{1.0f, 0.5f, -3.0f}));
                  }},
        // An int that no float holds, next to a float: only doubles carry both.
        ArrayCase{"doubles_wide_int_and_float", {16777217.0, 0.5}, AV::kDoubleValues, nullptr},
        ArrayCase{"doubles_nan", {1.0, kNaN}, AV::kDoubleValues, nullptr},
        // Different alternatives element by element, each narrowest.
        ArrayCase{"int64_and_double",
                  {int64_t{1}, 0.5, 2.0},
                  AV::kAnyValues,
                  [](const AV& a) {
                      const auto& v = a.any_values().values();
                      ASSERT_EQ(v.size(), 3);
                      EXPECT_EQ(v[0].primitive_value().int64_value(), 1);
                      EXPECT_EQ(v[1].primitive_value().double_float_value(), 0.5f);
                      EXPECT_EQ(v[2].primitive_value().double_int_value(), 2);
                  }},
        ArrayCase{"int64_and_string",
                  {int64_t{1}, std::string("a")},
                  AV::kAnyValues,
                  [](const AV& a) {
                      const auto& v = a.any_values().values();
                      ASSERT_EQ(v.size(), 2);
                      EXPECT_EQ(v[0].primitive_value().int64_value(), 1);
                      EXPECT_EQ(v[1].primitive_value().string_value(), "a");
                  }},
        ArrayCase{"float_and_double",
                  {1.5f, 1.5},
                  AV::kAnyValues,
                  [](const AV& a) {
                      EXPECT_EQ(a.any_values().values(0).primitive_value().value_case(), PV::kFloatValue);
                      EXPECT_EQ(a.any_values().values(1).primitive_value().value_case(), PV::kDoubleFloatValue);
                  }},
        ArrayCase{"bools",
                  {true, false},
                  AV::kAnyValues,
                  [](const AV& a) {
                      ASSERT_EQ(a.any_values().values_size(), 2);
                      EXPECT_EQ(a.any_values().values(1).primitive_value().value_case(), PV::kBoolValue);
                      EXPECT_FALSE(a.any_values().values(1).primitive_value().bool_value());
                  }},
        ArrayCase{"strings", {std::string("x"), std::string("")}, AV::kAnyValues, nullptr},
        ArrayCase{"nulls",
                  {tk::null_t{}, tk::null_t{}, tk::null_t{}},
                  AV::kNullValues,
                  [](const AV& a) { EXPECT_EQ(a.null_values().count(), 3); }},
        ArrayCase{"uuids",
                  {uuid_counting(0), uuid_counting(100)},
                  AV::kUuidValues,
                  [](const AV& a) {
                      ASSERT_EQ(a.uuid_values().size(), 32u);
                      EXPECT_EQ(static_cast<uint8_t>(a.uuid_values()[16]), 100);
                      EXPECT_EQ(static_cast<uint8_t>(a.uuid_values()[31]), 115);
                  }},
        ArrayCase{"datetimes",
                  {ticks(10000), ticks(-20000)},
                  AV::kDatetimeValues,
                  [](const AV& a) {
                      EXPECT_EQ(vec(a.datetime_values().values()), (std::vector<int64_t>{1, -2}));
                  }},
        ArrayCase{"blobs",
                  {tk::blob_t{"ab"}, tk::blob_t{std::string("\0", 1)}},
                  AV::kBlobValues,
                  [](const AV& a) { EXPECT_EQ(a.blob_values().values(1), std::string("\0", 1)); }},
        ArrayCase{"nested",
                  {array_of({int64_t{1}}), array_of({0.5, 0.25})},
                  AV::kAnyValues,
                  [](const AV& a) {
                      EXPECT_EQ(a.any_values().values(0).array_value().array_case(), AV::kInt64Values);
                      EXPECT_EQ(a.any_values().values(1).array_value().array_case(), AV::kDoubleFloatValues);
                  }}),
    [](const ::testing::TestParamInfo<ArrayCase>& p) { return std::string(p.param.name); });

TEST(Codec, EmptyArrays) {
    pbg::AnyValue out;
    EXPECT_EQ(tk::encode_any_value(kNoTransform, array_of({}), &out), 1);
    // An array value with no member set: two bytes in all.
    EXPECT_EQ(out.SerializeAsString(), bytes_of({0x12, 0x00}));
    const value_t back = decoded(out);
    ASSERT_EQ(back.index(), tk::kArrayIndex);
    EXPECT_FALSE(std::get<std::shared_ptr<tk::ArrayValue>>(back));
    // Inside another array the empty one is a success like any element.
    const pbg::AnyValue nested = wire_of(array_of({array_of({}), int64_t{5}}));
    ASSERT_EQ(nested.array_value().array_case(), AV::kAnyValues);
    EXPECT_TRUE(nested.array_value().any_values().values(0).has_array_value());
    EXPECT_EQ(nested.array_value().any_values().values(0).array_value().array_case(), AV::ARRAY_NOT_SET);
}

TEST(Codec, CompoundValues) {
    auto entity = std::make_shared<tk::EntityValue>();
    entity->type_name = "Person";
    entity->id = int64_t{42};
    entity->properties.append("name", std::string("Ada"));
    entity->properties.append("age", 36.0);
    // Taken before encoding: the comparison must not depend on what
    // encoding leaves in the source.
    auto expected = std::make_shared<tk::EntityValue>(*entity);
    expected->id = tk::null_t{};
    const pbg::AnyValue w = wire_of(entity);
    ASSERT_EQ(w.value_case(), pbg::AnyValue::kEntityValue);
    EXPECT_EQ(w.entity_value().label(), "Person");
    EXPECT_FALSE(w.entity_value().has_id());  // identifiers are not sent
    ASSERT_EQ(w.entity_value().properties_size(), 2);
    EXPECT_EQ(w.entity_value().properties(1).key(), "age");
    EXPECT_EQ(w.entity_value().properties(1).value().primitive_value().double_int_value(), 36);
    EXPECT_TRUE(same(decoded(w), value_t(expected)));

    auto rel = std::make_shared<tk::RelationshipValue>();
    rel->type_name = "KNOWS";
    rel->id = std::string("r1");
    rel->origin_entity_id = int64_t{1};
    rel->properties.append("since", ticks(10000 * 1000));
    auto expected_rel = std::make_shared<tk::RelationshipValue>();
    expected_rel->type_name = "KNOWS";
    expected_rel->properties = rel->properties;
    const pbg::AnyValue r = wire_of(rel);
    EXPECT_EQ(r.relationship_value().type(), "KNOWS");
    EXPECT_FALSE(r.relationship_value().has_id());
    EXPECT_FALSE(r.relationship_value().has_origin_id());
    EXPECT_TRUE(same(decoded(r), value_t(expected_rel)));

    auto object = std::make_shared<tk::ObjectValue>();
    object->properties.append("k", array_of({1.0, 2.0}));
    object->properties.append("k", tk::null_t{});  // repeats are kept
    auto expected_object = std::make_shared<tk::ObjectValue>(*object);
    EXPECT_TRUE(same(decoded(wire_of(object)), value_t(expected_object)));
}

TEST(Codec, FailureCodes) {
    const tk::QuantizationTransform invalid;
    auto point = std::make_shared<tk::geometry_t>();
    point->geometry_type = tk::vexoGeometryPoint;
    point->lengths = {1};
    point->coords = {1, 2};
    auto with_point = std::make_shared<tk::ObjectValue>();
    with_point->properties.append("p", point);
    const struct {
        const char* name;
        value_t value;
        int status;
    } cases[] = {
        {"empty object pointer", std::shared_ptr<tk::ObjectValue>(), -3},
        {"empty entity pointer", std::shared_ptr<tk::EntityValue>(), -3},
        {"empty relationship pointer", std::shared_ptr<tk::RelationshipValue>(), -3},
        {"empty geometry pointer", std::shared_ptr<tk::geometry_t>(), -3},
        {"path", std::make_shared<tk::PathValue>(), -5},
        {"empty path pointer", std::shared_ptr<tk::PathValue>(), -5},
        {"empty array pointer", std::shared_ptr<tk::ArrayValue>(), -5},
        {"geometry without transform", point, -6},
        {"path inside an array", array_of({int64_t{1}, std::make_shared<tk::PathValue>()}), -5},
        {"geometries without transform", array_of({point, point}), -6},
        {"geometry in an object", with_point, -6},
        {"empty object in an array", array_of({std::shared_ptr<tk::ObjectValue>()}), -3},
    };
    for (const auto& c : cases) {
        pbg::AnyValue out;
        EXPECT_EQ(tk::encode_any_value(invalid, c.value, &out), c.status) << c.name;
    }
    EXPECT_EQ(tk::encode_any_value(invalid, int64_t{1}, nullptr), -2);
    tk::KeyValueList list;
    list.append("a", int64_t{1});
    EXPECT_EQ(tk::encode_properties(invalid, list, nullptr), -2);
}

// kMaxEncodedValueDepth compound levels encode; one more is refused, which
// is also how a value that contains itself ends.
TEST(Codec, NestingDepthLimit) {
    const std::vector<std::pair<const char*, std::function<value_t(value_t)>>> wrappers = {
        {"array", [](value_t inner) { return value_t(array_of({std::move(inner)})); }},
        {"object",
         [](value_t inner) {
             auto o = std::make_shared<tk::ObjectValue>();
             o->properties.append("x", std::move(inner));
             return value_t(o);
         }},
        {"entity",
         [](value_t inner) {
             auto e = std::make_shared<tk::EntityValue>();
             e->properties.append("x", std::move(inner));
             return value_t(e);
         }},
    };
    for (const auto& [name, wrap] : wrappers) {
        value_t v = int64_t{7};
        for (int i = 0; i < tk::kMaxEncodedValueDepth; ++i) v = wrap(std::move(v));
        pbg::AnyValue ok;
        EXPECT_EQ(tk::encode_any_value(kNoTransform, v, &ok), 0) << name;
        v = wrap(std::move(v));
        pbg::AnyValue deep;
        EXPECT_EQ(tk::encode_any_value(kNoTransform, v, &deep), -3) << name;
    }

    auto cyclic = std::make_shared<tk::ArrayValue>();
    cyclic->values.push_back(int64_t{1});
    cyclic->values.push_back(cyclic);
    pbg::AnyValue out;
    EXPECT_EQ(tk::encode_any_value(kNoTransform, cyclic, &out), -3);
    cyclic->values.clear();  // break the cycle

    auto self = std::make_shared<tk::ObjectValue>();
    self->properties.append("me", self);
    pbg::AnyValue out2;
    EXPECT_EQ(tk::encode_any_value(kNoTransform, self, &out2), -3);
    self->properties.clear();
}

TEST(Codec, DecodingMalformedPieces) {
    {
        pbg::AnyValue m;
        m.mutable_primitive_value()->set_uuid_value(std::string(15, 'u'));
        EXPECT_TRUE(tk::is_null(decoded(m)));
    }
    {
        pbg::AnyValue m;
        m.mutable_array_value()->set_uuid_values(std::string(33, 'u'));
        const value_t v = decoded(m);
        ASSERT_EQ(v.index(), tk::kArrayIndex);
        EXPECT_FALSE(std::get<std::shared_ptr<tk::ArrayValue>>(v));
    }
    {
        // Two entities around two relationships: not a path.
        pbg::AnyValue m;
        auto* p = m.mutable_path_value();
        p->add_entities();
        p->add_entities();
        p->add_relationships();
        p->add_relationships();
        const value_t v = decoded(m);
        ASSERT_EQ(v.index(), tk::kPathIndex);
        EXPECT_FALSE(std::get<std::shared_ptr<tk::PathValue>>(v));
    }
    {
        // A well-formed path keeps its order; one bad entity spoils it.
        pbg::AnyValue m;
        auto* p = m.mutable_path_value();
        p->add_entities()->set_label("A");
        p->add_relationships()->set_type("R");
        p->add_entities()->set_label("B");
        pbg::AnyValue copy = m;
        const auto path = std::get<std::shared_ptr<tk::PathValue>>(decoded(m));
        ASSERT_TRUE(path);
        ASSERT_EQ(path->entities.size(), 2u);
        EXPECT_EQ(path->entities[1]->type_name, "B");
        EXPECT_EQ(path->relationships[0]->type_name, "R");
        copy.mutable_path_value()->mutable_entities(1)->add_properties()->set_key("");
        EXPECT_FALSE(std::get<std::shared_ptr<tk::PathValue>>(decoded(copy)));
    }
    {
        pbg::AnyValue m;
        m.mutable_entity_value()->set_label("E");
        m.mutable_entity_value()->add_properties()->set_key("");
        EXPECT_TRUE(tk::is_null(decoded(m)));
        pbg::AnyValue o;
        o.mutable_object_value()->add_properties()->set_key("ok");
        o.mutable_object_value()->add_properties()->set_key("");
        const value_t v = decoded(o);
        ASSERT_EQ(v.index(), tk::kObjectIndex);
        EXPECT_FALSE(std::get<std::shared_ptr<tk::ObjectValue>>(v));
    }
    {
        // Only the origin present: the destination reads as null.
        pbg::AnyValue m;
        set_int(m.mutable_relationship_value()->mutable_origin_id(), 3);
        const auto rel = std::get<std::shared_ptr<tk::RelationshipValue>>(decoded(m));
        EXPECT_EQ(std::get<int64_t>(rel->origin_entity_id), 3);
        EXPECT_TRUE(tk::is_null(rel->destination_entity_id));
    }
    {
        pbg::AnyValue empty;
        EXPECT_TRUE(tk::is_null(decoded(empty)));
        pbg::AnyValue no_member;
        no_member.mutable_primitive_value();
        EXPECT_TRUE(tk::is_null(decoded(no_member)));
        pbg::AnyValue no_array;
        no_array.mutable_array_value();
        EXPECT_FALSE(std::get<std::shared_ptr<tk::ArrayValue>>(decoded(no_array)));
        pbg::AnyValue shape;
        shape.mutable_primitive_value()->mutable_geometry_value()->set_shape_buffer("xyz");
        EXPECT_TRUE(tk::is_null(decoded(shape)));
    }
    {
        // An unknown wire geometry type gives the null type, left as sent.
        pbg::AnyValue m;
        auto* g = m.mutable_primitive_value()->mutable_geometry_value();
        g->set_geometry_type(static_cast<vexoPBuffer::VexoTypes_WireGeometryType>(7));
        g->mutable_default_geometry()->add_coords(5);
        const auto geometry = std::get<std::shared_ptr<tk::geometry_t>>(decoded(m));
        EXPECT_EQ(geometry->geometry_type, tk::vexoGeometryNull);
        EXPECT_EQ(geometry->coords, (std::vector<double>{5}));
    }
}

TEST(Codec, WrappedValuesAndMovedStrings) {
    // Deeply wrapped values unwrap without recursion.
    pbg::AnyValue root;
    pbg::AnyValue* m = &root;
    for (int i = 0; i < 5000; ++i) m = m->mutable_wrapped_value();
    m->mutable_primitive_value()->set_string_value("inside");
    EXPECT_TRUE(same(decoded(root), std::string("inside")));

    // Strings and blobs leave the message they are decoded from.
    pbg::AnyValue s;
    s.mutable_primitive_value()->set_string_value(std::string(100, 's'));
    EXPECT_EQ(std::get<std::string>(tk::decode_any_value(kNoTransform, s)), std::string(100, 's'));
    EXPECT_TRUE(s.primitive_value().string_value().empty());
}

}  // namespace
