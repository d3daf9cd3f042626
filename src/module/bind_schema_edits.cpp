#include <string_view>

#include <pybind11/pybind11.h>

#include "module/bind_common.h"
#include "module/bind_docs.h"
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

constexpr const char* kDecodeDoc =
    "Reads one response body, replacing whatever an earlier decode() stored.\n\n"
    "Args:\n"
    "    data (bytes): the response body (a str is taken as its UTF-8 bytes). An\n"
    "        empty body is a valid response without errors.\n\n"
    "Never raises: a body that does not parse is recorded as the error -3 \"Error\n"
    "decoding response!\", which get_results() shows.";

constexpr const char* kErrorOnlyResultsDoc =
    "The outcome of the last decode().\n\n"
    "Returns:\n"
    "    dict: {} on success; otherwise {\"error\": {\"error_code\": int,\n"
    "    \"error_message\": str}}.";

constexpr const char* kEncodeDoc =
    "Builds the request body from the encoder's current content. Never raises: the\n"
    "outcome is in get_encoding_result(): -1 with the text of an invalid input\n"
    "(for example \"Invalid argument.\" for a field type the wire cannot carry or a\n"
    "name, alias or domain given as bytes that are not UTF-8, \"unsupported\n"
    "geometry type\"), -998 or -999 for other failures, and -999 \"Unexpected\n"
    "failure.\" when there is nothing to send.";

constexpr const char* kPropertyDictDoc =
    "    property (dict): a property dictionary: optional keys \"name\", \"alias\",\n"
    "        \"domain\" (str), \"fieldType\" (a vexoFieldType name), \"geometryType\"\n"
    "        (\"vexoGeometryPoint\" ... \"vexoGeometryEnvelope\"), \"hasZ\", \"hasM\",\n"
    "        \"nullable\", \"editable\", \"visible\", \"required\", \"isSystemMaintained\"\n"
    "        (bool), \"defaultValue\" (a value), \"role\" (a vexoGraphPropertyRole name\n"
    "        other than vexoGraphPropertyUNSPECIFIED).\n";

constexpr const char* kNamedTypeDictDoc =
    "dict: optional keys \"name\", \"alias\" (str), \"role\"\n"
    "        (\"vexoGraphNamedObjectRegular\", \"vexoGraphNamedObjectProvenance\" or\n"
    "        \"vexoGraphNamedObjectDocument\"), \"strict\" (bool) and \"properties\" (a dict\n"
    "        whose values are property dictionaries; its keys are not used).";

// Response decoders that carry only the request's error.
template <class Decoder>
void register_error_only_decoder(py::module_& m, const char* name, const char* doc) {
    py::class_<Decoder, std::shared_ptr<Decoder>>(m, name, doc)
        .def(py::init<>(), "A new decoder with empty results.")
        .def(
            "decode", [](Decoder& self, ResponseBytes data) { self.decode(data.data); }, py::arg("data"), kDecodeDoc)
        .def(
            "get_results", [](const Decoder& self) { return results_dict(self.error); }, kErrorOnlyResultsDoc);
}

}  // namespace

void register_GraphNamedObjectTypeAddsRequestEncoder(py::module_& m) {
    using Encoder = GraphNamedObjectTypeAddsRequestEncoder;
    py::class_<Encoder, std::shared_ptr<Encoder>> cls(
        m, "GraphNamedObjectTypeAddsRequestEncoder",
        "Builds a request that adds entity and relationship types, given as\n"
        "named-type dictionaries.");
    cls.def(py::init<>(), "A new encoder with no types.")
        .def(
            "add_entity_type",
            [](Encoder& self, const MappingArg& entity_type) {
                self.add_entity_type(entity_type_from_dict(entity_type.object));
            },
            py::arg("entity_type"),
            (std::string("Parses a named-type dictionary and appends it as an entity type.\n\n"
                         "Args:\n"
                         "    entity_type (dict): ") +
             kNamedTypeDictDoc +
             "\n        Another mapping is first converted with dict().\n\n"
             "Raises:\n"
             "    ValueError: an unknown role, field type, geometry type or property role\n"
             "        name.\n"
             "    RuntimeError: a value of the wrong type (the cast error).")
                .c_str())
        .def(
            "add_relationship_type",
            [](Encoder& self, const MappingArg& relationship_type) {
                self.add_relationship_type(relationship_type_from_dict(relationship_type.object));
            },
            py::arg("relationship_type"),
            (std::string("Parses a named-type dictionary and appends it as a relationship type (end\n"
                         "points are not sent).\n\n"
                         "Args:\n"
                         "    relationship_type (dict): ") +
             kNamedTypeDictDoc +
             "\n\n"
             "Raises:\n"
             "    ValueError, RuntimeError: as add_entity_type.")
                .c_str())
        .def("encode", &Encoder::encode, kEncodeDoc);
    def_encoding_result_doc(cls, &Encoder::result);
}

