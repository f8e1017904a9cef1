// The Debian packages as a user gets them: built by CPack from this build
// tree, unpacked with dpkg-deb -x into a directory of their own, and the
// programs run from there. Needs cpack, dpkg-deb and dpkg-shlibdeps; without
// them it says so in one line and is skipped.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/console/measure_child.h"
#include "tests/console/serve_child.h"
#include "tests/server/server_test_support.h"
#include "tests/support/child_process.h"

namespace quarvent::test {
namespace {

// Where the test builds and unpacks; QUARVENT_BIN is the unpacked quarvent.
const std::string kWork = QUARVENT_BUILD_DIR "/package-test";
const std::string kRoot = kWork + "/root";

bool Exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// What a command prints on stdout.
std::string Output(const std::string& command) {
  std::string out;
  if (std::FILE* pipe = ::popen(command.c_str(), "r")) {
    char buf[256];
    while (std::fgets(buf, sizeof buf, pipe)) out += buf;
    ::pclose(pipe);
  }
  return out;
}

TEST(Package, ProgramsTellTheirVersion) {
  const std::string version = QUARVENT_VERSION;
  EXPECT_EQ(Output(kRoot + "/usr/bin/quarvent --version"), "quarvent " + version + "\n");
  EXPECT_EQ(Output(kRoot + "/usr/bin/quarvent-server --version"),
            "quarvent-server " + version + "\n");
  EXPECT_EQ(Output(kRoot + "/usr/bin/quarvent-client --version"),
            "quarvent-client " + version + "\n");
}

TEST(Package, HoldsItsDesktopFilesManualPagesServiceAndCopyright) {
  for (const char* path :
       {"/usr/share/man/man1/quarvent.1.gz", "/usr/share/man/man1/quarvent-server.1.gz",
        "/usr/share/man/man1/quarvent-client.1.gz",
        "/usr/share/applications/quarvent-server.desktop",
        "/usr/share/applications/quarvent-client.desktop",
        "/usr/share/metainfo/quarvent-server.metainfo.xml",
        "/usr/share/metainfo/quarvent-client.metainfo.xml",
        "/usr/share/icons/hicolor/16x16/apps/quarvent.png",
        "/usr/share/icons/hicolor/256x256/apps/quarvent.png",
        "/usr/share/icons/hicolor/scalable/apps/quarvent.svg", "/etc/default/quarvent",
        "/usr/share/doc/quarvent/copyright", "/usr/share/doc/quarvent-gui/copyright"})
    EXPECT_TRUE(Exists(kRoot + path)) << path;
  const std::string unit = Slurp(kRoot + "/lib/systemd/system/quarvent.service");
  EXPECT_NE(unit.find("ExecStart=/usr/bin/quarvent serve --port ${QUARVENT_PORT} --keep-serving "
                      "--idle-timeout ${QUARVENT_IDLE_TIMEOUT}"),
            std::string::npos)
      << unit;
  EXPECT_NE(Slurp(kRoot + "/usr/share/applications/quarvent-server.desktop")
                .find("\nExec=quarvent-server\n"),
            std::string::npos);
}

TEST(Package, UnpackedServeAndMeasureExchangeData) {
  const int port = FreePort();
  Serve serve = StartServe(port);
  ASSERT_TRUE(serve.ready) << serve.child.errText;
  Child measure = SpawnQuarvent({"measure", "--port", std::to_string(port), "--pattern", "7",
                                 "--duration", "continuous", "--interval", "0.1"},
                                kCaptureStdout);
  const bool streaming = WaitForReceivedData(measure);
  ::kill(measure.pid, SIGINT);
  const std::string report = ReadAll(measure);
  EXPECT_EQ(WaitExit(measure), 0) << report;
  EXPECT_TRUE(streaming) << serve.child.errText;
  EXPECT_NE(report.find("トータルスループット : "), std::string::npos) << report;
  EXPECT_TRUE(WaitForLine(serve.child, "quarvent serve: TCP session 127.0.0.1:"))
      << serve.child.errText;
  ::kill(serve.child.pid, SIGINT);
  EXPECT_EQ(WaitExit(serve.child), 0) << serve.child.errText;
}

}  // namespace
}  // namespace quarvent::test

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  for (const char* tool : {"cpack", "dpkg-deb", "dpkg-shlibdeps"}) {
    if (std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) != 0) {
      std::printf("package test skipped: %s is not installed\n", tool);
      return 77;
    }
  }
  // The packages of this build tree, then every one of them unpacked into one root.
  const std::string& work = quarvent::test::kWork;
  const std::string build =
      "rm -rf '" + work + "' && mkdir -p '" + work + "' && cd '" QUARVENT_BUILD_DIR "' && " +
      "cpack -G DEB -B '" + work + "/debs' > '" + work + "/cpack.log' 2>&1 && " + "for deb in '" +
      work + "'/debs/*.deb; do dpkg-deb -x \"$deb\" '" + work + "/root' || exit 1; done";
  if (std::system(build.c_str()) != 0) {
    std::printf("package test: building or unpacking the packages failed:\n%s\n",
                quarvent::test::Slurp(work + "/cpack.log").c_str());
    return 1;
  }
  return RUN_ALL_TESTS();
}
