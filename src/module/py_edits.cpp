// Edits from Python objects, and their results as dictionaries.
//
// An edit given as a dictionary is read as value_from_object reads it (the
// same keys in the same order, the same conversions of every nested value)
// but without building the entity: its scalar property values go to the wire
// as they are read. Whatever is refused while writing (a value the codec
// cannot encode, a key that is not UTF-8, a geometry that throws) is kept
// and reported where encoding the built value would have reported it, after
// everything has been read, so the Python errors and refusals come in the
// order the two-step road gives them.
#include "module/py_edits.h"

#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "common/utf8.h"
#include "module/from_python.h"
#include "module/py_collector.h"
#include "module/py_data_model.h"
#include "module/py_geometry.h"
#include "module/py_keys.h"
#include "module/py_objects.h"
#include "module/py_rows.h"
#include "module/py_value.h"
#include "module/to_python.h"

namespace tk {

namespace {

using edit_wire::ValueWriter;

py::object steal(PyObject* o) {
    if (!o) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(o);
}

py::object borrow(PyObject* o) { return py::reinterpret_borrow<py::object>(o); }

// ---------------------------------------------------------------- reading

// A property value as read: the scalars value_from_object would turn into
// a null, bool, int64, float, double, date-time, string or blob, and point
// geometries, are kept as they are (texts as views into the held Python
// object); everything else as the value value_from_object gives.
struct Pending {
    enum Kind { kNull, kBool, kInt, kFloat, kText, kBlob, kDateTime, kPoint, kValue } kind = kNull;
    bool b = false;
    bool has_z = false;
    bool has_m = false;
    int64_t i = 0;
    double d = 0;
    double coords[4] = {0, 0, 0, 0};
    std::string_view bytes;
    value_t value;
};

// The text string_from_object reads from a str (its UTF-8 form, known
// valid) or a bytes object (as it is), as a view into the object: valid
// while the object lives. Anything else raises the same cast error.
std::string_view text_of(PyObject* o, bool& known_utf8) {
    if (PyUnicode_Check(o)) {
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(o, &size);
        if (data) {
            known_utf8 = true;
            return std::string_view(data, static_cast<std::size_t>(size));
        }
        PyErr_Clear();  // a lone surrogate has no UTF-8 form
    } else if (PyBytes_Check(o)) {
        known_utf8 = false;
        return std::string_view(PyBytes_AS_STRING(o), static_cast<std::size_t>(PyBytes_GET_SIZE(o)));
    }
    throw py::cast_error(kCastErrorText);
}

std::string_view text_of(PyObject* o) {
    bool ignored = false;
    return text_of(o, ignored);
}

// A coordinate as the geometry dictionary reader converts it.
double coordinate(const py::object& v) {
    if (PyFloat_CheckExact(v.ptr())) return PyFloat_AS_DOUBLE(v.ptr());
    return v.cast<double>();
}

// value_from_object of a nested dictionary, counted one level below the
// edit's own dictionary as value_from_object counts it: the dictionary is
// read as the one property of an entity dictionary around it.
value_t nested_dict(py::handle item) {
    const Keys& k = keys();
    py::object properties = new_dict();
    dict_set(properties, k.wrapped_property, borrow(item.ptr()));
    py::object wrapper = new_dict();
    dict_set(wrapper, k.object_type, borrow(k.word_entity));
    dict_set(wrapper, k.type_name, steal(PyUnicode_FromStringAndSize("", 0)));
    dict_set(wrapper, k.value_properties, properties);
    value_t v = value_from_object(wrapper);
    auto* entity = std::get_if<std::shared_ptr<EntityValue>>(&v);
    if (!entity || !*entity || (*entity)->properties.pairs.size() != 1)
        throw std::runtime_error("dictionary changed size during iteration");
    return std::move((*entity)->properties.pairs.front().second);
}

// A plain dict whose marker says "geometry"; its marker is read already.
// A point ("x" and "y" present) is read into p as the geometry dictionary
// reader reads it (the same lookups and conversions in the same order);
// any other geometry through that reader.
void read_geometry_dict(py::handle item, Pending& p) {
    const Keys& k = keys();
    py::object x = dict_find(item, k.x);
    py::object y = x ? dict_find(item, k.y) : py::object();
    if (!x || !y) {
        p.kind = Pending::kValue;
        p.value = geometry_from_json(item);
        return;
    }
    p.coords[0] = coordinate(x);
    p.coords[1] = coordinate(y);
    int n = 2;
    p.has_z = false;
    p.has_m = false;
    if (py::object z = dict_find(item, k.z)) {
        p.has_z = true;
        p.coords[n++] = coordinate(z);
    }
    if (py::object m = dict_find(item, k.m)) {
        p.has_m = true;
        p.coords[n++] = coordinate(m);
    }
    p.kind = Pending::kPoint;
}

// value_from_object(item) where item is a value inside an edit's
// dictionary (an identifier or a property value); points are kept as such
// when p is given.
value_t nested_value(py::handle item, Pending* p = nullptr) {
    PyObject* o = item.ptr();
    if (!PyDict_Check(o)) return value_from_object(item);
    if (PyDict_CheckExact(o)) {
        // A geometry dictionary, the common nested value, directly: the
        // marker is read as value_from_object reads it, and only the
        // geometry's keys follow. Any other marker reads the dictionary
        // through the wrapper.
        const py::object marker = dict_get(item, keys().object_type);
        if (text_of(marker.ptr()) == "geometry") {
            if (!p) return geometry_from_json(item);
            read_geometry_dict(item, *p);
            return p->kind == Pending::kValue ? std::move(p->value) : value_t{};
        }
    }
    return nested_dict(item);
}

void read_value(py::handle item, Pending& p) {
    PyObject* o = item.ptr();
    if (o == Py_None) {
        p.kind = Pending::kNull;
        return;
    }
    if (o == Py_True || o == Py_False) {
        p.kind = Pending::kBool;
        p.b = o == Py_True;
        return;
    }
    if (PyUnicode_CheckExact(o)) {
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(o, &size);
        if (data) {
            p.kind = Pending::kText;
            p.bytes = std::string_view(data, static_cast<std::size_t>(size));
            return;
        }
        PyErr_Clear();  // no UTF-8 form: value_from_object decides
    } else if (PyFloat_Check(o)) {
        p.kind = Pending::kFloat;
        p.d = PyFloat_AS_DOUBLE(o);
        return;
    } else if (PyBytes_Check(o)) {
        p.kind = Pending::kBlob;
        p.bytes = std::string_view(PyBytes_AS_STRING(o), static_cast<std::size_t>(PyBytes_GET_SIZE(o)));
        return;
    } else if (PyLong_CheckExact(o)) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (overflow == 0 && !(v == -1 && PyErr_Occurred())) {
            p.kind = Pending::kInt;
            p.i = static_cast<int64_t>(v);
            return;
        }
        PyErr_Clear();  // value_from_object raises the overflow
    } else if (is_exact_datetime_type(Py_TYPE(o))) {
        // What value_from_object reaches first for these types.
        p.kind = Pending::kDateTime;
        p.i = millis_from_time_point(load_time_point(item));
        return;
    } else if (PyDict_CheckExact(o)) {
        p.kind = Pending::kValue;
        value_t v = nested_value(item, &p);
        if (p.kind == Pending::kValue) p.value = std::move(v);
        return;
    }
    p.kind = Pending::kValue;
    p.value = nested_value(item);
}

// One KeyValuePair of a read value; a codec status, or what geometry
// encoding throws. The key is valid UTF-8. On failure out may hold part of
// the pair: the caller cuts it back.
int write_pending(ValueWriter& writer, std::string& out, uint8_t field_tag, std::string_view key, const Pending& p) {
    switch (p.kind) {
        case Pending::kNull:
            ValueWriter::null_property(out, field_tag, key);
            return 0;
        case Pending::kBool:
            ValueWriter::bool_property(out, field_tag, key, p.b);
            return 0;
        case Pending::kInt:
            ValueWriter::int64_property(out, field_tag, key, p.i);
            return 0;
        case Pending::kFloat:
            ValueWriter::number_property(out, field_tag, key, p.d);
            return 0;
        case Pending::kText:
            ValueWriter::string_property(out, field_tag, key, p.bytes);  // a str's UTF-8 form is valid
            return 0;
        case Pending::kBlob:
            ValueWriter::blob_property(out, field_tag, key, p.bytes);
            return 0;
        case Pending::kDateTime:
            ValueWriter::datetime_property(out, field_tag, key, p.i);
            return 0;
        case Pending::kPoint:
            return writer.point_property(out, field_tag, key, p.coords, p.has_z, p.has_m);
        case Pending::kValue:
            break;
    }
    return writer.property(out, field_tag, key, p.value);
}

// The "_properties" of an edit's dictionary, read as value_from_object reads
// them (each value before its key; empty keys dropped) and, when encode is
// set, written as KeyValuePairs with field_tag.
void read_properties(py::handle d, bool encode, uint8_t field_tag, ValueWriter& writer, EncodedProperties& out) {
    py::object p = dict_get(d, keys().value_properties);
    if (!PyDict_Check(p.ptr())) {
        PyObject* as_dict = PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), p.ptr());
        p = steal(as_dict);
    }
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* item = nullptr;
    Pending pending;
    while (PyDict_Next(p.ptr(), &pos, &key, &item)) {
        // Reading may run Python code that changes the dict: hold both.
        const py::object held_key = borrow(key);
        const py::object held_item = borrow(item);
        read_value(held_item, pending);
        bool known_utf8 = false;
        const std::string_view name = text_of(held_key.ptr(), known_utf8);  // runs no Python code
        if (name.empty()) continue;
        ++out.count;
        if (!encode || out.failed()) {
            pending.value = value_t{};
            continue;
        }
        const std::size_t at = out.bytes.size();
        try {
            const int rc = known_utf8 || utf8_valid(name) ? write_pending(writer, out.bytes, field_tag, name, pending)
                                                          : status::kInvalidArgument;
            if (rc < 0) {
                out.bytes.resize(at);
                out.status = rc;
            }
        } catch (const std::exception&) {
            out.bytes.resize(at);
            out.error = std::current_exception();
        }
        pending.value = value_t{};
    }
}

