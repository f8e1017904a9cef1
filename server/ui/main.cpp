// The server program: the listen dialog, run by the dialog application shell.
#include <QApplication>
#include <cstdio>
#include <cstring>

#include "common/ui/dialog_app.h"
#include "common/version.h"
#include "server/ui/server_dlg.h"

int main(int argc, char** argv) {
  // Answered before any window system is needed, so that they work anywhere.
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("quarvent-server %s\n", quarvent::kVersion);
      return 0;
    }
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::printf(
          "usage: quarvent-server [--version] [--help]\n"
          "Opens the dialog of the pseudo server: TCP and UDP measurement services on one port.\n"
          "Qt's own options (-platform, -style, ...) are taken as well.\n");
      return 0;
    }
  }
  QApplication application(argc, argv);
  quarvent::CServerApp app([] { return std::make_unique<quarvent::CServerDlg>(); });
  app.InitInstance();
  return 0;
}
