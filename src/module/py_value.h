// Conversion of the value union to and from Python objects.
#pragma once

#include <vector>

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
// A sequence of values as pybind11 converts a list argument (not str or
// bytes; other iterables only when convert is true); false when an item is
// refused. Python code run by an item's conversion may change the sequence:
// a list is re-read at every step.
bool load_value_list(py::handle src, bool convert, std::vector<value_t>& out);

// New reference; raises (error_already_set / cast_error) on failure. Reads
// value before any Python code can run, so value may live in a container
// that such code changes (the caller must not use the reference after).
py::object cast_value(const value_t& value);
// A new list of cast values. Python code run by a conversion (a replaced
// uuid.UUID) may change the vector: it is re-read at every step.
py::object cast_value_list(const std::vector<value_t>& values);
py::object cast_value_list(const ValueList& values);
// An array's elements from a sequence as load_value_list reads it; a list of
// Python floats alone is kept as doubles (ValueList::assign_packed).
bool load_value_list(py::handle src, bool convert, ValueList& out);

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

// The value union as Python sees it: the alternatives' Python types, in the
// union's order.
template <>
struct type_caster<tk::value_t> {
    PYBIND11_TYPE_CASTER(tk::value_t,
                         const_name("None | bool | int | float | uuid.UUID | datetime.datetime | str | bytes | "
                                    "GeometryValue | ObjectValue | EntityValue | RelationshipValue | PathValue | "
                                    "ArrayValue"));

    bool load(handle src, bool convert) {
        if (tk::load_value_pass(src, false, value)) return true;
        return convert && tk::load_value_pass(src, true, value);
    }

    static handle cast(const tk::value_t& src, return_value_policy, handle) { return tk::cast_value(src).release(); }
};

// Lists of values: the same sequences pybind11's list conversion takes, read
// without a pointer into the Python container (loading an item can run
// Python code that changes it) and with a fast path for floats.
template <>
struct type_caster<std::vector<tk::value_t>> {
    PYBIND11_TYPE_CASTER(std::vector<tk::value_t>, io_name("collections.abc.Sequence", "list") + const_name("[") +
                                                       make_caster<tk::value_t>::name + const_name("]"));

    bool load(handle src, bool convert) { return tk::load_value_list(src, convert, value); }

    static handle cast(const std::vector<tk::value_t>& src, return_value_policy, handle) {
        return tk::cast_value_list(src).release();
    }
};

// An array's elements: the same sequences, a list of floats kept packed.
template <>
struct type_caster<tk::ValueList> {
    PYBIND11_TYPE_CASTER(tk::ValueList, io_name("collections.abc.Sequence", "list") + const_name("[") +
                                            make_caster<tk::value_t>::name + const_name("]"));

    bool load(handle src, bool convert) { return tk::load_value_list(src, convert, value); }

    static handle cast(const tk::ValueList& src, return_value_policy, handle) {
        return tk::cast_value_list(src).release();
    }
};

template <>
struct type_caster<tk::blob_t> {
    PYBIND11_TYPE_CASTER(tk::blob_t, const_name("bytes"));

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
