#include "module/py_value.h"

#include "module/py_keys.h"

#include <pybind11/stl.h>
#include <structmember.h>

#include <cstring>
#include <stdexcept>
#include <utility>

namespace tk {

namespace {

bool is_numpy_bool(PyObject* obj) {
    const char* name = Py_TYPE(obj)->tp_name;
    return std::strcmp(name, "numpy.bool_") == 0 || std::strcmp(name, "numpy.bool") == 0;
}

bool load_index(PyObject* obj, value_t& out) {
    PyObject* index = PyNumber_Index(obj);
    if (!index) {
        PyErr_Clear();
        return false;
    }
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(index, &overflow);
    Py_DECREF(index);
    if (overflow != 0) {
        // Never silently a float or a null: the caller must know.
        throw std::overflow_error("Python int too large to convert to a 64-bit integer value");
    }
    if (v == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    out = static_cast<int64_t>(v);
    return true;
}

bool has_numeric_slot(PyObject* obj, bool want_float) {
    PyNumberMethods* nb = Py_TYPE(obj)->tp_as_number;
    if (!nb) return false;
    return want_float ? nb->nb_float != nullptr : nb->nb_int != nullptr;
}

template <class T>
bool load_shared(PyObject* src, value_t& out) {
    // A cheap type test first: a failed holder load raises and clears a
    // Python error, which would cost every non-matching value a microsecond.
    static const py::detail::type_info* info = nullptr;  // written under the GIL
    if (!info) info = py::detail::get_type_info(typeid(T));
    if (!info || !PyObject_TypeCheck(src, info->type)) return false;
    py::detail::make_caster<std::shared_ptr<T>> caster;
    if (!caster.load(src, false)) return false;
    out = py::detail::cast_op<std::shared_ptr<T>>(std::move(caster));
    return true;
}

bool load_bound(PyObject* src, value_t& out) {
    return load_shared<geometry_t>(src, out) || load_shared<ObjectValue>(src, out) ||
           load_shared<EntityValue>(src, out) || load_shared<RelationshipValue>(src, out) ||
           load_shared<PathValue>(src, out) || load_shared<ArrayValue>(src, out);
}

// ---- uuid.UUID ----
//
// uuid.UUID keeps its number in the slot "int" (and "is_safe"); calling the
// class runs its Python __init__, and reading .bytes runs a Python property.
// While uuid.UUID is still the class first seen, with its own __init__ and
// bytes, a UUID is built and read through those slots directly: the same
// object Python would make, at a fraction of the cost. Anything else (a
// replaced uuid.UUID, a patched class) takes the documented Python way.
struct UuidClass {
    PyObject* modules = nullptr;       // sys.modules
    PyObject* module = nullptr;        // the uuid module first imported
    PyObject* module_dict = nullptr;   // its namespace
    PyTypeObject* type = nullptr;      // uuid.UUID as first seen
    PyObject* init = nullptr;          // its __init__
    PyObject* bytes = nullptr;         // its bytes property
    PyObject* safe_unknown = nullptr;  // uuid.SafeUUID.unknown, __init__'s default
    Py_ssize_t int_offset = -1;
    Py_ssize_t is_safe_offset = -1;
    PyObject* name_uuid = nullptr;
    PyObject* name_UUID = nullptr;
    PyObject* name_init = nullptr;
    PyObject* name_bytes = nullptr;
    PyObject* name_new = nullptr;
    bool slots = false;  // the slot layout is known
    // The class's version tag when its dict last passed the check. CPython
    // drops a type's tag on every change to the type (and never hands the
    // same tag out again), so while the tag stands, the dict is as checked.
    unsigned int checked_tag = 0;
};

#ifdef Py_T_OBJECT_EX
constexpr int kObjectSlot = Py_T_OBJECT_EX;
#else
constexpr int kObjectSlot = T_OBJECT_EX;
#endif

// The offset of an object slot member of type, or -1.
Py_ssize_t slot_offset(PyTypeObject* type, const char* name) {
    PyObject* descr = PyDict_GetItemString(type->tp_dict, name);
    if (!descr || Py_TYPE(descr) != &PyMemberDescr_Type) return -1;
    const PyMemberDef* member = reinterpret_cast<PyMemberDescrObject*>(descr)->d_member;
    if (!member || member->type != kObjectSlot || member->offset <= 0) return -1;
    return member->offset;
}

UuidClass& uuid_class() {
    static UuidClass* c = nullptr;  // written once under the GIL, never freed
    if (c) return *c;
    auto* u = new UuidClass;
    u->name_uuid = intern_string("uuid");
    u->name_UUID = intern_string("UUID");
    u->name_init = intern_string("__init__");
    u->name_bytes = intern_string("bytes");
    u->name_new = intern_string("__new__");
    u->modules = PyImport_GetModuleDict();
    py::module_ module = py::module_::import("uuid");
    py::object type = module.attr("UUID");
    if (PyType_Check(type.ptr())) {
        u->type = reinterpret_cast<PyTypeObject*>(type.ptr());
        u->int_offset = slot_offset(u->type, "int");
        u->is_safe_offset = slot_offset(u->type, "is_safe");
        u->init = PyDict_GetItemWithError(u->type->tp_dict, u->name_init);
        u->bytes = PyDict_GetItemWithError(u->type->tp_dict, u->name_bytes);
        PyErr_Clear();
        py::object safe = py::getattr(module, "SafeUUID", py::none());
        py::object unknown = safe.is_none() ? py::object() : py::getattr(safe, "unknown", py::none());
        const bool plain = !PyDict_GetItemWithError(u->type->tp_dict, u->name_new) && !PyErr_Occurred();
        PyErr_Clear();
        u->slots = plain && u->int_offset > 0 && u->is_safe_offset > 0 && u->init && u->bytes && unknown &&
                   !unknown.is_none() && u->type->tp_itemsize == 0;
        if (u->slots) {
            Py_INCREF(u->init);
            Py_INCREF(u->bytes);
            u->safe_unknown = unknown.release().ptr();
        }
        type.release();
    }
    u->module = module.release().ptr();
    u->module_dict = PyModule_GetDict(u->module);
    c = u;
    return *c;
}

// True while uuid.UUID is still the class first seen, unchanged.
bool uuid_class_intact(UuidClass& c) {
    if (!c.slots) return false;
    PyObject* module = PyDict_GetItemWithError(c.modules, c.name_uuid);
    if (module != c.module) return (PyErr_Clear(), false);
    if (PyDict_GetItemWithError(c.module_dict, c.name_UUID) != reinterpret_cast<PyObject*>(c.type))
        return (PyErr_Clear(), false);
    const PyTypeObject* type = c.type;
    const bool tagged = (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) && type->tp_version_tag != 0;
    if (tagged && type->tp_version_tag == c.checked_tag) return true;
    PyObject* dict = type->tp_dict;
    const bool same = PyDict_GetItemWithError(dict, c.name_init) == c.init &&
                      PyDict_GetItemWithError(dict, c.name_bytes) == c.bytes &&
                      !PyDict_GetItemWithError(dict, c.name_new);
    PyErr_Clear();
    c.checked_tag = same && tagged ? type->tp_version_tag : 0;
    return same;
}

PyObject*& slot(PyObject* obj, Py_ssize_t offset) {
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offset);
}

bool uuid_bytes_from_int(PyObject* number, uuid_t& out) {
#if PY_VERSION_HEX >= 0x030D0000
    const int rc = _PyLong_AsByteArray(reinterpret_cast<PyLongObject*>(number), out.bytes.data(), 16,
                                       /*little_endian=*/0, /*is_signed=*/0, /*with_exceptions=*/1);
#else
    const int rc = _PyLong_AsByteArray(reinterpret_cast<PyLongObject*>(number), out.bytes.data(), 16,
                                       /*little_endian=*/0, /*is_signed=*/0);
#endif
    if (rc != 0) {
        PyErr_Clear();
        return false;
    }
    return true;
}

// Anything whose attribute "bytes" exposes exactly 16 bytes (uuid.UUID does).
bool load_uuid(PyObject* obj, value_t& out) {
    UuidClass& c = uuid_class();
    if (Py_TYPE(obj) == c.type && uuid_class_intact(c)) {
        // .bytes is int.to_bytes(16, "big"): read the number without the
        // property's Python code.
        PyObject* number = slot(obj, c.int_offset);
        uuid_t u;
        if (number && PyLong_CheckExact(number) && uuid_bytes_from_int(number, u)) {
            out = u;
            return true;
        }
    }
    PyObject* attr = PyObject_GetAttr(obj, c.name_bytes);
    if (!attr) {
        PyErr_Clear();
        return false;
    }
    bool ok = false;
    Py_buffer view;
    if (PyObject_GetBuffer(attr, &view, PyBUF_SIMPLE) == 0) {
        if (view.len == 16) {
            uuid_t u;
            std::memcpy(u.bytes.data(), view.buf, 16);
            out = u;
            ok = true;
        }
        PyBuffer_Release(&view);
    } else {
        PyErr_Clear();
    }
    Py_DECREF(attr);
    return ok;
}

// One step of a pass per alternative: each answers true when it accepted
// obj, false to let the next step try.

bool load_int(PyObject* obj, value_t& out) {
    return !PyFloat_Check(obj) && (PyLong_Check(obj) || PyIndex_Check(obj)) && load_index(obj, out);
}

bool load_float(PyObject* obj, value_t& out) {
    if (!PyFloat_Check(obj)) return false;
    out = narrowest_float(PyFloat_AS_DOUBLE(obj));
    return true;
}

bool load_uuid_like(PyObject* obj, value_t& out) {
    return !PyUnicode_Check(obj) && !PyBytes_Check(obj) && !is_datetime_like(obj) && load_uuid(obj, out);
}

bool load_datetime_like(PyObject* obj, value_t& out) {
    if (!is_datetime_like(obj)) return false;
    out = load_time_point(obj);
    return true;
}

bool load_str(PyObject* obj, value_t& out) {
    if (!PyUnicode_Check(obj)) return false;
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (!data) {
        PyErr_Clear();  // e.g. a lone surrogate: no alternative takes it
        return false;
    }
    out = std::string(data, static_cast<std::size_t>(size));
    return true;
}

bool load_bytes(PyObject* obj, value_t& out) {
    if (!PyBytes_Check(obj)) return false;
    out = blob_t{std::string(PyBytes_AS_STRING(obj), static_cast<std::size_t>(PyBytes_GET_SIZE(obj)))};
    return true;
}

bool load_truth(PyObject* obj, value_t& out) {
    const int t = PyObject_IsTrue(obj);
    if (t < 0) {
        PyErr_Clear();
        return false;
    }
    out = (t == 1);
    return true;
}

// Exact kinds only, in the order of the value union's alternatives.
bool load_exact(PyObject* obj, value_t& out) {
    if (obj == Py_None) {
        out = null_t{};
        return true;
    }
    if (obj == Py_True || obj == Py_False) {
        out = (obj == Py_True);
        return true;
    }
    // Fast paths for the common exact types, which no other step accepts.
    if (PyUnicode_CheckExact(obj)) return load_str(obj, out);
    if (PyBytes_CheckExact(obj)) return load_bytes(obj, out);
    if (PyFloat_CheckExact(obj)) return load_float(obj, out);
    if (PyLong_CheckExact(obj) && load_int(obj, out)) return true;
    if (is_exact_datetime_type(Py_TYPE(obj))) {
        out = load_time_point(obj);
        return true;
    }
    if (Py_TYPE(obj) == uuid_class().type && load_uuid(obj, out)) return true;
    if (is_numpy_bool(obj)) return load_truth(obj, out);
    // Bound classes have no "bytes" attribute, so testing them before the
    // UUID probe changes no outcome and spares a failed attribute lookup.
    return load_int(obj, out) || load_float(obj, out) || load_bound(obj, out) || load_uuid_like(obj, out) ||
           load_datetime_like(obj, out) || load_str(obj, out) || load_bytes(obj, out);
}

bool load_float_slot(PyObject* obj, value_t& out) {
    if (!has_numeric_slot(obj, true)) return false;
    const double d = PyFloat_AsDouble(obj);
    if (d == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    out = narrowest_float(d);
    return true;
}

bool load_int_slot(PyObject* obj, value_t& out) {
    if (!has_numeric_slot(obj, false)) return false;
    PyObject* as_long = PyNumber_Long(obj);
    if (!as_long) {
        PyErr_Clear();
        return false;
    }
    const py::object held = py::reinterpret_steal<py::object>(as_long);
    return load_index(held.ptr(), out);
}

bool load_bool_slot(PyObject* obj, value_t& out) {
    PyNumberMethods* nb = Py_TYPE(obj)->tp_as_number;
    if (!nb || !nb->nb_bool) return false;
    const int res = nb->nb_bool(obj);
    if (res != 0 && res != 1) {
        PyErr_Clear();
        return false;
    }
    out = (res == 1);
    return true;
}

// With the numeric conversions. A number that converts to float goes to the
// float alternatives, never to bool or a truncated int (a numpy float32 of
// 1.5 must stay 1.5).
bool load_converting(PyObject* obj, value_t& out) {
    return (PyIndex_Check(obj) && load_index(obj, out)) || load_float_slot(obj, out) || load_int_slot(obj, out) ||
           load_bool_slot(obj, out);
}

}  // namespace

bool load_value_pass(py::handle src, bool convert, value_t& out) {
    PyObject* obj = src.ptr();
    if (!obj) return false;
    return convert ? load_converting(obj, out) : load_exact(obj, out);
}

bool load_value(py::handle src, value_t& out) {
    return load_value_pass(src, false, out) || load_value_pass(src, true, out);
}

py::object uuid_to_python(const uuid_t& uuid) {
    // Copied first: Python code run below may free what uuid refers to.
    const uuid_t u = uuid;
    py::object as_int = py::reinterpret_steal<py::object>(
        _PyLong_FromByteArray(u.bytes.data(), 16, /*little_endian=*/0, /*is_signed=*/0));
    if (!as_int) throw py::error_already_set();
    UuidClass& c = uuid_class();
    if (uuid_class_intact(c)) {
        // What UUID(int=n) leaves: the two slots set, nothing else.
        PyObject* obj = c.type->tp_alloc(c.type, 0);
        if (!obj) throw py::error_already_set();
        slot(obj, c.int_offset) = as_int.release().ptr();
        Py_INCREF(c.safe_unknown);
        slot(obj, c.is_safe_offset) = c.safe_unknown;
        return py::reinterpret_steal<py::object>(obj);
    }
    py::object uuid_class_now = py::module_::import("uuid").attr("UUID");
    if (!PyCallable_Check(uuid_class_now.ptr())) throw py::type_error("uuid.UUID is not callable");
    return uuid_class_now(py::arg("int") = as_int);
}

py::str utf8_to_python(const std::string& text) {
    PyObject* s = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
    if (!s) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(s);
}

namespace {

struct ValueCaster {
    py::object operator()(const null_t&) const { return py::none(); }
    py::object operator()(bool b) const { return py::bool_(b); }
    py::object operator()(int64_t i) const { return py::reinterpret_steal<py::object>(PyLong_FromLongLong(i)); }
    py::object operator()(float f) const { return py::float_(static_cast<double>(f)); }
    py::object operator()(double d) const { return py::float_(d); }
    py::object operator()(const uuid_t& u) const { return uuid_to_python(u); }  // copies first
    py::object operator()(const time_point_t& t) const { return time_point_to_python(t); }
    py::object operator()(const std::string& s) const { return utf8_to_python(s); }
    py::object operator()(const blob_t& b) const {
        return py::reinterpret_steal<py::object>(
            PyBytes_FromStringAndSize(b.bytes.data(), static_cast<Py_ssize_t>(b.bytes.size())));
    }
    // By value: the object stays alive whatever Python code does to the
    // container the pointer was read from.
    template <class T>
    py::object operator()(std::shared_ptr<T> p) const {
        if (!p) return py::none();
        return py::cast(std::move(p));
    }
};

}  // namespace

py::object cast_value(const value_t& value) {
    py::object result = std::visit(ValueCaster{}, value);
    if (!result) throw py::error_already_set();
    return result;
}

namespace {

// One item of a list argument: floats need no Python code and take the
// direct way, everything else the value caster's (both passes when convert).
bool load_list_item(PyObject* item, bool convert, std::vector<value_t>& out) {
    if (PyFloat_CheckExact(item)) {
        const double d = PyFloat_AS_DOUBLE(item);
        if (float_exact(d))
            out.emplace_back(std::in_place_index<kFloatIndex>, static_cast<float>(d));
        else
            out.emplace_back(std::in_place_index<kDoubleIndex>, d);
        return true;
    }
    value_t v;
    if (!load_value_pass(item, false, v) && !(convert && load_value_pass(item, true, v))) return false;
    out.push_back(std::move(v));
    return true;
}

}  // namespace

bool load_value_list(py::handle src, bool convert, std::vector<value_t>& out) {
    PyObject* obj = src.ptr();
    if (!obj || !py::detail::object_is_convertible_to_std_vector(src)) return false;
    out.clear();
    if (PyList_Check(obj)) {
        out.reserve(static_cast<std::size_t>(PyList_GET_SIZE(obj)));
        // Index and size are read again at every step, and the item is held,
        // since loading one item may run Python code that changes the list.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obj); ++i) {
            PyObject* item = PyList_GET_ITEM(obj, i);
            if (PyFloat_CheckExact(item)) {
                load_list_item(item, convert, out);  // runs no Python code
                continue;
            }
            const py::object held = py::reinterpret_borrow<py::object>(item);
            if (!load_list_item(held.ptr(), convert, out)) return false;
        }
        return true;
    }
    py::object items;
    if (PyTuple_Check(obj)) {
        items = py::reinterpret_borrow<py::object>(src);
    } else if (PySequence_Check(obj) || convert) {
        // Iterated once into a tuple, as pybind11's list conversion does.
        PyObject* t = PySequence_Tuple(obj);
        if (!t) {
            PyErr_Clear();
            return false;
        }
        items = py::reinterpret_steal<py::object>(t);
    } else {
        return false;
    }
    const Py_ssize_t n = PyTuple_GET_SIZE(items.ptr());
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!load_list_item(PyTuple_GET_ITEM(items.ptr(), i), convert, out)) return false;
    return true;
}

