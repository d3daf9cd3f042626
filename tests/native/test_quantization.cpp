// Coordinates to integer grids and back.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <ostream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "geometry/quantization.h"
#include "graph_values.pb.h"
#include "test_support.h"
#include "values/codec.h"

namespace {

using tk::geometry_t;
using tk::QuantizationTransform;
using namespace tk_test;

constexpr double kInf = std::numeric_limits<double>::infinity();

std::shared_ptr<geometry_t> make_geometry(tk::vexoGeometryType type, bool z, bool m, std::vector<int32_t> lengths,
                                          std::vector<double> coords) {
    auto g = std::make_shared<geometry_t>();
    g->geometry_type = type;
    g->has_z = z;
    g->has_m = m;
    g->lengths = std::move(lengths);
    g->coords = std::move(coords);
    return g;
}

QuantizationTransform built(double xy, double ox, double oy, double z = 0.00001, double oz = 0, double m = 0.00001,
                            double om = 0) {
    tk::InputQuantizationParameters p;
    p.xy_resolution = xy;
    p.x_false_origin = ox;
    p.y_false_origin = oy;
    p.z_resolution = z;
    p.z_false_origin = oz;
    p.m_resolution = m;
    p.m_false_origin = om;
    QuantizationTransform t;
    EXPECT_EQ(tk::build(t, p), 0);
    return t;
}

// What a result decoder makes of a header carrying this transform message.
QuantizationTransform from_message(const pbg::Transform& m) {
    QuantizationTransform t;
    t.valid = true;
    t.sx = m.scale().xscale();
    t.sy = m.scale().yscale();
    t.sz = m.scale().zscale();
    t.sm = m.scale().mscale();
    t.tx = m.translate().xtranslate();
    t.ty = m.translate().ytranslate();
    t.tz = m.translate().ztranslate();
    t.tm = m.translate().mtranslate();
    return t;
}

std::shared_ptr<geometry_t> round_trip(const std::shared_ptr<geometry_t>& g, const QuantizationTransform& t) {
    pbg::GeometryValue message;
    EXPECT_EQ(tk::encode_geometry(g, t, &message), 0);
    pbg::Transform tm;
    EXPECT_EQ(tk::write_transform(t, &tm), 0);
    pbg::GeometryValue parsed;
    EXPECT_TRUE(parsed.ParseFromString(message.SerializeAsString()));
    tk::value_t v = tk::decode_geometry_value(from_message(tm), parsed);
    auto* out = std::get_if<std::shared_ptr<geometry_t>>(&v);
    return out ? *out : nullptr;
}

TEST(Quantization, Reciprocal) {
    struct Case {
        double x, r;
    } cases[] = {{1e-9, 1e9},     {1e-5, 100000}, {0.001, 1000}, {0.25, 4}, {2, 0.5},
                 {-0.001, -1000}, {1, 1},         {4, 0.25},     {0.5, 2}};
    for (const auto& c : cases) EXPECT_EQ(tk::reciprocal(c.x), c.r) << c.x;
    // The plain quotient is not exact here: the point of the scaling.
    EXPECT_NE(1 / 1e-9, 1e9);
    EXPECT_THROW(
        try { tk::reciprocal(0); } catch (const std::domain_error& e) {
            EXPECT_STREQ(e.what(), "cannot divide 1 by 0.");
            throw;
        },
        std::domain_error);
    EXPECT_THROW(tk::reciprocal(-0.0), std::domain_error);
}

TEST(Quantization, BuildAndWriteTransform) {
    for (double bad : {tk::kNaN, kInf, -kInf}) {
        tk::InputQuantizationParameters p;
        p.xy_resolution = bad;
        QuantizationTransform t;
        EXPECT_EQ(tk::build(t, p), 1);
        EXPECT_FALSE(t.valid);
        pbg::Transform m;
        EXPECT_EQ(tk::write_transform(t, &m), 1);
        EXPECT_FALSE(m.has_scale());
        EXPECT_FALSE(m.has_translate());
    }
    for (auto zero : {&tk::InputQuantizationParameters::xy_resolution, &tk::InputQuantizationParameters::z_resolution,
                      &tk::InputQuantizationParameters::m_resolution}) {
        tk::InputQuantizationParameters p = tk::InputQuantizationParameters::WGS84_lossless();
        p.*zero = 0;
        QuantizationTransform t;
        EXPECT_THROW(tk::build(t, p), std::domain_error);
    }
    QuantizationTransform t;
    ASSERT_EQ(tk::build(t, tk::InputQuantizationParameters::WGS84_lossless()), 0);
    EXPECT_TRUE(t.valid);
    EXPECT_EQ(t.sx, 1e9);
    EXPECT_EQ(t.sz, 1e5);
    t = built(0.5, 10, -20, 0.25, 1, 2, -3);
    EXPECT_EQ(t.sx, 2);
    EXPECT_EQ(t.tx, -20);
    EXPECT_EQ(t.ty, 40);
    EXPECT_EQ(t.sz, 4);
    EXPECT_EQ(t.tz, -4);
    EXPECT_EQ(t.sm, 0.5);
    EXPECT_EQ(t.tm, 1.5);
    pbg::Transform m;
    ASSERT_EQ(tk::write_transform(t, &m), 0);
    EXPECT_EQ(m.scale().xscale(), 0.5);
    EXPECT_EQ(m.scale().yscale(), 0.5);
    EXPECT_EQ(m.scale().zscale(), 0.25);
    EXPECT_EQ(m.scale().mscale(), 2);
    EXPECT_EQ(m.translate().xtranslate(), 10);
    EXPECT_EQ(m.translate().ytranslate(), -20);
    EXPECT_EQ(m.translate().ztranslate(), 1);
    EXPECT_EQ(m.translate().mtranslate(), -3);
    t.xy = 1;
    EXPECT_THROW(tk::write_transform(t, &m), std::logic_error);
}

// Resolution 0.25, both origins -100: the polyline of three vertices, byte
// for byte, and back.
TEST(Quantization, WorkedPolylineExample) {
    const QuantizationTransform t = built(0.25, -100, -100);
    EXPECT_EQ(t.sx, 4);
    EXPECT_EQ(t.tx, 400);
    auto g = make_geometry(tk::vexoGeometryPolyline, false, false, {3}, {1.125, 2.375, 1.6, 2.2, 0.9, 2.9});
    const std::vector<double> before = g->coords;
    pbg::GeometryValue message;
    ASSERT_EQ(tk::encode_geometry(g, t, &message), 0);
    EXPECT_EQ(g->coords, before);                                           // the caller's geometry is left alone
    const std::string expected = bytes_of({0x08, 0x02,                      // geometry_type polyline
                                           0x12, 0x0d,                      // default_geometry
                                           0x1a, 0x01, 0x03,                // lengths [3]
                                           0x22, 0x08, 0xa8, 0x06, 0xb4,    // coords 808, 820,
                                           0x06, 0x04, 0x01, 0x03, 0x06});  // 4, 1, 3, 6
    EXPECT_EQ(message.SerializeAsString(), expected);

    pbg::Transform tm;
    ASSERT_EQ(tk::write_transform(t, &tm), 0);
    EXPECT_EQ(tm.scale().xscale(), 0.25);
    EXPECT_EQ(tm.scale().yscale(), 0.25);
    EXPECT_EQ(tm.translate().xtranslate(), -100);
    EXPECT_EQ(tm.translate().ytranslate(), -100);

    // In place the grid values stay as doubles, delta-encoded.
    geometry_t in_place = *g;
    tk::quantize(in_place, t);
    EXPECT_EQ(in_place.coords, (std::vector<double>{404, 410, 2, -1, -2, 3}));

    pbg::GeometryValue parsed;
    ASSERT_TRUE(parsed.ParseFromString(expected));
    const tk::value_t v = tk::decode_geometry_value(from_message(tm), parsed);
    const auto& back = std::get<std::shared_ptr<geometry_t>>(v);
    EXPECT_EQ(back->geometry_type, tk::vexoGeometryPolyline);
    EXPECT_EQ(back->lengths, (std::vector<int32_t>{3}));
    EXPECT_EQ(back->coords, (std::vector<double>{1.0, 2.5, 1.5, 2.25, 1.0, 3.0}));

    // Encoding again sends the same bytes.
    pbg::GeometryValue again;
    ASSERT_EQ(tk::encode_geometry(g, t, &again), 0);
    EXPECT_EQ(again.SerializeAsString(), expected);
}

struct RoundTripCase {
    const char* name;
    std::shared_ptr<geometry_t> geometry;
};

void PrintTo(const RoundTripCase& c, std::ostream* os) { *os << c.name; }

class QuantizationRoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

// Coordinates on the grid (dyadic resolutions, so every step is exact) come
// back unchanged.
TEST_P(QuantizationRoundTrip, GridCoordinatesComeBackExactly) {
    const QuantizationTransform t = built(0.125, -50, 20, 0.5, -10, 0.25, 3);
    const auto& g = GetParam().geometry;
    const auto back = round_trip(g, t);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->geometry_type, g->geometry_type);
    EXPECT_EQ(back->has_z, g->has_z);
    EXPECT_EQ(back->has_m, g->has_m);
    EXPECT_EQ(back->lengths, g->lengths);
    EXPECT_EQ(back->coords, g->coords);
}

