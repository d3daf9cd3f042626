// Query result rows as plain Python structures, built straight from the
// checked frame bytes: the same objects to_python gives for the values the
// row decodes to, without building those values first.
#pragma once

#include <pybind11/pybind11.h>

#include <array>
#include <cstdint>
#include <string>

#include "geometry/quantization.h"
#include "geometry/spatial_reference.h"
#include "query/frame_reader.h"

namespace tk {

namespace py = pybind11;

// Shared str objects for property keys and type names: a result repeats the
// same few names in every row. A small direct-mapped table; names longer
// than kMaxCached bytes are never kept. Holds references, so it must be
// destroyed under the GIL (as every bound object is).
class NameCache {
public:
    NameCache() = default;
    NameCache(const NameCache&) = delete;
    NameCache& operator=(const NameCache&) = delete;
    ~NameCache();

    // A new reference to the str of the name's text up to its first NUL
    // byte (strict UTF-8: raises the Python decoding error).
    py::object get(wire::Span name);

private:
    static constexpr std::size_t kSlots = 512;
    static constexpr std::size_t kMaxCached = 64;
    struct Slot {
        std::string bytes;
        PyObject* str = nullptr;
    };
    std::array<Slot, kSlots> slots_;
};

struct RowContext {
    const QuantizationTransform& transform;
    const SpatialReference& spatial_reference;
    const wire::RefusedNulls& refused;
    NameCache& names;
};

// One row (a checked GraphQueryRow) as a list of width entries. Raises what
// to_python raises for the same values.
py::object row_to_python(wire::Span row, std::size_t width, RowContext& context);

// uuid.UUID(int=...) for 16 bytes in RFC 4122 order. When uuid.UUID is the
// standard class it is filled in directly (the object __init__ would make);
// any other callable put in its place is called.
py::object make_uuid(const unsigned char* bytes);

}  // namespace tk