void register_GraphNamedObjectTypeUpdateRequestEncoder(py::module_& m) {
    using Encoder = GraphNamedObjectTypeUpdateRequestEncoder;
    py::class_<Encoder, std::shared_ptr<Encoder>> cls(
        m, "GraphNamedObjectTypeUpdateRequestEncoder",
        "Builds a request that changes one entity or relationship type under a mask.");
    cls.def(py::init<>(), "A new encoder with no type and every mask flag false.")
        .def(
            "update_entity_type",
            [](Encoder& self, const DictArg& entity_type_arg, const DictArg& mask_arg) {
                const py::object& entity_type = entity_type_arg.object;
                const py::object& mask = mask_arg.object;
                if (!is_dict(entity_type))
                    throw std::invalid_argument("Argument must be a dictionary representing an entity type!");
                if (!is_dict(mask))
                    throw std::invalid_argument("Argument must be a dictionary representing an entity type mask!");
                // Read into a copy so that a failing call leaves the encoder as it was.
                NamedTypeMask flags = self.mask;
                read_named_type_mask(py::reinterpret_borrow<py::dict>(mask), flags);
                self.update_entity_type(entity_type_from_dict(entity_type), flags);
            },
            py::arg("entity_type"), py::arg("mask"),
            (std::string("Sets the entity type to send (clearing a relationship type) and the mask.\n\n"
                         "Args:\n"
                         "    entity_type (dict): ") +
             kNamedTypeDictDoc +
             "\n"
             "    mask (dict): optional bool keys \"update_name\", \"update_alias\",\n"
             "        \"update_role\", \"update_strict\"; a missing key keeps its flag.\n\n"
             "Raises:\n"
             "    ValueError: an argument is not a dict, or an unknown name in it.\n"
             "    RuntimeError: a value of the wrong type (the cast error).\n"
             "    The encoder is unchanged when it raises.")
                .c_str())
        .def(
            "update_relationship_type",
            [](Encoder& self, const DictArg& relationship_type_arg, const DictArg& mask_arg) {
                const py::object& relationship_type = relationship_type_arg.object;
                const py::object& mask = mask_arg.object;
                if (!is_dict(relationship_type))
                    throw std::invalid_argument("Argument must be a dictionary representing a relationship type!");
                if (!is_dict(mask))
                    throw std::invalid_argument("Argument must be a dictionary representing an entity type mask!");
                NamedTypeMask flags = self.mask;
                read_named_type_mask(py::reinterpret_borrow<py::dict>(mask), flags);
                self.update_relationship_type(relationship_type_from_dict(relationship_type), flags);
            },
            py::arg("relationship_type"), py::arg("mask"),
            "Sets the relationship type to send (clearing an entity type) and the mask.\n\n"
            "Args:\n"
            "    relationship_type (dict): a named-type dictionary (see update_entity_type).\n"
            "    mask (dict): as for update_entity_type.\n\n"
            "Raises:\n"
            "    ValueError, RuntimeError: as update_entity_type; the encoder is unchanged\n"
            "    when it raises.")
        .def("encode", &Encoder::encode,
             (std::string(kEncodeDoc) + "\nWithout exactly one type it records -1 \"UpdateNamedType must be passed a\n"
                                        "single entity type or relationship type!\".")
                 .c_str());
    def_encoding_result_doc(cls, &Encoder::result);
}

