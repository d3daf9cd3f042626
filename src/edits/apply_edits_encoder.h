// Entity and relationship edits, grouped by type name into length-prefixed
// frames of one request body.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "edits/edit_wire.h"
#include "geometry/quantization.h"
#include "geometry/spatial_reference.h"
#include "values/object_values.h"

namespace vexoPBuffer {
namespace graph {
class GraphApplyEditsHeader;
}  // namespace graph
}  // namespace vexoPBuffer

namespace tk {

// Outcome of one edit; code 0 with an empty message is success.
struct edit_status {
    int64_t code = 0;
    const char* message = "";

    bool ok() const { return code == 0; }
};

enum class EditOp { add, update, remove };

// The six groups of a frame: adds, updates and deletes, each of entities
// and of relationships, in the order they go on the wire.
enum EditKind : uint8_t {
    kAddEntity,
    kAddRelationship,
    kUpdateEntity,
    kUpdateRelationship,
    kDeleteEntity,
    kDeleteRelationship,
    kEditKinds
};

// Properties written already as KeyValuePair elements of the edit's
// properties field (tag properties_tag(op)), with the outcome of writing
// them: the first failure (a codec status or an exception) stops the
// writing but is reported only where encoding the properties would have
// been reached.
struct EncodedProperties {
    std::string bytes;
    std::size_t count = 0;
    int status = 0;
    std::exception_ptr error;

    void clear() {
        bytes.clear();
        count = 0;
        status = 0;
        error = nullptr;
    }
    bool failed() const { return status < 0 || error; }
};

// What an edit sends, read from an entity or relationship object or from
// its dictionary form. Null id/origin/destination pointers mean null.
struct EditSource {
    bool entity = true;
    std::string_view type_name;
    const value_t* id = nullptr;
    const value_t* origin = nullptr;
    const value_t* destination = nullptr;
    // Exactly one of these: a list to encode, or properties encoded already.
    const KeyValueList* properties = nullptr;
    const EncodedProperties* encoded = nullptr;
};

// Edits encoded but not yet in the request: every edit of a call is staged
// first, so a refusal anywhere leaves the request as it was.
struct EditStaging {
    struct Entry {
        EditKind kind;
        std::size_t name_at, name_size;
        std::size_t element_at, element_size;
    };
    std::string bytes;
    std::vector<Entry> entries;
    std::string scratch[3];  // identifier, origin, destination of the edit being staged

    void clear() {
        bytes.clear();
        entries.clear();
    }
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

    // The same in two steps, for callers that collect several edits into
    // one all-or-nothing call. stage() encodes one edit into staging (on
    // refusal it returns the status and leaves staging as it was; it may
    // throw what the codec throws for a geometry, and rethrows a deferred
    // error of encoded properties); commit() links everything staged into
    // the request and cannot be refused (beyond "Cannot reuse encoder!",
    // checked before anything changes).
    edit_status stage(EditOp op, const EditSource& source, EditStaging& staging);
    void commit(const EditStaging& staging);

    // The EditSource of an object (views into it; valid while it lives
    // unchanged).
    static EditSource source_of(const EntityValue& entity);
    static EditSource source_of(const RelationshipValue& relationship);
    // The source of a value holding an entity or a relationship; throws
    // "Argument must be valid Entity or Relationship!" for any other value.
    static EditSource source_of(const value_t& value);

    // A staging buffer and a property buffer to use for one call, handed
    // back at its end. A call that starts while another runs (Python code
    // run by a conversion may call in again) gets buffers of its own.
    class Lease {
    private:
        GraphApplyEditsEncoder& encoder_;
        bool shared_;
        std::unique_ptr<EditStaging> own_staging_;
        std::unique_ptr<EncodedProperties> own_properties_;

    public:
        explicit Lease(GraphApplyEditsEncoder& encoder);
        ~Lease();
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        EditStaging& staging;
        EncodedProperties& properties;
    };

    edit_wire::ValueWriter& writer() { return writer_; }

    // Throws std::logic_error "Cannot reuse encoder!" once encoded.
    void check_reusable() const;

    // Records its outcome in result; never throws for bad input.
    void encode();

    uint64_t edit_count() const { return total_; }

    EncodingResult result;

private:
    struct Group {
        std::string name;
        std::string elements;  // the repeated elements, tag and length included
        std::size_t count = 0;
    };
    // Groups of one kind in one frame, found by name through a small open
    // hash table; the Group objects (and their buffers) are reused from
    // frame to frame.
    struct GroupMap {
        std::vector<Group> groups;
        std::size_t used = 0;
        std::vector<uint32_t> slots;   // group index + 1, 0 = empty
        std::size_t last = 0;          // the group found last (names repeat)
        std::size_t reserve_hint = 0;  // bytes to reserve for a new group

        Group& find_or_create(std::string_view name);
        void clear();
    };
    struct Frame {
        GroupMap kinds[kEditKinds];
        // Filled by measure(): the groups of each kind in name order, the
        // sizes of the adds, updates and deletes, and of the whole frame.
        std::vector<uint32_t> order[kEditKinds];
        std::size_t section[3] = {0, 0, 0};
        std::size_t size = 0;

        bool empty() const;
        bool has_section(int s) const { return kinds[2 * s].used + kinds[2 * s + 1].used != 0; }
        std::size_t measure();
        // The frame with its length prefix; after measure().
        void write(std::string& out) const;
    };

    // The frame that takes the next edit (opening a new one when the
    // current one is full).
    Frame& open_frame();
    // Ends the current frame: kept for encode() unless it is empty.
    void close_frame();
    void count_edit(uint64_t& kind_counter);

    edit_status stage_add(const EditSource& source, EditStaging& staging);
    edit_status stage_update(const EditSource& source, EditStaging& staging);
    edit_status stage_delete(const EditSource& source, EditStaging& staging);
    // The properties of source as elements of the field with the given tag.
    int write_properties(const EditSource& source, uint8_t field_tag, std::string& out);
    edit_status run_single(EditOp op, const value_t& value);

    std::unique_ptr<vexoPBuffer::graph::GraphApplyEditsHeader> header_;
    QuantizationTransform transform_;
    edit_wire::ValueWriter writer_;
    std::unique_ptr<Frame> frame_;
    bool frame_open_ = true;
    // Finished frames, measured, and the bytes they take with their length
    // prefixes.
    std::vector<std::unique_ptr<Frame>> done_;
    std::size_t done_size_ = 0;
    bool frame_too_large_ = false;
    EditStaging staging_;
    EncodedProperties properties_;
    bool lease_taken_ = false;
    uint64_t total_ = 0;
    uint64_t adds_ = 0;
    uint64_t updates_ = 0;
    uint64_t deletes_ = 0;
    uint64_t in_frame_ = 0;
    bool encoded_ = false;
};

// The tag of the properties field an edit's KeyValuePairs go into:
// NamedObjectAdd.properties (2) or NamedObjectUpdate.properties (5).
constexpr uint8_t properties_tag(EditOp op) {
    return op == EditOp::update ? edit_wire::tag(5, edit_wire::kLen) : edit_wire::tag(2, edit_wire::kLen);
}

}  // namespace tk
