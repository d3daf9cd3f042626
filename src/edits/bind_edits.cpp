#include "module/registration.h"

namespace tk {

// Placeholders until this area lands.
void register_GraphApplyEditsEncoder(py::module_&) {}
void register_GraphApplyEditsDecoder(py::module_&) {}

}  // namespace tk
