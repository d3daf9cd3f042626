// Placeholder until the structure converter lands.
#include "module/to_python.h"

#include <stdexcept>

namespace tk {

py::object to_python(const value_t& value, const SpatialReference&) { return cast_value(value); }

}  // namespace tk
