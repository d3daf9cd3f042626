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
    PyObject* s = shared_str(name.data(), text_length(name));
    if (!s) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(s);
}

py::object key_to_python(const std::string& key) {
    PyObject* s = shared_str(key.data(), text_length(key));
    if (!s) {
        PyErr_Clear();
        throw std::runtime_error("Could not allocate string object!");
    }
    return py::reinterpret_steal<py::object>(s);
}

// Python code can run in the middle of a conversion: a replaced uuid.UUID,
// or a garbage collection started by a new list or dict, with its callbacks
// and finalizers. It may change any value being converted. So every
// compound is held by its own pointer while it is walked, its sequences are
// indexed afresh at every step, and an element is read only before such
// code can run.
class Converter {
public:
    explicit Converter(const SpatialReference& sr) : sr_(sr) {}

    py::object convert(const value_t& value, int depth) {
        // Scalars convert by the value union's own casting rules (which
        // copy a UUID before calling into Python).
        if (value.index() <= kBlobIndex) return cast_value(value);
        if (depth >= kMaxValueDepth) throw std::invalid_argument("Value is nested too deeply to convert.");
        switch (value.index()) {
            case kGeometryIndex: {
                const auto g = std::get<kGeometryIndex>(value);
                if (!g) return py::none();
                return geometry_to_json(*g, sr_);
            }
            case kObjectIndex: {
                const auto o = std::get<kObjectIndex>(value);
                if (!o) return py::none();
                py::object dict = new_dict();
                dict_set(dict, keys().object_type, borrow(keys().word_object));
                dict_set(dict, keys().value_properties, properties(o->properties, depth));
                return dict;
            }
            case kEntityIndex: {
                const auto e = std::get<kEntityIndex>(value);
                if (!e) return py::none();
                return entity(*e, depth);
            }
            case kRelationshipIndex: {
                const auto r = std::get<kRelationshipIndex>(value);
                if (!r) return py::none();
                return relationship(*r, depth);
            }
            case kPathIndex: {
                const auto p = std::get<kPathIndex>(value);
                if (!p) return py::none();
                return path(*p, depth);
            }
            case kArrayIndex: {
                const auto a = std::get<kArrayIndex>(value);
                if (!a) return py::none();
                if (a->values.packed()) return cast_value_list(a->values);  // floats only
                const std::size_t n = a->values.size();
                py::object list = new_list(n);
                for (std::size_t i = 0; i < n; ++i) {
                    // Should Python code shrink the array meanwhile, fail
                    // rather than leave empty slots; growth is not followed.
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
        for (std::size_t i = 0; i < list.pairs.size(); ++i) {
            py::object key = key_to_python(list.pairs[i].first);
            // Repeated keys: the last value wins, the first position stays.
            py::object value = convert(list.pairs[i].second, depth + 1);
            dict_set(dict, key.ptr(), value);
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
        if (entities != relationships + 1)
            throw std::invalid_argument("Path value had an incorrect number of entities vs number of relationships.");
        py::object list = new_list(entities + relationships);
        for (std::size_t i = 0; i < entities; ++i) {
            if (i >= p.entities.size() || (i < relationships && i >= p.relationships.size()))
                throw std::runtime_error("Path changed during conversion.");
            const std::shared_ptr<EntityValue> e = p.entities[i];
            list_set(list, 2 * i, e ? entity(*e, depth + 1) : py::none());
            if (i < relationships) {
                const std::shared_ptr<RelationshipValue> r = p.relationships[i];
                list_set(list, 2 * i + 1, r ? relationship(*r, depth + 1) : py::none());
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
