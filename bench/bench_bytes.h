// The benchmarks' input bytes: the same pseudo-random pattern on every run
// and every host, so that figures of two runs or two builds compare.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace bench {

inline std::vector<uint8_t> patternBytes(size_t length, uint32_t seed = 12345) {
  std::vector<uint8_t> bytes(length);
  uint32_t state = seed;
  for (auto& byte : bytes) {
    state = state * 1103515245u + 12345u;
    byte = static_cast<uint8_t>(state >> 16);
  }
  return bytes;
}

}  // namespace bench
