#include <stdexcept>
#include <string>
#include <vector>

#include <pybind11/pybind11.h>

#include "edits/apply_edits_decoder.h"
#include "edits/apply_edits_encoder.h"
#include "module/bind_common.h"
#include "module/bind_docs.h"
#include "module/fast_methods.h"
#include "module/from_python.h"
#include "module/py_edits.h"
#include "module/py_keys.h"
#include "module/py_value.h"
#include "module/registration.h"

namespace tk {

namespace {

using Encoder = GraphApplyEditsEncoder;
using Decoder = GraphApplyEditsDecoder;

// A refused edit is never dropped silently: the caller hears about it.
void raise_if_refused(const edit_status& status) {
    if (!status.ok()) throw std::invalid_argument(status.message);
}

void edit_one(Encoder& self, EditOp op, py::handle value) {
    Encoder::Lease lease(self);
    raise_if_refused(stage_object(self, op, value, lease));
    self.commit(lease.staging);
}

// add, update and delete are called once per edit: fast methods
// (module/fast_methods.h) for a plain call with one positional argument.
struct FastEdits {
    PyTypeObject* type = nullptr;
    PyObject* bound[3] = {};  // by EditOp, for every other call
};
FastEdits g_fast_edits;

template <EditOp op>
PyObject* fast_edit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Encoder* encoder = exact_instance<Encoder>(self, g_fast_edits.type);
    if (!encoder || PyVectorcall_NARGS(nargs) != 1 || kwnames)
        return call_bound(g_fast_edits.bound[static_cast<int>(op)], self, args, nargs, kwnames);
    return run_fast([encoder, args] {
        edit_one(*encoder, op, args[0]);
        return py::none();
    });
}

void install_fast_edits(py::handle cls) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    g_fast_edits.type = type;
    g_fast_edits.bound[static_cast<int>(EditOp::add)] = install_fast_method(type, "add", &fast_edit<EditOp::add>);
    g_fast_edits.bound[static_cast<int>(EditOp::update)] =
        install_fast_method(type, "update", &fast_edit<EditOp::update>);
    g_fast_edits.bound[static_cast<int>(EditOp::remove)] =
        install_fast_method(type, "delete", &fast_edit<EditOp::remove>);
}

// All or nothing: every item is staged first (a refusal raises and leaves
// the request as it was), then all go in at once. The items are read from a
// list of their own, so an iterable that Python code changes meanwhile
// cannot pull them away.
void edit_many(Encoder& self, EditOp op, py::handle items) {
    PyObject* snapshot = PySequence_List(items.ptr());
    if (!snapshot) throw py::error_already_set();
    const py::object list = py::reinterpret_steal<py::object>(snapshot);
    Encoder::Lease lease(self);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.ptr()); ++i) {
        const py::object item = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(list.ptr(), i));
        raise_if_refused(stage_object(self, op, item, lease));
        if (i == 0) {
            // Room for all items the size of the first: one buffer instead
            // of a chain of doublings (pages never written cost nothing).
            const auto n = static_cast<std::size_t>(PyList_GET_SIZE(list.ptr()));
            const std::size_t first = lease.staging.bytes.size();
            if (first != 0 && n <= (std::size_t{1} << 28) / first)
                lease.staging.bytes.reserve(first * n + first * n / 8);
            lease.staging.entries.reserve(n);
        }
    }
    self.commit(lease.staging);
}

void delete_from_ids(Encoder& self, py::handle d) {
    if (!PyDict_Check(d.ptr()))
        throw std::invalid_argument("Argument must be a dictionary with keys _objectType, _typeName, and _ids!");
    if (!dict_contains(d, keys().object_type))
        throw std::invalid_argument("Argument must specify whether deleting entities or relationships!");
    if (!dict_contains(d, keys().type_name))
        throw std::invalid_argument(
            "Argument must specify the type name of the entities or relationships to be deleted!");
    if (!dict_contains(d, keys().ids))
        throw std::invalid_argument("Argument must specify the IDs of the entities or relationships to be deleted!");
    const bool entities = string_from_object(dict_get(d, keys().object_type)) == "entity";
    const std::string type_name = string_from_object(dict_get(d, keys().type_name));
    self.check_reusable();

    py::object ids = dict_get(d, keys().ids);
    if (!PyList_Check(ids.ptr())) {
        PyObject* list = PySequence_List(ids.ptr());
        if (!list) throw py::error_already_set();
        ids = py::reinterpret_steal<py::object>(list);
    }
    std::vector<value_t> values;
    values.reserve(static_cast<std::size_t>(PyList_GET_SIZE(ids.ptr())));
    // Converting may run Python code that changes the list: size and items
    // are read afresh each time.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(ids.ptr()); ++i) {
        py::object item = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(ids.ptr(), i));
        values.push_back(value_from_object(item));
    }
    raise_if_refused(self.remove_ids(entities, type_name, values));
}

