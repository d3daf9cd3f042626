// Integer grids for geometry coordinates on the wire.
#pragma once

#include <cmath>
#include <limits>
#include <memory>

#include "common/status.h"
#include "geometry/geometry.h"

namespace vexoPBuffer {
namespace graph {
class Transform;
class GeometryValue;
class QuantizationParameters;
}  // namespace graph
}  // namespace vexoPBuffer

namespace tk {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct InputQuantizationParameters {
    double xy_resolution = kNaN;
    double x_false_origin = 0;
    double y_false_origin = 0;
    double z_resolution = 0.00001;
    double z_false_origin = 0;
    double m_resolution = 0.00001;
    double m_false_origin = 0;

    static InputQuantizationParameters WGS84_lossless();
};

// Fields in wire order; Python shows them as xmin, ymin, xmax, ymax.
struct Envelope {
    double xmin = kNaN;
    double xmax = kNaN;
    double ymin = kNaN;
    double ymax = kNaN;

    bool empty() const { return std::isnan(xmin) || std::isnan(xmax) || std::isnan(ymin) || std::isnan(ymax); }
};

enum class vexoQuantizeMode : int32_t { view = 0, edit = 1 };

struct OutputQuantizationParameters {
    vexoQuantizeMode quantize_mode = vexoQuantizeMode::edit;
    Envelope extent;
    double tolerance = 0;
};

// Affine map from coordinates to grid units (requests) or back (results).
struct QuantizationTransform {
    bool valid = false;
    double sx = 1, xy = 0, tx = 0;
    double yx = 0, sy = 1, ty = 0;
    double tz = 0, sz = 1;
    double tm = 0, sm = 1;
};

// 1 / x, exact for decimal resolutions; throws std::domain_error
// "cannot divide 1 by 0." for 0.
double reciprocal(double x);
// 0 (valid) or 1 (xy_resolution NaN or infinite: left invalid).
int build(QuantizationTransform& transform, const InputQuantizationParameters& params);
int write_transform(const QuantizationTransform& transform, vexoPBuffer::graph::Transform* message);
// In place; throws std::invalid_argument "Invalid geometry." when lengths and
// coordinates disagree.
void quantize(geometry_t& geometry, const QuantizationTransform& transform);
// Quantizes a copy: the caller's geometry is never changed.
int encode_geometry(const std::shared_ptr<geometry_t>& geometry, const QuantizationTransform& transform,
                    vexoPBuffer::graph::GeometryValue* message);
void dequantize(geometry_t& geometry, const QuantizationTransform& transform);
int write_output_quantization(const OutputQuantizationParameters& params,
                              vexoPBuffer::graph::QuantizationParameters* message);

}  // namespace tk
