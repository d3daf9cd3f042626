// Decoding of the service's data model and the lookups of the tree.
#include "schema/data_model.h"

#include <locale.h>
#include <algorithm>
#include <cstdlib>
#include <limits>
#include <new>
#include <utility>

#include <google/protobuf/arena.h>

#include "graph_schema.pb.h"
#include "graph_values.pb.h"
#include "values/codec.h"
#include "vexo_types.pb.h"

namespace tk {

// ---- lookups ----

void NamedObjectType::add_property(std::shared_ptr<GraphProperty> property) {
    if (!property) return;
    properties_by_name.emplace(property->name, property);
    properties.push_back(std::move(property));
}

std::shared_ptr<GraphProperty> NamedObjectType::get_property(std::string_view property_name) const {
    auto it = properties_by_name.find(std::string(property_name));
    return it == properties_by_name.end() ? nullptr : it->second;
}

void SearchIndex::add_analyzer(SearchAnalyzer analyzer) {
    analyzers_by_name.emplace(analyzer.name, analyzers.size());
    analyzers.push_back(std::move(analyzer));
}

const SearchAnalyzer* SearchIndex::query_analyzer(std::string_view analyzer_name) const {
    auto it = analyzers_by_name.find(std::string(analyzer_name));
    if (it == analyzers_by_name.end() || it->second >= analyzers.size()) return nullptr;
    return &analyzers[it->second];
}

const SearchIndexProperties* SearchIndex::query_search_property(std::string_view property_name) const {
    auto it = search_properties.find(std::string(property_name));
    return it == search_properties.end() ? nullptr : &it->second;
}

namespace {

template <class T>
void add_indexed(std::vector<std::shared_ptr<T>>& list, std::unordered_map<std::string, std::shared_ptr<T>>& index,
                 std::shared_ptr<T> item) {
    if (!item) return;
    index.emplace(item->name, item);
    list.push_back(std::move(item));
}

template <class T>
std::shared_ptr<T> find_indexed(const std::unordered_map<std::string, std::shared_ptr<T>>& index,
                                std::string_view name) {
    auto it = index.find(std::string(name));
    return it == index.end() ? nullptr : it->second;
}

}  // namespace

void DataModel::add_entity_type(std::shared_ptr<EntityType> type) {
    add_indexed(entity_types, entity_types_by_name, std::move(type));
}

void DataModel::add_relationship_type(std::shared_ptr<RelationshipType> type) {
    add_indexed(relationship_types, relationship_types_by_name, std::move(type));
}

void DataModel::add_search_index(std::shared_ptr<SearchIndex> index) {
    add_indexed(search_indexes, search_indexes_by_name, std::move(index));
}

std::shared_ptr<EntityType> DataModel::query_entity_type(std::string_view name) const {
    return find_indexed(entity_types_by_name, name);
}

std::shared_ptr<RelationshipType> DataModel::query_relationship_type(std::string_view name) const {
    return find_indexed(relationship_types_by_name, name);
}

std::shared_ptr<SearchIndex> DataModel::query_search_index(std::string_view name) const {
    return find_indexed(search_indexes_by_name, name);
}

// ---- default value coercion ----

namespace {

// Decimal text is read the same whatever LC_NUMERIC the host application
// has set (a German locale would otherwise stop "1.5" at the point).
double parse_leading_double(const std::string& text) {
    static const locale_t c_locale = newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(nullptr));
    locale_t previous = c_locale ? uselocale(c_locale) : static_cast<locale_t>(nullptr);
    double result = std::strtod(text.c_str(), nullptr);
    if (previous) uselocale(previous);
    return result;
}

int64_t parse_leading_int64(const std::string& text) {
    // Saturates on overflow; 0 when the text does not start with a number.
    return static_cast<int64_t>(std::strtoll(text.c_str(), nullptr, 10));
}

// Truncation toward zero, defined only inside the int64 range.
bool double_to_int64(double d, int64_t& out) {
    if (!(d >= -9223372036854775808.0 && d < 9223372036854775808.0)) return false;
    out = static_cast<int64_t>(d);
    return true;
}

// A finite double beyond the float range is undefined to convert; IEEE
// rounding would give infinity there, so say so explicitly.
float double_to_float(double d) {
    constexpr double kOverflow = 3.4028235677973366e38;  // FLT_MAX + half an ulp
    if (d >= kOverflow) return std::numeric_limits<float>::infinity();
    if (d <= -kOverflow) return -std::numeric_limits<float>::infinity();
    return static_cast<float>(d);
}

}  // namespace

