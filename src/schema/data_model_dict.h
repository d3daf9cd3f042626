// The data model as plain Python dictionaries, and the name tables of its
// enumerations (shared with the schema edit encoders, which read them back).
#pragma once

#include <string_view>

#include <pybind11/pybind11.h>

#include "schema/data_model.h"

namespace tk {

namespace py = pybind11;

// Name tables. The *_name functions answer nullptr for a value without a
// name; the *_from_name functions answer false for an unknown name and then
// leave out untouched.

// "vexoFieldTypeSmallInteger" ... "vexoFieldTypeBigInteger" (0..13).
const char* field_type_name(vexoFieldType type);
bool field_type_from_name(std::string_view name, vexoFieldType& out);

// "vexoGeometryPoint" ... "vexoGeometryEnvelope" (1..5 only).
const char* geometry_type_name(vexoGeometryType type);
bool geometry_type_from_name(std::string_view name, vexoGeometryType& out);

// Roles 1..9 have their own names; 0 and any other value give
// "vexoGraphPropertyUNSPECIFIED" (never nullptr).
const char* property_role_name(vexoGraphPropertyRole role);
// Accepts only the names of roles 1..9, not "vexoGraphPropertyUNSPECIFIED".
bool property_role_from_name(std::string_view name, vexoGraphPropertyRole& out);

// "vexoGraphNamedObjectRegular", "vexoGraphNamedObjectProvenance",
// "vexoGraphNamedObjectDocument" (0..2).
const char* named_object_role_name(vexoGraphNamedObjectTypeRole role);
bool named_object_role_from_name(std::string_view name, vexoGraphNamedObjectTypeRole& out);

// "vexoUUIDVEXO", "vexoUUIDRFC4122", otherwise "vexoMethodHintUNSPECIFIED".
const char* uuid_method_hint_name(vexoUUIDMethodHint hint);

// "Entity", "Relationship", "Both" for 1, 2, 4, otherwise "UNSPECIFIED".
const char* search_category_name(int32_t category);

// Dictionaries. Each throws std::invalid_argument with the system's message
// for a value it cannot name.

// {"origin_entity_type": ..., "dest_entity_type": ...}; both names must be
// non-empty ("EndPoint must include both origin and destination entity type.").
py::dict end_point_to_dict(const EndPoint& end_point);
py::dict property_to_dict(const GraphProperty& property);
py::dict field_index_to_dict(const FieldIndex& index);
py::dict entity_type_to_dict(const NamedObjectType& type);
py::dict relationship_type_to_dict(const RelationshipType& type);
py::dict identifier_info_to_dict(const IdentifierInfo& info);
py::dict search_index_to_dict(const SearchIndex& index);
// DataModel.to_value_object: all ten keys, in order.
py::dict data_model_to_dict(const DataModel& model);

}  // namespace tk
