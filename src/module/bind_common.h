// Small helpers shared by the binding files.
#pragma once

#include <string>

#include <pybind11/pybind11.h>

#include "common/error.h"
#include "module/py_value.h"

namespace tk {

namespace py = pybind11;

// {"error_code": int, "error_message": str}, the shape every result
// dictionary uses for a failure.
inline py::dict error_to_dict(const kg_error_t& error) {
    py::dict d;
    d["error_code"] = py::int_(error.error_code);
    d["error_message"] = utf8_to_python(error.error_message);
    return d;
}

// get_encoding_result(): None before anything was encoded, otherwise a view
// of the encoder's own result that keeps the encoder alive.
template <class Encoder, class... Options>
void def_encoding_result(py::class_<Encoder, Options...>& cls, EncodingResult Encoder::*member) {
    cls.def("get_encoding_result", [member](py::object self) -> py::object {
        EncodingResult& result = self.cast<Encoder&>().*member;
        if (result.untouched()) return py::none();
        return py::cast(&result, py::return_value_policy::reference_internal, self);
    });
}

// Read/write property over a record member: reading gives a view into the
// owner (changes through it change the owner), assigning copies.
template <class Class, class... Options, class Member>
void def_view_property(py::class_<Class, Options...>& cls, const char* name, Member Class::*member,
                       const char* doc = "") {
    cls.def_property(
        name, [member](Class& self) -> Member& { return self.*member; },
        [member](Class& self, const Member& value) { self.*member = value; },
        py::return_value_policy::reference_internal, doc);
}

// repr() of a Python float or str, for the __repr__ of records.
inline std::string float_repr(double v) { return py::repr(py::float_(v)).cast<std::string>(); }
inline std::string text_repr(const std::string& text) {
    py::object s = py::reinterpret_steal<py::object>(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "backslashreplace"));
    if (!s) throw py::error_already_set();
    return py::repr(s).cast<std::string>();
}

}  // namespace tk
