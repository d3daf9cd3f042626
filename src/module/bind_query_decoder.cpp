#include <pybind11/pybind11.h>

#include <stdexcept>

#include "module/bind_common.h"
#include "module/py_value.h"
#include "module/registration.h"
#include "module/to_python.h"
#include "query/query_decoder.h"
#include "schema/data_model.h"

namespace tk {

namespace {

bool push_python_buffer(GraphQueryDecoder& self, const py::buffer& buffer) {
    Py_buffer view;
    if (PyObject_GetBuffer(buffer.ptr(), &view, PyBUF_SIMPLE) != 0) throw py::error_already_set();
    bool queued = false;
    try {
        queued =
            view.len > 0 && self.push_buffer(static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len));
    } catch (...) {
        PyBuffer_Release(&view);
        throw;
    }
    PyBuffer_Release(&view);
    return queued;
}

py::list current_row(const GraphQueryDecoder& self) {
    if (!self.header_parsed()) throw std::invalid_argument("Decoder has not parsed the header yet.");
    static const SpatialReference kNoReference;
    const SpatialReference& sr = self.data_model ? self.data_model->spatial_reference : kNoReference;
    const std::size_t width = self.row_width();
    py::object row = new_list(width);
    const bool has_row = self.has_current_row();
    for (std::size_t i = 0; i < width; ++i)
        list_set(row, i, has_row ? to_python(*self.value_at(static_cast<int64_t>(i)), sr) : py::none());
    return py::reinterpret_steal<py::list>(row.release());
}

}  // namespace

void register_GraphQueryDecoder(py::module_& m) {
    py::class_<GraphQueryDecoder, std::shared_ptr<GraphQueryDecoder>>(m, "GraphQueryDecoder")
        .def(py::init<>())
        .def_readwrite("data_model", &GraphQueryDecoder::data_model)
        .def("has_error", &GraphQueryDecoder::has_error)
        .def_property_readonly(
            "error", [](GraphQueryDecoder& self) -> kg_error_t& { return self.error; },
            py::return_value_policy::reference_internal)
        .def("push_buffer", &push_python_buffer, py::arg("buffer"))
        .def("next_row", &GraphQueryDecoder::next_row)
        .def(
            "get_value",
            [](const GraphQueryDecoder& self, int64_t index) -> py::object {
                const value_t* value = self.value_at(index);
                return value ? cast_value(*value) : py::none();
            },
            py::arg("index"))
        .def("get_current_row", &current_row);
}

}  // namespace tk