INSTANTIATE_TEST_SUITE_P(
    Quantization, QuantizationRoundTrip,
    ::testing::Values(
        RoundTripCase{"point", make_geometry(tk::vexoGeometryPoint, false, false, {1}, {1.125, -7.5})},
        RoundTripCase{"point_zm", make_geometry(tk::vexoGeometryPoint, true, true, {1}, {-49.875, 1e6, -9.5, 2.75})},
        RoundTripCase{"multipoint_z", make_geometry(tk::vexoGeometryMultipoint, true, false, {3},
                                                    {0, 0, 1, 5.5, -3.25, 2, 1e5, 1e5, -1e4})},
        RoundTripCase{"polyline_m_two_paths",
                      make_geometry(tk::vexoGeometryPolyline, false, true, {2, 3},
                                    {0, 0, 0, 10, 10, 5, 3, 3, 3, -1.5, -1.5, 0.25, 1000, -1000, 7.75})},
        RoundTripCase{"polygon_zm_two_rings",
                      make_geometry(tk::vexoGeometryPolygon, true, true, {4, 4},
                                    {0,   0,   1,  1,  10, 0,   1.5, 1.25, 10, 10, 2,  1.5, 0,   0,   1,  1,
                                     2.5, 2.5, -1, -1, 5,  2.5, -1,  -1,   5,  5,  -1, -1,  2.5, 2.5, -1, -1})},
        RoundTripCase{"envelope_without_parts",
                      make_geometry(tk::vexoGeometryEnvelope, false, false, {}, {-8, -4, 16.5, 32.25})}),
    [](const ::testing::TestParamInfo<RoundTripCase>& p) { return std::string(p.param.name); });

