#include "edits/apply_edits_decoder.h"

#include <algorithm>
#include <climits>
#include <exception>

#include "graph_edits.pb.h"
#include "values/codec.h"

namespace tk {

namespace wire = vexoPBuffer::graph;

namespace {

const char kDecodeFailedText[] = "Error decoding ApplyEdits response!";

// Every identifier but a null takes at least one byte of input; a few bytes
// of null array expand to many values, so they get one fixed allowance per
// response instead of one per array.
constexpr std::size_t kNullIdAllowance = std::size_t{1} << 20;

// Thrown when the identifiers of a response cannot be decoded faithfully.
struct budget_exceeded {};

using EditResultsMap = google::protobuf::Map<std::string, wire::EditResults>;

// Identifiers carry no geometry grid of their own: scale 1, no offset.
QuantizationTransform neutral_transform() {
    QuantizationTransform t;
    t.valid = true;
    return t;
}

// The array's values, taken out of the message; an array the codec cannot
// represent gives none.
std::vector<value_t> decode_values(const QuantizationTransform& transform, wire::ArrayValue* array) {
    const bool holds_values = array->array_case() != wire::ArrayValue::ARRAY_NOT_SET;
    wire::AnyValue any;
    any.mutable_array_value()->Swap(array);
    value_t decoded = decode_any_value(transform, any);
    auto* values = std::get_if<std::shared_ptr<ArrayValue>>(&decoded);
    if (!values || !*values) {
        // Identifiers that cannot be represented (a uuid array of the wrong
        // length, nulls beyond the budget) fail the decode rather than
        // vanishing from the results.
        if (holds_values) throw budget_exceeded{};
        return {};
    }
    return std::move((*values)->values);
}

// Protobuf maps iterate in an order that changes from process to process;
// walking them by name makes the results' order the same on every run.
template <class Map>
std::vector<typename Map::value_type*> by_name(Map& map) {
    std::vector<typename Map::value_type*> entries;
    entries.reserve(map.size());
    for (auto& entry : map) entries.push_back(&entry);
    std::sort(entries.begin(), entries.end(), [](const auto* a, const auto* b) { return a->first < b->first; });
    return entries;
}

template <class Result>
void take_error(const wire::EditResults& results, std::size_t position, Result& out, bool& object_failed) {
    const auto& errors = results.errors();
    auto it = errors.find(static_cast<uint64_t>(position));
    if (it == errors.end()) return;
    object_failed = true;
    out.error.set(it->second.error_code(), it->second.error_message());
}

}  // namespace

void GraphApplyEditsDecoder::clear() {
    error.clear();
    object_failed = false;
    types.clear();
    cascaded_deletes.clear();
    schema_changes.clear();
}

kg_error_t GraphApplyEditsDecoder::decode(const char* data, std::size_t size) {
    clear();
    kg_error_t failed;
    failed.set(status::kResponseDecodeFailed, kDecodeFailedText);
    if (!data || size == 0 || size > static_cast<std::size_t>(INT_MAX)) return failed;

    try {
        wire::GraphApplyEditsResult response;
        if (!response.ParseFromArray(data, static_cast<int>(size))) return failed;
        if (response.has_error()) error.set(response.error().error_code(), response.error().error_message());

        const QuantizationTransform transform = neutral_transform();
        NullExpansionScope nulls(size);
        const std::size_t budget = size + kNullIdAllowance;
        std::size_t decoded = 0;
        auto decode_ids = [&](wire::ArrayValue* array) {
            std::vector<value_t> values = decode_values(transform, array);
            decoded += values.size();
            if (decoded > budget) throw budget_exceeded{};
            return values;
        };
        using List = std::vector<edit_object_result> named_type_edit_results::*;
        auto gather = [&](EditResultsMap& map, List list) {
            for (auto* entry : by_name(map)) {
                wire::EditResults& results = entry->second;
                if (!results.has_ids()) continue;
                auto& target = types.find_or_create(entry->first).*list;
                std::vector<value_t> ids = decode_ids(results.mutable_ids());
                target.reserve(target.size() + ids.size());
                for (std::size_t k = 0; k < ids.size(); ++k) {
                    edit_object_result r;
                    r.id = std::move(ids[k]);
                    take_error(results, k, r, object_failed);
                    target.push_back(std::move(r));
                }
            }
        };
        gather(*response.mutable_entity_add_results(), &named_type_edit_results::adds);
        gather(*response.mutable_relationship_add_results(), &named_type_edit_results::adds);
        gather(*response.mutable_entity_update_results(), &named_type_edit_results::updates);
        gather(*response.mutable_relationship_update_results(), &named_type_edit_results::updates);
        gather(*response.mutable_entity_delete_results(), &named_type_edit_results::deletes);
        gather(*response.mutable_relationship_delete_results(), &named_type_edit_results::deletes);

        for (auto* entry : by_name(*response.mutable_cascading_relationship_delete_results())) {
            wire::CascadingRelationshipDeletes& cascade = entry->second;
            if (!cascade.has_results() || !cascade.results().has_ids()) continue;
            auto& target = cascaded_deletes.find_or_create(entry->first);
            std::vector<value_t> ids = decode_ids(cascade.mutable_results()->mutable_ids());
            std::vector<value_t> origins = decode_ids(cascade.mutable_origin_ids());
            std::vector<value_t> destinations = decode_ids(cascade.mutable_destination_ids());
            if (origins.size() != ids.size() || destinations.size() != ids.size()) return failed;
            target.reserve(target.size() + ids.size());
            for (std::size_t k = 0; k < ids.size(); ++k) {
                cascaded_delete_result r;
                r.id = std::move(ids[k]);
                r.origin_id = std::move(origins[k]);
                r.destination_id = std::move(destinations[k]);
                take_error(cascade.results(), k, r, object_failed);
                target.push_back(std::move(r));
            }
        }

        for (auto* entry : by_name(*response.mutable_rel_type_schema_changes())) {
            auto& target = schema_changes.find_or_create(entry->first);
            for (auto& end_point : *entry->second.mutable_new_end_points()) {
                target.push_back(EndPoint{std::move(*end_point.mutable_origin_entity_type()),
                                          std::move(*end_point.mutable_destination_entity_type())});
            }
        }
    } catch (const budget_exceeded&) {
        return failed;
    } catch (const std::exception&) {
        // A malformed geometry among the identifiers, or exhausted memory.
        return failed;
    }
    return kg_error_t{};
}

}  // namespace tk
