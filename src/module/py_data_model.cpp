// DataModel.to_value_object and the dictionaries of its parts. A large model
// makes tens of thousands of small dicts: keys are the interned strings of
// keys(), enumeration names are made once and shared, and everything is
// built with the C API directly.
#include "module/py_data_model.h"

#include <stdexcept>
#include <unordered_map>
#include <vector>

#include "module/py_collector.h"
#include "module/py_geometry.h"
#include "module/py_keys.h"
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

py::object steal(PyObject* o) { return py::reinterpret_steal<py::object>(o); }

py::dict make_dict() { return py::reinterpret_steal<py::dict>(new_dict().release()); }

// A dict with room for n keys from the start: a property has fourteen, and
// growing a dict twice on the way costs more than filling it.
py::dict make_dict(Py_ssize_t n) {
    PyObject* d = _PyDict_NewPresized(n);
    if (!d) {
        PyErr_Clear();
        throw std::runtime_error("Could not allocate dict object!");
    }
    return py::reinterpret_steal<py::dict>(d);
}

py::object text(const std::string& s) {
    PyObject* o = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "strict");
    if (!o) {
        PyErr_Clear();
        throw std::runtime_error("Could not allocate string object!");
    }
    return steal(o);
}

// The str of an enumeration's name, made once per name (the name tables
// return pointers to fixed texts) and kept for the life of the process.
py::object name_text(const char* name) {
    static auto* cache = new std::unordered_map<const char*, PyObject*>;  // used under the GIL
    auto it = cache->find(name);
    if (it == cache->end()) it = cache->emplace(name, intern_string(name)).first;
    return py::reinterpret_borrow<py::object>(it->second);
}

py::object boolean(bool b) { return py::reinterpret_borrow<py::object>(b ? Py_True : Py_False); }

void put(const py::object& d, PyObject* key, const py::object& value) { dict_set(d, key, value); }

// A list of n items made by make(i). The items are made first: making one
// may run Python code, which must never meet a list with empty slots.
template <class Make>
py::object list_of(std::size_t n, Make&& make) {
    std::vector<py::object> items;
    items.reserve(n);
    for (std::size_t i = 0; i < n; ++i) items.push_back(make(i));
    py::object list = new_list(n);
    for (std::size_t i = 0; i < n; ++i) list_set(list, i, std::move(items[i]));
    return list;
}

py::object strings(const std::vector<std::string>& items) {
    return list_of(items.size(), [&items](std::size_t i) { return text(items[i]); });
}

}  // namespace

py::dict end_point_to_dict(const EndPoint& end_point) {
    if (end_point.origin_entity_type.empty() || end_point.dest_entity_type.empty())
        throw std::invalid_argument("EndPoint must include both origin and destination entity type.");
    py::dict d = make_dict();
    put(d, keys().origin_entity_type, text(end_point.origin_entity_type));
    put(d, keys().dest_entity_type, text(end_point.dest_entity_type));
    return d;
}

namespace {

// Property dicts all have the same keys, in the same order, but for the two
// optional ones: they are copies of one of four templates (values None),
// whose values are then replaced. Copying a dict's key table and replacing
// values is much cheaper than inserting fourteen keys.
py::dict property_dict_template(bool with_geometry, bool with_default) {
    static PyObject* templates[4] = {};  // made under the GIL, kept for the life of the process
    PyObject*& slot = templates[(with_geometry ? 2 : 0) + (with_default ? 1 : 0)];
    if (!slot) {
        const Keys& k = keys();
        py::dict t = make_dict(15);
        const auto none = py::none();
        for (PyObject* key : {k.name, k.alias, k.field_type}) put(t, key, none);
        if (with_geometry) put(t, k.geometry_type, none);
        for (PyObject* key : {k.has_z, k.has_m}) put(t, key, none);
        if (with_default) put(t, k.default_value, none);
        for (PyObject* key : {k.nullable, k.editable, k.visible, k.required, k.system_maintained, k.role, k.domain})
            put(t, key, none);
        slot = t.release().ptr();
    }
    PyObject* copy = PyDict_Copy(slot);
    if (!copy) {
        PyErr_Clear();
        throw std::runtime_error("Could not allocate dict object!");
    }
    return py::reinterpret_steal<py::dict>(copy);
}

}  // namespace

py::dict property_to_dict(const GraphProperty& p) {
    const char* field_type = field_type_name(p.field_type);
    if (!field_type) throw std::invalid_argument("Unexpected field type.");
    const char* geometry_type = nullptr;
    if (p.field_type == vexoFieldTypeGeometry) {
        geometry_type = geometry_type_name(p.geometry_type);
        if (!geometry_type) throw std::invalid_argument("Unexpected geometry type.");
    }
    // Converted before the dict exists: it may run Python code.
    py::object default_value;
    if (!is_null(p.default_value)) default_value = to_python(p.default_value, SpatialReference{});
    const Keys& k = keys();
    py::dict d = property_dict_template(geometry_type != nullptr, static_cast<bool>(default_value));
    put(d, k.name, text(p.name));
    put(d, k.alias, text(p.alias));
    put(d, k.field_type, name_text(field_type));
    if (geometry_type) put(d, k.geometry_type, name_text(geometry_type));
    put(d, k.has_z, boolean(p.has_z));
    put(d, k.has_m, boolean(p.has_m));
    if (default_value) put(d, k.default_value, default_value);
    put(d, k.nullable, boolean(p.nullable));
    put(d, k.editable, boolean(p.editable));
    put(d, k.visible, boolean(p.default_visibility));
    put(d, k.required, boolean(p.required));
    put(d, k.system_maintained, boolean(p.system_maintained));
    put(d, k.role, name_text(property_role_name(p.role)));
    put(d, k.domain, text(p.domain));
    return d;
}

