#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "geometry/geometry.h"
#include "geometry/quantization.h"
#include "geometry/spatial_reference.h"
#include "module/bind_common.h"
#include "module/registration.h"

namespace tk {

namespace {

const char* geometry_type_word(vexoGeometryType type) {
    switch (type) {
        case vexoGeometryNull:
            return "Null";
        case vexoGeometryPoint:
            return "Point";
        case vexoGeometryMultipoint:
            return "Multipoint";
        case vexoGeometryPolyline:
            return "Polyline";
        case vexoGeometryPolygon:
            return "Polygon";
        case vexoGeometryEnvelope:
            return "Envelope";
        case vexoGeometryAny:
            return "Any";
        case vexoGeometryMultiPatch:
            return "MultiPatch";
    }
    return nullptr;
}

std::string geometry_repr(const geometry_t& g) {
    const char* word = geometry_type_word(g.geometry_type);
    std::string out = "<GeometryValue ";
    out += word ? word : "type " + std::to_string(static_cast<int32_t>(g.geometry_type));
    if (g.has_z) out += " Z";
    if (g.has_m) out += " M";
    const std::size_t parts = g.lengths.size();
    const std::size_t vertices = g.coords.size() / static_cast<std::size_t>(g.vertex_dimension());
    out += " " + std::to_string(parts) + (parts == 1 ? " part " : " parts ");
    out += std::to_string(vertices) + (vertices == 1 ? " vertex>" : " vertices>");
    return out;
}

// The identifiers that are set; "unset" when none is.
std::string spatial_reference_fields(const SpatialReference& sr) {
    std::string out;
    auto add = [&out](const char* name, int32_t v) {
        if (v != 0) out += std::string(out.empty() ? "" : " ") + name + "=" + std::to_string(v);
    };
    add("wkid", sr.wkid);
    add("latestWkid", sr.latestWkid);
    add("vcsWkid", sr.vcsWkid);
    add("latestVcsWkid", sr.latestVcsWkid);
    if (!sr.wkt.empty()) {
        // Well-known text runs to kilobytes: its start is enough to tell.
        constexpr std::size_t kShown = 24;
        std::size_t cut = std::min(sr.wkt.size(), kShown);
        while (cut > 0 && cut < sr.wkt.size() && (static_cast<unsigned char>(sr.wkt[cut]) & 0xC0) == 0x80)
            --cut;  // never inside a UTF-8 sequence
        out += std::string(out.empty() ? "" : " ") + "wkt=" + text_repr(sr.wkt.substr(0, cut)) +
               (cut < sr.wkt.size() ? "..." : "");
    }
    return out.empty() ? "unset" : out;
}

std::string envelope_fields(const Envelope& e) {
    return "xmin=" + float_repr(e.xmin) + " ymin=" + float_repr(e.ymin) + " xmax=" + float_repr(e.xmax) +
           " ymax=" + float_repr(e.ymax);
}

}  // namespace

void register_vexoGeometryType(py::module_& m) {
    py::enum_<vexoGeometryType>(m, "vexoGeometryType", "The kind of a geometry.")
        .value("vexoGeometryNull", vexoGeometryNull)
        .value("vexoGeometryPoint", vexoGeometryPoint)
        .value("vexoGeometryMultipoint", vexoGeometryMultipoint)
        .value("vexoGeometryPolyline", vexoGeometryPolyline)
        .value("vexoGeometryPolygon", vexoGeometryPolygon)
        .value("vexoGeometryEnvelope", vexoGeometryEnvelope)
        .value("vexoGeometryAny", vexoGeometryAny)
        .value("vexoGeometryMultiPatch", vexoGeometryMultiPatch)
        .export_values();
}

void register_GeometryValue(py::module_& m) {
    py::class_<geometry_t, std::shared_ptr<geometry_t>>(
        m, "GeometryValue",
        "A geometry in flat form: its type, Z and M flags, the number of vertices of\n"
        "each part (lengths) and every vertex value in order (coords: x, y[, z][, m]\n"
        "per vertex). Nothing checks that the fields agree until the geometry is\n"
        "encoded or converted.")
        .def(py::init<>(), "A geometry of type vexoGeometryNull without flags or coordinates.")
        .def_readwrite("has_z", &geometry_t::has_z, "bool: the vertices carry a Z value.")
        .def_readwrite("has_m", &geometry_t::has_m, "bool: the vertices carry an M value.")
        .def_readwrite("geometry_type", &geometry_t::geometry_type, "vexoGeometryType: the kind of geometry.")
        .def_property(
            "lengths", [](const geometry_t& g) { return g.lengths; },
            [](geometry_t& g, std::vector<int32_t> v) { g.lengths = std::move(v); },
            "list[int]: the number of vertices of each part (reading gives a new list;\n"
            "assigning replaces them).")
        .def_property(
            "coords", [](const geometry_t& g) { return g.coords; },
            [](geometry_t& g, std::vector<double> v) { g.coords = std::move(v); },
            "list[float]: every vertex value, flat (reading gives a new list; assigning\n"
            "replaces them).")
        .def("__repr__", &geometry_repr);
}

void register_SpatialReference(py::module_& m) {
    py::class_<SpatialReference>(m, "SpatialReference",
                                 "A coordinate system, by well-known identifiers (horizontal and vertical) or by\n"
                                 "well-known text. It counts as set when wkid is non-zero or wkt non-empty.")
        .def(py::init<>(), "All identifiers 0, empty text.")
        .def_readwrite("wkid", &SpatialReference::wkid, "int: the well-known identifier (0 when none).")
        .def_readwrite("latestWkid", &SpatialReference::latestWkid,
                       "int: the most recent well-known identifier (0 when none).")
        .def_readwrite("vcsWkid", &SpatialReference::vcsWkid,
                       "int: the vertical coordinate system's identifier (0 when none).")
        .def_readwrite("latestVcsWkid", &SpatialReference::latestVcsWkid,
                       "int: the vertical coordinate system's most recent identifier.")
        .def_readwrite("wkt", &SpatialReference::wkt, "str: the well-known text (empty when none).")
        .def_static("WGS84", &SpatialReference::WGS84,
                    "The WGS 84 geographic coordinate system.\n\n"
                    "Returns:\n"
                    "    SpatialReference: wkid 4326, the other identifiers 0, empty wkt.")
        .def("__repr__",
             [](const SpatialReference& sr) { return "<SpatialReference " + spatial_reference_fields(sr) + ">"; });
}

void register_InputQuantizationParameters(py::module_& m) {
    using P = InputQuantizationParameters;
    py::class_<P>(m, "InputQuantizationParameters",
                  "The integer grid that request geometries are quantized onto: a resolution\n"
                  "and a false origin per dimension. xy_resolution starts as NaN, so a request\n"
                  "with geometries needs it set (or WGS84_lossless()).")
        .def(py::init<>(), "xy_resolution NaN, Z and M resolutions 0.00001, all origins 0.")
        .def_readwrite("xy_resolution", &P::xy_resolution, "float: size of one X/Y grid unit in coordinate units.")
        .def_readwrite("x_false_origin", &P::x_false_origin, "float: the X coordinate of grid value 0.")
        .def_readwrite("y_false_origin", &P::y_false_origin, "float: the Y coordinate of grid value 0.")
        .def_readwrite("z_resolution", &P::z_resolution, "float: size of one Z grid unit.")
        .def_readwrite("z_false_origin", &P::z_false_origin, "float: the Z value of grid value 0.")
        .def_readwrite("m_resolution", &P::m_resolution, "float: size of one M grid unit.")
        .def_readwrite("m_false_origin", &P::m_false_origin, "float: the M value of grid value 0.")
        .def_static("WGS84_lossless", &P::WGS84_lossless,
                    "A grid fine enough for WGS 84 coordinates.\n\n"
                    "Returns:\n"
                    "    InputQuantizationParameters: xy_resolution 1e-9, Z and M resolutions\n"
                    "    0.00001, all false origins 0.")
        .def("__repr__", [](const P& p) {
            return "<InputQuantizationParameters xy_resolution=" + float_repr(p.xy_resolution) +
                   " x_false_origin=" + float_repr(p.x_false_origin) +
                   " y_false_origin=" + float_repr(p.y_false_origin) + ">";
        });
}

void register_DatumTransformation(py::module_& m) {
    py::class_<DatumTransformation> cls(m, "DatumTransformation",
                                        "How to convert coordinates between two spatial references.");
    cls.def(py::init<>(), "wkid 0, empty texts, both spatial references unset.")
        .def_readwrite("wkid", &DatumTransformation::wkid,
                       "int: the transformation's well-known identifier (0 when none).")
        .def_readwrite("transform_direction", &DatumTransformation::transform_direction,
                       "str: the direction in which the transformation applies.")
        .def_readwrite("transform_json", &DatumTransformation::transform_json, "str: the transformation in JSON form.");
    def_view_property(cls, "from_spatial_reference", &DatumTransformation::from_spatial_reference,
                      "SpatialReference: the source. Reading gives a view into the transformation;\n"
                      "assigning copies.");
    def_view_property(cls, "to_spatial_reference", &DatumTransformation::to_spatial_reference,
                      "SpatialReference: the target. Reading gives a view into the transformation;\n"
                      "assigning copies.");
    cls.def("__repr__", [](const DatumTransformation& dt) {
        std::string out = "<DatumTransformation wkid=" + std::to_string(dt.wkid);
        if (!dt.transform_direction.empty()) out += " direction=" + text_repr(dt.transform_direction);
        out += " from <" + spatial_reference_fields(dt.from_spatial_reference) + ">";
        out += " to <" + spatial_reference_fields(dt.to_spatial_reference) + ">>";
        return out;
    });
}

void register_vexoQuantizeMode(py::module_& m) {
    py::enum_<vexoQuantizeMode>(m, "vexoQuantizeMode", "How the service quantizes result geometries: edit or view.")
        .value("edit", vexoQuantizeMode::edit)
        .value("view", vexoQuantizeMode::view)
        .export_values();
}

void register_Envelope(py::module_& m) {
    py::class_<Envelope>(m, "Envelope", "An axis-aligned rectangle; empty while any bound is NaN.")
        .def(py::init<>(), "All four bounds NaN.")
        .def_readwrite("xmin", &Envelope::xmin, "float: the smallest X.")
        .def_readwrite("ymin", &Envelope::ymin, "float: the smallest Y.")
        .def_readwrite("xmax", &Envelope::xmax, "float: the largest X.")
        .def_readwrite("ymax", &Envelope::ymax, "float: the largest Y.")
        .def("empty", &Envelope::empty,
             "Whether the envelope is empty.\n\n"
             "Returns:\n"
             "    bool: True when any of the four bounds is NaN.")
        .def("__repr__", [](const Envelope& e) { return "<Envelope " + envelope_fields(e) + ">"; });
}

void register_OutputQuantizationParameters(py::module_& m) {
    using P = OutputQuantizationParameters;
    py::class_<P> cls(m, "OutputQuantizationParameters",
                      "The grid a request asks the service to quantize result geometries onto:\n"
                      "a mode, an extent and a tolerance. Sent only when no bound of the extent is\n"
                      "NaN.");
    cls.def(py::init<>(), "Mode edit, an empty extent, tolerance 0.")
        .def_readwrite("quantize_mode", &P::quantize_mode, "vexoQuantizeMode: edit or view.");
    def_view_property(cls, "extent", &P::extent,
                      "Envelope: the extent of the grid. Reading gives a view into the parameters;\n"
                      "assigning copies.");
    cls.def_readwrite("tolerance", &P::tolerance, "float: the tolerance, in coordinate units.")
        .def("__repr__", [](const P& p) {
            return std::string("<OutputQuantizationParameters ") +
                   (p.quantize_mode == vexoQuantizeMode::edit ? "edit"
                    : p.quantize_mode == vexoQuantizeMode::view
                        ? "view"
                        : "mode " + std::to_string(static_cast<int32_t>(p.quantize_mode))) +
                   " " + envelope_fields(p.extent) + " tolerance=" + float_repr(p.tolerance) + ">";
        });
}

}  // namespace tk
