// Schema edit inputs: Python dictionaries to data-model objects and masks.
#pragma once

#include <memory>

#include <pybind11/pybind11.h>

#include "schema/schema_wire.h"

namespace tk {

namespace py = pybind11;

// Property dictionary (any mapping: keys tested with `in`, read by
// indexing). nullptr for None. Raises ValueError for unknown enum names and
// the cast error for values of the wrong type.
std::shared_ptr<GraphProperty> graph_property_from_dict(py::handle d);

// Named-type dictionary; a non-dict goes through dict() first (its error
// propagates). No field indexes and no end points are set.
std::shared_ptr<EntityType> entity_type_from_dict(py::handle d);
std::shared_ptr<RelationshipType> relationship_type_from_dict(py::handle d);

// Present keys overwrite flags, missing keys leave them.
void read_named_type_mask(const py::dict& mask, NamedTypeMask& out);
void read_property_mask(const py::dict& mask, PropertyMask& out);

}  // namespace tk
