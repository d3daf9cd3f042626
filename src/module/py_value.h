// Conversion of the value union to and from Python objects.
#pragma once

#include <pybind11/pybind11.h>

#include "module/py_objects.h"

#include "geometry/geometry.h"
#include "values/object_values.h"

namespace tk {

namespace py = pybind11;

// One loading pass: exact kinds only (convert false) or with the numeric
// conversions (convert true). False when no alternative accepts src.
// Throws std::overflow_error for an int outside the signed 64-bit range and
// std::invalid_argument for a date-time local time cannot express.
bool load_value_pass(py::handle src, bool convert, value_t& out);
// Both passes, exact first.
bool load_value(py::handle src, value_t& out);

// New reference; raises (error_already_set / cast_error) on failure.
py::object cast_value(const value_t& value);

// Date-times: naive local civil time <-> ticks through mktime/localtime_r.
bool is_datetime_like(py::handle src);
// datetime, date or time itself (no subclass).
bool is_exact_datetime_type(PyTypeObject* type);
time_point_t load_time_point(py::handle src);
py::object time_point_to_python(time_point_t tp);
py::object uuid_to_python(const uuid_t& uuid);
// New str from UTF-8, strict; throws error_already_set on invalid UTF-8.
py::str utf8_to_python(const std::string& text);

}  // namespace tk

namespace pybind11 {
namespace detail {

template <>
struct type_caster<tk::value_t> {
    PYBIND11_TYPE_CASTER(tk::value_t,
                         const_name("Union[null_t, bool, int, float, float, uuid_t, datetime.datetime, str, blob_t, ") +
                             make_caster<std::shared_ptr<tk::geometry_t>>::name + const_name(", ") +
                             make_caster<std::shared_ptr<tk::ObjectValue>>::name + const_name(", ") +
                             make_caster<std::shared_ptr<tk::EntityValue>>::name + const_name(", ") +
                             make_caster<std::shared_ptr<tk::RelationshipValue>>::name + const_name(", ") +
                             make_caster<std::shared_ptr<tk::PathValue>>::name + const_name(", ") +
                             make_caster<std::shared_ptr<tk::ArrayValue>>::name + const_name("]"));

    bool load(handle src, bool convert) {
        if (tk::load_value_pass(src, false, value)) return true;
        return convert && tk::load_value_pass(src, true, value);
    }

    static handle cast(const tk::value_t& src, return_value_policy, handle) { return tk::cast_value(src).release(); }
};

template <>
struct type_caster<tk::blob_t> {
    PYBIND11_TYPE_CASTER(tk::blob_t, const_name("blob_t"));

    bool load(handle src, bool) {
        if (!PyBytes_Check(src.ptr())) return false;
        char* data = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(src.ptr(), &data, &size) != 0) {
            PyErr_Clear();
            return false;
        }
        value.bytes.assign(data, static_cast<std::size_t>(size));
        return true;
    }

    static handle cast(const tk::blob_t& src, return_value_policy, handle) {
        return PyBytes_FromStringAndSize(src.bytes.data(), static_cast<Py_ssize_t>(src.bytes.size()));
    }
};

}  // namespace detail
}  // namespace pybind11
