#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "module/bind_common.h"
#include "module/py_value.h"
#include "module/registration.h"
#include "query/query_encoder.h"
#include "query/search_encoder.h"

namespace tk {

void register_GraphQueryRequestEncoder(py::module_& m) {
    using Encoder = GraphQueryRequestEncoder;
    py::class_<Encoder, std::shared_ptr<Encoder>> cls(m, "GraphQueryRequestEncoder");
    cls.def(py::init<>()).def_readwrite("open_cypher_query", &Encoder::open_cypher_query);
    def_view_property(cls, "input_quantization_parameters", &Encoder::input_quantization_parameters);
    def_view_property(cls, "output_spatial_reference", &Encoder::output_spatial_reference);
    def_view_property(cls, "output_quantization_parameters", &Encoder::output_quantization_parameters);
    def_view_property(cls, "datum_transformation", &Encoder::datum_transformation);
    cls.def_readwrite("apply_vcs_projection", &Encoder::apply_vcs_projection)
        .def("param_count", [](const Encoder& self) { return self.parameters.count(); })
        .def("clear_params", [](Encoder& self) { self.parameters.clear(); })
        .def("set_param_key_value", [](Encoder& self, const std::string& name,
                                       value_t value) { return self.parameters.set(name, std::move(value)); })
        .def("append_param_key_value", [](Encoder& self, const std::string& name,
                                          value_t value) { return self.parameters.append(name, std::move(value)); })
        .def("put_param_value_at", [](Encoder& self, int32_t index,
                                      value_t value) { return self.parameters.put_at(index, std::move(value)); })
        .def("encode", &Encoder::encode);
    def_encoding_result(cls, &Encoder::encoding_result);
}

void register_vexoSpatialRelation(py::module_& m) {
    py::enum_<vexoSpatialRelation>(m, "vexoSpatialRelation")
        .value("intersects", vexoSpatialRelation::intersects)
        .value("contains", vexoSpatialRelation::contains)
        .value("crosses", vexoSpatialRelation::crosses)
        .value("envelope-intersects", vexoSpatialRelation::envelope_intersects)
        .value("index-intersects", vexoSpatialRelation::index_intersects)
        .value("overlaps", vexoSpatialRelation::overlaps)
        .value("touches", vexoSpatialRelation::touches)
        .value("within", vexoSpatialRelation::within)
        .export_values();
}

void register_vexoNamedTypeCategory(py::module_& m) {
    py::enum_<vexoNamedTypeCategory>(m, "vexoNamedTypeCategory")
        .value("entity", vexoNamedTypeCategory::entity)
        .value("relationship", vexoNamedTypeCategory::relationship)
        .value("both", vexoNamedTypeCategory::both)
        .export_values();
}

void register_GraphSearchRequestEncoder(py::module_& m) {
    using Encoder = GraphSearchRequestEncoder;
    py::class_<Encoder, std::shared_ptr<Encoder>> cls(m, "GraphSearchRequestEncoder");
    cls.def(py::init<>())
        .def_readwrite("search_query", &Encoder::search_query)
        .def_readwrite("return_geometry", &Encoder::return_geometry)
        .def_readwrite("return_search_context", &Encoder::return_search_context)
        .def_readwrite("type_category_filter", &Encoder::type_category_filter)
        // A new list on each read: the filter changes only by assignment.
        .def_property(
            "named_types_filter", [](const Encoder& self) { return self.named_types_filter; },
            [](Encoder& self, std::vector<std::string> names) { self.named_types_filter = std::move(names); })
        .def_property_readonly("ids_filter", [](const Encoder& self) { return self.ids_filter; })
        .def_readwrite("start_index", &Encoder::start_index)
        .def_readwrite("max_num_results", &Encoder::max_num_results);
    def_view_property(cls, "input_quantization_parameters", &Encoder::input_quantization_parameters);
    // A copy on read: changing it does not change the encoder.
    cls.def_property(
           "input_spatial_reference", [](const Encoder& self) { return self.input_spatial_reference; },
           [](Encoder& self, const SpatialReference& sr) { self.input_spatial_reference = sr; })
        .def_property(
            "spatial_filter_geometry", [](const Encoder& self) { return self.spatial_filter_geometry; },
            [](Encoder& self, std::shared_ptr<geometry_t> geometry) {
                self.spatial_filter_geometry = std::move(geometry);
            })
        .def_readwrite("spatial_filter_relation", &Encoder::spatial_filter_relation);
    def_view_property(cls, "output_spatial_reference", &Encoder::output_spatial_reference);
    def_view_property(cls, "output_quantization_parameters", &Encoder::output_quantization_parameters);
    def_view_property(cls, "datum_transformation", &Encoder::datum_transformation);
    cls.def_readwrite("apply_vcs_projection", &Encoder::apply_vcs_projection).def("encode", &Encoder::encode);
    def_encoding_result(cls, &Encoder::encoding_result);
}

}  // namespace tk
