#include "module/registration.h"

namespace tk {

// Placeholders until this area lands.
void register_GraphQueryDecoder(py::module_&) {}

}  // namespace tk
