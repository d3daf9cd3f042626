#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "module/bind_common.h"
#include "module/registration.h"
#include "values/object_values.h"

namespace tk {

namespace {

py::object found_or_none(const value_t* v) { return v ? cast_value(*v) : py::none(); }

py::list pairs_to_list(const KeyValueList& list) {
    py::list out(list.pairs.size());
    std::size_t i = 0;
    for (const auto& p : list.pairs) {
        out[i++] = py::make_tuple(utf8_to_python(p.first), cast_value(p.second));
    }
    return out;
}

// The property operations that objects, entities and relationships share.
template <class T>
void def_property_operations(py::class_<T, std::shared_ptr<T>>& cls) {
    cls.def("key_count", [](const T& self) { return self.properties.count(); })
        .def("query_value",
             [](const T& self, const std::string& key) { return found_or_none(self.properties.find(key)); })
        .def("get_value_at", [](const T& self, int32_t index) { return found_or_none(self.properties.at(index)); })
        .def("clear", [](T& self) { self.properties.clear(); })
        .def("set_key_value",
             [](T& self, const std::string& key, const value_t& value) { return self.properties.set(key, value); })
        .def("append_key_value",
             [](T& self, const std::string& key, const value_t& value) { return self.properties.append(key, value); })
        .def("put_value_at",
             [](T& self, int32_t index, const value_t& value) { return self.properties.put_at(index, value); });
}

template <class T>
void def_key_value_pairs(py::class_<T, std::shared_ptr<T>>& cls) {
    cls.def_property_readonly("key_value_pairs", [](const T& self) { return pairs_to_list(self.properties); });
}

template <class T>
void def_identity(py::class_<T, std::shared_ptr<T>>& cls) {
    cls.def("set_id", [](T& self, const value_t& id) { self.id = id; }).def("get_id", [](const T& self) {
        return cast_value(self.id);
    });
}

}  // namespace

void register_ObjectValueType(py::module_& m) {
    py::enum_<ObjectValueType>(m, "ObjectValueType")
        .value("Object", ObjectValueType::Object)
        .value("Entity", ObjectValueType::Entity)
        .value("Relationship", ObjectValueType::Relationship)
        .export_values();
}

void register_ObjectValue(py::module_& m) {
    py::class_<ObjectValue, std::shared_ptr<ObjectValue>> cls(m, "ObjectValue");
    cls.def(py::init<>()).def_property_readonly("object_value_type", [](const ObjectValue&) {
        return ObjectValueType::Object;
    });
    def_property_operations(cls);
    def_key_value_pairs(cls);
}

void register_EntityValue(py::module_& m) {
    py::class_<EntityValue, std::shared_ptr<EntityValue>> cls(m, "EntityValue");
    cls.def(py::init<>())
        .def_readwrite("type_name", &EntityValue::type_name)
        .def_property_readonly("object_value_type", [](const EntityValue&) { return ObjectValueType::Entity; });
    def_property_operations(cls);
    def_identity(cls);
    def_key_value_pairs(cls);
}

void register_RelationshipValue(py::module_& m) {
    py::class_<RelationshipValue, std::shared_ptr<RelationshipValue>> cls(m, "RelationshipValue");
    cls.def(py::init<>())
        .def_readwrite("type_name", &RelationshipValue::type_name)
        .def_property_readonly("object_value_type",
                               [](const RelationshipValue&) { return ObjectValueType::Relationship; });
    def_property_operations(cls);
    def_identity(cls);
    cls.def("set_related_entity_ids",
            [](RelationshipValue& self, const value_t& origin, const value_t& destination) {
                self.origin_entity_id = origin;
                self.destination_entity_id = destination;
            })
        .def("get_origin_entity_id", [](const RelationshipValue& self) { return cast_value(self.origin_entity_id); })
        .def("get_destination_entity_id",
             [](const RelationshipValue& self) { return cast_value(self.destination_entity_id); });
    def_key_value_pairs(cls);
}

void register_PathValue(py::module_& m) {
    py::class_<PathValue, std::shared_ptr<PathValue>>(m, "PathValue")
        .def(py::init<>())
        .def("entity_count", [](const PathValue& self) { return self.entities.size(); })
        .def("get_entity_at",
             [](const PathValue& self, int32_t index) -> std::shared_ptr<EntityValue> {
                 if (index < 0 || static_cast<std::size_t>(index) >= self.entities.size()) return nullptr;
                 return self.entities[static_cast<std::size_t>(index)];
             })
        .def("relationship_count", [](const PathValue& self) { return self.relationships.size(); })
        .def("get_relationship_at",
             [](const PathValue& self, int32_t index) -> std::shared_ptr<RelationshipValue> {
                 if (index < 0 || static_cast<std::size_t>(index) >= self.relationships.size()) return nullptr;
                 return self.relationships[static_cast<std::size_t>(index)];
             })
        .def_property_readonly("entities", [](const PathValue& self) { return self.entities; })
        .def_property_readonly("relationships", [](const PathValue& self) { return self.relationships; });
}

void register_ArrayValue(py::module_& m) {
    py::class_<ArrayValue, std::shared_ptr<ArrayValue>>(m, "ArrayValue")
        .def(py::init<>())
        .def("count", [](const ArrayValue& self) { return self.values.size(); })
        .def("get_value_at",
             [](const ArrayValue& self, int32_t index) -> py::object {
                 if (index < 0 || static_cast<std::size_t>(index) >= self.values.size()) return py::none();
                 return cast_value(self.values[static_cast<std::size_t>(index)]);
             })
        .def("add_value", [](ArrayValue& self, const value_t& value) { self.values.push_back(value); })
        .def("put_value_at",
             [](ArrayValue& self, int32_t index, const value_t& value) { return self.put_at(index, value); })
        .def_property(
            "values",
            [](const ArrayValue& self) {
                py::list out(self.values.size());
                for (std::size_t i = 0; i < self.values.size(); ++i) out[i] = cast_value(self.values[i]);
                return out;
            },
            [](ArrayValue& self, std::vector<value_t> values) { self.values = std::move(values); });
}

}  // namespace tk
