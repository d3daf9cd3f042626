// Outcome records shared by every encoder and decoder.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>

#include "common/status.h"
#include "values/value.h"

namespace tk {

struct kg_error_t {
    int64_t error_code = 0;
    std::string error_message;

    bool empty() const { return error_code == 0 && error_message.empty(); }
    void clear() {
        error_code = 0;
        error_message.clear();
    }
    void set(int64_t code, std::string message) {
        error_code = code;
        error_message = std::move(message);
    }
};

struct EncodingResult {
    kg_error_t error;
    blob_t byte_buffer;

    void reset() {
        error.clear();
        byte_buffer.bytes.clear();
    }
    // The state before the first encode(): nothing to show to Python.
    bool untouched() const { return error.empty() && byte_buffer.bytes.empty(); }
};

// Runs one encode with the common error handling of the request encoders:
// build(out) serialises the request into out; std::invalid_argument gives
// -1, other std::exception -998, anything else -999 "Unexpected failure.",
// and producing no bytes without an error is -999 too. Never throws.
template <class Build>
void run_encode(EncodingResult& result, Build&& build) {
    result.reset();
    try {
        build(result.byte_buffer.bytes);
    } catch (const std::invalid_argument& e) {
        result.byte_buffer.bytes.clear();
        result.error.set(status::kEncodeInvalidInput, e.what());
    } catch (const std::exception& e) {
        result.byte_buffer.bytes.clear();
        result.error.set(status::kEncodeFailed, e.what());
    } catch (...) {
        result.byte_buffer.bytes.clear();
        result.error.set(status::kEncodeUnexpected, "Unexpected failure.");
    }
    if (result.byte_buffer.bytes.empty() && result.error.empty())
        result.error.set(status::kEncodeUnexpected, "Unexpected failure.");
}

}  // namespace tk
