// Admission of concurrent client sessions: at most a given number at once,
// and at most a given number from one source address.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

namespace quarvent {

class SessionSlots {
 public:
  enum class Admit { kTaken, kFull, kSourceFull };

  // maxPerSource 0: as many as maxClients.
  SessionSlots(int maxClients, int maxPerSource);

  // Takes a slot for a session from address (Endpoint::AddressKey: an IPv4
  // client counts as one address whichever socket family it reached).
  Admit Take(const std::string& address);
  // Gives back a slot taken for address.
  void Release(const std::string& address);

  int Active() const noexcept { return m_nActive.load(std::memory_order_relaxed); }
  bool Full() const noexcept { return Active() >= m_nMax; }

 private:
  const int m_nMax;
  const int m_nMaxPerSource;
  std::mutex m_mutex;
  std::unordered_map<std::string, int> m_bySource;  // sessions per address, none listed at 0
  std::atomic<int> m_nActive{0};
};

}  // namespace quarvent
