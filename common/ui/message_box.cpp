#include "common/ui/message_box.h"

#include <QCoreApplication>

namespace quarvent {

QString AppTitle() {
  return QCoreApplication::applicationName();
}

QMessageBox::StandardButton AppMessageBox(QWidget* parent, const QString& text,
                                          QMessageBox::Icon icon,
                                          QMessageBox::StandardButtons buttons,
                                          QMessageBox::StandardButton defaultButton,
                                          const QString& caption) {
  QMessageBox box(icon, caption.isEmpty() ? AppTitle() : caption, text, buttons, parent);
  box.setTextFormat(Qt::PlainText);
  box.setDefaultButton(defaultButton);
  if (buttons.testFlag(QMessageBox::No)) box.setEscapeButton(QMessageBox::No);
  return static_cast<QMessageBox::StandardButton>(box.exec());
}

}  // namespace quarvent
