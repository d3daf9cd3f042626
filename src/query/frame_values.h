// The native value union built straight from checked frame bytes, and the
// checks a frame's rows get before they are handed out.
#pragma once

#include <cstdint>
#include <vector>

#include "geometry/quantization.h"
#include "query/frame_reader.h"
#include "values/object_values.h"

namespace tk {

// The value an AnyValue decodes to, as the value codec gives it for the
// same message: null arrays refused by the frame's budget are empty
// pointers. Throws std::invalid_argument "Invalid geometry." only for a
// geometry the row check would have refused.
value_t build_value(const wire::Spans& any_value, const QuantizationTransform& transform,
                    const wire::RefusedNulls& refused);

// Walks a row's values in the order the value codec decodes them: every
// geometry is dequantized (throwing "Invalid geometry." as the codec does)
// and every null array is charged to the budget, the ones over it recorded
// as refused.
struct RowCheck {
    const QuantizationTransform* transform = nullptr;
    int64_t null_budget = 0;
    // Refused arrays are recorded as offsets from base, the frame's first
    // byte (the frame's buffer may move while it is being inflated).
    const char* base = nullptr;
    std::vector<std::size_t> refused;
    geometry_t scratch;
};
// Only the values the row's check flagged are walked: the others hold
// neither.
void check_row_values(wire::Span row, const wire::CheckNotes& notes, RowCheck& check);

// Null arrays of one frame share this budget.
int64_t null_budget_for(std::size_t received_bytes);

}  // namespace tk
