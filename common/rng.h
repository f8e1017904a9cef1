// The 15-bit linear congruential generator that both sides draw random sizes
// from, so that ranges like r mod 4033 behave the same on every platform and a
// test can seed it.
#pragma once

#include <cstdint>
#include <ctime>

namespace quarvent {

class Rand15 {
 public:
  explicit Rand15(uint32_t seed = 1) noexcept : m_state(seed) {}
  void Seed(uint32_t seed) noexcept { m_state = seed; }
  // Seeds from the current time in whole seconds.
  void SeedFromTime() noexcept { m_state = static_cast<uint32_t>(std::time(nullptr)); }
  // 0 to 32,767.
  int Next() noexcept {
    m_state = m_state * 214013u + 2531011u;
    return static_cast<int>((m_state >> 16) & 0x7FFF);
  }

 private:
  uint32_t m_state;
};

}  // namespace quarvent
