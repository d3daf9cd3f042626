#include "query/param_list.h"

#include <algorithm>
#include <functional>
#include <stdexcept>

namespace tk {

namespace {

// Positions are kept in 32 bits (plus one for the empty mark).
constexpr std::size_t kMaxPairs = 0xFFFFFFF0u;
constexpr std::size_t kMinSlots = 16;

uint32_t hash32(std::string_view name) {
    const uint64_t h = std::hash<std::string_view>{}(name);
    return static_cast<uint32_t>(h ^ (h >> 32));
}

void check_room(std::size_t count) {
    if (count >= kMaxPairs) throw std::length_error("Too many bind parameters.");
}

}  // namespace

std::size_t ParamList::probe(std::string_view name, uint32_t hash) const {
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = hash & mask;
    for (;;) {
        const Slot& s = slots_[i];
        if (s.position_plus_one == 0) return i;
        if (s.hash == hash && pairs_[s.position_plus_one - 1].first == name) return i;
        i = (i + 1) & mask;
    }
}

void ParamList::grow_for(std::size_t names) const {
    std::size_t size = slots_.empty() ? kMinSlots : slots_.size();
    while (size < 2 * names) size *= 2;
    if (size == slots_.size()) return;
    std::vector<Slot> bigger(size);
    const std::size_t mask = size - 1;
    for (const Slot& s : slots_) {
        if (s.position_plus_one == 0) continue;
        std::size_t i = s.hash & mask;
        while (bigger[i].position_plus_one != 0) i = (i + 1) & mask;
        bigger[i] = s;
    }
    slots_.swap(bigger);
}

void ParamList::index_new(std::size_t position, uint32_t hash, std::size_t slot) const {
    slots_[slot] = Slot{static_cast<uint32_t>(position + 1), hash};
    ++indexed_names_;
}

void ParamList::ensure_index() const {
    if (indexed_) return;
    slots_.clear();
    indexed_names_ = 0;
    grow_for(std::max<std::size_t>(pairs_.size(), 1));
    for (std::size_t i = 0; i < pairs_.size(); ++i) {
        const std::string& name = pairs_[i].first;
        const uint32_t hash = hash32(name);
        const std::size_t slot = probe(name, hash);
        if (slots_[slot].position_plus_one == 0) index_new(i, hash, slot);  // later repeats stay out
    }
    indexed_ = true;
}

std::size_t ParamList::first_index(std::string_view name) const {
    if (name.empty() || pairs_.empty()) return npos;
    ensure_index();
    const Slot& s = slots_[probe(name, hash32(name))];
    return s.position_plus_one == 0 ? npos : s.position_plus_one - 1;
}

const value_t* ParamList::find(std::string_view name) const {
    const std::size_t i = first_index(name);
    return i == npos ? nullptr : &pairs_[i].second;
}

void ParamList::clear() {
    pairs_.clear();
    slots_.clear();
    indexed_names_ = 0;
    indexed_ = false;
}

void ParamList::reserve(std::size_t n) {
    check_room(n);
    if (n > pairs_.capacity()) pairs_.reserve(std::max(n, 2 * pairs_.capacity()));
}

bool ParamList::set(std::string name, value_t value) {
    if (name.empty()) return false;
    check_room(pairs_.size());
    ensure_index();
    grow_for(indexed_names_ + 1);
    const uint32_t hash = hash32(name);
    const std::size_t slot = probe(name, hash);
    if (slots_[slot].position_plus_one != 0) {
        pairs_[slots_[slot].position_plus_one - 1].second = std::move(value);
        return true;
    }
    pairs_.emplace_back(std::move(name), std::move(value));
    index_new(pairs_.size() - 1, hash, slot);
    return true;
}

bool ParamList::append(std::string name, value_t value) {
    if (name.empty()) return false;
    check_room(pairs_.size());
    if (!indexed_) {
        pairs_.emplace_back(std::move(name), std::move(value));
        return true;
    }
    grow_for(indexed_names_ + 1);
    const uint32_t hash = hash32(name);
    const std::size_t slot = probe(name, hash);
    const bool is_new = slots_[slot].position_plus_one == 0;
    pairs_.emplace_back(std::move(name), std::move(value));
    if (is_new) index_new(pairs_.size() - 1, hash, slot);  // a repeat: the index keeps the first
    return true;
}

bool ParamList::put_at(int32_t index, value_t value) {
    if (index < 0 || static_cast<std::size_t>(index) >= pairs_.size()) return false;
    pairs_[static_cast<std::size_t>(index)].second = std::move(value);
    return true;
}

void ParamList::truncate(std::size_t n) {
    if (n >= pairs_.size()) return;
    pairs_.erase(pairs_.begin() + static_cast<std::ptrdiff_t>(n), pairs_.end());
    // Rebuilt by the next lookup.
    slots_.clear();
    indexed_names_ = 0;
    indexed_ = false;
}

}  // namespace tk
