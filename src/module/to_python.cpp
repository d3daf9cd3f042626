// Values as plain Python structures. Query results run through here once per
// cell, so dicts and lists are built with the C API and the fixed keys are
// interned once.
#include "module/to_python.h"

#include <cstring>
#include <stdexcept>

#include "geometry/geometry_py.h"

namespace tk {

namespace {

// Interned once under the GIL and kept for the life of the process.
struct Names {
    PyObject* object_type;
    PyObject* properties;
    PyObject* type_name;
    PyObject* id;
    PyObject* origin_id;
    PyObject* destination_id;
    PyObject* path;
    PyObject* word_object;
    PyObject* word_entity;
    PyObject* word_relationship;
    PyObject* word_path;
};

const Names& names() {
    static const Names n{intern_string("_objectType"), intern_string("_properties"),
                         intern_string("_typeName"),   intern_string("_id"),
                         intern_string("_originEntityId"), intern_string("_destinationEntityId"),
                         intern_string("_path"),       intern_string("object"),
                         intern_string("entity"),      intern_string("relationship"),
                         intern_string("path")};
    return n;
}

py::object new_dict() {
    PyObject* d = PyDict_New();
    if (!d) {
        PyErr_Clear();
        throw std::runtime_error("Could not allocate dict object!");
    }
    return py::reinterpret_steal<py::object>(d);
}

py::object new_list(std::size_t size) {
    PyObject* l = PyList_New(static_cast<Py_ssize_t>(size));
    if (!l) {
        PyErr_Clear();
        throw std::runtime_error("Could not allocate list object!");
    }
    return py::reinterpret_steal<py::object>(l);
}

void set_item(const py::object& dict, PyObject* key, const py::object& value) {
    if (PyDict_SetItem(dict.ptr(), key, value.ptr()) != 0) throw py::error_already_set();
}

// Names stop at the first NUL byte.
std::size_t text_length(const std::string& s) {
    const void* nul = std::memchr(s.data(), '\0', s.size());
    return nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - s.data()) : s.size();
}

py::object type_name_to_python(const std::string& name) {
    PyObject* s = PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(text_length(name)), "strict");
    if (!s) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(s);
}

py::object key_to_python(const std::string& key) {
    PyObject* s = PyUnicode_DecodeUTF8(key.data(), static_cast<Py_ssize_t>(text_length(key)), "strict");
    if (!s) {
        PyErr_Clear();
        throw std::runtime_error("Could not allocate string object!");
    }
    return py::reinterpret_steal<py::object>(s);
}

class Converter {
public:
    explicit Converter(const SpatialReference& sr) : sr_(sr) {}

    py::object convert(const value_t& value, int depth) {
        // Scalars convert by the value union's own casting rules.
        if (value.index() <= kBlobIndex) return cast_value(value);
        if (depth >= kMaxValueDepth) throw std::invalid_argument("Value is nested too deeply to convert.");
        switch (value.index()) {
            case kGeometryIndex: {
                const auto& g = std::get<kGeometryIndex>(value);
                if (!g) return py::none();
                return geometry_to_json(*g, sr_);
            }
            case kObjectIndex: {
                const auto& o = std::get<kObjectIndex>(value);
                if (!o) return py::none();
                py::object dict = new_dict();
                set_item(dict, names().object_type, borrow(names().word_object));
                set_item(dict, names().properties, properties(o->properties, depth));
                return dict;
            }
            case kEntityIndex: {
                const auto& e = std::get<kEntityIndex>(value);
                if (!e) return py::none();
                return entity(*e, depth);
            }
            case kRelationshipIndex: {
                const auto& r = std::get<kRelationshipIndex>(value);
                if (!r) return py::none();
                return relationship(*r, depth);
            }
            case kPathIndex: {
                const auto& p = std::get<kPathIndex>(value);
                if (!p) return py::none();
                return path(*p, depth);
            }
            case kArrayIndex: {
                const auto& a = std::get<kArrayIndex>(value);
                if (!a) return py::none();
                const std::size_t n = a->values.size();
                py::object list = new_list(n);
                for (std::size_t i = 0; i < n; ++i) {
                    // Only Python code (uuid.UUID) runs meanwhile; should it
                    // shrink the array, fail rather than leave empty slots.
                    if (i >= a->values.size()) throw std::runtime_error("Array changed during conversion.");
                    PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i),
                                    convert(a->values[i], depth + 1).release().ptr());
                }
                return list;
            }
            default:
                break;
        }
        return py::none();
    }

private:
    const SpatialReference& sr_;

    static py::object borrow(PyObject* obj) { return py::reinterpret_borrow<py::object>(obj); }

    py::object properties(const KeyValueList& list, int depth) {
        py::object dict = new_dict();
        for (const auto& pair : list.pairs) {
            py::object key = key_to_python(pair.first);
            // Repeated keys: the last value wins, the first position stays.
            set_item(dict, key.ptr(), convert(pair.second, depth + 1));
        }
        return dict;
    }

    py::object entity(const EntityValue& e, int depth) {
        py::object dict = new_dict();
        set_item(dict, names().object_type, borrow(names().word_entity));
        set_item(dict, names().type_name, type_name_to_python(e.type_name));
        set_item(dict, names().id, convert(e.id, depth + 1));
        set_item(dict, names().properties, properties(e.properties, depth));
        return dict;
    }

    py::object relationship(const RelationshipValue& r, int depth) {
        py::object dict = new_dict();
        set_item(dict, names().object_type, borrow(names().word_relationship));
        set_item(dict, names().type_name, type_name_to_python(r.type_name));
        set_item(dict, names().id, convert(r.id, depth + 1));
        set_item(dict, names().origin_id, convert(r.origin_entity_id, depth + 1));
        set_item(dict, names().destination_id, convert(r.destination_entity_id, depth + 1));
        set_item(dict, names().properties, properties(r.properties, depth));
        return dict;
    }

    py::object path(const PathValue& p, int depth) {
        py::object dict = new_dict();
        set_item(dict, names().object_type, borrow(names().word_path));
        const std::size_t entities = p.entities.size();
        const std::size_t relationships = p.relationships.size();
        py::object list = new_list(entities + relationships);
        if (entities != relationships + 1)
            throw std::invalid_argument(
                "Path value had an incorrect number of entities vs number of relationships.");
        for (std::size_t i = 0; i < entities; ++i) {
            py::object item = p.entities[i] ? entity(*p.entities[i], depth + 1) : py::none();
            PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(2 * i), item.release().ptr());
            if (i < relationships) {
                py::object rel = p.relationships[i] ? relationship(*p.relationships[i], depth + 1) : py::none();
                PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(2 * i + 1), rel.release().ptr());
            }
        }
        set_item(dict, names().path, list);
        return dict;
    }
};

}  // namespace

py::object to_python(const value_t& value, const SpatialReference& sr) {
    Converter converter(sr);
    return converter.convert(value, 0);
}

}  // namespace tk
