// Values as plain Python structures (dicts, lists, scalars).
#pragma once

#include <pybind11/pybind11.h>

#include "geometry/spatial_reference.h"
#include "module/py_value.h"

namespace tk {

namespace py = pybind11;

// Geometries get "spatialReference" from sr when it is set. Raises
// ValueError for ill-formed paths, unsupported geometries and values nested
// deeper than kMaxValueDepth (a cyclic array).
py::object to_python(const value_t& value, const SpatialReference& sr);

}  // namespace tk
