#include <string_view>

#include <pybind11/pybind11.h>

#include "module/bind_common.h"
#include "module/py_schema.h"
#include "module/py_value.h"
#include "module/registration.h"
#include "schema/schema_edits.h"

namespace tk {

namespace {

// {"name": ...} with "error" only when that name failed.
py::list outcomes_to_list(const NamedOutcomes& outcomes) {
    py::list list(outcomes.items.size());
    std::size_t i = 0;
    for (const auto& item : outcomes.items) {
        py::dict d;
        d["name"] = utf8_to_python(item.first);
        if (!item.second.empty()) d["error"] = error_to_dict(item.second);
        list[i++] = std::move(d);
    }
    return list;
}

py::dict results_dict(const kg_error_t& error) {
    py::dict d;
    if (!error.empty()) d["error"] = error_to_dict(error);
    return d;
}

bool is_dict(py::handle o) { return PyDict_Check(o.ptr()) != 0; }

// Response decoders that carry only the request's error.
template <class Decoder>
void register_error_only_decoder(py::module_& m, const char* name) {
    py::class_<Decoder, std::shared_ptr<Decoder>>(m, name)
        .def(py::init<>())
        .def("decode", [](Decoder& self, std::string_view bytes) { self.decode(bytes); })
        .def("get_results", [](const Decoder& self) { return results_dict(self.error); });
}

}  // namespace

void register_GraphNamedObjectTypeAddsRequestEncoder(py::module_& m) {
    using Encoder = GraphNamedObjectTypeAddsRequestEncoder;
    py::class_<Encoder, std::shared_ptr<Encoder>> cls(m, "GraphNamedObjectTypeAddsRequestEncoder");
    cls.def(py::init<>())
        .def("add_entity_type", [](Encoder& self, const py::object& d) { self.add_entity_type(entity_type_from_dict(d)); })
        .def("add_relationship_type",
             [](Encoder& self, const py::object& d) { self.add_relationship_type(relationship_type_from_dict(d)); })
        .def("encode", &Encoder::encode);
    def_encoding_result(cls, &Encoder::result);
}

void register_GraphNamedObjectTypeUpdateRequestEncoder(py::module_& m) {
    using Encoder = GraphNamedObjectTypeUpdateRequestEncoder;
    py::class_<Encoder, std::shared_ptr<Encoder>> cls(m, "GraphNamedObjectTypeUpdateRequestEncoder");
    cls.def(py::init<>())
        .def("update_entity_type",
             [](Encoder& self, const py::object& type, const py::object& mask) {
                 if (!is_dict(type))
                     throw std::invalid_argument("Argument must be a dictionary representing an entity type!");
                 if (!is_dict(mask))
                     throw std::invalid_argument("Argument must be a dictionary representing an entity type mask!");
                 // Read into a copy so that a failing call leaves the encoder as it was.
                 NamedTypeMask flags = self.mask;
                 read_named_type_mask(py::reinterpret_borrow<py::dict>(mask), flags);
                 self.update_entity_type(entity_type_from_dict(type), flags);
             })
        .def("update_relationship_type",
             [](Encoder& self, const py::object& type, const py::object& mask) {
                 if (!is_dict(type))
                     throw std::invalid_argument("Argument must be a dictionary representing a relationship type!");
                 if (!is_dict(mask))
                     throw std::invalid_argument("Argument must be a dictionary representing an entity type mask!");
                 NamedTypeMask flags = self.mask;
                 read_named_type_mask(py::reinterpret_borrow<py::dict>(mask), flags);
                 self.update_relationship_type(relationship_type_from_dict(type), flags);
             })
        .def("encode", &Encoder::encode);
    def_encoding_result(cls, &Encoder::result);
}

void register_GraphNamedObjectTypeAddsResponseDecoder(py::module_& m) {
    using Decoder = GraphNamedObjectTypeAddsResponseDecoder;
    py::class_<Decoder, std::shared_ptr<Decoder>>(m, "GraphNamedObjectTypeAddsResponseDecoder")
        .def(py::init<>())
        .def("decode", [](Decoder& self, std::string_view bytes) { self.decode(bytes); })
        .def("get_results", [](const Decoder& self) {
            py::dict d = results_dict(self.error);
            d["entityAddResults"] = outcomes_to_list(self.entity_results);
            d["relationshipAddResults"] = outcomes_to_list(self.relationship_results);
            return d;
        });
}

void register_GraphNamedObjectTypeUpdateResponseDecoder(py::module_& m) {
    register_error_only_decoder<GraphNamedObjectTypeUpdateResponseDecoder>(m,
                                                                           "GraphNamedObjectTypeUpdateResponseDecoder");
}

void register_GraphNamedObjectTypeDeleteResponseDecoder(py::module_& m) {
    register_error_only_decoder<GraphNamedObjectTypeDeleteResponseDecoder>(m,
                                                                           "GraphNamedObjectTypeDeleteResponseDecoder");
}

void register_GraphPropertyAddsRequestEncoder(py::module_& m) {
    using Encoder = GraphPropertyAddsRequestEncoder;
    py::class_<Encoder, std::shared_ptr<Encoder>> cls(m, "GraphPropertyAddsRequestEncoder");
    cls.def(py::init<>())
        .def("add_property", [](Encoder& self, const py::object& d) { self.add_property(graph_property_from_dict(d)); })
        .def("encode", &Encoder::encode);
    def_encoding_result(cls, &Encoder::result);
}

void register_GraphPropertyUpdateRequestEncoder(py::module_& m) {
    using Encoder = GraphPropertyUpdateRequestEncoder;
    py::class_<Encoder, std::shared_ptr<Encoder>> cls(m, "GraphPropertyUpdateRequestEncoder");
    cls.def(py::init<>())
        .def_readwrite("name", &Encoder::name)
        .def("update_property",
             [](Encoder& self, const py::object& property, const py::object& mask) {
                 if (!is_dict(property))
                     throw std::invalid_argument("Argument must be a dictionary representing a graph property!");
                 if (!is_dict(mask))
                     throw std::invalid_argument("Argument must be a dictionary representing a graph property mask!");
                 // Read into a copy so that a failing call leaves the encoder as it was.
                 PropertyMask flags = self.mask;
                 read_property_mask(py::reinterpret_borrow<py::dict>(mask), flags);
                 self.update_property(graph_property_from_dict(property), flags);
             })
        .def("encode", &Encoder::encode);
    def_encoding_result(cls, &Encoder::result);
}

void register_GraphPropertyDeleteRequestEncoder(py::module_& m) {
    using Encoder = GraphPropertyDeleteRequestEncoder;
    py::class_<Encoder, std::shared_ptr<Encoder>> cls(m, "GraphPropertyDeleteRequestEncoder");
    cls.def(py::init<>()).def_readwrite("name", &Encoder::name).def("encode", &Encoder::encode);
    def_encoding_result(cls, &Encoder::result);
}

void register_GraphPropertyAddsResponseDecoder(py::module_& m) {
    using Decoder = GraphPropertyAddsResponseDecoder;
    py::class_<Decoder, std::shared_ptr<Decoder>>(m, "GraphPropertyAddsResponseDecoder")
        .def(py::init<>())
        .def("decode", [](Decoder& self, std::string_view bytes) { self.decode(bytes); })
        .def("get_results", [](const Decoder& self) {
            py::dict d = results_dict(self.error);
            d["propertyAddResults"] = outcomes_to_list(self.property_results);
            return d;
        });
}

void register_GraphPropertyUpdateResponseDecoder(py::module_& m) {
    register_error_only_decoder<GraphPropertyUpdateResponseDecoder>(m, "GraphPropertyUpdateResponseDecoder");
}

void register_GraphPropertyDeleteResponseDecoder(py::module_& m) {
    register_error_only_decoder<GraphPropertyDeleteResponseDecoder>(m, "GraphPropertyDeleteResponseDecoder");
}

}  // namespace tk
