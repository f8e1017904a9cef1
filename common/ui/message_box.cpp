#include "common/ui/message_box.h"

#include <QCoreApplication>

#include "common/ui/main_dialog.h"

namespace quarvent {

namespace {
QString& Title() {
  static QString title;
  return title;
}
}  // namespace

QString AppTitle() {
  return Title().isEmpty() ? QCoreApplication::applicationName() : Title();
}

void SetAppTitle(const QString& title) {
  Title() = title;
}

QMessageBox::StandardButton AppMessageBox(QWidget* parent, const QString& text,
                                          QMessageBox::Icon icon,
                                          QMessageBox::StandardButtons buttons,
                                          QMessageBox::StandardButton defaultButton,
                                          const QString& caption) {
  // The main dialog that the box belongs to names it (the chart window's
  // boxes too); a box without one takes the program's title.
  QString title = caption;
  for (QWidget* w = parent; title.isEmpty() && w != nullptr; w = w->parentWidget())
    if (qobject_cast<CMainDialog*>(w) != nullptr) title = w->windowTitle();
  if (title.isEmpty()) title = AppTitle();
  QMessageBox box(icon, title, text, buttons, parent);
  box.setTextFormat(Qt::PlainText);
  box.setDefaultButton(defaultButton);
  if (buttons.testFlag(QMessageBox::No)) box.setEscapeButton(QMessageBox::No);
  return static_cast<QMessageBox::StandardButton>(box.exec());
}

}  // namespace quarvent
