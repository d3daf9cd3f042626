// Query results as Arrow record batches for Python (see query/arrow_batch.h).
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>

#include "geometry/spatial_reference.h"
#include "query/query_decoder.h"

namespace tk {

namespace py = pybind11;

// The decoder's next rows (at most max_rows; every available one when
// negative) as an ArrowRecordBatch. The caller holds the decoder's busy
// flag. Raises ValueError "Decoder has not parsed the header yet." when no
// header has arrived.
py::object read_arrow_batch(GraphQueryDecoder& decoder, int64_t max_rows, const SpatialReference* spatial_reference);

}  // namespace tk
