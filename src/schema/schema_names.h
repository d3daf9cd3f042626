// Names of the data model's enumerations, in both directions (the data
// model's dictionaries write them, the schema edit dictionaries read them).
#pragma once

#include <cstdint>
#include <string_view>

#include "schema/data_model.h"

namespace tk {

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

}  // namespace tk
