#include "common/status.h"

#include <stdexcept>

namespace tk {
namespace status {

void raise_for_status(int code) {
    if (code >= 0) return;
    switch (code) {
        case kNoQuantization:
            throw std::invalid_argument(
                "Geometry quantization not possible without valid spatial reference info. Maybe XY resolution was "
                "not set?");
        case kNotImplemented:
            throw std::invalid_argument("Not implemented.");
        case kInvalidArgument:
            throw std::invalid_argument("Invalid argument.");
        default:
            throw std::logic_error("Unexpected failure.");
    }
}

}  // namespace status
}  // namespace tk
