#include "module/from_python.h"

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

// Dictionary keys, interned once per process under the GIL.
struct Keys {
    PyObject* object_type = intern_string("_objectType");
    PyObject* type_name = intern_string("_typeName");
    PyObject* id = intern_string("_id");
    PyObject* properties = intern_string("_properties");
    PyObject* origin = intern_string("_originEntityId");
    PyObject* destination = intern_string("_destinationEntityId");
};

const Keys& keys() {
    static const Keys* k = new Keys;  // lives as long as the process
    return *k;
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


value_t convert(py::handle o, int depth, const Keys& c);

void read_properties(py::handle dict, KeyValueList& target, int depth, const Keys& c) {
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
void read_named(py::handle dict, T& target, int depth, const Keys& c) {
    target.type_name = string_from_object(get_item(dict, c.type_name));
    if (has_key(dict, c.id)) target.id = convert(get_item(dict, c.id), depth, c);
}

value_t from_dict(py::handle dict, int depth, const Keys& c) {
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

value_t convert(py::handle o, int depth, const Keys& c) {
    PyObject* obj = o.ptr();
    if (PyDict_Check(obj)) return from_dict(o, depth, c);
    if (PyFloat_Check(obj)) return narrowest_float(PyFloat_AS_DOUBLE(obj));
    if (PyBytes_Check(obj) && !PyUnicode_Check(obj))
        return blob_t{std::string(PyBytes_AS_STRING(obj), static_cast<std::size_t>(PyBytes_GET_SIZE(obj)))};
    value_t out;
    if (load_value(o, out)) return out;
    return null_t{};
}

}  // namespace

value_t value_from_object(py::handle object) { return convert(object, 0, keys()); }

}  // namespace tk
