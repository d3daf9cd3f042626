#include "module/py_schema.h"

#include <stdexcept>
#include <string>
#include <string_view>

#include "module/from_python.h"
#include "module/py_keys.h"
#include "module/py_value.h"
#include "schema/schema_names.h"

namespace tk {

namespace {

// The binding layer's converting bool load (True/False, None, objects with
// __bool__), failing with the binding layer's short cast error text.
bool bool_from_object(py::handle o) {
    py::detail::make_caster<bool> caster;
    if (!caster.load(o, true)) throw py::cast_error(kCastErrorText);
    return py::detail::cast_op<bool>(caster);
}

// Any mapping works: keys are tested with `in` and read by indexing.
void read_string(py::handle d, PyObject* key, std::string& out) {
    if (py::object v = dict_find(d, key)) out = string_from_object(v);
}

void read_bool(py::handle d, PyObject* key, bool& out) {
    if (py::object v = dict_find(d, key)) out = bool_from_object(v);
}

// Reads d[key] (a str) through a name table; a present but unknown name
// raises ValueError with message.
template <class Enum>
void read_enum(py::handle d, PyObject* key, bool (*from_name)(std::string_view, Enum&), Enum& out,
               const char* message) {
    py::object v = dict_find(d, key);
    if (!v) return;
    const std::string name = string_from_object(v);
    if (!from_name(name, out)) throw std::invalid_argument(message);
}

py::dict as_dict(py::handle o) {
    // dict(o) for a non-dict; the constructor's Python error propagates.
    return py::dict(py::reinterpret_borrow<py::object>(o));
}

void fill_named_type(py::handle o, NamedObjectType& type) {
    const py::dict d = as_dict(o);
    read_string(d, keys().name, type.name);
    read_string(d, keys().alias, type.alias);
    read_enum(d, keys().role, named_object_role_from_name, type.role, "Unexpected named object type role.");
    read_bool(d, keys().strict, type.strict);
    if (py::object listed = dict_find(d, keys().properties)) {
        // The keys are not used: each property carries its own "name".
        const py::dict properties = as_dict(listed);
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
    read_string(d, keys().name, property->name);
    read_string(d, keys().alias, property->alias);
    read_string(d, keys().domain, property->domain);
    read_enum(d, keys().field_type, field_type_from_name, property->field_type, "Unexpected field type.");
    // Only point ... envelope have names here: null, any and multipatch
    // cannot be declared from a dictionary.
    read_enum(d, keys().geometry_type, geometry_type_from_name, property->geometry_type, "Unexpected geometry type.");
    read_bool(d, keys().has_z, property->has_z);
    read_bool(d, keys().has_m, property->has_m);
    if (py::object v = dict_find(d, keys().default_value)) property->default_value = value_from_object(v);
    read_bool(d, keys().nullable, property->nullable);
    read_bool(d, keys().editable, property->editable);
    read_bool(d, keys().visible, property->default_visibility);
    read_bool(d, keys().required, property->required);
    read_bool(d, keys().system_maintained, property->system_maintained);
    // "vexoGraphPropertyUNSPECIFIED" is refused like any unknown name.
    read_enum(d, keys().role, property_role_from_name, property->role, "Unexpected graph property role.");
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
    read_bool(mask, keys().update_name, out.update_name);
    read_bool(mask, keys().update_alias, out.update_alias);
    read_bool(mask, keys().update_role, out.update_role);
    read_bool(mask, keys().update_strict, out.update_strict);
}

void read_property_mask(const py::dict& mask, PropertyMask& out) {
    read_bool(mask, keys().update_name, out.update_name);
    read_bool(mask, keys().update_alias, out.update_alias);
    read_bool(mask, keys().update_field_type, out.update_field_type);
    read_bool(mask, keys().update_geometry_type, out.update_geometry_type);
    read_bool(mask, keys().update_has_m, out.update_has_m);
    read_bool(mask, keys().update_has_z, out.update_has_z);
    read_bool(mask, keys().update_default_value, out.update_default_value);
    read_bool(mask, keys().update_nullable, out.update_nullable);
    read_bool(mask, keys().update_editable, out.update_editable);
    read_bool(mask, keys().update_visible, out.update_visible);
    read_bool(mask, keys().update_required, out.update_required);
    read_bool(mask, keys().update_domain, out.update_domain);
}

}  // namespace tk
