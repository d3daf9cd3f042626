// The data model as plain Python dictionaries.
#pragma once

#include <pybind11/pybind11.h>

#include "schema/data_model.h"
#include "schema/schema_names.h"

namespace tk {

namespace py = pybind11;

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
