#include "edits/apply_edits_encoder.h"

#include <climits>
#include <stdexcept>
#include <type_traits>

#include <google/protobuf/arena.h>
#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>

#include "graph_edits.pb.h"
#include "values/codec.h"

namespace tk {

namespace wire = vexoPBuffer::graph;

namespace {

constexpr edit_status kOk{};

bool encoded_ok(int code) { return code >= 0; }

}  // namespace

GraphApplyEditsEncoder::GraphApplyEditsEncoder(const SpatialReference&, const InputQuantizationParameters& params)
    : header_(std::make_unique<wire::GraphApplyEditsHeader>()) {
    // The header carries the grid (only when there is one, so that a request
    // without a resolution has an empty header) but never the spatial
    // reference.
    if (build(transform_, params) == status::kOk) write_transform(transform_, header_->mutable_transform());
    open_frame();
}

GraphApplyEditsEncoder::~GraphApplyEditsEncoder() {
    current_ = nullptr;
    arena_.reset();  // before the block it may live in
}

bool GraphApplyEditsEncoder::cascade_delete() const { return header_->cascade_delete(); }

void GraphApplyEditsEncoder::set_cascade_delete(bool value) { header_->set_cascade_delete(value); }

void GraphApplyEditsEncoder::check_reusable() const {
    if (encoded_) throw std::logic_error("Cannot reuse encoder!");
}

namespace {

// Room for a full frame of typical edits, so that the arena rarely needs a
// block beyond it.
constexpr std::size_t kArenaBlockSize = std::size_t{4} * 1024 * 1024;

bool serialisable(std::size_t size) { return size <= static_cast<std::size_t>(INT_MAX); }

}  // namespace

void GraphApplyEditsEncoder::close_frame() {
    if (!current_) return;
    using google::protobuf::io::CodedOutputStream;
    const std::size_t size = current_->ByteSizeLong();
    if (!serialisable(size)) {
        frame_too_large_ = true;
    } else if (size != 0) {
        std::string& bytes = done_frames_.emplace_back();
        bytes.resize(CodedOutputStream::VarintSize64(size) + size);
        auto* p = reinterpret_cast<uint8_t*>(&bytes[0]);
        p = CodedOutputStream::WriteVarint32ToArray(static_cast<uint32_t>(size), p);
        // Type names in name order, so equal batches give equal bodies.
        google::protobuf::io::ArrayOutputStream array(p, static_cast<int>(size));
        CodedOutputStream coded(&array);
        coded.SetSerializationDeterministic(true);
        current_->SerializeWithCachedSizes(&coded);
        done_size_ += bytes.size();
    }
    current_ = nullptr;
    arena_->Reset();
}

wire::GraphApplyEditsFrame* GraphApplyEditsEncoder::open_frame() {
    check_reusable();
    if (current_ && in_frame_ <= kFrameEditLimit) return current_;
    if (!arena_) {
        // Left uninitialised: a small request touches only the pages it uses.
        arena_block_.reset(new char[kArenaBlockSize]);
        google::protobuf::ArenaOptions options;
        options.initial_block = arena_block_.get();
        options.initial_block_size = kArenaBlockSize;
        options.max_block_size = std::size_t{1024} * 1024;
        arena_ = std::make_unique<google::protobuf::Arena>(options);
    }
    close_frame();
    in_frame_ = 0;
    current_ = google::protobuf::Arena::CreateMessage<wire::GraphApplyEditsFrame>(arena_.get());
    return current_;
}

void GraphApplyEditsEncoder::count_edit(uint64_t& kind_counter) {
    ++kind_counter;
    ++total_;
    ++in_frame_;
}

namespace {

// Runs edit on the entity or relationship a value holds (with true for an
// entity); any other value is refused.
template <class Edit>
edit_status on_entity_or_relationship(const value_t& value, Edit&& edit) {
    if (const auto* e = std::get_if<std::shared_ptr<EntityValue>>(&value); e && *e) return edit(**e, true);
    if (const auto* r = std::get_if<std::shared_ptr<RelationshipValue>>(&value); r && *r) return edit(**r, false);
    throw std::invalid_argument("Argument must be valid Entity or Relationship!");
}

}  // namespace

edit_status GraphApplyEditsEncoder::add(const value_t& value) {
    return on_entity_or_relationship(value, [this](const auto& object, bool) {
        check_reusable();
        if constexpr (std::is_same_v<std::decay_t<decltype(object)>, EntityValue>) {
            return add_entity(object);
        } else {
            return add_relationship(object);
        }
    });
}

edit_status GraphApplyEditsEncoder::update(const value_t& value) {
    return on_entity_or_relationship(value, [this](const auto& object, bool entity) {
        check_reusable();
        return update_object(object, entity);
    });
}

edit_status GraphApplyEditsEncoder::remove(const value_t& value) {
    return on_entity_or_relationship(value, [this](const auto& object, bool entity) {
        check_reusable();
        return delete_object(object, entity);
    });
}

// Every edit is built in a message of its own and linked into the frame only
// once it encoded completely, so a refused edit leaves no trace in the request
// (no entry for its type name, no empty sub-message). A frame opened for it
// stays empty and is left out of the body.

namespace {

template <class T>
T* make(google::protobuf::Arena* arena) {
    return google::protobuf::Arena::CreateMessage<T>(arena);
}

}  // namespace

edit_status GraphApplyEditsEncoder::add_entity(const EntityValue& entity) {
    if (entity.type_name.empty()) return {status::kEditNoTypeName, "Input object has no type name!"};
    auto* frame = open_frame();
    auto* add = make<wire::EntityAdd>(arena_.get());
    auto* named = add->mutable_named_object_add();
    if (!is_null(entity.id) && !encoded_ok(encode_any_value(transform_, entity.id, named->mutable_id())))
        return {status::kEditEncodingFailed, "Unexpected error while encoding ID of object to be added!"};
    if (!encoded_ok(encode_properties(transform_, entity.properties, named->mutable_properties())))
        return {status::kEditEncodingFailed, "Unexpected error while encoding object to be added!"};
    (*frame->mutable_adds()->mutable_entities())[entity.type_name].mutable_entity_adds()->AddAllocated(add);
    count_edit(adds_);
    return kOk;
}

edit_status GraphApplyEditsEncoder::add_relationship(const RelationshipValue& relationship) {
    if (relationship.type_name.empty()) return {status::kEditNoTypeName, "Input object has no type name!"};
    auto* frame = open_frame();
    auto* add = make<wire::RelationshipAdd>(arena_.get());
    auto* named = add->mutable_named_object_add();
    if (!is_null(relationship.id) && !encoded_ok(encode_any_value(transform_, relationship.id, named->mutable_id())))
        return {status::kEditEncodingFailed, "Unexpected error while encoding ID of object to be added!"};
    if (is_null(relationship.origin_entity_id) || is_null(relationship.destination_entity_id))
        return {status::kEditRefused, "Relationship must have origin and desination IDs!"};
    if (!encoded_ok(encode_any_value(transform_, relationship.origin_entity_id, add->mutable_origin_id())))
        return {status::kEditEncodingFailed, "Unexpected error while encoding origin ID of object to be added!"};
    if (!encoded_ok(encode_any_value(transform_, relationship.destination_entity_id, add->mutable_destination_id())))
        return {status::kEditEncodingFailed, "Unexpected error while encoding destination ID of object to be added!"};
    if (!encoded_ok(encode_properties(transform_, relationship.properties, named->mutable_properties())))
        return {status::kEditEncodingFailed, "Unexpected error while encoding object to be added!"};
    (*frame->mutable_adds()->mutable_relationships())[relationship.type_name].mutable_relationship_adds()->AddAllocated(
        add);
    count_edit(adds_);
    return kOk;
}

template <class T>
edit_status GraphApplyEditsEncoder::update_object(const T& object, bool entity) {
    if (object.type_name.empty()) return {status::kEditRefused, "Input object has no type name!"};
    if (object.properties.pairs.empty()) return {status::kEditRefused, "Empty input object."};
    auto* frame = open_frame();
    auto* update = make<wire::NamedObjectUpdate>(arena_.get());
    if (!encoded_ok(encode_any_value(transform_, object.id, update->mutable_id())))
        return {status::kEditEncodingFailed, "Unexpected error while encoding ID of object to be updated!"};
    if (!encoded_ok(encode_properties(transform_, object.properties, update->mutable_properties())))
        return {status::kEditEncodingFailed, "Unexpected error while encoding object to be updated!"};
    auto* updates = frame->mutable_updates();
    auto& map = entity ? *updates->mutable_entities() : *updates->mutable_relationships();
    map[object.type_name].mutable_named_object_updates()->AddAllocated(update);
    count_edit(updates_);
    return kOk;
}

namespace {

wire::AnyValueArray* identifier_array(wire::GraphApplyEditsFrame* frame, bool entities, const std::string& type_name) {
    auto* deletes = frame->mutable_deletes();
    auto& map = entities ? *deletes->mutable_deleted_entity_ids() : *deletes->mutable_deleted_relationship_ids();
    return map[type_name].mutable_identifiers()->mutable_any_values();
}

}  // namespace

template <class T>
edit_status GraphApplyEditsEncoder::delete_object(const T& object, bool entity) {
    if (object.type_name.empty()) return {status::kEditRefused, "Input object has no type name!"};
    auto* frame = open_frame();
    auto* id = make<wire::AnyValue>(arena_.get());
    if (!encoded_ok(encode_any_value(transform_, object.id, id)))
        return {status::kEditEncodingFailed, "Unexpected error while encoding object to be deleted!"};
    identifier_array(frame, entity, object.type_name)->mutable_values()->AddAllocated(id);
    count_edit(deletes_);
    return kOk;
}

edit_status GraphApplyEditsEncoder::remove_ids(bool entities, const std::string& type_name,
                                               const std::vector<value_t>& ids) {
    auto* frame = open_frame();
    std::vector<wire::AnyValue*> encoded;
    encoded.reserve(ids.size());
    for (const value_t& id : ids) {
        encoded.push_back(make<wire::AnyValue>(arena_.get()));
        if (!encoded_ok(encode_any_value(transform_, id, encoded.back())))
            return {status::kEditEncodingFailed, "Unexpected error while encoding ID of object to be deleted!"};
    }
    // One call's identifiers all go to the frame current at its start; they
    // still count one by one afterwards, which may open frames for the edits
    // that follow (frames opened meanwhile stay empty).
    auto* values = identifier_array(frame, entities, type_name)->mutable_values();
    if (encoded.size() > static_cast<std::size_t>(INT_MAX - values->size()))
        throw std::length_error("Too many identifiers to delete.");
    values->Reserve(values->size() + static_cast<int>(encoded.size()));
    for (auto* id : encoded) values->AddAllocated(id);
    for (std::size_t i = 0; i < encoded.size(); ++i) {
        open_frame();
        count_edit(deletes_);
    }
    return kOk;
}

void GraphApplyEditsEncoder::encode() {
    if (encoded_) {
        result.error.set(status::kEditsNotReusable, "GraphApplyEditsEncoder: Encode() has already been called!");
        return;
    }
    if (total_ == 0) {
        result.error.set(status::kEditsNotReusable, "GraphApplyEditsEncoder: empty input.");
        return;
    }
    encoded_ = true;
    result.reset();
    close_frame();

    using google::protobuf::io::CodedOutputStream;
    const std::size_t header_size = header_->ByteSizeLong();
    if (frame_too_large_ || !serialisable(header_size)) {
        done_frames_.clear();
        result.error.set(status::kEditsUnexpected, "GraphApplyEditsEncoder: unexpected error.");
        return;
    }
    std::string& out = result.byte_buffer.bytes;
    const std::size_t prefix = CodedOutputStream::VarintSize64(header_size) + header_size;
    out.reserve(prefix + done_size_);
    out.resize(prefix);
    auto* p = reinterpret_cast<uint8_t*>(&out[0]);
    p = CodedOutputStream::WriteVarint32ToArray(static_cast<uint32_t>(header_size), p);
    header_->SerializeWithCachedSizesToArray(p);
    for (const std::string& frame : done_frames_) out.append(frame);
    done_frames_.clear();
    done_frames_.shrink_to_fit();
}

}  // namespace tk
