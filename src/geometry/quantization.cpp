#include "geometry/quantization.h"

#include <cstddef>
#include <stdexcept>

#include "geometry/geometry_layout.h"
#include "graph_values.pb.h"

namespace tk {

InputQuantizationParameters InputQuantizationParameters::WGS84_lossless() {
    InputQuantizationParameters params;
    params.xy_resolution = 0.000000001;
    params.z_resolution = 0.00001;
    params.m_resolution = 0.00001;
    return params;
}

double reciprocal(double x) {
    const double magnitude = std::fabs(x);
    if (magnitude == 0) throw std::domain_error("cannot divide 1 by 0.");
    const double r = 1 / x;
    // NaN fails the first test and passes through; tiny inputs whose
    // quotient overflows keep the plain quotient.
    if (magnitude >= 1 || !std::isfinite(r)) return r;
    // Scaling by a power of ten first makes 1 / 1e-9 come out as exactly 1e9
    // instead of 999999999.9999999.
    const double p = std::pow(10.0, std::ceil(std::log10(std::fabs(r))));
    if (!std::isfinite(p)) return r;
    return p / (p * x);
}

int build(QuantizationTransform& transform, const InputQuantizationParameters& params) {
    if (!std::isfinite(params.xy_resolution)) return status::kNothingToDo;
    const double ixy = reciprocal(params.xy_resolution);
    const double iz = reciprocal(params.z_resolution);
    const double im = reciprocal(params.m_resolution);
    transform.valid = true;
    transform.sx = ixy;
    transform.xy = 0;
    transform.tx = (-params.x_false_origin) * ixy;
    transform.yx = 0;
    transform.sy = ixy;
    transform.ty = (-params.y_false_origin) * ixy;
    transform.tz = (-params.z_false_origin) * iz;
    transform.sz = iz;
    transform.tm = (-params.m_false_origin) * im;
    transform.sm = im;
    return status::kOk;
}

int write_transform(const QuantizationTransform& transform, vexoPBuffer::graph::Transform* message) {
    if (!transform.valid) return status::kNothingToDo;
    if (!message) return status::kInvalidArgument;
    if (transform.xy != 0 || transform.yx != 0)
        throw std::logic_error("quantization should not be using XY or YX coefficients.");
    auto* scale = message->mutable_scale();
    auto* translate = message->mutable_translate();
    scale->set_xscale(reciprocal(transform.sx));
    scale->set_yscale(reciprocal(transform.sy));
    scale->set_zscale(reciprocal(transform.sz));
    scale->set_mscale(reciprocal(transform.sm));
    translate->set_xtranslate((-transform.tx) * scale->xscale());
    translate->set_ytranslate((-transform.ty) * scale->yscale());
    translate->set_ztranslate((-transform.tz) * scale->zscale());
    translate->set_mtranslate((-transform.tm) * scale->mscale());
    return status::kOk;
}

namespace {

[[noreturn]] void invalid_geometry() { throw std::invalid_argument("Invalid geometry."); }

bool is_identity(const QuantizationTransform& t, bool has_z, bool has_m) {
    const bool xy = t.sx == 1 && t.sy == 1 && t.xy == 0 && t.tx == 0 && t.yx == 0 && t.ty == 0;
    const bool z = !has_z || (t.sz == 1 && t.tz == 0);
    const bool m = !has_m || (t.sm == 1 && t.tm == 0);
    return xy && z && m;
}

bool is_multi_vertex(vexoGeometryType type) {
    return type == vexoGeometryMultipoint || type == vexoGeometryPolyline || type == vexoGeometryPolygon;
}

// The affine map on one vertex x, y[, z][, m], in place.
inline void apply_transform(double* v, const QuantizationTransform& t, bool has_z, bool has_m) {
    v[0] = t.sx * v[0] + t.tx;
    v[1] = t.sy * v[1] + t.ty;
    std::size_t k = 2;
    if (has_z) {
        v[k] = t.sz * v[k] + t.tz;
        ++k;
    }
    if (has_m) v[k] = t.sm * v[k] + t.tm;
}

// One vertex x, y[, z][, m] with the transform applied (or not).
struct Vertex {
    double v[4];
};

// Reads the coordinates vertex by vertex and hands each grid value to emit,
// in array order. Every vertex is read before any of its values is emitted,
// so emit may write back into the array being read.
template <class Emit>
void quantize_to(const geometry_t& g, const QuantizationTransform& t, Emit&& emit) {
    check_layout(g, LayoutCheck::wire);
    const std::size_t d = static_cast<std::size_t>(g.vertex_dimension());
    const std::size_t vertices = g.coords.size() / d;
    const bool apply = !is_identity(t, g.has_z, g.has_m);
    const double* c = g.coords.data();

    auto load = [&](std::size_t index) {
        Vertex vx{};
        const double* p = c + index * d;
        for (std::size_t k = 0; k < d; ++k) vx.v[k] = p[k];
        if (apply) apply_transform(vx.v, t, g.has_z, g.has_m);
        return vx;
    };

    if (g.geometry_type == vexoGeometryPoint) {
        // Every value of a point goes on the grid, Z and M included.
        // nearbyint rounds half to even in the default rounding mode.
        const Vertex vx = load(0);
        for (std::size_t k = 0; k < d; ++k) emit(std::nearbyint(vx.v[k]));
        return;
    }
    if (is_multi_vertex(g.geometry_type)) {
        // X and Y are rounded and sent as differences within each part;
        // Z and M only transformed.
        std::size_t index = 0;
        for (int32_t length : g.lengths) {
            double px = 0, py = 0;
            for (int32_t i = 0; i < length; ++i, ++index) {
                const Vertex vx = load(index);
                const double rx = std::nearbyint(vx.v[0]);
                const double ry = std::nearbyint(vx.v[1]);
                emit(i == 0 ? rx : rx - px);
                emit(i == 0 ? ry : ry - py);
                px = rx;
                py = ry;
                for (std::size_t k = 2; k < d; ++k) emit(vx.v[k]);
            }
        }
        return;
    }
    for (std::size_t index = 0; index < vertices; ++index) {
        const Vertex vx = load(index);
        for (std::size_t k = 0; k < d; ++k) emit(vx.v[k]);
    }
}

// Truncation toward zero; values that no int64 holds (and NaN) cannot be
// put on the grid.
int64_t grid_integer(double value) {
    if (!(value >= -9223372036854775808.0 && value < 9223372036854775808.0)) invalid_geometry();
    return static_cast<int64_t>(value);
}

}  // namespace

void quantize(geometry_t& geometry, const QuantizationTransform& transform) {
    if (geometry.geometry_type == vexoGeometryNull) return;
    double* out = geometry.coords.data();
    quantize_to(geometry, transform, [&out](double value) { *out++ = value; });
}

int encode_geometry(const std::shared_ptr<geometry_t>& geometry, const QuantizationTransform& transform,
                    vexoPBuffer::graph::GeometryValue* message) {
    if (!geometry || !message) return status::kInvalidArgument;
    if (!transform.valid) return status::kNoQuantization;
    const geometry_t& g = *geometry;
    if (g.geometry_type == vexoGeometryMultiPatch) return status::kNotImplemented;
    const int wire = to_wire_geometry_type(g.geometry_type);
    if (g.coords.size() >= (std::size_t{1} << 31)) return status::kInvalidArgument;

    message->set_geometry_type(static_cast<vexoPBuffer::VexoTypes_WireGeometryType>(wire));
    auto* target = message->mutable_default_geometry();
    target->set_has_z(g.has_z);
    target->set_has_m(g.has_m);

    // The grid values go straight into the message: the caller's geometry
    // keeps its coordinates, so encoding it again sends the same bytes.
    auto* coords = target->mutable_coords();
    coords->Reserve(coords->size() + static_cast<int>(g.coords.size()));
    quantize_to(g, transform, [coords](double value) { coords->AddAlreadyReserved(grid_integer(value)); });

    auto* lengths = target->mutable_lengths();
    lengths->Reserve(lengths->size() + static_cast<int>(g.lengths.size()));
    for (int32_t length : g.lengths) lengths->AddAlreadyReserved(static_cast<uint32_t>(length));
    return status::kOk;
}

void dequantize(geometry_t& geometry, const QuantizationTransform& transform) {
    const vexoGeometryType type = geometry.geometry_type;
    if (type == vexoGeometryNull) return;
    check_layout(geometry, LayoutCheck::wire);
    const std::size_t d = static_cast<std::size_t>(geometry.vertex_dimension());
    double* c = geometry.coords.data();

    // Undo the per-part differences of X and Y.
    if (is_multi_vertex(type) || type == vexoGeometryEnvelope || type == vexoGeometryMultiPatch) {
        std::size_t index = 0;
        for (int32_t length : geometry.lengths) {
            for (int32_t i = 0; i < length; ++i, ++index) {
                if (i == 0) continue;
                double* p = c + index * d;
                p[0] += p[-static_cast<std::ptrdiff_t>(d)];
                p[1] += p[1 - static_cast<std::ptrdiff_t>(d)];
            }
        }
    }

    if (is_identity(transform, geometry.has_z, geometry.has_m)) return;
    const std::size_t vertices = geometry.coords.size() / d;
    for (std::size_t index = 0; index < vertices; ++index)
        apply_transform(c + index * d, transform, geometry.has_z, geometry.has_m);
}

int write_output_quantization(const OutputQuantizationParameters& params,
                              vexoPBuffer::graph::QuantizationParameters* message) {
    if (!message) return status::kInvalidArgument;
    if (params.quantize_mode != vexoQuantizeMode::view && params.quantize_mode != vexoQuantizeMode::edit)
        return status::kInvalidArgument;
    message->set_tolerance(params.tolerance);
    // The mode field always goes out as 0, whatever quantize_mode says.
    message->set_mode(0);
    auto* extent = message->mutable_extent();
    extent->set_xmin(params.extent.xmin);
    extent->set_xmax(params.extent.xmax);
    extent->set_ymin(params.extent.ymin);
    extent->set_ymax(params.extent.ymax);
    return status::kOk;
}

}  // namespace tk
