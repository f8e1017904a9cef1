// Message boxes of both programs. Unless given a caption of its own, a box is
// titled with the application name, as every box of the platform's framework is.
#pragma once

#include <QMessageBox>
#include <QString>

namespace quarvent {

// The caption of the programs' message boxes.
QString AppTitle();

// A modal box; returns the button that closed it (Escape or the close box give
// the escape button: No for Yes/No, OK for OK alone).
QMessageBox::StandardButton AppMessageBox(
    QWidget* parent, const QString& text, QMessageBox::Icon icon = QMessageBox::Warning,
    QMessageBox::StandardButtons buttons = QMessageBox::Ok,
    QMessageBox::StandardButton defaultButton = QMessageBox::Ok, const QString& caption = {});

}  // namespace quarvent
