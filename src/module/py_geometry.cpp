#include "module/py_geometry.h"

#include <cstddef>
#include <limits>
#include <memory>
#include <stdexcept>
#include <utility>

#include "geometry/geometry_layout.h"
#include "module/py_keys.h"
#include "module/py_value.h"

namespace tk {

namespace {

// Output builds thousands of these per result: lists and floats through the
// C API, keys interned once.

PyObject* new_float(double v) {
    PyObject* f = PyFloat_FromDouble(v);
    if (!f) throw py::error_already_set();
    return f;
}

// count points of d values each, taken from c onwards.
py::object points_list(const double* c, std::size_t count, std::size_t d) {
    py::object points = new_list(count);
    for (std::size_t i = 0; i < count; ++i, c += d) {
        py::object point = new_list(d);
        for (std::size_t k = 0; k < d; ++k) PyList_SET_ITEM(point.ptr(), static_cast<Py_ssize_t>(k), new_float(c[k]));
        list_set(points, i, std::move(point));
    }
    return points;
}

void set_item(const py::object& dict, PyObject* key, PyObject* value) {
    if (PyDict_SetItem(dict.ptr(), key, value) != 0) throw py::error_already_set();
}

void set_new_item(const py::object& dict, PyObject* key, py::object&& value) { set_item(dict, key, value.ptr()); }

void set_float(const py::object& dict, PyObject* key, double v) {
    set_new_item(dict, key, py::reinterpret_steal<py::object>(new_float(v)));
}

void put_flags(const py::object& out, const geometry_t& g) {
    if (g.has_z) set_item(out, keys().has_z, Py_True);
    if (g.has_m) set_item(out, keys().has_m, Py_True);
}

// A number held by the caller; __float__ may run Python code.
double to_double(py::handle value) {
    if (PyFloat_CheckExact(value.ptr())) return PyFloat_AS_DOUBLE(value.ptr());
    return value.cast<double>();
}

// Lists are used as they are; any other sequence is copied into one (a
// non-sequence raises the Python error of that conversion).
py::object as_list(py::handle value) {
    if (PyList_Check(value.ptr())) return py::reinterpret_borrow<py::object>(value);
    return py::list(py::reinterpret_borrow<py::object>(value));
}

int32_t part_length(std::size_t count) {
    if (count > static_cast<std::size_t>(std::numeric_limits<int32_t>::max()))
        throw std::invalid_argument("Invalid geometry.");
    return static_cast<int32_t>(count);
}

// Item i of a list while it still has one: converting an item can run
// Python code (__float__, __iter__) that changes the list, so the size is
// read again at every step and the item is held.
py::object list_item(const py::object& list, Py_ssize_t i) {
    if (i >= PyList_GET_SIZE(list.ptr())) return py::object();
    return py::reinterpret_borrow<py::object>(PyList_GET_ITEM(list.ptr(), i));
}

// Appends every value of every point of the sequence; returns the number of
// points read.
int32_t append_points(geometry_t& g, py::handle points_value) {
    const py::object points = as_list(points_value);
    std::size_t count = 0;
    for (Py_ssize_t i = 0;; ++i) {
        const py::object point_value = list_item(points, i);
        if (!point_value) break;
        const py::object point = as_list(point_value);
        for (Py_ssize_t k = 0;; ++k) {
            const py::object v = list_item(point, k);
            if (!v) break;
            g.coords.push_back(to_double(v));
        }
        ++count;
    }
    return part_length(count);
}

void read_flags(geometry_t& g, py::handle d) {
    if (py::object z = dict_find(d, keys().has_z)) g.has_z = z.cast<bool>();
    if (py::object m = dict_find(d, keys().has_m)) g.has_m = m.cast<bool>();
}

}  // namespace

py::dict spatial_reference_to_dict(const SpatialReference& sr) {
    py::object out = new_dict();
    if (sr.wkid != 0) set_new_item(out, keys().wkid, py::int_(sr.wkid));
    if (sr.latestWkid != 0) set_new_item(out, keys().latest_wkid, py::int_(sr.latestWkid));
    if (!sr.wkt.empty()) set_new_item(out, keys().wkt, utf8_to_python(sr.wkt));
    return py::reinterpret_steal<py::dict>(out.release());
}

py::dict geometry_to_json(const geometry_t& geometry, const SpatialReference& sr) {
    const vexoGeometryType type = geometry.geometry_type;
    if (type != vexoGeometryPoint && type != vexoGeometryMultipoint && type != vexoGeometryPolyline &&
        type != vexoGeometryPolygon)
        throw std::invalid_argument("Unknown or unsupported geometry type.");
    // Never read past the coordinates, whatever Python put into the fields.
    check_layout(geometry, LayoutCheck::json);
    // Creating lists can start the garbage collector, whose callbacks may
    // assign new coordinates to this very geometry: work on a copy.
    const geometry_t g = geometry;
    const std::size_t d = static_cast<std::size_t>(g.vertex_dimension());

    py::object out = new_dict();
    if (type == vexoGeometryPoint) {
        const double* c = g.coords.data();
        set_float(out, keys().x, c[0]);
        set_float(out, keys().y, c[1]);
        if (g.has_z) set_float(out, keys().z, c[2]);
        if (g.has_m) set_float(out, keys().m, c[g.has_z ? 3 : 2]);
    } else if (type == vexoGeometryMultipoint) {
        put_flags(out, g);
        set_new_item(out, keys().points, points_list(g.coords.data(), static_cast<std::size_t>(g.lengths[0]), d));
    } else {
        put_flags(out, g);
        py::object parts = new_list(g.lengths.size());
        const double* c = g.coords.data();
        for (std::size_t i = 0; i < g.lengths.size(); ++i) {
            const std::size_t count = static_cast<std::size_t>(g.lengths[i]);
            list_set(parts, i, points_list(c, count, d));
            c += count * d;
        }
        set_new_item(out, type == vexoGeometryPolygon ? keys().rings : keys().paths, std::move(parts));
    }
    if (sr.is_set()) set_new_item(out, keys().spatial_reference, spatial_reference_to_dict(sr));
    set_item(out, keys().object_type, keys().word_geometry);
    return py::reinterpret_steal<py::dict>(out.release());
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
        const py::object parts = as_list(parts_value);
        for (Py_ssize_t i = 0;; ++i) {
            const py::object part = list_item(parts, i);
            if (!part) break;
            g->lengths.push_back(append_points(*g, part));
        }
    }
    return value_t{std::move(g)};
}

}  // namespace tk
