// The bind parameters of a query request: ordered (name, value) pairs with
// first-match lookup, repeats allowed, empty names refused. Setting by name
// goes through a hash index of every name's first position, so it stays
// constant time however many parameters a request carries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "values/value.h"

namespace tk {

class ParamList {
public:
    using Pair = std::pair<std::string, value_t>;
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);

    const std::vector<Pair>& pairs() const { return pairs_; }
    std::size_t count() const { return pairs_.size(); }

    // Position of the first pair with exactly this name; npos when the name
    // is empty or absent.
    std::size_t first_index(std::string_view name) const;
    // nullptr when the name is empty or absent.
    const value_t* find(std::string_view name) const;

    void clear();
    // Room for n pairs in all (amortised: never shrinks the growth rate).
    void reserve(std::size_t n);
    // False and no change for an empty name; otherwise replaces the value of
    // the first pair with that name, or appends when there is none.
    bool set(std::string name, value_t value);
    // False and no change for an empty name; otherwise appends, even when the
    // name is present already.
    bool append(std::string name, value_t value);
    // False and no change when index < 0 or index >= count.
    bool put_at(int32_t index, value_t value);
    // Drops the pairs from position n on (n <= count); undoes appends.
    void truncate(std::size_t n);

private:
    // Open addressing with linear probing over a power-of-two table, at
    // most half full; a slot holds the position + 1 of a name's first pair
    // (0: empty) and 32 bits of its hash, which spare most string
    // comparisons and give the home slot when the table grows.
    struct Slot {
        uint32_t position_plus_one = 0;
        uint32_t hash = 0;
    };

    // The index is built by the first lookup and kept up to date from then
    // on: a list that is only appended to and encoded never needs it (the
    // encoder finds repeated names while it sorts them).
    void ensure_index() const;
    void index_new(std::size_t position, uint32_t hash, std::size_t slot) const;
    // The slot holding name, or the empty slot where it would go.
    std::size_t probe(std::string_view name, uint32_t hash) const;
    void grow_for(std::size_t names) const;

    std::vector<Pair> pairs_;
    mutable std::vector<Slot> slots_;
    mutable std::size_t indexed_names_ = 0;
    mutable bool indexed_ = false;
};

}  // namespace tk
