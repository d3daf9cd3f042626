#include "module/registration.h"

namespace tk {

// Placeholders until this area lands.
void register_vexoGraphNamedObjectTypeRole(py::module_&) {}
void register_vexoFieldType(py::module_&) {}
void register_vexoGraphPropertyRole(py::module_&) {}
void register_GraphProperty(py::module_&) {}
void register_EntityType(py::module_&) {}
void register_RelationshipType(py::module_&) {}
void register_FieldIndex(py::module_&) {}
void register_DatabaseNativeIdentifier(py::module_&) {}
void register_UniformPropertyIdentifier(py::module_&) {}
void register_vexoIdentifierInfoType(py::module_&) {}
void register_IdentifierMappingInfo(py::module_&) {}
void register_vexoUUIDMethodHint(py::module_&) {}
void register_IdentifierGenerationInfo(py::module_&) {}
void register_IdentifierInfo(py::module_&) {}
void register_SearchAnalyzer(py::module_&) {}
void register_SearchIndexProperties(py::module_&) {}
void register_SearchIndex(py::module_&) {}
void register_DataModel(py::module_&) {}
void register_decode_data_model_from_protocol_buffer(py::module_&) {}

}  // namespace tk
