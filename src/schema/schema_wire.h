// Data-model objects to the wire messages of the schema edit requests.
#pragma once

#include "schema/data_model.h"

namespace vexoPBuffer {
namespace graph {
class GraphProperty;
class NamedObjectType;
}  // namespace graph
}  // namespace vexoPBuffer

namespace tk {

// Which parts of a named type an update changes.
struct NamedTypeMask {
    bool update_name = false;
    bool update_alias = false;
    bool update_role = false;
    bool update_strict = false;
};

// Which parts of a property an update changes.
struct PropertyMask {
    bool update_name = false;
    bool update_alias = false;
    bool update_field_type = false;
    bool update_geometry_type = false;
    bool update_default_value = false;
    bool update_nullable = false;
    bool update_editable = false;
    bool update_visible = false;
    bool update_required = false;
    bool update_domain = false;
    bool update_has_z = false;
    bool update_has_m = false;
};

// 0, or -3 for a missing object/message, a field type the wire cannot
// carry, or a name, alias or domain that is not valid UTF-8 (a conforming
// reader would refuse the body), or the value codec's code for the default
// value. Throws
// std::invalid_argument "unsupported geometry type" for a geometry property
// whose geometry type has no wire number.
int graph_property_to_wire(const GraphProperty* property, vexoPBuffer::graph::GraphProperty* message);
// The NamedObjectType part of an entity or relationship type (no end
// points); -3 also for a name, alias or field index text that is not UTF-8.
int named_type_to_wire(const NamedObjectType* type, vexoPBuffer::graph::NamedObjectType* message);

}  // namespace tk
