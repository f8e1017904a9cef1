// A recording owner for the client controller, with its own tiny event loop
// that the test thread pumps.
#pragma once

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "client/client_controller.h"
#include "client/client_host.h"
#include "client/event_loop.h"

namespace quarvent::testing {

class FakeHost : public ClientHost {
 public:
  FakeHost() : m_owner(std::this_thread::get_id()) {}

  void OnMeasureStart(const MeasureSettings& settings) override {
    Note("measure-start");
    m_vStarts.push_back(settings);
  }
  void OnReportText(const std::string& report) override {
    Note("show");
    m_vShown.push_back(report);
    m_strReport = report;
  }
  void SelectPattern(int pattern) override {
    Note("select");
    m_nPattern = pattern;
  }
  void SetElapsedText(std::string_view text) override {
    Note("elapsed");
    m_vElapsed.emplace_back(text);
  }
  void SetProgress(int position) override {
    Note("progress");
    m_vProgress.push_back(position);
  }
  void SetMeasuringState(int state) override {
    Note("state");
    m_vStates.push_back(state);
  }
  void DisableAbort() override { Note("disable-abort"); }
  void ShowRecvError(std::string_view text) override {
    Note("recv-error");
    m_vRecvErrors.emplace_back(text);
  }
  void NoteOutcome(RunOutcome outcome) override {
    Note("outcome");
    m_vOutcomes.push_back(outcome);
  }
  void OnInterval(const IntervalData& data) override {
    Note("interval");
    m_vIntervals.push_back(data);
  }
  void OnRunEnd(const RunEndData& end) override {
    Note("run-end");
    m_vRunEnds.push_back(end);
  }
  void OnPhase(SessionPhase phase) override { m_vPhases.push_back(phase); }
  void Post(std::function<void()> task) override { m_loop.Post(std::move(task)); }
  void ArmTimer(unsigned id, int delayMs) override {
    Note("timer");
    m_vTimers.push_back(id);
    m_loop.ArmTimer(id, delayMs);
  }
  void DropQueued() override { m_loop.Clear(); }

  // Pumps the loop on the test thread until done() or the timeout. The
  // default only turns a hang into a failure: a pump ends once done() holds.
  template <class Pred>
  bool Pump(ClientController& controller, Pred done,
            std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    return m_loop.RunUntil(done, timeout, [&](unsigned id) { controller.OnTimer(id); });
  }
  // Pumps for a while whatever happens.
  void PumpFor(ClientController& controller, std::chrono::milliseconds time) {
    Pump(
        controller, [] { return false; }, time);
  }
  // Until the owner is idle and nothing but the forced stop (if any) is to come.
  bool PumpUntilIdle(ClientController& controller,
                     std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    return Pump(
        controller, [&] { return controller.Settled(); }, timeout);
  }
  // No task queued and no timer armed.
  bool QueueEmpty() const { return m_loop.Empty(); }

  int m_nWrongThread = 0;   // host calls made off the owner's thread
  int m_nPattern = -1;      // the pattern last selected, -1 none
  std::string m_strReport;  // the report as last shown
  std::vector<MeasureSettings> m_vStarts;
  std::vector<std::string> m_vCalls;
  std::vector<std::string> m_vShown;
  std::vector<std::string> m_vElapsed;
  std::vector<int> m_vProgress;
  std::vector<int> m_vStates;
  std::vector<std::string> m_vRecvErrors;
  std::vector<RunOutcome> m_vOutcomes;
  std::vector<unsigned> m_vTimers;
  std::vector<IntervalData> m_vIntervals;
  std::vector<RunEndData> m_vRunEnds;
  std::vector<SessionPhase> m_vPhases;

 private:
  void Note(const char* what) {
    if (std::this_thread::get_id() != m_owner) ++m_nWrongThread;
    m_vCalls.emplace_back(what);
  }

  std::thread::id m_owner;
  EventLoop m_loop;
};

}  // namespace quarvent::testing
