// Every rule here mirrors a rule of the value codec's decoding followed by
// to_python: the order in which keys are inserted and conversions run (so
// that the same error comes first), the depth limit, the NUL-terminated
// names, the geometry dictionaries.
#include "module/py_rows.h"

#include <cstring>
#include <stdexcept>
#include <utility>

#include "geometry/geometry_layout.h"
#include "module/py_geometry.h"
#include "module/py_keys.h"
#include "module/py_value.h"
#include "values/value.h"

namespace tk {

namespace {

using wire::FieldReader;
using wire::Span;
using wire::Spans;
using wire::ValueKind;
using wire::ValueRef;

py::object steal(PyObject* o) {
    if (!o) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(o);
}

py::object borrow(PyObject* o) { return py::reinterpret_borrow<py::object>(o); }

bool is_ascii(const char* p, std::size_t n) {
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        std::memcpy(&w, p + i, 8);
        if (w & 0x8080808080808080ull) return false;
    }
    for (; i < n; ++i)
        if (static_cast<unsigned char>(p[i]) >= 0x80) return false;
    return true;
}

// str from UTF-8 bytes, strictly decoded (the result of utf8_to_python).
py::object utf8_str(const char* p, std::size_t n) {
    if (is_ascii(p, n)) {
        PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(n), 127);
        if (!s) throw py::error_already_set();
        if (n) std::memcpy(PyUnicode_DATA(s), p, n);  // p may be null when n is 0
        return py::reinterpret_steal<py::object>(s);
    }
    return steal(PyUnicode_DecodeUTF8(p, static_cast<Py_ssize_t>(n), "strict"));
}

std::size_t text_length(Span s) {
    if (s.empty()) return 0;                                 // an absent field is a null span: memchr needs a pointer
    const void* nul = std::memchr(s.begin, '\0', s.size());  // NOLINT(bugprone-not-null-terminated-result)
    return nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - s.begin) : s.size();
}

// Dictionaries get their keys in the order to_python inserts them.
void set(const py::object& dict, PyObject* key, const py::object& value) {
    if (PyDict_SetItem(dict.ptr(), key, value.ptr()) != 0) throw py::error_already_set();
}

py::object new_dict_for(Py_ssize_t keys) {
    PyObject* d = _PyDict_NewPresized(keys);
    if (!d) {
        PyErr_Clear();
        throw std::runtime_error("Could not allocate dict object!");
    }
    return py::reinterpret_steal<py::object>(d);
}

py::object new_list_of(std::size_t n) {
    PyObject* l = PyList_New(static_cast<Py_ssize_t>(n));
    if (!l) {
        PyErr_Clear();
        throw std::runtime_error("Could not allocate list object!");
    }
    return py::reinterpret_steal<py::object>(l);
}

void put(const py::object& list, std::size_t i, py::object&& item) {
    PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i), item.release().ptr());
}

py::object float_of(double d) { return steal(PyFloat_FromDouble(d)); }

py::object datetime_of(int64_t ms) { return time_point_to_python(time_point_t(ticks_t(ms * kTicksPerMillisecond))); }

class Builder {
public:
    explicit Builder(RowContext& c) : c_(c) {}

    py::object value(const Spans& any, int depth) {
        if (any.count() == 1) {
            py::object out;
            if (value_direct(any.at(0), depth, out)) return out;
        }
        ValueRef v;
        wire::resolve_value(any, c_.refused, v);
        return value_of(v, depth);
    }

private:
    RowContext& c_;
    geometry_t scratch_;
    py::object spatial_reference_;  // the dict every geometry of the row copies

    // The way every encoder writes a value, read straight from its bytes:
    // a scalar, or an entity alone in its AnyValue. False (nothing read) for
    // anything else, which the general resolution handles.
    bool value_direct(Span any, int depth, py::object& out) {
        if (!any.empty() && static_cast<uint8_t>(*any.begin) == ((4u << 3) | wire::kLengthDelimited)) {
            const char* p = any.begin + 1;
            Span inner;
            if (wire::read_span(p, any.end, inner) && p == any.end) return entity_direct(inner, depth, out);
            return false;
        }
        ValueRef v;
        if (!wire::resolve_scalar_value(any, v)) return false;
        out = value_of(v, depth);
        return true;
    }

