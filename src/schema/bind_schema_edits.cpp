#include "module/registration.h"

namespace tk {

// Placeholders until this area lands.
void register_GraphNamedObjectTypeAddsRequestEncoder(py::module_&) {}
void register_GraphNamedObjectTypeUpdateRequestEncoder(py::module_&) {}
void register_GraphNamedObjectTypeAddsResponseDecoder(py::module_&) {}
void register_GraphNamedObjectTypeUpdateResponseDecoder(py::module_&) {}
void register_GraphNamedObjectTypeDeleteResponseDecoder(py::module_&) {}
void register_GraphPropertyAddsRequestEncoder(py::module_&) {}
void register_GraphPropertyUpdateRequestEncoder(py::module_&) {}
void register_GraphPropertyDeleteRequestEncoder(py::module_&) {}
void register_GraphPropertyAddsResponseDecoder(py::module_&) {}
void register_GraphPropertyUpdateResponseDecoder(py::module_&) {}
void register_GraphPropertyDeleteResponseDecoder(py::module_&) {}

}  // namespace tk
