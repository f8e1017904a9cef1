#include "common/ui/about_dlg.h"

#include <QLabel>
#include <QPushButton>

#include "common/ui/dialog_units.h"

namespace quarvent {

QString CAboutDlg::NameText(Program program) {
  return program == Program::Client ? QStringLiteral("クァルヴェント（模擬端末） Version 1.0")
                                    : QStringLiteral("クァルヴェント（模擬ｻｰﾊﾞ） Version 1.0");
}

QString CAboutDlg::LineText() {
  return QStringLiteral("Copyright (C) 2024 Quarvent");
}

CAboutDlg::CAboutDlg(Program program, QWidget* parent) : QDialog(parent) {
  // Caption with the window menu and a close box, fixed frame, no help button.
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  setWindowTitle(QStringLiteral("ﾊﾞｰｼﾞｮﾝ情報"));
  const DialogUnits du(font());
  du.SizeClient(this, 235, 55);

  auto* icon = new QLabel(this);
  icon->setObjectName(QStringLiteral("aboutIcon"));
  icon->setAlignment(Qt::AlignCenter);
  icon->setPixmap(LoadIcon(kIdrMainFrame).pixmap(32, 32));
  du.Place(icon, 11, 17, 20, 20);

  // Plain text: an ampersand is shown as typed, never taken as a mnemonic.
  auto* name = new QLabel(NameText(program), this);
  name->setObjectName(QStringLiteral("aboutName"));
  name->setTextFormat(Qt::PlainText);
  if (program == Program::Client) {
    du.Place(name, 40, 10, 136, 8);
  } else {
    du.Place(name, 32, 8, 140, 8);
  }

  auto* line = new QLabel(LineText(), this);
  line->setObjectName(QStringLiteral("aboutLine"));
  line->setTextFormat(Qt::PlainText);
  du.Place(line, 40, 25, 119, 8);

  auto* ok = new QPushButton(QStringLiteral("OK"), this);
  SetControlId(ok, kIdOk);
  ok->setDefault(true);
  du.Place(ok, 178, 7, 50, 14);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  ok->setFocus();
}

}  // namespace quarvent
