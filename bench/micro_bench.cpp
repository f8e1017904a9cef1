// Micro-benchmarks of the per-message work that is not a system call: the
// negotiation parser, the report formatters, and one pass of the measurement
// run's loop compared with a bare chunk reader over the same socket pair.
#include <benchmark/benchmark.h>
#include <sys/socket.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <string_view>
#include <thread>

#include "client/client_controller.h"
#include "client/format.h"
#include "client/measure_run.h"
#include "common/protocol.h"
#include "common/socket.h"
#include "common/transfer.h"

namespace {

using namespace quarvent;

void BM_ParseNegotiation(benchmark::State& state) {
  static const char* const kLines[] = {"QUARVENTOLIS-PIPEGAUGER 100:7",
                                       "QUARVENTOLIS-PIPEGAUGER 100:11", "X abc:3"};
  const char* line = kLines[state.range(0)];
  const size_t size = std::strlen(line) + 1;
  char buf[kLineBufferSize];
  for (auto _ : state) {
    std::memcpy(buf, line, size);
    benchmark::DoNotOptimize(ParseNegotiation(buf));
    benchmark::ClobberMemory();
  }
}
// 0 accepted, 1 pattern out of range (error text copied), 2 bad version.
BENCHMARK(BM_ParseNegotiation)->Arg(0)->Arg(1)->Arg(2);

void BM_FormatThroughput(benchmark::State& state) {
  const int64_t bytes = state.range(0);
  char buf[256];
  for (auto _ : state) {
    benchmark::DoNotOptimize(FormatThroughput(buf, sizeof buf, "受信", bytes, 15.012));
    benchmark::ClobberMemory();
  }
}
// KB/s and MB/s.
BENCHMARK(BM_FormatThroughput)->Arg(500)->Arg(int64_t{15} << 30);

void BM_FormatSize(benchmark::State& state) {
  const int64_t bytes = state.range(0);
  char buf[256];
  for (auto _ : state) {
    benchmark::DoNotOptimize(FormatSize(buf, sizeof buf, "送信", bytes));
    benchmark::ClobberMemory();
  }
}
// KB and PB: the shortest and the longest walk through the units.
BENCHMARK(BM_FormatSize)->Arg(1000)->Arg(int64_t{3} << 50);

void BM_FormatElapsed(benchmark::State& state) {
  const int days = static_cast<int>(state.range(0));
  char buf[64];
  for (auto _ : state) {
    benchmark::DoNotOptimize(FormatElapsed(buf, sizeof buf, days, 3, 4, 5));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_FormatElapsed)->Arg(0)->Arg(12);

// An owner that shows nothing and drops every posted task: the run's loop is
// measured without a display behind it.
class NoopHost final : public ClientHost {
 public:
  void OnReportText(const std::string&) override {}
  void SetElapsedText(std::string_view) override {}
  void SetProgress(int) override {}
  void SetMeasuringState(int) override {}
  void ShowRecvError(std::string_view) override {}
  void Post(std::function<void()>) override {}
  void ArmTimer(unsigned, int) override {}
  void DropQueued() override {}
};

struct StreamPair {
  Socket feeder, reader;
  StreamPair() {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0) {
      feeder.Reset(fds[0]);
      reader.Reset(fds[1]);
    }
  }
};

// The benchmark thread feeds chunks of state.range(0) bytes; each iteration is
// one chunk, so the time per iteration is the pipeline's time per chunk.
void FeedChunks(benchmark::State& state, int fd) {
  static char chunk[kTransferBufferSize];
  FillTransferBuffer(chunk);
  const int size = static_cast<int>(state.range(0));
  PutLengthWord(chunk, size);
  for (auto _ : state) {
    if (::send(fd, chunk, static_cast<size_t>(size), MSG_NOSIGNAL) != size) {
      state.SkipWithError("send failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * size);
}

// Drains until the reader has closed its end (the send fails).
void DrainUntilClosed(int fd) {
  static char chunk[4];
  PutLengthWord(chunk, 4);
  while (::send(fd, chunk, sizeof chunk, MSG_NOSIGNAL) == 4) {
  }
}

// MeasureRun over TCP pattern 2 (no requests): negotiation, then passes of
// header + body receive, clock reading, statistics and the display check.
void BM_MeasureRunPass(benchmark::State& state) {
  NoopHost host;
  ClientController owner(host);
  StreamPair pair;
  const int fd = pair.feeder.Fd();
  {
    MeasureSettings config;
    config.pattern = 2;
    config.duration = Duration::kContinuous;
    MeasureRun run(owner, host, std::move(pair.reader), config, ClientTiming{}, 0);
    run.Start();
    char line[kLineBufferSize];
    if (RecvString(fd, line, kLineBufferSize) <= 0 || SendString(fd, kIdentifier) < 0) {
      state.SkipWithError("negotiation failed");
      return;
    }
    FeedChunks(state, fd);
    run.Stop();  // the run stops at the top of its next pass
    DrainUntilClosed(fd);
  }
}
BENCHMARK(BM_MeasureRunPass)->Arg(4)->Arg(1024)->Arg(8192)->UseRealTime();

// The same chunks read by a bare loop of the transfer routines alone.
void BM_BareChunkReceive(benchmark::State& state) {
  StreamPair pair;
  const int fd = pair.feeder.Fd();
  std::thread reader([sock = std::move(pair.reader)] {
    static char buf[kTransferBufferSize];
    for (;;) {
      if (RecvFull(sock.Fd(), buf, 4) < 4) break;
      const int32_t length = GetLengthWord(buf);
      if (length < 4 || length > kMaxMessageSize || RecvFull(sock.Fd(), buf, length - 4) < 0) break;
    }
  });
  FeedChunks(state, fd);
  ::shutdown(fd, SHUT_WR);
  reader.join();
}
BENCHMARK(BM_BareChunkReceive)->Arg(4)->Arg(1024)->Arg(8192)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
