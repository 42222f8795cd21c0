// One way to hash records made of several fields: fold each field's std::hash in.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>

namespace tessel {

template <class T>
void hashCombine(size_t& seed, const T& value) {
  seed ^= std::hash<T>{}(value) + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
}

template <class... Fields>
size_t hashFields(const Fields&... fields) {
  size_t seed = 0;
  (hashCombine(seed, fields), ...);
  return seed;
}

}  // namespace tessel
