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

// The elements of an array: a sequence of values with the interface of
// std::vector<value_t>. An array assigned from Python floats alone (a common
// bulk parameter) is kept as plain doubles, element i standing for
// narrowest_float(doubles[i]), a fifth of the memory; the first access that
// needs value_t elements turns it into them. The codec and the bridge read
// the doubles directly.
class ValueList {
public:
    using value_type = value_t;
    using size_type = std::size_t;
    using reference = value_t&;
    using const_reference = const value_t&;
    using iterator = std::vector<value_t>::iterator;
    using const_iterator = std::vector<value_t>::const_iterator;

    ValueList() = default;
    ValueList(std::vector<value_t> items) : items_(std::move(items)) {}  // NOLINT(google-explicit-constructor)
    ValueList& operator=(std::vector<value_t> items) {
        items_ = std::move(items);
        drop_doubles();
        return *this;
    }
    operator std::vector<value_t>() const& {  // NOLINT(google-explicit-constructor)
        materialize();
        return items_;
    }
    operator std::vector<value_t>() && {  // NOLINT(google-explicit-constructor)
        materialize();
        return std::move(items_);
    }

    // Elements stored as doubles (see above); then items_ is empty.
    bool packed() const { return packed_; }
    const std::vector<double>& packed_doubles() const { return doubles_; }
    void assign_packed(std::vector<double> doubles) {
        items_.clear();
        items_.shrink_to_fit();
        doubles_ = std::move(doubles);
        packed_ = true;
    }

    std::size_t size() const { return packed_ ? doubles_.size() : items_.size(); }
    bool empty() const { return size() == 0; }
    std::size_t capacity() const { return packed_ ? doubles_.capacity() : items_.capacity(); }

    value_t& operator[](std::size_t i) { return elements()[i]; }
    const value_t& operator[](std::size_t i) const { return elements()[i]; }
    value_t& at(std::size_t i) { return elements().at(i); }
    const value_t& at(std::size_t i) const { return elements().at(i); }
    value_t& front() { return elements().front(); }
    const value_t& front() const { return elements().front(); }
    value_t& back() { return elements().back(); }
    const value_t& back() const { return elements().back(); }
    value_t* data() { return elements().data(); }
    const value_t* data() const { return elements().data(); }
    iterator begin() { return elements().begin(); }
    iterator end() { return elements().end(); }
    const_iterator begin() const { return elements().begin(); }
    const_iterator end() const { return elements().end(); }
    const_iterator cbegin() const { return begin(); }
    const_iterator cend() const { return end(); }

    void reserve(std::size_t n) { elements().reserve(n); }
    void shrink_to_fit() { elements().shrink_to_fit(); }
    void resize(std::size_t n) { elements().resize(n); }
    void resize(std::size_t n, const value_t& v) { elements().resize(n, v); }
    void clear() {
        items_.clear();
        drop_doubles();
    }
    void push_back(const value_t& v) { elements().push_back(v); }
    void push_back(value_t&& v) { elements().push_back(std::move(v)); }
    template <class... Args>
    value_t& emplace_back(Args&&... args) {
        return elements().emplace_back(std::forward<Args>(args)...);
    }
    void pop_back() { elements().pop_back(); }
    iterator insert(const_iterator pos, const value_t& v) { return elements().insert(pos, v); }
    iterator insert(const_iterator pos, value_t&& v) { return elements().insert(pos, std::move(v)); }
    iterator erase(const_iterator pos) { return elements().erase(pos); }
    iterator erase(const_iterator first, const_iterator last) { return elements().erase(first, last); }
    void swap(std::vector<value_t>& other) { elements().swap(other); }

    // The elements as value_t, turning packed doubles into them first.
    std::vector<value_t>& elements() {
        materialize();
        return items_;
    }
    const std::vector<value_t>& elements() const {
        materialize();
        return items_;
    }

private:
    mutable std::vector<value_t> items_;
    mutable std::vector<double> doubles_;
    mutable bool packed_ = false;

    void drop_doubles() {
        doubles_.clear();
        doubles_.shrink_to_fit();
        packed_ = false;
    }
    void materialize() const {
        if (packed_) unpack();
    }
    void unpack() const;
};

enum class ObjectValueType : int32_t { Object = 0, Entity = 1, Relationship = 2 };

// Compound values form chains of any length (200,000 nested arrays built
// from Python are fine), so their destructors never recurse: what a dying
// value owns alone is handed to one work list and released from there.
class ObjectValue : public std::enable_shared_from_this<ObjectValue> {
public:
    KeyValueList properties;

    ObjectValue() = default;
    ObjectValue(const ObjectValue&) = default;
    ObjectValue(ObjectValue&&) = default;
    ObjectValue& operator=(const ObjectValue&) = default;
    ObjectValue& operator=(ObjectValue&&) = default;
    ~ObjectValue();
};

class EntityValue : public std::enable_shared_from_this<EntityValue> {
public:
    std::string type_name;
    value_t id;
    KeyValueList properties;

    EntityValue() = default;
    EntityValue(const EntityValue&) = default;
    EntityValue(EntityValue&&) = default;
    EntityValue& operator=(const EntityValue&) = default;
    EntityValue& operator=(EntityValue&&) = default;
    ~EntityValue();
};

class RelationshipValue : public std::enable_shared_from_this<RelationshipValue> {
public:
    std::string type_name;
    value_t id;
    KeyValueList properties;
    value_t origin_entity_id;
    value_t destination_entity_id;

    RelationshipValue() = default;
    RelationshipValue(const RelationshipValue&) = default;
    RelationshipValue(RelationshipValue&&) = default;
    RelationshipValue& operator=(const RelationshipValue&) = default;
    RelationshipValue& operator=(RelationshipValue&&) = default;
    ~RelationshipValue();
};

class PathValue : public std::enable_shared_from_this<PathValue> {
public:
    std::vector<std::shared_ptr<EntityValue>> entities;
    std::vector<std::shared_ptr<RelationshipValue>> relationships;

    PathValue() = default;
    PathValue(const PathValue&) = default;
    PathValue(PathValue&&) = default;
    PathValue& operator=(const PathValue&) = default;
    PathValue& operator=(PathValue&&) = default;
    ~PathValue();
};

class ArrayValue : public std::enable_shared_from_this<ArrayValue> {
public:
    ValueList values;

    // Grows or shrinks to index + 1 elements; false for a negative index.
    bool put_at(int32_t index, value_t value);

    ArrayValue() = default;
    ArrayValue(const ArrayValue&) = default;
    ArrayValue(ArrayValue&&) = default;
    ArrayValue& operator=(const ArrayValue&) = default;
    ArrayValue& operator=(ArrayValue&&) = default;
    ~ArrayValue();
};

}  // namespace tk