    // An entity in one span: label, id and property keys found in one walk
    // (an empty key makes the whole entity null, before anything converts).
    bool entity_direct(Span body, int depth, py::object& out) {
        const Spans spans(body);
        wire::EntityRef ref;
        FieldReader reader(spans);
        wire::Field f;
        while (reader.next(f)) {
            if (f.wire_type != wire::kLengthDelimited) continue;
            if (f.number == 1) {
                ref.label = f.data;
            } else if (f.number == 3) {
                ref.has_id = true;
                ref.id.add(f.data);
            } else if (f.number == wire::kEntityProperties && !key_present(f.data)) {
                out = py::none();
                return true;
            }
        }
        if (depth >= kMaxValueDepth) throw std::invalid_argument("Value is nested too deeply to convert.");
        out = entity_of(ref, spans, depth);
        return true;
    }

    // Whether a KeyValuePair's last key is non-empty.
    static bool key_present(Span pair) {
        const Spans one(pair);
        FieldReader reader(one);
        wire::Field f;
        Span key;
        while (reader.next(f))
            if (f.number == 1 && f.wire_type == wire::kLengthDelimited) key = f.data;
        return !key.empty();
    }

    py::object value_of(ValueRef& v, int depth) {
        if (wire::is_compound(v.kind) && depth >= kMaxValueDepth)
            throw std::invalid_argument("Value is nested too deeply to convert.");
        switch (v.kind) {
            case ValueKind::Null:
                return py::none();
            case ValueKind::Bool:
                return borrow(v.b ? Py_True : Py_False);
            case ValueKind::Int64:
                return steal(PyLong_FromLongLong(v.i));
            case ValueKind::Float:
            case ValueKind::Double:
                return float_of(v.d);
            case ValueKind::Uuid:
                return make_uuid(reinterpret_cast<const unsigned char*>(v.bytes.begin));
            case ValueKind::DateTime:
                return datetime_of(v.i);
            case ValueKind::String:
                return utf8_str(v.bytes.begin, v.bytes.size());
            case ValueKind::Blob:
                return steal(PyBytes_FromStringAndSize(v.bytes.begin, static_cast<Py_ssize_t>(v.bytes.size())));
            case ValueKind::Geometry:
                return geometry(v.body);
            case ValueKind::Object: {
                if (v.empty) return py::none();
                py::object dict = new_dict_for(2);
                set(dict, keys().object_type, borrow(keys().word_object));
                set(dict, keys().value_properties, properties(v.body, wire::kObjectProperties, depth));
                return dict;
            }
            case ValueKind::Entity:
                return entity(v.body, depth);
            case ValueKind::Relationship:
                return relationship(v.body, depth);
            case ValueKind::Path:
                if (v.empty) return py::none();
                return path(v.body, depth);
            case ValueKind::Array:
                if (v.empty) return py::none();
                return array(v, depth);
        }
        return py::none();
    }

    py::object properties(const Spans& message, uint32_t field, int depth) {
        py::object dict = new_dict_for(0);
        wire::for_each_property(message, field, [&](const wire::PairRef& pair) {
            py::object key = c_.names.get(pair.key);
            py::object v = pair.has_value ? value(pair.value, depth + 1) : py::none();
            // Repeated keys: the last value wins, the first position stays.
            set(dict, key.ptr(), v);
        });
        return dict;
    }

    py::object entity(const Spans& body, int depth) {
        wire::EntityRef ref;
        wire::resolve_entity(body, ref);
        return entity_of(ref, body, depth);
    }

    py::object entity_of(const wire::EntityRef& ref, const Spans& body, int depth) {
        py::object dict = new_dict_for(4);
        set(dict, keys().object_type, borrow(keys().word_entity));
        set(dict, keys().type_name, c_.names.get(ref.label));
        set(dict, keys().id, ref.has_id ? value(ref.id, depth + 1) : py::none());
        set(dict, keys().value_properties, properties(body, wire::kEntityProperties, depth));
        return dict;
    }

