// Exports of a batch through the C data interface. Each exported struct
// owns a node (its private_data) holding what its pointers point at: the
// strings of a schema, and for an array a share of the batch, whose buffers
// are never copied. A consumer may move children out of their parent; each
// child therefore has its own node and its own share.
#include "query/arrow_c.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "query/arrow_batch.h"

namespace tk {
namespace arrow {

namespace {

const char* format_of(const Column& c) {
    switch (c.type) {
        case ColumnType::Null:
            return "n";
        case ColumnType::Bool:
            return "b";
        case ColumnType::Int64:
            return "l";
        case ColumnType::Float64:
            return "g";
        case ColumnType::String:
            return c.large ? "U" : "u";
        case ColumnType::Binary:
            return c.large ? "Z" : "z";
        case ColumnType::Timestamp:
            return "tsm:UTC";
        case ColumnType::Uuid:
            return "w:16";
    }
    return "n";
}

// ---- schemas ------------------------------------------------------------------

struct SchemaNode {
    std::string format;
    std::string name;
    std::string metadata;  // empty: none
    std::vector<ArrowSchema> children;
    std::vector<ArrowSchema*> child_pointers;
};

void release_schema(ArrowSchema* s) {
    if (!s || !s->release) return;
    auto* node = static_cast<SchemaNode*>(s->private_data);
    for (ArrowSchema& child : node->children)
        if (child.release) child.release(&child);
    delete node;
    s->release = nullptr;
}

void fill_schema(ArrowSchema* out, SchemaNode* node, int64_t flags) {
    out->format = node->format.c_str();
    out->name = node->name.c_str();
    out->metadata = node->metadata.empty() ? nullptr : node->metadata.data();
    out->flags = flags;
    out->n_children = static_cast<int64_t>(node->children.size());
    out->children = node->children.empty() ? nullptr : node->child_pointers.data();
    out->dictionary = nullptr;
    out->release = &release_schema;
    out->private_data = node;
}

// ---- arrays -------------------------------------------------------------------

struct ArrayNode {
    std::shared_ptr<const Batch> batch;
    std::vector<const void*> buffers;
    std::vector<ArrowArray> children;
    std::vector<ArrowArray*> child_pointers;
};

void release_array(ArrowArray* a) {
    if (!a || !a->release) return;
    auto* node = static_cast<ArrayNode*>(a->private_data);
    for (ArrowArray& child : node->children)
        if (child.release) child.release(&child);
    delete node;
    a->release = nullptr;
}

// Zero-length buffers still get a valid address.
alignas(64) const int64_t kEmpty[2] = {0, 0};

const void* data_or_empty(const void* p, std::size_t size) { return size ? p : kEmpty; }

void fill_array(ArrowArray* out, ArrayNode* node, int64_t length, int64_t null_count) {
    out->length = length;
    out->null_count = null_count;
    out->offset = 0;
    out->n_buffers = static_cast<int64_t>(node->buffers.size());
    out->buffers = node->buffers.empty() ? nullptr : node->buffers.data();
    out->n_children = static_cast<int64_t>(node->children.size());
    out->children = node->children.empty() ? nullptr : node->child_pointers.data();
    out->dictionary = nullptr;
    out->release = &release_array;
    out->private_data = node;
}

void column_buffers(const Column& c, std::vector<const void*>& b) {
    if (c.type == ColumnType::Null) return;  // the null type has no buffers
    b.push_back(c.null_count > 0 ? static_cast<const void*>(c.validity.data()) : nullptr);
    switch (c.type) {
        case ColumnType::Bool:
        case ColumnType::Uuid:
            b.push_back(data_or_empty(c.bytes.data(), c.bytes.size()));
            break;
        case ColumnType::Int64:
        case ColumnType::Float64:
        case ColumnType::Timestamp:
            b.push_back(data_or_empty(c.words.data(), c.words.size()));
            break;
        case ColumnType::String:
        case ColumnType::Binary:
            if (c.large)
                b.push_back(c.offsets64.data());
            else
                b.push_back(c.offsets32.data());
            b.push_back(data_or_empty(c.bytes.data(), c.bytes.size()));
            break;
        default:
            break;
    }
}

// ---- the stream ---------------------------------------------------------------

struct StreamNode {
    std::shared_ptr<const Batch> batch;
    bool done = false;
};

int stream_schema(ArrowArrayStream* s, ArrowSchema* out) {
    try {
        export_schema(static_cast<StreamNode*>(s->private_data)->batch, out);
        return 0;
    } catch (...) {
        return ENOMEM;
    }
}

int stream_next(ArrowArrayStream* s, ArrowArray* out) {
    auto* node = static_cast<StreamNode*>(s->private_data);
    if (node->done) {
        std::memset(out, 0, sizeof *out);  // released: the end of the stream
        return 0;
    }
    try {
        export_array(node->batch, out);
    } catch (...) {
        return ENOMEM;
    }
    node->done = true;
    return 0;
}

const char* stream_error(ArrowArrayStream*) { return nullptr; }

void release_stream(ArrowArrayStream* s) {
    if (!s || !s->release) return;
    delete static_cast<StreamNode*>(s->private_data);
    s->release = nullptr;
}

// ---- comparing schemas ----------------------------------------------------------

bool read_i32(const char*& p, int32_t& v) {
    std::memcpy(&v, p, 4);
    p += 4;
    return v >= 0;
}

// The pairs of a metadata block, sorted (an absent block has none). The
// block comes from a producer that must have written it well-formed.
std::vector<std::pair<std::string, std::string>> metadata_pairs(const char* p) {
    std::vector<std::pair<std::string, std::string>> out;
    if (!p) return out;
    int32_t n = 0;
    if (!read_i32(p, n)) return out;
    for (int32_t i = 0; i < n; ++i) {
        int32_t len = 0;
        if (!read_i32(p, len)) break;
        std::string key(p, static_cast<std::size_t>(len));
        p += len;
        if (!read_i32(p, len)) break;
        std::string value(p, static_cast<std::size_t>(len));
        p += len;
        out.emplace_back(std::move(key), std::move(value));
    }
    std::sort(out.begin(), out.end());
    return out;
}

bool same_text(const char* a, const char* b) { return std::strcmp(a ? a : "", b ? b : "") == 0; }

bool equal_nodes(const ArrowSchema& a, const ArrowSchema& b, bool top) {
    if (!same_text(a.format, b.format) || a.n_children != b.n_children) return false;
    if (!top && (!same_text(a.name, b.name) || (a.flags & ARROW_FLAG_NULLABLE) != (b.flags & ARROW_FLAG_NULLABLE)))
        return false;
    if (!top && metadata_pairs(a.metadata) != metadata_pairs(b.metadata)) return false;
    if ((a.dictionary == nullptr) != (b.dictionary == nullptr)) return false;
    for (int64_t i = 0; i < a.n_children; ++i)
        if (!equal_nodes(*a.children[i], *b.children[i], false)) return false;
    return true;
}

}  // namespace

void export_schema(const std::shared_ptr<const Batch>& batch, ArrowSchema* out) {
    auto node = std::make_unique<SchemaNode>();
    node->format = "+s";
    const std::size_t n = batch->columns.size();
    node->children.resize(n);
    node->child_pointers.resize(n);
    std::vector<std::unique_ptr<SchemaNode>> kids(n);
    for (std::size_t i = 0; i < n; ++i) {
        const Column& c = batch->columns[i];
        kids[i] = std::make_unique<SchemaNode>();
        kids[i]->format = format_of(c);
        kids[i]->name = c.name;
        if (!c.extension.empty())
            kids[i]->metadata = encode_metadata(
                {{"ARROW:extension:name", c.extension}, {"ARROW:extension:metadata", c.extension_metadata}});
    }
    for (std::size_t i = 0; i < n; ++i) {
        node->child_pointers[i] = &node->children[i];
        fill_schema(&node->children[i], kids[i].release(), ARROW_FLAG_NULLABLE);
    }
    fill_schema(out, node.release(), 0);
}

void export_array(const std::shared_ptr<const Batch>& batch, ArrowArray* out) {
    auto node = std::make_unique<ArrayNode>();
    node->batch = batch;
    node->buffers.push_back(nullptr);  // the struct itself has no nulls
    const std::size_t n = batch->columns.size();
    node->children.resize(n);
    node->child_pointers.resize(n);
    std::vector<std::unique_ptr<ArrayNode>> kids(n);
    for (std::size_t i = 0; i < n; ++i) {
        kids[i] = std::make_unique<ArrayNode>();
        kids[i]->batch = batch;
        column_buffers(batch->columns[i], kids[i]->buffers);
    }
    for (std::size_t i = 0; i < n; ++i) {
        const Column& c = batch->columns[i];
        node->child_pointers[i] = &node->children[i];
        fill_array(&node->children[i], kids[i].release(), c.length, c.null_count);
    }
    fill_array(out, node.release(), batch->rows, 0);
}

void export_stream(const std::shared_ptr<const Batch>& batch, ArrowArrayStream* out) {
    auto node = std::make_unique<StreamNode>();
    node->batch = batch;
    out->get_schema = &stream_schema;
    out->get_next = &stream_next;
    out->get_last_error = &stream_error;
    out->release = &release_stream;
    out->private_data = node.release();
}

bool schema_equals(const ArrowSchema& a, const ArrowSchema& b) { return equal_nodes(a, b, true); }

}  // namespace arrow
}  // namespace tk
