#include "query/query_decoder.h"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <new>
#include <stdexcept>
#include <utility>

#include "graph_query.pb.h"
#include "query/frame_values.h"

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

// Owns a malloc'd inflate buffer until it is handed on.
struct MallocBuffer {
    char* p = nullptr;
    ~MallocBuffer() { std::free(p); }
};

struct FreeDeleter {
    void operator()(const void* p) const { std::free(const_cast<void*>(p)); }
};

constexpr std::size_t kDiscardSize = std::size_t(64) << 10;

// Reading a top-level field of a frame whose bytes may still be arriving:
// kMore when they end inside the field, kBad when it is malformed.
enum class Take { kOk, kMore, kBad };

Take take_tag(const char*& p, const char* end, uint32_t& tag) {
    const char* q = p;
    if (wire::read_tag(q, end, tag)) {
        p = q;
        return Take::kOk;
    }
    return end - p < 5 ? Take::kMore : Take::kBad;
}

Take take_varint(const char*& p, const char* end) {
    const char* q = p;
    uint64_t v;
    if (wire::read_varint(q, end, v)) {
        p = q;
        return Take::kOk;
    }
    return end - p < 10 ? Take::kMore : Take::kBad;
}

Take take_span(const char*& p, const char* end, wire::Span& span) {
    const char* q = p;
    std::size_t size = 0;
    if (!wire::read_size(q, end, size)) return end - p < 5 ? Take::kMore : Take::kBad;
    if (size > static_cast<std::size_t>(end - q)) return Take::kMore;
    span = wire::Span{q, q + size};
    p = q + size;
    return Take::kOk;
}

Take take_bytes(const char*& p, const char* end, std::size_t n) {
    if (static_cast<std::size_t>(end - p) < n) return Take::kMore;
    p += n;
    return Take::kOk;
}

}  // namespace

// The check of one frame, fed its top-level fields as they become whole
// (all at once, or step by step while the frame inflates). Whether the frame
// parses is known only at its end; until then row failures are kept aside.
struct GraphQueryDecoder::FrameScan {
    std::size_t width = 0;
    bool bad = false;                                              // the frame does not parse
    bool whole = false;                                            // a top-level group: checked once every byte is in
    std::vector<std::pair<std::size_t, std::size_t>> error_spans;  // the frame's error field, as offsets
    std::size_t rows = 0;                                          // rows that passed, before a failing one
    bool row_failed = false;
    int64_t fail_code = 0;
    std::string fail_message;
    RowCheck check;

    void fail_row(int64_t code, std::string message) {
        row_failed = true;
        fail_code = code;
        fail_message = std::move(message);
    }

    void check_row(wire::Span row, const wire::CheckNotes& notes) {
        if (row_failed) return;
        if (notes.values != width) {
            fail_row(status::kFrameValuesError, "Error decoding result frame!");
            return;
        }
        // Only geometries can fail and only null arrays cost budget.
        if (notes.geometry || notes.null_array) {
            try {
                check_row_values(row, notes, check);
            } catch (const std::bad_alloc&) {
                fail_row(status::kStreamError, "Out of memory!");
            } catch (const std::exception& e) {
                const char* what = e.what();
                fail_row(status::kStreamError, (what && *what) ? what : "Unexpected error has occurred!");
            }
            if (row_failed) return;
        }
        ++rows;
    }

