#include "module/py_value.h"

#include "module/py_keys.h"

#include <cstring>
#include <stdexcept>

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

// uuid.UUID itself, looked up once: its instances skip the probing below.
PyTypeObject* uuid_type() {
    static PyObject* type = nullptr;  // written under the GIL
    if (!type) type = py::object(py::module_::import("uuid").attr("UUID")).release().ptr();
    return reinterpret_cast<PyTypeObject*>(type);
}

// Anything whose attribute "bytes" exposes exactly 16 bytes (uuid.UUID does).
bool load_uuid(PyObject* obj, value_t& out) {
    static PyObject* bytes_name = intern_string("bytes");
    PyObject* attr = PyObject_GetAttr(obj, bytes_name);
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
    if (Py_TYPE(obj) == uuid_type() && load_uuid(obj, out)) return true;
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
    py::object uuid_class = py::module_::import("uuid").attr("UUID");
    if (!PyCallable_Check(uuid_class.ptr())) throw py::type_error("uuid.UUID is not callable");
    py::object as_int = py::reinterpret_steal<py::object>(
        _PyLong_FromByteArray(uuid.bytes.data(), 16, /*little_endian=*/0, /*is_signed=*/0));
    if (!as_int) throw py::error_already_set();
    return uuid_class(py::arg("int") = as_int);
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
    py::object operator()(const uuid_t& u) const { return uuid_to_python(u); }
    py::object operator()(const time_point_t& t) const { return time_point_to_python(t); }
    py::object operator()(const std::string& s) const { return utf8_to_python(s); }
    py::object operator()(const blob_t& b) const {
        return py::reinterpret_steal<py::object>(
            PyBytes_FromStringAndSize(b.bytes.data(), static_cast<Py_ssize_t>(b.bytes.size())));
    }
    template <class T>
    py::object operator()(const std::shared_ptr<T>& p) const {
        if (!p) return py::none();
        return py::cast(p);
    }
};

}  // namespace

py::object cast_value(const value_t& value) {
    py::object result = std::visit(ValueCaster{}, value);
    if (!result) throw py::error_already_set();
    return result;
}

}  // namespace tk