// Off-grid coordinates come back within half a grid unit in X and Y and
// within one unit in Z (truncated, not rounded), over many parts and
// vertices so the running sums are exercised.
TEST(Quantization, RandomPolylinesComeBackWithinTheGrid) {
    const double res = 0.001;
    const QuantizationTransform t = built(res, -180, -90, res, -500);
    std::mt19937 rng(20240607);
    std::uniform_real_distribution<double> xs(-180, 180), ys(-90, 90), zs(-400, 400);
    for (int round = 0; round < 20; ++round) {
        auto g = make_geometry(tk::vexoGeometryPolyline, true, false, {}, {});
        for (int part = 0; part < 5; ++part) {
            const int n = 1 + static_cast<int>(rng() % 50);
            g->lengths.push_back(n);
            for (int i = 0; i < n; ++i) {
                g->coords.push_back(xs(rng));
                g->coords.push_back(ys(rng));
                g->coords.push_back(zs(rng));
            }
        }
        const auto back = round_trip(g, t);
        ASSERT_TRUE(back);
        ASSERT_EQ(back->coords.size(), g->coords.size());
        for (std::size_t i = 0; i < g->coords.size(); ++i) {
            const double err = std::fabs(back->coords[i] - g->coords[i]);
            ASSERT_LE(err, (i % 3 == 2 ? res : res / 2) * (1 + 1e-6)) << "round " << round << " index " << i;
        }
    }
}

