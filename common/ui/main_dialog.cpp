#include "common/ui/main_dialog.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QMenu>

#include "common/ui/about_dlg.h"
#include "common/ui/message_box.h"

namespace quarvent {

namespace {

QAction* AddCommand(QMenu* menu, const QString& text, unsigned id) {
  QAction* action = menu->addAction(text);
  action->setData(id);
  return action;
}

}  // namespace

CMainDialog::CMainDialog(Program program, QWidget* parent)
    : QDialog(parent),
      m_hIcon(LoadIcon(kIdrMainFrame)),
      m_program(program),
      m_pSysMenu(new QMenu(this)) {
  // Caption with the window menu, a minimise box and a close box; no maximise
  // box, a fixed frame, and a task bar entry of its own.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint);
  setWindowTitle(ProgramCaption(program));
  SetAppTitle(windowTitle());  // the caption of the program's message boxes
  m_pSysMenu->setObjectName(QStringLiteral("systemMenu"));
  AddCommand(m_pSysMenu, QStringLiteral("最小化(&N)"), kScMinimize);
  AddCommand(m_pSysMenu, QStringLiteral("閉じる(&C)"), kScClose);
  connect(m_pSysMenu, &QMenu::triggered, this,
          [this](QAction* action) { OnSysCommand(action->data().toUInt(), 0); });
}

bool CMainDialog::OnInitDialog() {
  RunPrologue(LoadString(kIdsAboutBox));
  return true;
}

void CMainDialog::RunPrologue(const QString& aboutText) {
  if (!aboutText.isEmpty()) {
    m_pSysMenu->addSeparator();
    AddCommand(m_pSysMenu, aboutText, kIdmAboutBox);
  }
  setWindowIcon(m_hIcon);
}

void CMainDialog::OnSysCommand(unsigned id, qint32 /*param*/) {
  if ((id & 0xFFF0) == kIdmAboutBox) {
    CAboutDlg dlgAbout(m_program, this);
    dlgAbout.exec();
    return;
  }
  switch (id & 0xFFF0) {
    case kScMinimize:
      showMinimized();
      break;
    case kScClose:
      close();
      break;
    default:
      break;
  }
}

void CMainDialog::showEvent(QShowEvent* event) {
  if (!m_bInitDone) {
    m_bInitDone = true;
    OnInitDialog();
  }
  QDialog::showEvent(event);
}

void CMainDialog::contextMenuEvent(QContextMenuEvent* event) {
  m_pSysMenu->popup(event->globalPos());
  event->accept();
}

}  // namespace quarvent