kg_error_t decode_bytes(Decoder& self, py::handle data) {
    ensure_idle(self);
    char* buffer = nullptr;
    Py_ssize_t size = 0;
    if (!PyBytes_Check(data.ptr()) || PyBytes_AsStringAndSize(data.ptr(), &buffer, &size) != 0) {
        PyErr_Clear();
        kg_error_t error;
        error.set(status::kNotBytes, "Argument must be `bytes`!");
        return error;
    }
    return self.decode(buffer, static_cast<std::size_t>(size));
}

const char kEditArgs[] =
    "    value (EntityValue | RelationshipValue | dict): the object, or its dictionary\n"
    "        form {\"_objectType\": \"entity\" | \"relationship\", \"_typeName\": str,\n"
    "        \"_id\": value (optional), \"_properties\": dict, and for relationships\n"
    "        \"_originEntityId\" and \"_destinationEntityId\"}. The object is left as it was.\n\n";

const char kEditRaises[] =
    "Raises:\n"
    "    ValueError: the argument is no entity or relationship (\"Argument must be valid\n"
    "        Entity or Relationship!\") or the edit is refused (the reason, for example\n"
    "        \"Input object has no type name!\", \"Type name is not valid UTF-8!\" or\n"
    "        \"Unexpected error while encoding object to be added!\" for a value that\n"
    "        cannot be encoded, a property name that is not UTF-8 included). Nothing is\n"
    "        added to the request.\n"
    "    RuntimeError: \"Cannot reuse encoder!\" after encode().\n"
    "    KeyError, TypeError, OverflowError: errors reading a dictionary argument.";

const char kManyRaises[] =
    "Raises:\n"
    "    The errors of the one-at-a-time method, for the first item that fails, and\n"
    "    TypeError when items is not iterable. All or nothing: when it raises, the\n"
    "    request is exactly as it was before the call.";

std::string doc(const std::string& head, const std::string& args, const std::string& tail) {
    return head + "\n\nArgs:\n" + args + tail;
}

}  // namespace

void register_GraphApplyEditsEncoder(py::module_& m) {
    py::class_<Encoder, std::shared_ptr<Encoder>> cls(
        m, "GraphApplyEditsEncoder",
        "Builds an apply-edits request: entity and relationship adds, updates and\n"
        "deletes, grouped by type name into length-prefixed frames of at most 2049\n"
        "edits. Single use: encode() once, then read get_encoding_result().");
    static const std::string add_doc = doc("Adds one entity or relationship to the request.", kEditArgs,
                                           "Returns:\n    None\n\n" + std::string(kEditRaises) +
                                               "\n\nA relationship needs both origin and destination identifiers "
                                               "(\"Relationship must\nhave origin and desination IDs!\").");
    static const std::string update_doc =
        doc("Updates one entity or relationship: sends its identifier (also a null one)\n"
            "and its properties; it needs at least one property (\"Empty input object.\").",
            kEditArgs, "Returns:\n    None\n\n" + std::string(kEditRaises));
    static const std::string delete_doc = doc("Deletes one entity or relationship by its identifier (also a null one).",
                                              kEditArgs, "Returns:\n    None\n\n" + std::string(kEditRaises));
    static const std::string many_args =
        "    items (Iterable[EntityValue | RelationshipValue | dict]): the objects, in order;\n"
        "        any iterable (it is read into a list first).\n\n";
    static const std::string add_many_doc = doc("Adds every item, as a loop of add(item) would.", many_args,
                                                "Returns:\n    None\n\n" + std::string(kManyRaises));
    static const std::string update_many_doc = doc("Updates every item, as a loop of update(item) would.", many_args,
                                                   "Returns:\n    None\n\n" + std::string(kManyRaises));
    static const std::string delete_many_doc = doc("Deletes every item, as a loop of delete(item) would.", many_args,
                                                   "Returns:\n    None\n\n" + std::string(kManyRaises));

    cls.def(py::init<const SpatialReference&, const InputQuantizationParameters&>(), py::arg("spatial_reference"),
            py::arg("input_quantization_parameters"),
            "Creates an empty request.\n\n"
            "Args:\n"
            "    spatial_reference (SpatialReference): the edits' spatial reference (not sent).\n"
            "    input_quantization_parameters (InputQuantizationParameters): the grid that\n"
            "        geometries are quantized onto; its transform goes into the header when\n"
            "        xy_resolution is set. Without it, an edit holding a geometry is refused.")
        .def_property("cascade_delete", &Encoder::cascade_delete, &Encoder::set_cascade_delete,
                      "bool: whether deleting an entity also deletes its relationships (default False).")
        .def(
            "add", [](Encoder& self, py::handle value) { edit_one(self, EditOp::add, value); }, py::arg("value"),
            add_doc.c_str())
        .def(
            "update", [](Encoder& self, py::handle value) { edit_one(self, EditOp::update, value); }, py::arg("value"),
            update_doc.c_str())
        .def(
            "delete", [](Encoder& self, py::handle value) { edit_one(self, EditOp::remove, value); }, py::arg("value"),
            delete_doc.c_str())
        .def(
            "add_many", [](Encoder& self, py::handle items) { edit_many(self, EditOp::add, items); }, py::arg("items"),
            add_many_doc.c_str())
        .def(
            "update_many", [](Encoder& self, py::handle items) { edit_many(self, EditOp::update, items); },
            py::arg("items"), update_many_doc.c_str())
        .def(
            "delete_many", [](Encoder& self, py::handle items) { edit_many(self, EditOp::remove, items); },
            py::arg("items"), delete_many_doc.c_str())
        .def(
            "delete_from_ids", [](Encoder& self, py::handle ids) { delete_from_ids(self, ids); }, py::arg("ids"),
            "Deletes many objects of one type by their identifiers.\n\n"
            "Args:\n"
            "    ids (dict): {\"_objectType\": str, \"_typeName\": str, \"_ids\": sequence}; the\n"
            "        deletes are of entities exactly when \"_objectType\" is \"entity\", else of\n"
            "        relationships. The identifiers go, in order, into the frame current at\n"
            "        the call.\n\n"
            "Returns:\n"
            "    None\n\n"
            "Raises:\n"
            "    ValueError: the argument is no dict or lacks a key (the message names it),\n"
            "        the type name is not UTF-8, or an identifier cannot be encoded\n"
            "        (\"Unexpected error while encoding ID of object to be deleted!\"); all\n"
            "        or nothing: then no identifier is added.\n"
            "    RuntimeError: \"Cannot reuse encoder!\" after encode(), or the cast error\n"
            "        for an \"_objectType\" or \"_typeName\" that is neither str nor bytes.\n"
            "    TypeError: \"_ids\" is no sequence.")
        .def("encode", &Encoder::encode,
             "Writes the request body: the length-prefixed header, then every non-empty\n"
             "frame. Never raises: the outcome is in get_encoding_result() (0 with the\n"
             "bytes; -7 \"GraphApplyEditsEncoder: empty input.\" when no edit was accepted,\n"
             "or \"GraphApplyEditsEncoder: Encode() has already been called!\" on a second\n"
             "call, which keeps the first bytes; -1 \"GraphApplyEditsEncoder: unexpected\n"
             "error.\" for a frame too large to send).");
    def_encoding_result_doc(cls, &Encoder::result);
    install_fast_edits(cls);
}