bool load_value_list(py::handle src, bool convert, ValueList& out) {
    PyObject* obj = src.ptr();
    if (obj && PyList_CheckExact(obj) && PyList_GET_SIZE(obj) > 0) {
        // A list of floats alone is kept as doubles, read in one pass (no
        // zero fill first). Reading floats runs no Python code, so the list
        // cannot change while it is read.
        const Py_ssize_t n = PyList_GET_SIZE(obj);
        std::vector<double> doubles;
        doubles.reserve(static_cast<std::size_t>(n));
        PyObject* const* items = reinterpret_cast<PyListObject*>(obj)->ob_item;
        Py_ssize_t i = 0;
        for (; i < n && PyFloat_CheckExact(items[i]); ++i) doubles.push_back(PyFloat_AS_DOUBLE(items[i]));
        if (i == n) {
            out.assign_packed(std::move(doubles));
            return true;
        }
    }
    std::vector<value_t> items;
    if (!load_value_list(src, convert, items)) return false;
    out = std::move(items);
    return true;
}

namespace {

// The floats of a packed array. Making the list may start a collection that
// runs Python code, so the doubles are looked at only after it.
py::object packed_list(const ValueList& values) {
    const std::size_t n = values.packed_doubles().size();
    py::object list = new_list(n);
    if (!values.packed() || values.packed_doubles().size() != n)
        throw std::runtime_error("Array changed during conversion.");
    const double* d = values.packed_doubles().data();
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* f = PyFloat_FromDouble(d[i]);  // runs no Python code
        if (!f) throw py::error_already_set();
        PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i), f);
    }
    return list;
}

}  // namespace

py::object cast_value_list(const ValueList& values) {
    if (values.packed()) return packed_list(values);
    return cast_value_list(values.elements());
}

py::object cast_value_list(const std::vector<value_t>& values) {
    py::object list = new_list(0);
    for (std::size_t i = 0; i < values.size(); ++i) {
        py::object item = cast_value(values[i]);
        if (PyList_Append(list.ptr(), item.ptr()) != 0) throw py::error_already_set();
    }
    return list;
}

}  // namespace tk
