#include "values/object_values.h"

#include <utility>
#include <variant>

namespace tk {

const value_t* KeyValueList::find(std::string_view key) const {
    if (key.empty()) return nullptr;
    for (const auto& p : pairs) {
        if (p.first.size() == key.size() && p.first == key) return &p.second;
    }
    return nullptr;
}

const value_t* KeyValueList::at(int32_t index) const {
    if (index < 0 || static_cast<std::size_t>(index) >= pairs.size()) return nullptr;
    return &pairs[static_cast<std::size_t>(index)].second;
}

bool KeyValueList::set(std::string_view key, value_t value) {
    if (key.empty()) return false;
    for (auto& p : pairs) {
        if (p.first == key) {
            p.second = std::move(value);
            return true;
        }
    }
    pairs.emplace_back(std::string(key), std::move(value));
    return true;
}

bool KeyValueList::append(std::string_view key, value_t value) {
    if (key.empty()) return false;
    pairs.emplace_back(std::string(key), std::move(value));
    return true;
}

bool KeyValueList::put_at(int32_t index, value_t value) {
    if (index < 0 || static_cast<std::size_t>(index) >= pairs.size()) return false;
    pairs[static_cast<std::size_t>(index)].second = std::move(value);
    return true;
}

void ValueList::unpack() const {
    std::vector<value_t> items;
    items.reserve(doubles_.size());
    for (const double d : doubles_) items.push_back(narrowest_float(d));
    items_ = std::move(items);
    doubles_.clear();
    doubles_.shrink_to_fit();
    packed_ = false;
}

bool ArrayValue::put_at(int32_t index, value_t value) {
    if (index < 0) return false;
    values.resize(static_cast<std::size_t>(index) + 1);
    values[static_cast<std::size_t>(index)] = std::move(value);
    return true;
}

// ---- destruction without recursion ----

namespace {

// The work list of the outermost compound destructor running on this
// thread; destructors that run while it drains only add to it.
thread_local std::vector<value_t>* t_pending = nullptr;

inline bool is_compound(const value_t& v) {
    const std::size_t i = v.index();
    return i >= kObjectIndex && i <= kArrayIndex;
}

// Every compound child goes to the work list, shared or not: two members
// may share one child, and the second release, not the first, then runs its
// destructor. Inline for the common case: a scalar costs one comparison.
inline void take(value_t& v, std::vector<value_t>& pending) {
    if (is_compound(v)) pending.push_back(std::move(v));
}

void take(KeyValueList& list, std::vector<value_t>& pending) {
    for (auto& pair : list.pairs) take(pair.second, pending);
}

template <class T>
void take(std::vector<std::shared_ptr<T>>& list, std::vector<value_t>& pending) {
    for (auto& p : list)
        if (p) pending.emplace_back(std::move(p));
}

// Moves what the dying value owns alone into the work list. The outermost
// call then releases the list one value at a time; each release may run
// one more destructor, which only adds that value's children.
template <class Take>
void dismantle(Take&& take_children) noexcept {
    if (t_pending) {
        try {
            take_children(*t_pending);
        } catch (...) {
            // Out of memory for the list: the rest goes the recursive way.
        }
        return;
    }
    std::vector<value_t> pending;
    t_pending = &pending;
    try {
        take_children(pending);
        while (!pending.empty()) {
            value_t last = std::move(pending.back());
            pending.pop_back();
        }
    } catch (...) {
    }
    t_pending = nullptr;
}

}  // namespace

ObjectValue::~ObjectValue() {
    dismantle([this](std::vector<value_t>& pending) { take(properties, pending); });
}

EntityValue::~EntityValue() {
    dismantle([this](std::vector<value_t>& pending) {
        take(id, pending);
        take(properties, pending);
    });
}

RelationshipValue::~RelationshipValue() {
    dismantle([this](std::vector<value_t>& pending) {
        take(id, pending);
        take(properties, pending);
        take(origin_entity_id, pending);
        take(destination_entity_id, pending);
    });
}

PathValue::~PathValue() {
    dismantle([this](std::vector<value_t>& pending) {
        take(entities, pending);
        take(relationships, pending);
    });
}

ArrayValue::~ArrayValue() {
    if (values.packed()) return;  // plain doubles hold nothing
    dismantle([this](std::vector<value_t>& pending) {
        for (auto& v : values) take(v, pending);
    });
}

}  // namespace tk
