// Every status code the system uses, with its meaning. The numbers are part
// of the interface (Python reads them from Error.error_code), so a number
// never changes; where one number serves two families, each family has its
// own name for it.
#pragma once

#include <cstdint>

namespace tk {
namespace status {

// ---- Internal conversions: value codec, quantization, schema wire ----
// Returned by the core's conversion routines; raise_for_status turns the
// negative ones into the exceptions the request encoders report.
constexpr int kOk = 0;
// Success that wrote nothing: an empty array (no member set), or a
// transform left invalid because the resolution is not finite.
constexpr int kNothingToDo = 1;
// A pair with an empty key while decoding properties, or a missing message
// to write a spatial reference into.
constexpr int kEmptyKey = -1;
constexpr int kNoMessage = -1;
constexpr int kNoTarget = -2;
constexpr int kInvalidArgument = -3;
constexpr int kNotImplemented = -5;
constexpr int kNoQuantization = -6;

// ---- EncodingResult.error of the request encoders ----
constexpr int64_t kEncodeInvalidInput = -1;  // the input check failed; message = its text
constexpr int64_t kEncodeFailed = -998;      // any other failure with a text
constexpr int64_t kEncodeUnexpected = -999;  // "Unexpected failure."

// ---- The apply-edits encoder's own codes ----
constexpr int64_t kEditsUnexpected = -1;     // "GraphApplyEditsEncoder: unexpected error."
constexpr int64_t kEditRefused = -3;         // the object lacks what the edit needs
constexpr int64_t kEditsNotReusable = -7;    // encoded already, or nothing to encode
constexpr int64_t kEditEncodingFailed = -8;  // a value of the edit could not be encoded
constexpr int64_t kEditNoTypeName = -9;      // an add without a type name

// ---- Decoders (kg_error_t); codes the service sends pass through ----
constexpr int64_t kStreamError = -1;           // query stream: framing, parsing, inflating
constexpr int64_t kFrameValuesError = -3;      // "Error decoding result frame!"
constexpr int64_t kResponseDecodeFailed = -3;  // an edits or schema response that does not parse
constexpr int64_t kNotBytes = -2147024809;     // 0x80070057 as a signed 32-bit value

// Throws for a negative internal conversion code: std::invalid_argument with
// the texts every request encoder reports, std::logic_error
// "Unexpected failure." for any other negative code. Does nothing for 0 or 1.
void raise_for_status(int code);

}  // namespace status
}  // namespace tk
