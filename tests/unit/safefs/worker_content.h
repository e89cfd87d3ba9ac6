#pragma once

// Documents the safefs worker program and its tests agree on: every byte depends on the tag,
// so any mix of two documents differs from both.

#include <cstdint>
#include <string>

namespace kel::test {

inline std::string WorkerContent(char tag, std::size_t size) {
  std::string bytes(size, '\0');
  std::uint32_t state = 0x9E3779B9u * static_cast<unsigned char>(tag);
  for (std::size_t i = 0; i < size; ++i) {
    state = state * 1664525u + 1013904223u;
    bytes[i] = static_cast<char>(state >> 24);
  }
  return bytes;
}

}  // namespace kel::test