// Points put every value on the grid, half to even; multi-vertex types
// round X and Y only and leave Z and M transformed.
TEST(Quantization, RoundingHalfToEven) {
    const QuantizationTransform unit = built(1, 0, 0, 1, 0, 1, 0);
    struct Case {
        double in, out;
    } cases[] = {{10.5, 10}, {11.5, 12}, {-2.5, -2}, {0.5, 0}, {1.5, 2}, {2.4999, 2}, {-3.5, -4}, {7.0, 7}};
    for (const auto& c : cases) {
        auto g = make_geometry(tk::vexoGeometryPoint, true, true, {1}, {c.in, c.in, c.in, c.in});
        pbg::GeometryValue message;
        ASSERT_EQ(tk::encode_geometry(g, unit, &message), 0);
        for (int64_t v : message.default_geometry().coords()) EXPECT_EQ(v, c.out) << c.in;
    }
    auto line = make_geometry(tk::vexoGeometryPolyline, true, true, {2}, {0.5, 1.5, 1.7, -1.7, 2.5, 3.5, 2.2, 0.9});
    geometry_t in_place = *line;
    tk::quantize(in_place, unit);
    EXPECT_EQ(in_place.coords, (std::vector<double>{0, 2, 1.7, -1.7, 2, 2, 2.2, 0.9}));
    pbg::GeometryValue message;
    ASSERT_EQ(tk::encode_geometry(line, unit, &message), 0);
    // Z and M lose their fraction toward zero on the wire.
    const std::vector<int64_t> wire(message.default_geometry().coords().begin(),
                                    message.default_geometry().coords().end());
    EXPECT_EQ(wire, (std::vector<int64_t>{0, 2, 1, -1, 2, 2, 2, 0}));
}

TEST(Quantization, ExtremeGridValues) {
    const QuantizationTransform unit = built(1, 0, 0);
    // The most negative int64 is on the grid; 2^63 is not.
    auto low = make_geometry(tk::vexoGeometryPoint, false, false, {1}, {-9223372036854775808.0, 0});
    pbg::GeometryValue message;
    ASSERT_EQ(tk::encode_geometry(low, unit, &message), 0);
    EXPECT_EQ(message.default_geometry().coords(0), INT64_MIN);
    pbg::GeometryValue parsed;
    ASSERT_TRUE(parsed.ParseFromString(message.SerializeAsString()));
    EXPECT_EQ(parsed.default_geometry().coords(0), INT64_MIN);
    for (double x : {9223372036854775808.0, -9223372036854777856.0}) {
        auto high = make_geometry(tk::vexoGeometryPoint, false, false, {1}, {0, x});
        pbg::GeometryValue refused;
        EXPECT_THROW(tk::encode_geometry(high, unit, &refused), std::invalid_argument) << x;
    }
}

struct InvalidCase {
    const char* name;
    std::shared_ptr<geometry_t> geometry;
};

void PrintTo(const InvalidCase& c, std::ostream* os) { *os << c.name; }

class QuantizationInvalid : public ::testing::TestWithParam<InvalidCase> {};

TEST_P(QuantizationInvalid, EncodingThrowsInvalidGeometry) {
    const QuantizationTransform t = built(1e-9, 0, 0);
    pbg::GeometryValue message;
    try {
        tk::encode_geometry(GetParam().geometry, t, &message);
        ADD_FAILURE() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "Invalid geometry.");
    }
    // Through the codec the exception passes up the same way.
    pbg::AnyValue any;
    EXPECT_THROW(tk::encode_any_value(t, GetParam().geometry, &any), std::invalid_argument);
}

