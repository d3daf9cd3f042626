#include "query/query_decoder.h"

#include <zlib.h>

#include <algorithm>
#include <new>
#include <stdexcept>
#include <utility>

#include <google/protobuf/arena.h>

#include "graph_query.pb.h"
#include "values/codec.h"

namespace tk {

namespace pbg = vexoPBuffer::graph;

namespace {

enum class VarintStatus { kOk, kIncomplete, kInvalid };

// A length prefix: a base-128 varint of at most ten bytes holding 0 to
// 2^31-1 (overlong encodings of such a value are accepted).
VarintStatus read_length(const char* data, std::size_t size, std::size_t& length, std::size_t& prefix) {
    uint64_t value = 0;
    for (std::size_t i = 0; i < 10; ++i) {
        if (i == size) return VarintStatus::kIncomplete;
        const auto byte = static_cast<uint8_t>(data[i]);
        if (i < 9)
            value |= static_cast<uint64_t>(byte & 0x7f) << (7 * i);
        else if (byte & 0x7e)
            return VarintStatus::kInvalid;  // beyond 64 bits
        else
            value |= static_cast<uint64_t>(byte & 0x01) << 63;
        if (value > kMaxMessageSize) return VarintStatus::kInvalid;
        if ((byte & 0x80) == 0) {
            length = static_cast<std::size_t>(value);
            prefix = i + 1;
            return VarintStatus::kOk;
        }
    }
    return VarintStatus::kInvalid;
}

// Releases the inflater on every path out.
struct InflateGuard {
    z_stream* z;
    ~InflateGuard() { inflateEnd(z); }
};

// Above this the reusable inflate buffer is given back after use.
constexpr std::size_t kKeepInflateBuffer = std::size_t(16) << 20;

constexpr std::size_t kArenaBlock = std::size_t(1) << 20;

std::unique_ptr<google::protobuf::Arena> make_arena(char* block) {
    google::protobuf::ArenaOptions options;
    options.initial_block = block;
    options.initial_block_size = kArenaBlock;
    options.start_block_size = kArenaBlock;
    options.max_block_size = kArenaBlock;
    return std::make_unique<google::protobuf::Arena>(options);
}

// Frees what a frame put on the arena, however its decoding ends.
struct ArenaReset {
    google::protobuf::Arena& arena;
    ~ArenaReset() { arena.Reset(); }
};

}  // namespace

GraphQueryDecoder::GraphQueryDecoder() = default;

GraphQueryDecoder::~GraphQueryDecoder() = default;

bool GraphQueryDecoder::push_buffer(const char* data, std::size_t size) {
    if (size == 0 || size > kMaxMessageSize || has_error()) return false;
    std::string copy(data, size);
    std::lock_guard<std::mutex> lock(mutex_);
    pending_.push_back(std::move(copy));
    return true;
}

const value_t* GraphQueryDecoder::value_at(int64_t index) const {
    if (cursor_ == kNoRow || index < 0 || static_cast<uint64_t>(index) >= row_width()) return nullptr;
    return &values_[cursor_ + static_cast<std::size_t>(index)];
}

bool GraphQueryDecoder::next_row() {
    const std::size_t width = row_width();
    if (cursor_ != kNoRow && width > 0) {
        cursor_ += width;
        if (cursor_ + width <= values_.size()) return true;
    }
    cursor_ = kNoRow;
    values_.clear();
    try {
        // Several chunks may be queued before the first read: keep taking
        // them until one yields a row.
        while (!has_error()) {
            const bool took = decode_step();
            if (!values_.empty()) break;
            if (!took) return false;
        }
    } catch (const std::bad_alloc&) {
        error.set(status::kStreamError, "Out of memory!");
    } catch (const std::exception& e) {
        const char* what = e.what();
        error.set(status::kStreamError, (what && *what) ? what : "Unexpected error has occurred!");
    } catch (...) {
        error.set(status::kStreamError, "Unexpected error has occurred!");
    }
    if (has_error()) {
        // Nothing more will be decoded: give the queued input back now.
        std::deque<std::string> dropped;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            dropped.swap(pending_);
        }
        std::string().swap(carry_);
        // A failure inside a row leaves it incomplete; rows before it stay.
        // (The header may have arrived in this call: width is read again.)
        const std::size_t now_width = row_width();
        if (now_width > 0)
            values_.resize(values_.size() - values_.size() % now_width);
        else
            values_.clear();
    }
    if (values_.empty()) return false;
    cursor_ = 0;
    return true;
}