edit_status stage_dict(GraphApplyEditsEncoder& encoder, EditOp op, py::handle d, GraphApplyEditsEncoder::Lease& lease) {
    const Keys& k = keys();
    bool entity = false;
    {
        const py::object marker_object = dict_get(d, k.object_type);
        const std::string_view marker = text_of(marker_object.ptr());
        entity = marker == "entity";
        if (!entity && marker != "relationship") {
            // No entity or relationship; a geometry's keys are still read.
            if (marker == "geometry") geometry_from_json(d);
            throw std::invalid_argument("Argument must be valid Entity or Relationship!");
        }
    }
    // Held until the edit is staged: the view below points into it.
    const py::object type_object = dict_get(d, k.type_name);
    const std::string_view type_name = text_of(type_object.ptr());
    value_t id;
    if (PyDict_CheckExact(d.ptr())) {
        const py::object held = dict_find(d, k.id);
        if (held && held.ptr() != Py_None) id = nested_value(held);
    } else if (dict_contains(d, k.id)) {
        id = nested_value(dict_get(d, k.id));
    }
    value_t destination;
    value_t origin;
    if (!entity) {
        destination = nested_value(dict_get(d, k.destination_id));
        origin = nested_value(dict_get(d, k.origin_id));
    }
    EncodedProperties& properties = lease.properties;
    properties.clear();
    read_properties(d, op != EditOp::remove, properties_tag(op), encoder.writer(), properties);

    EditSource source;
    source.entity = entity;
    source.type_name = type_name;
    source.id = &id;
    source.origin = &origin;
    source.destination = &destination;
    source.encoded = &properties;
    encoder.check_reusable();
    return encoder.stage(op, source, lease.staging);
}