py::dict field_index_to_dict(const FieldIndex& index) {
    const Keys& k = keys();
    py::dict d = make_dict();
    put(d, k.name, text(index.name));
    put(d, k.fields, strings(index.fields));
    put(d, k.is_ascending, boolean(index.ascending));
    put(d, k.is_unique, boolean(index.unique));
    if (!index.description.empty()) put(d, k.description, text(index.description));
    return d;
}

py::dict entity_type_to_dict(const NamedObjectType& type) {
    const char* role = named_object_role_name(type.role);
    if (!role) throw std::invalid_argument("Unexpected named object type role.");
    const Keys& k = keys();
    py::dict d = make_dict();
    put(d, k.name, text(type.name));
    put(d, k.alias, text(type.alias));
    put(d, k.role, name_text(role));
    put(d, k.strict, boolean(type.strict));
    put(d, k.properties, list_of(type.properties.size(), [&type](std::size_t i) -> py::object {
            return property_to_dict(deref(type.properties[i]));
        }));
    put(d, k.field_indexes, list_of(type.field_indexes.size(), [&type](std::size_t i) -> py::object {
            return field_index_to_dict(deref(type.field_indexes[i]));
        }));
    return d;
}

py::dict relationship_type_to_dict(const RelationshipType& type) {
    py::dict d = entity_type_to_dict(type);
    put(d, keys().end_points, list_of(type.end_points.size(), [&type](std::size_t i) -> py::object {
            return end_point_to_dict(type.end_points[i]);
        }));
    return d;
}

namespace {

py::dict identifier_mapping_to_dict(const IdentifierMappingInfo* mapping) {
    const Keys& k = keys();
    py::dict d = make_dict();
    const auto type = mapping ? mapping->identifier_info_type : vexoIdentifierInfoTypeUNSPECIFIED;
    if (type == vexoIdentifierInfoTypeDatabaseNative) {
        put(d, k.native_identifier, text(std::string()));
    } else if (type == vexoIdentifierInfoTypeUniformProperty) {
        py::dict uniform = make_dict();
        // The type alone says uniform; a missing record has an empty name.
        const auto& u = mapping->uniform_property_identifier;
        put(uniform, k.identifier_property_name, text(u ? u->identifier_property_name : std::string()));
        put(d, k.uniform_property, uniform);
    } else {
        throw std::invalid_argument(
            "IdentifierMappingInfo must have either DatabaseNativeIdentifier or UniformPropertyIdentifier.");
    }
    return d;
}

}  // namespace

py::dict identifier_info_to_dict(const IdentifierInfo& info) {
    const Keys& k = keys();
    py::dict d = make_dict();
    put(d, k.identifier_mapping_info, identifier_mapping_to_dict(info.identifier_mapping_info.get()));
    py::dict generation = make_dict();
    const auto hint =
        info.identifier_generation_info ? info.identifier_generation_info->uuid_method_hint : vexoMethodHintUNSPECIFIED;
    put(generation, k.uuid_method_hint, name_text(uuid_method_hint_name(hint)));
    put(d, k.identifier_generation_info, generation);
    return d;
}

py::dict search_index_to_dict(const SearchIndex& index) {
    const Keys& k = keys();
    py::dict d = make_dict();
    put(d, k.name, text(index.name));
    put(d, k.supported_category, name_text(search_category_name(index.supported_category)));
    put(d, k.analyzers, list_of(index.analyzers.size(), [&index, &k](std::size_t i) -> py::object {
            py::dict a = make_dict();
            put(a, k.name, text(index.analyzers[i].name));
            return std::move(a);
        }));
    py::dict properties = make_dict();  // std::map already iterates in byte order
    for (const auto& entry : index.search_properties) {
        py::dict value = make_dict();
        put(value, k.property_names, strings(entry.second.property_names));
        if (PyDict_SetItem(properties.ptr(), text(entry.first).ptr(), value.ptr()) != 0) throw py::error_already_set();
    }
    put(d, k.search_properties, properties);
    return d;
}

py::dict data_model_to_dict(const DataModel& model) {
    const CollectorPause pause;
    const Keys& k = keys();
    py::dict d = make_dict();
    put(d, k.data_model_timestamp, time_point_to_python(model.timestamp));
    put(d, k.spatial_reference_snake, spatial_reference_to_dict(model.spatial_reference));
    put(d, k.entity_types, list_of(model.entity_types.size(), [&model](std::size_t i) -> py::object {
            return entity_type_to_dict(deref(model.entity_types[i]));
        }));
    put(d, k.relationship_types, list_of(model.relationship_types.size(), [&model](std::size_t i) -> py::object {
            return relationship_type_to_dict(deref(model.relationship_types[i]));
        }));
    put(d, k.strict, boolean(model.strict));
    put(d, k.objectid_property, text(model.objectid_property));
    put(d, k.globalid_property, text(model.globalid_property));
    put(d, k.tolmir_managed, boolean(model.tolmir_managed));
    put(d, k.identifier_info,
        identifier_info_to_dict(model.identifier_info ? *model.identifier_info : IdentifierInfo{}));
    put(d, k.search_indexes, list_of(model.search_indexes.size(), [&model](std::size_t i) -> py::object {
            return search_index_to_dict(deref(model.search_indexes[i]));
        }));
    return d;
}

}  // namespace tk
