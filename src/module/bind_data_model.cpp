// Python view of the decoded data model: read-only trees of shared objects.
#include <optional>
#include <stdexcept>
#include <string>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "module/bind_docs.h"
#include "module/py_data_model.h"
#include "module/py_value.h"
#include "module/registration.h"
#include "schema/data_model.h"

namespace tk {

namespace {

// Read-only property returning a copy of the member: the tree stays
// immutable whatever Python does with what it reads.
template <class C, class H, class B, class M>
void def_ro(py::class_<C, H>& cls, const char* name, M B::*member, const char* doc) {
    cls.def_property_readonly(
        name, [member](const C& self) -> M { return self.*member; }, doc);
}

// ---- __repr__: the identifying fields, briefly ----

// A name as it shows in a repr: as it is, or '' when empty.
std::string shown(const std::string& name) { return name.empty() ? std::string("''") : name; }

std::string count_of(std::size_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// Never raises for odd bytes: what is not UTF-8 shows as replacement
// characters.
py::str repr_text(const std::string& text) {
    PyObject* s = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
    if (!s) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(s);
}

std::string repr_named_type(const char* kind, const NamedObjectType& type) {
    return std::string("<") + kind + " " + shown(type.name) + " " +
           count_of(type.properties.size(), "property", "properties") + ">";
}

const char* field_type_text(vexoFieldType type) {
    const char* name = field_type_name(type);
    return name ? name : "?";
}

template <class C, class... H, class F>
void def_repr(py::class_<C, H...>& cls, F&& text) {
    cls.def(
        "__repr__", [text](const C& self) { return repr_text(text(self)); },
        "A short text with the identifying fields.");
}

// Lookups answer None for a miss; optional makes signatures say so.
template <class T>
std::optional<std::shared_ptr<T>> maybe(std::shared_ptr<T> p) {
    if (!p) return std::nullopt;
    return p;
}

constexpr const char* kNameArgDoc = "    name (str): the exact name (case-sensitive).\n\n";

}  // namespace

void register_vexoGraphNamedObjectTypeRole(py::module_& m) {
    py::enum_<vexoGraphNamedObjectTypeRole>(m, "vexoGraphNamedObjectTypeRole",
                                            "The role of a named type: regular, provenance or document.")
        .value("Regular", vexoGraphNamedObjectTypeRole::Regular)
        .value("Provenance", vexoGraphNamedObjectTypeRole::Provenance)
        .value("Document", vexoGraphNamedObjectTypeRole::Document)
        .export_values();
}

void register_vexoFieldType(py::module_& m) {
    py::enum_<vexoFieldType> e(m, "vexoFieldType", "The value type of a graph property.");
    for (int i = vexoFieldTypeSmallInteger; i <= vexoFieldTypeBigInteger; ++i) {
        const auto type = static_cast<vexoFieldType>(i);
        e.value(field_type_name(type), type);
    }
    e.export_values();
}

void register_vexoGraphPropertyRole(py::module_& m) {
    py::enum_<vexoGraphPropertyRole> e(m, "vexoGraphPropertyRole", "The role of a graph property.");
    for (int i = vexoGraphPropertyUNSPECIFIED; i <= vexoGraphPropertyDocumentFileExtension; ++i) {
        const auto role = static_cast<vexoGraphPropertyRole>(i);
        e.value(property_role_name(role), role);
    }
    e.export_values();
}

void register_GraphProperty(py::module_& m) {
    py::class_<GraphProperty, std::shared_ptr<GraphProperty>> cls(
        m, "GraphProperty", "One property of a named type, as the data model describes it. Read-only.");
    cls.def(py::init<>(), "An empty property (every member empty, zero or false).");
    def_ro(cls, "name", &GraphProperty::name, "str: the property name.");
    def_ro(cls, "alias", &GraphProperty::alias, "str: the display alias.");
    def_ro(cls, "domain", &GraphProperty::domain, "str: the attribute domain's name, empty when none.");
    def_ro(cls, "field_type", &GraphProperty::field_type, "vexoFieldType: the value type.");
    def_ro(cls, "geometry_type", &GraphProperty::geometry_type,
           "vexoGeometryType: the geometry type of a geometry property (vexoGeometryNull for\n"
           "other field types).");
    def_ro(cls, "has_m", &GraphProperty::has_m, "bool: geometries carry m values.");
    def_ro(cls, "has_z", &GraphProperty::has_z, "bool: geometries carry z values.");
    def_ro(cls, "nullable", &GraphProperty::nullable, "bool: the value may be null.");
    def_ro(cls, "editable", &GraphProperty::editable, "bool: the value may be edited.");
    def_ro(cls, "required", &GraphProperty::required, "bool: a value is required.");
    def_ro(cls, "default_visibility", &GraphProperty::default_visibility, "bool: visible by default.");
    def_ro(cls, "system_maintained", &GraphProperty::system_maintained, "bool: the service maintains the value.");
    def_ro(cls, "role", &GraphProperty::role, "vexoGraphPropertyRole: the property's role.");
    cls.def_property_readonly(
        "default_value", [](const GraphProperty& self) { return cast_value(self.default_value); },
        "The default value, already of the kind the field type stores; None when there\n"
        "is none.");
    def_repr(cls, [](const GraphProperty& p) {
        return "<GraphProperty " + shown(p.name) + " " + field_type_text(p.field_type) + ">";
    });
}

void register_EntityType(py::module_& m) {
    py::class_<EntityType, std::shared_ptr<EntityType>> cls(m, "EntityType",
                                                            "An entity type of the data model. Read-only.");
    cls.def(py::init<>(), "An empty entity type.");
    def_ro(cls, "name", &NamedObjectType::name, "str: the type name.");
    def_ro(cls, "alias", &NamedObjectType::alias, "str: the display alias.");
    def_ro(cls, "role", &NamedObjectType::role, "vexoGraphNamedObjectTypeRole: the type's role.");
    def_ro(cls, "strict", &NamedObjectType::strict, "bool: the type is strict.");
    def_ro(cls, "properties", &NamedObjectType::properties, "List[GraphProperty]: the properties, in model order.");
    cls.def(
        "get_property", [](const EntityType& self, std::string_view name) { return maybe(self.get_property(name)); },
        py::arg("name"),
        (std::string("The property with this name.\n\nArgs:\n") + kNameArgDoc +
         "Returns:\n    Optional[GraphProperty]: None when there is none.")
            .c_str());
    def_repr(cls, [](const EntityType& t) { return repr_named_type("EntityType", t); });
}

void register_RelationshipType(py::module_& m) {
    py::class_<RelationshipType, std::shared_ptr<RelationshipType>> cls(
        m, "RelationshipType", "A relationship type of the data model, with its end points. Read-only.");
    cls.def(py::init<>(), "An empty relationship type.");
    def_ro(cls, "name", &NamedObjectType::name, "str: the type name.");
    def_ro(cls, "alias", &NamedObjectType::alias, "str: the display alias.");
    def_ro(cls, "role", &NamedObjectType::role, "vexoGraphNamedObjectTypeRole: the type's role.");
    def_ro(cls, "strict", &NamedObjectType::strict, "bool: the type is strict.");
    def_ro(cls, "properties", &NamedObjectType::properties, "List[GraphProperty]: the properties, in model order.");
    cls.def(
        "get_property",
        [](const RelationshipType& self, std::string_view name) { return maybe(self.get_property(name)); },
        py::arg("name"),
        (std::string("The property with this name.\n\nArgs:\n") + kNameArgDoc +
         "Returns:\n    Optional[GraphProperty]: None when there is none.")
            .c_str());
    cls.def_property_readonly(
        "end_points",
        [](const RelationshipType& self) {
            py::list list(static_cast<py::ssize_t>(self.end_points.size()));
            for (std::size_t i = 0; i < self.end_points.size(); ++i) list[i] = end_point_to_dict(self.end_points[i]);
            return list;
        },
        "List[dict]: the allowed (origin, destination) pairs, each\n"
        "{\"origin_entity_type\": str, \"dest_entity_type\": str}.\n\n"
        "Raises:\n"
        "    ValueError: an end point lacks either name.");
    cls.def(
        "get_end_point",
        [](const RelationshipType& self, int64_t index) {
            if (index < 0 || static_cast<uint64_t>(index) >= self.end_points.size())
                throw py::index_error("end point index out of range");
            return end_point_to_dict(self.end_points[static_cast<std::size_t>(index)]);
        },
        py::arg("index"),
        "The end point at this position, as in end_points.\n\n"
        "Args:\n"
        "    index (int): 0-based position.\n\n"
        "Returns:\n"
        "    dict: {\"origin_entity_type\": str, \"dest_entity_type\": str}.\n\n"
        "Raises:\n"
        "    IndexError: index is outside the list.");
    def_repr(cls, [](const RelationshipType& t) {
        return "<RelationshipType " + shown(t.name) + " " + count_of(t.properties.size(), "property", "properties") +
               ", " + count_of(t.end_points.size(), "end point", "end points") + ">";
    });
}

void register_FieldIndex(py::module_& m) {
    py::class_<FieldIndex, std::shared_ptr<FieldIndex>> cls(m, "FieldIndex",
                                                            "An attribute index of a named type. Read-only.");
    cls.def(py::init<>(), "An empty field index.");
    def_ro(cls, "name", &FieldIndex::name, "str: the index name.");
    def_ro(cls, "unique", &FieldIndex::unique, "bool: the index is unique.");
    def_ro(cls, "ascending", &FieldIndex::ascending, "bool: the index is ascending.");
    def_ro(cls, "description", &FieldIndex::description, "str: the description, empty when none.");
    def_ro(cls, "fields", &FieldIndex::fields, "List[str]: the indexed property names, in order.");
    def_repr(cls, [](const FieldIndex& f) {
        return "<FieldIndex " + shown(f.name) + " " + count_of(f.fields.size(), "field", "fields") + ">";
    });
}

void register_DatabaseNativeIdentifier(py::module_& m) {
    py::class_<DatabaseNativeIdentifier, std::shared_ptr<DatabaseNativeIdentifier>> cls(
        m, "DatabaseNativeIdentifier", "Says that objects are identified by the database's own identifiers.");
    cls.def(py::init<>(), "A new marker.");
    def_repr(cls, [](const DatabaseNativeIdentifier&) { return std::string("<DatabaseNativeIdentifier>"); });
}

void register_UniformPropertyIdentifier(py::module_& m) {
    py::class_<UniformPropertyIdentifier, std::shared_ptr<UniformPropertyIdentifier>> cls(
        m, "UniformPropertyIdentifier", "Says that every object's identifier is kept in one named property.");
    cls.def(py::init<>(), "An empty record.");
    def_ro(cls, "identifier_property_name", &UniformPropertyIdentifier::identifier_property_name,
           "str: the name of the property that holds the identifiers.");
    def_repr(cls, [](const UniformPropertyIdentifier& u) {
        return "<UniformPropertyIdentifier " + shown(u.identifier_property_name) + ">";
    });
}

void register_vexoIdentifierInfoType(py::module_& m) {
    py::enum_<vexoIdentifierInfoType>(m, "vexoIdentifierInfoType", "Where object identifiers live.")
        .value("vexoIdentifierInfoTypeUNSPECIFIED", vexoIdentifierInfoTypeUNSPECIFIED)
        .value("vexoIdentifierInfoTypeDatabaseNative", vexoIdentifierInfoTypeDatabaseNative)
        .value("vexoIdentifierInfoTypeUniformProperty", vexoIdentifierInfoTypeUniformProperty)
        .export_values();
}

namespace {

const char* info_type_text(vexoIdentifierInfoType type) {
    switch (type) {
        case vexoIdentifierInfoTypeDatabaseNative:
            return "DatabaseNative";
        case vexoIdentifierInfoTypeUniformProperty:
            return "UniformProperty";
        default:
            return "UNSPECIFIED";
    }
}

std::string mapping_text(const IdentifierMappingInfo& info) {
    std::string text = info_type_text(info.identifier_info_type);
    if (info.identifier_info_type == vexoIdentifierInfoTypeUniformProperty && info.uniform_property_identifier)
        text += " " + shown(info.uniform_property_identifier->identifier_property_name);
    return text;
}

}  // namespace

void register_IdentifierMappingInfo(py::module_& m) {
    py::class_<IdentifierMappingInfo, std::shared_ptr<IdentifierMappingInfo>> cls(
        m, "IdentifierMappingInfo", "Where object identifiers live: the database's own, or one property.");
    cls.def(py::init<>(), "An unspecified mapping.");
    def_ro(cls, "identifier_info_type", &IdentifierMappingInfo::identifier_info_type,
           "vexoIdentifierInfoType: which of the two records is set.");
    cls.def_property_readonly(
        "database_native_identifier",
        [](const IdentifierMappingInfo& self) { return maybe(self.database_native_identifier); },
        "Optional[DatabaseNativeIdentifier]: set for database-native identifiers, else None.");
    cls.def_property_readonly(
        "uniform_property_identifier",
        [](const IdentifierMappingInfo& self) { return maybe(self.uniform_property_identifier); },
        "Optional[UniformPropertyIdentifier]: set for identifiers kept in a property, else\n"
        "None.");
    def_repr(cls, [](const IdentifierMappingInfo& i) { return "<IdentifierMappingInfo " + mapping_text(i) + ">"; });
}

void register_vexoUUIDMethodHint(py::module_& m) {
    py::enum_<vexoUUIDMethodHint>(m, "vexoUUIDMethodHint", "How the service makes new UUID identifiers.")
        .value("vexoMethodHintUNSPECIFIED", vexoMethodHintUNSPECIFIED)
        .value("vexoUUIDVEXO", vexoUUIDVEXO)
        .value("vexoUUIDRFC4122", vexoUUIDRFC4122)
        .export_values();
}

void register_IdentifierGenerationInfo(py::module_& m) {
    py::class_<IdentifierGenerationInfo, std::shared_ptr<IdentifierGenerationInfo>> cls(
        m, "IdentifierGenerationInfo", "How the service makes new identifiers.");
    cls.def(py::init<>(), "An unspecified method.");
    def_ro(cls, "uuid_method_hint", &IdentifierGenerationInfo::uuid_method_hint,
           "vexoUUIDMethodHint: how new UUID identifiers are made.");
    def_repr(cls, [](const IdentifierGenerationInfo& g) {
        return std::string("<IdentifierGenerationInfo ") + uuid_method_hint_name(g.uuid_method_hint) + ">";
    });
}

void register_IdentifierInfo(py::module_& m) {
    py::class_<IdentifierInfo, std::shared_ptr<IdentifierInfo>> cls(m, "IdentifierInfo",
                                                                    "The identifier settings of the data model.");
    cls.def(py::init<>(), "Unspecified settings.");
    def_ro(cls, "identifier_mapping_info", &IdentifierInfo::identifier_mapping_info,
           "IdentifierMappingInfo: where identifiers live.");
    def_ro(cls, "identifier_generation_info", &IdentifierInfo::identifier_generation_info,
           "IdentifierGenerationInfo: how identifiers are made.");
    def_repr(cls, [](const IdentifierInfo& i) {
        std::string text = "<IdentifierInfo ";
        text += i.identifier_mapping_info ? mapping_text(*i.identifier_mapping_info) : std::string("UNSPECIFIED");
        text += " ";
        text += uuid_method_hint_name(i.identifier_generation_info ? i.identifier_generation_info->uuid_method_hint
                                                                   : vexoMethodHintUNSPECIFIED);
        return text + ">";
    });
}

void register_SearchAnalyzer(py::module_& m) {
    py::class_<SearchAnalyzer> cls(m, "SearchAnalyzer", "A text analyzer of a search index.");
    cls.def(py::init<>(), "An analyzer with an empty name.")
        .def_readwrite("name", &SearchAnalyzer::name, "str: the analyzer's name (read/write).");
    def_repr(cls, [](const SearchAnalyzer& a) { return "<SearchAnalyzer " + shown(a.name) + ">"; });
}

void register_SearchIndexProperties(py::module_& m) {
    py::class_<SearchIndexProperties> cls(m, "SearchIndexProperties",
                                          "The indexed properties of one named type in a search index.");
    cls.def(py::init<>(), "An empty list of names.")
        .def_readwrite("property_names", &SearchIndexProperties::property_names,
                       "List[str]: the indexed property names (read/write; reading gives a new list).");
    def_repr(cls, [](const SearchIndexProperties& p) {
        return "<SearchIndexProperties " + count_of(p.property_names.size(), "property", "properties") + ">";
    });
}

void register_SearchIndex(py::module_& m) {
    py::class_<SearchIndex, std::shared_ptr<SearchIndex>> cls(m, "SearchIndex",
                                                              "A full-text search index of the data model. Read-only.");
    cls.def(py::init<>(), "An empty search index.");
    def_ro(cls, "name", &SearchIndex::name, "str: the index name.");
    cls.def_property_readonly(
        "supported_category",
        [](const SearchIndex& self) { return static_cast<vexoNamedTypeCategory>(self.supported_category); },
        "vexoNamedTypeCategory: entity types, relationship types or both.");
    def_ro(cls, "analyzers", &SearchIndex::analyzers, "List[SearchAnalyzer]: the text analyzers, in order.");
    cls.def(
        "query_analyzer",
        [](const SearchIndex& self, std::string_view name) -> std::optional<SearchAnalyzer> {
            if (const SearchAnalyzer* a = self.query_analyzer(name)) return *a;
            return std::nullopt;
        },
        py::arg("name"),
        (std::string("The analyzer with this name (a copy).\n\nArgs:\n") + kNameArgDoc +
         "Returns:\n    Optional[SearchAnalyzer]: None when there is none.")
            .c_str());
    def_ro(cls, "search_properties", &SearchIndex::search_properties,
           "Dict[str, SearchIndexProperties]: the indexed properties by named-type name,\n"
           "in byte order of the names.");
    cls.def(
        "query_search_property",
        [](const SearchIndex& self, std::string_view name) -> std::optional<SearchIndexProperties> {
            if (const SearchIndexProperties* p = self.query_search_property(name)) return *p;
            return std::nullopt;
        },
        py::arg("name"),
        (std::string("The indexed properties of the named type with this name (a copy).\n\nArgs:\n") + kNameArgDoc +
         "Returns:\n    Optional[SearchIndexProperties]: None when there are none.")
            .c_str());
    def_repr(cls, [](const SearchIndex& s) {
        return "<SearchIndex " + shown(s.name) + " " + search_category_name(s.supported_category) + " " +
               count_of(s.analyzers.size(), "analyzer", "analyzers") + ">";
    });
}

void register_DataModel(py::module_& m) {
    py::class_<DataModel, std::shared_ptr<DataModel>> cls(
        m, "DataModel",
        "The graph schema: entity and relationship types with their properties, the\n"
        "identifier settings and the search indexes. Made by\n"
        "decode_data_model_from_protocol_buffer; read-only.");
    cls.def(py::init<>(), "An empty data model.");
    cls.def_property_readonly(
        "timestamp", [](const DataModel& self) { return time_point_to_python(self.timestamp); },
        "datetime.datetime: the model's time stamp, naive, in local time.");
    def_ro(cls, "spatial_reference", &DataModel::spatial_reference,
           "SpatialReference: the spatial reference of all geometries (a copy).");
    def_ro(cls, "entity_types", &DataModel::entity_types, "List[EntityType]: the entity types, in model order.");
    def_ro(cls, "relationship_types", &DataModel::relationship_types,
           "List[RelationshipType]: the relationship types, in model order.");
    def_ro(cls, "strict", &DataModel::strict, "bool: the model is strict.");
    def_ro(cls, "objectid_property", &DataModel::objectid_property, "str: the name of the object-id property.");
    def_ro(cls, "globalid_property", &DataModel::globalid_property, "str: the name of the global-id property.");
    def_ro(cls, "tolmir_managed", &DataModel::tolmir_managed, "bool: the graph's managed flag.");
    def_ro(cls, "identifier_info", &DataModel::identifier_info, "IdentifierInfo: the identifier settings.");
    def_ro(cls, "search_indexes", &DataModel::search_indexes, "List[SearchIndex]: the search indexes, in model order.");
    cls.def(
        "query_entity_type",
        [](const DataModel& self, std::string_view name) { return maybe(self.query_entity_type(name)); },
        py::arg("name"),
        (std::string("The entity type with this name.\n\nArgs:\n") + kNameArgDoc +
         "Returns:\n    Optional[EntityType]: None when there is none.")
            .c_str());
    cls.def(
        "query_relationship_type",
        [](const DataModel& self, std::string_view name) { return maybe(self.query_relationship_type(name)); },
        py::arg("name"),
        (std::string("The relationship type with this name.\n\nArgs:\n") + kNameArgDoc +
         "Returns:\n    Optional[RelationshipType]: None when there is none.")
            .c_str());
    cls.def(
        "query_search_index",
        [](const DataModel& self, std::string_view name) { return maybe(self.query_search_index(name)); },
        py::arg("name"),
        (std::string("The search index with this name.\n\nArgs:\n") + kNameArgDoc +
         "Returns:\n    Optional[SearchIndex]: None when there is none.")
            .c_str());
    cls.def(
        "to_value_object", [](const DataModel& self) { return data_model_to_dict(self); },
        "The whole model as plain dictionaries, lists, str, bool and datetime (keys\n"
        "\"data_model_timestamp\", \"spatial_reference\", \"entity_types\",\n"
        "\"relationship_types\", \"strict\", \"objectid_property\", \"globalid_property\",\n"
        "\"tolmir_managed\", \"identifier_info\", \"search_indexes\").\n\n"
        "Returns:\n"
        "    dict\n\n"
        "Raises:\n"
        "    ValueError: a value without a name (\"Unexpected field type.\", \"Unexpected\n"
        "        geometry type.\", \"Unexpected named object type role.\"), an unspecified\n"
        "        identifier mapping, or an end point without both names.");
    def_repr(cls, [](const DataModel& d) {
        return "<DataModel " + count_of(d.entity_types.size(), "entity type", "entity types") + ", " +
               count_of(d.relationship_types.size(), "relationship type", "relationship types") + ", " +
               count_of(d.search_indexes.size(), "search index", "search indexes") + ">";
    });
}

void register_decode_data_model_from_protocol_buffer(py::module_& m) {
    m.def(
        "decode_data_model_from_protocol_buffer",
        [](ResponseBytes data) { return maybe(decode_data_model(data.data)); }, py::arg("data"),
        "Decodes the service's data model.\n\n"
        "Args:\n"
        "    data (bytes): a GraphDataModel message (a str is taken as its UTF-8 bytes).\n\n"
        "Returns:\n"
        "    Optional[DataModel]: None when data is empty or over 2 GiB, does not parse,\n"
        "    or lacks the identifier settings, or a search index has no category.\n"
        "    Never raises for bad bytes.");
}

}  // namespace tk