void register_GraphNamedObjectTypeAddsResponseDecoder(py::module_& m) {
    using Decoder = GraphNamedObjectTypeAddsResponseDecoder;
    py::class_<Decoder, std::shared_ptr<Decoder>>(m, "GraphNamedObjectTypeAddsResponseDecoder",
                                                  "Reads the answer to a named-type adds request.")
        .def(py::init<>(), "A new decoder with empty results.")
        .def(
            "decode", [](Decoder& self, ResponseBytes data) { self.decode(data.data); }, py::arg("data"), kDecodeDoc)
        .def(
            "get_results",
            [](const Decoder& self) {
                py::dict d = results_dict(self.error);
                d["entityAddResults"] = outcomes_to_list(self.entity_results);
                d["relationshipAddResults"] = outcomes_to_list(self.relationship_results);
                return d;
            },
            "The outcome of the last decode().\n\n"
            "Returns:\n"
            "    dict: \"error\" ({\"error_code\": int, \"error_message\": str}) only when the\n"
            "    request failed or the body did not parse; \"entityAddResults\" and\n"
            "    \"relationshipAddResults\": lists of {\"name\": str} in the order the names\n"
            "    first appear, each with \"error\" when that type failed (a repeated name\n"
            "    keeps its first outcome).");
}

void register_GraphNamedObjectTypeUpdateResponseDecoder(py::module_& m) {
    register_error_only_decoder<GraphNamedObjectTypeUpdateResponseDecoder>(
        m, "GraphNamedObjectTypeUpdateResponseDecoder", "Reads the answer to a named-type update request.");
}

void register_GraphNamedObjectTypeDeleteResponseDecoder(py::module_& m) {
    register_error_only_decoder<GraphNamedObjectTypeDeleteResponseDecoder>(
        m, "GraphNamedObjectTypeDeleteResponseDecoder", "Reads the answer to a named-type delete request.");
}

void register_GraphPropertyAddsRequestEncoder(py::module_& m) {
    using Encoder = GraphPropertyAddsRequestEncoder;
    py::class_<Encoder, std::shared_ptr<Encoder>> cls(m, "GraphPropertyAddsRequestEncoder",
                                                      "Builds a request that adds properties to a named type.");
    cls.def(py::init<>(), "A new encoder with no properties.")
        .def(
            "add_property",
            [](Encoder& self, const MappingArg& property) {
                self.add_property(graph_property_from_dict(property.object));
            },
            py::arg("property"),
            (std::string("Parses a property dictionary and appends it.\n\n"
                         "Args:\n") +
             kPropertyDictDoc +
             "        Any mapping works.\n\n"
             "Raises:\n"
             "    ValueError: None (\"Argument must be valid graph property!\") or an unknown\n"
             "        name in it.\n"
             "    RuntimeError: a value of the wrong type (the cast error).")
                .c_str())
        .def("encode", &Encoder::encode, kEncodeDoc);
    def_encoding_result_doc(cls, &Encoder::result);
}

