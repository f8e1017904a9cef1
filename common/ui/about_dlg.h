// The about box (dialog 100): the application icon, the program's name and
// version, a second line and OK. The same class in both programs; only the
// name line differs.
#pragma once

#include <QDialog>

#include "common/ui/resources.h"

namespace quarvent {

class CAboutDlg : public QDialog {
  Q_OBJECT

 public:
  static constexpr int kIdOk = 1;

  explicit CAboutDlg(Program program, QWidget* parent = nullptr);

  // The name and version line of each program.
  static QString NameText(Program program);
  // The second line.
  static QString LineText();
};

}  // namespace quarvent
