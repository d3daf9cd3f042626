// Compound graph values: objects, entities, relationships, paths, arrays.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "values/value.h"

namespace tk {

// Ordered (key, value) pairs; lookups find the first equal key, repeats are
// allowed, empty keys are never stored.
class KeyValueList {
public:
    std::vector<std::pair<std::string, value_t>> pairs;

    std::size_t count() const { return pairs.size(); }
    // nullptr when the key is empty or absent.
    const value_t* find(std::string_view key) const;
    // nullptr when index is out of range.
    const value_t* at(int32_t index) const;
    void clear() { pairs.clear(); }
    bool set(std::string_view key, value_t value);
    bool append(std::string_view key, value_t value);
    bool put_at(int32_t index, value_t value);
};

enum class ObjectValueType : int32_t { Object = 0, Entity = 1, Relationship = 2 };

class ObjectValue : public std::enable_shared_from_this<ObjectValue> {
public:
    KeyValueList properties;
};

class EntityValue : public std::enable_shared_from_this<EntityValue> {
public:
    std::string type_name;
    value_t id;
    KeyValueList properties;
};

class RelationshipValue : public std::enable_shared_from_this<RelationshipValue> {
public:
    std::string type_name;
    value_t id;
    KeyValueList properties;
    value_t origin_entity_id;
    value_t destination_entity_id;
};

class PathValue : public std::enable_shared_from_this<PathValue> {
public:
    std::vector<std::shared_ptr<EntityValue>> entities;
    std::vector<std::shared_ptr<RelationshipValue>> relationships;
};

class ArrayValue : public std::enable_shared_from_this<ArrayValue> {
public:
    std::vector<value_t> values;

    // Grows or shrinks to index + 1 elements; false for a negative index.
    bool put_at(int32_t index, value_t value);
};

}  // namespace tk
