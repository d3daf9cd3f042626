#include <cctype>
#include <string>
#include <utility>
#include <vector>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "common/utf8.h"
#include "module/bind_common.h"
#include "module/registration.h"
#include "values/object_values.h"

namespace tk {

namespace {

py::object found_or_none(const value_t* v) { return v ? cast_value(*v) : py::none(); }

// Python code run by a conversion (a replaced uuid.UUID) may append to the
// very list being read: it is indexed afresh at every step.
py::list pairs_to_list(const KeyValueList& list) {
    py::list out;
    for (std::size_t i = 0; i < list.pairs.size(); ++i) {
        py::object key = utf8_to_python(list.pairs[i].first);
        py::object value = cast_value(list.pairs[i].second);
        out.append(py::make_tuple(std::move(key), std::move(value)));
    }
    return out;
}

std::string plural(std::size_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string properties_text(const KeyValueList& list) { return plural(list.count(), "property", "properties"); }

// A type name for a repr: as it is, or quoted when it is empty or not a
// plain word.
std::string type_name_text(const std::string& name) {
    bool word = !name.empty();
    for (const char c : name)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_' || static_cast<unsigned char>(c) >= 0x80))
            word = false;
    if (word && utf8_valid(name)) return name;
    py::object text = py::reinterpret_steal<py::object>(
        PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "backslashreplace"));
    if (!text) throw py::error_already_set();
    return py::repr(text).cast<std::string>();
}

std::string value_text(const value_t& v) { return py::repr(cast_value(v)).cast<std::string>(); }

const char kValueArg[] =
    "    value: any graph value (None, bool, int, float, uuid.UUID,\n"
    "        datetime.datetime, str, bytes, GeometryValue, ObjectValue, EntityValue,\n"
    "        RelationshipValue, PathValue, ArrayValue).\n";

// The property operations that objects, entities and relationships share.
template <class T>
void def_property_operations(py::class_<T, std::shared_ptr<T>>& cls) {
    cls.def(
           "key_count", [](const T& self) { return self.properties.count(); },
           "The number of properties (repeated keys counted each time).\n\n"
           "Returns:\n"
           "    int")
        .def(
            "query_value",
            [](const T& self, const std::string& key) { return found_or_none(self.properties.find(key)); },
            py::arg("key"),
            "The value of the first property named key.\n\n"
            "Args:\n"
            "    key (str): the property name.\n\n"
            "Returns:\n"
            "    The value, or None when the key is empty, absent or holds null.")
        .def(
            "get_value_at", [](const T& self, int32_t index) { return found_or_none(self.properties.at(index)); },
            py::arg("index"),
            "The value of the property at a position.\n\n"
            "Args:\n"
            "    index (int): 0-based position (a 32-bit signed integer).\n\n"
            "Returns:\n"
            "    The value, or None when index < 0 or index >= key_count().")
        .def(
            "clear", [](T& self) { self.properties.clear(); }, "Removes every property.")
        .def(
            "set_key_value",
            [](T& self, const std::string& key, value_t value) { return self.properties.set(key, std::move(value)); },
            py::arg("key"), py::arg("value"),
            (std::string("Sets a property: replaces the value of the first property named key\n"
                         "(keeping its position), or appends (key, value) when there is none.\n\n"
                         "Args:\n"
                         "    key (str): the property name.\n") +
             kValueArg +
             "\nReturns:\n"
             "    bool: False, and nothing changed, for an empty key; otherwise True.\n\n"
             "Raises:\n"
             "    TypeError: value is of no graph value type.")
                .c_str())
        .def(
            "append_key_value",
            [](T& self, const std::string& key, value_t value) {
                return self.properties.append(key, std::move(value));
            },
            py::arg("key"), py::arg("value"),
            (std::string("Appends the property (key, value), even when key is present already.\n\n"
                         "Args:\n"
                         "    key (str): the property name.\n") +
             kValueArg +
             "\nReturns:\n"
             "    bool: False, and nothing changed, for an empty key; otherwise True.\n\n"
             "Raises:\n"
             "    TypeError: value is of no graph value type.")
                .c_str())
        .def(
            "put_value_at",
            [](T& self, int32_t index, value_t value) { return self.properties.put_at(index, std::move(value)); },
            py::arg("index"), py::arg("value"),
            (std::string("Replaces the value of the property at a position, keeping its key.\n\n"
                         "Args:\n"
                         "    index (int): 0-based position.\n") +
             kValueArg +
             "\nReturns:\n"
             "    bool: False, and nothing changed, when index < 0 or index >= key_count().")
                .c_str());
}

template <class T>
void def_key_value_pairs(py::class_<T, std::shared_ptr<T>>& cls) {
    cls.def_property_readonly(
        "key_value_pairs", [](const T& self) { return pairs_to_list(self.properties); },
        "list[tuple[str, value]]: every property as a (key, value) tuple, in order (a\n"
        "new list).\n\n"
        "Raises:\n"
        "    UnicodeDecodeError: a key is not valid UTF-8.");
}

template <class T>
void def_identity(py::class_<T, std::shared_ptr<T>>& cls) {
    cls.def(
           "set_id", [](T& self, value_t id) { self.id = std::move(id); }, py::arg("value"),
           (std::string("Replaces the identifier.\n\n"
                        "Args:\n") +
            kValueArg +
            "\nRaises:\n"
            "    TypeError: value is of no graph value type.")
               .c_str())
        .def(
            "get_id", [](const T& self) { return cast_value(self.id); },
            "The identifier.\n\n"
            "Returns:\n"
            "    The identifier's value, or None while it is unset.");
}

template <class T>
void def_type_name(py::class_<T, std::shared_ptr<T>>& cls, const char* what) {
    cls.def_readwrite("type_name", &T::type_name,
                      (std::string("str: the ") + what + " type's name (empty when unset).").c_str());
}

}  // namespace

void register_ObjectValueType(py::module_& m) {
    py::enum_<ObjectValueType>(m, "ObjectValueType", "The kind of an object value: Object, Entity or Relationship.")
        .value("Object", ObjectValueType::Object)
        .value("Entity", ObjectValueType::Entity)
        .value("Relationship", ObjectValueType::Relationship)
        .export_values();
}

void register_ObjectValue(py::module_& m) {
    py::class_<ObjectValue, std::shared_ptr<ObjectValue>> cls(
        m, "ObjectValue", "A bag of named properties, in insertion order; keys may repeat.");
    cls.def(py::init<>(), "An object without properties.")
        .def_property_readonly(
            "object_value_type", [](const ObjectValue&) { return ObjectValueType::Object; },
            "ObjectValueType: always Object.")
        .def("__repr__",
             [](const ObjectValue& self) { return "<ObjectValue " + properties_text(self.properties) + ">"; });
    def_property_operations(cls);
    def_key_value_pairs(cls);
}

void register_EntityValue(py::module_& m) {
    py::class_<EntityValue, std::shared_ptr<EntityValue>> cls(
        m, "EntityValue", "A graph entity: a type name, an identifier and named properties.");
    cls.def(py::init<>(), "An entity with an empty type name, no identifier and no properties.");
    def_type_name(cls, "entity");
    cls.def_property_readonly(
           "object_value_type", [](const EntityValue&) { return ObjectValueType::Entity; },
           "ObjectValueType: always Entity.")
        .def("__repr__", [](const EntityValue& self) {
            return "<EntityValue " + type_name_text(self.type_name) + " id=" + value_text(self.id) + " " +
                   properties_text(self.properties) + ">";
        });
    def_property_operations(cls);
    def_identity(cls);
    def_key_value_pairs(cls);
}

void register_RelationshipValue(py::module_& m) {
    py::class_<RelationshipValue, std::shared_ptr<RelationshipValue>> cls(
        m, "RelationshipValue",
        "A graph relationship: a type name, an identifier, the identifiers of its origin\n"
        "and destination entities, and named properties.");
    cls.def(py::init<>(), "A relationship with an empty type name, no identifiers and no properties.");
    def_type_name(cls, "relationship");
    cls.def_property_readonly(
           "object_value_type", [](const RelationshipValue&) { return ObjectValueType::Relationship; },
           "ObjectValueType: always Relationship.")
        .def("__repr__", [](const RelationshipValue& self) {
            return "<RelationshipValue " + type_name_text(self.type_name) + " id=" + value_text(self.id) +
                   " origin=" + value_text(self.origin_entity_id) +
                   " destination=" + value_text(self.destination_entity_id) + " " + properties_text(self.properties) +
                   ">";
        });
    def_property_operations(cls);
    def_identity(cls);
    cls.def(
           "set_related_entity_ids",
           [](RelationshipValue& self, value_t origin, value_t destination) {
               self.origin_entity_id = std::move(origin);
               self.destination_entity_id = std::move(destination);
           },
           py::arg("origin"), py::arg("destination"),
           "Replaces the identifiers of the origin and destination entities.\n\n"
           "Args:\n"
           "    origin: the origin entity's identifier (any graph value).\n"
           "    destination: the destination entity's identifier (any graph value).\n\n"
           "Raises:\n"
           "    TypeError: a value is of no graph value type.")
        .def(
            "get_origin_entity_id", [](const RelationshipValue& self) { return cast_value(self.origin_entity_id); },
            "The origin entity's identifier.\n\n"
            "Returns:\n"
            "    The identifier's value, or None while it is unset.")
        .def(
            "get_destination_entity_id",
            [](const RelationshipValue& self) { return cast_value(self.destination_entity_id); },
            "The destination entity's identifier.\n\n"
            "Returns:\n"
            "    The identifier's value, or None while it is unset.");
    def_key_value_pairs(cls);
}

void register_PathValue(py::module_& m) {
    py::class_<PathValue, std::shared_ptr<PathValue>>(
        m, "PathValue",
        "A path through the graph: entity 0, relationship 0, entity 1, ..., the last\n"
        "entity. Only decoders fill it.")
        .def(py::init<>(), "An empty path.")
        .def(
            "entity_count", [](const PathValue& self) { return self.entities.size(); },
            "The number of entities.\n\n"
            "Returns:\n"
            "    int")
        .def(
            "get_entity_at",
            [](const PathValue& self, int32_t index) -> std::shared_ptr<EntityValue> {
                if (index < 0 || static_cast<std::size_t>(index) >= self.entities.size()) return nullptr;
                return self.entities[static_cast<std::size_t>(index)];
            },
            py::arg("index"),
            "The entity at a position (shared, not copied).\n\n"
            "Args:\n"
            "    index (int): 0-based position.\n\n"
            "Returns:\n"
            "    EntityValue | None: None when index < 0 or index >= entity_count().")
        .def(
            "relationship_count", [](const PathValue& self) { return self.relationships.size(); },
            "The number of relationships.\n\n"
            "Returns:\n"
            "    int")
        .def(
            "get_relationship_at",
            [](const PathValue& self, int32_t index) -> std::shared_ptr<RelationshipValue> {
                if (index < 0 || static_cast<std::size_t>(index) >= self.relationships.size()) return nullptr;
                return self.relationships[static_cast<std::size_t>(index)];
            },
            py::arg("index"),
            "The relationship at a position (shared, not copied).\n\n"
            "Args:\n"
            "    index (int): 0-based position.\n\n"
            "Returns:\n"
            "    RelationshipValue | None: None when index < 0 or index >=\n"
            "    relationship_count().")
        .def_property_readonly(
            "entities", [](const PathValue& self) { return self.entities; },
            "list[EntityValue]: the entities, in order (a new list sharing them).")
        .def_property_readonly(
            "relationships", [](const PathValue& self) { return self.relationships; },
            "list[RelationshipValue]: the relationships, in order (a new list sharing them).")
        .def("__repr__", [](const PathValue& self) {
            return "<PathValue " + plural(self.entities.size(), "entity", "entities") + " " +
                   plural(self.relationships.size(), "relationship", "relationships") + ">";
        });
}

void register_ArrayValue(py::module_& m) {
    py::class_<ArrayValue, std::shared_ptr<ArrayValue>>(m, "ArrayValue",
                                                        "An ordered list of graph values of any kinds.")
        .def(py::init<>(), "An empty array.")
        .def(
            "count", [](const ArrayValue& self) { return self.values.size(); },
            "The number of elements.\n\n"
            "Returns:\n"
            "    int")
        .def(
            "get_value_at",
            [](const ArrayValue& self, int32_t index) -> py::object {
                if (index < 0 || static_cast<std::size_t>(index) >= self.values.size()) return py::none();
                const auto i = static_cast<std::size_t>(index);
                if (self.values.packed()) return py::float_(self.values.packed_doubles()[i]);
                return cast_value(self.values[i]);
            },
            py::arg("index"),
            "The element at a position.\n\n"
            "Args:\n"
            "    index (int): 0-based position.\n\n"
            "Returns:\n"
            "    The element, or None when index < 0 or index >= count() (or the element\n"
            "    is null).")
        .def(
            "add_value", [](ArrayValue& self, value_t value) { self.values.push_back(std::move(value)); },
            py::arg("value"),
            (std::string("Appends an element.\n\n"
                         "Args:\n") +
             kValueArg +
             "\nRaises:\n"
             "    TypeError: value is of no graph value type.")
                .c_str())
        .def(
            "put_value_at",
            [](ArrayValue& self, int32_t index, value_t value) { return self.put_at(index, std::move(value)); },
            py::arg("index"), py::arg("value"),
            (std::string("Stores an element at a position; the array then has exactly index + 1\n"
                         "elements (later ones are dropped, missing ones are None).\n\n"
                         "Args:\n"
                         "    index (int): 0-based position.\n") +
             kValueArg +
             "\nReturns:\n"
             "    bool: False, and nothing changed, when index < 0; otherwise True.")
                .c_str())
        .def_property(
            "values", [](const ArrayValue& self) { return cast_value_list(self.values); },
            [](ArrayValue& self, ValueList values) { self.values = std::move(values); },
            "list[value]: every element (reading gives a new list). Assigning a sequence\n"
            "replaces all elements with its converted items; an item of no graph value type\n"
            "raises TypeError and leaves the array as it was.")
        .def("__repr__", [](const ArrayValue& self) {
            return "<ArrayValue " + plural(self.values.size(), "value", "values") + ">";
        });
}

}  // namespace tk
