// Values to and from their wire messages.
#pragma once

#include "common/status.h"
#include "geometry/quantization.h"
#include "values/object_values.h"

namespace google {
namespace protobuf {
template <typename T>
class RepeatedPtrField;
}
}  // namespace google

namespace vexoPBuffer {
namespace graph {
class AnyValue;
class KeyValuePair;
class GeometryValue;
}  // namespace graph
}  // namespace vexoPBuffer

namespace tk {

// Never changes the value it is given. Nesting deeper than
// kMaxEncodedValueDepth (which is also how a cyclic value shows) gives -3,
// and so does text that is not valid UTF-8 (a string value, an entity or
// relationship type name, a property key).
int encode_any_value(const QuantizationTransform& transform, const value_t& value,
                     vexoPBuffer::graph::AnyValue* target);
int encode_properties(const QuantizationTransform& transform, const KeyValueList& source,
                      google::protobuf::RepeatedPtrField<vexoPBuffer::graph::KeyValuePair>* target);

// Never fails as a whole: unrepresentable pieces become null or empty
// pointers. Strings and blobs are moved out of the message. Only dequantize
// may throw ("Invalid geometry.").
value_t decode_any_value(const QuantizationTransform& transform, vexoPBuffer::graph::AnyValue& message);
// 0, or -1 when a pair has an empty key.
int decode_properties(const QuantizationTransform& transform,
                      google::protobuf::RepeatedPtrField<vexoPBuffer::graph::KeyValuePair>& source,
                      KeyValueList& target);
value_t decode_geometry_value(const QuantizationTransform& transform, const vexoPBuffer::graph::GeometryValue& message);

// A null array travels as a bare count, the one wire form whose decoded size
// does not follow from its bytes. Decoders open one scope per input message;
// inside it all null arrays together may expand to at most a fixed allowance
// plus a small multiple of that input's size (an array over the budget
// decodes to an empty pointer). Scopes nest; without one only the per-array
// cap applies.
class NullExpansionScope {
public:
    explicit NullExpansionScope(std::size_t input_bytes);
    ~NullExpansionScope();
    NullExpansionScope(const NullExpansionScope&) = delete;
    NullExpansionScope& operator=(const NullExpansionScope&) = delete;

private:
    int64_t saved_;
};

}  // namespace tk
