#include "server/session_slots.h"

namespace quarvent {

SessionSlots::SessionSlots(int maxClients, int maxPerSource)
    : m_nMax(maxClients), m_nMaxPerSource(maxPerSource > 0 ? maxPerSource : maxClients) {}

SessionSlots::Admit SessionSlots::Take(const std::string& address) {
  std::lock_guard lock(m_mutex);
  if (m_nActive.load(std::memory_order_relaxed) >= m_nMax) return Admit::kFull;
  int& fromSource = m_bySource[address];
  if (fromSource >= m_nMaxPerSource) return Admit::kSourceFull;
  ++fromSource;
  m_nActive.fetch_add(1, std::memory_order_relaxed);
  return Admit::kTaken;
}

void SessionSlots::Release(const std::string& address) {
  std::lock_guard lock(m_mutex);
  const auto it = m_bySource.find(address);
  if (it == m_bySource.end()) return;
  if (--it->second <= 0) m_bySource.erase(it);
  m_nActive.fetch_sub(1, std::memory_order_relaxed);
}

}  // namespace quarvent
