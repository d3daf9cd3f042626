// Schema edit requests (named types and properties) and their responses.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "common/first_met_map.h"
#include "schema/data_model.h"
#include "schema/schema_wire.h"

namespace tk {

// Every response decoder's decode() starts from empty results. Input that
// does not parse gives error -3 "Error decoding response!"; an empty body is
// a valid message with every field absent, so a success.

// Per-name outcomes of an adds response, in the order the names first
// appeared; a repeated name keeps its first outcome.
using NamedOutcomes = first_met_map<kg_error_t>;

class GraphNamedObjectTypeAddsRequestEncoder {
public:
    std::vector<std::shared_ptr<EntityType>> entity_types;
    std::vector<std::shared_ptr<RelationshipType>> relationship_types;
    EncodingResult result;

    // Throw std::invalid_argument for a missing type.
    void add_entity_type(std::shared_ptr<EntityType> type);
    void add_relationship_type(std::shared_ptr<RelationshipType> type);
    void encode();
};

class GraphNamedObjectTypeUpdateRequestEncoder {
public:
    // At most one of the two is set; setting one clears the other.
    std::shared_ptr<EntityType> entity_type;
    std::shared_ptr<RelationshipType> relationship_type;
    NamedTypeMask mask;
    EncodingResult result;

    void update_entity_type(std::shared_ptr<EntityType> type, const NamedTypeMask& new_mask);
    void update_relationship_type(std::shared_ptr<RelationshipType> type, const NamedTypeMask& new_mask);
    void encode();
};

class GraphNamedObjectTypeAddsResponseDecoder {
public:
    kg_error_t error;
    NamedOutcomes entity_results;
    NamedOutcomes relationship_results;

    // Starts from empty results. Input that does not parse (or is over
    // 2 GiB) leaves error -3 "Error decoding response!" and no results; an
    // empty body is a valid empty response.
    void decode(std::string_view bytes);
};

class GraphNamedObjectTypeUpdateResponseDecoder {
public:
    kg_error_t error;
    void decode(std::string_view bytes);
};

class GraphNamedObjectTypeDeleteResponseDecoder {
public:
    kg_error_t error;
    void decode(std::string_view bytes);
};

class GraphPropertyAddsRequestEncoder {
public:
    std::vector<std::shared_ptr<GraphProperty>> properties;
    EncodingResult result;

    void add_property(std::shared_ptr<GraphProperty> property);
    void encode();
};

class GraphPropertyUpdateRequestEncoder {
public:
    std::string name;  // current name of the property to change
    std::shared_ptr<GraphProperty> property;
    PropertyMask mask;
    EncodingResult result;

    void update_property(std::shared_ptr<GraphProperty> new_property, const PropertyMask& new_mask);
    void encode();
};

class GraphPropertyDeleteRequestEncoder {
public:
    std::string name;
    EncodingResult result;

    void encode();
};

class GraphPropertyAddsResponseDecoder {
public:
    kg_error_t error;
    NamedOutcomes property_results;

    void decode(std::string_view bytes);
};

class GraphPropertyUpdateResponseDecoder {
public:
    kg_error_t error;
    void decode(std::string_view bytes);
};

class GraphPropertyDeleteResponseDecoder {
public:
    kg_error_t error;
    void decode(std::string_view bytes);
};

}  // namespace tk