bool GraphQueryDecoder::decode_step() {
    std::string chunk;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (pending_.empty()) return false;
        chunk = std::move(pending_.front());
        pending_.pop_front();
    }
    decode_chunk(chunk);
    return true;
}

void GraphQueryDecoder::fail_bad_length() {
    if (header_parsed_)
        error.set(status::kStreamError, "Result frame parsing failure!");
    else
        error.set(status::kStreamError, "Result header parsing failure!");
}

void GraphQueryDecoder::decode_chunk(const std::string& chunk) {
    const char* data = chunk.data();
    const std::size_t size = chunk.size();
    std::size_t pos = 0;
    if (!carry_.empty()) {
        pos = complete_carried(data, size);
        if (!carry_.empty() || has_error()) return;
    }
    while (pos < size && !has_error()) {
        std::size_t length = 0;
        std::size_t prefix = 0;
        const VarintStatus status = read_length(data + pos, size - pos, length, prefix);
        if (status == VarintStatus::kInvalid) {
            fail_bad_length();
            return;
        }
        if (status == VarintStatus::kIncomplete || size - pos - prefix < length) {
            // Only the start of one message is kept, never more.
            carry_.assign(data + pos, size - pos);
            return;
        }
        pos += prefix;
        const bool go_on = handle_message(data + pos, length);
        pos += length;
        if (!go_on) return;
    }
}

std::size_t GraphQueryDecoder::complete_carried(const char* data, std::size_t size) {
    std::size_t used = 0;
    std::size_t length = 0;
    std::size_t prefix = 0;
    for (;;) {
        const VarintStatus status = read_length(carry_.data(), carry_.size(), length, prefix);
        if (status == VarintStatus::kOk) break;
        if (status == VarintStatus::kInvalid) {
            fail_bad_length();
            return size;
        }
        // The prefix itself was split: take its bytes one at a time.
        if (used == size) return used;
        carry_.push_back(data[used++]);
    }
    const std::size_t total = prefix + length;
    const std::size_t take = std::min(total - carry_.size(), size - used);
    carry_.append(data + used, take);
    used += take;
    if (carry_.size() < total) return used;
    handle_message(carry_.data() + prefix, length);
    carry_.clear();
    if (carry_.capacity() > kKeepInflateBuffer) std::string().swap(carry_);
    return used;
}

bool GraphQueryDecoder::handle_message(const char* data, std::size_t size) {
    return header_parsed_ ? handle_frame(data, size) : handle_header(data, size);
}

bool GraphQueryDecoder::handle_header(const char* data, std::size_t size) {
    pbg::GraphQueryResultHeader header;
    if (!header.ParseFromArray(data, static_cast<int>(size))) {
        error.set(status::kStreamError, "Result header parsing failure!");
        return false;
    }
    if (header.has_error()) {
        error.set(header.error().error_code(), header.error().error_message());
        return false;
    }
    if (!header.has_transform()) {
        error.set(status::kStreamError,
                  "Result header did not include the required geometry transformation parameters!");
        return false;
    }
    const auto& t = header.transform();
    if (t.has_scale()) {
        transform_.sx = t.scale().xscale();
        transform_.sy = t.scale().yscale();
        transform_.sz = t.scale().zscale();
        transform_.sm = t.scale().mscale();
    }
    if (t.has_translate()) {
        transform_.tx = t.translate().xtranslate();
        transform_.ty = t.translate().ytranslate();
        transform_.tz = t.translate().ztranslate();
        transform_.tm = t.translate().mtranslate();
    }
    transform_.valid = true;
    frames_compressed_ = header.frames_compressed();
    field_names_.clear();
    field_names_.reserve(static_cast<std::size_t>(header.field_names_size()));
    for (auto& name : *header.mutable_field_names()) field_names_.push_back(std::move(name));
    header_parsed_ = true;
    return true;
}

