// The graph schema as a tree of shared objects.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "geometry/geometry.h"
#include "geometry/spatial_reference.h"
#include "values/value.h"

namespace tk {

enum class vexoGraphNamedObjectTypeRole : int32_t { Regular = 0, Provenance = 1, Document = 2 };

enum vexoFieldType : int32_t {
    vexoFieldTypeSmallInteger = 0,
    vexoFieldTypeInteger = 1,
    vexoFieldTypeSingle = 2,
    vexoFieldTypeDouble = 3,
    vexoFieldTypeString = 4,
    vexoFieldTypeDate = 5,
    vexoFieldTypeOID = 6,
    vexoFieldTypeGeometry = 7,
    vexoFieldTypeBlob = 8,
    vexoFieldTypeRaster = 9,
    vexoFieldTypeGUID = 10,
    vexoFieldTypeGlobalID = 11,
    vexoFieldTypeXML = 12,
    vexoFieldTypeBigInteger = 13,
};

enum vexoGraphPropertyRole : int32_t {
    vexoGraphPropertyUNSPECIFIED = 0,
    vexoGraphPropertyRegular = 1,
    vexoGraphPropertyDocumentName = 2,
    vexoGraphPropertyDocumentTitle = 3,
    vexoGraphPropertyDocumentUrl = 4,
    vexoGraphPropertyDocumentText = 5,
    vexoGraphPropertyDocumentKeywords = 6,
    vexoGraphPropertyDocumentContentType = 7,
    vexoGraphPropertyDocumentMetadata = 8,
    vexoGraphPropertyDocumentFileExtension = 9,
};

enum vexoIdentifierInfoType : int32_t {
    vexoIdentifierInfoTypeUNSPECIFIED = 0,
    vexoIdentifierInfoTypeDatabaseNative = 1,
    vexoIdentifierInfoTypeUniformProperty = 2,
};

enum vexoUUIDMethodHint : int32_t {
    vexoMethodHintUNSPECIFIED = 0,
    vexoUUIDVEXO = 1,
    vexoUUIDRFC4122 = 2,
};

// Python values of the search category; wire values differ (both is 3).
enum class vexoNamedTypeCategory : int32_t { entity = 1, relationship = 2, both = 4 };

class GraphProperty {
public:
    std::string name;
    std::string alias;
    std::string domain;
    vexoFieldType field_type = vexoFieldTypeSmallInteger;
    vexoGeometryType geometry_type = vexoGeometryNull;
    bool has_m = false;
    bool has_z = false;
    bool nullable = false;
    bool editable = false;
    bool required = false;
    bool default_visibility = false;
    bool system_maintained = false;
    vexoGraphPropertyRole role = vexoGraphPropertyUNSPECIFIED;
    value_t default_value;
};

struct FieldIndex {
    std::string name;
    std::vector<std::string> fields;
    bool ascending = false;
    bool unique = false;
    std::string description;
};

struct EndPoint {
    std::string origin_entity_type;
    std::string dest_entity_type;
};

class NamedObjectType {
public:
    virtual ~NamedObjectType() = default;

    std::string name;
    std::string alias;
    vexoGraphNamedObjectTypeRole role = vexoGraphNamedObjectTypeRole::Regular;
    bool strict = false;
    std::vector<std::shared_ptr<GraphProperty>> properties;
    std::unordered_map<std::string, std::shared_ptr<GraphProperty>> properties_by_name;
    std::vector<std::shared_ptr<FieldIndex>> field_indexes;

    // Appends and indexes; a later duplicate name keeps the first in the index.
    void add_property(std::shared_ptr<GraphProperty> property);
    std::shared_ptr<GraphProperty> get_property(std::string_view name) const;
};

class EntityType : public NamedObjectType {};

class RelationshipType : public NamedObjectType {
public:
    std::vector<EndPoint> end_points;
};

class DatabaseNativeIdentifier {};

class UniformPropertyIdentifier {
public:
    std::string identifier_property_name;
};

class IdentifierMappingInfo {
public:
    vexoIdentifierInfoType identifier_info_type = vexoIdentifierInfoTypeUNSPECIFIED;
    std::shared_ptr<DatabaseNativeIdentifier> database_native_identifier;
    std::shared_ptr<UniformPropertyIdentifier> uniform_property_identifier;
};

class IdentifierGenerationInfo {
public:
    vexoUUIDMethodHint uuid_method_hint = vexoMethodHintUNSPECIFIED;
};

class IdentifierInfo {
public:
    std::shared_ptr<IdentifierMappingInfo> identifier_mapping_info = std::make_shared<IdentifierMappingInfo>();
    std::shared_ptr<IdentifierGenerationInfo> identifier_generation_info = std::make_shared<IdentifierGenerationInfo>();
};

struct SearchAnalyzer {
    std::string name;
};

struct SearchIndexProperties {
    std::vector<std::string> property_names;
};

class SearchIndex {
public:
    std::string name;
    int32_t supported_category = 0;  // a vexoNamedTypeCategory value, or 0
    std::vector<SearchAnalyzer> analyzers;
    std::unordered_map<std::string, std::size_t> analyzers_by_name;  // index into analyzers
    std::map<std::string, SearchIndexProperties> search_properties;

    // Appends and indexes; a later duplicate name keeps the first in the index.
    void add_analyzer(SearchAnalyzer analyzer);
    // nullptr when absent; valid until analyzers changes.
    const SearchAnalyzer* query_analyzer(std::string_view name) const;
    const SearchIndexProperties* query_search_property(std::string_view name) const;
};

class DataModel : public std::enable_shared_from_this<DataModel> {
public:
    time_point_t timestamp{};
    SpatialReference spatial_reference;
    std::vector<std::shared_ptr<EntityType>> entity_types;
    std::unordered_map<std::string, std::shared_ptr<EntityType>> entity_types_by_name;
    std::vector<std::shared_ptr<RelationshipType>> relationship_types;
    std::unordered_map<std::string, std::shared_ptr<RelationshipType>> relationship_types_by_name;
    bool strict = false;
    std::string objectid_property;
    std::string globalid_property;
    bool tolmir_managed = false;
    std::shared_ptr<IdentifierInfo> identifier_info = std::make_shared<IdentifierInfo>();
    std::vector<std::shared_ptr<SearchIndex>> search_indexes;
    std::unordered_map<std::string, std::shared_ptr<SearchIndex>> search_indexes_by_name;

    // Append to the list and index by name; a later duplicate name keeps the
    // first in the index.
    void add_entity_type(std::shared_ptr<EntityType> type);
    void add_relationship_type(std::shared_ptr<RelationshipType> type);
    void add_search_index(std::shared_ptr<SearchIndex> index);
    // Exact (case-sensitive) names; nullptr when absent.
    std::shared_ptr<EntityType> query_entity_type(std::string_view name) const;
    std::shared_ptr<RelationshipType> query_relationship_type(std::string_view name) const;
    std::shared_ptr<SearchIndex> query_search_index(std::string_view name) const;
};

// Brings a decoded default value to the kind its field type stores (numbers
// truncated or widened, decimal strings parsed, milliseconds to date-times);
// a number the target cannot hold (NaN, out of range) is returned unchanged.
value_t coerce_default_value(value_t value, vexoFieldType type);

// nullptr for empty, oversized or malformed input (never throws for bad bytes).
// A default value that cannot be decoded (a geometry whose part lengths and
// coordinates disagree) is left null; the rest of the model still decodes.
std::shared_ptr<DataModel> decode_data_model(std::string_view bytes);

}  // namespace tk