// The bound class of T itself (not a subclass, which might convert
// otherwise).
template <class T>
T* exact_bound(PyObject* o) {
    static const py::detail::type_info* info = nullptr;  // written under the GIL
    if (!info) {
        info = py::detail::get_type_info(typeid(T));
        if (!info) return nullptr;
    }
    if (Py_TYPE(o) != info->type) return nullptr;
    auto* inst = reinterpret_cast<py::detail::instance*>(o);
    const py::detail::value_and_holder v_h = inst->get_value_and_holder(info, false);
    if (!v_h || !v_h.holder_constructed()) return nullptr;  // not initialised: let the slow road raise
    return v_h.template value_ptr<T>();
}

}  // namespace

edit_status stage_object(GraphApplyEditsEncoder& encoder, EditOp op, py::handle object,
                         GraphApplyEditsEncoder::Lease& lease) {
    PyObject* o = object.ptr();
    if (PyDict_Check(o)) return stage_dict(encoder, op, object, lease);
    // Bound objects are encoded in place: no Python code runs meanwhile, and
    // the caller holds the object.
    if (EntityValue* e = exact_bound<EntityValue>(o)) {
        encoder.check_reusable();
        return encoder.stage(op, GraphApplyEditsEncoder::source_of(*e), lease.staging);
    }
    if (RelationshipValue* r = exact_bound<RelationshipValue>(o)) {
        encoder.check_reusable();
        return encoder.stage(op, GraphApplyEditsEncoder::source_of(*r), lease.staging);
    }
    const value_t value = value_from_object(object);
    const EditSource source = GraphApplyEditsEncoder::source_of(value);
    encoder.check_reusable();
    return encoder.stage(op, source, lease.staging);
}

