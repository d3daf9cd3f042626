// Streamed query results: a length-prefixed header, then length-prefixed
// frames of rows (optionally gzip/zlib-compressed), pushed in chunks of any
// size and pulled row by row.
//
// A frame is checked when its chunk is consumed (it must parse as the
// protobuf runtime would parse it, its rows must have the header's width and
// their geometries must fit their lengths) and then kept as bytes: rows are
// turned into values only when asked for, by build_value here or by a
// builder of other forms over the same bytes (query/frame_reader.h).
//
// Threads: the Python bindings call every member with the GIL held, so no
// two calls ever overlap. Native callers must serialise their calls in the
// same way, with one exception: push_buffer may run on another thread than
// the one pulling rows, because the queue of pushed chunks, and the failure
// flag push_buffer reads, are guarded by a mutex. Everything else belongs to
// the thread that pulls rows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/error.h"
#include "geometry/quantization.h"
#include "query/frame_reader.h"
#include "values/value.h"

namespace tk {

class DataModel;

// Largest message (and largest chunk).
constexpr std::size_t kMaxMessageSize = 2147483647;

// A compressed frame may inflate to at most this many times its compressed
// size, and never beyond the absolute cap; beyond either the decoder records
// -1 "zlib: frame too large." Real frames stay far below both: 1,000 rows of
// wide entities compress 6 to 12 times at level 9, and 144 times when every
// property but the id is the same in every row; bombs sit at deflate's limit
// of about 1,000.
constexpr std::size_t kMaxInflateRatio = 512;
constexpr std::size_t kMaxInflatedFrame = std::size_t(256) << 20;

class GraphQueryDecoder {
public:
    GraphQueryDecoder();
    ~GraphQueryDecoder();
    GraphQueryDecoder(const GraphQueryDecoder&) = delete;
    GraphQueryDecoder& operator=(const GraphQueryDecoder&) = delete;

    // Only its spatial reference is used (geometries of rows as structures).
    std::shared_ptr<DataModel> data_model;
    kg_error_t error;

    bool has_error() const { return !error.empty(); }
    bool header_parsed() const { return header_parsed_; }
    const std::vector<std::string>& field_names() const { return field_names_; }
    std::size_t row_width() const { return field_names_.size(); }
    // The header's transform (the identity before a header).
    const QuantizationTransform& transform() const { return transform_; }

    // Copies the bytes into the queue; false (nothing queued) for an empty
    // or oversized chunk or after an error.
    bool push_buffer(const char* data, std::size_t size);
    // Moves to the next row, decoding queued chunks until one yields a row
    // or the queue is empty. Never throws: failures land in error.
    bool next_row();
    // Called after the last chunk: decodes what is still queued (its rows
    // stay for next_row) and answers whether the stream ended cleanly, after
    // a header and on a message boundary. Otherwise it records -1 "Result
    // stream ended before its header." or "Result stream ended inside a
    // message." (or keeps the error it already has) and answers false.
    bool finish();

    bool has_current_row() const { return has_row_; }
    // The current row's GraphQueryRow bytes, checked; empty without a row.
    wire::Span current_row() const { return has_row_ ? row_ : wire::Span{}; }
    // Null arrays of the current row's frame that its budget refused.
    const wire::RefusedNulls& current_refused() const;
    // The current row's values as the value union, decoded on first use and
    // kept until the cursor moves; nullptr for an index outside the row or
    // when there is no current row. Throws only std::bad_alloc.
    const value_t* value_at(int64_t index);
    // Whether value_at decoded the current row (its values may since have
    // been changed through the objects handed out).
    bool row_values_decoded() const { return has_row_ && row_values_ready_; }

    // For readers that convert rows ahead of their caller: a current row's
    // place in the front frame, to come back to. rows_ready() counts the
    // rows after the current one that next_row() takes from the front frame
    // without decoding anything (it cannot fail on them).
    struct RowCursor {
        std::uint64_t frame = 0;  // the frame's serial number
        wire::Span row;
        const char* next = nullptr;
        std::size_t left = 0;
    };
    std::size_t rows_ready() const { return has_row_ ? rows_left_ : 0; }
    RowCursor cursor() const;
    // Back to a cursor taken since the front frame became the front (only
    // next_row() calls that rows_ready() allowed in between); the current
    // row's decoded values are dropped. False, and nothing changed, for any
    // other cursor.
    bool rewind(const RowCursor& to);

private:
    // One checked frame whose rows are still to be read. Its bytes are a
    // range of the owner's: the chunk they came in, the carried-over
    // message, or the inflated frame.
    struct StoredFrame {
        std::shared_ptr<const void> owner;
        const char* begin = nullptr;
        const char* end = nullptr;
        std::size_t rows = 0;  // rows that passed the check: the ones next_row() may take
        std::uint64_t serial = 0;  // 1 for the stream's first stored frame, and so on
        wire::RefusedNulls refused;
    };
    struct FrameScan;

    std::mutex mutex_;
    std::deque<std::string> pending_;
    bool failed_ = false;  // has_error(), for push_buffer; under mutex_

    std::string carry_;
    QuantizationTransform transform_;
    bool header_parsed_ = false;
    bool frames_compressed_ = false;
    std::vector<std::string> field_names_;

    std::deque<StoredFrame> frames_;
    std::uint64_t frames_stored_ = 0;
    // The cursor, inside frames_.front().
    bool has_row_ = false;
    wire::Span row_;
    const char* row_next_ = nullptr;  // where the next row is looked for
    std::size_t rows_left_ = 0;       // rows of the front frame after row_
    std::vector<value_t> row_values_;
    bool row_values_ready_ = false;

    std::unique_ptr<char[]> discard_;  // output of frames that no longer parse

    bool enter_first_row();
    bool take_row();
    // One queued chunk; false when the queue was empty.
    bool decode_step();
    void decode_chunk(const std::shared_ptr<std::string>& chunk);
    // Completes the message held in carry_ from the chunk; returns the
    // number of chunk bytes used.
    std::size_t complete_carried(const char* data, std::size_t size);
    // Header or frame, by state; false stops decoding this chunk.
    bool handle_message(const std::shared_ptr<const void>& owner, const char* data, std::size_t size);
    bool handle_header(const char* data, std::size_t size);
    bool handle_frame(const std::shared_ptr<const void>& owner, const char* data, std::size_t size);
    bool inflate_frame(const char* data, std::size_t size);
    bool finish_frame(FrameScan& scan, std::shared_ptr<const void> owner, const char* begin, const char* end);
    void fail_bad_length();
    template <class Step>
    void guarded(Step&& step);
    void drop_input();
};

}  // namespace tk