    py::object relationship(const Spans& body, int depth) {
        wire::RelationshipRef ref;
        wire::resolve_relationship(body, ref);
        py::object dict = new_dict_for(6);
        set(dict, keys().object_type, borrow(keys().word_relationship));
        set(dict, keys().type_name, c_.names.get(ref.type));
        set(dict, keys().id, ref.has_id ? value(ref.id, depth + 1) : py::none());
        const bool origin = ref.has_ends && !ref.origin.empty();
        const bool destination = ref.has_ends && !ref.destination.empty();
        set(dict, keys().origin_id, origin ? value(ref.origin, depth + 1) : py::none());
        set(dict, keys().destination_id, destination ? value(ref.destination, depth + 1) : py::none());
        set(dict, keys().value_properties, properties(body, wire::kRelationshipProperties, depth));
        return dict;
    }

    py::object path(const Spans& body, int depth) {
        py::object dict = new_dict_for(2);
        set(dict, keys().object_type, borrow(keys().word_path));
        const int64_t entities = wire::count_fields(body, wire::kPathEntities);
        const int64_t relationships = wire::count_fields(body, wire::kPathRelationships);
        py::object list = new_list_of(static_cast<std::size_t>(entities + relationships));
        wire::MessageCursor es(body, wire::kPathEntities);
        wire::MessageCursor rs(body, wire::kPathRelationships);
        Span s;
        for (std::size_t i = 0; es.next(s); ++i) {
            put(list, 2 * i, entity(Spans(s), depth + 1));
            if (rs.next(s)) put(list, 2 * i + 1, relationship(Spans(s), depth + 1));
        }
        set(dict, keys().path, list);
        return dict;
    }

    // A geometry element of an array: null unless it holds a default
    // geometry, and then a compound value one level down.
    py::object geometry_element(const Spans& g, int depth) {
        if (!wire::read_geometry(g, scratch_)) return py::none();
        if (depth >= kMaxValueDepth) throw std::invalid_argument("Value is nested too deeply to convert.");
        return geometry_from_scratch();
    }

    py::object array(const ValueRef& v, int depth) {
        const auto n = static_cast<std::size_t>(wire::count_elements(v));
        py::object list = new_list_of(n);
        std::size_t i = 0;
        // Fills slot i; never past n (the element count was taken from the
        // same bytes).
        auto add = [&list, &i, n](py::object&& item) {
            if (i < n) put(list, i++, std::move(item));
        };
        switch (v.member) {
            case wire::kAnyValues:
                wire::for_each_element_bytes(v.body, [&](Span s) { add(value(Spans(s), depth + 1)); });
                break;
            case wire::kStringValues:
                wire::for_each_element_bytes(v.body, [&](Span s) { add(utf8_str(s.begin, s.size())); });
                break;
            case wire::kBlobValues:
                wire::for_each_element_bytes(v.body, [&](Span s) {
                    add(steal(PyBytes_FromStringAndSize(s.begin, static_cast<Py_ssize_t>(s.size()))));
                });
                break;
            case wire::kGeometryValues:
                wire::for_each_element_bytes(v.body, [&](Span s) { add(geometry_element(Spans(s), depth + 1)); });
                break;
            case wire::kNullValues:
                for (std::size_t k = 0; k < n; ++k) add(py::none());
                break;
            case wire::kUuidValues:
                for (const char* p = v.bytes.begin; p + 16 <= v.bytes.end; p += 16)
                    add(make_uuid(reinterpret_cast<const unsigned char*>(p)));
                break;
            default: {
                const uint32_t m = v.member;
                wire::for_each_element(v.body, wire::element_width(m), [&add, m](uint64_t raw) {
                    switch (m) {
                        case wire::kFloatValues:
                        case wire::kDoubleFloatValues:
                            add(float_of(static_cast<double>(wire::as_float(static_cast<uint32_t>(raw)))));
                            break;
                        case wire::kFloatIntValues:
                            add(float_of(
                                static_cast<double>(static_cast<float>(wire::zigzag32(static_cast<uint32_t>(raw))))));
                            break;
                        case wire::kDoubleValues:
                            add(float_of(wire::as_double(raw)));
                            break;
                        case wire::kDoubleIntValues:
                            add(float_of(static_cast<double>(wire::zigzag64(raw))));
                            break;
                        case wire::kInt64Values:
                            add(steal(PyLong_FromLongLong(wire::zigzag64(raw))));
                            break;
                        case wire::kBoolValues:
                            add(borrow(raw != 0 ? Py_True : Py_False));
                            break;
                        case wire::kDatetimeValues: {
                            const auto ms = static_cast<int64_t>(raw);
                            int64_t ticks;
                            if (__builtin_mul_overflow(ms, kTicksPerMillisecond, &ticks))
                                add(py::none());
                            else
                                add(datetime_of(ms));
                            break;
                        }
                        default:
                            add(py::none());
                            break;
                    }
                });
                break;
            }
        }
        // Only if the count and the walk ever disagreed: no empty slots.
        for (; i < n; ++i) put(list, i, py::none());
        return list;
    }

