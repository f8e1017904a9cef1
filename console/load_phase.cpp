#include "console/load_phase.h"

namespace quarvent::console {

PhaseSplit::PhaseSplit()
    : m_pIdle(std::make_unique<Phase>()), m_pLoaded(std::make_unique<Phase>()) {}

void PhaseSplit::StartLoad(int64_t atMs, int64_t settleMs) {
  m_nLoadAtMs = atMs;
  m_nLoadedFromMs = atMs + settleMs;
}

void PhaseSplit::Add(const IntervalData& interval) {
  m_pLast = nullptr;
  if (!LoadStarted() || interval.endMs <= m_nLoadAtMs)
    m_pLast = m_pIdle.get();
  else if (interval.startMs >= m_nLoadedFromMs)
    m_pLast = m_pLoaded.get();
  if (!m_pLast) return;  // settling: neither phase
  Phase& phase = *m_pLast;
  if (phase.fromMs < 0) phase.fromMs = interval.startMs;
  phase.toMs = interval.endMs;
  phase.requests += interval.requests;
  phase.chunks += interval.chunks;
  phase.lost += interval.lost;
  phase.countsLoss = phase.countsLoss || interval.countsLoss;
}

void PhaseSplit::AddRtt(const RttHistogram& rtt) {
  if (m_pLast) m_pLast->rtt.Merge(rtt);
}

}  // namespace quarvent::console
