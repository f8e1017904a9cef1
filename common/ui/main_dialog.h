// What both main dialogs share: the window menu on the dialog's context menu
// (right click) with the about entry after a separator, the routing of its
// command ids, and the window icons. A main dialog derives from CMainDialog
// and starts its OnInitDialog with CMainDialog::OnInitDialog.
#pragma once

#include <QDialog>
#include <QIcon>

#include "common/ui/resources.h"

class QMenu;

namespace quarvent {

class CMainDialog : public QDialog {
  Q_OBJECT

 public:
  // Window commands of the menu that keep their usual effect.
  static constexpr unsigned kScMinimize = 0xF020;
  static constexpr unsigned kScClose = 0xF060;

  CMainDialog(Program program, QWidget* parent);

  // The window menu, shown on right click.
  QMenu* GetSystemMenu() const { return m_pSysMenu; }

  // Routes a window-menu command: an id that is kIdmAboutBox once its low four
  // bits are cleared opens the about box modally; minimise and close do what
  // they say; anything else is ignored.
  virtual void OnSysCommand(unsigned id, qint32 param);

 protected:
  // Runs once, when the dialog is first shown (exec() shows it): the
  // prologue with string 101 as the about entry. Returns true.
  virtual bool OnInitDialog();

  // The prologue: appends a separator and the about entry unless aboutText is
  // empty, then sets the big and small window icons from m_hIcon.
  void RunPrologue(const QString& aboutText);

  void showEvent(QShowEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

  QIcon m_hIcon;  // icon 128, loaded at construction

 private:
  Program m_program;
  QMenu* m_pSysMenu;
  bool m_bInitDone = false;
};

}  // namespace quarvent