INSTANTIATE_TEST_SUITE_P(
    Quantization, QuantizationInvalid,
    ::testing::Values(
        InvalidCase{"point_nan_x", make_geometry(tk::vexoGeometryPoint, false, false, {1}, {tk::kNaN, 0})},
        InvalidCase{"point_inf_y", make_geometry(tk::vexoGeometryPoint, false, false, {1}, {0, kInf})},
        InvalidCase{"point_beyond_int64", make_geometry(tk::vexoGeometryPoint, false, false, {1}, {1e10, 0})},
        InvalidCase{"point_nan_m", make_geometry(tk::vexoGeometryPoint, false, true, {1}, {0, 0, tk::kNaN})},
        InvalidCase{"polyline_nan_z",
                    make_geometry(tk::vexoGeometryPolyline, true, false, {2}, {0, 0, 0, 1, 1, tk::kNaN})},
        InvalidCase{"polyline_minus_inf_m",
                    make_geometry(tk::vexoGeometryPolyline, false, true, {2}, {0, 0, 0, 1, 1, -kInf})},
        InvalidCase{"multipoint_huge_x", make_geometry(tk::vexoGeometryMultipoint, false, false, {1}, {-1e300, 0})},
        InvalidCase{"envelope_nan", make_geometry(tk::vexoGeometryEnvelope, false, false, {}, {0, 0, tk::kNaN, 1})},
        InvalidCase{"lengths_beyond_coords", make_geometry(tk::vexoGeometryPolyline, false, false, {3}, {0, 0, 1, 1})},
        InvalidCase{"trailing_empty_part", make_geometry(tk::vexoGeometryPolyline, false, false, {2, 0}, {0, 0, 1, 1})},
        InvalidCase{"lengths_short_of_coords", make_geometry(tk::vexoGeometryPolygon, false, false, {1}, {0, 0, 1, 1})},
        InvalidCase{"partial_vertex", make_geometry(tk::vexoGeometryPolyline, false, false, {2}, {0, 0, 1, 1, 2})},
        InvalidCase{"negative_length",
                    make_geometry(tk::vexoGeometryPolyline, false, false, {3, -1}, {0, 0, 1, 1, 2, 2})},
        InvalidCase{"point_two_vertices", make_geometry(tk::vexoGeometryPoint, false, false, {1}, {0, 0, 1, 1})},
        InvalidCase{"point_no_coords", make_geometry(tk::vexoGeometryPoint, false, false, {1}, {})},
        InvalidCase{"multipoint_without_lengths", make_geometry(tk::vexoGeometryMultipoint, false, false, {}, {0, 0})}),
    [](const ::testing::TestParamInfo<InvalidCase>& p) { return std::string(p.param.name); });

// The same layout rules guard the wire direction, where lengths come from
// the network.
TEST(Quantization, DequantizeRefusesInconsistentLayouts) {
    const QuantizationTransform identity;
    const std::vector<std::shared_ptr<geometry_t>> bad = {
        make_geometry(tk::vexoGeometryPolyline, false, false, {3}, {0, 0, 1, 1}),
        make_geometry(tk::vexoGeometryPolygon, false, false, {2, 0}, {0, 0, 1, 1}),
        make_geometry(tk::vexoGeometryPolyline, false, false, {-2}, {0, 0, 1, 1}),
        make_geometry(tk::vexoGeometryMultipoint, false, false, {}, {0, 0}),
        make_geometry(tk::vexoGeometryPoint, true, false, {1}, {0, 0}),
        make_geometry(tk::vexoGeometryMultiPatch, false, false, {2147483647}, {0, 0}),
        make_geometry(tk::vexoGeometryEnvelope, false, false, {}, {0, 0, 1}),
    };
    for (std::size_t i = 0; i < bad.size(); ++i) {
        geometry_t g = *bad[i];
        EXPECT_THROW(tk::dequantize(g, identity), std::invalid_argument) << "case " << i;
    }
    // A wire length beyond int32 becomes negative and is refused too.
    pbg::GeometryValue message;
    message.set_geometry_type(vexoPBuffer::VexoTypes::vexoGeometryTypePolyline);
    message.mutable_default_geometry()->add_lengths(4294967295u);
    message.mutable_default_geometry()->add_coords(0);
    message.mutable_default_geometry()->add_coords(0);
    EXPECT_THROW(tk::decode_geometry_value(identity, message), std::invalid_argument);
}