    py::object geometry(const Spans& body) {
        wire::read_geometry(body, scratch_);
        return geometry_from_scratch();
    }

    py::object point(const double* c, std::size_t d) {
        py::object p = new_list_of(d);
        for (std::size_t k = 0; k < d; ++k) put(p, k, float_of(c[k]));
        return p;
    }

    py::object points(const geometry_t& g, std::size_t count, std::size_t& vertex) {
        const auto d = static_cast<std::size_t>(g.vertex_dimension());
        py::object list = new_list_of(count);
        for (std::size_t i = 0; i < count; ++i, ++vertex) put(list, i, point(g.coords.data() + vertex * d, d));
        return list;
    }

    // geometry_to_json of the dequantized scratch geometry.
    py::object geometry_from_scratch() {
        geometry_t& g = scratch_;
        dequantize(g, c_.transform);
        const vexoGeometryType type = g.geometry_type;
        if (type != vexoGeometryPoint && type != vexoGeometryMultipoint && type != vexoGeometryPolyline &&
            type != vexoGeometryPolygon)
            throw std::invalid_argument("Unknown or unsupported geometry type.");
        check_layout(g, LayoutCheck::json);
        const Keys& k = keys();
        py::object out = new_dict_for(6);
        if (type == vexoGeometryPoint) {
            const double* c = g.coords.data();
            set(out, k.x, float_of(c[0]));
            set(out, k.y, float_of(c[1]));
            if (g.has_z) set(out, k.z, float_of(c[2]));
            if (g.has_m) set(out, k.m, float_of(c[g.has_z ? 3 : 2]));
        } else {
            if (g.has_z) set(out, k.has_z, borrow(Py_True));
            if (g.has_m) set(out, k.has_m, borrow(Py_True));
            std::size_t vertex = 0;
            if (type == vexoGeometryMultipoint) {
                set(out, k.points, points(g, static_cast<std::size_t>(g.lengths[0]), vertex));
            } else {
                py::object parts = new_list_of(g.lengths.size());
                for (std::size_t i = 0; i < g.lengths.size(); ++i)
                    put(parts, i, points(g, static_cast<std::size_t>(g.lengths[i]), vertex));
                set(out, type == vexoGeometryPolygon ? k.rings : k.paths, parts);
            }
        }
        if (c_.spatial_reference.is_set()) {
            if (!spatial_reference_) spatial_reference_ = spatial_reference_to_dict(c_.spatial_reference);
            set(out, k.spatial_reference, steal(PyDict_Copy(spatial_reference_.ptr())));
        }
        set(out, k.object_type, borrow(k.word_geometry));
        return out;
    }
};

// The standard uuid.UUID and what its instances are made of, looked up on
// first use (under the GIL) and kept.
struct UuidParts {
    PyObject* module = nullptr;
    PyObject* cls = nullptr;
    PyObject* init = nullptr;
    PyObject* safe_unknown = nullptr;
    PyObject* name_uuid = nullptr;
    PyObject* name_init = nullptr;
    PyObject* name_int = nullptr;
    PyObject* name_is_safe = nullptr;
    PyObject* kwnames = nullptr;  // ("int",)
    bool fast = false;            // the class looks as the standard library makes it
};

