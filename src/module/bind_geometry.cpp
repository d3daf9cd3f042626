#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "geometry/geometry.h"
#include "geometry/quantization.h"
#include "geometry/spatial_reference.h"
#include "module/bind_common.h"
#include "module/registration.h"

namespace tk {

void register_vexoGeometryType(py::module_& m) {
    py::enum_<vexoGeometryType>(m, "vexoGeometryType")
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
    py::class_<geometry_t, std::shared_ptr<geometry_t>>(m, "GeometryValue")
        .def(py::init<>())
        .def_readwrite("has_z", &geometry_t::has_z)
        .def_readwrite("has_m", &geometry_t::has_m)
        .def_readwrite("geometry_type", &geometry_t::geometry_type)
        .def_property(
            "lengths", [](const geometry_t& g) { return g.lengths; },
            [](geometry_t& g, std::vector<int32_t> v) { g.lengths = std::move(v); })
        .def_property(
            "coords", [](const geometry_t& g) { return g.coords; },
            [](geometry_t& g, std::vector<double> v) { g.coords = std::move(v); });
}

void register_SpatialReference(py::module_& m) {
    py::class_<SpatialReference>(m, "SpatialReference")
        .def(py::init<>())
        .def_readwrite("wkid", &SpatialReference::wkid)
        .def_readwrite("latestWkid", &SpatialReference::latestWkid)
        .def_readwrite("vcsWkid", &SpatialReference::vcsWkid)
        .def_readwrite("latestVcsWkid", &SpatialReference::latestVcsWkid)
        .def_readwrite("wkt", &SpatialReference::wkt)
        .def_static("WGS84", &SpatialReference::WGS84);
}

void register_InputQuantizationParameters(py::module_& m) {
    using P = InputQuantizationParameters;
    py::class_<P>(m, "InputQuantizationParameters")
        .def(py::init<>())
        .def_readwrite("xy_resolution", &P::xy_resolution)
        .def_readwrite("x_false_origin", &P::x_false_origin)
        .def_readwrite("y_false_origin", &P::y_false_origin)
        .def_readwrite("z_resolution", &P::z_resolution)
        .def_readwrite("z_false_origin", &P::z_false_origin)
        .def_readwrite("m_resolution", &P::m_resolution)
        .def_readwrite("m_false_origin", &P::m_false_origin)
        .def_static("WGS84_lossless", &P::WGS84_lossless);
}

void register_DatumTransformation(py::module_& m) {
    py::class_<DatumTransformation> cls(m, "DatumTransformation");
    cls.def(py::init<>())
        .def_readwrite("wkid", &DatumTransformation::wkid)
        .def_readwrite("transform_direction", &DatumTransformation::transform_direction)
        .def_readwrite("transform_json", &DatumTransformation::transform_json);
    def_view_property(cls, "from_spatial_reference", &DatumTransformation::from_spatial_reference);
    def_view_property(cls, "to_spatial_reference", &DatumTransformation::to_spatial_reference);
}

void register_vexoQuantizeMode(py::module_& m) {
    py::enum_<vexoQuantizeMode>(m, "vexoQuantizeMode")
        .value("edit", vexoQuantizeMode::edit)
        .value("view", vexoQuantizeMode::view)
        .export_values();
}

void register_Envelope(py::module_& m) {
    py::class_<Envelope>(m, "Envelope")
        .def(py::init<>())
        .def_readwrite("xmin", &Envelope::xmin)
        .def_readwrite("ymin", &Envelope::ymin)
        .def_readwrite("xmax", &Envelope::xmax)
        .def_readwrite("ymax", &Envelope::ymax)
        .def("empty", &Envelope::empty);
}

void register_OutputQuantizationParameters(py::module_& m) {
    using P = OutputQuantizationParameters;
    py::class_<P> cls(m, "OutputQuantizationParameters");
    cls.def(py::init<>()).def_readwrite("quantize_mode", &P::quantize_mode);
    def_view_property(cls, "extent", &P::extent);
    cls.def_readwrite("tolerance", &P::tolerance);
}

}  // namespace tk
