#include "schema/schema_convert.h"

#include <stdexcept>
#include <string>
#include <string_view>

#include "geometry/quantization.h"
#include "graph_schema.pb.h"
#include "graph_values.pb.h"
#include "module/from_python.h"
#include "module/py_value.h"
#include "schema/data_model_dict.h"
#include "values/codec.h"
#include "vexo_types.pb.h"

namespace tk {

namespace {

namespace pbg = vexoPBuffer::graph;

const char kCastErrorText[] = "Unable to cast Python instance to C++ type (compile in debug mode for details)";

// `key in d` and d[key] as Python does them, so any mapping works.
bool has_key(py::handle d, const char* key) {
    const py::str k(key);
    const int found = PySequence_Contains(d.ptr(), k.ptr());
    if (found < 0) throw py::error_already_set();
    return found == 1;
}

py::object get_item(py::handle d, const char* key) {
    const py::str k(key);
    PyObject* item = PyObject_GetItem(d.ptr(), k.ptr());
    if (item == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(item);
}

// The binding layer's converting bool load (True/False, None, objects with
// __bool__), failing with the binding layer's short cast error text.
bool bool_from_object(py::handle o) {
    py::detail::make_caster<bool> caster;
    if (!caster.load(o, true)) throw py::cast_error(kCastErrorText);
    return py::detail::cast_op<bool>(caster);
}

void read_string(py::handle d, const char* key, std::string& out) {
    if (has_key(d, key)) out = string_from_object(get_item(d, key));
}

void read_bool(py::handle d, const char* key, bool& out) {
    if (has_key(d, key)) out = bool_from_object(get_item(d, key));
}

// Reads d[key] (a str) through a name table; a present but unknown name
// raises ValueError with message.
template <class Enum>
void read_enum(py::handle d, const char* key, bool (*from_name)(std::string_view, Enum&), Enum& out,
               const char* message) {
    if (!has_key(d, key)) return;
    const std::string name = string_from_object(get_item(d, key));
    if (!from_name(name, out)) throw std::invalid_argument(message);
}

py::dict as_dict(py::handle o) {
    // dict(o) for a non-dict; the constructor's Python error propagates.
    return py::dict(py::reinterpret_borrow<py::object>(o));
}

void fill_named_type(py::handle o, NamedObjectType& type) {
    const py::dict d = as_dict(o);
    read_string(d, "name", type.name);
    read_string(d, "alias", type.alias);
    read_enum(d, "role", named_object_role_from_name, type.role, "Unexpected named object type role.");
    read_bool(d, "strict", type.strict);
    if (has_key(d, "properties")) {
        // The keys are not used: each property carries its own "name".
        const py::dict properties = as_dict(get_item(d, "properties"));
        for (auto item : properties) {
            // Own the value: reading a mapping may run code that changes the dict.
            const auto value = py::reinterpret_borrow<py::object>(item.second);
            auto property = graph_property_from_dict(value);
            if (!property) throw std::invalid_argument("Argument must be valid graph property!");
            type.add_property(std::move(property));
        }
    }
}

}  // namespace

std::shared_ptr<GraphProperty> graph_property_from_dict(py::handle d) {
    if (d.is_none()) return nullptr;
    auto property = std::make_shared<GraphProperty>();
    read_string(d, "name", property->name);
    read_string(d, "alias", property->alias);
    read_string(d, "domain", property->domain);
    read_enum(d, "fieldType", field_type_from_name, property->field_type, "Unexpected field type.");
    // Only point ... envelope have names here: null, any and multipatch
    // cannot be declared from a dictionary.
    read_enum(d, "geometryType", geometry_type_from_name, property->geometry_type, "Unexpected geometry type.");
    read_bool(d, "hasZ", property->has_z);
    read_bool(d, "hasM", property->has_m);
    if (has_key(d, "defaultValue")) property->default_value = value_from_object(get_item(d, "defaultValue"));
    read_bool(d, "nullable", property->nullable);
    read_bool(d, "editable", property->editable);
    read_bool(d, "visible", property->default_visibility);
    read_bool(d, "required", property->required);
    read_bool(d, "isSystemMaintained", property->system_maintained);
    // "vexoGraphPropertyUNSPECIFIED" is refused like any unknown name.
    read_enum(d, "role", property_role_from_name, property->role, "Unexpected graph property role.");
    return property;
}

std::shared_ptr<EntityType> entity_type_from_dict(py::handle d) {
    auto type = std::make_shared<EntityType>();
    fill_named_type(d, *type);
    return type;
}

std::shared_ptr<RelationshipType> relationship_type_from_dict(py::handle d) {
    auto type = std::make_shared<RelationshipType>();
    fill_named_type(d, *type);
    return type;
}

void read_named_type_mask(const py::dict& mask, NamedTypeMask& out) {
    read_bool(mask, "update_name", out.update_name);
    read_bool(mask, "update_alias", out.update_alias);
    read_bool(mask, "update_role", out.update_role);
    read_bool(mask, "update_strict", out.update_strict);
}

void read_property_mask(const py::dict& mask, PropertyMask& out) {
    read_bool(mask, "update_name", out.update_name);
    read_bool(mask, "update_alias", out.update_alias);
    read_bool(mask, "update_field_type", out.update_field_type);
    read_bool(mask, "update_geometry_type", out.update_geometry_type);
    read_bool(mask, "update_has_m", out.update_has_m);
    read_bool(mask, "update_has_z", out.update_has_z);
    read_bool(mask, "update_default_value", out.update_default_value);
    read_bool(mask, "update_nullable", out.update_nullable);
    read_bool(mask, "update_editable", out.update_editable);
    read_bool(mask, "update_visible", out.update_visible);
    read_bool(mask, "update_required", out.update_required);
    read_bool(mask, "update_domain", out.update_domain);
}

int graph_property_to_wire(const GraphProperty* property, pbg::GraphProperty* message) {
    if (property == nullptr || message == nullptr) return kEncodeInvalidArgument;
    message->set_name(property->name);
    message->set_alias(property->alias);
    message->set_domain(property->domain);

    // The wire has no big integer; its numbers are one more than ours.
    const int field_type = static_cast<int>(property->field_type);
    if (field_type < vexoFieldTypeSmallInteger || field_type > vexoFieldTypeXML) return kEncodeInvalidArgument;
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
        if (!any.has_primitive_value()) return kEncodeInvalidArgument;
        message->mutable_default_value()->AddAllocated(any.release_primitive_value());
    }
    return kEncodeOk;
}

int named_type_to_wire(const NamedObjectType* type, pbg::NamedObjectType* message) {
    if (type == nullptr || message == nullptr) return kEncodeInvalidArgument;
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
        if (!index) return kEncodeInvalidArgument;
        auto* out = message->add_field_indexes();
        out->set_name(index->name);
        out->set_isunique(index->unique);
        out->set_isascending(index->ascending);
        std::string fields;
        for (std::size_t i = 0; i < index->fields.size(); ++i) {
            if (i > 0) fields += ',';
            fields += index->fields[i];
        }
        out->set_fields(std::move(fields));
    }
    return kEncodeOk;
}

void raise_for_schema_status(int status) {
    switch (status) {
        case kEncodeNoQuantization:
            throw std::invalid_argument(
                "Geometry quantization not possible without valid spatial reference info. Maybe XY resolution was "
                "not set?");
        case kEncodeNotImplemented:
            throw std::invalid_argument("Not implemented.");
        case kEncodeInvalidArgument:
            throw std::invalid_argument("Invalid argument.");
        default:
            if (status < 0) throw std::logic_error("Unexpected failure.");
    }
}

}  // namespace tk
