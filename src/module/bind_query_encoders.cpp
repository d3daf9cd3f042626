#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "module/bind_common.h"
#include "module/bind_docs.h"
#include "module/fast_methods.h"
#include "module/py_value.h"
#include "module/registration.h"
#include "query/query_encoder.h"
#include "query/search_encoder.h"

namespace tk {

namespace {

// A parameter name, converted as the name argument of append_param_key_value
// is (str as UTF-8, or bytes).
std::string param_name(py::handle key) {
    if (PyUnicode_Check(key.ptr())) {
        Py_ssize_t size = 0;
        if (const char* data = PyUnicode_AsUTF8AndSize(key.ptr(), &size))
            return std::string(data, static_cast<std::size_t>(size));
        PyErr_Clear();  // no UTF-8 form: the caster refuses it
    }
    py::detail::make_caster<std::string> caster;
    if (!caster.load(key, true))
        throw py::type_error("set_params(): parameter names must be str or bytes, not " +
                             std::string(Py_TYPE(key.ptr())->tp_name));
    return py::detail::cast_op<std::string&&>(std::move(caster));
}

value_t param_value(py::handle value) {
    value_t out;
    if (!load_value(value, out))
        throw py::type_error("set_params(): unsupported parameter value type " +
                             std::string(Py_TYPE(value.ptr())->tp_name));
    return out;
}

// Appends every item of mapping. Converting may run Python code
// (__index__, __float__, a mapping's own items()), so every key and value is
// held by a strong reference while it converts, and a dict that changes size
// meanwhile stops the call, as it would stop a Python loop over it. All or
// nothing: on any error the list is cut back to where it was.
std::size_t append_params(ParamList& params, py::handle mapping) {
    const std::size_t before = params.count();
    std::size_t appended = 0;
    try {
        PyObject* d = mapping.ptr();
        if (PyDict_CheckExact(d)) {
            const Py_ssize_t size = PyDict_GET_SIZE(d);
            params.reserve(before + static_cast<std::size_t>(size));
            Py_ssize_t pos = 0;
            PyObject* k = nullptr;
            PyObject* v = nullptr;
            while (PyDict_Next(d, &pos, &k, &v)) {
                const auto key = py::reinterpret_borrow<py::object>(k);
                const auto value = py::reinterpret_borrow<py::object>(v);
                std::string name = param_name(key);
                value_t converted = param_value(value);
                if (PyDict_GET_SIZE(d) != size) throw std::runtime_error("dictionary changed size during iteration");
                if (params.append(std::move(name), std::move(converted))) ++appended;
            }
            return appended;
        }
        if (!py::hasattr(mapping, "items")) throw py::type_error("set_params(): the argument must be a mapping");
        for (py::handle item : py::iter(mapping.attr("items")())) {
            const py::tuple kv = py::tuple(py::reinterpret_borrow<py::object>(item));
            if (kv.size() != 2) throw py::type_error("set_params(): items() must give (name, value) pairs");
            std::string name = param_name(kv[0]);
            value_t converted = param_value(kv[1]);
            if (params.append(std::move(name), std::move(converted))) ++appended;
        }
        return appended;
    } catch (...) {
        params.truncate(before);
        throw;
    }
}

// append_param_key_value and set_param_key_value are called once per
// parameter: fast methods (module/fast_methods.h) for a str name and a value
// that the exact loading pass takes; everything else goes to the bound
// function, which converts (and fails) as it always has.
struct FastParams {
    PyTypeObject* type = nullptr;
    PyObject* append = nullptr;  // the bound functions
    PyObject* set = nullptr;
};
FastParams g_fast_params;

template <bool Set>
PyObject* fast_param(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bound = Set ? g_fast_params.set : g_fast_params.append;
    auto* encoder = exact_instance<GraphQueryRequestEncoder>(self, g_fast_params.type);
    if (!encoder || PyVectorcall_NARGS(nargs) != 2 || kwnames || !PyUnicode_CheckExact(args[0]))
        return call_bound(bound, self, args, nargs, kwnames);
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(args[0], &size);
    if (!data) {
        PyErr_Clear();  // no UTF-8 form: the bound function refuses it
        return call_bound(bound, self, args, nargs, kwnames);
    }
    std::string name(data, static_cast<std::size_t>(size));
    value_t value;
    bool loaded = false;
    PyObject* done = run_fast([&] {
        loaded = load_value_pass(py::handle(args[1]), false, value);
        return py::none();
    });
    if (!done) return nullptr;
    Py_DECREF(done);
    if (!loaded) return call_bound(bound, self, args, nargs, kwnames);
    return run_fast([&] {
        ParamList& params = encoder->parameters;
        return py::bool_(Set ? params.set(std::move(name), std::move(value))
                             : params.append(std::move(name), std::move(value)));
    });
}

}  // namespace

void register_GraphQueryRequestEncoder(py::module_& m) {
    using Encoder = GraphQueryRequestEncoder;
    py::class_<Encoder, std::shared_ptr<Encoder>> cls(
        m, "GraphQueryRequestEncoder",
        "Builds the body of one openCypher query request.\n\n"
        "Set open_cypher_query, add bind parameters (append_param_key_value,\n"
        "set_param_key_value, set_params) and, for geometries, the quantization and\n"
        "output settings; then call encode() and read get_encoding_result().");
    cls.def(py::init<>(), "A new encoder with an empty query and no parameters.")
        .def_readwrite("open_cypher_query", &Encoder::open_cypher_query,
                       "The openCypher query text (str; bytes are taken as UTF-8).\n\n"
                       "encode() records -1 \"Empty openCypher query.\" when it is empty and -1\n"
                       "\"Invalid argument.\" when it is not valid UTF-8.");
    def_view_doc(cls, "input_quantization_parameters", &Encoder::input_quantization_parameters,
                 "InputQuantizationParameters: the grid that geometries inside parameters are\n"
                 "quantized to. Reading gives a view into the encoder; assigning copies.");
    def_view_doc(cls, "output_spatial_reference", &Encoder::output_spatial_reference,
                 "SpatialReference wanted for result geometries; sent only when set (a wkid or\n"
                 "a wkt). Reading gives a view into the encoder; assigning copies.");
    def_view_doc(cls, "output_quantization_parameters", &Encoder::output_quantization_parameters,
                 "OutputQuantizationParameters for result geometries; sent only when no value\n"
                 "of its extent is NaN. Reading gives a view into the encoder; assigning copies.");
    def_view_doc(cls, "datum_transformation", &Encoder::datum_transformation,
                 "DatumTransformation for result geometries; sent only when set. Reading gives\n"
                 "a view into the encoder; assigning copies.");
    cls.def_readwrite("apply_vcs_projection", &Encoder::apply_vcs_projection,
                      "bool: whether the service applies a vertical coordinate system projection.")
        .def(
            "param_count", [](const Encoder& self) { return self.parameters.count(); },
            "The number of bind parameters (repeated names counted each time).\n\n"
            "Returns:\n"
            "    int")
        .def(
            "clear_params", [](Encoder& self) { self.parameters.clear(); }, "Removes every bind parameter.")
        .def(
            "set_param_key_value",
            [](Encoder& self, std::string name, value_t value) {
                return self.parameters.set(std::move(name), std::move(value));
            },
            py::arg("name"), py::arg("value"),
            "Sets the bind parameter name: replaces the value of the first parameter with\n"
            "that name, or appends (name, value) when there is none.\n\n"
            "Args:\n"
            "    name (str | bytes): the parameter name; bytes must be UTF-8 for encode()\n"
            "        to accept it.\n"
            "    value: any graph value (None, bool, int, float, uuid.UUID,\n"
            "        datetime.datetime, str, bytes, GeometryValue, ObjectValue,\n"
            "        EntityValue, RelationshipValue, PathValue, ArrayValue).\n\n"
            "Returns:\n"
            "    bool: False, and nothing changed, for an empty name; otherwise True.\n\n"
            "Raises:\n"
            "    TypeError: value is of no graph value type.")
        .def(
            "append_param_key_value",
            [](Encoder& self, std::string name, value_t value) {
                return self.parameters.append(std::move(name), std::move(value));
            },
            py::arg("name"), py::arg("value"),
            "Appends the bind parameter (name, value), even when the name is present\n"
            "already (encode() then records -1 \"Encountered duplicate bind parameter\n"
            "names.\").\n\n"
            "Args:\n"
            "    name (str | bytes): the parameter name.\n"
            "    value: any graph value (see set_param_key_value).\n\n"
            "Returns:\n"
            "    bool: False, and nothing changed, for an empty name; otherwise True.\n\n"
            "Raises:\n"
            "    TypeError: value is of no graph value type.")
        .def(
            "set_params",
            [](Encoder& self, const MappingArg& mapping) { return append_params(self.parameters, mapping.object); },
            py::arg("mapping"),
            "Appends every item of a mapping, in the mapping's order, as\n"
            "append_param_key_value(name, value) would for each.\n\n"
            "Args:\n"
            "    mapping (Mapping[str | bytes, value]): the parameters by name; a dict, or\n"
            "        any object whose items() gives (name, value) pairs.\n\n"
            "Returns:\n"
            "    int: the number of parameters appended (items with an empty name are\n"
            "    skipped, as append_param_key_value refuses them).\n\n"
            "Raises:\n"
            "    TypeError: a name is neither str nor bytes, a value is of no graph value\n"
            "        type, or the argument is not a mapping.\n"
            "    RuntimeError: the dict changed size while it was read.\n"
            "    Nothing is appended when it raises.")
        .def(
            "put_param_value_at",
            [](Encoder& self, int32_t index, value_t value) { return self.parameters.put_at(index, std::move(value)); },
            py::arg("index"), py::arg("value"),
            "Replaces the value of the parameter at position index, keeping its name.\n\n"
            "Args:\n"
            "    index (int): 0-based position.\n"
            "    value: any graph value (see set_param_key_value).\n\n"
            "Returns:\n"
            "    bool: False, and nothing changed, when index < 0 or index >= param_count().")
        .def("encode", &Encoder::encode,
             "Builds the request body from the encoder's state. Never raises: the outcome,\n"
             "the bytes or an error (-1 for invalid input such as \"Empty openCypher\n"
             "query.\", \"Encountered duplicate bind parameter names.\" or \"Invalid\n"
             "argument.\" for text that is not UTF-8; -998 or -999 for other failures), is\n"
             "in get_encoding_result(). The parameters are left as they were, so a second\n"
             "encode() gives the same bytes.");
    def_encoding_result_doc(cls, &Encoder::encoding_result);
    auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    g_fast_params.type = type;
    g_fast_params.append = install_fast_method(type, "append_param_key_value", &fast_param<false>);
    g_fast_params.set = install_fast_method(type, "set_param_key_value", &fast_param<true>);
}

void register_vexoSpatialRelation(py::module_& m) {
    py::enum_<vexoSpatialRelation>(m, "vexoSpatialRelation", "The spatial relation a search's filter geometry tests.")
        .value("intersects", vexoSpatialRelation::intersects)
        .value("contains", vexoSpatialRelation::contains)
        .value("crosses", vexoSpatialRelation::crosses)
        .value("envelope-intersects", vexoSpatialRelation::envelope_intersects)
        .value("index-intersects", vexoSpatialRelation::index_intersects)
        .value("overlaps", vexoSpatialRelation::overlaps)
        .value("touches", vexoSpatialRelation::touches)
        .value("within", vexoSpatialRelation::within)
        .export_values();
}

void register_vexoNamedTypeCategory(py::module_& m) {
    py::enum_<vexoNamedTypeCategory>(m, "vexoNamedTypeCategory",
                                     "Which named types a search covers: entity, relationship or both.")
        .value("entity", vexoNamedTypeCategory::entity)
        .value("relationship", vexoNamedTypeCategory::relationship)
        .value("both", vexoNamedTypeCategory::both)
        .export_values();
}

void register_GraphSearchRequestEncoder(py::module_& m) {
    using Encoder = GraphSearchRequestEncoder;
    py::class_<Encoder, std::shared_ptr<Encoder>> cls(
        m, "GraphSearchRequestEncoder",
        "Builds the body of one full-text and spatial search request.\n\n"
        "Set search_query and the filters and output settings; then call encode()\n"
        "and read get_encoding_result().");
    cls.def(py::init<>(), "A new encoder with an empty query and the default settings.")
        .def_readwrite("search_query", &Encoder::search_query,
                       "The full-text search text (str). encode() records -1 \"Empty search\n"
                       "query.\" when it is empty and -1 \"Invalid argument.\" when it is not valid\n"
                       "UTF-8.")
        .def_readwrite("return_geometry", &Encoder::return_geometry,
                       "bool: whether results carry their geometries (default True).")
        .def_readwrite("return_search_context", &Encoder::return_search_context,
                       "bool: whether results carry their search context (default False).")
        .def_readwrite("type_category_filter", &Encoder::type_category_filter,
                       "vexoNamedTypeCategory: search entities, relationships or both (default\n"
                       "entity). A number without a wire value makes encode() record -1 \"Not\n"
                       "implemented.\".")
        // A new list on each read: the filter changes only by assignment.
        .def_property(
            "named_types_filter", [](const Encoder& self) { return self.named_types_filter; },
            [](Encoder& self, std::vector<std::string> names) { self.named_types_filter = std::move(names); },
            "List[str]: restrict the search to these named types. Reading gives a new\n"
            "list, so the filter changes only by assignment. A name that is not valid\n"
            "UTF-8 makes encode() record -1 \"Invalid argument.\".")
        .def_property_readonly(
            "ids_filter", [](const Encoder& self) { return self.ids_filter; },
            "ArrayValue: restrict the search to these identifiers. The encoder's own\n"
            "array, filled in place (for example with add_value).")
        .def_readwrite("start_index", &Encoder::start_index, "int: index of the first result wanted (default 0).")
        .def_readwrite("max_num_results", &Encoder::max_num_results, "int: most results wanted (default 0).");
    def_view_doc(cls, "input_quantization_parameters", &Encoder::input_quantization_parameters,
                 "InputQuantizationParameters: the grid the filter geometry and geometry\n"
                 "identifiers are quantized to. Reading gives a view into the encoder;\n"
                 "assigning copies.");
    // A copy on read: changing it does not change the encoder.
    cls.def_property(
           "input_spatial_reference", [](const Encoder& self) { return self.input_spatial_reference; },
           [](Encoder& self, const SpatialReference& sr) { self.input_spatial_reference = sr; },
           "SpatialReference of the filter geometry; sent only when set. Reading gives a\n"
           "copy (changing it does not change the encoder); assigning copies.")
        .def_property(
            "spatial_filter_geometry",
            [](const Encoder& self) -> std::optional<std::shared_ptr<geometry_t>> {
                if (!self.spatial_filter_geometry) return std::nullopt;
                return self.spatial_filter_geometry;
            },
            [](Encoder& self, std::shared_ptr<geometry_t> geometry) {
                self.spatial_filter_geometry = std::move(geometry);
            },
            "Optional[GeometryValue]: the spatial filter, shared with the caller (not\n"
            "copied); None for no spatial filter. encode() records -1 \"Invalid spatial\n"
            "filter geometry provided.\" when it cannot be quantized.")
        .def_readwrite("spatial_filter_relation", &Encoder::spatial_filter_relation,
                       "vexoSpatialRelation: the relation the filter geometry tests (default\n"
                       "intersects).");
    def_view_doc(cls, "output_spatial_reference", &Encoder::output_spatial_reference,
                 "SpatialReference wanted for result geometries; sent only when set. Reading\n"
                 "gives a view into the encoder; assigning copies.");
    def_view_doc(cls, "output_quantization_parameters", &Encoder::output_quantization_parameters,
                 "OutputQuantizationParameters for result geometries; sent only when no value\n"
                 "of its extent is NaN. Reading gives a view into the encoder; assigning copies.");
    def_view_doc(cls, "datum_transformation", &Encoder::datum_transformation,
                 "DatumTransformation for result geometries; sent only when set. Reading gives\n"
                 "a view into the encoder; assigning copies.");
    cls.def_readwrite("apply_vcs_projection", &Encoder::apply_vcs_projection,
                      "bool: whether the service applies a vertical coordinate system projection.")
        .def("encode", &Encoder::encode,
             "Builds the request body from the encoder's state. Never raises: the outcome,\n"
             "the bytes or an error (-1 for invalid input such as \"Empty search query.\"\n"
             "or \"Invalid argument.\" for text that is not UTF-8; -998 or -999 for other\n"
             "failures), is in get_encoding_result(). The filter geometry and identifiers\n"
             "are left as they were.");
    def_encoding_result_doc(cls, &Encoder::encoding_result);
}

}  // namespace tk
