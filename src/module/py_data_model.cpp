// DataModel.to_value_object and the dictionaries of its parts.
#include "module/py_data_model.h"

#include <iterator>
#include <stdexcept>

#include "module/py_geometry.h"
#include "module/py_value.h"
#include "module/to_python.h"

namespace tk {

namespace {

// The decoder never stores empty pointers; objects assembled by hand might.
template <class T>
const T& deref(const std::shared_ptr<T>& p) {
    if (!p) throw std::logic_error("Empty element in the data model.");
    return *p;
}

}  // namespace

py::dict end_point_to_dict(const EndPoint& end_point) {
    if (end_point.origin_entity_type.empty() || end_point.dest_entity_type.empty())
        throw std::invalid_argument("EndPoint must include both origin and destination entity type.");
    py::dict d;
    d["origin_entity_type"] = py::str(end_point.origin_entity_type);
    d["dest_entity_type"] = py::str(end_point.dest_entity_type);
    return d;
}

py::dict property_to_dict(const GraphProperty& p) {
    const char* field_type = field_type_name(p.field_type);
    if (!field_type) throw std::invalid_argument("Unexpected field type.");
    py::dict d;
    d["name"] = py::str(p.name);
    d["alias"] = py::str(p.alias);
    d["fieldType"] = py::str(field_type);
    if (p.field_type == vexoFieldTypeGeometry) {
        const char* geometry_type = geometry_type_name(p.geometry_type);
        if (!geometry_type) throw std::invalid_argument("Unexpected geometry type.");
        d["geometryType"] = py::str(geometry_type);
    }
    d["hasZ"] = py::bool_(p.has_z);
    d["hasM"] = py::bool_(p.has_m);
    if (!is_null(p.default_value)) d["defaultValue"] = to_python(p.default_value, SpatialReference{});
    d["nullable"] = py::bool_(p.nullable);
    d["editable"] = py::bool_(p.editable);
    d["visible"] = py::bool_(p.default_visibility);
    d["required"] = py::bool_(p.required);
    d["isSystemMaintained"] = py::bool_(p.system_maintained);
    d["role"] = py::str(property_role_name(p.role));
    d["domain"] = py::str(p.domain);
    return d;
}

py::dict field_index_to_dict(const FieldIndex& index) {
    py::dict d;
    d["name"] = py::str(index.name);
    py::object fields = new_list(index.fields.size());
    for (std::size_t i = 0; i < index.fields.size(); ++i) list_set(fields, i, py::str(index.fields[i]));
    d["fields"] = std::move(fields);
    d["isAscending"] = py::bool_(index.ascending);
    d["isUnique"] = py::bool_(index.unique);
    if (!index.description.empty()) d["description"] = py::str(index.description);
    return d;
}

py::dict entity_type_to_dict(const NamedObjectType& type) {
    const char* role = named_object_role_name(type.role);
    if (!role) throw std::invalid_argument("Unexpected named object type role.");
    py::dict d;
    d["name"] = py::str(type.name);
    d["alias"] = py::str(type.alias);
    d["role"] = py::str(role);
    d["strict"] = py::bool_(type.strict);
    py::object properties = new_list(type.properties.size());
    for (std::size_t i = 0; i < type.properties.size(); ++i) {
        list_set(properties, i, property_to_dict(deref(type.properties[i])));
    }
    d["properties"] = std::move(properties);
    py::object indexes = new_list(type.field_indexes.size());
    for (std::size_t i = 0; i < type.field_indexes.size(); ++i) {
        list_set(indexes, i, field_index_to_dict(deref(type.field_indexes[i])));
    }
    d["field_indexes"] = std::move(indexes);
    return d;
}

py::dict relationship_type_to_dict(const RelationshipType& type) {
    py::dict d = entity_type_to_dict(type);
    py::object end_points = new_list(type.end_points.size());
    for (std::size_t i = 0; i < type.end_points.size(); ++i)
        list_set(end_points, i, end_point_to_dict(type.end_points[i]));
    d["end_points"] = std::move(end_points);
    return d;
}

namespace {

py::dict identifier_mapping_to_dict(const IdentifierMappingInfo* mapping) {
    py::dict d;
    const auto type = mapping ? mapping->identifier_info_type : vexoIdentifierInfoTypeUNSPECIFIED;
    if (type == vexoIdentifierInfoTypeDatabaseNative) {
        d["native_identifier"] = py::str("");
    } else if (type == vexoIdentifierInfoTypeUniformProperty) {
        py::dict uniform;
        // The type alone says uniform; a missing record has an empty name.
        const auto& u = mapping->uniform_property_identifier;
        uniform["identifier_property_name"] = py::str(u ? u->identifier_property_name : std::string());
        d["uniform_property"] = std::move(uniform);
    } else {
        throw std::invalid_argument(
            "IdentifierMappingInfo must have either DatabaseNativeIdentifier or UniformPropertyIdentifier.");
    }
    return d;
}

}  // namespace

py::dict identifier_info_to_dict(const IdentifierInfo& info) {
    py::dict d;
    d["identifier_mapping_info"] = identifier_mapping_to_dict(info.identifier_mapping_info.get());
    py::dict generation;
    const auto hint =
        info.identifier_generation_info ? info.identifier_generation_info->uuid_method_hint : vexoMethodHintUNSPECIFIED;
    generation["uuid_method_hint"] = py::str(uuid_method_hint_name(hint));
    d["identifier_generation_info"] = std::move(generation);
    return d;
}

py::dict search_index_to_dict(const SearchIndex& index) {
    py::dict d;
    d["name"] = py::str(index.name);
    d["supported_category"] = py::str(search_category_name(index.supported_category));
    py::object analyzers = new_list(index.analyzers.size());
    for (std::size_t i = 0; i < index.analyzers.size(); ++i) {
        py::dict a;
        a["name"] = py::str(index.analyzers[i].name);
        list_set(analyzers, i, std::move(a));
    }
    d["analyzers"] = std::move(analyzers);
    py::dict properties;  // std::map already iterates in byte order
    for (const auto& entry : index.search_properties) {
        const auto& names = entry.second.property_names;
        py::object list = new_list(names.size());
        for (std::size_t i = 0; i < names.size(); ++i) list_set(list, i, py::str(names[i]));
        py::dict value;
        value["property_names"] = std::move(list);
        properties[py::str(entry.first)] = std::move(value);
    }
    d["search_properties"] = std::move(properties);
    return d;
}

py::dict data_model_to_dict(const DataModel& model) {
    py::dict d;
    d["data_model_timestamp"] = time_point_to_python(model.timestamp);
    d["spatial_reference"] = spatial_reference_to_dict(model.spatial_reference);
    py::object entity_types = new_list(model.entity_types.size());
    for (std::size_t i = 0; i < model.entity_types.size(); ++i) {
        list_set(entity_types, i, entity_type_to_dict(deref(model.entity_types[i])));
    }
    d["entity_types"] = std::move(entity_types);
    py::object relationship_types = new_list(model.relationship_types.size());
    for (std::size_t i = 0; i < model.relationship_types.size(); ++i) {
        list_set(relationship_types, i, relationship_type_to_dict(deref(model.relationship_types[i])));
    }
    d["relationship_types"] = std::move(relationship_types);
    d["strict"] = py::bool_(model.strict);
    d["objectid_property"] = py::str(model.objectid_property);
    d["globalid_property"] = py::str(model.globalid_property);
    d["tolmir_managed"] = py::bool_(model.tolmir_managed);
    d["identifier_info"] = identifier_info_to_dict(model.identifier_info ? *model.identifier_info : IdentifierInfo{});
    py::object search_indexes = new_list(model.search_indexes.size());
    for (std::size_t i = 0; i < model.search_indexes.size(); ++i) {
        list_set(search_indexes, i, search_index_to_dict(deref(model.search_indexes[i])));
    }
    d["search_indexes"] = std::move(search_indexes);
    return d;
}

}  // namespace tk