value_t coerce_default_value(value_t value, vexoFieldType type) {
    switch (type) {
        case vexoFieldTypeSmallInteger:
        case vexoFieldTypeInteger:
        case vexoFieldTypeOID: {
            int64_t n = 0;
            if (auto* f = std::get_if<float>(&value)) {
                if (double_to_int64(*f, n)) return n;
            } else if (auto* d = std::get_if<double>(&value)) {
                if (double_to_int64(*d, n)) return n;
            } else if (auto* s = std::get_if<std::string>(&value)) {
                return parse_leading_int64(*s);
            }
            return value;
        }
        case vexoFieldTypeSingle:
            if (auto* n = std::get_if<int64_t>(&value)) return static_cast<float>(*n);
            if (auto* d = std::get_if<double>(&value)) return double_to_float(*d);
            if (auto* s = std::get_if<std::string>(&value)) return double_to_float(parse_leading_double(*s));
            return value;
        case vexoFieldTypeDouble:
            if (auto* n = std::get_if<int64_t>(&value)) return static_cast<double>(*n);
            if (auto* f = std::get_if<float>(&value)) return static_cast<double>(*f);
            if (auto* s = std::get_if<std::string>(&value)) return parse_leading_double(*s);
            return value;
        case vexoFieldTypeString:
            if (auto* n = std::get_if<int64_t>(&value)) return std::to_string(*n);
            return value;
        case vexoFieldTypeDate:
            if (auto* n = std::get_if<int64_t>(&value)) {
                time_point_t tp;
                if (time_point_from_millis(*n, tp)) return tp;
            }
            return value;
        default:
            return value;
    }
}

// ---- decoding ----

namespace {

namespace pbg = vexoPBuffer::graph;

using pbg::GraphPropertyFieldType;

struct Decoder {
    // Default values carry plain coordinates: nothing to scale.
    QuantizationTransform identity;

    std::shared_ptr<GraphProperty> property(pbg::GraphProperty& message) {
        const int wire_type = static_cast<int>(message.field_type());
        if (wire_type < 1 || wire_type > 13) return nullptr;

        auto p = std::make_shared<GraphProperty>();
        p->name = std::move(*message.mutable_name());
        p->alias = std::move(*message.mutable_alias());
        p->domain = std::move(*message.mutable_domain());
        p->field_type = static_cast<vexoFieldType>(wire_type - 1);
        p->nullable = !message.not_nullable();
        p->editable = !message.not_editable();
        p->required = message.required();
        p->default_visibility = !message.hidden();
        p->system_maintained = message.system_maintained();
        if (p->field_type == vexoFieldTypeGeometry) {
            p->geometry_type = from_wire_geometry_type(static_cast<int>(message.geometry_type()));
            p->has_m = message.has_m();
            p->has_z = message.has_z();
        }
        if (message.default_value_size() == 1) {
            // On the message's own arena (if any), so that the swap moves
            // instead of copying.
            auto* any = google::protobuf::Arena::CreateMessage<pbg::AnyValue>(message.GetArena());
            std::unique_ptr<pbg::AnyValue> owned(message.GetArena() ? nullptr : any);
            any->mutable_primitive_value()->Swap(message.mutable_default_value(0));
            try {
                p->default_value = coerce_default_value(decode_any_value(identity, *any), p->field_type);
            } catch (const std::bad_alloc&) {
                throw;
            } catch (const std::exception&) {
                // A geometry whose parts and coordinates disagree: the schema
                // is still usable without this one default.
                p->default_value = null_t{};
            }
        }
        if (message.role_oneof_case() == pbg::GraphProperty::kRole) {
            const int role = static_cast<int>(message.role());
            if (role >= 1 && role <= 9) p->role = static_cast<vexoGraphPropertyRole>(role);
        }
        return p;
    }

