// Strict per-finger lookups for data a computation cannot do without.
#pragma once

#include <map>
#include <stdexcept>

namespace kelto::hand::detail {

// What a strict lookup throws for a finger that is not there: std::map::at's failure, with the same message
// on every standard library.
[[noreturn]] inline void throw_missing_finger() {
  throw std::out_of_range("map::at:  key not found");
}

// Like std::map::at, with the same message on every standard library.
template <typename Map, typename Key>
const typename Map::mapped_type& finger_at(const Map& map, const Key& key) {
  const auto it = map.find(key);
  if (it == map.end()) throw_missing_finger();
  return it->second;
}

template <typename Map, typename Key>
typename Map::mapped_type& finger_at(Map& map, const Key& key) {
  const auto it = map.find(key);
  if (it == map.end()) throw_missing_finger();
  return it->second;
}

// The entry's value, or the fallback when the map has no entry for the key.
template <typename Map, typename Key>
typename Map::mapped_type value_or(const Map& map, const Key& key,
                                   const typename Map::mapped_type& fallback) {
  const auto it = map.find(key);
  return it == map.end() ? fallback : it->second;
}

}  // namespace kelto::hand::detail
