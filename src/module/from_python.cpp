#include "module/from_python.h"

#include <datetime.h>

#include <cstring>
#include <stdexcept>
#include <string>

#include "geometry/geometry_py.h"

namespace tk {

namespace {

const char kCastErrorText[] = "Unable to cast Python instance to C++ type (compile in debug mode for details)";

}  // namespace

std::string string_from_object(py::handle src) {
    PyObject* obj = src.ptr();
    if (PyUnicode_Check(obj)) {
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
        if (data) return std::string(data, static_cast<std::size_t>(size));
        PyErr_Clear();  // a lone surrogate has no UTF-8 form
    } else if (PyBytes_Check(obj)) {
        return std::string(PyBytes_AS_STRING(obj), static_cast<std::size_t>(PyBytes_GET_SIZE(obj)));
    }
    throw py::cast_error(kCastErrorText);
}

namespace {

// Looked up once per process, under the GIL. Keys are interned so that
// their hashes are cached; types are compared exactly so that the fast paths
// below never change which alternative an object loads as.
struct Cache {
    PyObject* object_type = nullptr;
    PyObject* type_name = nullptr;
    PyObject* id = nullptr;
    PyObject* properties = nullptr;
    PyObject* origin = nullptr;
    PyObject* destination = nullptr;
    PyObject* bytes = nullptr;
    PyTypeObject* geometry = nullptr;
    PyTypeObject* object = nullptr;
    PyTypeObject* entity = nullptr;
    PyTypeObject* relationship = nullptr;
    PyTypeObject* path = nullptr;
    PyTypeObject* array = nullptr;
    PyTypeObject* datetime = nullptr;
    PyTypeObject* date = nullptr;
    PyTypeObject* time = nullptr;
    PyObject* uuid = nullptr;
};

PyObject* intern(const char* text) {
    PyObject* s = PyUnicode_InternFromString(text);
    if (!s) throw py::error_already_set();
    return s;
}

template <class T>
PyTypeObject* bound_type() {
    auto* info = py::detail::get_type_info(typeid(T));
    return info ? info->type : nullptr;
}

const Cache& cache() {
    static Cache* c = nullptr;
    if (c) return *c;
    auto* fresh = new Cache;  // lives as long as the process, like the types
    fresh->object_type = intern("_objectType");
    fresh->type_name = intern("_typeName");
    fresh->id = intern("_id");
    fresh->properties = intern("_properties");
    fresh->origin = intern("_originEntityId");
    fresh->destination = intern("_destinationEntityId");
    fresh->bytes = intern("bytes");
    fresh->geometry = bound_type<geometry_t>();
    fresh->object = bound_type<ObjectValue>();
    fresh->entity = bound_type<EntityValue>();
    fresh->relationship = bound_type<RelationshipValue>();
    fresh->path = bound_type<PathValue>();
    fresh->array = bound_type<ArrayValue>();
    if (!PyDateTimeAPI) {
        PyDateTime_IMPORT;
        if (!PyDateTimeAPI) throw py::error_already_set();
    }
    fresh->datetime = PyDateTimeAPI->DateTimeType;
    fresh->date = PyDateTimeAPI->DateType;
    fresh->time = PyDateTimeAPI->TimeType;
    fresh->uuid = py::object(py::module_::import("uuid").attr("UUID")).release().ptr();
    c = fresh;
    return *c;
}

// Item access as Python does it (a dict subclass's __getitem__ and
// __missing__ apply); a missing key raises KeyError.
py::object get_item(py::handle dict, PyObject* key) {
    PyObject* obj = dict.ptr();
    if (PyDict_CheckExact(obj)) {
        PyObject* item = PyDict_GetItemWithError(obj, key);
        if (item) return py::reinterpret_borrow<py::object>(item);
        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key);
        throw py::error_already_set();
    }
    PyObject* item = PyObject_GetItem(obj, key);
    if (!item) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(item);
}

bool has_key(py::handle dict, PyObject* key) {
    int found = PySequence_Contains(dict.ptr(), key);
    if (found < 0) throw py::error_already_set();
    return found == 1;
}


template <class T>
value_t shared_from(py::handle o) {
    py::detail::make_caster<std::shared_ptr<T>> caster;
    if (!caster.load(o, false)) throw py::cast_error(kCastErrorText);
    return py::detail::cast_op<std::shared_ptr<T>>(std::move(caster));
}

// The bound value classes, date-times and UUIDs of their exact types, taken
// without the probing of the general loader (each failed probe of a bound
// class costs a raised and cleared Python error). False for anything else.
bool load_known_type(py::handle o, const Cache& c, value_t& out) {
    PyTypeObject* type = Py_TYPE(o.ptr());
    if (type == c.entity) {
        out = shared_from<EntityValue>(o);
    } else if (type == c.relationship) {
        out = shared_from<RelationshipValue>(o);
    } else if (type == c.geometry) {
        out = shared_from<geometry_t>(o);
    } else if (type == c.datetime || type == c.date || type == c.time) {
        out = load_time_point(o);
    } else if (reinterpret_cast<PyObject*>(type) == c.uuid) {
        py::object bytes = py::reinterpret_steal<py::object>(PyObject_GetAttr(o.ptr(), c.bytes));
        if (!bytes) {
            PyErr_Clear();
            return false;
        }
        if (!PyBytes_Check(bytes.ptr()) || PyBytes_GET_SIZE(bytes.ptr()) != 16) return false;
        uuid_t u;
        std::memcpy(u.bytes.data(), PyBytes_AS_STRING(bytes.ptr()), 16);
        out = u;
    } else if (type == c.object) {
        out = shared_from<ObjectValue>(o);
    } else if (type == c.array) {
        out = shared_from<ArrayValue>(o);
    } else if (type == c.path) {
        out = shared_from<PathValue>(o);
    } else {
        return false;
    }
    return true;
}

value_t convert(py::handle o, int depth, const Cache& c);

void read_properties(py::handle dict, KeyValueList& target, int depth, const Cache& c) {
    py::object p = get_item(dict, c.properties);
    if (!PyDict_Check(p.ptr())) {
        PyObject* as_dict = PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), p.ptr());
        if (!as_dict) throw py::error_already_set();
        p = py::reinterpret_steal<py::object>(as_dict);
    }
    target.pairs.reserve(target.pairs.size() + static_cast<std::size_t>(PyDict_GET_SIZE(p.ptr())));
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* item = nullptr;
    while (PyDict_Next(p.ptr(), &pos, &key, &item)) {
        // Converting may run Python code that changes the dict: hold both.
        py::object k = py::reinterpret_borrow<py::object>(key);
        py::object v = py::reinterpret_borrow<py::object>(item);
        value_t value = convert(v, depth, c);
        std::string name = string_from_object(k);
        if (name.empty()) continue;
        target.pairs.emplace_back(std::move(name), std::move(value));
    }
}

