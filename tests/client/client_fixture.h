// Shared set-up of the client run and controller tests: a fake owner, a
// controller with time scaled down, and helpers to run against a script server.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "client/client_controller.h"
#include "tests/client/fake_host.h"
#include "tests/client/script_server.h"

namespace quarvent::testing {

class ClientTest : public ::testing::Test {
 protected:
  static constexpr int kNoForcedStopMs = 600000;
  static constexpr int kForcedStopMs = 200;  // for the tests of the forced stop

  // The forced stop is left far out unless a test is about it: a run that
  // reacts to the abort may still take a while to report on a loaded machine.
  void MakeController(int durationMs = 150, int watchdogMs = 10000,
                      int forcedStopMs = kNoForcedStopMs) {
    ClientTiming timing;
    timing.durationMs[0] = timing.durationMs[1] = timing.durationMs[2] = durationMs;
    timing.watchdogPeriodMs = watchdogMs;
    timing.sweepNextDelayMs = 60;
    timing.sweepRestoreDelayMs = 20;
    timing.forcedStopDelayMs = forcedStopMs;
    m_controller = std::make_unique<ClientController>(m_host, timing);
  }

  // The settings of the next start: the loopback server at port.
  void Aim(int port, int pattern, int protocol, int duration = 1) {
    m_settings.servers = Ipv4Server(0x7F000001, port);
    m_settings.pattern = pattern;
    m_settings.protocol = static_cast<Protocol>(protocol);
    m_settings.duration = static_cast<Duration>(duration);
  }

  void Start(const ScriptServer& server, int pattern, int protocol, int duration = 1) {
    if (!m_controller) MakeController();
    Aim(server.Port(), pattern, protocol, duration);
    m_controller->Start(m_settings);
  }

  // Starts one run, pumps until the owner is idle and waits for the server.
  void Measure(ScriptServer& server, int pattern, int protocol, int duration = 1) {
    Start(server, pattern, protocol, duration);
    ASSERT_TRUE(m_host.PumpUntilIdle(*m_controller));
    server.Join();
  }

  // The report after the first header line.
  std::string Body() const {
    const std::string& r = Report();
    const size_t eol = r.find("---\r\n");
    return eol == std::string::npos ? r : r.substr(eol + 5);
  }

  const std::string& Report() const { return m_controller->ReportText(); }
  void ClearReport() {
    if (m_controller) m_controller->OnClear();
  }

  void TearDown() override {
    m_controller.reset();
    EXPECT_EQ(m_host.m_nWrongThread, 0);
  }

  FakeHost m_host;
  MeasureSettings m_settings;  // of the next start (interval, UDP timeout as a test sets them)
  std::unique_ptr<ClientController> m_controller;
};

inline bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

}  // namespace quarvent::testing
