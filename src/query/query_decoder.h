// Streamed query results: a length-prefixed header, then length-prefixed
// frames of rows (optionally gzip/zlib-compressed), pushed in chunks of any
// size and pulled row by row.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "geometry/quantization.h"
#include "values/value.h"

namespace google {
namespace protobuf {
class Arena;
}
}  // namespace google

namespace vexoPBuffer {
namespace graph {
class GraphQueryResultFrame;
}  // namespace graph
}  // namespace vexoPBuffer

namespace tk {

class DataModel;

// Largest message (and largest chunk, and largest inflated frame).
constexpr std::size_t kMaxMessageSize = 2147483647;

class GraphQueryDecoder {
public:
    GraphQueryDecoder();
    ~GraphQueryDecoder();
    GraphQueryDecoder(const GraphQueryDecoder&) = delete;
    GraphQueryDecoder& operator=(const GraphQueryDecoder&) = delete;

    // Only its spatial reference is used (geometries of get_current_row).
    std::shared_ptr<DataModel> data_model;
    kg_error_t error;

    bool has_error() const { return !error.empty(); }
    bool header_parsed() const { return header_parsed_; }
    const std::vector<std::string>& field_names() const { return field_names_; }
    std::size_t row_width() const { return field_names_.size(); }

    // Copies the bytes into the queue; false (nothing queued) for an empty
    // or oversized chunk or after an error. May be called from any thread.
    bool push_buffer(const char* data, std::size_t size);
    // Moves to the next row, decoding queued chunks until one yields a row
    // or the queue is empty. Never throws: failures land in error.
    bool next_row();
    bool has_current_row() const { return cursor_ != kNoRow; }
    // nullptr for an index outside the row or when there is no current row.
    const value_t* value_at(int64_t index) const;

private:
    static constexpr std::size_t kNoRow = static_cast<std::size_t>(-1);

    enum class ReadStatus { kMessage, kNeedMore, kBadLength };

    std::mutex mutex_;
    std::deque<std::string> pending_;

    std::string carry_;
    QuantizationTransform transform_;
    bool header_parsed_ = false;
    bool frames_compressed_ = false;
    std::vector<std::string> field_names_;
    std::vector<value_t> values_;
    std::size_t cursor_ = kNoRow;
    // Frames are parsed onto an arena that is reset after each frame: its
    // first block is ours and stays, so a frame of usual size allocates
    // nothing.
    std::unique_ptr<char[]> arena_block_;
    std::unique_ptr<google::protobuf::Arena> arena_;
    std::string inflated_;  // reused for every compressed frame
    std::size_t inflated_size_ = 0;

    // One queued chunk; false when the queue was empty.
    bool decode_step();
    void decode_chunk(const std::string& chunk);
    // Completes the message held in carry_ from the chunk; returns the
    // number of chunk bytes used.
    std::size_t complete_carried(const char* data, std::size_t size);
    // Header or frame, by state; false stops decoding this chunk.
    bool handle_message(const char* data, std::size_t size);
    bool handle_header(const char* data, std::size_t size);
    bool handle_frame(const char* data, std::size_t size);
    bool inflate_frame(const char* data, std::size_t size);
    void decode_rows(vexoPBuffer::graph::GraphQueryResultFrame& frame);
    void fail_bad_length();
};

}  // namespace tk
