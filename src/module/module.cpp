// The module entry: the one place where the whole registration order reads.
#include <pybind11/pybind11.h>

#include "module/registration.h"

PYBIND11_MODULE(_tolmirkenvor, m) {
    using namespace tk;
    m.doc() = "Tolmir Kenvor client core for Python";

    register_vexoGraphNamedObjectTypeRole(m);               // 1
    register_vexoFieldType(m);                              // 2
    register_vexoGraphPropertyRole(m);                      // 3
    register_vexoGeometryType(m);                           // 4
    register_GraphProperty(m);                              // 5
    register_EntityType(m);                                 // 6
    register_RelationshipType(m);                           // 7
    register_FieldIndex(m);                                 // 8
    register_SpatialReference(m);                           // 9
    register_DatabaseNativeIdentifier(m);                   // 10
    register_UniformPropertyIdentifier(m);                  // 11
    register_vexoIdentifierInfoType(m);                     // 12
    register_IdentifierMappingInfo(m);                      // 13
    register_vexoUUIDMethodHint(m);                         // 14
    register_IdentifierGenerationInfo(m);                   // 15
    register_IdentifierInfo(m);                             // 16
    register_SearchAnalyzer(m);                             // 17
    register_SearchIndexProperties(m);                      // 18
    register_SearchIndex(m);                                // 19
    register_DataModel(m);                                  // 20
    register_GeometryValue(m);                              // 21
    register_ObjectValueType(m);                            // 22
    register_ObjectValue(m);                                // 23
    register_EntityValue(m);                                // 24
    register_RelationshipValue(m);                          // 25
    register_PathValue(m);                                  // 26
    register_ArrayValue(m);                                 // 27
    register_decode_data_model_from_protocol_buffer(m);     // 28
    register_Error(m);                                      // 29
    register_GraphQueryDecoder(m);                          // 30
    register_ArrowRecordBatch(m);
    register_InputQuantizationParameters(m);                // 31
    register_DatumTransformation(m);                        // 32
    register_vexoQuantizeMode(m);                           // 33
    register_Envelope(m);                                   // 34
    register_OutputQuantizationParameters(m);               // 35
    register_EncodingResult(m);                             // 36
    register_GraphQueryRequestEncoder(m);                   // 37
    register_vexoSpatialRelation(m);                        // 38
    register_vexoNamedTypeCategory(m);                      // 39
    register_GraphSearchRequestEncoder(m);                  // 40
    register_to_value_object(m);                            // 41
    register_GraphApplyEditsEncoder(m);                     // 42
    register_GraphApplyEditsDecoder(m);                     // 43
    register_GraphNamedObjectTypeAddsRequestEncoder(m);     // 44
    register_GraphNamedObjectTypeUpdateRequestEncoder(m);   // 45
    register_GraphNamedObjectTypeAddsResponseDecoder(m);    // 46
    register_GraphNamedObjectTypeUpdateResponseDecoder(m);  // 47
    register_GraphNamedObjectTypeDeleteResponseDecoder(m);  // 48
    register_GraphPropertyAddsRequestEncoder(m);            // 49
    register_GraphPropertyUpdateRequestEncoder(m);          // 50
    register_GraphPropertyDeleteRequestEncoder(m);          // 51
    register_GraphPropertyAddsResponseDecoder(m);           // 52
    register_GraphPropertyUpdateResponseDecoder(m);         // 53
    register_GraphPropertyDeleteResponseDecoder(m);         // 54

    m.attr("__version__") = TK_VERSION;
}
