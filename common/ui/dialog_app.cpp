#include "common/ui/dialog_app.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QTranslator>
#include <csignal>

#include "common/socket.h"
#include "common/ui/dialog_units.h"
#include "common/ui/message_box.h"

namespace quarvent {

CDialogApp::CDialogApp(Program program, MainDialogFactory createMainDialog)
    : m_program(program),
      m_createMainDialog(std::move(createMainDialog)),
      m_socketInit(&CDialogApp::InitSockets) {}

QString CDialogApp::AppName(Program program) {
  return program == Program::Client ? QStringLiteral("client") : QStringLiteral("server");
}

bool CDialogApp::LoadQtTranslations() {
  static QTranslator* installed = nullptr;
  if (installed != nullptr) return true;
  auto* translator = new QTranslator(QCoreApplication::instance());
  if (!translator->load(QStringLiteral("qtbase_ja"),
                        QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    delete translator;
    return false;
  }
  QCoreApplication::installTranslator(translator);
  installed = translator;
  return true;
}

bool CDialogApp::InitSockets() {
  if (std::signal(SIGPIPE, SIG_IGN) == SIG_ERR) return false;
  return Socket::Tcp().Valid();
}

bool CDialogApp::InitInstance() {
  QCoreApplication::setApplicationName(AppName(m_program));
  SetAppTitle(ProgramCaption(m_program));
  LoadQtTranslations();  // without the package Qt's texts stay English
  QApplication::setFont(DialogFont());

  if (!m_socketInit()) {
    AppMessageBox(nullptr, LoadString(kIdpSocketsInitFailed));
    return false;
  }

  // The dialog is the program's only window; closing it ends the program.
  std::unique_ptr<QDialog> dlg = m_createMainDialog();
  dlg->exec();
  dlg.reset();
  return false;
}

}  // namespace quarvent
