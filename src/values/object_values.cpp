#include "values/object_values.h"

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

bool ArrayValue::put_at(int32_t index, value_t value) {
    if (index < 0) return false;
    values.resize(static_cast<std::size_t>(index) + 1);
    values[static_cast<std::size_t>(index)] = std::move(value);
    return true;
}

}  // namespace tk
