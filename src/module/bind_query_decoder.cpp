#include <pybind11/pybind11.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "module/bind_common.h"
#include "module/fast_methods.h"
#include "module/py_arrow.h"
#include "module/py_collector.h"
#include "module/py_rows.h"
#include "module/py_rows_ahead.h"
#include "module/py_value.h"
#include "module/registration.h"
#include "module/to_python.h"
#include "query/query_decoder.h"
#include "schema/data_model.h"

namespace tk {

namespace {

// The decoder as Python holds it: the core decoder, the str objects its rows
// share, and a flag that is set while a row is being converted. Python code
// can run in the middle of a conversion (a replaced uuid.UUID, a __del__,
// another thread taking the GIL); if it reaches this decoder, it must not
// move the cursor off the row being read, so it gets "Decoder is busy.".
class QueryDecoder : public GraphQueryDecoder {
public:
    bool busy = false;
    NameCache names;
    RowsAhead ahead;
};

void ensure_idle(const QueryDecoder& d) {
    if (d.busy) throw std::runtime_error("Decoder is busy.");
}

struct BusyScope {
    QueryDecoder& d;
    explicit BusyScope(QueryDecoder& decoder) : d(decoder) {
        ensure_idle(d);
        d.busy = true;
    }
    ~BusyScope() { d.busy = false; }
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;
};

bool push_python_buffer(QueryDecoder& self, const py::buffer& buffer) {
    ensure_idle(self);
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

// The current row as plain structures; the caller holds the busy flag.
py::object convert_row(QueryDecoder& self) {
    // Held for the conversion: Python code run meanwhile may drop the
    // decoder's data model.
    const std::shared_ptr<DataModel> model = self.data_model;
    static const SpatialReference kNoReference;
    const SpatialReference& sr = model ? model->spatial_reference : kNoReference;
    const std::size_t width = self.row_width();
    if (!self.has_current_row()) {
        py::object row = new_list(width);
        for (std::size_t i = 0; i < width; ++i) list_set(row, i, py::none());
        return row;
    }
    if (self.row_values_decoded()) {
        // get_value handed out this row's values, which may have been
        // changed since: convert those.
        py::object row = new_list(width);
        for (std::size_t i = 0; i < width; ++i) {
            const value_t* v = self.value_at(static_cast<int64_t>(i));
            list_set(row, i, v ? to_python(*v, sr) : py::none());
        }
        return row;
    }
    RowContext context{self.transform(), sr, self.current_refused(), self.names};
    return row_to_python(self.current_row(), width, context);
}

// The current row for a caller reading row after row: the one made ahead
// when there is one, else converted now, with the rows after it when the
// caller has been reading every row (see RowsAhead). The caller holds the
// busy flag.
py::object take_or_make_row(QueryDecoder& self) {
    if (py::object row = self.ahead.take(self)) return row;
    return self.ahead.make(self, [&self] { return convert_row(self); });
}

py::object current_row(QueryDecoder& self) {
    if (!self.header_parsed()) throw std::invalid_argument("Decoder has not parsed the header yet.");
    BusyScope busy(self);
    return take_or_make_row(self);
}

// Iteration: next_row() then the current row.
py::object next_item_or_null(QueryDecoder& self) {
    BusyScope busy(self);
    if (!self.ahead.step(self) && !self.next_row()) return py::object();
    return take_or_make_row(self);
}

py::object get_value(QueryDecoder& self, int64_t index) {
    BusyScope busy(self);
    self.ahead.settle(self);
    const value_t* value = self.value_at(index);
    return value ? cast_value(*value) : py::none();
}

bool next_row(QueryDecoder& self) {
    BusyScope busy(self);
    if (self.ahead.step(self)) return true;
    return self.next_row();
}

py::list get_rows(QueryDecoder& self, int64_t max_rows) {
    BusyScope busy(self);
    self.ahead.settle(self);
    CollectorPause pause;
    py::list rows;
    for (int64_t n = 0; max_rows < 0 || n < max_rows; ++n) {
        if (!self.next_row()) break;
        py::object row = convert_row(self);
        if (PyList_Append(rows.ptr(), row.ptr()) != 0) throw py::error_already_set();
    }
    return rows;
}

py::object read_arrow(QueryDecoder& self, int64_t max_rows, const SpatialReference* spatial_reference) {
    BusyScope busy(self);
    self.ahead.settle(self);
    return read_arrow_batch(self, max_rows, spatial_reference);
}

py::object next_item(QueryDecoder& self) {
    py::object row = next_item_or_null(self);
    if (!row) throw py::stop_iteration();
    return row;
}

py::list field_names(const QueryDecoder& self) {
    py::list names;
    for (const auto& name : self.field_names())
        if (PyList_Append(names.ptr(), utf8_to_python(name).ptr()) != 0) throw py::error_already_set();
    return names;
}

bool finish(QueryDecoder& self) {
    BusyScope busy(self);
    self.ahead.settle(self);
    return self.finish();
}

void set_data_model(QueryDecoder& self, std::shared_ptr<DataModel> model) {
    // Set from inside a conversion, it applies from the next row made on.
    if (!self.busy) {
        BusyScope busy(self);
        self.ahead.settle(self);
    }
    self.data_model = std::move(model);
}

// Row reading is called once per row: the three row methods and the
// iterator slot are fast methods (module/fast_methods.h).
struct FastPath {
    PyTypeObject* type = nullptr;
    PyObject* next_row = nullptr;  // the bound functions, for every other call
    PyObject* current_row = nullptr;
    PyObject* get_value = nullptr;
};
FastPath g_fast;

QueryDecoder* fast_self(PyObject* self) { return exact_instance<QueryDecoder>(self, g_fast.type); }

PyObject* fast_next_row(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    QueryDecoder* d = fast_self(self);
    if (!d || PyVectorcall_NARGS(nargs) != 0 || kwnames) return call_bound(g_fast.next_row, self, args, nargs, kwnames);
    return run_fast([d] { return py::reinterpret_borrow<py::object>(next_row(*d) ? Py_True : Py_False); });
}

PyObject* fast_current_row(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    QueryDecoder* d = fast_self(self);
    if (!d || PyVectorcall_NARGS(nargs) != 0 || kwnames)
        return call_bound(g_fast.current_row, self, args, nargs, kwnames);
    return run_fast([d] { return current_row(*d); });
}

PyObject* fast_get_value(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    QueryDecoder* d = fast_self(self);
    if (d && PyVectorcall_NARGS(nargs) == 1 && !kwnames && PyLong_CheckExact(args[0])) {
        int overflow = 0;
        const long long index = PyLong_AsLongLongAndOverflow(args[0], &overflow);
        if (!overflow && !(index == -1 && PyErr_Occurred()))
            return run_fast([d, index] { return get_value(*d, index); });
        PyErr_Clear();
    }
    return call_bound(g_fast.get_value, self, args, nargs, kwnames);
}

PyObject* fast_next(PyObject* self) {
    QueryDecoder* d = fast_self(self);
    if (!d) return PyObject_CallMethod(self, "__next__", nullptr);
    try {
        return next_item_or_null(*d).release().ptr();  // null at the end, without an exception set
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (...) {
        py::detail::try_translate_exceptions();
    }
    return nullptr;
}

void install_fast_paths(py::module_& m) {
    py::object cls = m.attr("GraphQueryDecoder");
    auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    g_fast.type = type;
    g_fast.next_row = install_fast_method(type, "next_row", &fast_next_row);
    g_fast.current_row = install_fast_method(type, "get_current_row", &fast_current_row);
    g_fast.get_value = install_fast_method(type, "get_value", &fast_get_value);
    type->tp_iternext = &fast_next;
    PyType_Modified(type);
}

}  // namespace

void register_GraphQueryDecoder(py::module_& m) {
    py::class_<QueryDecoder, std::shared_ptr<QueryDecoder>>(
        m, "GraphQueryDecoder",
        "Decodes a streamed query result: push the body's chunks as they arrive, then pull rows.\n\n"
        "The body is a length-prefixed GraphQueryResultHeader followed by length-prefixed\n"
        "GraphQueryResultFrames (gzip- or zlib-compressed when the header says so). Failures do not\n"
        "raise: they are kept in `error` (see `has_error`), and rows decoded before them stay readable.\n"
        "Iterating over the decoder yields the rows the pushed chunks hold, as plain structures.\n\n"
        "A caller that reads every row as plain structures (iteration, or next_row() then\n"
        "get_current_row()) gets them converted ahead, in runs within the frame in hand; each call\n"
        "still answers as if its row were converted then. Only Python-level changes made between\n"
        "two rows of a run (uuid.UUID replaced, the time zone changed) may miss rows already made;\n"
        "setting data_model drops them.")
        .def(py::init<>(), "A decoder with nothing pushed yet.")
        .def_property("data_model", [](const QueryDecoder& self) { return self.data_model; }, &set_data_model,
                       "DataModel | None: the data model whose spatial reference geometries in rows as plain\n"
                       "structures carry (nothing else of it is used).")
        .def("has_error", &QueryDecoder::has_error,
             "Whether the decoder has an error (a non-zero code or a non-empty message in `error`).")
        .def_property_readonly(
            "error", [](QueryDecoder& self) -> kg_error_t& { return self.error; },
            py::return_value_policy::reference_internal,
            "Error: the decoder's error record, a view that follows the decoder (code 0 and an empty\n"
            "message while all is well).")
        .def_property_readonly("field_names", &field_names,
                               "list[str]: the header's column names, in column order; empty before the header.")
        .def("push_buffer", &push_python_buffer, py::arg("buffer"),
             "Queues a copy of the next chunk of the body; no decoding happens here.\n\n"
             "Args:\n"
             "    buffer (bytes): the chunk (any object with the buffer protocol).\n"
             "Returns:\n"
             "    bool: False, and nothing queued, for an empty chunk, one longer than 2147483647 bytes,\n"
             "    or once the decoder has an error.\n"
             "Raises:\n"
             "    RuntimeError: \"Decoder is busy.\" when called while the decoder converts a row.")
        .def("next_row", &next_row,
             "Moves to the next row, decoding queued chunks as needed.\n\n"
             "Returns:\n"
             "    bool: whether there is a current row afterwards. Failures are recorded in `error`.\n"
             "Raises:\n"
             "    RuntimeError: \"Decoder is busy.\" when called while the decoder converts a row.")
        .def("get_value", &get_value, py::arg("index"),
             "The current row's value in one column, as bound objects (EntityValue, GeometryValue, ...).\n\n"
             "Args:\n"
             "    index (int): the column.\n"
             "Returns:\n"
             "    object | None: the value; None for an index outside the row or without a current row.\n"
             "Raises:\n"
             "    RuntimeError: \"Decoder is busy.\" when called while the decoder converts a row.")
        .def("get_current_row", &current_row,
             "The current row as plain structures (dicts, lists, scalars), one entry per field name.\n\n"
             "Returns:\n"
             "    list: the converted values, or None for every entry when there is no current row.\n"
             "Raises:\n"
             "    ValueError: \"Decoder has not parsed the header yet.\" before the header; ValueError or\n"
             "    RuntimeError for values that have no plain form (see to_value_object).\n"
             "    RuntimeError: \"Decoder is busy.\" when called while the decoder converts a row.")
        .def("get_rows", &get_rows, py::arg("max_rows"),
             "The next rows as plain structures: what next_row() and get_current_row() would give, in turn.\n\n"
             "Leaves the decoder where those calls would (on the last row returned).\n"
             "Args:\n"
             "    max_rows (int): at most this many rows; a negative number for every row the queued\n"
             "    chunks hold.\n"
             "Returns:\n"
             "    list[list]: the rows; empty when next_row() would answer False.\n"
             "Raises:\n"
             "    what get_current_row raises, for the row it fails on.")
        .def("read_arrow", &read_arrow, py::arg("max_rows") = -1, py::arg("spatial_reference") = py::none(),
             "The next rows as Arrow columns, in an ArrowRecordBatch; they count as read (a later next_row()\n"
             "or read_arrow() goes on after them, and the decoder stays on the last of them).\n\n"
             "Args:\n"
             "    max_rows (int): at most this many rows; a negative number for every row the queued\n"
             "    chunks hold.\n"
             "    spatial_reference (SpatialReference | None): the reference recorded in the geometry\n"
             "    columns' metadata (\"crs\") and in geometries written as JSON; None for none.\n"
             "Returns:\n"
             "    ArrowRecordBatch: the rows (zero rows, and null-typed columns, when none is available).\n"
             "    A decoding failure ends the batch early and is recorded in `error`, as for next_row().\n"
             "Raises:\n"
             "    ValueError: \"Decoder has not parsed the header yet.\" when no header has arrived.\n"
             "    RuntimeError: \"Decoder is busy.\" when called while the decoder converts a row.")
        .def(
            "__iter__", [](py::object self) { return self; },
            "The decoder itself: iterating yields the rows the queued chunks hold, as plain structures.")
        .def("__next__", &next_item,
             "The next row as plain structures (next_row() then get_current_row()).\n\n"
             "Raises:\n"
             "    StopIteration: when next_row() answers False.")
        .def("finish", &finish,
             "Declares the body complete: decodes what is still queued (its rows stay readable) and\n"
             "checks how the body ended.\n\n"
             "Returns:\n"
             "    bool: True when the body ended cleanly, after a header and on a message boundary.\n"
             "    Otherwise records -1 \"Result stream ended before its header.\" or \"Result stream\n"
             "    ended inside a message.\" (or keeps the error the decoder already has) and answers False.\n"
             "Raises:\n"
             "    RuntimeError: \"Decoder is busy.\" when called while the decoder converts a row.");
    install_fast_paths(m);
}

}  // namespace tk
