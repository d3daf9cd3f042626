#include "edits/apply_edits_encoder.h"

#include <algorithm>
#include <climits>
#include <functional>
#include <stdexcept>
#include <utility>

#include <google/protobuf/io/coded_stream.h>

#include "common/utf8.h"
#include "graph_edits.pb.h"

namespace tk {

namespace wire = vexoPBuffer::graph;
using edit_wire::close_message;
using edit_wire::open_message;
using edit_wire::put_bytes_field;
using edit_wire::put_varint;
using edit_wire::tag;
using edit_wire::varint_size;

namespace {

constexpr edit_status kOk{};

const char kBadTypeName[] = "Type name is not valid UTF-8!";

// Field 1 is the repeated element of EntityAdds, RelationshipAdds,
// NamedObjectUpdates and AnyValueArray, and named_object_add in EntityAdd and
// RelationshipAdd.
constexpr uint8_t kFirst = tag(1, edit_wire::kLen);
constexpr uint8_t kSecond = tag(2, edit_wire::kLen);
constexpr uint8_t kAddId = tag(3, edit_wire::kLen);          // NamedObjectAdd.id
constexpr uint8_t kOriginId = tag(2, edit_wire::kLen);       // RelationshipAdd.origin_id
constexpr uint8_t kDestinationId = tag(3, edit_wire::kLen);  // RelationshipAdd.destination_id
constexpr uint8_t kUpdateId = tag(4, edit_wire::kLen);       // NamedObjectUpdate.id

const value_t kNull{};

bool encoded_ok(int code) { return code >= 0; }

bool serialisable(std::size_t size) { return size <= static_cast<std::size_t>(INT_MAX); }

// Buffers kept between calls give back memory beyond this.
constexpr std::size_t kKeptCapacity = std::size_t{1} << 20;

void trim(std::string& s) {
    if (s.capacity() > kKeptCapacity) std::string().swap(s);
}

}  // namespace

GraphApplyEditsEncoder::GraphApplyEditsEncoder(const SpatialReference&, const InputQuantizationParameters& params)
    : header_(std::make_unique<wire::GraphApplyEditsHeader>()), writer_(transform_) {
    // The header carries the grid (only when there is one, so that a request
    // without a resolution has an empty header) but never the spatial
    // reference.
    if (build(transform_, params) == status::kOk) write_transform(transform_, header_->mutable_transform());
    frame_ = std::make_unique<Frame>();
}

GraphApplyEditsEncoder::~GraphApplyEditsEncoder() = default;

bool GraphApplyEditsEncoder::cascade_delete() const { return header_->cascade_delete(); }

void GraphApplyEditsEncoder::set_cascade_delete(bool value) { header_->set_cascade_delete(value); }

void GraphApplyEditsEncoder::check_reusable() const {
    if (encoded_) throw std::logic_error("Cannot reuse encoder!");
}

// ---------------------------------------------------------------- groups

GraphApplyEditsEncoder::Group& GraphApplyEditsEncoder::GroupMap::find_or_create(std::string_view name) {
    if (last < used && groups[last].name == name) return groups[last];
    if (slots.empty()) slots.assign(16, 0);
    std::size_t mask = slots.size() - 1;
    std::size_t i = std::hash<std::string_view>{}(name)&mask;
    while (slots[i] != 0) {
        const std::size_t index = slots[i] - 1;
        if (groups[index].name == name) {
            last = index;
            return groups[index];
        }
        i = (i + 1) & mask;
    }
    if (used == groups.size()) groups.emplace_back();
    Group& g = groups[used];
    g.name.assign(name.data(), name.size());
    g.elements.clear();
    // As much as a group of this kind took in the frame before: one
    // allocation instead of a chain of doublings.
    g.elements.reserve(reserve_hint);
    g.count = 0;
    slots[i] = static_cast<uint32_t>(used + 1);
    last = used;
    ++used;
    if (used * 2 > slots.size()) {
        slots.assign(slots.size() * 2, 0);
        mask = slots.size() - 1;
        for (std::size_t index = 0; index < used; ++index) {
            std::size_t j = std::hash<std::string_view>{}(groups[index].name) & mask;
            while (slots[j] != 0) j = (j + 1) & mask;
            slots[j] = static_cast<uint32_t>(index + 1);
        }
    }
    return groups[last];
}

void GraphApplyEditsEncoder::GroupMap::clear() {
    for (std::size_t i = 0; i < used; ++i) {
        groups[i].elements.clear();
        trim(groups[i].elements);
    }
    used = 0;
    last = 0;
    std::fill(slots.begin(), slots.end(), 0);
}

bool GraphApplyEditsEncoder::Frame::empty() const {
    for (const auto& kind : kinds)
        if (kind.used != 0) return false;
    return true;
}

// ---------------------------------------------------------------- frames

namespace {

bool is_delete(int kind) { return kind == kDeleteEntity || kind == kDeleteRelationship; }

// A delete group's value is a GraphObjectIdentifierSet whose identifiers
// hold an ArrayValue whose any_values hold the elements.
std::size_t array_size(std::size_t elements) { return 1 + varint_size(elements) + elements; }

std::size_t group_value_size(int kind, std::size_t elements) {
    if (!is_delete(kind)) return elements;
    const std::size_t array = array_size(elements);
    return 1 + varint_size(array) + array;
}

std::size_t delimited(std::size_t size) { return 1 + varint_size(size) + size; }

}  // namespace

std::size_t GraphApplyEditsEncoder::Frame::measure() {
    // Type names in name order, as deterministic protobuf output has them,
    // so equal batches give equal bodies.
    for (int k = 0; k < kEditKinds; ++k) {
        const GroupMap& map = kinds[k];
        order[k].resize(map.used);
        for (std::size_t i = 0; i < map.used; ++i) order[k][i] = static_cast<uint32_t>(i);
        std::sort(order[k].begin(), order[k].end(),
                  [&map](uint32_t a, uint32_t b) { return map.groups[a].name < map.groups[b].name; });
    }
    size = 0;
    for (int s = 0; s < 3; ++s) {
        section[s] = 0;
        for (int k = 2 * s; k < 2 * s + 2; ++k) {
            for (uint32_t i : order[k]) {
                const Group& g = kinds[k].groups[i];
                section[s] += delimited(delimited(g.name.size()) + delimited(group_value_size(k, g.elements.size())));
            }
        }
        if (has_section(s)) size += delimited(section[s]);
    }
    return size;
}

void GraphApplyEditsEncoder::Frame::write(std::string& out) const {
    put_varint(out, size);
    for (int s = 0; s < 3; ++s) {
        if (!has_section(s)) continue;
        out.push_back(static_cast<char>(tag(static_cast<uint32_t>(s + 1), edit_wire::kLen)));
        put_varint(out, section[s]);
        for (int k = 2 * s; k < 2 * s + 2; ++k) {
            const uint8_t map_tag = k % 2 == 0 ? kFirst : kSecond;
            for (uint32_t i : order[k]) {
                const Group& g = kinds[k].groups[i];
                const std::size_t value = group_value_size(k, g.elements.size());
                // A map entry: key (1) and value (2), both always written.
                out.push_back(static_cast<char>(map_tag));
                put_varint(out, delimited(g.name.size()) + delimited(value));
                put_bytes_field(out, kFirst, g.name);
                out.push_back(static_cast<char>(kSecond));
                put_varint(out, value);
                if (is_delete(k)) {
                    out.push_back(static_cast<char>(kFirst));  // identifiers
                    put_varint(out, array_size(g.elements.size()));
                    out.push_back(static_cast<char>(kSecond));  // any_values
                    put_varint(out, g.elements.size());
                }
                out.append(g.elements);
            }
        }
    }
}

void GraphApplyEditsEncoder::close_frame() {
    if (!frame_open_) return;
    frame_open_ = false;
    if (frame_->empty()) return;
    const std::size_t size = frame_->measure();
    if (!serialisable(size)) {
        frame_too_large_ = true;
        *frame_ = Frame{};
        return;
    }
    // Its bytes stay where they are until encode() writes the body in one
    // go: a frame never changes once the next one opens.
    done_size_ += varint_size(size) + size;
    auto next = std::make_unique<Frame>();
    for (int k = 0; k < kEditKinds; ++k) {
        std::size_t largest = 0;
        const GroupMap& map = frame_->kinds[k];
        for (std::size_t i = 0; i < map.used; ++i) largest = std::max(largest, map.groups[i].elements.size());
        next->kinds[k].reserve_hint = std::min(largest, kKeptCapacity);
    }
    done_.push_back(std::move(frame_));
    frame_ = std::move(next);
}

GraphApplyEditsEncoder::Frame& GraphApplyEditsEncoder::open_frame() {
    check_reusable();
    if (frame_open_ && in_frame_ <= kFrameEditLimit) return *frame_;
    close_frame();
    in_frame_ = 0;
    frame_open_ = true;
    return *frame_;
}

void GraphApplyEditsEncoder::count_edit(uint64_t& kind_counter) {
    ++kind_counter;
    ++total_;
    ++in_frame_;
}

// ---------------------------------------------------------------- sources

EditSource GraphApplyEditsEncoder::source_of(const EntityValue& entity) {
    EditSource s;
    s.entity = true;
    s.type_name = entity.type_name;
    s.id = &entity.id;
    s.properties = &entity.properties;
    return s;
}

EditSource GraphApplyEditsEncoder::source_of(const RelationshipValue& relationship) {
    EditSource s;
    s.entity = false;
    s.type_name = relationship.type_name;
    s.id = &relationship.id;
    s.origin = &relationship.origin_entity_id;
    s.destination = &relationship.destination_entity_id;
    s.properties = &relationship.properties;
    return s;
}

EditSource GraphApplyEditsEncoder::source_of(const value_t& value) {
    if (const auto* e = std::get_if<std::shared_ptr<EntityValue>>(&value); e && *e) return source_of(**e);
    if (const auto* r = std::get_if<std::shared_ptr<RelationshipValue>>(&value); r && *r) return source_of(**r);
    throw std::invalid_argument("Argument must be valid Entity or Relationship!");
}

GraphApplyEditsEncoder::Lease::Lease(GraphApplyEditsEncoder& encoder)
    : encoder_(encoder),
      shared_(!encoder.lease_taken_),
      own_staging_(shared_ ? nullptr : std::make_unique<EditStaging>()),
      own_properties_(shared_ ? nullptr : std::make_unique<EncodedProperties>()),
      staging(shared_ ? encoder.staging_ : *own_staging_),
      properties(shared_ ? encoder.properties_ : *own_properties_) {
    if (shared_) encoder_.lease_taken_ = true;
    staging.clear();
    properties.clear();
}

GraphApplyEditsEncoder::Lease::~Lease() {
    if (!shared_) return;
    staging.clear();
    trim(staging.bytes);
    if (staging.entries.capacity() > kKeptCapacity / sizeof(EditStaging::Entry))
        std::vector<EditStaging::Entry>().swap(staging.entries);
    properties.clear();
    trim(properties.bytes);
    encoder_.lease_taken_ = false;
}

// ---------------------------------------------------------------- edits

// Every edit is encoded into the staging buffer and linked into the frame
// only once it encoded completely, so a refused edit leaves no trace in the
// request (no entry for its type name, no empty sub-message).

int GraphApplyEditsEncoder::write_properties(const EditSource& source, uint8_t field_tag, std::string& out) {
    if (const EncodedProperties* encoded = source.encoded) {
        if (encoded->error) std::rethrow_exception(encoded->error);
        if (encoded->status < 0) return encoded->status;
        out.append(encoded->bytes);
        return status::kOk;
    }
    if (!source.properties) return status::kOk;
    for (const auto& [key, value] : source.properties->pairs) {
        const int rc = writer_.property(out, field_tag, key, value);
        if (rc < 0) return rc;
    }
    return status::kOk;
}

edit_status GraphApplyEditsEncoder::stage_add(const EditSource& source, EditStaging& staging) {
    if (source.type_name.empty()) return {status::kEditNoTypeName, "Input object has no type name!"};
    if (!utf8_valid(source.type_name)) return {status::kEditRefused, kBadTypeName};
    std::string& id = staging.scratch[0];
    std::string& origin = staging.scratch[1];
    std::string& destination = staging.scratch[2];
    id.clear();
    const bool has_id = source.id && !is_null(*source.id);
    if (has_id && !encoded_ok(writer_.any_value(id, *source.id, 0)))
        return {status::kEditEncodingFailed, "Unexpected error while encoding ID of object to be added!"};
    if (!source.entity) {
        if (!source.origin || is_null(*source.origin) || !source.destination || is_null(*source.destination))
            return {status::kEditRefused, "Relationship must have origin and desination IDs!"};
        origin.clear();
        destination.clear();
        if (!encoded_ok(writer_.any_value(origin, *source.origin, 0)))
            return {status::kEditEncodingFailed, "Unexpected error while encoding origin ID of object to be added!"};
        if (!encoded_ok(writer_.any_value(destination, *source.destination, 0)))
            return {status::kEditEncodingFailed,
                    "Unexpected error while encoding destination ID of object to be added!"};
    }
    std::string& out = staging.bytes;
    const std::size_t name_at = out.size();
    out.append(source.type_name.data(), source.type_name.size());
    const std::size_t element_at = out.size();
    const std::size_t element = open_message(out, kFirst);  // EntityAdd or RelationshipAdd
    const std::size_t named = open_message(out, kFirst);    // its named_object_add
    if (!encoded_ok(write_properties(source, properties_tag(EditOp::add), out))) {
        out.resize(name_at);
        return {status::kEditEncodingFailed, "Unexpected error while encoding object to be added!"};
    }
    if (has_id) put_bytes_field(out, kAddId, id);
    close_message(out, named);
    if (!source.entity) {
        put_bytes_field(out, kOriginId, origin);
        put_bytes_field(out, kDestinationId, destination);
    }
    close_message(out, element);
    staging.entries.push_back({source.entity ? kAddEntity : kAddRelationship, name_at, source.type_name.size(),
                               element_at, out.size() - element_at});
    return kOk;
}

edit_status GraphApplyEditsEncoder::stage_update(const EditSource& source, EditStaging& staging) {
    if (source.type_name.empty()) return {status::kEditRefused, "Input object has no type name!"};
    if (!utf8_valid(source.type_name)) return {status::kEditRefused, kBadTypeName};
    const std::size_t count =
        source.encoded ? source.encoded->count : (source.properties ? source.properties->pairs.size() : 0);
    if (count == 0) return {status::kEditRefused, "Empty input object."};
    std::string& id = staging.scratch[0];
    id.clear();
    // The identifier is always sent, also a null one.
    if (!encoded_ok(writer_.any_value(id, source.id ? *source.id : kNull, 0)))
        return {status::kEditEncodingFailed, "Unexpected error while encoding ID of object to be updated!"};
    std::string& out = staging.bytes;
    const std::size_t name_at = out.size();
    out.append(source.type_name.data(), source.type_name.size());
    const std::size_t element_at = out.size();
    const std::size_t element = open_message(out, kFirst);  // NamedObjectUpdate
    put_bytes_field(out, kUpdateId, id);
    if (!encoded_ok(write_properties(source, properties_tag(EditOp::update), out))) {
        out.resize(name_at);
        return {status::kEditEncodingFailed, "Unexpected error while encoding object to be updated!"};
    }
    close_message(out, element);
    staging.entries.push_back({source.entity ? kUpdateEntity : kUpdateRelationship, name_at, source.type_name.size(),
                               element_at, out.size() - element_at});
    return kOk;
}

edit_status GraphApplyEditsEncoder::stage_delete(const EditSource& source, EditStaging& staging) {
    if (source.type_name.empty()) return {status::kEditRefused, "Input object has no type name!"};
    if (!utf8_valid(source.type_name)) return {status::kEditRefused, kBadTypeName};
    std::string& id = staging.scratch[0];
    id.clear();
    if (!encoded_ok(writer_.any_value(id, source.id ? *source.id : kNull, 0)))
        return {status::kEditEncodingFailed, "Unexpected error while encoding object to be deleted!"};
    std::string& out = staging.bytes;
    const std::size_t name_at = out.size();
    out.append(source.type_name.data(), source.type_name.size());
    const std::size_t element_at = out.size();
    put_bytes_field(out, kFirst, id);  // one AnyValue of the identifier set
    staging.entries.push_back({source.entity ? kDeleteEntity : kDeleteRelationship, name_at, source.type_name.size(),
                               element_at, out.size() - element_at});
    return kOk;
}

edit_status GraphApplyEditsEncoder::stage(EditOp op, const EditSource& source, EditStaging& staging) {
    const std::size_t bytes = staging.bytes.size();
    const std::size_t entries = staging.entries.size();
    edit_status st;
    try {
        switch (op) {
            case EditOp::add:
                st = stage_add(source, staging);
                break;
            case EditOp::update:
                st = stage_update(source, staging);
                break;
            case EditOp::remove:
                st = stage_delete(source, staging);
                break;
        }
    } catch (...) {
        staging.bytes.resize(bytes);
        staging.entries.resize(entries);
        throw;
    }
    if (!st.ok()) {
        staging.bytes.resize(bytes);
        staging.entries.resize(entries);
    }
    return st;
}

void GraphApplyEditsEncoder::commit(const EditStaging& staging) {
    check_reusable();
    const char* base = staging.bytes.data();
    for (const auto& e : staging.entries) {
        Frame& frame = open_frame();
        Group& g = frame.kinds[e.kind].find_or_create(std::string_view(base + e.name_at, e.name_size));
        g.elements.append(base + e.element_at, e.element_size);
        ++g.count;
        switch (e.kind) {
            case kAddEntity:
            case kAddRelationship:
                count_edit(adds_);
                break;
            case kUpdateEntity:
            case kUpdateRelationship:
                count_edit(updates_);
                break;
            default:
                count_edit(deletes_);
                break;
        }
    }
}

edit_status GraphApplyEditsEncoder::run_single(EditOp op, const value_t& value) {
    const EditSource source = source_of(value);
    check_reusable();
    Lease lease(*this);
    const edit_status st = stage(op, source, lease.staging);
    if (st.ok()) commit(lease.staging);
    return st;
}

edit_status GraphApplyEditsEncoder::add(const value_t& value) { return run_single(EditOp::add, value); }

edit_status GraphApplyEditsEncoder::update(const value_t& value) { return run_single(EditOp::update, value); }

edit_status GraphApplyEditsEncoder::remove(const value_t& value) { return run_single(EditOp::remove, value); }

edit_status GraphApplyEditsEncoder::remove_ids(bool entities, const std::string& type_name,
                                               const std::vector<value_t>& ids) {
    check_reusable();
    if (!utf8_valid(type_name)) return {status::kEditRefused, kBadTypeName};
    std::string elements;
    std::string id;
    for (const value_t& value : ids) {
        id.clear();
        if (!encoded_ok(writer_.any_value(id, value, 0)))
            return {status::kEditEncodingFailed, "Unexpected error while encoding ID of object to be deleted!"};
        put_bytes_field(elements, kFirst, id);
    }
    // One call's identifiers all go to the frame current at its start; they
    // still count one by one afterwards, which may open frames for the edits
    // that follow (frames opened meanwhile stay empty).
    Group& g = open_frame().kinds[entities ? kDeleteEntity : kDeleteRelationship].find_or_create(type_name);
    if (ids.size() > static_cast<std::size_t>(INT_MAX) - g.count)
        throw std::length_error("Too many identifiers to delete.");
    g.elements.append(elements);
    g.count += ids.size();
    for (std::size_t i = 0; i < ids.size(); ++i) {
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
    frame_.reset();

    using google::protobuf::io::CodedOutputStream;
    const std::size_t header_size = header_->ByteSizeLong();
    if (frame_too_large_ || !serialisable(header_size)) {
        done_.clear();
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
    for (const auto& frame : done_) frame->write(out);
    done_.clear();
    done_.shrink_to_fit();
}

}  // namespace tk