    static std::shared_ptr<FieldIndex> field_index(vexoPBuffer::VexoTypes_FieldIndex& message) {
        auto index = std::make_shared<FieldIndex>();
        const std::string& text = message.fields();
        std::size_t start = 0;
        while (start <= text.size()) {
            std::size_t end = text.find(',', start);
            if (end == std::string::npos) end = text.size();
            if (end > start) index->fields.emplace_back(text, start, end - start);
            start = end + 1;
        }
        if (index->fields.empty()) return nullptr;
        index->name = std::move(*message.mutable_name());
        index->ascending = message.isascending();
        index->unique = message.isunique();
        // Kept (the dictionary shows it when present) rather than dropped.
        index->description = std::move(*message.mutable_description());
        return index;
    }

    void named_type(pbg::NamedObjectType& message, NamedObjectType& target) {
        target.alias = std::move(*message.mutable_alias());
        switch (message.role()) {
            case 1:
                target.role = vexoGraphNamedObjectTypeRole::Provenance;
                break;
            case 2:
                target.role = vexoGraphNamedObjectTypeRole::Document;
                break;
            default:
                target.role = vexoGraphNamedObjectTypeRole::Regular;
                break;
        }
        target.strict = message.strict();
        target.properties.reserve(static_cast<std::size_t>(message.properties_size()));
        target.properties_by_name.reserve(static_cast<std::size_t>(message.properties_size()));
        for (auto& p : *message.mutable_properties()) target.add_property(property(p));
        for (auto& fi : *message.mutable_field_indexes()) {
            if (auto index = field_index(fi)) target.field_indexes.push_back(std::move(index));
        }
        target.name = std::move(*message.mutable_name());
    }

    static bool identifier_info(const pbg::IdentifierInfo& message, IdentifierInfo& target) {
        const auto& mapping = message.identifier_mapping_info();
        auto m = std::make_shared<IdentifierMappingInfo>();
        switch (mapping.mapping_case()) {
            case pbg::IdentifierMappingInfo::kNativeIdentifier:
                m->identifier_info_type = vexoIdentifierInfoTypeDatabaseNative;
                m->database_native_identifier = std::make_shared<DatabaseNativeIdentifier>();
                break;
            case pbg::IdentifierMappingInfo::kUniformProperty:
                m->identifier_info_type = vexoIdentifierInfoTypeUniformProperty;
                m->uniform_property_identifier = std::make_shared<UniformPropertyIdentifier>();
                m->uniform_property_identifier->identifier_property_name =
                    mapping.uniform_property().identifier_property_name();
                break;
            default:
                return false;
        }
        const auto& generation = message.identifier_generation_info();
        if (generation.generation_method_case() != pbg::IdentifierGenerationInfo::kUuidMethodHint) return false;
        auto g = std::make_shared<IdentifierGenerationInfo>();
        switch (generation.uuid_method_hint()) {
            case 1:
                g->uuid_method_hint = vexoUUIDVEXO;
                break;
            case 2:
                g->uuid_method_hint = vexoUUIDRFC4122;
                break;
            default:
                g->uuid_method_hint = vexoMethodHintUNSPECIFIED;
                break;
        }
        target.identifier_mapping_info = std::move(m);
        target.identifier_generation_info = std::move(g);
        return true;
    }

