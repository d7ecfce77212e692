#pragma once
// A fixed table of (key, value) rows, for the enumerations whose values have a name, a code
// or a number written once: the table is looked up in both directions, so a name that is
// written and parsed again cannot drift between the two.

#include <cstddef>
#include <optional>
#include <type_traits>

namespace platform {

template <class Key, class Value>
struct LookupRow {
    Key key;
    Value value;
};

// The value of `key`'s row, or `fallback` when the table has none.
template <class Key, class Value, std::size_t N>
constexpr Value look_up(const LookupRow<Key, Value> (&table)[N], std::type_identity_t<Key> key,
                        std::type_identity_t<Value> fallback) {
    for (const LookupRow<Key, Value>& row : table) {
        if (row.key == key) {
            return row.value;
        }
    }
    return fallback;
}

// The key of the first row whose value `same` finds equal to `value`, or nothing.
template <class Key, class Value, std::size_t N, class Probe, class Same>
constexpr std::optional<Key> key_of(const LookupRow<Key, Value> (&table)[N], const Probe& value,
                                    Same same) {
    for (const LookupRow<Key, Value>& row : table) {
        if (same(row.value, value)) {
            return row.key;
        }
    }
    return std::nullopt;
}

// The key of the first row whose value equals `value`, or nothing.
template <class Key, class Value, std::size_t N, class Probe>
constexpr std::optional<Key> key_of(const LookupRow<Key, Value> (&table)[N], const Probe& value) {
    return key_of(table, value, [](const Value& a, const Probe& b) { return a == b; });
}

}  // namespace platform
