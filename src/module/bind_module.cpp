#include <pybind11/pybind11.h>

#include "module/bind_common.h"
#include "module/registration.h"
#include "module/to_python.h"

namespace tk {

void register_Error(py::module_& m) {
    py::class_<kg_error_t>(m, "Error")
        .def(py::init<>())
        .def_readonly("error_code", &kg_error_t::error_code)
        .def_readonly("error_message", &kg_error_t::error_message)
        .def("empty", &kg_error_t::empty);
}

void register_EncodingResult(py::module_& m) {
    py::class_<EncodingResult>(m, "EncodingResult")
        .def_property_readonly(
            "error", [](EncodingResult& r) -> kg_error_t& { return r.error; },
            py::return_value_policy::reference_internal)
        .def_property_readonly("byte_buffer", [](const EncodingResult& r) { return r.byte_buffer; });
}

void register_to_value_object(py::module_& m) {
    m.def("to_value_object", [](const value_t& value) { return to_python(value, SpatialReference{}); });
}

}  // namespace tk