const UuidParts& uuid_parts() {
    static UuidParts* parts = nullptr;
    if (parts) return *parts;
    auto* p = new UuidParts;  // kept for the life of the process
    py::module_ uuid = py::module_::import("uuid");
    p->module = uuid.release().ptr();
    p->name_uuid = intern_string("UUID");
    p->name_init = intern_string("__init__");
    p->name_int = intern_string("int");
    p->name_is_safe = intern_string("is_safe");
    p->kwnames = steal(PyTuple_Pack(1, p->name_int)).release().ptr();
    // The class of the module's own constants: the standard class even when
    // uuid.UUID has been replaced by now.
    PyObject* constant = PyObject_GetAttrString(p->module, "NAMESPACE_DNS");
    if (!constant) throw py::error_already_set();
    PyObject* cls = reinterpret_cast<PyObject*>(Py_TYPE(constant));
    Py_INCREF(cls);
    Py_DECREF(constant);
    p->cls = cls;
    if (PyType_Check(cls)) {
        PyObject* init = PyDict_GetItemWithError(reinterpret_cast<PyTypeObject*>(cls)->tp_dict, p->name_init);
        PyObject* safe = PyObject_GetAttrString(p->module, "SafeUUID");
        PyObject* unknown = safe ? PyObject_GetAttrString(safe, "unknown") : nullptr;
        Py_XDECREF(safe);
        if (init && unknown) {
            Py_INCREF(init);
            p->init = init;
            p->safe_unknown = unknown;
            p->fast = true;
        } else {
            Py_XDECREF(unknown);
        }
        PyErr_Clear();
    }
    parts = p;
    return *parts;
}

}  // namespace

py::object make_uuid(const unsigned char* bytes) {
    const UuidParts& u = uuid_parts();
    py::object as_int = steal(_PyLong_FromByteArray(bytes, 16, /*little_endian=*/0, /*is_signed=*/0));
    py::object current = steal(PyObject_GetAttr(u.module, u.name_uuid));
    if (u.fast && current.ptr() == u.cls &&
        PyDict_GetItemWithError(reinterpret_cast<PyTypeObject*>(u.cls)->tp_dict, u.name_init) == u.init) {
        // What UUID.__init__(int=...) leaves: the two slots, set past the
        // class's refusing __setattr__ as __init__ itself does.
        auto* type = reinterpret_cast<PyTypeObject*>(u.cls);
        py::object obj = steal(type->tp_alloc(type, 0));
        if (PyObject_GenericSetAttr(obj.ptr(), u.name_int, as_int.ptr()) != 0 ||
            PyObject_GenericSetAttr(obj.ptr(), u.name_is_safe, u.safe_unknown) != 0)
            throw py::error_already_set();
        return obj;
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    if (!PyCallable_Check(current.ptr())) throw py::type_error("uuid.UUID is not callable");
    PyObject* args[] = {as_int.ptr()};
    return steal(PyObject_Vectorcall(current.ptr(), args, 0, u.kwnames));
}

NameCache::~NameCache() {
    if (!Py_IsInitialized()) return;
    for (auto& slot : slots_) Py_XDECREF(slot.str);
}

py::object NameCache::get(wire::Span name) {
    const std::size_t n = text_length(name);
    if (n > kMaxCached) return utf8_str(name.begin, n);
    // FNV-1a over the name's bytes.
    uint64_t h = 1469598103934665603ull;
    for (std::size_t i = 0; i < n; ++i) h = (h ^ static_cast<unsigned char>(name.begin[i])) * 1099511628211ull;
    Slot& slot = slots_[(h ^ (h >> 29)) % kSlots];
    if (slot.str && slot.bytes.size() == n && (n == 0 || std::memcmp(slot.bytes.data(), name.begin, n) == 0))
        return borrow(slot.str);
    py::object s = utf8_str(name.begin, n);
    Py_XDECREF(slot.str);
    slot.str = nullptr;
    slot.bytes.assign(name.begin, n);
    slot.str = py::object(s).release().ptr();
    return s;
}

py::object row_to_python(wire::Span row, std::size_t width, RowContext& context) {
    Builder builder(context);
    py::object list = new_list_of(width);
    const Spans spans(row);
    wire::MessageCursor values(spans, 1);
    Span s;
    std::size_t i = 0;
    for (; i < width && values.next(s); ++i) put(list, i, builder.value(Spans(s), 0));
    for (; i < width; ++i) put(list, i, py::none());
    return list;
}

}  // namespace tk
