// The projects tree's only source of chance. Each writing thread holds its own Random:
// one per session, seeded from the tree's plan.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tessel::bench {

// splitmix64: small, fast, and the same sequence everywhere (the standard library's
// distributions are not), so that a seed names one tree on every platform.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}

  uint64_t next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  // In [0, n).
  uint64_t below(uint64_t n) { return n == 0 ? 0 : next() % n; }
  // In [low, high].
  int64_t between(int64_t low, int64_t high) {
    return low + static_cast<int64_t>(below(static_cast<uint64_t>(high - low + 1)));
  }
  double unit() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
  bool chance(double p) { return unit() < p; }
  // As many values between 1 and 10 KB as between 10 and 100 KB: the shape of file
  // and output sizes.
  double logUniform(double low, double high) { return low * std::pow(high / low, unit()); }
  template <typename T>
  const T& pick(const std::vector<T>& items) {
    return items[below(items.size())];
  }
  template <typename T, size_t N>
  const T& pick(const T (&items)[N]) {
    return items[below(N)];
  }

 private:
  uint64_t state_;
};

// A seed for one use of the tree's seed, e.g. the plan's or the vocabulary's, so that
// each draws its own sequence.
inline uint64_t mix(uint64_t a, uint64_t b) {
  Random random(a * 0x2545F4914F6CDD1DULL + b);
  random.next();
  return random.next();
}

}  // namespace tessel::bench
