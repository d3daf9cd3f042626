// Geometries and spatial references as plain Python dictionaries.
#pragma once

#include <pybind11/pybind11.h>

#include "geometry/geometry.h"
#include "geometry/spatial_reference.h"
#include "values/value.h"

namespace tk {

namespace py = pybind11;

// {"wkid": ..., "latestWkid": ..., "wkt": ...}, each key only when non-zero
// or non-empty; an unset reference gives an empty dict.
py::dict spatial_reference_to_dict(const SpatialReference& sr);

// JSON form of a point, multipoint, polyline or polygon, followed by
// "spatialReference" when sr is set and "_objectType": "geometry" last.
// Throws std::invalid_argument "Unknown or unsupported geometry type." for
// other types and "Invalid geometry." when lengths and coords disagree.
py::dict geometry_to_json(const geometry_t& geometry, const SpatialReference& sr);

// Reads "x"/"y"[/"z"/"m"], "points", "rings" or "paths" (rings win over
// paths); a dict without any of them gives the null value. Values that are
// not numbers raise the binding layer's cast error.
value_t geometry_from_json(py::handle dict);

}  // namespace tk