    Take field(const char* base, const char*& p, const char* end, bool final) {
        uint32_t tag = 0;
        Take r = take_tag(p, end, tag);
        if (r != Take::kOk) return r;
        const uint32_t wt = tag & 7;
        const uint32_t number = tag >> 3;
        if (tag == 0 || wt == wire::kEndGroup || number == 0) return Take::kBad;
        wire::Span span;
        if (wt == wire::kLengthDelimited && (number == wire::kFrameError || number == wire::kFrameRows)) {
            r = take_span(p, end, span);
            if (r != Take::kOk) return r;
            wire::CheckNotes notes;
            const bool is_error = number == wire::kFrameError;
            if (!wire::check_message(is_error ? wire::MessageType::Error : wire::MessageType::Row, span.begin, span.end,
                                     wire::kRecursionLimit - 1, notes))
                return Take::kBad;
            if (is_error)
                error_spans.emplace_back(span.begin - base, span.end - base);
            else
                check_row(span, notes);
            return Take::kOk;
        }
        // frame_flag and unknown fields
        switch (wt) {
            case wire::kVarint:
                return take_varint(p, end);
            case wire::kFixed64:
                return take_bytes(p, end, 8);
            case wire::kLengthDelimited:
                return take_span(p, end, span);
            case wire::kFixed32:
                return take_bytes(p, end, 4);
            case wire::kStartGroup:
                if (!final) {
                    whole = true;
                    return Take::kMore;
                }
                return wire::skip_field(p, end, tag) ? Take::kOk : Take::kBad;
            default:
                return Take::kBad;
        }
    }

    // Checks the whole fields in [base + pos, base + size), advancing pos
    // past them; final: the frame's bytes end at size.
    void feed(const char* base, std::size_t& pos, std::size_t size, bool final) {
        if (whole && !final) return;
        check.base = base;
        const char* end = base + size;
        while (!bad) {
            const char* p = base + pos;
            if (p == end) return;
            const Take r = field(base, p, end, final);
            if (r == Take::kOk) {
                pos = static_cast<std::size_t>(p - base);
                continue;
            }
            if (r == Take::kMore && !final) return;
            bad = true;
        }
    }
};

GraphQueryDecoder::GraphQueryDecoder() = default;

GraphQueryDecoder::~GraphQueryDecoder() = default;

bool GraphQueryDecoder::push_buffer(const char* data, std::size_t size) {
    if (size == 0 || size > kMaxMessageSize) return false;
    std::string copy(data, size);
    std::lock_guard<std::mutex> lock(mutex_);
    if (failed_) return false;
    pending_.push_back(std::move(copy));
    return true;
}

const wire::RefusedNulls& GraphQueryDecoder::current_refused() const {
    static const wire::RefusedNulls kNone;
    return has_row_ ? frames_.front().refused : kNone;
}

const value_t* GraphQueryDecoder::value_at(int64_t index) {
    if (!has_row_ || index < 0 || static_cast<uint64_t>(index) >= row_width()) return nullptr;
    if (!row_values_ready_) {
        row_values_.clear();
        row_values_.reserve(row_width());
        const wire::Spans row(row_);
        wire::MessageCursor values(row, 1);
        wire::Span s;
        while (values.next(s)) row_values_.push_back(build_value(wire::Spans(s), transform_, frames_.front().refused));
        row_values_ready_ = true;
    }
    const auto i = static_cast<std::size_t>(index);
    return i < row_values_.size() ? &row_values_[i] : nullptr;
}

bool GraphQueryDecoder::take_row() {
    if (frames_.empty() || rows_left_ == 0) return false;
    if (!wire::next_row(row_next_, frames_.front().end, row_)) return false;
    --rows_left_;
    has_row_ = true;
    return true;
}

GraphQueryDecoder::RowCursor GraphQueryDecoder::cursor() const {
    if (!has_row_) return {};
    return {frames_.front().serial, row_, row_next_, rows_left_};
}

bool GraphQueryDecoder::rewind(const RowCursor& to) {
    if (!has_row_ || to.frame == 0 || to.frame != frames_.front().serial) return false;
    // Only backwards, and only within the rows next_row() took here.
    if (to.left < rows_left_ || to.row.begin > row_.begin || to.next > row_next_) return false;
    row_ = to.row;
    row_next_ = to.next;
    rows_left_ = to.left;
    row_values_.clear();
    row_values_ready_ = false;
    return true;
}