void register_GraphPropertyUpdateRequestEncoder(py::module_& m) {
    using Encoder = GraphPropertyUpdateRequestEncoder;
    py::class_<Encoder, std::shared_ptr<Encoder>> cls(m, "GraphPropertyUpdateRequestEncoder",
                                                      "Builds a request that changes one property under a mask.");
    cls.def(py::init<>(), "A new encoder with an empty name, no property and every mask flag false.")
        .def_readwrite("name", &Encoder::name,
                       "str: the current name of the property to change. encode() records -1\n"
                       "\"Invalid argument.\" when it is not valid UTF-8.")
        .def(
            "update_property",
            [](Encoder& self, const DictArg& property_arg, const DictArg& mask_arg) {
                const py::object& property = property_arg.object;
                const py::object& mask = mask_arg.object;
                if (!is_dict(property))
                    throw std::invalid_argument("Argument must be a dictionary representing a graph property!");
                if (!is_dict(mask))
                    throw std::invalid_argument("Argument must be a dictionary representing a graph property mask!");
                // Read into a copy so that a failing call leaves the encoder as it was.
                PropertyMask flags = self.mask;
                read_property_mask(py::reinterpret_borrow<py::dict>(mask), flags);
                self.update_property(graph_property_from_dict(property), flags);
            },
            py::arg("property"), py::arg("mask"),
            (std::string("Sets the property's new values and the mask flags.\n\n"
                         "Args:\n") +
             kPropertyDictDoc +
             "    mask (dict): optional bool keys \"update_name\", \"update_alias\",\n"
             "        \"update_field_type\", \"update_geometry_type\", \"update_default_value\",\n"
             "        \"update_nullable\", \"update_editable\", \"update_visible\",\n"
             "        \"update_required\", \"update_domain\", \"update_has_z\", \"update_has_m\"; a\n"
             "        missing key keeps its flag.\n\n"
             "Raises:\n"
             "    ValueError: an argument is not a dict, or an unknown name in it.\n"
             "    RuntimeError: a value of the wrong type (the cast error).\n"
             "    The encoder is unchanged when it raises.")
                .c_str())
        .def(
            "encode", &Encoder::encode,
            (std::string(kEncodeDoc) + "\nWithout a property it records -1 \"UpdateField must be passed a valid graph\n"
                                       "property!\".")
                .c_str());
    def_encoding_result_doc(cls, &Encoder::result);
}

void register_GraphPropertyDeleteRequestEncoder(py::module_& m) {
    using Encoder = GraphPropertyDeleteRequestEncoder;
    py::class_<Encoder, std::shared_ptr<Encoder>> cls(m, "GraphPropertyDeleteRequestEncoder",
                                                      "Builds a request that deletes one property.");
    cls.def(py::init<>(), "A new encoder with an empty name.")
        .def_readwrite("name", &Encoder::name,
                       "str: the name of the property to delete. encode() records -999\n"
                       "\"Unexpected failure.\" when it is empty (nothing to send) and -1\n"
                       "\"Invalid argument.\" when it is not valid UTF-8.")
        .def("encode", &Encoder::encode, kEncodeDoc);
    def_encoding_result_doc(cls, &Encoder::result);
}

void register_GraphPropertyAddsResponseDecoder(py::module_& m) {
    using Decoder = GraphPropertyAddsResponseDecoder;
    py::class_<Decoder, std::shared_ptr<Decoder>>(m, "GraphPropertyAddsResponseDecoder",
                                                  "Reads the answer to a property adds request.")
        .def(py::init<>(), "A new decoder with empty results.")
        .def(
            "decode", [](Decoder& self, ResponseBytes data) { self.decode(data.data); }, py::arg("data"), kDecodeDoc)
        .def(
            "get_results",
            [](const Decoder& self) {
                py::dict d = results_dict(self.error);
                d["propertyAddResults"] = outcomes_to_list(self.property_results);
                return d;
            },
            "The outcome of the last decode().\n\n"
            "Returns:\n"
            "    dict: \"error\" ({\"error_code\": int, \"error_message\": str}) only when the\n"
            "    request failed or the body did not parse; \"propertyAddResults\": a list of\n"
            "    {\"name\": str} in the order the names first appear, each with \"error\" when\n"
            "    that property failed (a repeated name keeps its first outcome).");
}

void register_GraphPropertyUpdateResponseDecoder(py::module_& m) {
    register_error_only_decoder<GraphPropertyUpdateResponseDecoder>(m, "GraphPropertyUpdateResponseDecoder",
                                                                    "Reads the answer to a property update request.");
}

void register_GraphPropertyDeleteResponseDecoder(py::module_& m) {
    register_error_only_decoder<GraphPropertyDeleteResponseDecoder>(m, "GraphPropertyDeleteResponseDecoder",
                                                                    "Reads the answer to a property delete request.");
}

}  // namespace tk
