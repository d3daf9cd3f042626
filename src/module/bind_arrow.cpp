#include <pybind11/pybind11.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "module/py_arrow.h"
#include "module/py_value.h"
#include "module/registration.h"
#include "query/arrow_batch.h"
#include "query/arrow_c.h"

namespace tk {

namespace {

// What Python holds: a share of the finished columns. Every capsule handed
// out holds its own share, so readers keep the buffers after this object
// is gone.
struct ArrowRecordBatch {
    std::shared_ptr<const arrow::Batch> batch;
};

constexpr const char* kSchemaCapsule = "arrow_schema";
constexpr const char* kArrayCapsule = "arrow_array";
constexpr const char* kStreamCapsule = "arrow_array_stream";

// Capsule destructors: release what no consumer took over (a consumer that
// moves the struct leaves release null), then free the struct itself.
template <class T>
void free_capsule(PyObject* capsule, const char* name) {
    PyObject *type, *value, *trace;
    PyErr_Fetch(&type, &value, &trace);
    auto* s = static_cast<T*>(PyCapsule_GetPointer(capsule, name));
    if (s) {
        if (s->release) s->release(s);
        delete s;
    } else {
        PyErr_Clear();
    }
    PyErr_Restore(type, value, trace);
}

void free_schema_capsule(PyObject* c) { free_capsule<ArrowSchema>(c, kSchemaCapsule); }
void free_array_capsule(PyObject* c) { free_capsule<ArrowArray>(c, kArrayCapsule); }
void free_stream_capsule(PyObject* c) { free_capsule<ArrowArrayStream>(c, kStreamCapsule); }

template <class T, class Export>
py::object make_capsule(const std::shared_ptr<const arrow::Batch>& batch, const char* name,
                        PyCapsule_Destructor destructor, Export&& fill) {
    auto s = std::make_unique<T>();
    std::memset(s.get(), 0, sizeof(T));
    fill(batch, s.get());
    PyObject* capsule = PyCapsule_New(s.get(), name, destructor);
    if (!capsule) {
        s->release(s.get());
        throw py::error_already_set();
    }
    s.release();
    return py::reinterpret_steal<py::object>(capsule);
}

py::object schema_capsule(const ArrowRecordBatch& self) {
    return make_capsule<ArrowSchema>(self.batch, kSchemaCapsule, &free_schema_capsule, &arrow::export_schema);
}

// Only the batch's own schema can be asked for: no casts.
void check_requested(const ArrowRecordBatch& self, const py::object& requested) {
    if (requested.is_none()) return;
    bool same = false;
    if (PyCapsule_IsValid(requested.ptr(), kSchemaCapsule)) {
        auto* theirs = static_cast<ArrowSchema*>(PyCapsule_GetPointer(requested.ptr(), kSchemaCapsule));
        if (theirs && theirs->release) {
            ArrowSchema ours;
            arrow::export_schema(self.batch, &ours);
            same = arrow::schema_equals(ours, *theirs);
            ours.release(&ours);
        }
    }
    if (!same) {
        PyErr_SetString(PyExc_NotImplementedError,
                        "ArrowRecordBatch cannot be cast: requested_schema must be None or the batch's own schema.");
        throw py::error_already_set();
    }
}

py::tuple array_capsules(const ArrowRecordBatch& self, const py::object& requested) {
    check_requested(self, requested);
    py::object schema = schema_capsule(self);
    py::object array = make_capsule<ArrowArray>(self.batch, kArrayCapsule, &free_array_capsule, &arrow::export_array);
    return py::make_tuple(schema, array);
}

py::object stream_capsule(const ArrowRecordBatch& self, const py::object& requested) {
    check_requested(self, requested);
    return make_capsule<ArrowArrayStream>(self.batch, kStreamCapsule, &free_stream_capsule, &arrow::export_stream);
}

py::list column_names(const ArrowRecordBatch& self) {
    py::list out;
    for (const auto& c : self.batch->columns)
        if (PyList_Append(out.ptr(), utf8_to_python(c.name).ptr()) != 0) throw py::error_already_set();
    return out;
}

py::list errors(const ArrowRecordBatch& self) {
    py::list out;
    for (const auto& e : self.batch->errors) {
        py::tuple t = py::make_tuple(e.row, e.column, utf8_to_python(e.message));
        if (PyList_Append(out.ptr(), t.ptr()) != 0) throw py::error_already_set();
    }
    return out;
}

std::string repr(const ArrowRecordBatch& self) {
    return "<ArrowRecordBatch " + std::to_string(self.batch->columns.size()) + " columns " +
           std::to_string(self.batch->rows) + " rows>";
}

}  // namespace

py::object read_arrow_batch(GraphQueryDecoder& decoder, int64_t max_rows, const SpatialReference* spatial_reference) {
    // The first row may be what brings the header in.
    bool have = max_rows != 0 && decoder.next_row();
    if (!decoder.header_parsed()) throw std::invalid_argument("Decoder has not parsed the header yet.");
    arrow::BatchBuilder builder(decoder.field_names(), decoder.transform(), spatial_reference);
    while (have) {
        builder.add_row(decoder.current_row(), decoder.current_refused());
        if (max_rows >= 0 && builder.rows() >= max_rows) break;
        have = decoder.next_row();
    }
    return py::cast(ArrowRecordBatch{builder.finish()});
}

void register_ArrowRecordBatch(py::module_& m) {
    py::class_<ArrowRecordBatch, std::shared_ptr<ArrowRecordBatch>>(
        m, "ArrowRecordBatch",
        "Query result rows as Arrow columns (GraphQueryDecoder.read_arrow), readable through the Arrow\n"
        "PyCapsule interface without copying: pyarrow.record_batch(b), pyarrow.table(b),\n"
        "polars.DataFrame(b). One nullable field per result column; its type follows the column's\n"
        "values (null, bool, int64, float64, string, timestamp[ms, UTC], arrow.uuid, binary,\n"
        "geoarrow.wkb, or arrow.json text for compound and mixed values).")
        .def_property_readonly(
            "num_rows", [](const ArrowRecordBatch& self) { return self.batch->rows; }, "int: the number of rows.")
        .def_property_readonly("column_names", &column_names, "list[str]: the field names, in column order.")
        .def_property_readonly("errors", &errors,
                               "list[tuple[int, int, str]]: (row, column, message) for every cell written as\n"
                               "null because its value has no column form (a geometry that cannot be expressed).")
        .def("__repr__", &repr, "<ArrowRecordBatch N columns M rows>.")
        .def("__arrow_c_schema__", &schema_capsule,
             "The batch's schema (a struct of the columns) as a PyCapsule \"arrow_schema\".\n\n"
             "Returns:\n"
             "    PyCapsule: an ArrowSchema, released by the capsule unless a consumer took it over.")
        .def("__arrow_c_array__", &array_capsules, py::arg("requested_schema") = py::none(),
             "The batch as a struct array: a (\"arrow_schema\", \"arrow_array\") pair of PyCapsules.\n\n"
             "Args:\n"
             "    requested_schema (PyCapsule | None): None, or a schema equal to the batch's own.\n"
             "Returns:\n"
             "    tuple[PyCapsule, PyCapsule]: the schema and the array; the array shares the batch's\n"
             "    buffers until it is released.\n"
             "Raises:\n"
             "    NotImplementedError: for any other requested schema (no casts).")
        .def("__arrow_c_stream__", &stream_capsule, py::arg("requested_schema") = py::none(),
             "A stream that yields this one batch, as a PyCapsule \"arrow_array_stream\".\n\n"
             "Args:\n"
             "    requested_schema (PyCapsule | None): None, or a schema equal to the batch's own.\n"
             "Returns:\n"
             "    PyCapsule: an ArrowArrayStream.\n"
             "Raises:\n"
             "    NotImplementedError: for any other requested schema (no casts).");
}

}  // namespace tk
