// Plain Python objects (and the dictionary forms of entities, relationships
// and geometries) read back into values.
#pragma once

#include <string>

#include <pybind11/pybind11.h>

#include "module/py_value.h"

namespace tk {

namespace py = pybind11;

// Everything load_value accepts, plus {"_objectType": "entity" |
// "relationship" | "geometry", ...} dictionaries. An object nothing accepts
// gives null. Raises KeyError for a missing required key, RuntimeError (cast
// error) for a marker, type name or property key that is neither str nor
// bytes, OverflowError for an int outside int64, and ValueError for
// dictionaries nested deeper than kMaxValueDepth.
value_t value_from_object(py::handle object);

// pybind11's own text for a failed conversion, shown for values of the wrong
// type in dictionaries.
extern const char kCastErrorText[];

// A str (as UTF-8) or bytes (byte for byte); anything else raises the
// binding layer's cast error (RuntimeError).
std::string string_from_object(py::handle object);

}  // namespace tk
