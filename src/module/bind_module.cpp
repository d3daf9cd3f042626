#include <string>

#include <pybind11/pybind11.h>

#include "module/bind_common.h"
#include "module/registration.h"
#include "module/to_python.h"

namespace tk {

void register_Error(py::module_& m) {
    py::class_<kg_error_t>(m, "Error",
                           "The outcome of a decoder or an encoder: code 0 and an empty message mean\n"
                           "success.")
        .def(py::init<>(), "Code 0, empty message: no error.")
        .def_readonly("error_code", &kg_error_t::error_code, "int: the error code; 0 when there is no error.")
        .def_readonly("error_message", &kg_error_t::error_message,
                      "str: the error's text; empty when there is no error.")
        .def("empty", &kg_error_t::empty,
             "Whether this records no error.\n\n"
             "Returns:\n"
             "    bool: True exactly when error_code is 0 and error_message is empty.")
        .def("__repr__", [](const kg_error_t& e) {
            return "<Error " + std::to_string(e.error_code) + " " + text_repr(e.error_message) + ">";
        });
}

void register_EncodingResult(py::module_& m) {
    py::class_<EncodingResult>(m, "EncodingResult",
                               "What an encoder's last encode() produced: the request body, or an error.\n"
                               "Only obtained from an encoder's get_encoding_result().")
        .def_property_readonly(
            "error", [](EncodingResult& r) -> kg_error_t& { return r.error; },
            py::return_value_policy::reference_internal,
            "Error: the outcome of the last encode() (a view that keeps the result alive).")
        .def_property_readonly(
            "byte_buffer",
            // Straight from the held bytes: a copy of the blob first would double the work.
            [](const EncodingResult& r) { return py::bytes(r.byte_buffer.bytes); },
            "bytes: the encoded request body (a new bytes object); empty when encoding\n"
            "failed.")
        .def("__repr__", [](const EncodingResult& r) {
            if (!r.error.empty())
                return "<EncodingResult error " + std::to_string(r.error.error_code) + " " +
                       text_repr(r.error.error_message) + ">";
            const std::size_t n = r.byte_buffer.bytes.size();
            return "<EncodingResult " + std::to_string(n) + (n == 1 ? " byte>" : " bytes>");
        });
}

void register_to_value_object(py::module_& m) {
    m.def(
        "to_value_object", [](const value_t& value) { return to_python(value, SpatialReference{}); }, py::arg("value"),
        "Converts a value into plain Python structures: objects, entities,\n"
        "relationships and paths become dicts with \"_objectType\" keys, arrays lists,\n"
        "geometries their JSON dicts; scalars come back as they are.\n\n"
        "Args:\n"
        "    value: any graph value (None, bool, int, float, uuid.UUID,\n"
        "        datetime.datetime, str, bytes, GeometryValue, ObjectValue, EntityValue,\n"
        "        RelationshipValue, PathValue, ArrayValue).\n\n"
        "Returns:\n"
        "    The structure: None, a scalar, a dict or a list.\n\n"
        "Raises:\n"
        "    ValueError: a path whose entity count is not its relationship count + 1, a\n"
        "        geometry that is not a point, multipoint, polyline or polygon, or\n"
        "        values nested too deeply (a cyclic array).\n"
        "    RuntimeError: a property key that is not valid UTF-8 (\"Could not allocate\n"
        "        string object!\") or a date-time local time cannot express.\n"
        "    UnicodeDecodeError: a string or type name that is not valid UTF-8.");
}

}  // namespace tk
