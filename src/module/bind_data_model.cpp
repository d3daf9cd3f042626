// Python view of the decoded data model: read-only trees of shared objects.
#include <optional>
#include <stdexcept>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "module/py_data_model.h"
#include "module/py_value.h"
#include "module/registration.h"
#include "schema/data_model.h"

namespace tk {

namespace {

// Read-only property returning a copy of the member: the tree stays
// immutable whatever Python does with what it reads.
template <class C, class H, class B, class M>
void def_ro(py::class_<C, H>& cls, const char* name, M B::*member) {
    cls.def_property_readonly(name, [member](const C& self) -> M { return self.*member; });
}

template <class C, class H>
void def_named_type(py::class_<C, H>& cls) {
    def_ro(cls, "name", &NamedObjectType::name);
    def_ro(cls, "alias", &NamedObjectType::alias);
    def_ro(cls, "role", &NamedObjectType::role);
    def_ro(cls, "strict", &NamedObjectType::strict);
    def_ro(cls, "properties", &NamedObjectType::properties);
    cls.def("get_property", [](const C& self, std::string_view name) { return self.get_property(name); });
}

}  // namespace

void register_vexoGraphNamedObjectTypeRole(py::module_& m) {
    py::enum_<vexoGraphNamedObjectTypeRole>(m, "vexoGraphNamedObjectTypeRole")
        .value("Regular", vexoGraphNamedObjectTypeRole::Regular)
        .value("Provenance", vexoGraphNamedObjectTypeRole::Provenance)
        .value("Document", vexoGraphNamedObjectTypeRole::Document)
        .export_values();
}

void register_vexoFieldType(py::module_& m) {
    py::enum_<vexoFieldType> e(m, "vexoFieldType");
    for (int i = vexoFieldTypeSmallInteger; i <= vexoFieldTypeBigInteger; ++i) {
        const auto type = static_cast<vexoFieldType>(i);
        e.value(field_type_name(type), type);
    }
    e.export_values();
}

void register_vexoGraphPropertyRole(py::module_& m) {
    py::enum_<vexoGraphPropertyRole> e(m, "vexoGraphPropertyRole");
    for (int i = vexoGraphPropertyUNSPECIFIED; i <= vexoGraphPropertyDocumentFileExtension; ++i) {
        const auto role = static_cast<vexoGraphPropertyRole>(i);
        e.value(property_role_name(role), role);
    }
    e.export_values();
}

void register_GraphProperty(py::module_& m) {
    py::class_<GraphProperty, std::shared_ptr<GraphProperty>> cls(m, "GraphProperty");
    cls.def(py::init<>());
    def_ro(cls, "name", &GraphProperty::name);
    def_ro(cls, "alias", &GraphProperty::alias);
    def_ro(cls, "domain", &GraphProperty::domain);
    def_ro(cls, "field_type", &GraphProperty::field_type);
    def_ro(cls, "geometry_type", &GraphProperty::geometry_type);
    def_ro(cls, "has_m", &GraphProperty::has_m);
    def_ro(cls, "has_z", &GraphProperty::has_z);
    def_ro(cls, "nullable", &GraphProperty::nullable);
    def_ro(cls, "editable", &GraphProperty::editable);
    def_ro(cls, "required", &GraphProperty::required);
    def_ro(cls, "default_visibility", &GraphProperty::default_visibility);
    def_ro(cls, "system_maintained", &GraphProperty::system_maintained);
    def_ro(cls, "role", &GraphProperty::role);
    cls.def_property_readonly("default_value",
                              [](const GraphProperty& self) { return cast_value(self.default_value); });
}

void register_EntityType(py::module_& m) {
    py::class_<EntityType, std::shared_ptr<EntityType>> cls(m, "EntityType");
    cls.def(py::init<>());
    def_named_type(cls);
}

void register_RelationshipType(py::module_& m) {
    py::class_<RelationshipType, std::shared_ptr<RelationshipType>> cls(m, "RelationshipType");
    cls.def(py::init<>());
    def_named_type(cls);
    cls.def_property_readonly("end_points", [](const RelationshipType& self) {
        py::list list(static_cast<py::ssize_t>(self.end_points.size()));
        for (std::size_t i = 0; i < self.end_points.size(); ++i) list[i] = end_point_to_dict(self.end_points[i]);
        return list;
    });
    cls.def("get_end_point", [](const RelationshipType& self, int64_t index) {
        if (index < 0 || static_cast<uint64_t>(index) >= self.end_points.size())
            throw py::index_error("end point index out of range");
        return end_point_to_dict(self.end_points[static_cast<std::size_t>(index)]);
    });
}

void register_FieldIndex(py::module_& m) {
    py::class_<FieldIndex, std::shared_ptr<FieldIndex>> cls(m, "FieldIndex");
    cls.def(py::init<>());
    def_ro(cls, "name", &FieldIndex::name);
    def_ro(cls, "unique", &FieldIndex::unique);
    def_ro(cls, "ascending", &FieldIndex::ascending);
    def_ro(cls, "description", &FieldIndex::description);
    def_ro(cls, "fields", &FieldIndex::fields);
}

void register_DatabaseNativeIdentifier(py::module_& m) {
    py::class_<DatabaseNativeIdentifier, std::shared_ptr<DatabaseNativeIdentifier>>(m, "DatabaseNativeIdentifier")
        .def(py::init<>());
}

void register_UniformPropertyIdentifier(py::module_& m) {
    py::class_<UniformPropertyIdentifier, std::shared_ptr<UniformPropertyIdentifier>> cls(m,
                                                                                          "UniformPropertyIdentifier");
    cls.def(py::init<>());
    def_ro(cls, "identifier_property_name", &UniformPropertyIdentifier::identifier_property_name);
}

void register_vexoIdentifierInfoType(py::module_& m) {
    py::enum_<vexoIdentifierInfoType>(m, "vexoIdentifierInfoType")
        .value("vexoIdentifierInfoTypeUNSPECIFIED", vexoIdentifierInfoTypeUNSPECIFIED)
        .value("vexoIdentifierInfoTypeDatabaseNative", vexoIdentifierInfoTypeDatabaseNative)
        .value("vexoIdentifierInfoTypeUniformProperty", vexoIdentifierInfoTypeUniformProperty)
        .export_values();
}

void register_IdentifierMappingInfo(py::module_& m) {
    py::class_<IdentifierMappingInfo, std::shared_ptr<IdentifierMappingInfo>> cls(m, "IdentifierMappingInfo");
    cls.def(py::init<>());
    def_ro(cls, "identifier_info_type", &IdentifierMappingInfo::identifier_info_type);
    def_ro(cls, "database_native_identifier", &IdentifierMappingInfo::database_native_identifier);
    def_ro(cls, "uniform_property_identifier", &IdentifierMappingInfo::uniform_property_identifier);
}

void register_vexoUUIDMethodHint(py::module_& m) {
    py::enum_<vexoUUIDMethodHint>(m, "vexoUUIDMethodHint")
        .value("vexoMethodHintUNSPECIFIED", vexoMethodHintUNSPECIFIED)
        .value("vexoUUIDVEXO", vexoUUIDVEXO)
        .value("vexoUUIDRFC4122", vexoUUIDRFC4122)
        .export_values();
}

void register_IdentifierGenerationInfo(py::module_& m) {
    py::class_<IdentifierGenerationInfo, std::shared_ptr<IdentifierGenerationInfo>> cls(m, "IdentifierGenerationInfo");
    cls.def(py::init<>());
    def_ro(cls, "uuid_method_hint", &IdentifierGenerationInfo::uuid_method_hint);
}

void register_IdentifierInfo(py::module_& m) {
    py::class_<IdentifierInfo, std::shared_ptr<IdentifierInfo>> cls(m, "IdentifierInfo");
    cls.def(py::init<>());
    def_ro(cls, "identifier_mapping_info", &IdentifierInfo::identifier_mapping_info);
    def_ro(cls, "identifier_generation_info", &IdentifierInfo::identifier_generation_info);
}

void register_SearchAnalyzer(py::module_& m) {
    py::class_<SearchAnalyzer>(m, "SearchAnalyzer").def(py::init<>()).def_readwrite("name", &SearchAnalyzer::name);
}

void register_SearchIndexProperties(py::module_& m) {
    py::class_<SearchIndexProperties>(m, "SearchIndexProperties")
        .def(py::init<>())
        .def_readwrite("property_names", &SearchIndexProperties::property_names);
}

void register_SearchIndex(py::module_& m) {
    py::class_<SearchIndex, std::shared_ptr<SearchIndex>> cls(m, "SearchIndex");
    cls.def(py::init<>());
    def_ro(cls, "name", &SearchIndex::name);
    cls.def_property_readonly("supported_category", [](const SearchIndex& self) {
        return static_cast<vexoNamedTypeCategory>(self.supported_category);
    });
    def_ro(cls, "analyzers", &SearchIndex::analyzers);
    cls.def("query_analyzer", [](const SearchIndex& self, std::string_view name) -> std::optional<SearchAnalyzer> {
        if (const SearchAnalyzer* a = self.query_analyzer(name)) return *a;
        return std::nullopt;
    });
    def_ro(cls, "search_properties", &SearchIndex::search_properties);
    cls.def("query_search_property",
            [](const SearchIndex& self, std::string_view name) -> std::optional<SearchIndexProperties> {
                if (const SearchIndexProperties* p = self.query_search_property(name)) return *p;
                return std::nullopt;
            });
}

void register_DataModel(py::module_& m) {
    py::class_<DataModel, std::shared_ptr<DataModel>> cls(m, "DataModel");
    cls.def(py::init<>());
    cls.def_property_readonly("timestamp", [](const DataModel& self) { return time_point_to_python(self.timestamp); });
    def_ro(cls, "spatial_reference", &DataModel::spatial_reference);
    def_ro(cls, "entity_types", &DataModel::entity_types);
    def_ro(cls, "relationship_types", &DataModel::relationship_types);
    def_ro(cls, "strict", &DataModel::strict);
    def_ro(cls, "objectid_property", &DataModel::objectid_property);
    def_ro(cls, "globalid_property", &DataModel::globalid_property);
    def_ro(cls, "tolmir_managed", &DataModel::tolmir_managed);
    def_ro(cls, "identifier_info", &DataModel::identifier_info);
    def_ro(cls, "search_indexes", &DataModel::search_indexes);
    cls.def("query_entity_type",
            [](const DataModel& self, std::string_view name) { return self.query_entity_type(name); });
    cls.def("query_relationship_type",
            [](const DataModel& self, std::string_view name) { return self.query_relationship_type(name); });
    cls.def("query_search_index",
            [](const DataModel& self, std::string_view name) { return self.query_search_index(name); });
    cls.def("to_value_object", [](const DataModel& self) { return data_model_to_dict(self); });
}

void register_decode_data_model_from_protocol_buffer(py::module_& m) {
    // Declared as str: bytes pass unchanged, a str is taken as its UTF-8 bytes.
    m.def("decode_data_model_from_protocol_buffer", [](std::string_view bytes) { return decode_data_model(bytes); });
}

}  // namespace tk
