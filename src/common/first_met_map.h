// Records keyed by name, kept in the order the names were first met (result
// dictionaries list them so).
#pragma once

#include <cstddef>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace tk {

template <class Record>
class first_met_map {
public:
    std::vector<std::pair<std::string, Record>> items;

    Record& find_or_create(const std::string& name) {
        auto it = index_.find(name);
        if (it != index_.end()) return items[it->second].second;
        index_.emplace(name, items.size());
        items.emplace_back(name, Record{});
        return items.back().second;
    }
    // False, and nothing stored, when name is already present.
    bool add_first(std::string name, Record record) {
        if (!index_.emplace(name, items.size()).second) return false;
        items.emplace_back(std::move(name), std::move(record));
        return true;
    }
    void clear() {
        items.clear();
        index_.clear();
    }

private:
    std::unordered_map<std::string, std::size_t> index_;
};

}  // namespace tk