    static std::shared_ptr<SearchIndex> search_index(const pbg::SearchIndex& message) {
        auto index = std::make_shared<SearchIndex>();
        index->name = message.name();
        switch (static_cast<int>(message.supported_category())) {
            case 1:
                index->supported_category = static_cast<int32_t>(vexoNamedTypeCategory::entity);
                break;
            case 2:
                index->supported_category = static_cast<int32_t>(vexoNamedTypeCategory::relationship);
                break;
            case 3:
                index->supported_category = static_cast<int32_t>(vexoNamedTypeCategory::both);
                break;
            default:
                return nullptr;
        }
        index->analyzers.reserve(static_cast<std::size_t>(message.analyzers_size()));
        for (const auto& a : message.analyzers()) index->add_analyzer(SearchAnalyzer{a.name()});
        for (const auto& entry : message.search_properties()) {
            if (index->search_properties.count(entry.first)) continue;
            const auto& names = entry.second.property_names();
            index->search_properties.emplace(
                entry.first, SearchIndexProperties{std::vector<std::string>(names.begin(), names.end())});
        }
        return index;
    }

    std::shared_ptr<DataModel> model(pbg::GraphDataModel& message) {
        auto dm = std::make_shared<DataModel>();
        // A time stamp whose ticks overflow cannot come from a real service.
        const uint64_t millis = message.data_model_timestamp();
        if (millis > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) ||
            !time_point_from_millis(static_cast<int64_t>(millis), dm->timestamp))
            return nullptr;
        dm->spatial_reference =
            read_spatial_reference(message.has_spatial_reference() ? &message.spatial_reference() : nullptr);
        dm->strict = message.strict();
        dm->objectid_property = message.objectid_property();
        dm->globalid_property = message.globalid_property();
        dm->tolmir_managed = message.tolmir_managed();
        if (!identifier_info(message.identifier_info(), *dm->identifier_info)) return nullptr;

        dm->search_indexes.reserve(static_cast<std::size_t>(message.search_indexes_size()));
        for (const auto& si : message.search_indexes()) {
            auto index = search_index(si);
            if (!index) return nullptr;
            dm->add_search_index(std::move(index));
        }
        dm->entity_types.reserve(static_cast<std::size_t>(message.entity_types_size()));
        for (auto& et : *message.mutable_entity_types()) {
            auto type = std::make_shared<EntityType>();
            named_type(*et.mutable_named_object_type(), *type);
            dm->add_entity_type(std::move(type));
        }
        dm->relationship_types.reserve(static_cast<std::size_t>(message.relationship_types_size()));
        for (auto& rt : *message.mutable_relationship_types()) {
            auto type = std::make_shared<RelationshipType>();
            named_type(*rt.mutable_named_object_type(), *type);
            type->end_points.reserve(static_cast<std::size_t>(rt.end_points_size()));
            for (const auto& ep : rt.end_points())
                type->end_points.push_back(EndPoint{ep.origin_entity_type(), ep.destination_entity_type()});
            dm->add_relationship_type(std::move(type));
        }
        return dm;
    }
};

}  // namespace

std::shared_ptr<DataModel> decode_data_model(std::string_view bytes) {
    if (bytes.empty() || bytes.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) return nullptr;
    try {
        // A model is thousands of small messages and strings: an arena
        // spares the allocator that churn.
        google::protobuf::ArenaOptions options;
        options.start_block_size = std::min<std::size_t>(std::max<std::size_t>(bytes.size(), 256), 1 << 20);
        options.max_block_size = 1 << 20;
        google::protobuf::Arena arena(options);
        auto* message = google::protobuf::Arena::CreateMessage<pbg::GraphDataModel>(&arena);
        if (!message->ParseFromArray(bytes.data(), static_cast<int>(bytes.size()))) return nullptr;
        NullExpansionScope nulls(bytes.size());
        Decoder decoder;
        return decoder.model(*message);
    } catch (...) {
        // Out of memory or any other surprise: bad input never escapes as an
        // exception.
        return nullptr;
    }
}

}  // namespace tk
