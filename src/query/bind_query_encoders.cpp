#include "module/registration.h"

namespace tk {

// Placeholders until this area lands.
void register_GraphQueryRequestEncoder(py::module_&) {}
void register_vexoSpatialRelation(py::module_&) {}
void register_vexoNamedTypeCategory(py::module_&) {}
void register_GraphSearchRequestEncoder(py::module_&) {}

}  // namespace tk