template <class T>
void read_named(py::handle dict, T& target, int depth, const Cache& c) {
    target.type_name = string_from_object(get_item(dict, c.type_name));
    if (has_key(dict, c.id)) target.id = convert(get_item(dict, c.id), depth, c);
}

value_t from_dict(py::handle dict, int depth, const Cache& c) {
    if (depth >= kMaxValueDepth) throw std::invalid_argument("Value is nested too deeply.");
    const std::string marker = string_from_object(get_item(dict, c.object_type));
    if (marker == "entity") {
        auto entity = std::make_shared<EntityValue>();
        read_named(dict, *entity, depth + 1, c);
        read_properties(dict, entity->properties, depth + 1, c);
        return entity;
    }
    if (marker == "relationship") {
        auto relationship = std::make_shared<RelationshipValue>();
        read_named(dict, *relationship, depth + 1, c);
        relationship->destination_entity_id = convert(get_item(dict, c.destination), depth + 1, c);
        relationship->origin_entity_id = convert(get_item(dict, c.origin), depth + 1, c);
        read_properties(dict, relationship->properties, depth + 1, c);
        return relationship;
    }
    if (marker == "geometry") return geometry_from_json(dict);
    return null_t{};
}

value_t convert(py::handle o, int depth, const Cache& c) {
    PyObject* obj = o.ptr();
    if (PyDict_Check(obj)) return from_dict(o, depth, c);
    if (PyFloat_Check(obj)) return narrowest_float(PyFloat_AS_DOUBLE(obj));
    if (PyBytes_Check(obj) && !PyUnicode_Check(obj))
        return blob_t{std::string(PyBytes_AS_STRING(obj), static_cast<std::size_t>(PyBytes_GET_SIZE(obj)))};
    value_t out;
    if (load_known_type(o, c, out)) return out;
    if (load_value(o, out)) return out;
    return null_t{};
}

}  // namespace

value_t value_from_object(py::handle object) { return convert(object, 0, cache()); }

}  // namespace tk