bool GraphQueryDecoder::enter_first_row() {
    while (!frames_.empty()) {
        const StoredFrame& f = frames_.front();
        row_next_ = f.begin;
        rows_left_ = f.rows;
        if (take_row()) return true;
        frames_.pop_front();
    }
    return false;
}

void GraphQueryDecoder::drop_input() {
    // Nothing more will be decoded: give the queued input back now.
    std::deque<std::string> dropped;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        dropped.swap(pending_);
    }
    std::string().swap(carry_);
}

template <class Step>
void GraphQueryDecoder::guarded(Step&& step) {
    try {
        step();
    } catch (const std::bad_alloc&) {
        error.set(status::kStreamError, "Out of memory!");
    } catch (const std::exception& e) {
        const char* what = e.what();
        error.set(status::kStreamError, (what && *what) ? what : "Unexpected error has occurred!");
    } catch (...) {
        error.set(status::kStreamError, "Unexpected error has occurred!");
    }
    if (has_error()) drop_input();
    std::lock_guard<std::mutex> lock(mutex_);
    failed_ = has_error();
}

bool GraphQueryDecoder::next_row() {
    row_values_.clear();
    row_values_ready_ = false;
    if (has_row_) {
        has_row_ = false;
        if (take_row()) return true;
        frames_.pop_front();
    }
    if (enter_first_row()) return true;
    // Several chunks may be queued before the first read: keep taking them
    // until one yields a row.
    guarded([this] {
        while (!has_error()) {
            const bool took = decode_step();
            if (!frames_.empty() || !took) break;
        }
    });
    return enter_first_row();
}

bool GraphQueryDecoder::finish() {
    guarded([this] {
        while (!has_error() && decode_step()) {
        }
    });
    if (has_error()) return false;
    if (!header_parsed_)
        error.set(status::kStreamError, "Result stream ended before its header.");
    else if (!carry_.empty())
        error.set(status::kStreamError, "Result stream ended inside a message.");
    else
        return true;
    drop_input();
    std::lock_guard<std::mutex> lock(mutex_);
    failed_ = true;
    return false;
}

bool GraphQueryDecoder::decode_step() {
    std::string chunk;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (pending_.empty()) return false;
        chunk = std::move(pending_.front());
        pending_.pop_front();
    }
    // Frames keep the bytes of the chunk they came in.
    decode_chunk(std::make_shared<std::string>(std::move(chunk)));
    return true;
}

void GraphQueryDecoder::fail_bad_length() {
    if (header_parsed_)
        error.set(status::kStreamError, "Result frame parsing failure!");
    else
        error.set(status::kStreamError, "Result header parsing failure!");
}

void GraphQueryDecoder::decode_chunk(const std::shared_ptr<std::string>& chunk) {
    const char* data = chunk->data();
    const std::size_t size = chunk->size();
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
        const bool go_on = handle_message(chunk, data + pos, length);
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
    // Whole: the message leaves carry_ with its bytes, which a frame keeps.
    auto whole = std::make_shared<std::string>(std::move(carry_));
    carry_.clear();
    handle_message(whole, whole->data() + prefix, length);
    return used;
}