TEST(Quantization, DequantizeSumsPartsThenTransforms) {
    QuantizationTransform t;
    t.valid = true;
    t.sx = 2;
    t.tx = 1;
    t.sy = 0.5;
    t.ty = -1;
    t.sz = 10;
    t.tz = 0;
    auto g = make_geometry(tk::vexoGeometryPolyline, true, false, {2, 2}, {1, 2, 3, 1, 1, 4, 4, 4, -2, -2, 5, 6});
    tk::dequantize(*g, t);
    // X, Y summed per part (Z not), then x*2+1, y*0.5-1, z*10.
    EXPECT_EQ(g->coords, (std::vector<double>{3, 0, 30, 5, 0.5, 40, 9, 1, -20, 5, 3.5, 60}));
    // Without a transform only the sums remain; envelopes are summed too.
    auto e = make_geometry(tk::vexoGeometryEnvelope, false, false, {2}, {1, 2, 3, 4});
    tk::dequantize(*e, QuantizationTransform{});
    EXPECT_EQ(e->coords, (std::vector<double>{1, 2, 4, 6}));
    // A point is not summed; a null geometry is left alone entirely.
    auto p = make_geometry(tk::vexoGeometryPoint, false, false, {1}, {3, 4});
    tk::dequantize(*p, t);
    EXPECT_EQ(p->coords, (std::vector<double>{7, 1}));
    auto n = make_geometry(tk::vexoGeometryNull, false, false, {5}, {3});
    tk::dequantize(*n, t);
    EXPECT_EQ(n->coords, (std::vector<double>{3}));
}

TEST(Quantization, EncodeStatuses) {
    const QuantizationTransform valid = built(1, 0, 0);
    const QuantizationTransform invalid;
    pbg::GeometryValue message;
    auto point = make_geometry(tk::vexoGeometryPoint, false, false, {1}, {1, 2});
    EXPECT_EQ(tk::encode_geometry(nullptr, valid, &message), -3);
    EXPECT_EQ(tk::encode_geometry(point, invalid, &message), -6);
    EXPECT_EQ(
        tk::encode_geometry(make_geometry(tk::vexoGeometryMultiPatch, false, false, {1}, {1, 2}), valid, &message), -5);
    for (auto type : {tk::vexoGeometryNull, tk::vexoGeometryAny}) {
        try {
            tk::encode_geometry(make_geometry(type, false, false, {1}, {1, 2}), valid, &message);
            ADD_FAILURE() << "no exception for type " << type;
        } catch (const std::invalid_argument& e) {
            EXPECT_STREQ(e.what(), "unsupported geometry type");
        }
    }
}

TEST(Quantization, OutputQuantization) {
    tk::OutputQuantizationParameters p;
    p.extent.xmin = 0;
    p.extent.ymin = 0;
    p.extent.xmax = 10;
    p.extent.ymax = 20;
    p.tolerance = 0.001;
    for (auto mode : {tk::vexoQuantizeMode::view, tk::vexoQuantizeMode::edit}) {
        p.quantize_mode = mode;
        pbg::QuantizationParameters m;
        ASSERT_EQ(tk::write_output_quantization(p, &m), 0);
        EXPECT_EQ(m.mode(), 0);
        EXPECT_EQ(m.tolerance(), 0.001);
        EXPECT_EQ(m.extent().xmin(), 0);
        EXPECT_EQ(m.extent().xmax(), 10);
        EXPECT_EQ(m.extent().ymin(), 0);
        EXPECT_EQ(m.extent().ymax(), 20);
        EXPECT_FALSE(m.extent().has_spatialreference());
    }
    p.quantize_mode = static_cast<tk::vexoQuantizeMode>(7);
    pbg::QuantizationParameters m;
    EXPECT_EQ(tk::write_output_quantization(p, &m), -3);
}

// The worked transform travels in a real header and the stream decoder
// gives the coordinates back.
TEST(Quantization, StreamDecodesWithWrittenTransform) {
    const QuantizationTransform t = built(0.25, -100, -100);
    pbg::GraphQueryResultHeader header = make_header({"shape"});
    ASSERT_EQ(tk::write_transform(t, header.mutable_transform()), 0);
    pbg::GraphQueryResultFrame frame;
    auto* value = frame.add_rows()->add_values();
    ASSERT_EQ(
        tk::encode_any_value(
            t, make_geometry(tk::vexoGeometryPolyline, false, false, {3}, {1.125, 2.375, 1.6, 2.2, 0.9, 2.9}), value),
        0);
    const std::string body = delimited_message(header) + delimited_message(frame);
    tk::GraphQueryDecoder d;
    d.push_buffer(body.data(), body.size());
    ASSERT_TRUE(d.next_row()) << d.error.error_message;
    const auto& g = std::get<std::shared_ptr<geometry_t>>(*d.value_at(0));
    EXPECT_EQ(g->coords, (std::vector<double>{1.0, 2.5, 1.5, 2.25, 1.0, 3.0}));
}

}  // namespace
