#include "schema/schema_wire.h"

#include <string>

#include "common/utf8.h"
#include "geometry/quantization.h"
#include "graph_schema.pb.h"
#include "graph_values.pb.h"
#include "values/codec.h"
#include "vexo_types.pb.h"

namespace tk {

namespace pbg = vexoPBuffer::graph;

int graph_property_to_wire(const GraphProperty* property, pbg::GraphProperty* message) {
    if (property == nullptr || message == nullptr) return status::kInvalidArgument;
    if (!utf8_valid(property->name) || !utf8_valid(property->alias) || !utf8_valid(property->domain))
        return status::kInvalidArgument;
    message->set_name(property->name);
    message->set_alias(property->alias);
    message->set_domain(property->domain);

    // The wire has no big integer; its numbers are one more than ours.
    const int field_type = static_cast<int>(property->field_type);
    if (field_type < vexoFieldTypeSmallInteger || field_type > vexoFieldTypeXML) return status::kInvalidArgument;
    message->set_field_type(static_cast<pbg::GraphPropertyFieldType>(field_type + 1));

    message->set_not_nullable(!property->nullable);
    message->set_not_editable(!property->editable);
    message->set_hidden(!property->default_visibility);
    message->set_required(property->required);

    // Always set: the oneof puts the role on the wire even when it is 0.
    const int role = static_cast<int>(property->role);
    message->set_role(role >= vexoGraphPropertyRegular && role <= vexoGraphPropertyDocumentFileExtension
                          ? static_cast<pbg::GraphPropertyRole>(role)
                          : pbg::UNSPECIFIED);

    if (property->field_type == vexoFieldTypeGeometry) {
        message->set_geometry_type(
            static_cast<vexoPBuffer::VexoTypes_WireGeometryType>(to_wire_geometry_type(property->geometry_type)));
        message->set_has_m(property->has_m);
        message->set_has_z(property->has_z);
    }

    if (!is_null(property->default_value)) {
        // A default is a single primitive; a neutral grid leaves geometry
        // coordinates on their own scale.
        QuantizationTransform neutral;
        neutral.valid = true;
        pbg::AnyValue any;
        const int status = encode_any_value(neutral, property->default_value, &any);
        if (status < 0) return status;
        // Objects, entities and arrays have no primitive form; sending an
        // empty default instead would silently drop the caller's value.
        if (!any.has_primitive_value()) return status::kInvalidArgument;
        message->mutable_default_value()->AddAllocated(any.release_primitive_value());
    }
    return status::kOk;
}

int named_type_to_wire(const NamedObjectType* type, pbg::NamedObjectType* message) {
    if (type == nullptr || message == nullptr) return status::kInvalidArgument;
    if (!utf8_valid(type->name) || !utf8_valid(type->alias)) return status::kInvalidArgument;
    message->set_name(type->name);
    message->set_alias(type->alias);
    switch (type->role) {
        case vexoGraphNamedObjectTypeRole::Provenance:
            message->set_role(pbg::vexoGraphNamedObjectProvenance);
            break;
        case vexoGraphNamedObjectTypeRole::Document:
            message->set_role(pbg::vexoGraphNamedObjectDocument);
            break;
        default:
            message->set_role(pbg::vexoGraphNamedObjectRegular);
            break;
    }
    message->set_strict(type->strict);

    message->mutable_properties()->Reserve(static_cast<int>(type->properties.size()));
    for (const auto& property : type->properties) {
        const int status = graph_property_to_wire(property.get(), message->add_properties());
        if (status < 0) return status;
    }

    for (const auto& index : type->field_indexes) {
        if (!index || !utf8_valid(index->name)) return status::kInvalidArgument;
        auto* out = message->add_field_indexes();
        out->set_name(index->name);
        out->set_isunique(index->unique);
        out->set_isascending(index->ascending);
        std::string fields;
        for (std::size_t i = 0; i < index->fields.size(); ++i) {
            if (i > 0) fields += ',';
            fields += index->fields[i];
        }
        if (!utf8_valid(fields)) return status::kInvalidArgument;
        out->set_fields(std::move(fields));
    }
    return status::kOk;
}

}  // namespace tk
