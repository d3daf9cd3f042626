// Query result rows as Arrow columns, built straight from checked frame
// bytes. One pass: every cell is stored in the form its own kind needs (an
// 8-byte word, or bytes), and the column's type is settled at finish(),
// when all its kinds are known; only a column that ends up mixed is
// rewritten (as JSON text).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "geometry/quantization.h"
#include "geometry/spatial_reference.h"
#include "query/frame_reader.h"

namespace tk {
namespace arrow {

enum class ColumnType : uint8_t {
    Null,
    Bool,
    Int64,
    Float64,
    String,  // also the storage of JSON columns
    Binary,  // also the storage of WKB columns
    Timestamp,
    Uuid,
};

// A finished column: the buffers handed to readers as they are.
struct Column {
    std::string name;
    ColumnType type = ColumnType::Null;
    bool large = false;     // 64-bit offsets (String, Binary)
    std::string extension;  // "arrow.uuid", "arrow.json", "geoarrow.wkb" or empty
    std::string extension_metadata;
    int64_t length = 0;
    int64_t null_count = 0;
    std::string validity;            // bitmap; empty when null_count is 0
    std::vector<int64_t> words;      // Int64, Float64 (bits), Timestamp
    std::string bytes;               // Bool bits, Uuid (16 per row), String/Binary data
    std::vector<int32_t> offsets32;  // String/Binary, not large
    std::vector<int64_t> offsets64;  // String/Binary, large
};

struct CellError {
    int64_t row = 0;
    int64_t column = 0;
    std::string message;
};

struct Batch {
    int64_t rows = 0;
    std::vector<Column> columns;
    std::vector<CellError> errors;
};

// Column data passes to 64-bit offsets beyond this many bytes.
constexpr std::size_t kMaxSmallOffset = 2147483647;

class BatchBuilder {
public:
    // The transform dequantizes geometries; the spatial reference (may be
    // null) goes into the geometry columns' metadata and into geometries
    // written as JSON.
    BatchBuilder(const std::vector<std::string>& field_names, const QuantizationTransform& transform,
                 const SpatialReference* spatial_reference);
    ~BatchBuilder();
    BatchBuilder(const BatchBuilder&) = delete;
    BatchBuilder& operator=(const BatchBuilder&) = delete;

    // One checked GraphQueryRow of the decoder's width. Throws std::bad_alloc
    // only.
    void add_row(wire::Span row, const wire::RefusedNulls& refused);
    int64_t rows() const { return rows_; }
    std::shared_ptr<Batch> finish();

    struct State;

private:
    std::unique_ptr<State> state_;
    int64_t rows_ = 0;
};

// The extension metadata of geometry columns for a spatial reference:
// {} when it is unset, {"crs": "EPSG:<code>"} (the latest code when there
// is one) for an identifier, {"crs": "<wkt>"} for text alone.
std::string geometry_metadata(const SpatialReference* spatial_reference);

// Arrow's field metadata encoding: int32 count, then length-prefixed keys
// and values (native byte order).
std::string encode_metadata(const std::vector<std::pair<std::string, std::string>>& pairs);

}  // namespace arrow
}  // namespace tk