bool GraphQueryDecoder::handle_frame(const char* data, std::size_t size) {
    if (size == 0) return true;
    if (frames_compressed_) {
        if (!inflate_frame(data, size)) return false;
        data = inflated_.data();
        size = inflated_size_;
    }
    if (!arena_) {
        // Made on the first frame: a decoder that never sees one costs nothing.
        arena_block_.reset(new char[kArenaBlock]);
        arena_ = make_arena(arena_block_.get());
    }
    ArenaReset reset{*arena_};
    auto* frame = google::protobuf::Arena::CreateMessage<pbg::GraphQueryResultFrame>(arena_.get());
    const bool parsed = frame->ParseFromArray(data, static_cast<int>(size));
    if (inflated_.capacity() > kKeepInflateBuffer) std::string().swap(inflated_);
    if (!parsed) {
        error.set(status::kStreamError, "Result frame parsing failure!");
        return false;
    }
    if (frame->has_error()) {
        error.set(frame->error().error_code(), frame->error().error_message());
        return false;
    }
    NullExpansionScope nulls(size);
    decode_rows(*frame);
    return !has_error();
}

bool GraphQueryDecoder::inflate_frame(const char* data, std::size_t size) {
    z_stream z{};
    // 15 + 32: the largest window, gzip or zlib header detected.
    const int init = inflateInit2(&z, 15 + 32);
    if (init != Z_OK) {
        error.set(status::kStreamError, std::string("zlib: ") + (z.msg ? z.msg : zError(init)));
        return false;
    }
    InflateGuard guard{&z};
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
    z.avail_in = static_cast<uInt>(size);

    const std::size_t initial = std::min<std::size_t>(std::max<std::size_t>(size * 4, 64 * 1024), kMaxMessageSize);
    if (inflated_.size() < initial) inflated_.resize(initial);
    std::size_t produced = 0;
    for (;;) {
        if (produced == inflated_.size()) {
            if (produced >= kMaxMessageSize) {
                error.set(status::kStreamError, "zlib: inflated frame is larger than 2147483647 bytes");
                return false;
            }
            inflated_.resize(std::min(inflated_.size() * 2, kMaxMessageSize));
        }
        const std::size_t room = inflated_.size() - produced;
        z.next_out = reinterpret_cast<Bytef*>(&inflated_[produced]);
        z.avail_out = static_cast<uInt>(room);
        const int rc = inflate(&z, Z_NO_FLUSH);
        produced += room - z.avail_out;
        if (rc == Z_STREAM_END) {
            if (z.avail_in == 0) break;
            // Concatenated gzip members make one frame.
            const int reset = inflateReset(&z);
            if (reset != Z_OK) {
                error.set(status::kStreamError, std::string("zlib: ") + (z.msg ? z.msg : zError(reset)));
                return false;
            }
            continue;
        }
        if (rc == Z_OK) continue;
        if (rc == Z_BUF_ERROR && z.avail_out == 0) continue;
        if (rc == Z_BUF_ERROR) {
            // Input used up before the stream ended: a cut frame must not
            // pass as a shorter one.
            error.set(status::kStreamError,
                      std::string("zlib: ") + (z.msg ? z.msg : "unexpected end of compressed data"));
            return false;
        }
        error.set(status::kStreamError, std::string("zlib: ") + (z.msg ? z.msg : zError(rc)));
        return false;
    }
    inflated_size_ = produced;
    return true;
}

void GraphQueryDecoder::decode_rows(pbg::GraphQueryResultFrame& frame) {
    const std::size_t width = row_width();
    auto& rows = *frame.mutable_rows();
    for (auto& row : rows) {
        if (static_cast<std::size_t>(row.values_size()) != width) {
            error.set(status::kFrameValuesError, "Error decoding result frame!");
            return;
        }
        for (auto& value : *row.mutable_values()) values_.push_back(decode_any_value(transform_, value));
    }
}

}  // namespace tk
