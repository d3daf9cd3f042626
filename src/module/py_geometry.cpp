#include "module/py_geometry.h"

#include <cstddef>
#include <limits>
#include <memory>
#include <stdexcept>
#include <utility>

#include "geometry/geometry_layout.h"
#include "module/py_keys.h"

namespace tk {

namespace {

// d consecutive values starting at c, as one point list.
py::object point_list(const double* c, std::size_t d) {
    py::object point = new_list(d);
    for (std::size_t k = 0; k < d; ++k) list_set(point, k, py::float_(c[k]));
    return point;
}

// count points starting at vertex *vertex, advancing it.
py::object points_list(const geometry_t& g, std::size_t count, std::size_t& vertex) {
    const std::size_t d = static_cast<std::size_t>(g.vertex_dimension());
    py::object points = new_list(count);
    for (std::size_t i = 0; i < count; ++i, ++vertex) list_set(points, i, point_list(g.coords.data() + vertex * d, d));
    return points;
}

void put_flags(py::dict& out, const geometry_t& g) {
    if (g.has_z) out["hasZ"] = py::bool_(true);
    if (g.has_m) out["hasM"] = py::bool_(true);
}

double to_double(py::handle value) {
    if (PyFloat_CheckExact(value.ptr())) return PyFloat_AS_DOUBLE(value.ptr());
    return value.cast<double>();
}

// Lists are used as they are; any other sequence is copied into one (a
// non-sequence raises the Python error of that conversion).
py::list as_list(py::handle value) {
    if (PyList_Check(value.ptr())) return py::reinterpret_borrow<py::list>(value);
    return py::list(py::reinterpret_borrow<py::object>(value));
}

int32_t part_length(std::size_t count) {
    if (count > static_cast<std::size_t>(std::numeric_limits<int32_t>::max()))
        throw std::invalid_argument("Invalid geometry.");
    return static_cast<int32_t>(count);
}

// Appends every value of every point of the sequence; returns the number of
// points.
int32_t append_points(geometry_t& g, py::handle points_value) {
    py::list points = as_list(points_value);
    const int32_t count = part_length(points.size());
    for (py::handle point_value : points) {
        py::list point = as_list(point_value);
        for (py::handle v : point) g.coords.push_back(to_double(v));
    }
    return count;
}

void read_flags(geometry_t& g, py::handle d) {
    if (py::object z = dict_find(d, keys().has_z)) g.has_z = z.cast<bool>();
    if (py::object m = dict_find(d, keys().has_m)) g.has_m = m.cast<bool>();
}

}  // namespace

py::dict spatial_reference_to_dict(const SpatialReference& sr) {
    py::dict out;
    if (sr.wkid != 0) out["wkid"] = py::int_(sr.wkid);
    if (sr.latestWkid != 0) out["latestWkid"] = py::int_(sr.latestWkid);
    if (!sr.wkt.empty()) out["wkt"] = py::str(sr.wkt);
    return out;
}

py::dict geometry_to_json(const geometry_t& g, const SpatialReference& sr) {
    const vexoGeometryType type = g.geometry_type;
    if (type != vexoGeometryPoint && type != vexoGeometryMultipoint && type != vexoGeometryPolyline &&
        type != vexoGeometryPolygon)
        throw std::invalid_argument("Unknown or unsupported geometry type.");
    // Never read past the coordinates, whatever Python put into the fields.
    check_layout(g, LayoutCheck::json);

    py::dict out;
    if (type == vexoGeometryPoint) {
        const double* c = g.coords.data();
        out["x"] = py::float_(c[0]);
        out["y"] = py::float_(c[1]);
        if (g.has_z) out["z"] = py::float_(c[2]);
        if (g.has_m) out["m"] = py::float_(c[g.has_z ? 3 : 2]);
    } else if (type == vexoGeometryMultipoint) {
        put_flags(out, g);
        std::size_t vertex = 0;
        out["points"] = points_list(g, static_cast<std::size_t>(g.lengths[0]), vertex);
    } else {
        put_flags(out, g);
        py::object parts = new_list(g.lengths.size());
        std::size_t vertex = 0;
        for (std::size_t i = 0; i < g.lengths.size(); ++i)
            list_set(parts, i, points_list(g, static_cast<std::size_t>(g.lengths[i]), vertex));
        out[type == vexoGeometryPolygon ? "rings" : "paths"] = std::move(parts);
    }
    if (sr.is_set()) out["spatialReference"] = spatial_reference_to_dict(sr);
    out["_objectType"] = py::str("geometry");
    return out;
}

value_t geometry_from_json(py::handle d) {
    auto g = std::make_shared<geometry_t>();
    py::object x = dict_find(d, keys().x);
    py::object y = x ? dict_find(d, keys().y) : py::object();
    if (x && y) {
        // "hasZ"/"hasM" play no part here: the keys present decide.
        g->geometry_type = vexoGeometryPoint;
        g->lengths.push_back(1);
        g->coords.reserve(4);
        g->coords.push_back(to_double(x));
        g->coords.push_back(to_double(y));
        if (py::object z = dict_find(d, keys().z)) {
            g->has_z = true;
            g->coords.push_back(to_double(z));
        }
        if (py::object m = dict_find(d, keys().m)) {
            g->has_m = true;
            g->coords.push_back(to_double(m));
        }
    } else if (py::object points = dict_find(d, keys().points)) {
        g->geometry_type = vexoGeometryMultipoint;
        read_flags(*g, d);
        g->lengths.push_back(append_points(*g, points));
    } else {
        py::object parts_value = dict_find(d, keys().rings);
        const bool rings = static_cast<bool>(parts_value);
        if (!rings) parts_value = dict_find(d, keys().paths);
        if (!parts_value) return value_t{null_t{}};
        read_flags(*g, d);
        g->geometry_type = rings ? vexoGeometryPolygon : vexoGeometryPolyline;
        py::list parts = as_list(parts_value);
        g->lengths.reserve(parts.size());
        for (py::handle part : parts) g->lengths.push_back(append_points(*g, part));
    }
    return value_t{std::move(g)};
}

}  // namespace tk
