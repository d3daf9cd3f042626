#include <stdexcept>
#include <string>
#include <vector>

#include <pybind11/pybind11.h>

#include "edits/apply_edits_decoder.h"
#include "edits/apply_edits_encoder.h"
#include "module/bind_common.h"
#include "module/from_python.h"
#include "module/py_data_model.h"
#include "module/py_keys.h"
#include "module/py_value.h"
#include "module/registration.h"
#include "module/to_python.h"

namespace tk {

namespace {

using Encoder = GraphApplyEditsEncoder;
using Decoder = GraphApplyEditsDecoder;

// A refused edit is never dropped silently: the caller hears about it.
void raise_if_refused(const edit_status& status) {
    if (!status.ok()) throw std::invalid_argument(status.message);
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

const SpatialReference kNoSpatialReference{};

py::list object_results(const std::vector<edit_object_result>& results) {
    py::list out(results.size());
    std::size_t i = 0;
    for (const auto& r : results) {
        py::dict d;
        d["id"] = to_python(r.id, kNoSpatialReference);
        if (!r.error.empty()) d["error"] = error_to_dict(r.error);
        out[i++] = std::move(d);
    }
    return out;
}

py::dict results_dict(const Decoder& self) {
    py::dict out;
    if (self.object_failed || !self.error.empty()) out["error"] = error_to_dict(self.error);

    py::dict edits;
    for (const auto& [name, record] : self.types.items) {
        py::dict kinds;
        if (!record.adds.empty()) kinds["addResults"] = object_results(record.adds);
        if (!record.updates.empty()) kinds["updateResults"] = object_results(record.updates);
        if (!record.deletes.empty()) kinds["deleteResults"] = object_results(record.deletes);
        edits[utf8_to_python(name)] = std::move(kinds);
    }
    out["editsResult"] = std::move(edits);

    py::dict cascaded;
    for (const auto& [name, list] : self.cascaded_deletes.items) {
        py::list items(list.size());
        std::size_t i = 0;
        for (const auto& r : list) {
            py::dict d;
            d["id"] = to_python(r.id, kNoSpatialReference);
            d["originId"] = to_python(r.origin_id, kNoSpatialReference);
            d["destId"] = to_python(r.destination_id, kNoSpatialReference);
            if (!r.error.empty()) d["error"] = error_to_dict(r.error);
            items[i++] = std::move(d);
        }
        cascaded[utf8_to_python(name)] = std::move(items);
    }
    out["cascadedDeletes"] = std::move(cascaded);

    py::dict schema;
    for (const auto& [name, end_points] : self.schema_changes.items) {
        py::dict changes;
        if (!end_points.empty()) {
            py::list items(end_points.size());
            std::size_t i = 0;
            for (const auto& ep : end_points) items[i++] = end_point_to_dict(ep);
            changes["new_end_points"] = std::move(items);
        }
        schema[utf8_to_python(name)] = std::move(changes);
    }
    out["relationshipSchemaChanges"] = std::move(schema);
    return out;
}

}  // namespace

void register_GraphApplyEditsEncoder(py::module_& m) {
    py::class_<Encoder, std::shared_ptr<Encoder>> cls(m, "GraphApplyEditsEncoder");
    cls.def(py::init<const SpatialReference&, const InputQuantizationParameters&>())
        .def_property("cascade_delete", &Encoder::cascade_delete, &Encoder::set_cascade_delete)
        .def("add", [](Encoder& self, const py::object& value) { raise_if_refused(self.add(value_from_object(value))); })
        .def("update", [](Encoder& self, const py::object& value) { raise_if_refused(self.update(value_from_object(value))); })
        .def("delete", [](Encoder& self, const py::object& value) { raise_if_refused(self.remove(value_from_object(value))); })
        .def("delete_from_ids", [](Encoder& self, const py::object& d) { delete_from_ids(self, d); })
        .def("encode", &Encoder::encode);
    def_encoding_result(cls, &Encoder::result);
}

void register_GraphApplyEditsDecoder(py::module_& m) {
    py::class_<Decoder, std::shared_ptr<Decoder>>(m, "GraphApplyEditsDecoder")
        .def(py::init<>())
        .def("decode",
             [](Decoder& self, const py::bytes& data) {
                 char* buffer = nullptr;
                 Py_ssize_t size = 0;
                 if (!PyBytes_Check(data.ptr()) || PyBytes_AsStringAndSize(data.ptr(), &buffer, &size) != 0) {
                     PyErr_Clear();
                     kg_error_t error;
                     error.set(status::kNotBytes, "Argument must be `bytes`!");
                     return error;
                 }
                 return self.decode(buffer, static_cast<std::size_t>(size));
             })
        .def("get_results", [](const Decoder& self) { return results_dict(self); });
}

}  // namespace tk
