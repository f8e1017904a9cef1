// The server program: the listen dialog, run by the dialog application shell.
#include <QApplication>

#include "common/ui/dialog_app.h"
#include "server/ui/server_dlg.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  quarvent::CServerApp app([] { return std::make_unique<quarvent::CServerDlg>(); });
  app.InitInstance();
  return 0;
}
