// The client program: the measurement dialog, run by the dialog application shell.
#include <QApplication>

#include "client/ui/client_dlg.h"
#include "common/ui/dialog_app.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  quarvent::CClientApp app([] { return std::make_unique<quarvent::CClientDlg>(); });
  app.InitInstance();
  return 0;
}
