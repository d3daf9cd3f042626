// Binding helpers with docstrings for the encoder and decoder classes of the
// query, search and schema roads.
#pragma once

#include <string_view>

#include <pybind11/pybind11.h>

#include "common/error.h"

namespace tk {

namespace py = pybind11;

// The bytes of a response body as an argument: shown as bytes in
// signatures, read as a view for the duration of the call. A str is taken
// as its UTF-8 bytes, as the plain string view argument always did.
struct ResponseBytes {
    std::string_view data;
};

// Arguments taken as any Python object, so that the member's own check
// decides (and raises its own error); the names only tell signatures what
// the member expects: a dict, or any mapping.
struct DictArg {
    py::object object;
};
struct MappingArg {
    py::object object;
};

// get_encoding_result(): None before anything was encoded, otherwise a view
// of the encoder's own result that keeps the encoder alive.
template <class Encoder, class... Options>
void def_encoding_result_doc(py::class_<Encoder, Options...>& cls, EncodingResult Encoder::*member) {
    cls.def(
        "get_encoding_result",
        [member](py::object self) -> py::object {
            EncodingResult& result = self.cast<Encoder&>().*member;
            if (result.untouched()) return py::none();
            return py::cast(&result, py::return_value_policy::reference_internal, self);
        },
        "The outcome of the last encode().\n\n"
        "Returns:\n"
        "    Optional[EncodingResult]: None before the first encode(); otherwise the\n"
        "    encoder's own result (byte_buffer holds the request body, or error says\n"
        "    why there is none). It stays valid while the encoder lives.");
}

// A read/write property over a record member with a docstring: reading
// gives a view into the owner (changes through it change the owner),
// assigning copies.
template <class Class, class... Options, class Member>
void def_view_doc(py::class_<Class, Options...>& cls, const char* name, Member Class::*member, const char* doc) {
    cls.def_property(
        name, [member](Class& self) -> Member& { return self.*member; },
        [member](Class& self, const Member& value) { self.*member = value; },
        py::return_value_policy::reference_internal, doc);
}

}  // namespace tk

namespace pybind11 {
namespace detail {

template <>
struct type_caster<tk::ResponseBytes> {
    PYBIND11_TYPE_CASTER(tk::ResponseBytes, const_name("bytes"));

    bool load(handle src, bool convert) {
        make_caster<std::string_view> view;
        if (!view.load(src, convert)) return false;
        // The view points into src, which the call holds.
        value.data = cast_op<std::string_view>(view);
        return true;
    }

    static handle cast(const tk::ResponseBytes& src, return_value_policy, handle) {
        return PyBytes_FromStringAndSize(src.data.data(), static_cast<Py_ssize_t>(src.data.size()));
    }
};

template <>
struct type_caster<tk::DictArg> {
    PYBIND11_TYPE_CASTER(tk::DictArg, const_name("dict"));

    bool load(handle src, bool) {
        value.object = reinterpret_borrow<object>(src);
        return true;
    }

    static handle cast(const tk::DictArg& src, return_value_policy, handle) { return src.object.inc_ref(); }
};

template <>
struct type_caster<tk::MappingArg> {
    PYBIND11_TYPE_CASTER(tk::MappingArg, const_name("collections.abc.Mapping"));

    bool load(handle src, bool) {
        value.object = reinterpret_borrow<object>(src);
        return true;
    }

    static handle cast(const tk::MappingArg& src, return_value_policy, handle) { return src.object.inc_ref(); }
};

}  // namespace detail
}  // namespace pybind11
