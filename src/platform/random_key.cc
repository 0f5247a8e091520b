#include "platform/random_key.h"

#include <chrono>
#include <random>

uint64_t random_key() {
  uint64_t key = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  key ^= reinterpret_cast<uintptr_t>(&key) * 0x9e3779b97f4a7c15u;
  try {
    std::random_device random;
    key ^= uint64_t{random()} << 32 | random();
  } catch (...) {
    // No source of randomness: the clock and the address must do.
  }
  return key;
}
