// Values as plain Python structures. Query results run through here once per
// cell, so dicts and lists are built with the C API and the fixed keys are
// interned once.
#include "module/to_python.h"

#include <cstring>
#include <stdexcept>

#include "module/py_geometry.h"
#include "module/py_keys.h"

namespace tk {

namespace {

// Names stop at the first NUL byte.
std::size_t text_length(const std::string& s) {
    // A search, not a copy: there is no terminator to include.
    const void* nul = std::memchr(s.data(), '\0', s.size());  // NOLINT(bugprone-not-null-terminated-result)
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
                dict_set(dict, keys().object_type, borrow(keys().word_object));
                dict_set(dict, keys().value_properties, properties(o->properties, depth));
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
                    list_set(list, i, convert(a->values[i], depth + 1));
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
            dict_set(dict, key.ptr(), convert(pair.second, depth + 1));
        }
        return dict;
    }

    py::object entity(const EntityValue& e, int depth) {
        py::object dict = new_dict();
        dict_set(dict, keys().object_type, borrow(keys().word_entity));
        dict_set(dict, keys().type_name, type_name_to_python(e.type_name));
        dict_set(dict, keys().id, convert(e.id, depth + 1));
        dict_set(dict, keys().value_properties, properties(e.properties, depth));
        return dict;
    }

    py::object relationship(const RelationshipValue& r, int depth) {
        py::object dict = new_dict();
        dict_set(dict, keys().object_type, borrow(keys().word_relationship));
        dict_set(dict, keys().type_name, type_name_to_python(r.type_name));
        dict_set(dict, keys().id, convert(r.id, depth + 1));
        dict_set(dict, keys().origin_id, convert(r.origin_entity_id, depth + 1));
        dict_set(dict, keys().destination_id, convert(r.destination_entity_id, depth + 1));
        dict_set(dict, keys().value_properties, properties(r.properties, depth));
        return dict;
    }

    py::object path(const PathValue& p, int depth) {
        py::object dict = new_dict();
        dict_set(dict, keys().object_type, borrow(keys().word_path));
        const std::size_t entities = p.entities.size();
        const std::size_t relationships = p.relationships.size();
        py::object list = new_list(entities + relationships);
        if (entities != relationships + 1)
            throw std::invalid_argument("Path value had an incorrect number of entities vs number of relationships.");
        for (std::size_t i = 0; i < entities; ++i) {
            py::object item = p.entities[i] ? entity(*p.entities[i], depth + 1) : py::none();
            list_set(list, 2 * i, std::move(item));
            if (i < relationships) {
                py::object rel = p.relationships[i] ? relationship(*p.relationships[i], depth + 1) : py::none();
                list_set(list, 2 * i + 1, std::move(rel));
            }
        }
        dict_set(dict, keys().path, list);
        return dict;
    }
};

}  // namespace

py::object to_python(const value_t& value, const SpatialReference& sr) {
    Converter converter(sr);
    return converter.convert(value, 0);
}

}  // namespace tk
