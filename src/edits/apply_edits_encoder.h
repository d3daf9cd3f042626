// Entity and relationship edits, grouped by type name into length-prefixed
// frames of one request body.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/error.h"
#include "geometry/quantization.h"
#include "geometry/spatial_reference.h"
#include "values/object_values.h"

namespace google {
namespace protobuf {
class Arena;
}
}  // namespace google

namespace vexoPBuffer {
namespace graph {
class GraphApplyEditsHeader;
class GraphApplyEditsFrame;
}  // namespace graph
}  // namespace vexoPBuffer

namespace tk {

// Outcome of one edit; code 0 with an empty message is success.
struct edit_status {
    int64_t code = 0;
    const char* message = "";

    bool ok() const { return code == 0; }
};

class GraphApplyEditsEncoder {
public:
    // A frame takes edits while it holds at most this many, so it ends up
    // with one more.
    static constexpr uint64_t kFrameEditLimit = 2048;

    GraphApplyEditsEncoder(const SpatialReference& spatial_reference, const InputQuantizationParameters& params);
    ~GraphApplyEditsEncoder();
    GraphApplyEditsEncoder(const GraphApplyEditsEncoder&) = delete;
    GraphApplyEditsEncoder& operator=(const GraphApplyEditsEncoder&) = delete;

    bool cascade_delete() const;
    void set_cascade_delete(bool value);

    // value holds an entity or a relationship (otherwise std::invalid_argument
    // "Argument must be valid Entity or Relationship!"); after encode() they
    // throw std::logic_error "Cannot reuse encoder!". A refused edit leaves
    // the request exactly as it was and reports its status; the given object
    // is never changed.
    edit_status add(const value_t& value);
    edit_status update(const value_t& value);
    edit_status remove(const value_t& value);
    // All identifiers or none: the first one that cannot be encoded refuses
    // the whole call.
    edit_status remove_ids(bool entities, const std::string& type_name, const std::vector<value_t>& ids);

    // Throws std::logic_error "Cannot reuse encoder!" once encoded.
    void check_reusable() const;

    // Records its outcome in result; never throws for bad input.
    void encode();

    uint64_t edit_count() const { return total_; }

    EncodingResult result;

private:
    // The frame that takes the next edit (opening a new one when the current
    // one is full); messages of that edit are made on arena_.
    vexoPBuffer::graph::GraphApplyEditsFrame* open_frame();
    // Appends the current frame, length-prefixed, to done_frames_ (an empty
    // one is left out) and empties the arena for the next.
    void close_frame();
    edit_status add_entity(const EntityValue& entity);
    edit_status add_relationship(const RelationshipValue& relationship);
    template <class T>
    edit_status update_object(const T& object, bool entity);
    template <class T>
    edit_status delete_object(const T& object, bool entity);
    void count_edit(uint64_t& kind_counter);

    std::unique_ptr<vexoPBuffer::graph::GraphApplyEditsHeader> header_;
    QuantizationTransform transform_;
    // A frame that is no longer current never changes again, so it is
    // serialised as soon as the next one opens: the request is held as bytes
    // (a fraction of the size of its messages), and one arena, whose first
    // block is reused frame after frame, holds the current frame's few dozen
    // small messages per edit.
    std::unique_ptr<char[]> arena_block_;
    std::unique_ptr<google::protobuf::Arena> arena_;
    vexoPBuffer::graph::GraphApplyEditsFrame* current_ = nullptr;
    std::vector<std::string> done_frames_;
    std::size_t done_size_ = 0;
    bool frame_too_large_ = false;
    uint64_t total_ = 0;
    uint64_t adds_ = 0;
    uint64_t updates_ = 0;
    uint64_t deletes_ = 0;
    uint64_t in_frame_ = 0;
    bool encoded_ = false;
};

}  // namespace tk
