// The Arrow C data interface: the three structs every Arrow reader agrees
// on, laid out exactly as the format defines them, and the exports of a
// finished batch through them. The guard macros are the format's own, so a
// translation unit that also sees another definition gets only one.
#pragma once

#include <cstdint>
#include <memory>

#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE

#define ARROW_FLAG_DICTIONARY_ORDERED 1
#define ARROW_FLAG_NULLABLE 2
#define ARROW_FLAG_MAP_KEYS_SORTED 4

extern "C" {
struct ArrowSchema {
    const char* format;
    const char* name;
    const char* metadata;
    int64_t flags;
    int64_t n_children;
    struct ArrowSchema** children;
    struct ArrowSchema* dictionary;
    void (*release)(struct ArrowSchema*);
    void* private_data;
};

struct ArrowArray {
    int64_t length;
    int64_t null_count;
    int64_t offset;
    int64_t n_buffers;
    int64_t n_children;
    const void** buffers;
    struct ArrowArray** children;
    struct ArrowArray* dictionary;
    void (*release)(struct ArrowArray*);
    void* private_data;
};
}
#endif

#ifndef ARROW_C_STREAM_INTERFACE
#define ARROW_C_STREAM_INTERFACE
extern "C" {
struct ArrowArrayStream {
    int (*get_schema)(struct ArrowArrayStream*, struct ArrowSchema* out);
    int (*get_next)(struct ArrowArrayStream*, struct ArrowArray* out);
    const char* (*get_last_error)(struct ArrowArrayStream*);
    void (*release)(struct ArrowArrayStream*);
    void* private_data;
};
}
#endif

namespace tk {
namespace arrow {

struct Batch;

// Each fills a struct the caller owns (its release is set; the caller or
// the consumer it hands the struct to calls it exactly once). Every export
// shares ownership of the batch's buffers, so they outlive the batch's
// other holders. Throw std::bad_alloc only; out is untouched then.
void export_schema(const std::shared_ptr<const Batch>& batch, ArrowSchema* out);
void export_array(const std::shared_ptr<const Batch>& batch, ArrowArray* out);
// A stream that yields this one batch, then ends.
void export_stream(const std::shared_ptr<const Batch>& batch, ArrowArrayStream* out);

// Whether two schemas describe the same columns: formats, names, nullable
// flags, children and metadata (as key/value pairs, in any order).
bool schema_equals(const ArrowSchema& a, const ArrowSchema& b);

}  // namespace arrow
}  // namespace tk
