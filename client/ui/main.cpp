// The client program: the measurement dialog, run by the dialog application shell.
#include <QApplication>
#include <cstdio>
#include <cstring>

#include "client/ui/client_dlg.h"
#include "common/ui/dialog_app.h"
#include "common/version.h"

int main(int argc, char** argv) {
  // Answered before any window system is needed, so that they work anywhere.
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("quarvent-client %s\n", quarvent::kVersion);
      return 0;
    }
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::printf(
          "usage: quarvent-client [--version] [--help]\n"
          "Opens the dialog of the measuring terminal: throughput of one traffic pattern against a "
          "server.\n"
          "Qt's own options (-platform, -style, ...) are taken as well.\n");
      return 0;
    }
  }
  QApplication application(argc, argv);
  quarvent::CClientApp app([] { return std::make_unique<quarvent::CClientDlg>(); });
  app.InitInstance();
  return 0;
}