void register_GraphApplyEditsDecoder(py::module_& m) {
    py::class_<Decoder, std::shared_ptr<Decoder>>(
        m, "GraphApplyEditsDecoder",
        "Reads the service's answer to an apply-edits request (one GraphApplyEditsResult)\n"
        "and offers it as one dictionary.")
        .def(py::init<>(), "Creates a decoder with no results.")
        .def(
            "decode", [](Decoder& self, const py::bytes& data) { return decode_bytes(self, data); }, py::arg("data"),
            "Parses one response, replacing the results of an earlier decode().\n\n"
            "Args:\n"
            "    data (bytes): the response body.\n\n"
            "Returns:\n"
            "    Error: code 0 and an empty message on success; -3 \"Error decoding\n"
            "    ApplyEdits response!\" for an empty, oversized or damaged body.\n\n"
            "Raises:\n"
            "    TypeError: data is not bytes.\n"
            "    RuntimeError: \"Decoder is busy.\" when called from Python code that runs\n"
            "        inside get_results() of the same decoder.")
        .def(
            "get_results", [](Decoder& self) { return results_dict(self); },
            "The results of the last decode() as a new dictionary.\n\n"
            "Returns:\n"
            "    dict: \"error\" ({\"error_code\": int, \"error_message\": str}, only when the\n"
            "    response or some object failed), \"editsResult\" (type name -> {\"addResults\",\n"
            "    \"updateResults\", \"deleteResults\": lists of {\"id\": value, \"error\": ...}},\n"
            "    each list only when not empty), \"cascadedDeletes\" (relationship type name ->\n"
            "    list of {\"id\", \"originId\", \"destId\", \"error\"}) and\n"
            "    \"relationshipSchemaChanges\" (relationship type name -> {\"new_end_points\":\n"
            "    list of {\"origin_entity_type\": str, \"dest_entity_type\": str}}). Type names\n"
            "    come in the order they were first met; \"error\" entries only where something\n"
            "    failed.\n\n"
            "Raises:\n"
            "    ValueError: \"EndPoint must include both origin and destination entity type.\"\n"
            "        for an end point without a name.");
}

}  // namespace tk
