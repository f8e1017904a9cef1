// The console's measure loop against a scripted server in this process, with
// its delays injected.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "client/client_controller.h"
#include "common/protocol.h"
#include "console/measure_host.h"
#include "console/measure_loop.h"
#include "tests/client/script_server.h"

namespace quarvent::console {
namespace {

using testing::Conn;
using testing::ScriptServer;

// Ctrl+C in the pause between two runs of a sweep ends the measurement at
// once, however long the pause would have lasted.
TEST(ConsoleMeasureLoop, InterruptInTheSweepPauseEndsAtOnce) {
  ScriptServer server(kTcp, [](Conn& c) {
    if (!c.ReadLine()) return;
    c.Accept();
    c.ServeNormally();
  });
  MeasureHost host;
  host.m_nPort = server.Port();
  host.m_nPattern = 9;
  host.m_nDuration = 0;
  ClientTiming timing;
  timing.durationMs[0] = 100;
  timing.sweepNextDelayMs = 10 * 60 * 1000;  // the pause only the interrupt can end
  {
    ClientController controller(host, timing);
    controller.OnStart();
    // The interrupt comes once the first run's report is in: the pause has
    // begun in the same task.
    bool interrupted = false;
    const auto inPause = [&] {
      if (interrupted || host.m_strResult.find("受信：最小/最大") == std::string::npos)
        return false;
      interrupted = true;
      return true;
    };
    // Only turns a hang into a failure.
    const auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    bool over = false;
    while (!over && std::chrono::steady_clock::now() < bound)
      over = !MeasureTurn(host, controller, inPause);
    EXPECT_TRUE(interrupted);
    EXPECT_TRUE(over) << "the loop still waits after the interrupt";
    EXPECT_FALSE(controller.Measuring());
    EXPECT_EQ(host.m_nPattern, 9);  // the sweep's start is selected again
    EXPECT_TRUE(host.AllFull());
  }
  // What was still queued went with the controller.
  EXPECT_TRUE(host.Loop().Empty());
  server.Join();
  ASSERT_EQ(server.Sessions().size(), 1u);
  EXPECT_TRUE(server.Sessions()[0].m_bEndMarker);
}

}  // namespace
}  // namespace quarvent::console
