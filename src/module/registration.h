// One registration function per row of the module's table; module.cpp calls
// them in order. Each is defined in the binding file of its area.
#pragma once

#include <pybind11/pybind11.h>

namespace tk {

namespace py = pybind11;

// schema/bind_data_model.cpp
void register_vexoGraphNamedObjectTypeRole(py::module_& m);
void register_vexoFieldType(py::module_& m);
void register_vexoGraphPropertyRole(py::module_& m);
void register_GraphProperty(py::module_& m);
void register_EntityType(py::module_& m);
void register_RelationshipType(py::module_& m);
void register_FieldIndex(py::module_& m);
void register_DatabaseNativeIdentifier(py::module_& m);
void register_UniformPropertyIdentifier(py::module_& m);
void register_vexoIdentifierInfoType(py::module_& m);
void register_IdentifierMappingInfo(py::module_& m);
void register_vexoUUIDMethodHint(py::module_& m);
void register_IdentifierGenerationInfo(py::module_& m);
void register_IdentifierInfo(py::module_& m);
void register_SearchAnalyzer(py::module_& m);
void register_SearchIndexProperties(py::module_& m);
void register_SearchIndex(py::module_& m);
void register_DataModel(py::module_& m);
void register_decode_data_model_from_protocol_buffer(py::module_& m);

// geometry/bind_geometry.cpp
void register_vexoGeometryType(py::module_& m);
void register_SpatialReference(py::module_& m);
void register_GeometryValue(py::module_& m);
void register_InputQuantizationParameters(py::module_& m);
void register_DatumTransformation(py::module_& m);
void register_vexoQuantizeMode(py::module_& m);
void register_Envelope(py::module_& m);
void register_OutputQuantizationParameters(py::module_& m);

// values/bind_values.cpp
void register_ObjectValueType(py::module_& m);
void register_ObjectValue(py::module_& m);
void register_EntityValue(py::module_& m);
void register_RelationshipValue(py::module_& m);
void register_PathValue(py::module_& m);
void register_ArrayValue(py::module_& m);

// module/bind_module.cpp
void register_Error(py::module_& m);
void register_EncodingResult(py::module_& m);
void register_to_value_object(py::module_& m);

// query/bind_query_decoder.cpp
void register_GraphQueryDecoder(py::module_& m);

// module/bind_arrow.cpp
void register_ArrowRecordBatch(py::module_& m);

// query/bind_query_encoders.cpp
void register_GraphQueryRequestEncoder(py::module_& m);
void register_vexoSpatialRelation(py::module_& m);
void register_vexoNamedTypeCategory(py::module_& m);
void register_GraphSearchRequestEncoder(py::module_& m);

// edits/bind_edits.cpp
void register_GraphApplyEditsEncoder(py::module_& m);
void register_GraphApplyEditsDecoder(py::module_& m);

// schema/bind_schema_edits.cpp
void register_GraphNamedObjectTypeAddsRequestEncoder(py::module_& m);
void register_GraphNamedObjectTypeUpdateRequestEncoder(py::module_& m);
void register_GraphNamedObjectTypeAddsResponseDecoder(py::module_& m);
void register_GraphNamedObjectTypeUpdateResponseDecoder(py::module_& m);
void register_GraphNamedObjectTypeDeleteResponseDecoder(py::module_& m);
void register_GraphPropertyAddsRequestEncoder(py::module_& m);
void register_GraphPropertyUpdateRequestEncoder(py::module_& m);
void register_GraphPropertyDeleteRequestEncoder(py::module_& m);
void register_GraphPropertyAddsResponseDecoder(py::module_& m);
void register_GraphPropertyUpdateResponseDecoder(py::module_& m);
void register_GraphPropertyDeleteResponseDecoder(py::module_& m);

}  // namespace tk