// ---------------------------------------------------------------- results

namespace {

class BusyScope {
public:
    explicit BusyScope(GraphApplyEditsDecoder& d) : d_(d) { ++d_.readers; }
    ~BusyScope() { --d_.readers; }
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;

private:
    GraphApplyEditsDecoder& d_;
};

const SpatialReference kNoSpatialReference{};

py::object text(const std::string& s) { return utf8_to_python(s); }

py::object id_object(const value_t& v) {
    if (const auto* u = std::get_if<uuid_t>(&v)) return make_uuid(u->bytes.data());
    if (const auto* i = std::get_if<int64_t>(&v)) return steal(PyLong_FromLongLong(*i));
    return to_python(v, kNoSpatialReference);
}

py::object error_dict(const kg_error_t& error) {
    const Keys& k = keys();
    py::object d = new_dict();
    dict_set(d, k.error_code, steal(PyLong_FromLongLong(error.error_code)));
    dict_set(d, k.error_message, text(error.error_message));
    return d;
}

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

py::object object_results(const std::vector<edit_object_result>& results) {
    const Keys& k = keys();
    return list_of(results.size(), [&](std::size_t i) {
        const edit_object_result& r = results[i];
        py::object d = new_dict();
        dict_set(d, k.result_id, id_object(r.id));
        if (!r.error.empty()) dict_set(d, k.error, error_dict(r.error));
        return d;
    });
}

py::object cascaded_results(const std::vector<cascaded_delete_result>& results) {
    const Keys& k = keys();
    return list_of(results.size(), [&](std::size_t i) {
        const cascaded_delete_result& r = results[i];
        py::object d = new_dict();
        dict_set(d, k.result_id, id_object(r.id));
        dict_set(d, k.result_origin_id, id_object(r.origin_id));
        dict_set(d, k.result_dest_id, id_object(r.destination_id));
        if (!r.error.empty()) dict_set(d, k.error, error_dict(r.error));
        return d;
    });
}

}  // namespace

void ensure_idle(const GraphApplyEditsDecoder& decoder) {
    if (decoder.readers != 0) throw std::runtime_error("Decoder is busy.");
}

py::object results_dict(GraphApplyEditsDecoder& self) {
    const Keys& k = keys();
    CollectorPause pause;
    BusyScope busy(self);
    py::object out = new_dict();
    if (self.object_failed || !self.error.empty()) dict_set(out, k.error, error_dict(self.error));

    py::object edits = new_dict();
    for (const auto& [name, record] : self.types.items) {
        py::object kinds = new_dict();
        if (!record.adds.empty()) dict_set(kinds, k.add_results, object_results(record.adds));
        if (!record.updates.empty()) dict_set(kinds, k.update_results, object_results(record.updates));
        if (!record.deletes.empty()) dict_set(kinds, k.delete_results, object_results(record.deletes));
        dict_set(edits, text(name).ptr(), kinds);
    }
    dict_set(out, k.edits_result, edits);

    py::object cascaded = new_dict();
    for (const auto& [name, list] : self.cascaded_deletes.items)
        dict_set(cascaded, text(name).ptr(), cascaded_results(list));
    dict_set(out, k.cascaded_deletes, cascaded);

    py::object schema = new_dict();
    for (const auto& item : self.schema_changes.items) {
        const auto& name = item.first;
        const auto& end_points = item.second;  // named: a lambda cannot capture a binding in C++17
        py::object changes = new_dict();
        if (!end_points.empty()) {
            dict_set(changes, k.new_end_points,
                     list_of(end_points.size(), [&](std::size_t i) { return end_point_to_dict(end_points[i]); }));
        }
        dict_set(schema, text(name).ptr(), changes);
    }
    dict_set(out, k.relationship_schema_changes, schema);
    return out;
}

}  // namespace tk
