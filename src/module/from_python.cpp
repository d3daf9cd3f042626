#include "module/from_python.h"

#include <stdexcept>
#include <string>

#include "module/py_geometry.h"
#include "module/py_keys.h"

namespace tk {

const char kCastErrorText[] = "Unable to cast Python instance to C++ type (compile in debug mode for details)";

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

value_t convert(py::handle o, int depth, const Keys& k);

void read_properties(py::handle dict, KeyValueList& target, int depth, const Keys& k) {
    py::object p = dict_get(dict, k.value_properties);
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
        py::object held_key = py::reinterpret_borrow<py::object>(key);
        py::object held_item = py::reinterpret_borrow<py::object>(item);
        value_t value = convert(held_item, depth, k);
        std::string name = string_from_object(held_key);
        if (name.empty()) continue;
        target.pairs.emplace_back(std::move(name), std::move(value));
    }
}

template <class T>
void read_named(py::handle dict, T& target, int depth, const Keys& k) {
    target.type_name = string_from_object(dict_get(dict, k.type_name));
    if (dict_contains(dict, k.id)) target.id = convert(dict_get(dict, k.id), depth, k);
}

value_t from_dict(py::handle dict, int depth, const Keys& k) {
    if (depth >= kMaxValueDepth) throw std::invalid_argument("Value is nested too deeply.");
    const std::string marker = string_from_object(dict_get(dict, k.object_type));
    if (marker == "entity") {
        auto entity = std::make_shared<EntityValue>();
        read_named(dict, *entity, depth + 1, k);
        read_properties(dict, entity->properties, depth + 1, k);
        return entity;
    }
    if (marker == "relationship") {
        auto relationship = std::make_shared<RelationshipValue>();
        read_named(dict, *relationship, depth + 1, k);
        relationship->destination_entity_id = convert(dict_get(dict, k.destination_id), depth + 1, k);
        relationship->origin_entity_id = convert(dict_get(dict, k.origin_id), depth + 1, k);
        read_properties(dict, relationship->properties, depth + 1, k);
        return relationship;
    }
    if (marker == "geometry") return geometry_from_json(dict);
    return null_t{};
}

value_t convert(py::handle o, int depth, const Keys& k) {
    PyObject* obj = o.ptr();
    if (PyDict_Check(obj)) return from_dict(o, depth, k);
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
