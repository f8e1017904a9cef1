// Carries the progress positions of one service to its owner's thread with
// at most one update queued at a time. A busy service moves the bar far more
// often than the owner can show it, so the queued update shows whichever
// position is the latest when it runs.
//
// Every position belongs to the start (generation) that made it. An update
// left queued by an earlier start neither shows its position nor holds back
// the updates of the current start: the slot remembers whose update is queued,
// and a later start queues one of its own.
#pragma once

#include <atomic>
#include <cstdint>

namespace quarvent {

class ProgressPost {
 public:
  // On the service's thread: makes position the latest of start generation
  // (never 0). True when the caller is to queue an update of that start: none
  // of it is queued yet.
  bool Offer(std::uint64_t generation, int position) noexcept {
    m_nPosition.store(position);
    return m_nQueued.exchange(generation) != generation;
  }
  // On the owner's thread, in a queued update of start generation: frees the
  // slot and gives the latest position. False when a later start has taken
  // the slot over (its own update is queued, and this one shows nothing).
  bool Take(std::uint64_t generation, int* position) noexcept {
    std::uint64_t queued = generation;
    if (!m_nQueued.compare_exchange_strong(queued, kNone)) return false;
    // Read after the slot was freed: a position stored since then has
    // queued an update of its own.
    *position = m_nPosition.load();
    return true;
  }

 private:
  static constexpr std::uint64_t kNone = 0;
  std::atomic<int> m_nPosition{0};
  std::atomic<std::uint64_t> m_nQueued{kNone};  // the start whose update is queued
};

}  // namespace quarvent
