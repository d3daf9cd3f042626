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

// Filled in with the quantization and spatial reference classes.
void register_SpatialReference(py::module_&) {}
void register_InputQuantizationParameters(py::module_&) {}
void register_DatumTransformation(py::module_&) {}
void register_vexoQuantizeMode(py::module_&) {}
void register_Envelope(py::module_&) {}
void register_OutputQuantizationParameters(py::module_&) {}

}  // namespace tk
