// The application object of both dialog programs. Its start prepares the
// socket layer, runs the program's main dialog modally and ends the program
// when that dialog closes; no event loop of its own follows.
#pragma once

#include <QDialog>
#include <functional>
#include <memory>

#include "common/ui/resources.h"

namespace quarvent {

using MainDialogFactory = std::function<std::unique_ptr<QDialog>()>;

class CDialogApp {
 public:
  CDialogApp(Program program, MainDialogFactory createMainDialog);
  virtual ~CDialogApp() = default;
  CDialogApp(const CDialogApp&) = delete;
  CDialogApp& operator=(const CDialogApp&) = delete;

  // Needs a QApplication. Sets the application name, the Japanese texts of
  // Qt's own dialogs and menus, and the dialog font, prepares the socket layer (on failure: the
  // message of string 103 and no window), then constructs the main dialog without parent, runs it
  // modally and destroys it. Returns false: the program ends afterwards.
  bool InitInstance();

  // Replaces the socket-layer preparation (tests make it fail).
  void SetSocketInit(std::function<bool()> socketInit) { m_socketInit = std::move(socketInit); }

  Program GetProgram() const { return m_program; }
  // "client" or "server": the application name.
  static QString AppName(Program program);

  // Installs Qt's Japanese translations (qtbase_ja from the system's Qt
  // translations directory) on the application, once: the standard menus,
  // file dialog and buttons then speak Japanese like the programs' own texts.
  // False when the catalogue is missing (the texts stay English).
  static bool LoadQtTranslations();

  // The real preparation: SIGPIPE is ignored process-wide (a peer that goes
  // away must not end the program) and a socket must be obtainable.
  static bool InitSockets();

 private:
  Program m_program;
  MainDialogFactory m_createMainDialog;
  std::function<bool()> m_socketInit;
};

class CClientApp : public CDialogApp {
 public:
  explicit CClientApp(MainDialogFactory createMainDialog)
      : CDialogApp(Program::Client, std::move(createMainDialog)) {}
};

class CServerApp : public CDialogApp {
 public:
  explicit CServerApp(MainDialogFactory createMainDialog)
      : CDialogApp(Program::Server, std::move(createMainDialog)) {}
};

}  // namespace quarvent