bool GraphQueryDecoder::handle_message(const std::shared_ptr<const void>& owner, const char* data, std::size_t size) {
    return header_parsed_ ? handle_frame(owner, data, size) : handle_header(data, size);
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

bool GraphQueryDecoder::finish_frame(FrameScan& scan, std::shared_ptr<const void> owner, const char* begin,
                                     const char* end) {
    if (scan.bad) {
        error.set(status::kStreamError, "Result frame parsing failure!");
        return false;
    }
    if (!scan.error_spans.empty()) {
        wire::Spans spans;
        for (const auto& s : scan.error_spans) spans.add(wire::Span{begin + s.first, begin + s.second});
        int64_t code = 0;
        wire::Span message;
        wire::read_error(spans, code, message);
        error.set(code, std::string(message.begin, message.size()));
        return false;
    }
    if (scan.rows > 0 && row_width() > 0) {
        StoredFrame f;
        f.owner = std::move(owner);
        f.begin = begin;
        f.end = end;
        f.rows = scan.rows;
        f.serial = ++frames_stored_;
        for (const std::size_t offset : scan.check.refused) f.refused.add(offset);
        f.refused.seal(begin);
        frames_.push_back(std::move(f));
    }
    if (scan.row_failed) {
        error.set(scan.fail_code, std::move(scan.fail_message));
        return false;
    }
    return true;
}

bool GraphQueryDecoder::handle_frame(const std::shared_ptr<const void>& owner, const char* data, std::size_t size) {
    if (size == 0) return true;
    if (frames_compressed_) return inflate_frame(data, size);
    FrameScan scan;
    scan.width = row_width();
    scan.check.transform = &transform_;
    scan.check.null_budget = null_budget_for(size);
    std::size_t pos = 0;
    scan.feed(data, pos, size, true);
    return finish_frame(scan, owner, data, data + size);
}

bool GraphQueryDecoder::inflate_frame(const char* data, std::size_t size) {
    FrameScan scan;
    scan.width = row_width();
    scan.check.transform = &transform_;
    // Nulls are paid for by the bytes that came over the wire.
    scan.check.null_budget = null_budget_for(size);
    const std::size_t bound = std::min(kMaxInflatedFrame, size * kMaxInflateRatio);

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

    // The frame is checked as it inflates, field by field, so its bytes are
    // held once; once it cannot parse, the rest only goes through a small
    // buffer to find zlib's own errors.
    MallocBuffer buffer;
    std::size_t capacity = std::min(std::max<std::size_t>(size * 4, 64 * 1024), bound + 1);
    buffer.p = static_cast<char*>(std::malloc(capacity));
    if (!buffer.p) throw std::bad_alloc();
    std::size_t used = 0;
    std::size_t checked = 0;
    std::size_t produced = 0;
    bool discarding = false;
    for (;;) {
        char* out = nullptr;
        std::size_t room = 0;
        if (discarding) {
            if (!discard_) discard_.reset(new char[kDiscardSize]);
            out = discard_.get();
            room = kDiscardSize;
        } else {
            if (used == capacity) {
                // Below bound + 1 here: more output than bound has failed.
                const std::size_t grown = std::min(capacity * 2, bound + 1);
                char* p = static_cast<char*>(std::realloc(buffer.p, grown));
                if (!p) throw std::bad_alloc();
                buffer.p = p;
                capacity = grown;
            }
            out = buffer.p + used;
            room = capacity - used;
        }
        z.next_out = reinterpret_cast<Bytef*>(out);
        z.avail_out = static_cast<uInt>(std::min<std::size_t>(room, UINT_MAX));
        const std::size_t offered = z.avail_out;
        const int rc = inflate(&z, Z_NO_FLUSH);
        const std::size_t got = offered - z.avail_out;
        produced += got;
        if (produced > bound) {
            error.set(status::kStreamError, "zlib: frame too large.");
            return false;
        }
        if (!discarding) {
            used += got;
            scan.feed(buffer.p, checked, used, false);
            if (scan.bad) {
                discarding = true;
                std::free(buffer.p);
                buffer.p = nullptr;
                used = capacity = 0;
            }
        }
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
    if (!discarding) scan.feed(buffer.p, checked, used, true);
    if (scan.bad) return finish_frame(scan, nullptr, nullptr, nullptr);
    if (used > 0 && used < capacity) {
        // Give back what the frame did not need (in place, as a rule).
        if (char* p = static_cast<char*>(std::realloc(buffer.p, used))) buffer.p = p;
    }
    char* begin = buffer.p;
    buffer.p = nullptr;
    std::shared_ptr<const void> owner(begin, FreeDeleter());
    return finish_frame(scan, std::move(owner), begin, begin + used);
}

}  // namespace tk
